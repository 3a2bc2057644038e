// System tests of SNMPv3: the real tavrin and ferrow against a real snmpd with users of its own
// (createUser), configured as an operator would (snmp.conf, hosts/NAME.conf, ovsnmp.conf), and
// SNMPv3 traps and informs sent to ferrow by net-snmp's snmptrap and snmpinform. No pass phrase
// may appear in anything a program prints.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *kDeviceName = "v3-device";
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";
constexpr const char *kLoopbackMac = "1.3.6.1.2.1.2.2.1.6.1";  // ifPhysAddress of ifIndex 1
constexpr const char *kEnterprise = "1.3.6.1.4.1.11.2.17.1";
constexpr const char *kObjectVariable = "1.3.6.1.4.1.11.2.17.2.3.0";
constexpr const char *kTrapSenderEngine = "0x80000000c0ffee0001";

// The agent's users: privacy and authentication, authentication only, and one whose pass
// phrase the station gets wrong.
const kt::V3User kDevPriv{.name = "dev-priv",
                          .authType = "SHA-256",
                          .authPass = "devpriv-auth-secret",
                          .privType = "AES",
                          .privPass = "devpriv-priv-secret"};
const kt::V3User kDevAuth{.name = "dev-auth",
                          .authType = "SHA",
                          .authPass = "devauth-auth-secret",
                          .privType = "",
                          .level = "authNoPriv",
                          .access = "auth"};
const kt::V3User kDevOther{.name = "dev-other",
                           .authType = "SHA-256",
                           .authPass = "devother-auth-secret",
                           .privType = "AES",
                           .privPass = "devother-priv-secret"};

// What the station's hosts are configured with: a host name per case.
std::map<std::string, kt::V3User> stationHosts() {
  kt::V3User wrongPass = kDevOther;
  wrongPass.authPass = "wrongpass-auth-secret";
  kt::V3User unknown = kDevPriv;
  unknown.name = "nobody";
  kt::V3User level = kDevAuth;
  level.level = "authPriv";
  level.privType = "AES";
  level.privPass = "level-priv-secret";
  kt::V3User des = kDevPriv;
  des.privType = "DES";
  return {{"v3-authpriv", kDevPriv}, {"v3-authnopriv", kDevAuth}, {"v3-wrongpass", wrongPass},
          {"v3-unknown", unknown},   {"v3-level", level},         {"v3-des", des}};
}

// Every pass phrase of the agent, the station and the event senders.
const std::vector<std::string> kSecrets = {
    "devpriv-auth-secret",  "devpriv-priv-secret",   "devauth-auth-secret",  "devother-auth-secret",
    "devother-priv-secret", "wrongpass-auth-secret", "level-priv-secret",    "trapper-auth-secret",
    "trapper-priv-secret",  "informer-auth-secret",  "informer-priv-secret", "wrong-trapper-secret",
    "station-events"};

void expectNoSecret(const std::string &text, const std::string &what) {
  for (const std::string &secret : kSecrets) {
    EXPECT_EQ(std::string::npos, text.find(secret)) << what << " shows a pass phrase";
  }
}

std::unique_ptr<kt::SnmpAgent> startDevice() {
  kt::AgentOptions options;
  options.sys_name = kDeviceName;
  for (const kt::V3User *user : {&kDevPriv, &kDevAuth, &kDevOther}) {
    for (const std::string &line : kt::agentUserLines(*user)) options.extra_config.push_back(line);
  }
  return kt::SnmpAgent::start(options);
}

// A station configured as an operator would: snmp.conf (SNMPv2c by default), a host file per
// host name of stationHosts() leading to `agent`, and ovsnmp.conf when given.
class Station : public kt::Station {
 public:
  explicit Station(const kt::SnmpAgent &agent, const std::string &events = "")
      : kt::Station({.timeout = 500ms}) {
    for (const auto &[host, user] : stationHosts()) {
      kt::writeHostConfig(conf(), host, agent.peer(), kt::clientUserLines(user));
    }
    if (!events.empty()) conf().write("ovsnmp.conf", events);
  }
  // Another host name with the settings of one of stationHosts().
  void alias(const std::string &host, const std::string &as, const kt::SnmpAgent &agent) {
    kt::writeHostConfig(conf(), host, agent.peer(), kt::clientUserLines(stationHosts().at(as)));
  }
};

std::string sessionLine(const std::string &session, const std::string &reason) {
  return "SNMPv3 request on session " + session + " refused: " + reason;
}

// ---- tavrin ------------------------------------------------------------------------------

