// Tests of the asynchronous device probe: for every kind of node it prints, writes and returns
// exactly what setDevice does; probes run side by side without waiting for one another; an
// abandoned probe leaves no trace.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "in_process_database.h"
#include "peers.h"
#include "scripted_agent.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The SNMP library's poll loop until `done` holds or `limit` passes.
void runLoop(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + kt::scaled(limit);
  std::vector<pollfd> fds(16);
  while (!done() && Clock::now() < deadline) {
    int timeout = 0;
    const int count = OVsnmpGetPollInfo(fds.data(), fds.size(), &timeout);
    ASSERT_GE(count, 0);
    ASSERT_LE(static_cast<size_t>(count), fds.size());
    if (count == 0 && timeout < 0) return;
    if (timeout < 0 || timeout > 50) timeout = 50;
    if (poll(fds.data(), static_cast<nfds_t>(count), timeout) > 0) {
      OVsnmpReadPoll(fds.data(), static_cast<size_t>(count));
    }
    OVsnmpDoRetry();
  }
}

// A probe and what its `done` saw.
struct Tracked {
  DeviceProbe probe;
  int calls = 0;
  int result = -1;
  Clock::time_point at;
  std::function<void()> then;
};

void onDone(DeviceProbe &, bool answered, void *context) {
  auto *t = static_cast<Tracked *>(context);
  ++t->calls;
  t->result = answered ? 1 : 0;
  t->at = Clock::now();
  if (t->then) t->then();
}

std::vector<OVwObjectId> removed;
void recordRemoval(void *, OVwObjectId object) { removed.push_back(object); }
constexpr RemovalHook kRecordRemoval{recordRemoval, nullptr};

class DeviceProbeTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    station_.emplace(kt::StationOptions{.version = GetParam()});
    db_.emplace(station_->env());
    ASSERT_TRUE(db_->ok()) << OVwErrorMsg(OVwError());
  }
  void TearDown() override { db_.reset(); }

  struct Run {
    int result = -1;
    std::string out;
    bool flag = false;
    bool operator==(const Run &) const = default;
  };

  OVwObjectId node(const std::string &host, bool flagged) {
    OVwObjectId id = station_->db().addNode(host, "sel-" + host + "-" + std::to_string(++nodes_));
    EXPECT_NE(0u, id) << host;
    if (flagged) {
      EXPECT_TRUE(db_->setFlag(id, true));
    }
    return id;
  }
  bool flag(OVwObjectId id) { return db_->flag(id) == true; }

  Run blocking(OVwObjectId id) {
    testing::internal::CaptureStdout();
    Run r;
    r.result = setDevice(id, kRecordRemoval) ? 1 : 0;
    r.out = testing::internal::GetCapturedStdout();
    r.flag = flag(id);
    return r;
  }
  Run async(OVwObjectId id) {
    Tracked t;
    testing::internal::CaptureStdout();
    Run r;
    std::optional<bool> now = t.probe.start(id, kRecordRemoval, onDone, &t);
    if (now) {
      r.result = *now ? 1 : 0;
      EXPECT_FALSE(t.probe.busy());
    } else {
      EXPECT_TRUE(t.probe.busy());
      runLoop([&] { return t.calls > 0; });
      r.result = t.result;
    }
    r.out = testing::internal::GetCapturedStdout();
    r.flag = flag(id);
    EXPECT_EQ(now ? 0 : 1, t.calls);
    EXPECT_FALSE(t.probe.busy());
    return r;
  }

  std::optional<kt::Station> station_;
  std::optional<kt::InProcessDatabase> db_;
  int nodes_ = 0;
};

// Every row of the decision table, the "REMOVED" path and the early ends, with the flag set
// and clear before: the same lines, result, flag and hook calls as setDevice.
TEST_P(DeviceProbeTest, PrintsWritesAndReturnsWhatSetDeviceDoes) {
  kt::Peers peers;
  ASSERT_TRUE(peers.ok());
  using kt::Act;
  kt::ScriptedAgent errorOne({}, kt::genErr(1)), other({}, kt::otherVariable()),
      longString({}, {.value = std::string(1000, 'S')}), noBinding({}, {.act = Act::kNoBinding}),
      garbage({}, {.act = Act::kGarbage});
  const std::vector<std::string> hosts = {
      peers.device->peer(), peers.plain->peer(), peers.silent.peer(), peers.failing.peer(),
      errorOne.peer(),      other.peer(),        longString.peer(),   noBinding.peer(),
      garbage.peer(),       "REMOVED",           "removed",           "no-such-host.invalid",
  };
  for (const std::string &host : hosts) {
    for (bool flagged : {false, true}) {
      // One node at a time: a host name names one node.
      removed.clear();
      const OVwObjectId first = node(host, flagged);
      const Run expected = blocking(first);
      ASSERT_EQ(0, OVwDbDeleteObject(first));
      const std::vector<OVwObjectId> removedBySetDevice = removed;
      removed.clear();
      const OVwObjectId id = node(host, flagged);
      const Run got = async(id);
      ASSERT_EQ(0, OVwDbDeleteObject(id));
      EXPECT_EQ(expected.result, got.result) << host << (flagged ? " flagged" : "");
      EXPECT_EQ(expected.out, got.out) << host << (flagged ? " flagged" : "");
      EXPECT_EQ(expected.flag, got.flag) << host << (flagged ? " flagged" : "");
      EXPECT_EQ(removedBySetDevice.size(), removed.size()) << host;
      if (!removed.empty()) {
        EXPECT_EQ(id, removed.front());
      }
    }
  }
  // An object the database does not know, and one without a host name.
  EXPECT_EQ(blocking(999999), async(999999));
}

