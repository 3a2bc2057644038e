// gateway_concurrency_test.cc - the gateway keeps every request in flight at once: a slow agent,
// a silent console or a long address lookup holds up no other request; a close ends the
// requests on its session; a stop ends the gateway whatever is in flight; past its limits a
// request waits or is refused, never dropped; and the replies are those of the gateway that
// takes one request at a time.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "scripted_agent.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kt::Act;
using kt::Step;

using kt::kGatewayPort;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";
// The time-out of the gateway's agents in these tests, with no retries: a request to a silent
// agent takes this long; one that does not wait for it takes a small part of it.
constexpr auto kTimeout = 1500ms;

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// The gateway as the station runs it: a database of its own, the station named 127.0.0.1, and
// the agents' time-out above.
kt::GatewayOptions station(kt::Env extra = {}) {
  extra.emplace(extra.begin(), "OV_SERVER_NAME", "127.0.0.1");
  return {.timeout = kTimeout, .env = extra, .database = true};
}

// While one client waits for a silent agent, a console that does not answer, and an address
// lookup through an agent that answers each request late, another client's get to a live agent
// is answered at once; each slow one is answered when its own time comes.
TEST(GatewayConcurrency, NoRequestWaitsBehindAnother) {
  auto live = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, live);
  kt::UdpClient silent("127.0.0.1");  // bound, never answers
  Step late;
  late.act = Act::kLate;
  late.delay = 300ms;
  kt::ScriptedAgent slow({}, late);  // every answer 300 ms late: a lookup of many gets
  ASSERT_TRUE(slow.ok());
  kt::Gateway gw(station());
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  kt::UdpClient a("127.0.0.2"), b("127.0.0.3"), c("127.0.0.4"), d("127.0.0.1");
  const std::string silentSession = gw.open(a, silent.peer());
  const std::string slowSession = gw.open(c, slow.peer());
  const std::string liveSession = gw.open(d, live->peer());
  ASSERT_FALSE(silentSession.empty());
  ASSERT_FALSE(liveSession.empty());

  const auto start = Clock::now();
  ASSERT_TRUE(a.send("127.0.0.1", kGatewayPort, "getSnmpData#" + silentSession + "#" + kSysName));
  ASSERT_TRUE(b.send("127.0.0.1", kGatewayPort, "getHostName"));  // no quenby at 127.0.0.3
  ASSERT_TRUE(
      c.send("127.0.0.1", kGatewayPort, "getIpAddress#" + slowSession + "#1.3.6.1.2.1.2.2.1.6.1"));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ("kestara-test-agent", d.request("127.0.0.1", kGatewayPort,
                                              "getSnmpData#" + liveSession + "#" + kSysName, 2s));
  }
  EXPECT_EQ("hello", d.request("127.0.0.1", kGatewayPort, "hello"));
  EXPECT_LT(since(start), kTimeout / 2) << "the live requests waited";

  EXPECT_EQ("No Response", a.receive(kt::scaled(5s)));
  EXPECT_GE(since(start), kTimeout - 100ms);
  // The lookup's first get (the wanted address) is late but answered; the scripted value is no
  // six-byte address of any interface, so the walk ends with "0.0.0.0".
  EXPECT_EQ("0.0.0.0", c.receive(kt::scaled(10s)));
  EXPECT_EQ("failed: Quenby not responding", b.receive(kt::scaled(15s)));
  EXPECT_GE(since(start), 10s);
}