class SnmpV3Gateway : public testing::Test {
 protected:
  void SetUp() override {
    agent_ = startDevice();
    ASSERT_TRUE(agent_);
    station_.emplace(*agent_);
    // The gateway opens sessions to the database's SNMP nodes: the station's host names.
    for (const auto &[host, user] : stationHosts()) {
      ASSERT_EQ(1u, station_->db().addNodes({host}).size());
    }
    gateway_.emplace(kt::GatewayOptions{.env = station_->env(), .anyAgent = false});
    ASSERT_TRUE(gateway_->ready()) << tavrin().output();
  }
  void TearDown() override {
    if (!gateway_) return;
    tavrin().stop();
    expectNoSecret(tavrin().output(), "tavrin's output");
    expectNoSecret(tavrin().errors(), "tavrin's errors");
  }
  kt::Process &tavrin() { return gateway_->process(); }
  std::string ask(const std::string &request) {
    return gateway_->ask(request, kt::scaled(5s)).value_or("(no reply)");
  }

  std::unique_ptr<kt::SnmpAgent> agent_;
  std::optional<Station> station_;
  std::optional<kt::Gateway> gateway_;
};

// An applet reads the device through the gateway over authPriv (SHA-256, AES) and authNoPriv
// (SHA): single variables, and the interface address walk.
TEST_F(SnmpV3Gateway, GetsAndTheAddressWalkOverAuthNoPrivAndAuthPriv) {
  for (const char *host : {"v3-authpriv", "v3-authnopriv"}) {
    SCOPED_TRACE(host);
    const std::string session = ask(std::string("openSnmpSession#") + host);
    ASSERT_NE(std::string::npos, session.find_first_of("0123456789")) << session;
    EXPECT_EQ(kDeviceName, ask("getSnmpData#" + session + "#" + kSysName));
    EXPECT_EQ("Kestara", ask("getSnmpData#" + session + "#" + kt::kProbeOid));
    EXPECT_EQ("No Such Object", ask("getSnmpData#" + session + "#1.3.6.1.2.1.1.99.0"));
    EXPECT_EQ("127.0.0.1", ask("getIpAddress#" + session + "#" + kLoopbackMac));
    EXPECT_EQ("close", ask("closeSession#" + session));
  }
  EXPECT_EQ(std::string::npos, tavrin().output().find("refused")) << tavrin().output();
}

// An agent that refuses the user, the pass phrase or the level answers like one that does not
// respond; tavrin names the reason on its console. Settings that can't be used fail the open.
TEST_F(SnmpV3Gateway, RefusedRequestsAnswerNoResponseAndNameTheReason) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"v3-wrongpass", "wrong digest"},
      {"v3-unknown", "unknown user name"},
      {"v3-level", "unsupported security level"},
  };
  for (const auto &[host, reason] : cases) {
    SCOPED_TRACE(host);
    const std::string session = ask("openSnmpSession#" + host);
    ASSERT_NE(std::string::npos, session.find_first_of("0123456789")) << session;
    EXPECT_EQ("No Response", ask("getSnmpData#" + session + "#" + kSysName));
    EXPECT_EQ("0.0.0.0", ask("getIpAddress#" + session + "#" + kLoopbackMac));
    EXPECT_TRUE(tavrin().waitForOutput(sessionLine(session, "SNMPv3: "), 2s));
    const std::string out = tavrin().output();
    const size_t line = out.find(sessionLine(session, "SNMPv3: "));
    ASSERT_NE(std::string::npos, line);
    EXPECT_NE(std::string::npos, out.substr(line, out.find('\n', line) - line).find(reason)) << out;
    EXPECT_EQ("close", ask("closeSession#" + session));
  }
  EXPECT_EQ("failed: Could not open SNMP session", ask("openSnmpSession#v3-des"));
  EXPECT_TRUE(tavrin().waitForErrors("OVsnmpOpen failed: SNMPv3 settings can't be used", 2s))
      << tavrin().errors();
}

// ---- ferrow ------------------------------------------------------------------------------

