// hostile_peers_test.cc - the gateway and the selection name server against senders that forge,
// flood, probe and inject: the real programs, forged datagrams through a raw socket, and real
// agents, all inside the test's own network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "reliability.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kGatewayPort = 8088;
constexpr uint16_t kQuenbyPort = 8008;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";
constexpr const char *kOpenFailed = "failed: Could not open SNMP session";

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The station's programs on one object database: tavrin (with -ds, so that each request and
// reply shows) and, when asked for, quenby.
class Station : public kt::Station {
 public:
  explicit Station(kt::Env extra = {}) : extra_(std::move(extra)) {
    extra_.emplace(extra_.begin(), "OV_SERVER_NAME", "127.0.0.1");
  }

  kt::Process &startTavrin(std::vector<std::string> args = {"-ds"}) {
    tavrin_ = start("tavrin", std::move(args), extra_);
    EXPECT_TRUE(tavrin_->waitForOutput("Will wait on select for port 8088")) << tavrin_->output();
    return *tavrin_;
  }
  kt::Process &startQuenby() {
    quenby_ = start("quenby", {}, extra_);
    EXPECT_TRUE(quenby_->waitForOutput("Listening on UDP port 8008")) << quenby_->output();
    return *quenby_;
  }
  kt::Process &tavrin() { return *tavrin_; }
  kt::Process &quenby() { return *quenby_; }

 private:
  kt::Env extra_;
  std::unique_ptr<kt::Process> tavrin_;
  std::unique_ptr<kt::Process> quenby_;
};

// Every datagram that arrives at `client` within `quiet` of the last one.
int drain(kt::UdpClient &client, std::chrono::milliseconds quiet) {
  int n = 0;
  while (client.receive(quiet)) ++n;
  return n;
}

// A datagram with the source port of the other server (or of the server itself, or of a
// well-known service) gets no answer: one forged datagram can't start two servers answering
// each other for ever, nor make a server answer a service port.
TEST(HostilePeers, ServersNeverAnswerReservedOrEachOthersPorts) {
  Station station;
  kt::Process &tavrin = station.startTavrin();
  kt::Process &quenby = station.startQuenby();
  // A socket at a well-known port would see any answer sent there.
  kt::UdpClient dns("127.0.0.1", 53);
  ASSERT_TRUE(dns.ok());

  struct Forged {
    uint16_t source;
    uint16_t destination;
    const char *payload;
  };
  const Forged forged[] = {
      {kQuenbyPort, kGatewayPort, "hello"},   // quenby -> tavrin: the echo loop between them
      {kGatewayPort, kGatewayPort, "hello"},  // tavrin -> tavrin
      {kGatewayPort, kQuenbyPort, ""},        // tavrin -> quenby, an empty datagram
      {kQuenbyPort, kQuenbyPort, "x"},        // quenby -> quenby
      {53, kGatewayPort, "hello"},            // at a name server
      {53, kQuenbyPort, "hello"},
      {0, kGatewayPort, "hello"},
      {1023, kQuenbyPort, "getHostName"},
  };
  for (const Forged &f : forged) {
    ASSERT_TRUE(kt::sendForgedUdp("127.0.0.1", f.source, "127.0.0.1", f.destination, f.payload))
        << "raw sockets are needed for this test";
  }
  EXPECT_TRUE(tavrin.waitForOutput("Dropped datagrams: 1 from reserved source ports", 5s))
      << tavrin.output();
  EXPECT_TRUE(quenby.waitForOutput("Dropped datagrams: 1 from reserved source ports", 5s))
      << quenby.output();
  EXPECT_FALSE(dns.receive(500ms));

  // Nothing was read as a request, and nothing was answered.
  EXPECT_EQ(0u, count(tavrin.output(), "\tReceived:")) << tavrin.output();
  EXPECT_EQ(0u, count(quenby.output(), "\tReceived")) << quenby.output();
  // Both still answer an ordinary client.
  kt::UdpClient client("127.0.0.1");
  EXPECT_EQ("hello", client.request("127.0.0.1", kGatewayPort, "hello"));
  EXPECT_EQ("hello", client.request("127.0.0.1", kQuenbyPort, "hello#there"));
  EXPECT_EQ(1u, count(tavrin.output(), "  Returning ")) << tavrin.output();
  EXPECT_EQ(1u, count(quenby.output(), "  Returning ")) << quenby.output();
}

