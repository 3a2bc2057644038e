// udp_server_test.cc - replies queued by a server go out whole, in order, one by one.
#include "udp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <optional>
#include <string>

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

TEST(UdpServer, ReservedSourcePorts) {
  for (uint16_t p : {0, 1, 53, 123, 161, 162, 1023, 8088, 8008})
    EXPECT_TRUE(reservedSourcePort(p)) << p;
  for (uint16_t p : {1024, 8087, 8089, 8009, 40000, 65535})
    EXPECT_FALSE(reservedSourcePort(p)) << p;
}

}  // namespace
