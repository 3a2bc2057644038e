// System tests of the discovery daemon: the real ferrow against real agents, an object database
// filled with `ovw`, node events sent with net-snmp's snmptrap and snmpinform, and a notify
// socket standing in for the service manager.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OVw.h"
#include "field_list.h"
#include "held.h"
#include "in_process_database.h"
#include "notify_socket.h"
#include "peers.h"
#include "scripted_agent.h"
#include "snmp_agent.h"
#include "station.h"
#include "test_database.h"
#include "trap_sender.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *kObjectVariable = "1.3.6.1.4.1.11.2.17.2.3.0";
constexpr const char *kEnterprise = "1.3.6.1.4.1.11.2.17.1";
constexpr int kStatusFailedStart = 255;  // exit(-1)

// True once something has bound UDP `port` on 127.0.0.1 (the daemon's event session).
bool udpPortBound(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool inUse = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0;
  close(fd);
  return inUse;
}

// The station of these tests: ferrow in its environment, alone or under process management,
// and net-snmp's own commands sending node events to its event address.
class Station : public kt::Station {
 public:
  explicit Station(const std::string &version = "2c", bool defineField = true)
      : kt::Station({.version = version, .defineField = defineField}) {
    // Event senders wait longer: an inform is answered only between two probes.
    kt::writeClientConfig(senderConf_, "2c", 3, 1);
  }

  std::unique_ptr<kt::Process> start(std::vector<std::string> args, const kt::Env &extra = {}) {
    return kt::Station::start("ferrow", std::move(args), extra);
  }
  kt::RunResult run(std::vector<std::string> args, const kt::Env &extra = {}) {
    return kt::Station::run("ferrow", std::move(args), extra);
  }
  std::unique_ptr<kt::Process> startManaged(const kt::Env &extra = {}) {
    return start({}, managed(extra));
  }
  kt::RunResult runManaged(const kt::Env &extra = {}) { return run({}, managed(extra)); }

  // net-snmp's own commands, towards the daemon's event address.
  kt::RunResult sendV1Trap(const std::string &text, const std::string &enterprise = kEnterprise,
                           const std::string &specific = "58785794") {
    return kt::run({"/usr/bin/snmptrap", "-v", "1", "-c", "public", eventPeer(), enterprise, "",
                    "6", specific, "", kObjectVariable, "s", text},
                   kt::clientEnv(senderConf_));
  }
  kt::RunResult sendV2(const char *command, const std::string &trapOid,
                       std::vector<std::string> bindings) {
    std::vector<std::string> argv = {command, "-v", "2c", "-c", "public", eventPeer(), "", trapOid};
    argv.insert(argv.end(), bindings.begin(), bindings.end());
    return kt::run(argv, kt::clientEnv(senderConf_));
  }
  kt::RunResult sendV2Trap(const std::string &text,
                           const std::string &trapOid = std::string(kEnterprise) + ".0.40000016") {
    return sendV2("/usr/bin/snmptrap", trapOid, {kObjectVariable, "s", text});
  }

 private:
  kt::TempDir senderConf_;
};

// A node without any name, as a program other than `ovw` may create one: isNode set, and
// isSNMPSupported when `snmp`. Its id, 0 on failure.
OVwObjectId addUnnamedNode(const kt::Station &station, bool snmp) {
  kt::InProcessDatabase db(station.db().env());
  std::unique_ptr<OVwFieldBindList, void (*)(OVwFieldBindList *)> fields(
      snmp ? buildFieldValueList(2, "isNode", "isSNMPSupported")
           : buildFieldValueList(1, "isNode", nullptr),
      freeFieldValueList);
  return db.ok() ? OVwDbCreateObject(fields.get()) : 0;
}

// The lines a daemon printed from byte `from` on that name a probe's outcome.
std::vector<std::string> probeLines(const std::string &output, size_t from = 0) {
  std::vector<std::string> lines;
  size_t at = from;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) break;
    std::string line = output.substr(at, end - at);
    if (line.find("getOid succeeded") != std::string::npos ||
        line.find("non-Kestara Device") != std::string::npos ||
        line.find("Found isK") != std::string::npos) {
      lines.push_back(line);
    }
    at = end + 1;
  }
  return lines;
}

// ---- Command line ------------------------------------------------------------------------