// A forged source can aim replies at a victim; each address gets at most a burst of 200
// replies and 100 a second after it, from either server. Other addresses are still answered.
TEST(HostilePeers, RepliesPerSourceAddressAreLimited) {
  ASSERT_TRUE(kt::addLoopbackAddress("10.77.0.1"));
  ASSERT_TRUE(kt::addLoopbackAddress("10.77.0.2"));
  Station station;
  kt::Process &tavrin = station.startTavrin({});
  kt::Process &quenby = station.startQuenby();

  for (uint16_t port : {kGatewayPort, kQuenbyPort}) {
    SCOPED_TRACE(port);
    kt::UdpClient victim("10.77.0.1");
    ASSERT_TRUE(victim.ok());
    const int sent = 1000;
    const auto start = Clock::now();
    for (int i = 0; i < sent; ++i) {
      ASSERT_TRUE(victim.send("10.77.0.2", port, "x"));
      // Paced a little, so that the server's socket buffer is not what limits the replies.
      if (i % 50 == 49) std::this_thread::sleep_for(2ms);
    }
    const int answered = drain(victim, 300ms);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LE(answered, 200 + static_cast<int>(100 * seconds) + 5);
    EXPECT_GE(answered, 150);
    // Another address is answered at once.
    kt::UdpClient other("10.77.0.2");
    EXPECT_EQ("hello", other.request("10.77.0.2", port, "hello"));
  }
  EXPECT_TRUE(tavrin.waitForOutput(" over the reply limit", 5s)) << tavrin.output();
  EXPECT_TRUE(quenby.waitForOutput(" over the reply limit", 5s));
}

// The gateway carries the station's community only to the SNMP nodes of the object database:
// by host name, by selection name, or by an address a node's name resolves to, on the node's
// port. Any other agent is refused without a datagram leaving the station.
TEST(HostilePeers, SessionsOpenOnlyToTheDatabasesSnmpNodes) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  const std::string port = std::to_string(agent->port());
  // An agent the database does not know: it counts every datagram that reaches it.
  kt::UdpClient outsider("127.0.0.3");
  ASSERT_TRUE(outsider.ok());
  const std::string outsiderPeer = "127.0.0.3:" + std::to_string(outsider.localPort());

  Station station;
  ASSERT_NE(0u, station.db().addQuietNode("127.0.0.1:" + port, "router7"));
  ASSERT_NE(0u, station.db().addQuietNode("localhost:" + port, "localhost:" + port));
  // A node that does not support SNMP, at the outsider's address.
  ASSERT_EQ(0, station.db().ovw({"add", "node", outsiderPeer, "--no-snmp", "--no-trap"}).status);
  kt::Process &tavrin = station.startTavrin();
  kt::UdpClient applet("127.0.0.1");

  auto open = [&](const std::string &name) {
    return applet.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + name).value_or("");
  };
  for (const std::string &name : {"127.0.0.1:" + port,         // a node's host name
                                  "localhost:" + port,         // a selection name
                                  "udp:127.0.0.1:" + port}) {  // resolves to a node, its port
    SCOPED_TRACE(name);
    const std::string session = open(name);
    ASSERT_NE(kOpenFailed, session);
    EXPECT_EQ("kestara-test-agent",
              applet.request("127.0.0.1", kGatewayPort, "getSnmpData#" + session + "#" + kSysName));
    EXPECT_EQ("close", applet.request("127.0.0.1", kGatewayPort, "closeSession#" + session));
  }
  for (const std::string &name :
       {outsiderPeer, std::string("udp:") + outsiderPeer,
        "127.0.0.1:" + std::to_string(agent->port() + 1),  // a node's
        std::string("127.0.0.1"),                          // host, but another port
        std::string("router8"), std::string(""), std::string("tcp:127.0.0.1:") + port}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(kOpenFailed, open(name));
  }
  EXPECT_TRUE(tavrin.waitForOutput("is not an SNMP node of the object database"))
      << tavrin.output();
  EXPECT_FALSE(outsider.receive(300ms));
  // A node whose name does not resolve may be asked for; its open fails as any failed open.
  ASSERT_NE(0u, station.db().addQuietNode("no-such-host.invalid", "no-such-host.invalid"));
  EXPECT_EQ(kOpenFailed, open("no-such-host.invalid"));
  EXPECT_TRUE(tavrin.waitForErrors("OVsnmpOpen failed: ")) << tavrin.errors();
  // A name with a newline is refused, and shown escaped.
  EXPECT_EQ(kOpenFailed, open("evil\nforged"));
  EXPECT_TRUE(tavrin.waitForOutput("evil\\x0aforged is not an SNMP node")) << tavrin.output();
}

