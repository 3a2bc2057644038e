// storm_test.cc - datagram storms against the gateway and the selection name server: every
// datagram of at most 256 bytes gets exactly one reply of at most 128 bytes, the server lives
// through it, and a valid request afterwards is answered.
#include "storm.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "reliability.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kGatewayPort = 8088;
constexpr uint16_t kQuenbyPort = 8008;

void reportStorm(const std::string &name, const rel::StormResult &r, kt::Process &server) {
  rel::figure(name + ".datagrams", std::to_string(r.sent));
  rel::figure(name + ".over_256_bytes", std::to_string(r.oversize));
  rel::figure(name + ".replies", std::to_string(r.replies + r.late));
  rel::figure(name + ".max_reply_to_request_ratio", r.maxRatio);
  auto quoted = [](const std::string &bytes) {
    std::string text(1, '"');
    text += rel::printable(bytes);
    text += '"';
    return text;
  };
  rel::figure(name + ".max_ratio_request", quoted(r.maxRatioRequest));
  rel::figure(name + ".max_ratio_reply", quoted(r.maxRatioReply));
  rel::figure(name + ".seconds", r.seconds);
  rel::figure(name + ".datagrams_per_second", static_cast<double>(r.sent) / r.seconds);
  if (auto rss = rel::rssKiB(server.pid()))
    rel::figure(name + ".rss_kib_after", std::to_string(*rss));
}

void expectOneReplyEach(const rel::StormResult &r) {
  EXPECT_EQ(r.due, r.replies + r.late) << "datagrams within 256 bytes and replies differ";
  EXPECT_EQ(0, r.late) << "replies came after their wait, or for datagrams due none";
  EXPECT_EQ(0, r.tooLong);
  EXPECT_EQ(0, r.withNul);
}

uint64_t seed() { return static_cast<uint64_t>(rel::knob("SEED", 20261207, 20261207)); }

// The gateway in its own network namespace, with a real agent, a map session for requests from
// the station (127.0.0.1 is the station: OV_SERVER_NAME), and a Quenby in map mode answering
// the "getHostName" that the gateway forwards for requests from 127.0.0.2.
TEST(Storm, GatewayAnswersEveryDatagramOnce) {
  if (!kt::networkIsolated()) GTEST_SKIP() << "needs a network namespace of its own";
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  // Short time-outs: mutated requests name sessions to agents that are not there.
  kt::Station st({.timeout = 50ms});
  ASSERT_NE(0u, st.db().selectFlaggedNode());
  const auto quenby = st.start("quenby");
  ASSERT_TRUE(quenby->waitForOutput("Listening on UDP port 8008")) << quenby->output();
  const auto tavrin = st.start("tavrin", {}, {{"OV_SERVER_NAME", "127.0.0.1"}, kt::kAnyAgent});
  ASSERT_TRUE(tavrin->waitForOutput("Will wait on select for port 8088")) << tavrin->output();

  kt::UdpClient station("127.0.0.1");
  kt::UdpClient remote("127.0.0.2");
  auto session = station.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + agent->peer());
  ASSERT_TRUE(session);
  const std::string n = *session;
  ASSERT_EQ("router7", station.request("127.0.0.1", kGatewayPort, "getHostName"));
  ASSERT_EQ("router7", remote.request("127.0.0.1", kGatewayPort, "getHostName"));
  int64_t rssBefore = rel::rssKiB(tavrin->pid()).value_or(0);

  rel::DatagramMaker maker(
      {"openSnmpSession#" + agent->peer(), "getSnmpData#" + n + "#1.3.6.1.2.1.1.5.0",
       "getSnmpData#" + n + "#1.3.6.1.2.1.1.1.0", "getSnmpData#" + n + "#" + kt::kProbeOid,
       "getSnmpData#" + n + "#1.3.6.1.2.1.1.5", "getIpAddress#" + n + "#1.3.6.1.2.1.2.2.1.6.1",
       "closeSession#" + std::to_string(std::stoul(n) + 1000), "getHostName",
       "getHostName#more#fields", "hello#there", ""},
      seed());
  const int64_t count = rel::knob("STORM", 10000, 100000);
  rel::StormResult r = rel::runStorm(maker, {&station, &remote}, kGatewayPort, count, 5s, 500ms,
                                     [&] { return tavrin->running() && quenby->running(); });

  ASSERT_TRUE(tavrin->running()) << tavrin->errors();
  ASSERT_TRUE(quenby->running()) << quenby->errors();
  EXPECT_EQ(count, r.sent);
  expectOneReplyEach(r);
  reportStorm("storm.tavrin", r, *tavrin);
  rel::figure("storm.tavrin.rss_kib_before", std::to_string(rssBefore));

  // Valid requests afterwards are answered.
  EXPECT_EQ("hello", station.request("127.0.0.1", kGatewayPort, "hello#there"));
  auto fresh = station.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + agent->peer());
  ASSERT_TRUE(fresh);
  EXPECT_EQ("kestara-test-agent", station.request("127.0.0.1", kGatewayPort,
                                                  "getSnmpData#" + *fresh + "#1.3.6.1.2.1.1.5.0"));
  EXPECT_EQ("router7", remote.request("127.0.0.1", kGatewayPort, "getHostName"));
  // An orderly end: in a sanitized build the leak check runs there and fails the exit.
  tavrin->signal(SIGTERM);
  EXPECT_EQ(0, tavrin->wait(30s)) << tavrin->errors();
}

