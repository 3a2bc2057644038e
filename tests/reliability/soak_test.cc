// soak_test.cc - the gateway over a long run of mixed requests: its resident memory stays flat
// after warm-up, and a run under valgrind ends without a definite leak.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "gateway.h"
#include "reliability.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kGatewayPort = 8088;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";

// One request of the mix and the reply it must get (empty: any reply).
struct Exchange {
  std::string request;
  std::string reply;
};

// The soak's mix: half echoes, half gets (answered, missing, the probe variable).
Exchange soakRequest(int64_t i, const std::string &session) {
  switch (i % 8) {
    case 0:
    case 2:
      return {"echo" + std::to_string(i % 1000) + "#field", "echo" + std::to_string(i % 1000)};
    case 4:
      return {"", ""};
    case 6:
      return {"unknownCommand#" + std::string(static_cast<size_t>(i % 200), 'x'), "unknownCommand"};
    case 1:
    case 5:
      return {"getSnmpData#" + session + "#" + kSysName, "kestara-test-agent"};
    case 3:
      return {"getSnmpData#" + session + "#" + kt::kProbeOid, "Kestara"};
    default:
      return {"getSnmpData#" + session + "#1.3.6.1.2.1.1.99.0", "No Such Object"};
  }
}

TEST(Soak, GatewayMemoryStaysFlatAfterWarmUp) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::Gateway gw({.timeout = 2s, .retries = 1});
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  kt::Process &tavrin = gw.process();
  kt::UdpClient &client = gw.client();
  auto session = client.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + agent->peer());
  ASSERT_TRUE(session);

  const int64_t total = rel::knob("SOAK", 50000, 1000000);
  const int64_t warmUp = std::max<int64_t>(total / 10, 5000);
  int64_t wrong = 0;
  int64_t unanswered = 0;
  int64_t rssWarm = 0;
  int64_t rssMax = 0;
  std::string firstWrong;
  auto start = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < total; ++i) {
    Exchange x = soakRequest(i, *session);
    auto reply = client.request("127.0.0.1", kGatewayPort, x.request, 10s);
    if (!reply) {
      ++unanswered;
      if (!tavrin.running()) break;
    } else if (*reply != x.reply) {
      if (wrong++ == 0) firstWrong = x.request + " -> " + *reply;
    }
    if (i + 1 == warmUp) rssWarm = rel::rssKiB(tavrin.pid()).value_or(0);
    if (i + 1 >= warmUp && (i + 1) % 1000 == 0) {
      rssMax = std::max(rssMax, rel::rssKiB(tavrin.pid()).value_or(0));
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(tavrin.running()) << tavrin.errors();
  int64_t rssEnd = rel::rssKiB(tavrin.pid()).value_or(0);
  rssMax = std::max(rssMax, rssEnd);

  EXPECT_EQ(0, unanswered);
  EXPECT_EQ(0, wrong) << firstWrong;
  EXPECT_GT(rssWarm, 0);
  // Growth after warm-up: the end, and the highest reading on the way, against the reading at
  // the end of warm-up. A sanitized build holds freed memory back in quarantine, so there only
  // its leak check at the end speaks.
  if (!rel::sanitized(kt::binPath("tavrin"))) {
    EXPECT_LT(rssEnd - rssWarm, 1024) << "KiB";
    EXPECT_LT(rssMax - rssWarm, 1024) << "KiB";
  }

  // An orderly end: in a sanitized build the leak check runs there and fails the exit.
  tavrin.signal(SIGTERM);
  EXPECT_EQ(0, tavrin.wait(30s)) << tavrin.errors();

  rel::figure("soak.requests", std::to_string(total));
  rel::figure("soak.warm_up_requests", std::to_string(warmUp));
  rel::figure("soak.seconds", seconds);
  rel::figure("soak.requests_per_second", static_cast<double>(total) / seconds);
  rel::figure("soak.rss_kib_after_warm_up", std::to_string(rssWarm));
  rel::figure("soak.rss_kib_end", std::to_string(rssEnd));
  rel::figure("soak.rss_kib_growth_end", std::to_string(rssEnd - rssWarm));
  rel::figure("soak.rss_kib_growth_max", std::to_string(rssMax - rssWarm));
}

// Sessions that the applets never close pile up; each holds a socket. With more than a select()
// set can hold (1024 descriptors), the first and the last are still served.
TEST(Soak, ManyOpenSessionsStayUsable) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  const int64_t sessions = rel::knob("SESSIONS", 1500, 1500);
  // The limits on sessions are raised to what this test opens from its one address.
  kt::Gateway gw({.timeout = 2s,
                  .retries = 1,
                  .env = {{"TAVRIN_SESSIONS_PER_ADDRESS", std::to_string(sessions)},
                          {"TAVRIN_SESSIONS_MAX", std::to_string(sessions)}}});
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  kt::Process &tavrin = gw.process();
  kt::UdpClient &client = gw.client();
  const int64_t rssBefore = rel::rssKiB(tavrin.pid()).value_or(0);
  std::vector<std::string> opened;
  for (int64_t i = 0; i < sessions; ++i) {
    auto s = client.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + agent->peer());
    ASSERT_TRUE(s);
    if (s->rfind("failed", 0) == 0) break;  // out of descriptors: a refusal, not a crash
    opened.push_back(*s);
  }
  rel::figure("sessions.opened", std::to_string(opened.size()));
  if (!opened.empty()) {
    int64_t grown = rel::rssKiB(tavrin.pid()).value_or(0) - rssBefore;
    rel::figure("sessions.rss_kib_per_open_session",
                static_cast<double>(grown) / static_cast<double>(opened.size()));
  }
  ASSERT_FALSE(opened.empty());
  for (const std::string &s : {opened.front(), opened.back()}) {
    EXPECT_EQ("kestara-test-agent",
              client.request("127.0.0.1", kGatewayPort, "getSnmpData#" + s + "#" + kSysName, 10s));
  }
  for (const std::string &s : opened) {
    EXPECT_EQ("close", client.request("127.0.0.1", kGatewayPort, "closeSession#" + s));
  }
  EXPECT_EQ("echo", client.request("127.0.0.1", kGatewayPort, "echo"));
  EXPECT_TRUE(tavrin.running());
  tavrin.signal(SIGTERM);
  EXPECT_EQ(0, tavrin.wait(30s)) << tavrin.errors();
}