// The sweep (blocking gets) and the probes of node events (asynchronous, each with its own
// engine-ID discovery) over authPriv and authNoPriv; refusals keep a flag as a silent node
// does, with the reason on the console.
TEST(SnmpV3Ferrow, SweepAndEventProbesOverAuthNoPrivAndAuthPriv) {
  auto agent = startDevice();
  ASSERT_TRUE(agent);
  Station station(*agent);
  kt::TestDatabase &db = station.db();
  std::map<std::string, OVwObjectId> ids;
  for (const char *host : {"v3-authpriv", "v3-authnopriv", "v3-wrongpass", "v3-unknown"}) {
    ids[host] = db.addNodes({host}).at(0);
  }
  ASSERT_TRUE(db.setFlag(ids["v3-wrongpass"], true));

  auto ferrow = station.start("ferrow", {"-sal"});
  ASSERT_TRUE(ferrow->waitForOutput("Found 3 objects that match isKestaraDevice", 20s))
      << ferrow->output();
  const std::string sweep = ferrow->output();
  for (const char *line : {
           "getOid succeeded for v3-authpriv - field set\n",
           "getOid succeeded for v3-authnopriv - field set\n",
           "SNMPv3 request refused: SNMPv3: authentication failed, wrong digest",
           "Found isKstrDev flag set on v3-wrongpass - not responding \n",
           "SNMPv3 request refused: SNMPv3: unknown user name",
           "v3-unknown non-Kestara Device\n",
       }) {
    EXPECT_NE(std::string::npos, sweep.find(line)) << line << "\n" << sweep;
  }
  EXPECT_EQ(true, db.flag(ids["v3-authpriv"]));
  EXPECT_EQ(true, db.flag(ids["v3-authnopriv"]));
  EXPECT_EQ(true, db.flag(ids["v3-wrongpass"]));
  EXPECT_EQ(false, db.flag(ids["v3-unknown"]));

  // Node events: each probe is an asynchronous request on a session of its own.
  ASSERT_TRUE(db.setFlag(ids["v3-authpriv"], false));
  ASSERT_TRUE(db.setFlag(ids["v3-authnopriv"], false));
  const size_t from = ferrow->output().size();
  for (const char *host : {"v3-authpriv", "v3-authnopriv", "v3-wrongpass"}) {
    kt::RunResult sent = db.ovw({"send", "event", std::to_string(ids[host]), "changed"});
    EXPECT_EQ(0, sent.status) << sent.err;
  }
  EXPECT_TRUE(ferrow->waitForOutput("Found isKstrDev flag set on v3-wrongpass - not responding \n",
                                    10s, from))
      << ferrow->output();
  EXPECT_TRUE(ferrow->waitForOutput("getOid succeeded for v3-authpriv - field set\n", 5s, from));
  EXPECT_TRUE(ferrow->waitForOutput("getOid succeeded for v3-authnopriv - field set\n", 5s, from));
  EXPECT_NE(std::string::npos,
            ferrow->output().find("SNMPv3 probe of v3-wrongpass refused: SNMPv3: authentication "
                                  "failed, wrong digest",
                                  from))
      << ferrow->output();
  EXPECT_EQ(true, db.flag(ids["v3-authpriv"]));
  EXPECT_EQ(true, db.flag(ids["v3-authnopriv"]));
  EXPECT_EQ(true, db.flag(ids["v3-wrongpass"]));
  ferrow->stop();
  expectNoSecret(ferrow->output(), "ferrow's output");
  expectNoSecret(ferrow->errors(), "ferrow's errors");
}