TEST(Storm, SelectionServerAnswersEveryDatagramOnce) {
  if (!kt::networkIsolated()) GTEST_SKIP() << "needs a network namespace of its own";
  kt::TestDatabase db;
  const uint32_t node = db.selectFlaggedNode();
  ASSERT_NE(0u, node);
  kt::Process quenby = kt::Process::start({kt::binPath("quenby")}, db.env());
  ASSERT_TRUE(quenby.waitForOutput("Listening on UDP port 8008")) << quenby.output();
  kt::UdpClient client("127.0.0.1");
  ASSERT_EQ("router7", client.request("127.0.0.1", kQuenbyPort, "getHostName"));
  int64_t rssBefore = rel::rssKiB(quenby.pid()).value_or(0);

  rel::DatagramMaker maker({"getHostName", std::string("getHostName\0", 12), "getHostName#x#y",
                            "gethostname", "getHostName ", "hello#there", "", std::string(127, 'a'),
                            std::string(128, 'b') + "#c", std::string(256, 'd')},
                           seed() + 1);
  // The first half with the node selected, the second after the session has ended: then
  // "getHostName" is answered with the lookup's failure text.
  const int64_t count = rel::knob("STORM", 10000, 100000);
  rel::StormResult r = rel::runStorm(maker, {&client}, kQuenbyPort, count / 2, 5s, 500ms,
                                     [&] { return quenby.running(); });
  ASSERT_EQ(0, db.ovw({"end", "session"}).status);
  auto failure = client.request("127.0.0.1", kQuenbyPort, "getHostName");
  ASSERT_TRUE(failure);
  EXPECT_EQ(0u, failure->rfind("failed", 0)) << *failure;
  rel::StormResult r2 = rel::runStorm(maker, {&client}, kQuenbyPort, count - count / 2, 5s, 500ms,
                                      [&] { return quenby.running(); });
  r.sent += r2.sent;
  r.oversize += r2.oversize;
  r.due += r2.due;
  r.replies += r2.replies;
  r.late += r2.late;
  r.missing += r2.missing;
  r.tooLong += r2.tooLong;
  r.withNul += r2.withNul;
  r.seconds += r2.seconds;
  if (r2.maxRatio > r.maxRatio) {
    r.maxRatio = r2.maxRatio;
    r.maxRatioRequest = r2.maxRatioRequest;
    r.maxRatioReply = r2.maxRatioReply;
  }

  ASSERT_TRUE(quenby.running()) << quenby.errors();
  EXPECT_EQ(count, r.sent);
  expectOneReplyEach(r);
  reportStorm("storm.quenby", r, quenby);
  rel::figure("storm.quenby.rss_kib_before", std::to_string(rssBefore));
  EXPECT_EQ("hello", client.request("127.0.0.1", kQuenbyPort, "hello#there"));
  ASSERT_EQ(0, db.ovw({"start", "session"}).status);
  ASSERT_EQ(0, db.ovw({"open", "map"}).status);
  ASSERT_EQ(0, db.ovw({"select", std::to_string(node)}).status);
  EXPECT_EQ("router7", client.request("127.0.0.1", kQuenbyPort, "getHostName"));
}

// In local-file mode every datagram, whatever it holds, is answered with the file's first line.
TEST(Storm, SelectionServerFromFileAnswersEveryDatagramWithTheLine) {
  if (!kt::networkIsolated()) GTEST_SKIP() << "needs a network namespace of its own";
  kt::TempDir dir;
  const std::string line(128, 'q');
  std::string file = dir.write("reply", line + "\nsecond line\n");
  kt::Process quenby = kt::Process::start({kt::binPath("quenby"), "SY_" + file});
  ASSERT_TRUE(quenby.waitForOutput("Listening on UDP port 8008")) << quenby.output();
  kt::UdpClient client("127.0.0.1");
  rel::DatagramMaker maker({"getHostName", "hello", ""}, seed() + 2);
  const int64_t count = rel::knob("STORM", 10000, 100000) / 5;
  int64_t wrong = 0;
  int64_t due = 0;
  int64_t answered = 0;
  for (int64_t i = 0; i < count; ++i) {
    std::string datagram = maker.next();
    ASSERT_TRUE(client.send("127.0.0.1", kQuenbyPort, datagram));
    if (datagram.size() > 256) continue;
    ++due;
    auto reply = client.receive(5s);
    if (!reply) continue;
    ++answered;
    if (*reply != line) ++wrong;
  }
  while (client.receive(300ms)) ++answered;
  ASSERT_TRUE(quenby.running());
  EXPECT_EQ(due, answered);
  EXPECT_EQ(0, wrong);
  rel::figure("storm.quenby_file.datagrams", std::to_string(count));
}

}  // namespace
