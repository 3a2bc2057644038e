// Tests of the applet requests the service makes for its pages, and of its exchange with a
// gateway.
#include "applet_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "handles.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using mapview::buildAppletRequest;

std::string built(const json &call) {
  mapview::AppletRequest r = buildAppletRequest(call);
  EXPECT_TRUE(r.error.empty() == !r.text.empty()) << call.dump();
  return r.text;
}

TEST(AppletRequest, EachCommandAsTheAppletSendsIt) {
  EXPECT_EQ("getHostName", built({{"command", "getHostName"}, {"node", "ignored"}}));
  EXPECT_EQ("openSnmpSession#127.0.0.1:1161",
            built({{"command", "openSnmpSession"}, {"node", "127.0.0.1:1161"}}));
  EXPECT_EQ(
      "getSnmpData#7#1.3.6.1.4.1.32473.3.1.2.3.1.1.0",
      built({{"command", "getSnmpData"}, {"session", "7"}, {"oid", mapview::kProbeVariable}}));
  EXPECT_EQ("getIpAddress#4294967295#1.3.6.1.2.1.2.2.1.6.2",
            built({{"command", "getIpAddress"},
                   {"session", "4294967295"},
                   {"oid", "1.3.6.1.2.1.2.2.1.6.2"}}));
  EXPECT_EQ("closeSession#0", built({{"command", "closeSession"}, {"session", "0"}}));
}

// Nothing a page sends can add a field to the request, or make it longer than the gateway reads.
TEST(AppletRequest, FieldsThatWouldBreakTheRequestAreRefused) {
  const json refused[] = {
      json::array(),
      json("getHostName"),
      {{"command", "gethostname"}},
      {{"command", "hello"}},
      {{"command", 1}},
      {{"node", "x"}},
      {{"command", "openSnmpSession"}},
      {{"command", "openSnmpSession"}, {"node", ""}},
      {{"command", "openSnmpSession"}, {"node", "a#b"}},
      {{"command", "openSnmpSession"}, {"node", "a\nb"}},
      {{"command", "openSnmpSession"}, {"node", std::string("a\0b", 3)}},
      {{"command", "openSnmpSession"}, {"node", std::string(128, 'n')}},
      {{"command", "openSnmpSession"}, {"node", 5}},
      {{"command", "closeSession"}},
      {{"command", "closeSession"}, {"session", "4294967296"}},
      {{"command", "closeSession"}, {"session", "-1"}},
      {{"command", "closeSession"}, {"session", "1#2"}},
      {{"command", "closeSession"}, {"session", 3}},
      {{"command", "getSnmpData"}, {"session", "1"}},
      {{"command", "getSnmpData"}, {"session", "1"}, {"oid", ".1.3"}},
      {{"command", "getSnmpData"}, {"session", "1"}, {"oid", "1..3"}},
      {{"command", "getSnmpData"}, {"session", "1"}, {"oid", "1.3."}},
      {{"command", "getSnmpData"}, {"session", "1"}, {"oid", "1.3#x"}},
      {{"command", "getSnmpData"}, {"session", "1"}, {"oid", "1.12345678901"}},
  };
  for (const json &call : refused) {
    mapview::AppletRequest r = buildAppletRequest(call);
    EXPECT_TRUE(r.text.empty()) << call.dump();
    EXPECT_FALSE(r.error.empty()) << call.dump();
  }
  std::string fifty = "1";
  for (int i = 1; i < 50; ++i) fifty += ".1";
  EXPECT_FALSE(built({{"command", "getSnmpData"}, {"session", "1"}, {"oid", fifty}}).empty());
  EXPECT_TRUE(
      buildAppletRequest({{"command", "getSnmpData"}, {"session", "1"}, {"oid", fifty + ".1"}})
          .text.empty());
}

TEST(AppletRequest, GatewayAddress) {
  std::optional<sockaddr_in> a = mapview::parseIpv4Endpoint("127.0.0.2:8088");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(htons(8088), a->sin_port);
  EXPECT_EQ(htonl(0x7f000002), a->sin_addr.s_addr);
  for (const char *bad : {"", "127.0.0.1", ":8088", "127.0.0.1:", "127.0.0.1:65536",
                          "127.0.0.1:80x", "host.example:8088", "::1:8088"}) {
    EXPECT_FALSE(mapview::parseIpv4Endpoint(bad).has_value()) << bad;
  }
}

// A stand-in gateway on loopback: answers each datagram with `reply` (when given) and keeps
// what it received.
class FakeGateway {
 public:
  explicit FakeGateway(std::optional<std::string> reply) : reply_(std::move(reply)) {
    fd_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(fd_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a));
    socklen_t length = sizeof address_;
    EXPECT_EQ(0, getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&address_), &length));
    timeval tv{2, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] {
      char buffer[1024];
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t n = recvfrom(fd_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                           &fromLength);
      if (n < 0) return;
      received_.assign(buffer, static_cast<size_t>(n));
      if (reply_) {
        (void)sendto(fd_.get(), reply_->data(), reply_->size(), 0,
                     reinterpret_cast<sockaddr *>(&from), fromLength);
      }
    });
  }
  ~FakeGateway() {
    if (thread_.joinable()) thread_.join();
  }
  const sockaddr_in &address() const { return address_; }
  // What it received, once it has answered (or waited 2 s in vain).
  std::string received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  std::optional<std::string> reply_;
  UniqueFd fd_;
  sockaddr_in address_{};
  std::string received_;
  std::thread thread_;
};

TEST(AppletExchange, RequestAndReplyAsDatagrams) {
  FakeGateway gateway(std::string("Kestara"));
  mapview::GatewayExchange e = mapview::askGateway(gateway.address(), "getSnmpData#1#1.3", 2s);
  EXPECT_TRUE(e.answered) << e.error;
  EXPECT_EQ("Kestara", e.reply);
  EXPECT_EQ("getSnmpData#1#1.3", gateway.received());
}

TEST(AppletExchange, AReplyIsAtMost128Bytes) {
  FakeGateway gateway(std::string(300, 'r'));
  mapview::GatewayExchange e = mapview::askGateway(gateway.address(), "getHostName", 2s);
  EXPECT_TRUE(e.answered);
  EXPECT_EQ(std::string(128, 'r'), e.reply);
  FakeGateway empty{std::string()};
  e = mapview::askGateway(empty.address(), "", 2s);
  EXPECT_TRUE(e.answered);
  EXPECT_EQ("", e.reply);
}

TEST(AppletExchange, NoReplyIsAnErrorAfterTheTimeOut) {
  FakeGateway silent(std::nullopt);
  mapview::GatewayExchange e = mapview::askGateway(silent.address(), "getHostName", 200ms);
  EXPECT_FALSE(e.answered);
  EXPECT_NE(std::string::npos, e.error.find("no reply from the gateway within 200 ms"));
  EXPECT_GE(e.elapsed, 200ms);

  // Nothing listens on the port: the connected socket learns it at once.
  sockaddr_in closed = silent.address();
  (void)silent.received();
  closed.sin_port = htons(9);
  e = mapview::askGateway(closed, "getHostName", 2s);
  EXPECT_FALSE(e.answered);
  EXPECT_LT(e.elapsed, 1500ms);
}

}  // namespace
