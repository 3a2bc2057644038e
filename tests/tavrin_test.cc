// System tests of the gateway: the real tavrin against a real snmpd, over UDP port 8088.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "gateway.h"
#include "held.h"
#include "notify_socket.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;

class TavrinTest : public ::testing::TestWithParam<std::string> {};

TEST_P(TavrinTest, SessionGetAndClose) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::Gateway gw({.version = GetParam()});
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  const std::string session = gw.open(agent->peer());
  ASSERT_NE(std::string::npos, session.find_first_of("0123456789")) << session;
  EXPECT_EQ("kestara-test-agent", gw.ask("getSnmpData#" + session + "#1.3.6.1.2.1.1.5.0"));
  EXPECT_EQ("Kestara", gw.ask("getSnmpData#" + session + "#" + kt::kProbeOid));
  EXPECT_EQ("No Such Object", gw.ask("getSnmpData#" + session + "#1.3.6.1.2.1.1.99.0"));
  EXPECT_EQ("close", gw.ask("closeSession#" + session));
  EXPECT_TRUE(gw.process().waitForOutput("Successfully closed session " + session, 2s));
  // The closed session is refused by the library, and still answered "close".
  EXPECT_EQ("close", gw.ask("closeSession#" + session));
  EXPECT_TRUE(gw.process().waitForOutput("OVsnmpClose encountered bad SessionID " + session, 2s));
  EXPECT_EQ("No Such Object", gw.ask("getSnmpData#" + session + "#1.3.6.1.2.1.1.5.0"));
  EXPECT_EQ("hello", gw.ask("hello#there"));
  EXPECT_TRUE(gw.process().running());
}

TEST_P(TavrinTest, SilentAgentAndFailedOpen) {
  kt::UdpClient silent("127.0.0.1");
  kt::Gateway gw({.version = GetParam()});
  ASSERT_TRUE(gw.ready());
  auto session = gw.ask("openSnmpSession#" + silent.peer());
  ASSERT_TRUE(session);
  EXPECT_EQ("No Response", gw.ask("getSnmpData#" + *session + "#1.3.6.1.2.1.1.5.0"));
  // A name that resolves to no address lies in no network the gateway may reach.
  EXPECT_EQ("failed: Could not open SNMP session", gw.ask("openSnmpSession#no-such-host.invalid"));
  EXPECT_TRUE(gw.process().waitForOutput("no-such-host.invalid is not an SNMP node"));
  EXPECT_TRUE(gw.process().waitForOutput("  SessionID = 0 from 127.0.0.1"));
}

INSTANTIATE_TEST_SUITE_P(Versions, TavrinTest, ::testing::Values("1", "2c"));

// The reply for sysDescr, sysName, sysObjectID, sysUpTime and ifNumber equals what the
// rendering rules make of net-snmp's own snmpget output for the same agent.
TEST(TavrinDifferential, MatchesSnmpget) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::Gateway gw;
  ASSERT_TRUE(gw.ready());
  auto session = gw.ask("openSnmpSession#" + agent->peer());
  ASSERT_TRUE(session);
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 1.0, 1);
  for (std::string oid : {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.2.0",
                          "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.2.1.0"}) {
    auto ours = gw.ask("getSnmpData#" + *session + "#" + oid);
    ASSERT_TRUE(ours) << oid;
    auto theirs =
        kt::run({"/usr/bin/snmpget", "-v2c", "-c", "public", "-Oqvtn", "-Ox", agent->peer(), oid},
                kt::clientEnv(conf));
    ASSERT_EQ(0, theirs.status) << theirs.err;
    std::string value = theirs.out.substr(0, theirs.out.find_last_not_of("\n") + 1);
    if (oid == "1.3.6.1.2.1.1.2.0") {
      // An OBJECT IDENTIFIER value shows as its first sub-identifier.
      ASSERT_EQ('.', value[0]) << value;
      EXPECT_EQ(value.substr(1, value.find('.', 1) - 1), *ours);
    } else if (oid == "1.3.6.1.2.1.1.3.0") {
      // TimeTicks moves on between the two reads.
      long a = std::stol(*ours), b = std::stol(value);
      EXPECT_LE(a, b);
      EXPECT_LT(b - a, 200);
    } else if (!value.empty() && value.front() == '"') {
      // -Ox prints an OCTET STRING as hex pairs: the reply holds the bytes themselves.
      std::string bytes;
      std::istringstream hex(value.substr(1, value.size() - 2));
      for (std::string pair; hex >> pair;) {
        bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
      }
      EXPECT_EQ(bytes, *ours) << oid;
    } else {
      EXPECT_EQ(value, *ours) << oid;
    }
  }
}