// ferrow's event configuration: SNMPv3 traps of a user configured with the sender's engine ID
// and informs of a user of ferrow's own engine are probed; a wrong pass phrase (a trap, and an
// inform, which is never acknowledged), a level below the user's, and SNMPv1/v2c events with a
// community not on the list are dropped and counted, with one console line for them.
TEST(SnmpV3Ferrow, AuthenticatedEventsAreProbedTheOthersDropped) {
  auto agent = startDevice();
  ASSERT_TRUE(agent);
  const std::string events =
      std::string("eventCommunity station-events\n") + "createUser -e " + kTrapSenderEngine +
      " trapper SHA-256 \"trapper-auth-secret\" AES \"trapper-priv-secret\"\n"
      "eventUser trapper priv\n"
      "createUser informer SHA-256 \"informer-auth-secret\" AES "
      "\"informer-priv-secret\"\n"
      "eventUser informer\n";
  Station station(*agent, events);
  const std::vector<std::string> hosts = {"event-a", "event-b", "event-c", "event-d"};
  for (const std::string &host : hosts) station.alias(host, "v3-authpriv", *agent);
  kt::TestDatabase &db = station.db();
  const std::string eventPeer = station.eventPeer();
  const std::vector<OVwObjectId> ids = db.addNodes(hosts);
  ASSERT_EQ(hosts.size(), ids.size());

  auto ferrow = station.start("ferrow", {"-sal"});
  ASSERT_TRUE(ferrow->waitForOutput("Found 4 objects that match isKestaraDevice", 20s))
      << ferrow->output();
  for (OVwObjectId id : ids) ASSERT_TRUE(db.setFlag(id, false));
  kt::TempDir senderConf;
  kt::writeClientConfig(senderConf, "2c", 2, 0, "public");
  const kt::Env sender = kt::clientEnv(senderConf);
  auto notify = [&](const std::string &tool, std::vector<std::string> args, OVwObjectId id) {
    std::vector<std::string> argv = {"/usr/bin/" + tool};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {eventPeer, "", std::string(kEnterprise) + ".0.58785794",
                             kObjectVariable, "s", std::to_string(id)});
    return kt::run(argv, sender, 20s);
  };
  const std::vector<std::string> trapper = {
      "-v", "3",       "-e", kTrapSenderEngine,     "-u", "trapper", "-l", "authPriv",
      "-a", "SHA-256", "-A", "trapper-auth-secret", "-x", "AES",     "-X", "trapper-priv-secret"};
  const size_t from = ferrow->output().size();

  // Accepted: the trap of a configured sender, an inform, the network monitor's node event.
  EXPECT_EQ(0, notify("snmptrap", trapper, ids[0]).status);
  kt::RunResult inform = notify("snmpinform",
                                {"-v", "3", "-u", "informer", "-l", "authNoPriv", "-a", "SHA-256",
                                 "-A", "informer-auth-secret", "-r", "1", "-t", "3"},
                                ids[1]);
  EXPECT_EQ(0, inform.status) << inform.err;  // acknowledged
  kt::Env monitor = db.env();
  monitor.emplace_back("OV_EVENT_COMMUNITY", "station-events");
  EXPECT_EQ(
      0, kt::run({kt::binPath("ovw"), "send", "event", std::to_string(ids[2]), "changed"}, monitor)
             .status);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(
        ferrow->waitForOutput("getOid succeeded for " + hosts[i] + " - field set\n", 10s, from))
        << ferrow->output();
  }

  // Dropped: a wrong pass phrase, a level below the user's, an unlisted community (the
  // network monitor's default one).
  std::vector<std::string> wrong = trapper;
  wrong[11] = "wrong-trapper-secret";
  std::vector<std::string> authOnly = {"-v", "3",       "-e", kTrapSenderEngine,
                                       "-u", "trapper", "-l", "authNoPriv",
                                       "-a", "SHA-256", "-A", "trapper-auth-secret"};
  EXPECT_EQ(0, notify("snmptrap", wrong, ids[3]).status);
  EXPECT_TRUE(
      ferrow->waitForOutput("Dropped events: 1 unauthenticated, 0 unauthorised (last from "
                            "127.0.0.1 port ",
                            5s, from))
      << ferrow->output();
  kt::RunResult wrongInform =
      notify("snmpinform",
             {"-v", "3", "-u", "informer", "-l", "authNoPriv", "-a", "SHA-256", "-A",
              "wrong-trapper-secret", "-r", "0", "-t", "1"},
             ids[3]);
  EXPECT_NE(0, wrongInform.status);  // never acknowledged
  EXPECT_EQ(0, notify("snmptrap", authOnly, ids[3]).status);
  EXPECT_EQ(0, notify("snmptrap", {"-v", "2c", "-c", "public"}, ids[3]).status);
  EXPECT_EQ(0, db.ovw({"send", "event", std::to_string(ids[3]), "changed"}).status);
  // A good event after them: once it is probed, the others have been read.
  EXPECT_EQ(0, notify("snmptrap", trapper, ids[0]).status);
  EXPECT_TRUE(
      ferrow->waitForOutput("getOid succeeded for event-a - but field already set\n", 10s, from))
      << ferrow->output();
  EXPECT_EQ(false, db.flag(ids[3]));
  const std::string out = ferrow->output().substr(from);
  EXPECT_EQ(std::string::npos, out.find("event-d")) << out;
  // One line for the drops: the next ones come within the minute.
  EXPECT_EQ(out.find("Dropped events: "), out.rfind("Dropped events: ")) << out;
  const size_t line = out.find("Dropped events: ");
  ASSERT_NE(std::string::npos, line);
  EXPECT_NE(std::string::npos, out.find("wrong digest", line)) << out;
  ferrow->stop();
  expectNoSecret(ferrow->output(), "ferrow's output");
  expectNoSecret(ferrow->errors(), "ferrow's errors");
}

// A line of the event configuration that can't be used keeps ferrow from listening; the line's
// file and number are named, its pass phrases are not.
TEST(SnmpV3Ferrow, UnusableEventConfigurationIsNamedWithoutItsSecrets) {
  auto agent = startDevice();
  ASSERT_TRUE(agent);
  Station station(*agent,
                  "# events\n"
                  "createUser trapper SHA-256 \"trapper-auth-secret\" DES "
                  "\"trapper-priv-secret\"\n");
  auto ferrow = station.start("ferrow", {"-sal"});
  EXPECT_EQ(0, ferrow->wait(20s));
  EXPECT_NE(std::string::npos,
            ferrow->output().find("Could not OVsnmpSession for events Bad event configuration: " +
                                  station.conf().path() +
                                  "/ovsnmp.conf: line 2: createUser: the privacy type is AES, "
                                  "AES-192 or AES-256\n"))
      << ferrow->output();
  expectNoSecret(ferrow->output(), "ferrow's output");
  expectNoSecret(ferrow->errors(), "ferrow's errors");
}

}  // namespace