// With a database that can't be opened every mode stops at once, which shows the mode chosen.
TEST(FerrowOptions, ExactlyOneArgumentBeginningWithDashSaChoosesStandAlone) {
  kt::TempDir dir;
  std::string blocker = dir.write("file", "not a folder");
  kt::Env env = {{"OVW_DATABASE", blocker + "/ovw.db"}};
  const std::string failed = "Error encountered in findFields\n";
  const std::string alone = "StandAlone mode - will not need OV PMD\n";
  const std::string loop = "StandAlone mode - will not need OV PMD - Will loop for SNMP Callback\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, failed},
      {{"-sa"}, alone + failed},
      {{"-sax"}, alone + failed},
      {{"-saL"}, alone + failed},
      {{"-sa-l"}, alone + failed},
      {{"-sal"}, loop + failed},
      {{"-sallow"}, loop + failed},
      {{"-SA"}, failed},
      {{"-s"}, failed},
      {{""}, failed},
      {{"sa"}, failed},
      {{"-sa", "x"}, failed},
      {{"x", "-sal"}, failed},
  };
  for (const auto &[args, expected] : cases) {
    std::vector<std::string> argv = {kt::binPath("ferrow")};
    argv.insert(argv.end(), args.begin(), args.end());
    kt::RunResult r = kt::run(argv, env);
    std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(kStatusFailedStart, r.status) << shown;
    EXPECT_EQ(expected, r.out) << shown;
  }
}

// ---- Stand-alone sweep -------------------------------------------------------------------

class FerrowSweep : public ::testing::TestWithParam<std::string> {};