// An operator may let the gateway open sessions to any agent of the networks listed.
TEST(HostilePeers, OperatorNetworksWidenWhatMayBeOpened) {
  kt::UdpClient outsider("127.0.0.3");
  ASSERT_TRUE(outsider.ok());
  Station station(kt::Env{{"TAVRIN_AGENT_NETWORKS", "127.0.0.3/32, bogus, ::1"}});
  kt::Process &tavrin = station.startTavrin();
  EXPECT_TRUE(tavrin.waitForOutput("TAVRIN_AGENT_NETWORKS: ignoring bogus")) << tavrin.output();
  kt::UdpClient applet("127.0.0.1");
  auto session =
      applet.request("127.0.0.1", kGatewayPort,
                     "openSnmpSession#127.0.0.3:" + std::to_string(outsider.localPort()));
  ASSERT_TRUE(session);
  EXPECT_NE(kOpenFailed, *session);
  EXPECT_EQ(kOpenFailed,
            applet.request("127.0.0.1", kGatewayPort, "openSnmpSession#127.0.0.4:161"));
}

// One sender can hold only so many sessions, and only its own: another address can't use or
// close them, and others keep being served after the first has taken all it may.
TEST(HostilePeers, SessionsBelongToTheirAddressAndAreLimited) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  Station station(
      kt::Env{kt::kAnyAgent, {"TAVRIN_SESSIONS_PER_ADDRESS", "5"}, {"TAVRIN_SESSIONS_MAX", "8"}});
  kt::Process &tavrin = station.startTavrin();
  const std::string open = "openSnmpSession#" + agent->peer();

  kt::UdpClient hog("127.0.0.1");
  std::vector<std::string> held;
  for (int i = 0; i < 20; ++i) {
    auto reply = hog.request("127.0.0.1", kGatewayPort, open);
    ASSERT_TRUE(reply);
    if (*reply != kOpenFailed) held.push_back(*reply);
  }
  EXPECT_EQ(5u, held.size());
  EXPECT_TRUE(tavrin.waitForOutput("refused: 5 sessions open from this address"))
      << tavrin.output();

  kt::UdpClient other("127.0.0.2");
  auto mine = other.request("127.0.0.2", kGatewayPort, open);
  ASSERT_TRUE(mine);
  ASSERT_NE(kOpenFailed, *mine);
  EXPECT_EQ("kestara-test-agent",
            other.request("127.0.0.2", kGatewayPort, "getSnmpData#" + *mine + "#" + kSysName));
  // A request without a number names the session read last: not the hog's to use.
  EXPECT_EQ("No Such Object",
            hog.request("127.0.0.1", kGatewayPort, "getSnmpData##" + std::string(kSysName)));
  // The hog's sessions are not the other's: unknown to it, whatever it asks.
  const std::string theirs = held.front();
  EXPECT_EQ("No Such Object",
            other.request("127.0.0.2", kGatewayPort, "getSnmpData#" + theirs + "#" + kSysName));
  EXPECT_EQ("0.0.0.0", other.request("127.0.0.2", kGatewayPort,
                                     "getIpAddress#" + theirs + "#1.3.6.1.2.1.2.2.1.6.1"));
  EXPECT_EQ("close", other.request("127.0.0.2", kGatewayPort, "closeSession#" + theirs));
  EXPECT_TRUE(tavrin.waitForOutput("OVsnmpClose encountered bad SessionID " + theirs));
  EXPECT_EQ("kestara-test-agent",
            hog.request("127.0.0.1", kGatewayPort, "getSnmpData#" + theirs + "#" + kSysName));

  // Room for 8 in all: 5 + 1 are open, so a third address gets two more, then no more.
  kt::UdpClient third("127.0.0.4");
  EXPECT_NE(kOpenFailed, third.request("127.0.0.4", kGatewayPort, open));
  EXPECT_NE(kOpenFailed, third.request("127.0.0.4", kGatewayPort, open));
  EXPECT_EQ(kOpenFailed, third.request("127.0.0.4", kGatewayPort, open));
  EXPECT_TRUE(tavrin.waitForOutput("refused: 8 sessions open")) << tavrin.output();
  // The station's own questions still work: nothing has run out of descriptors.
  auto name = hog.request("127.0.0.1", kGatewayPort, "getHostName");
  ASSERT_TRUE(name);
  EXPECT_EQ(std::string::npos, name->find("Cannot resolve")) << *name;
  // A session closed by its owner makes room again.
  EXPECT_EQ("close", hog.request("127.0.0.1", kGatewayPort, "closeSession#" + held.back()));
  EXPECT_NE(kOpenFailed, third.request("127.0.0.4", kGatewayPort, open));
}

