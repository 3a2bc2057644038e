// udp_server_test.cc - replies queued by a server go out whole, in order, one by one.
#include "udp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// A client socket on 127.0.0.1 that the server's replies are sent to.
struct Client {
  UniqueFd fd{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  UdpPeer peer;

  Client() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    EXPECT_EQ(getsockname(fd.get(), reinterpret_cast<sockaddr *>(&peer.remote), &length), 0);
    peer.local.s_addr = htonl(INADDR_LOOPBACK);
  }

  // The next datagram, or nothing within a second.
  std::optional<std::string> next() {
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return std::nullopt;
    char buffer[512];
    const ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }
};

TEST(UdpServer, QueuedRepliesGoOutInOrderWholeOrCut) {
  UdpServer server;
  std::string reason;
  ASSERT_EQ(server.open(0, reason), UdpServer::Open::kOpen) << reason;
  Client client;
  // More than the queue holds: the first ones go out when it fills.
  for (int i = 0; i < 150; ++i) {
    const std::string text = "reply " + std::to_string(i);
    server.queue(text, client.peer);
  }
  const std::string longer(300, 'x');
  server.queue(longer, client.peer);
  EXPECT_EQ(server.flush(), 0u);
  EXPECT_EQ(server.flush(), 0u);  // nothing left to send
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(client.next(), "reply " + std::to_string(i));
  }
  EXPECT_EQ(client.next(), std::string(kReplySize, 'x'));
  EXPECT_EQ(client.next(), std::nullopt);
}

TEST(UdpServer, ARefusedReplyDoesNotHoldBackTheOthers) {
  UdpServer server;
  std::string reason;
  ASSERT_EQ(server.open(0, reason), UdpServer::Open::kOpen) << reason;
  Client client;
  UdpPeer nowhere = client.peer;
  nowhere.remote.sin_port = 0;  // the kernel refuses to send to port 0
  server.queue(std::string_view("first"), client.peer);
  server.queue(std::string_view("lost"), nowhere);
  server.queue(std::string_view("third"), client.peer);
  EXPECT_EQ(server.flush(), 1u);
  EXPECT_EQ(client.next(), "first");
  EXPECT_EQ(client.next(), "third");
}