// An answer that is late, duplicated or carries another request's id completes no other
// request in flight on the same session.
TEST(GatewayConcurrency, AHostileAgentCompletesNoOtherRequest) {
  Step wrongId;
  wrongId.act = Act::kWrongId;
  Step late;
  late.act = Act::kLate;
  late.delay = kTimeout + 200ms;
  late.value = "LATE";
  Step dup;
  dup.act = Act::kDuplicate;
  dup.value = "ONCE";
  Step right;
  right.value = "RIGHT";
  right.delay = 100ms;
  kt::ScriptedAgent agent({wrongId, late, dup, right}, right);
  ASSERT_TRUE(agent.ok());
  kt::Gateway gw(station());
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  kt::UdpClient applet("127.0.0.2");
  const std::string session = gw.open(applet, agent.peer());
  ASSERT_FALSE(session.empty());
  // Four gets on one session at once: the agent answers them in the order of its script.
  const auto start = Clock::now();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(applet.send("127.0.0.1", kGatewayPort, "getSnmpData#" + session + "#" + kSysName));
    std::this_thread::sleep_for(20ms);  // so that the agent reads them in this order
  }
  // The duplicated answer and the right one come first, then the two without an answer of
  // their own: one got only another id, the other its answer after its time-out.
  EXPECT_EQ("ONCE", applet.receive(kt::scaled(5s)));
  EXPECT_EQ("RIGHT", applet.receive(kt::scaled(5s)));
  EXPECT_LT(since(start), kTimeout);
  EXPECT_EQ("No Response", applet.receive(kt::scaled(5s)));
  EXPECT_EQ("No Response", applet.receive(kt::scaled(5s)));
  // No request got a second reply.
  EXPECT_FALSE(applet.receive(500ms));
  EXPECT_EQ(4, agent.requests());
}

// closeSession answers "close" at once; the requests in flight on that session end with the
// reply of a closed session.
TEST(GatewayConcurrency, CloseEndsTheRequestsOnItsSession) {
  kt::UdpClient silent("127.0.0.1");
  kt::Gateway gw(station());
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  kt::UdpClient applet("127.0.0.2");
  const std::string session = gw.open(applet, silent.peer());
  ASSERT_FALSE(session.empty());
  const auto start = Clock::now();
  ASSERT_TRUE(applet.send("127.0.0.1", kGatewayPort, "getSnmpData#" + session + "#" + kSysName));
  ASSERT_TRUE(
      applet.send("127.0.0.1", kGatewayPort, "getIpAddress#" + session + "#1.3.6.1.2.1.2.2.1.6.1"));
  kt::UdpClient other("127.0.0.2");  // the same address: the session's owner
  EXPECT_EQ("close", other.request("127.0.0.1", kGatewayPort, "closeSession#" + session));
  std::vector<std::string> replies;
  for (int i = 0; i < 2; ++i) replies.push_back(applet.receive(2s).value_or("(none)"));
  std::sort(replies.begin(), replies.end());
  EXPECT_EQ((std::vector<std::string>{"0.0.0.0", "No Such Object"}), replies);
  EXPECT_LT(since(start), kTimeout);
  EXPECT_TRUE(gw.process().waitForOutput("Successfully closed session " + session));
}

// A stop ends the gateway at once, whatever is in flight.
TEST(GatewayConcurrency, StopEndsItWhateverIsInFlight) {
  kt::UdpClient silent("127.0.0.1");
  kt::Gateway gw(station());
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  kt::UdpClient applet("127.0.0.2"), console("127.0.0.3");
  const std::string session = gw.open(applet, silent.peer());
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(applet.send("127.0.0.1", kGatewayPort, "getSnmpData#" + session + "#" + kSysName));
  }
  ASSERT_TRUE(console.send("127.0.0.1", kGatewayPort, "getHostName"));
  ASSERT_TRUE(gw.process().waitForOutput("Contacting Quenby for SelectionName"));
  const auto start = Clock::now();
  gw.process().signal(SIGTERM);
  EXPECT_EQ(0, gw.process().wait(kt::scaled(2s)));
  EXPECT_LT(since(start), kTimeout / 2);
}