// A session left unused is closed after the idle time, with a console line.
TEST(HostilePeers, IdleSessionsAreClosed) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  Station station(kt::Env{kt::kAnyAgent, {"TAVRIN_SESSION_IDLE_SECONDS", "1"}});
  kt::Process &tavrin = station.startTavrin({});
  kt::UdpClient applet("127.0.0.1");
  auto session = applet.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + agent->peer());
  ASSERT_TRUE(session);
  ASSERT_NE(kOpenFailed, *session);
  EXPECT_TRUE(tavrin.waitForOutput("Session " + *session + " of 127.0.0.1 closed after 1 s idle",
                                   kt::scaled(5s)))
      << tavrin.output();
  EXPECT_EQ("No Such Object",
            applet.request("127.0.0.1", kGatewayPort, "getSnmpData#" + *session + "#" + kSysName));
}

// While the gateway waits for a console's answer, only a datagram from that console's port 8008
// is taken for it: one sprayed at the exchange socket from elsewhere never reaches the applet.
TEST(HostilePeers, OnlyTheAskedConsoleAnswersGetHostName) {
  Station station;
  station.startTavrin();
  kt::UdpClient console("127.0.0.2", kQuenbyPort);  // the console's selection name server
  ASSERT_TRUE(console.ok());
  kt::UdpClient attacker("127.0.0.3");
  kt::UdpClient sameHost("127.0.0.2");  // the console's address, another port

  std::atomic<bool> done{false};
  std::thread consoleSide([&] {
    // Read the forwarded request to learn the exchange socket's port, have the attackers aim
    // there first, then answer.
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char buffer[256];
    pollfd p{console.fd(), POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    ssize_t n = recvfrom(console.fd(), buffer, sizeof buffer, 0,
                         reinterpret_cast<sockaddr *>(&from), &length);
    if (n <= 0) return;
    const uint16_t exchange = ntohs(from.sin_port);
    (void)attacker.send("127.0.0.1", exchange, "EVIL");
    (void)sameHost.send("127.0.0.1", exchange, "EVIL2");
    (void)kt::sendForgedUdp("127.0.0.2", 9, "127.0.0.1", exchange, "EVIL3");
    std::this_thread::sleep_for(200ms);
    (void)sendto(console.fd(), "router7", 7, 0, reinterpret_cast<sockaddr *>(&from), length);
    done = true;
  });
  kt::UdpClient applet("127.0.0.2");
  auto reply = applet.request("127.0.0.1", kGatewayPort, "getHostName", 15s);
  consoleSide.join();
  EXPECT_TRUE(done);
  EXPECT_EQ("router7", reply);
}

// Text from the network reaches the console escaped: a newline in a request can't forge a line.
TEST(HostilePeers, ReceivedTextCannotForgeConsoleLines) {
  Station station;
  kt::Process &tavrin = station.startTavrin();
  kt::Process &quenby = station.startQuenby();
  kt::UdpClient client("127.0.0.1");
  const std::string evil = "hello\nforged line\x1b[2J";
  EXPECT_EQ(std::string("hello\nforged line\x1b[2J"),
            client.request("127.0.0.1", kGatewayPort, evil));
  EXPECT_EQ(evil, client.request("127.0.0.1", kQuenbyPort, evil));
  const std::string shown = "hello\\x0aforged line\\x1b[2J";
  EXPECT_TRUE(tavrin.waitForOutput("\tReceived: " + shown + "\n")) << tavrin.output();
  EXPECT_TRUE(tavrin.waitForOutput("  Returning " + shown + " to Applet")) << tavrin.output();
  EXPECT_TRUE(
      quenby.waitForOutput("\tReceived " + std::to_string(evil.size()) + " bytes: " + shown + "\n"))
      << quenby.output();
  EXPECT_EQ(std::string::npos, tavrin.output().find("\nforged line"));
  EXPECT_EQ(std::string::npos, quenby.output().find("\nforged line"));
}

// Names in the object database reach the console escaped too: the sweep's lines can't be forged
// by a node's name.
TEST(HostilePeers, DatabaseNamesCannotForgeConsoleLines) {
  Station station;
  ASSERT_NE(0u, station.db().addQuietNode("evil\nforged line", "evil\nforged line"));
  kt::RunResult r = station.run("ferrow", {"-sa"}, {{"OVSNMP_TIMEOUT_MS", "200"}}, 30s);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("evil\\x0aforged line")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("\nforged line")) << r.out;
}

}  // namespace