// Hostile datagrams: every one of at most 256 bytes gets exactly one reply of at most 128
// bytes that does not end in NUL; longer ones get none; the gateway survives them all.
TEST(TavrinBadInput, EveryDatagramGetsOneBoundedReply) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::Gateway gw;
  ASSERT_TRUE(gw.ready());
  auto session = gw.ask("openSnmpSession#" + agent->peer());
  ASSERT_TRUE(session);
  std::string many_components = "1";
  for (int i = 0; i < 60; ++i) many_components += ".1";
  std::vector<std::string> requests = {
      "",
      "#",
      "##",
      std::string(1, '\0'),
      std::string("getSnmpData\0#1#1.3", 18),
      std::string(256, 'A'),
      "getSnmpData#" + std::string(200, '9') + "#1.3.6.1.2.1.1.5.0",
      "getSnmpData#" + *session + "#" + std::string(200, '1'),
      "getSnmpData#" + *session + "#" + many_components,
      "getIpAddress#" + *session + "#" + many_components,
      "getSnmpData#abc#1.3.6.1.2.1.1.5.0",
      "getSnmpData#4000000000#1.3.6.1.2.1.1.5.0",
      "getSnmpData#" + *session + "#..1..",
      "getSnmpData#" + *session + "#",
      "getSnmpData",
      "closeSession#",
      "closeSession#abc",
      "closeSession#12345678",
      "openSnmpSession#",
      "openSnmpSession#%n%s%n%s",
      "%n%s#%n%s#%n%s",
      "getSnmpData#%n%s#%n%s",
      "getIpAddress#%n%s#%n%s",
      "closeSession#%n%s",
      std::string(127, 'B') + "#x",
      std::string(128, 'C'),
      "gethostname",
  };
  const std::vector<std::string> random = kt::randomDatagrams(8088, 40);
  requests.insert(requests.end(), random.begin(), random.end());
  ASSERT_NO_FATAL_FAILURE(kt::expectOneBoundedReplyEach(gw.client(), kt::kGatewayPort, requests));
  EXPECT_EQ("", gw.ask(""));
  EXPECT_EQ(std::string(127, 'B'), gw.ask(std::string(127, 'B') + "#x"));
  EXPECT_EQ(std::string(127, 'C'), gw.ask(std::string(128, 'C')));
  EXPECT_EQ("gethostname", gw.ask("gethostname"));
  // The text ends at its first zero byte: what follows is no field.
  EXPECT_EQ("hello", gw.ask(std::string("hello\0#there", 12)));
  EXPECT_EQ("", gw.ask(std::string("\0hello", 6)));
  EXPECT_EQ("failed: Could not open SNMP session",
            gw.ask(std::string("openSnmpSession\0#", 17) + agent->peer()));
  // An empty node name names no node of the database.
  EXPECT_EQ("failed: Could not open SNMP session", gw.ask("openSnmpSession#"));
  EXPECT_EQ("No Such Object", gw.ask("getSnmpData#" + *session + "#" + many_components));

  // Over 256 bytes: no reply, "recvfrom error", and the next request is served.
  ASSERT_TRUE(gw.client().send("127.0.0.1", kt::kGatewayPort, std::string(300, 'x')));
  EXPECT_FALSE(gw.client().receive(300ms));
  ASSERT_TRUE(gw.client().send("127.0.0.1", kt::kGatewayPort, std::string(257, 'x')));
  EXPECT_FALSE(gw.client().receive(300ms));
  EXPECT_TRUE(gw.process().waitForOutput("recvfrom error\n", 2s));
  // "closeSession#" without a number closed the current session above: open a new one.
  auto fresh = gw.ask("openSnmpSession#" + agent->peer());
  ASSERT_TRUE(fresh);
  EXPECT_EQ("kestara-test-agent", gw.ask("getSnmpData#" + *fresh + "#1.3.6.1.2.1.1.5.0"));
  EXPECT_TRUE(gw.process().running());
}