INSTANTIATE_TEST_SUITE_P(Versions, DeviceProbeTest, ::testing::Values("1", "2c"));

class DeviceProbeLoopTest : public DeviceProbeTest {};

// Probes in flight together: the devices' outcomes come while a silent node's probe still
// waits, each probe's lines stay together, and a probe may start the next from its `done`.
TEST_P(DeviceProbeLoopTest, ProbesRunSideBySide) {
  // Devices that answer the probe at once, one per node (a host name names one node).
  std::vector<std::unique_ptr<kt::ScriptedAgent>> devices;
  for (int i = 0; i < 9; ++i) {
    devices.push_back(std::make_unique<kt::ScriptedAgent>(
        std::vector<kt::Step>{}, kt::Step{.value = std::string(1000, 'S')}));
    ASSERT_TRUE(devices.back()->ok());
  }
  kt::UdpClient silent("127.0.0.1");
  const std::string silentHost = silent.peer();
  setenv("OVSNMP_TIMEOUT_MS", "400", 1);
  setenv("OVSNMP_RETRIES", "1", 1);

  std::vector<OVwObjectId> nodes;
  for (const auto &device : devices) nodes.push_back(node(device->peer(), false));
  const OVwObjectId silentNode = node(silentHost, true);

  testing::internal::CaptureStdout();
  Tracked slow;
  ASSERT_FALSE(slow.probe.start(silentNode, {}, onDone, &slow));
  const auto slowStarted = Clock::now();
  std::vector<std::unique_ptr<Tracked>> fast;
  for (int i = 0; i < 8; ++i) {
    fast.push_back(std::make_unique<Tracked>());
    ASSERT_FALSE(fast.back()->probe.start(nodes[i], {}, onDone, fast.back().get()));
  }
  // The last device probe, once done, probes one more device from inside its `done`.
  Tracked chained;
  fast.back()->then = [&] { ASSERT_FALSE(chained.probe.start(nodes[8], {}, onDone, &chained)); };
  const auto started = Clock::now();
  runLoop([&] { return slow.calls > 0; });
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(1, slow.calls);
  EXPECT_EQ(0, slow.result);
  EXPECT_GE(slow.at - slowStarted, 800ms);  // two tries of 400 ms
  for (const auto &t : fast) {
    EXPECT_EQ(1, t->calls);
    EXPECT_EQ(1, t->result);
    EXPECT_LT(t->at - started, kt::scaled(300ms));
    EXPECT_LT(t->at, slow.at);
  }
  EXPECT_EQ(1, chained.calls);
  EXPECT_EQ(1, chained.result);
  EXPECT_LT(chained.at, slow.at);
  // One line per probe: the devices' (in the order their answers were read), then the silent
  // node's.
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(out.substr(at, end + 1 - at));
  }
  ASSERT_EQ(10u, lines.size()) << out;
  EXPECT_EQ("Found isKstrDev flag set on " + silentHost + " - not responding \n", lines.back());
  lines.pop_back();
  std::vector<std::string> expected;
  for (const auto &device : devices) {
    expected.push_back("getOid succeeded for " + device->peer() + " - field set\n");
  }
  std::ranges::sort(lines);
  std::ranges::sort(expected);
  EXPECT_EQ(expected, lines);
}

// An abandoned probe prints nothing, writes nothing, calls nothing and leaves no session.
TEST_P(DeviceProbeLoopTest, AbandonedProbeLeavesNoTrace) {
  kt::UdpClient silent("127.0.0.1");
  const std::string silentHost = silent.peer();
  const OVwObjectId id = node(silentHost, true);
  testing::internal::CaptureStdout();
  {
    Tracked t;
    ASSERT_FALSE(t.probe.start(id, {}, onDone, &t));
    int timeout = 0;
    EXPECT_EQ(1, OVsnmpGetPollInfo(nullptr, 0, &timeout));
    t.probe.abandon();
    EXPECT_FALSE(t.probe.busy());
    EXPECT_EQ(0, OVsnmpGetPollInfo(nullptr, 0, &timeout));
    ASSERT_FALSE(t.probe.start(id, {}, onDone, &t));  // and it can be started again
    EXPECT_EQ(0, t.calls);
  }  // destroyed while busy
  int timeout = 0;
  EXPECT_EQ(0, OVsnmpGetPollInfo(nullptr, 0, &timeout));
  runLoop([] { return false; }, 500ms);
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(flag(id));
}

INSTANTIATE_TEST_SUITE_P(Versions, DeviceProbeLoopTest, ::testing::Values("2c"));

}  // namespace