// Sends `text` from `client` to the server's port on 127.0.0.1.
void sendTo(const UdpServer &server, const Client &client, std::string_view text) {
  sockaddr_in to{};
  socklen_t length = sizeof to;
  ASSERT_EQ(getsockname(server.fd(), reinterpret_cast<sockaddr *>(&to), &length), 0);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(sendto(client.fd.get(), text.data(), text.size(), 0,
                   reinterpret_cast<const sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(text.size()));
}

// Waits until the server's socket has something to read.
bool readable(const UdpServer &server) {
  pollfd p{server.fd(), POLLIN, 0};
  return poll(&p, 1, 1000) == 1;
}

// The server keeps its receive headers from one batch to the next and sets up again only the
// entries a batch filled: every batch must still read each datagram whole, with its own sender
// and length, whatever the batches before it held.
TEST(UdpServer, EachBatchReadsItsDatagramsWithTheirSenders) {
  UdpServer server;
  std::string reason;
  ASSERT_EQ(server.open(0, reason), UdpServer::Open::kOpen) << reason;
  Client a;
  Client b;
  std::vector<UdpServer::Datagram> batch(8);
  const auto text = [](const UdpServer::Datagram &d) {
    return std::string(d.bytes.data(), d.length);
  };

  sendTo(server, a, "getSnmpData#1#1.3.6.1.2.1.1.5.0");
  sendTo(server, b, "getHostName#x");
  sendTo(server, a, "closeSession#1");
  ASSERT_TRUE(readable(server));
  ASSERT_EQ(server.receiveBatch(batch), 3u);
  EXPECT_EQ(text(batch[0]), "getSnmpData#1#1.3.6.1.2.1.1.5.0");
  EXPECT_EQ(batch[0].from.remote.sin_port, a.peer.remote.sin_port);
  EXPECT_EQ(text(batch[1]), "getHostName#x");
  EXPECT_EQ(batch[1].from.remote.sin_port, b.peer.remote.sin_port);
  EXPECT_EQ(batch[2].from.remote.sin_port, a.peer.remote.sin_port);
  EXPECT_EQ(batch[0].from.local.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(server.receiveBatch(batch), 0u);  // nothing waits

  // A shorter one from the other sender, into the entry the first batch used.
  sendTo(server, b, "x");
  ASSERT_TRUE(readable(server));
  ASSERT_EQ(server.receiveBatch(batch), 1u);
  EXPECT_EQ(text(batch[0]), "x");
  EXPECT_EQ(batch[0].from.remote.sin_port, b.peer.remote.sin_port);

  // A datagram longer than a request fails alone; the next one is read as usual.
  sendTo(server, a, std::string(kRequestSize + 10, 'y'));
  sendTo(server, a, "after");
  ASSERT_TRUE(readable(server));
  ASSERT_EQ(server.receiveBatch(batch), 2u);
  EXPECT_EQ(batch[0].outcome, UdpServer::Receive::kFailed);
  EXPECT_EQ(batch[1].outcome, UdpServer::Receive::kRequest);
  EXPECT_EQ(text(batch[1]), "after");

  // Another batch (another place in memory, fewer entries) is set up anew.
  std::vector<UdpServer::Datagram> other(2);
  sendTo(server, b, "one");
  sendTo(server, a, "two");
  sendTo(server, b, "three");
  ASSERT_TRUE(readable(server));
  ASSERT_EQ(server.receiveBatch(other), 2u);
  EXPECT_EQ(text(other[0]), "one");
  EXPECT_EQ(text(other[1]), "two");
  EXPECT_EQ(other[1].from.remote.sin_port, a.peer.remote.sin_port);
  ASSERT_EQ(server.receiveBatch(other), 1u);
  EXPECT_EQ(text(other[0]), "three");

  // A server moved elsewhere keeps reading correctly.
  UdpServer moved = std::move(server);
  sendTo(moved, a, "moved");
  ASSERT_TRUE(readable(moved));
  ASSERT_EQ(moved.receiveBatch(other), 1u);
  EXPECT_EQ(text(other[0]), "moved");
}

// The wait in the receive ends with a datagram that comes during it, after its time-out when
// none comes (a short one asked after a long one too: the socket keeps its time-out from one
// wait to the next), and at once when the socket's reading side is shut down (a stop).
TEST(UdpServer, WaitEndsWithADatagramItsTimeOutOrAShutDown) {
  using std::chrono::milliseconds;
  UdpServer server;
  std::string reason;
  ASSERT_EQ(server.open(0, reason), UdpServer::Open::kOpen) << reason;
  Client a;
  std::vector<UdpServer::Datagram> batch(4);
  size_t got = 0;
  const auto timed = [&](milliseconds most, const std::function<void()> &meanwhile) {
    std::thread other([&] {
      std::this_thread::sleep_for(milliseconds(50));
      if (meanwhile) meanwhile();
    });
    const auto start = std::chrono::steady_clock::now();
    got = server.waitBatch(batch, most);
    const auto waited = std::chrono::steady_clock::now() - start;
    other.join();
    return std::chrono::duration_cast<milliseconds>(waited);
  };

  EXPECT_LT(timed(milliseconds(5000), [&] { sendTo(server, a, "late"); }), milliseconds(4000));
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(std::string(batch[0].bytes.data(), batch[0].length), "late");
  EXPECT_EQ(batch[0].from.remote.sin_port, a.peer.remote.sin_port);

  const milliseconds waited = timed(milliseconds(300), nullptr);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(waited, milliseconds(250));
  EXPECT_LT(waited, milliseconds(4000));  // not the 5 s set for the first wait

  EXPECT_LT(timed(milliseconds(5000), [&] { (void)shutdown(server.fd(), SHUT_RD); }),
            milliseconds(4000));
  EXPECT_EQ(got, 0u);
}

TEST(UdpServer, ReservedSourcePorts) {
  for (uint16_t p : {0, 1, 53, 123, 161, 162, 1023, 8088, 8008})
    EXPECT_TRUE(reservedSourcePort(p)) << p;
  for (uint16_t p : {1024, 8087, 8089, 8009, 40000, 65535})
    EXPECT_FALSE(reservedSourcePort(p)) << p;
}

}  // namespace