TEST(TavrinTrace, ServerTraceLines) {
  kt::Gateway gw({.args = {"-dsx"}});
  ASSERT_TRUE(gw.ready());
  EXPECT_EQ("hello", gw.ask("hello#there"));
  EXPECT_TRUE(gw.process().waitForOutput("\tReceived: hello#there\n", 2s));
  EXPECT_TRUE(gw.process().waitForOutput("  Returning hello to Applet on port ", 2s));
}

TEST(TavrinPmd, ReadyThenOrderlyStop) {
  kt::NotifySocket notify;
  ASSERT_TRUE(notify.ok());
  kt::Gateway gw({.env = {{"NOTIFY_SOCKET", notify.path()}}});
  ASSERT_TRUE(gw.ready());
  EXPECT_TRUE(notify.waitFor("READY=1", 2s)) << notify.received();
  EXPECT_TRUE(notify.waitFor("STATUS=Listening for data on Tavrin", 2s)) << notify.received();
  gw.process().signal(SIGTERM);
  EXPECT_EQ(0, gw.process().wait(5s));
  EXPECT_TRUE(notify.waitFor("STATUS=Closing sockets and exiting.....", 2s)) << notify.received();
}

// A stop request and a datagram that wait together: the stop is handled first, and the
// datagram gets no reply.
TEST(TavrinPmd, StopRequestGoesBeforeADatagramWaitingWithIt) {
  kt::NotifySocket notify;
  kt::Gateway gw({.args = {"-ds"}, .env = {{"NOTIFY_SOCKET", notify.path()}}});
  ASSERT_TRUE(gw.ready());
  ASSERT_TRUE(notify.waitFor("READY=1", 2s)) << notify.received();
  ASSERT_TRUE(kt::hold(gw.process()));
  ASSERT_TRUE(gw.client().send("127.0.0.1", kt::kGatewayPort, "hello"));
  gw.process().signal(SIGTERM);
  gw.process().signal(SIGCONT);
  EXPECT_EQ(0, gw.process().wait(5s));
  EXPECT_FALSE(gw.client().receive(300ms));
  EXPECT_EQ(std::string::npos, gw.process().output().find("Received: hello"))
      << gw.process().output();
  EXPECT_TRUE(notify.waitFor("STATUS=Closing sockets and exiting.....", 2s)) << notify.received();
}

TEST(TavrinPmd, InterruptStopsItByHand) {
  kt::Gateway gw;
  ASSERT_TRUE(gw.ready());
  EXPECT_EQ("hello", gw.ask("hello"));
  gw.process().signal(SIGINT);
  EXPECT_EQ(0, gw.process().wait(5s));
}

TEST(TavrinStartup, PortTakenIsReported) {
  kt::UdpClient squatter("0.0.0.0", kt::kGatewayPort);
  ASSERT_TRUE(squatter.ok());
  kt::NotifySocket notify;
  kt::TempDir conf;
  auto r = kt::run({kt::binPath("tavrin")}, {{"NOTIFY_SOCKET", notify.path()}}, 10s);
  // A failed start: no READY, and a status that makes the process manager try again.
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Can't bind to local address\n", r.out);
  EXPECT_EQ("tavrin: bind to 0.0.0.0 port 8088: Address already in use\n", r.err);
  EXPECT_TRUE(notify.waitFor("STATUS=Can't bind to local address: bind to 0.0.0.0 port 8088", 2s))
      << notify.received();
  EXPECT_EQ(std::string::npos, notify.received().find("READY=1"));
}

TEST(TavrinStartup, HelpAndVersionStartNothing) {
  kt::UdpClient squatter("0.0.0.0", kt::kGatewayPort);  // a gateway that started would say so
  for (const char *option : {"--help", "--version"}) {
    auto r = kt::run({kt::binPath("tavrin"), "-ds", option}, {}, 10s);
    EXPECT_EQ(0, r.status) << option;
    EXPECT_EQ(std::string::npos, r.out.find("bind")) << r.out;
    EXPECT_EQ(0u, r.out.find(std::string(option) == "--help" ? "Usage: tavrin" : "tavrin "))
        << r.out;
  }
}

}  // namespace
