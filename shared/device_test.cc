// Tests of probeDevice and setDevice against real agents and a real object database.
#include "device.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "PlatformFault.h"
#include "field_list.h"
#include "in_process_database.h"
#include "peers.h"
#include "scripted_agent.h"
#include "snmp_agent.h"
#include "snmp_ops.h"
#include "station.h"

namespace {

using kt::Act;
using kt::ScriptedAgent;

// A station whose database this test process opens itself.
class DeviceTestBase {
 protected:
  void setUpEnvironment(const std::string &version) {
    station_.emplace(kt::StationOptions{.version = version});
    db_.emplace(station_->env());
    ASSERT_TRUE(db_->ok()) << OVwErrorMsg(OVwError());
  }
  void tearDownEnvironment() {
    KestaraFaultClear();
    db_.reset();
  }

  // Runs setDevice and returns its result and what it printed.
  std::pair<int, std::string> set(OVwObjectId object, RemovalHook hook = {}) {
    testing::internal::CaptureStdout();
    int result = setDevice(object, hook) ? 1 : 0;
    return {result, testing::internal::GetCapturedStdout()};
  }
  bool flag(OVwObjectId object) { return db_->flag(object) == true; }
  void setFlag(OVwObjectId object, bool value) { ASSERT_TRUE(db_->setFlag(object, value)); }
  OVwObjectId node(const std::string &host) {
    OVwObjectId id = station_->db().addNode(host, "sel-" + host);
    EXPECT_NE(0u, id) << host;
    return id;
  }

  std::optional<kt::Station> station_;
  std::optional<kt::InProcessDatabase> db_;
};

// Real peers: a device, an snmpd without the probe variable, an address that never answers, and
// an agent that answers every request with an error status (error index 0).
class SetDeviceTest : public DeviceTestBase, public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(setUpEnvironment(GetParam()));
    ASSERT_TRUE(peers_.ok());
  }
  void TearDown() override { tearDownEnvironment(); }

  std::string silentPeer() { return peers_.silent.peer(); }

  kt::Peers peers_;
};

TEST_P(SetDeviceTest, AnsweredProbeSetsTheFlagOnce) {
  const std::string host = peers_.device->peer();
  OVwObjectId id = node(host);
  EXPECT_EQ(std::make_pair(1, "getOid succeeded for " + host + " - field set\n"), set(id));
  EXPECT_TRUE(flag(id));
  EXPECT_EQ(std::make_pair(1, "getOid succeeded for " + host + " - but field already set\n"),
            set(id));
  EXPECT_TRUE(flag(id));
}

TEST_P(SetDeviceTest, DefiniteNonDeviceIsCleared) {
  for (const std::string &host : {peers_.plain->peer(), peers_.failing.peer()}) {
    OVwObjectId id = node(host);
    setFlag(id, true);
    EXPECT_EQ(std::make_pair(0, "Found isKestaraDevice flag set on " + host +
                                    " for non-device - will reset\n"),
              set(id));
    EXPECT_FALSE(flag(id));
    EXPECT_EQ(std::make_pair(0, host + " non-Kestara Device\n"), set(id));
    EXPECT_FALSE(flag(id));
  }
  EXPECT_GE(peers_.failing.requests(), 2);
}

TEST_P(SetDeviceTest, SilentNodeKeepsWhateverItHad) {
  const std::string host = silentPeer();
  OVwObjectId id = node(host);
  setFlag(id, true);
  EXPECT_EQ(std::make_pair(0, "Found isKstrDev flag set on " + host + " - not responding \n"),
            set(id));
  EXPECT_TRUE(flag(id));
  setFlag(id, false);
  EXPECT_EQ(std::make_pair(0, host + " non-Kestara Device\n"), set(id));
  EXPECT_FALSE(flag(id));
}

TEST_P(SetDeviceTest, FailedWritesAreReportedAndTheProbeStillCounts) {
  OVwObjectId device = node(peers_.device->peer());
  OVwObjectId flaggedDevice = node("udp:" + peers_.device->peer());
  OVwObjectId plain = node(peers_.plain->peer());
  setFlag(flaggedDevice, true);
  setFlag(plain, true);
  ASSERT_EQ(0, KestaraFaultAdd("OVwDbSetFieldBooleanValue", 1, OVW_ERR_INJECTED, 1));

  EXPECT_EQ(std::make_pair(1, "OVwDbSetFieldBooleanValue error\ngetOid succeeded for " +
                                  peers_.device->peer() + " - field set\n"),
            set(device));
  EXPECT_FALSE(flag(device));
  // An already flagged device is not written at all, so nothing can fail.
  EXPECT_EQ(std::make_pair(1, "getOid succeeded for udp:" + peers_.device->peer() +
                                  " - but field already set\n"),
            set(flaggedDevice));

  auto [result, out] = set(plain);
  EXPECT_EQ(0, result);
  const std::string reset = "Found isKestaraDevice flag set on " + peers_.plain->peer() +
                            " for non-device - will reset\n";
  ASSERT_EQ(0u, out.find(reset)) << out;
  std::string error = out.substr(reset.size());
  EXPECT_EQ(0u, error.find("OVwDbSetFieldBooleanValue ")) << out;
  EXPECT_NE(std::string::npos, error.find("injected")) << "the library's message: " << out;
  EXPECT_EQ('\n', error.back());
  EXPECT_TRUE(flag(plain));
}