// Past its limits a request waits its turn; past the queue it is refused at once with its
// command's failure text, and the console says so. None is dropped.
TEST(GatewayConcurrency, PastTheLimitsRequestsWaitOrAreRefused) {
  kt::UdpClient silent("127.0.0.1");
  // Two in flight for the address, 32 waiting behind them.
  kt::Gateway gw(station({{"TAVRIN_REQUESTS_PER_ADDRESS", "2"}}));
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  kt::UdpClient applet("127.0.0.2");
  const std::string session = gw.open(applet, silent.peer());
  const std::string get = "getSnmpData#" + session + "#" + kSysName;
  const auto start = Clock::now();
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(applet.send("127.0.0.1", kGatewayPort, get));
  ASSERT_TRUE(
      applet.send("127.0.0.1", kGatewayPort, "getIpAddress#" + session + "#1.3.6.1.2.1.2.2.1.6.1"));
  // The six that found no room, and the lookup after them, are refused at once.
  for (int i = 0; i < 6; ++i) EXPECT_EQ("No Response", applet.receive(1s)) << i;
  EXPECT_EQ("0.0.0.0", applet.receive(1s));
  EXPECT_LT(since(start), kTimeout);
  EXPECT_TRUE(gw.process().waitForOutput("Too many requests: 1 refused so far"));
  // Others are served meanwhile.
  kt::UdpClient other("127.0.0.3");
  EXPECT_EQ("hello", other.request("127.0.0.1", kGatewayPort, "hello"));
  // The first two time out together, then the waiting ones two by two.
  EXPECT_EQ("No Response", applet.receive(kt::scaled(5s)));
  EXPECT_EQ("No Response", applet.receive(kt::scaled(5s)));
  EXPECT_EQ("No Response", applet.receive(kt::scaled(5s)));
  EXPECT_GE(since(start), 2 * kTimeout - 100ms);
}

// A mixed stream of requests from several clients, each waiting for its reply before its next
// request, gets byte for byte the replies of a gateway that takes one request at a time.
TEST(GatewayConcurrency, RepliesAreThoseOfTheSequentialGateway) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::UdpClient silent("127.0.0.1");
  const std::string silentPeer = silent.peer();

  auto replies = [&](kt::Env extra) {
    kt::Gateway gw(station(extra));
    EXPECT_TRUE(gw.ready());
    std::vector<std::unique_ptr<kt::UdpClient>> clients;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(
          std::make_unique<kt::UdpClient>(("127.0.0." + std::to_string(20 + i)).c_str()));
    }
    // Each client's script: its own session, then a mix of every command.
    std::vector<std::vector<std::string>> scripts(3);
    std::vector<std::string> out;
    for (size_t c = 0; c < clients.size(); ++c) {
      const std::string s = gw.open(*clients[c], c == 2 ? silentPeer : agent->peer());
      out.push_back(s.empty() ? "(no session)" : "session");
      scripts[c] = {"getSnmpData#" + s + "#" + kSysName,
                    "getSnmpData#" + s + "#1.3.6.1.2.1.1.1.0",
                    "getSnmpData#" + s + "#1.3.6.1.2.1.1.99.0",
                    "getSnmpData#" + s + "#" + kt::kProbeOid,
                    "getIpAddress#" + s + "#1.3.6.1.2.1.2.2.1.6.1",
                    "getSnmpData#" + s + "#1.3.6.1.2.1.1.3.0x",
                    "getSnmpData#999999#" + std::string(kSysName),
                    "echo#" + std::to_string(c),
                    "",
                    "closeSession#" + s,
                    "getSnmpData#" + s + "#" + kSysName};
    }
    // Round robin: one request from each client in turn, each waiting for its reply.
    for (size_t step = 0; step < scripts[0].size(); ++step) {
      for (size_t c = 0; c < clients.size(); ++c) {
        std::string r = clients[c]
                            ->request("127.0.0.1", kGatewayPort, scripts[c][step], 10s)
                            .value_or("(no reply)");
        // sysUpTime and sysDescr's numbers change between runs; their kind does not.
        if (scripts[c][step].find("1.3.6.1.2.1.1.3.0") != std::string::npos) r = "(uptime)";
        out.push_back(std::to_string(c) + ": " + r);
      }
    }
    return out;
  };
  // A short time-out: one client's agent is silent.
  const std::vector<std::string> sequential =
      replies({{"OVSNMP_TIMEOUT_MS", "200"}, {"TAVRIN_REQUESTS_MAX", "1"}});
  const std::vector<std::string> concurrent = replies({{"OVSNMP_TIMEOUT_MS", "200"}});
  EXPECT_EQ(sequential, concurrent);
  EXPECT_NE(std::string::npos, sequential.back().find("No Such Object"));
}

}  // namespace