// Every row of the sweep's table, the skipped objects, the summary and the flagged list. The
// sweep opens sessions to selection names: every host name here leads nowhere.
TEST_P(FerrowSweep, StandAloneSweepFollowsTheTable) {
  Station station(GetParam());
  kt::Peers peers;
  ASSERT_TRUE(peers.ok());
  const std::string silent = peers.silent.peer();

  kt::TestDatabase &db = station.db();
  struct Node {
    std::string name;
    bool flagged;
    bool snmp = true;
    OVwObjectId id = 0;
  };
  std::vector<Node> nodes = {
      {peers.device->peer(), false},
      {"udp:" + peers.device->peer(), true},
      {peers.plain->peer(), false},
      {"udp:" + peers.plain->peer(), true},
      {silent, false},
      {"udp:" + silent, true},
      {peers.failing.peer(), true},
      {"no-such-host.invalid", true},
      {"udp:" + peers.device->peer() + "0", true, false},  // not SNMP: never swept
  };
  for (size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].id =
        db.addNode("nowhere-" + std::to_string(i) + ".invalid", nodes[i].name, nodes[i].snmp);
    ASSERT_NE(0u, nodes[i].id);
    if (nodes[i].flagged) {
      ASSERT_TRUE(db.setFlag(nodes[i].id, true));
    }
  }

  kt::RunResult r = station.run({"-sa"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  const std::string expected =
      "StandAlone mode - will not need OV PMD\n"
      "Found 8 objects that match isNode and isSNMPSupported\n\n"
      "getOid succeeded for " +
      nodes[0].name +
      " - field set\n"
      "getOid succeeded for " +
      nodes[1].name + " - field set\n" + nodes[2].name +
      " non-Kestara Device\n"
      "Found isKestaraDevice flag set on " +
      nodes[3].name + " for non-device - will reset\n" + nodes[4].name +
      " non-Kestara Device\n"
      "Found isKstrDev flag set on " +
      nodes[5].name +
      " - not responding \n"
      "Found isKestaraDevice flag set on " +
      nodes[6].name +
      " for non-device - will reset\n"
      "Failed to open SNMP Session for no-such-host.invalid\n"
      "\n***** Found 3 Kestara devices, 4 Non-Kestara devices *****\n"
      "\n\nFound 5 objects that match isKestaraDevice\n" +
      nodes[0].name + "\n" + nodes[1].name + "\n" + nodes[5].name + "\n" + nodes[7].name + "\n" +
      nodes[8].name + "\n";
  EXPECT_EQ(expected, r.out);
  EXPECT_NE(std::string::npos, r.err.find("OVsnmpOpen failed: ")) << r.err;

  const std::vector<bool> after = {true, true, false, false, false, true, false, true, true};
  for (size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(after[i], db.flag(nodes[i].id)) << nodes[i].name;
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, FerrowSweep, ::testing::Values("1", "2c"));

// ---- The sweep's window ----------------------------------------------------------------------

// A network where answers come back out of order: silent nodes and a non-SNMP node among
// devices, ordinary nodes, a node whose agent answers with an error, one whose selection name
// does not resolve, and nodes flagged beforehand. Node i is flagged beforehand when i % 3 == 0.
class MixedNetwork {
 public:
  explicit MixedNetwork(Station &station) : station_(station) {
    for (int i = 0; i < 4; ++i) silent_.push_back(std::make_unique<kt::UdpClient>("127.0.0.1"));
  }
  bool ready() const { return peers_.ok(); }

  // Adds `rounds` groups of nodes; each group mixes every kind.
  bool add(int rounds) {
    for (int r = 0; r < rounds; ++r) {
      const std::string silent = silent_[static_cast<size_t>(r) % 4]->peer();
      const std::vector<std::pair<std::string, bool>> group = {
          {silent, true},
          {peers_.device->peer(), true},
          {"udp:" + peers_.plain->peer(), true},
          {peers_.failing.peer(), true},
          {"udp:" + silent, true},
          {"udp:" + peers_.device->peer(), true},
          {"no-such-host-" + std::to_string(r) + ".invalid", true},
          {peers_.plain->peer(), true},
          {peers_.device->peer() + "0", false},  // not SNMP: never swept
      };
      for (const auto &[name, snmp] : group) {
        const std::string host = "nowhere-" + std::to_string(ids_.size()) + ".invalid";
        const OVwObjectId id = station_.db().addNode(host, name, snmp);
        if (id == 0) return false;
        ids_.push_back(id);
      }
    }
    return true;
  }
  // Flags every third node, clears the others.
  bool reset() const {
    // One ovw command per node would take longer than the sweeps.
    kt::InProcessDatabase db(station_.db().env());
    for (size_t i = 0; i < ids_.size(); ++i) {
      if (!db.setFlag(ids_[i], i % 3 == 0)) return false;
    }
    return true;
  }
  std::vector<std::optional<bool>> flags() const {
    kt::InProcessDatabase db(station_.db().env());
    std::vector<std::optional<bool>> values;
    for (OVwObjectId id : ids_) values.push_back(db.flag(id));
    return values;
  }
  size_t size() const { return ids_.size(); }

 private:
  Station &station_;
  kt::Peers peers_;
  std::vector<std::unique_ptr<kt::UdpClient>> silent_;
  std::vector<OVwObjectId> ids_;
};

// Whatever the window, the sweep prints the same lines in the same order and leaves the same
// flags as probing the nodes one by one: a window of 1, windows smaller than the network, and
// windows larger than it.
TEST(FerrowSweepWindow, EveryWindowGivesTheSequentialSweep) {
  Station station;
  MixedNetwork network(station);
  ASSERT_TRUE(network.ready());
  ASSERT_TRUE(network.add(3));
  ASSERT_TRUE(network.reset());
  const kt::RunResult sequential = station.run({"-sa"}, {{"FERROW_SWEEP_WINDOW", "1"}});
  ASSERT_EQ(0, sequential.status) << sequential.out << sequential.err;
  ASSERT_NE(std::string::npos, sequential.out.find("not responding")) << sequential.out;
  const std::vector<std::optional<bool>> swept = network.flags();
  for (const char *window : {"2", "7", "512"}) {
    SCOPED_TRACE(window);
    ASSERT_TRUE(network.reset());
    const kt::RunResult r = station.run({"-sa"}, {{"FERROW_SWEEP_WINDOW", window}});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(sequential.out, r.out);
    EXPECT_EQ(swept, network.flags());
  }
}

// The window lets the silent nodes' time-outs run together: with a window as large as the
// network the sweep takes about one time-out, one by one it takes one per silent node.
TEST(FerrowSweepWindow, SilentNodesWaitTogether) {
  Station station;
  std::vector<std::unique_ptr<kt::UdpClient>> silent;
  for (int i = 0; i < 8; ++i) {
    silent.push_back(std::make_unique<kt::UdpClient>("127.0.0.1"));
    const std::string peer = silent.back()->peer();
    ASSERT_NE(0u, station.db().addNode(peer, peer));
  }
  auto timed = [&](const char *window) {
    const auto start = std::chrono::steady_clock::now();
    const kt::RunResult r = station.run({"-sa"}, {{"FERROW_SWEEP_WINDOW", window}});
    EXPECT_EQ(0, r.status);
    return std::chrono::steady_clock::now() - start;
  };
  // Eight time-outs of 0.3 s one by one, one for all of them with the window.
  EXPECT_GE(timed("1"), 2400ms);
  EXPECT_LT(timed("8"), 2400ms);
}

// A sweep killed at any moment leaves each flag as it was or as the sweep sets it.
TEST(FerrowSweepWindow, KilledSweepLeavesEveryFlagOldOrNew) {
  Station station;
  MixedNetwork network(station);
  ASSERT_TRUE(network.ready());
  ASSERT_TRUE(network.add(6));
  ASSERT_TRUE(network.reset());
  const std::vector<std::optional<bool>> before = network.flags();
  ASSERT_EQ(0, station.run({"-sa"}, {{"FERROW_SWEEP_WINDOW", "1"}}).status);
  const std::vector<std::optional<bool>> after = network.flags();
  for (auto delay : {0ms, 40ms, 120ms, 300ms}) {
    SCOPED_TRACE(delay.count());
    ASSERT_TRUE(network.reset());
    auto ferrow = station.start({"-sa"}, {{"FERROW_SWEEP_WINDOW", "16"}});
    std::this_thread::sleep_for(delay);
    ferrow->signal(SIGKILL);
    (void)ferrow->wait(5s);
    const std::vector<std::optional<bool>> now = network.flags();
    ASSERT_EQ(before.size(), now.size());
    for (size_t i = 0; i < now.size(); ++i) {
      EXPECT_TRUE(now[i] == before[i] || now[i] == after[i]) << "node " << i;
    }
  }
  // The database is whole afterwards.
  EXPECT_EQ(0, station.db().ovw({"check"}).status);
}

TEST(FerrowSweepEdges, EmptyDatabasePrintsZeroSummary) {
  Station station;
  kt::RunResult r = station.run({"-sa"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "StandAlone mode - will not need OV PMD\n"
      "Found 0 objects that match isNode and isSNMPSupported\n\n"
      "\n***** Found 0 Kestara devices, 0 Non-Kestara devices *****\n"
      "\n\nFound 0 objects that match isKestaraDevice\n",
      r.out);
}

TEST(FerrowSweepEdges, UndefinedFieldStopsTheSweepButNotStandAlone) {
  Station station("2c", /*defineField=*/false);
  ASSERT_NE(0u, station.db().addNode("nowhere.invalid", "127.0.0.1:9"));
  kt::RunResult r = station.run({"-sa"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "StandAlone mode - will not need OV PMD\n"
      "Found 1 objects that match isNode and isSNMPSupported\n\n"
      "isKestaraDevice not defined in ovwdb\n",
      r.out);
}

// A flag that can't be read leaves the probe's outcome alone to decide: a flagged non-device
// is cleared, a flagged node that does not answer keeps its flag.
TEST(FerrowSweepEdges, UnreadableFlagFollowsTheProbe) {
  Station station;
  kt::Peers peers;
  ASSERT_TRUE(peers.ok());
  const std::string silent = peers.silent.peer();
  kt::TestDatabase &db = station.db();
  const OVwObjectId plainNode = db.addNode("nowhere-1.invalid", peers.plain->peer());
  const OVwObjectId silentNode = db.addNode("nowhere-2.invalid", silent);
  ASSERT_TRUE(db.setFlag(plainNode, true));
  ASSERT_TRUE(db.setFlag(silentNode, true));

  kt::RunResult r = station.run({"-sa"}, {{"KESTARA_FAULTS", "OVwDbGetFieldBooleanValue:1:9+"}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "StandAlone mode - will not need OV PMD\n"
      "Found 2 objects that match isNode and isSNMPSupported\n\n" +
          peers.plain->peer() + " non-Kestara Device\n" + silent +
          " non-Kestara Device\n"
          "\n***** Found 0 Kestara devices, 2 Non-Kestara devices *****\n"
          "\n\nFound 1 objects that match isKestaraDevice\n" +
          silent + "\n",
      r.out);
  EXPECT_EQ(false, db.flag(plainNode));
  EXPECT_EQ(true, db.flag(silentNode));
}

// The platform's message in "%s failed, error %d, %s" lines.
std::string errorText(const std::string &output, const std::string &call) {
  size_t at = output.find(call + " failed, error 9, ");
  if (at == std::string::npos) return "(no line for " + call + ")";
  at += call.size() + std::string(" failed, error 9, ").size();
  return output.substr(at, output.find('\n', at) - at);
}

// Failed database writes and a failed second query are reported, and the sweep goes on; an
// object without a selection name is skipped.
TEST(FerrowSweepEdges, PlatformFailuresAreReportedAndTheSweepGoesOn) {
  Station station;
  kt::Peers peers;
  ASSERT_TRUE(peers.ok());
  OVwObjectId unnamed = addUnnamedNode(station, /*snmp=*/true);
  ASSERT_NE(0u, unnamed);
  OVwObjectId deviceId = station.db().addNode("nowhere-1.invalid", peers.device->peer());
  OVwObjectId plainId = station.db().addNode("nowhere-2.invalid", peers.plain->peer());
  ASSERT_NE(0u, deviceId);
  ASSERT_NE(0u, plainId);
  ASSERT_TRUE(station.db().setFlag(plainId, true));

  kt::RunResult r = station.run(
      {"-sa"},
      {{"KESTARA_FAULTS", "OVwDbSetFieldBooleanValue:1:9+;OVwDbListObjectsByFieldValues:2:9"}});
  EXPECT_EQ(0, r.status);
  const std::string write = "OVwDbSetFieldBooleanValue failed, error 9, " +
                            errorText(r.out, "OVwDbSetFieldBooleanValue") + "\n";
  EXPECT_EQ(
      "StandAlone mode - will not need OV PMD\n"
      "Found 3 objects that match isNode and isSNMPSupported\n\n"
      "Null Selection Name for OVwOid " +
          std::to_string(unnamed) + "\n" + write + "getOid succeeded for " + peers.device->peer() +
          " - field set\n"
          "Found isKestaraDevice flag set on " +
          peers.plain->peer() + " for non-device - will reset\n" + write +
          "\n***** Found 1 Kestara devices, 1 Non-Kestara devices *****\n"
          "OVwDbListObjectsByFieldValues - 2 failed, error 9, " +
          errorText(r.out, "OVwDbListObjectsByFieldValues - 2") + "\n",
      r.out);
  EXPECT_EQ(false, station.db().flag(deviceId));
  EXPECT_EQ(true, station.db().flag(plainId));
}

// ---- Under process management ------------------------------------------------------------

TEST(FerrowPmd, UndefinedFieldIsAFailedStart) {
  Station station("2c", /*defineField=*/false);
  kt::RunResult r = station.runManaged();
  EXPECT_EQ(kStatusFailedStart, r.status);
  EXPECT_EQ(
      "Found 0 objects that match isNode and isSNMPSupported\n\n"
      "isKestaraDevice not defined in ovwdb\n",
      r.out);
  EXPECT_TRUE(
      station.notify().waitFor("STATUS=Kestara Field not defined - run \"ovw -fields\"", 2s))
      << station.notify().received();
  EXPECT_EQ(std::string::npos, station.notify().received().find("READY=1"));
  EXPECT_EQ(std::string::npos, station.notify().received().find("STOPPING=1"));
}

TEST(FerrowPmd, FailedFirstQueryIsAFailedStart) {
  Station station;
  kt::RunResult r = station.runManaged({{"KESTARA_FAULTS", "OVwDbListObjectsByFieldValues:1:9"}});
  EXPECT_EQ(kStatusFailedStart, r.status);
  EXPECT_EQ("OVwDbListObjectsByFieldValues failed, error 9, " +
                errorText(r.out, "OVwDbListObjectsByFieldValues") + "\n",
            r.out);
  EXPECT_TRUE(
      station.notify().waitFor("STATUS=Kestara Field not defined - run \"ovw -fields\"", 2s));
}

// Started under process management, the daemon sweeps without a summary, reports its start,
// flags a node that `ovw` adds, and ends on a stop request with "Exiting.....".
TEST(FerrowPmd, FlagsAddedNodesAndEndsOnStop) {
  Station station;
  auto device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  OVwObjectId known = station.db().addNode(device->peer(), device->peer());
  ASSERT_NE(0u, known);
  auto ferrow = station.startManaged();
  ASSERT_TRUE(station.notify().waitFor("READY=1")) << ferrow->output();
  EXPECT_TRUE(station.notify().waitFor("STATUS=Initialization Complete"));
  EXPECT_EQ(
      "Found 1 objects that match isNode and isSNMPSupported\n\n"
      "getOid succeeded for " +
          device->peer() + " - field set\n",
      ferrow->output());
  ASSERT_TRUE(kt::eventually([&] { return udpPortBound(station.eventPort()); }));

  const std::string host = "udp:" + device->peer();
  auto started = std::chrono::steady_clock::now();
  OVwObjectId added = station.db().addNode(host, "added-node");
  ASSERT_NE(0u, added);
  EXPECT_TRUE(ferrow->waitForOutput("getOid succeeded for " + host + " - field set\n", 5s))
      << ferrow->output();
  auto took = std::chrono::steady_clock::now() - started;
  std::printf("node added -> flagged: %.1f ms\n",
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_EQ(true, station.db().flag(added));

  ferrow->signal(SIGTERM);
  EXPECT_EQ(0, ferrow->wait(5s));
  EXPECT_TRUE(station.notify().waitFor("STOPPING=1", 2s));
  EXPECT_TRUE(station.notify().waitFor("STATUS=Exiting.....", 2s)) << station.notify().received();
}

// A stop request and node events that wait together: the daemon ends, and the events are not
// read (no probe, no write).
TEST(FerrowPmd, StopRequestGoesBeforeNodeEventsWaitingWithIt) {
  Station station;
  auto device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  const OVwObjectId node = station.db().addNode(device->peer(), device->peer());
  ASSERT_NE(0u, node);
  auto ferrow = station.startManaged();
  ASSERT_TRUE(station.notify().waitFor("READY=1")) << ferrow->output();
  ASSERT_TRUE(kt::eventually([&] { return udpPortBound(station.eventPort()); }));
  ASSERT_TRUE(station.db().setFlag(node, false));
  const size_t from = ferrow->output().size();

  ASSERT_TRUE(kt::hold(*ferrow));
  EXPECT_EQ(0, station.sendV1Trap(std::to_string(node)).status);
  EXPECT_EQ(0, station.sendV2Trap(std::to_string(node)).status);
  ferrow->signal(SIGTERM);
  ferrow->signal(SIGCONT);
  EXPECT_EQ(0, ferrow->wait(5s));
  EXPECT_TRUE(probeLines(ferrow->output(), from).empty()) << ferrow->output();
  EXPECT_EQ(false, station.db().flag(node));
  EXPECT_TRUE(station.notify().waitFor("STATUS=Exiting.....", 2s)) << station.notify().received();
}

// Node events that arrive while the sweep still runs wait for the listener.
TEST(FerrowPmd, NodeAddedDuringTheSweepIsFlagged) {
  Station station;
  auto device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  std::vector<std::unique_ptr<kt::UdpClient>> silent;
  for (int i = 0; i < 6; ++i) {
    silent.push_back(std::make_unique<kt::UdpClient>("127.0.0.1"));
    std::string peer = silent.back()->peer();
    ASSERT_NE(0u, station.db().addNode(peer, peer));
  }
  // One probe at a time, so that the sweep of the silent nodes takes their six time-outs.
  auto ferrow = station.startManaged({{"FERROW_SWEEP_WINDOW", "1"}});
  ASSERT_TRUE(ferrow->waitForOutput("Found 6 objects"));
  OVwObjectId added = station.db().addNode(device->peer(), "added-during-sweep");
  ASSERT_NE(0u, added);
  EXPECT_EQ(std::string::npos, station.notify().received().find("READY=1"))
      << "the sweep was too quick";
  EXPECT_TRUE(ferrow->waitForOutput("getOid succeeded for " + device->peer() + " - field set\n"))
      << ferrow->output();
  EXPECT_EQ(true, station.db().flag(added));
  ferrow->signal(SIGINT);
  EXPECT_EQ(0, ferrow->wait(5s));
}

// Every kind of event, in one run: only the events of the filter, of the right enterprise and
// with a usable object variable are probed, in the order they were sent.
TEST(FerrowEvents, ProbesTheObjectThatEachEventNames) {
  Station station;
  auto device1 = kt::SnmpAgent::start();
  auto device2 = kt::SnmpAgent::start();
  auto plain = kt::SnmpAgent::start({.probe = false});
  ASSERT_NE(nullptr, device1);
  ASSERT_NE(nullptr, device2);
  ASSERT_NE(nullptr, plain);
  const std::vector<std::string> hosts = {device1->peer(), "udp:" + device1->peer(),
                                          device2->peer(), "udp:" + device2->peer(),
                                          plain->peer(),   "udp:" + plain->peer()};
  std::vector<std::string> ids;
  for (const std::string &host : hosts) {
    OVwObjectId id = station.db().addNode(host, host);
    ASSERT_NE(0u, id);
    ids.push_back(std::to_string(id));
  }
  auto ferrow = station.startManaged();
  ASSERT_TRUE(station.notify().waitFor("READY=1")) << ferrow->output();
  ASSERT_TRUE(kt::eventually([&] { return udpPortBound(station.eventPort()); }));
  const size_t from = ferrow->output().size();

  // Probed: blanks before the digits (v1), digits followed by letters (v2c).
  EXPECT_EQ(0, station.sendV1Trap("  " + ids[0]).status);
  EXPECT_EQ(0, station.sendV2Trap(ids[1] + "xyz").status);
  // Not probed: letters first, a wrong enterprise, events outside the filter, the digit 0.
  EXPECT_EQ(0, station.sendV1Trap("x" + ids[2]).status);
  EXPECT_EQ(0, station.sendV1Trap(ids[2], "1.3.6.1.4.1.11.2.17.9").status);
  EXPECT_EQ(0, station.sendV1Trap(ids[2], kEnterprise, "12345").status);
  EXPECT_EQ(0, station.sendV2Trap(ids[2], std::string(kEnterprise) + ".0.12345").status);
  EXPECT_EQ(0, station.sendV2Trap(ids[2], "1.3.6.1.6.3.1.1.5.1").status);
  EXPECT_EQ(0, station.sendV1Trap("0").status);
  // Two matching bindings (after one of another type): only the first string is used.
  EXPECT_EQ(0, station
                   .sendV2("/usr/bin/snmptrap", std::string(kEnterprise) + ".0.58982403",
                           {kObjectVariable, "i", ids[3], kObjectVariable, "s", ids[4],
                            kObjectVariable, "s", ids[3]})
                   .status);
  // An inform is acknowledged (the command exits 0) and handled like a trap.
  kt::RunResult inform =
      station.sendV2("/usr/bin/snmpinform", std::string(kEnterprise) + ".0.58785794",
                     {kObjectVariable, "s", ids[5]});
  EXPECT_EQ(0, inform.status) << inform.err;
  EXPECT_EQ(0, station.sendV1Trap(ids[2], kEnterprise, "40000016").status);

  ASSERT_TRUE(ferrow->waitForOutput("getOid succeeded for " + hosts[2], 10s, from))
      << ferrow->output();
  const std::vector<std::string> expected = {
      "getOid succeeded for " + hosts[0] + " - but field already set",
      "getOid succeeded for " + hosts[1] + " - but field already set",
      hosts[4] + " non-Kestara Device",
      hosts[5] + " non-Kestara Device",
      "getOid succeeded for " + hosts[2] + " - but field already set",
  };
  EXPECT_EQ(expected, probeLines(ferrow->output(), from)) << ferrow->output();

  ferrow->signal(SIGTERM);
  EXPECT_EQ(0, ferrow->wait(5s));
}

TEST(FerrowEvents, StandAloneLoopListensAfterTheSummary) {
  Station station;
  auto device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  OVwObjectId id = station.db().addNode(device->peer(), device->peer());
  ASSERT_NE(0u, id);
  auto ferrow = station.start({"-sal"});
  ASSERT_TRUE(ferrow->waitForOutput("Found 1 objects that match isKestaraDevice\n" +
                                    device->peer() + "\n\n"))
      << ferrow->output();
  ASSERT_TRUE(kt::eventually([&] { return udpPortBound(station.eventPort()); }));
  ASSERT_TRUE(station.db().setFlag(id, false));
  EXPECT_EQ(0, station.sendV1Trap(std::to_string(id)).status);
  EXPECT_TRUE(ferrow->waitForOutput("getOid succeeded for " + device->peer() + " - field set\n", 5s,
                                    ferrow->output().find("isKestaraDevice\n")));
  EXPECT_TRUE(ferrow->running());
  // Without process management a stop signal simply ends it.
  EXPECT_EQ(128 + SIGTERM, ferrow->stop());
}

// Events for an object being probed lead to one more probe after it, however many they are;
// events for an object the database does not hold lead to nothing at all, while one that
// exists without a host name is reported as before.
TEST(FerrowEvents, EventsAreCoalescedPerObjectAndUnknownObjectsDropped) {
  Station station;
  kt::Step slow;
  slow.delay = 150ms;  // answered well within the daemon's 300 ms
  kt::ScriptedAgent device({}, slow);
  ASSERT_TRUE(device.ok());
  const OVwObjectId id = station.db().addNode(device.peer(), device.peer());
  ASSERT_NE(0u, id);
  const OVwObjectId unnamed = addUnnamedNode(station, /*snmp=*/false);
  ASSERT_NE(0u, unnamed);

  auto ferrow = station.startManaged();
  ASSERT_TRUE(station.notify().waitFor("READY=1")) << ferrow->output();
  ASSERT_TRUE(kt::eventually([&] { return udpPortBound(station.eventPort()); }));
  const int swept = device.requests();
  const size_t from = ferrow->output().size();

  ASSERT_TRUE(rel::sendOnce(rel::nodeEvent(id), station.eventPort()));
  ASSERT_TRUE(kt::eventually([&] { return device.requests() == swept + 1; }));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(rel::sendOnce(rel::nodeEvent(id), station.eventPort()));
  const std::string again = "getOid succeeded for " + device.peer() + " - but field already set\n";
  ASSERT_TRUE(ferrow->waitForOutput(again + again, 5s, from)) << ferrow->output();
  ASSERT_TRUE(rel::sendOnce(rel::nodeEvent(999999), station.eventPort()));
  ASSERT_TRUE(rel::sendOnce(rel::nodeEvent(unnamed), station.eventPort()));
  const std::string noHost =
      "  setDevice: OVwObjId " + std::to_string(unnamed) + " has no hostname\n";
  ASSERT_TRUE(ferrow->waitForOutput(noHost, 5s, from)) << ferrow->output();
  std::this_thread::sleep_for(500ms);  // nothing more comes
  EXPECT_EQ(again + again + noHost, ferrow->output().substr(from));
  EXPECT_EQ(swept + 2, device.requests());

  ferrow->signal(SIGTERM);
  EXPECT_EQ(0, ferrow->wait(5s));
}

// ---- How the listener ends ---------------------------------------------------------------

TEST(FerrowListenerEnds, LostEventSessionEndsTheDaemon) {
  Station station;
  auto ferrow = station.startManaged({{"KESTARA_FAULTS", "OVsnmpRead:1:10"}});
  ASSERT_TRUE(station.notify().waitFor("READY=1")) << ferrow->output();
  ASSERT_TRUE(kt::eventually([&] { return udpPortBound(station.eventPort()); }));
  EXPECT_EQ(0, station.sendV1Trap("1").status);
  EXPECT_EQ(0, ferrow->wait(5s)) << ferrow->output();
  EXPECT_NE(std::string::npos, ferrow->output().find("SNMP error or lost connection on Callback\n"))
      << ferrow->output();
  EXPECT_TRUE(station.notify().waitFor("STATUS=Exiting.....", 2s));
}

// Without its event session the daemon can't do its work: under process management that is a
// failed start (no READY, status 255), so that it is started again.
TEST(FerrowListenerEnds, EventSessionThatCannotOpenIsAFailedStart) {
  Station station;
  // An address of no local interface can't be bound.
  kt::RunResult r = station.runManaged({{"OV_EVENT_ADDRESS", "udp:192.0.2.1:16162"}});
  EXPECT_EQ(255, r.status);
  // The session is opened before the sweep, but its failure is told after the sweep's lines.
  EXPECT_EQ(0u, r.out.find("Found 0 objects that match isNode and isSNMPSupported\n\n"
                           "Could not OVsnmpSession for events "))
      << r.out;
  EXPECT_TRUE(station.notify().waitFor("STATUS=Could not open the event session", 2s))
      << station.notify().received();
  EXPECT_EQ(std::string::npos, station.notify().received().find("READY=1"));
}

// A start that fails earlier (the field is not defined) says nothing of the event session.
TEST(FerrowListenerEnds, FailedSweepHidesTheEventSessionFailure) {
  Station station("2c", /*defineField=*/false);
  kt::RunResult r = station.runManaged({{"OV_EVENT_ADDRESS", "udp:192.0.2.1:16162"}});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ(
      "Found 0 objects that match isNode and isSNMPSupported\n\n"
      "isKestaraDevice not defined in ovwdb\n",
      r.out);
  EXPECT_TRUE(station.notify().waitFor("STATUS=Kestara Field not defined", 2s))
      << station.notify().received();
}

// Stand-alone loop mode without the field still listens; an event session that can't be opened
// is told once, after the sweep, and never tried again: the daemon ends at once.
TEST(FerrowListenerEnds, StandAloneLoopWithoutFieldTellsTheEventSessionFailureOnce) {
  Station station("2c", /*defineField=*/false);
  const auto started = std::chrono::steady_clock::now();
  kt::RunResult r = station.run({"-sal"}, {{"OV_EVENT_ADDRESS", "udp:192.0.2.1:16162"}});
  EXPECT_EQ(0, r.status);
  const std::string expected =
      "StandAlone mode - will not need OV PMD - Will loop for SNMP Callback\n"
      "Found 0 objects that match isNode and isSNMPSupported\n\n"
      "isKestaraDevice not defined in ovwdb\n"
      "\n"
      "Could not OVsnmpSession for events ";
  EXPECT_EQ(0u, r.out.find(expected)) << r.out;
  EXPECT_EQ(r.out.find('\n', expected.size()) + 1, r.out.size()) << r.out;
  EXPECT_LT(std::chrono::steady_clock::now() - started, kt::scaled(5s));
}

TEST(FerrowListenerEnds, NothingLeftToWaitOnEndsTheListener) {
  Station station;
  kt::RunResult r = station.runManaged({{"KESTARA_FAULTS", "OVsnmpGetRetryInfo:1:11"}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Found 0 objects that match isNode and isSNMPSupported\n\n", r.out);
  EXPECT_TRUE(station.notify().waitFor("STATUS=Exiting.....", 2s));
}

}  // namespace