// A flag that can't be read leaves the probe's outcome alone to decide: an answering node is
// set, a definite non-device cleared, and a node that does not answer keeps what it had.
TEST_P(SetDeviceTest, UnreadableFlagFollowsTheProbe) {
  OVwObjectId device = node(peers_.device->peer());
  OVwObjectId plain = node(peers_.plain->peer());
  OVwObjectId silent = node(silentPeer());
  setFlag(plain, true);
  setFlag(silent, true);
  ASSERT_EQ(0, KestaraFaultAdd("OVwDbGetFieldBooleanValue", 1, OVW_ERR_DB, 1));
  EXPECT_EQ(std::make_pair(1, "getOid succeeded for " + peers_.device->peer() + " - field set\n"),
            set(device));
  EXPECT_EQ(std::make_pair(0, peers_.plain->peer() + " non-Kestara Device\n"), set(plain));
  EXPECT_EQ(std::make_pair(0, silentPeer() + " non-Kestara Device\n"), set(silent));
  KestaraFaultClear();
  EXPECT_TRUE(flag(device));
  EXPECT_FALSE(flag(plain));
  EXPECT_TRUE(flag(silent));
}

INSTANTIATE_TEST_SUITE_P(Versions, SetDeviceTest, ::testing::Values("1", "2c"));

// The "REMOVED" path, and objects the database can't place.
class SetDeviceRemovedTest : public DeviceTestBase, public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(setUpEnvironment("2c")); }
  void TearDown() override { tearDownEnvironment(); }
  static void recordRemoval(void *, OVwObjectId object) { removed_.push_back(object); }
  static constexpr RemovalHook kRecordRemoval{recordRemoval, nullptr};
  static inline std::vector<OVwObjectId> removed_;
};

TEST_F(SetDeviceRemovedTest, RemovedHostClearsTheFlagAndCallsTheHook) {
  removed_.clear();
  OVwObjectId id = node("REMOVED");
  setFlag(id, true);
  testing::internal::CaptureStderr();
  EXPECT_EQ(std::make_pair(0, std::string("Failed to open SNMP Session for REMOVED\n"
                                          "  removed isKestaraDevice flag and symbol from OVw\n")),
            set(id, kRecordRemoval));
  EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("OVsnmpOpen failed: "));
  EXPECT_FALSE(flag(id));
  EXPECT_EQ(std::vector<OVwObjectId>{id}, removed_);

  // Now clear: nothing to remove, no write and no hook.
  EXPECT_EQ(std::make_pair(0, std::string("Failed to open SNMP Session for REMOVED\n")),
            set(id, kRecordRemoval));
  EXPECT_EQ(std::vector<OVwObjectId>{id}, removed_);
}

TEST_F(SetDeviceRemovedTest, WithoutHookTheFlagIsStillCleared) {
  OVwObjectId id = node("REMOVED");
  setFlag(id, true);
  EXPECT_EQ(std::make_pair(0, std::string("Failed to open SNMP Session for REMOVED\n"
                                          "  removed isKestaraDevice flag and symbol from OVw\n")),
            set(id));
  EXPECT_FALSE(flag(id));
}

// A host named "REMOVED" that a session does reach is probed like any other: the table
// decides, and the hook is never called.
TEST_F(SetDeviceRemovedTest, RemovedHostThatOpensIsProbed) {
  removed_.clear();
  auto device = kt::SnmpAgent::start();
  auto plain = kt::SnmpAgent::start({.probe = false});
  ASSERT_NE(nullptr, device);
  ASSERT_NE(nullptr, plain);
  OVwObjectId id = node("REMOVED");
  setFlag(id, true);
  kt::writeHostConfig(station_->conf(), "REMOVED", device->peer(), "");
  EXPECT_EQ(
      std::make_pair(1, std::string("getOid succeeded for REMOVED - but field already set\n")),
      set(id, kRecordRemoval));
  EXPECT_TRUE(flag(id));
  kt::writeHostConfig(station_->conf(), "REMOVED", plain->peer(), "");
  EXPECT_EQ(std::make_pair(0, std::string("Found isKestaraDevice flag set on REMOVED for "
                                          "non-device - will reset\n")),
            set(id, kRecordRemoval));
  EXPECT_FALSE(flag(id));
  EXPECT_TRUE(removed_.empty());
}