// A number in valgrind's summary: the digits (with thousands commas) after `label`, as in
// "definitely lost: 1,024 bytes in 2 blocks". 0 when there is no such line.
int64_t summaryNumber(const std::string &log, const std::string &label) {
  size_t at = log.find(label);
  if (at == std::string::npos) return 0;
  at += label.size();
  while (at < log.size() && log[at] == ' ') ++at;
  int64_t value = 0;
  for (; at < log.size() && (std::isdigit(static_cast<unsigned char>(log[at])) || log[at] == ',');
       ++at) {
    if (log[at] != ',') value = value * 10 + (log[at] - '0');
  }
  return value;
}

int64_t leakBytes(const std::string &log, const std::string &kind) {
  return summaryNumber(log, kind + ":");
}

TEST(Soak, GatewayUnderValgrindHasNoDefiniteLeak) {
  const std::string tavrinPath = kt::binPath("tavrin");
  if (rel::sanitized(tavrinPath)) GTEST_SKIP() << "a sanitized build does not run under valgrind";
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::Station station({.timeout = 500ms});
  ASSERT_NE(0u, station.db().selectFlaggedNode());
  const kt::Env env = station.env({{"OV_SERVER_NAME", "127.0.0.1"}, kt::kAnyAgent});
  kt::TempDir logs;
  const std::string log = logs.file("valgrind.log");
  kt::Process tavrin = kt::Process::start(
      {"/usr/bin/valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
       "--error-exitcode=99", "--log-file=" + log, tavrinPath},
      env);
  ASSERT_TRUE(tavrin.waitForOutput("Will wait on select for port 8088", 120s)) << tavrin.output();

  kt::UdpClient client("127.0.0.1");
  const int64_t total = rel::knob("VALGRIND", 10000, 10000);
  int64_t unanswered = 0;
  std::string session = "0";
  for (int64_t i = 0; i < total; ++i) {
    std::string request;
    switch (i % 10) {
      case 0:
        request = "openSnmpSession#" + agent->peer();
        break;
      case 1:
      case 5:
        request = "getSnmpData#" + session + "#" + kSysName;
        break;
      case 2:
        request = "getIpAddress#" + session + "#1.3.6.1.2.1.2.2.1.6.1";
        break;
      case 3:
        request = "getHostName";
        break;
      case 4:
        request = "openSnmpSession#no-such-host.invalid";
        break;
      case 6:
        request = "getSnmpData#" + session + "#1.3.6.1.2.1.1.99.0";
        break;
      case 7:
        request = "echo#" + std::to_string(i);
        break;
      case 8:
        request = "getSnmpData#4000000000#" + std::string(kSysName);
        break;
      default:
        request = "closeSession#" + session;
        break;
    }
    auto reply = client.request("127.0.0.1", kGatewayPort, request, 30s);
    if (!reply) {
      ++unanswered;
      if (!tavrin.running()) break;
      continue;
    }
    if (i % 10 == 0) session = *reply;
  }
  EXPECT_EQ(0, unanswered);
  tavrin.signal(SIGTERM);  // an orderly end through the stop descriptor
  auto status = tavrin.wait(120s);
  ASSERT_TRUE(status) << "valgrind did not end";
  std::string report = kt::readFile(log);
  EXPECT_EQ(0, *status) << report;
  int64_t definite = leakBytes(report, "definitely lost");
  EXPECT_EQ(0, definite) << report;
  rel::figure("valgrind.requests", std::to_string(total));
  rel::figure("valgrind.definitely_lost_bytes", std::to_string(definite));
  rel::figure("valgrind.indirectly_lost_bytes",
              std::to_string(leakBytes(report, "indirectly lost")));
  rel::figure("valgrind.possibly_lost_bytes", std::to_string(leakBytes(report, "possibly lost")));
  rel::figure("valgrind.still_reachable_bytes",
              std::to_string(leakBytes(report, "still reachable")));
  rel::figure("valgrind.errors", std::to_string(summaryNumber(report, "ERROR SUMMARY:")));
}

}  // namespace