TEST_F(SetDeviceRemovedTest, OnlyTheExactWordRemoves) {
  removed_.clear();
  for (const std::string host : {"REMOVED ", "removed", "REMOVEDX", "no-such-host.invalid"}) {
    OVwObjectId id = node(host);
    setFlag(id, true);
    EXPECT_EQ(std::make_pair(0, "Failed to open SNMP Session for " + host + "\n"),
              set(id, kRecordRemoval));
    EXPECT_TRUE(flag(id)) << host;
  }
  EXPECT_TRUE(removed_.empty());
}

TEST_F(SetDeviceRemovedTest, ObjectWithoutHostName) {
  EXPECT_EQ(std::make_pair(0, std::string("  setDevice: OVwObjId 999999 has no hostname\n")),
            set(999999));
  std::unique_ptr<OVwFieldBindList, void (*)(OVwFieldBindList *)> fields(
      buildFieldValueList(1, "isNode", nullptr), freeFieldValueList);
  OVwObjectId unnamed = OVwDbCreateObject(fields.get());
  ASSERT_NE(0u, unnamed);
  setFlag(unnamed, true);
  EXPECT_EQ(
      std::make_pair(0, "  setDevice: OVwObjId " + std::to_string(unnamed) + " has no hostname\n"),
      set(unnamed));
  EXPECT_TRUE(flag(unnamed));
}

// probeDevice's three outcomes for every kind of answer.
class ProbeTest : public DeviceTestBase, public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(setUpEnvironment(GetParam())); }
  void TearDown() override { tearDownEnvironment(); }
  std::optional<ProbeOutcome> probe(const std::string &peer) {
    OVsnmpSession session = snmpOpen(peer.c_str());
    EXPECT_NE(0u, session) << peer;
    if (session == 0) return std::nullopt;
    const ProbeOutcome outcome = probeDevice(session);
    EXPECT_TRUE(snmpClose(session));
    return outcome;
  }
};

TEST_P(ProbeTest, ClassifiesEveryAnswer) {
  kt::AgentOptions longValue;
  longValue.probe_value = std::string(200, 'K');
  auto device = kt::SnmpAgent::start(longValue);
  auto plain = kt::SnmpAgent::start({.probe = false});
  ASSERT_NE(nullptr, device);
  ASSERT_NE(nullptr, plain);
  kt::UdpClient silent("127.0.0.1");

  EXPECT_EQ(ProbeOutcome::kAnswered, probe(device->peer()));  // 200 bytes into the 52-byte buffer
  EXPECT_EQ(ProbeOutcome::kNonDevice, probe(plain->peer()));
  EXPECT_EQ(ProbeOutcome::kNoResponse, probe("127.0.0.1:" + std::to_string(silent.localPort())));
  const std::pair<const char *, kt::Step> refusals[] = {
      {"genErr at index 0", kt::genErr(0)},
      {"genErr at index 1", kt::genErr(1)},
      {"no binding", {.act = Act::kNoBinding}},
  };
  for (const auto &[what, step] : refusals) {
    ScriptedAgent agent({}, step);
    EXPECT_EQ(ProbeOutcome::kNonDevice, probe(agent.peer())) << what;
    EXPECT_GE(agent.requests(), 1);
  }
  ScriptedAgent garbage({}, {.act = Act::kGarbage});
  EXPECT_EQ(ProbeOutcome::kNoResponse, probe(garbage.peer()));
  ScriptedAgent longString({}, {.value = std::string(1000, 'S')});
  EXPECT_EQ(ProbeOutcome::kAnswered, probe(longString.peer()));
  // An empty value is a value.
  kt::AgentOptions emptyValue;
  emptyValue.probe_value = "";
  auto empty = kt::SnmpAgent::start(emptyValue);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(ProbeOutcome::kAnswered, probe(empty->peer()));

  // An agent that answers for another variable has not answered the probe; later probes still
  // ask for the probe variable itself.
  ScriptedAgent other({}, kt::otherVariable());
  EXPECT_EQ(ProbeOutcome::kNonDevice, probe(other.peer()));
  EXPECT_EQ(ProbeOutcome::kAnswered, probe(device->peer()));
  EXPECT_EQ(ProbeOutcome::kNonDevice, probe(plain->peer()));
}

// A request that fails before any agent has answered (it can't be built or sent, or its
// session is gone) decides nothing: the probe counts it as no response, so a device keeps its
// flag.
TEST_P(ProbeTest, RequestThatFailsHereIsNoResponse) {
  auto device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  EXPECT_EQ(ProbeOutcome::kNoResponse, probeDevice(4242424));
  for (const char *call : {"OVsnmpCreatePdu", "OVsnmpAddNullVarBind", "OVsnmpBlockingSend"}) {
    KestaraFaultClear();
    ASSERT_EQ(0, KestaraFaultAdd(call, 1, OVSNMP_ERR_SEND, 0));
    EXPECT_EQ(ProbeOutcome::kNoResponse, probe(device->peer())) << call;
  }
  KestaraFaultClear();
  EXPECT_EQ(ProbeOutcome::kAnswered, probe(device->peer()));
}

INSTANTIATE_TEST_SUITE_P(Versions, ProbeTest, ::testing::Values("1", "2c"));

}  // namespace
