// ovw_events_test.cc - the message loop across processes: a map application (the test peer)
// waits in OVwGetMessage while the `ovw` tool posts events on the same database file.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "admin.h"
#include "ovw_test_util.h"
#include "store_backend.h"

namespace {

using ovwtest::OVwBackendTest;
using ovwtest::OVwDbTest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The peer's lines that begin with "event ".
std::vector<std::string> eventLines(const std::string &output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("event ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// The line without its latency (which differs between runs and peers).
std::string withoutLatency(const std::string &line) {
  return line.substr(0, line.find(" latency_us="));
}

long long latencyOf(const std::string &line) {
  size_t at = line.find("latency_us=");
  return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + 11);
}

// Waits for the peer's next event line (the count-th, from 1) and returns it.
std::string nextEvent(kt::Process &peer, size_t count) {
  kt::eventually([&] { return eventLines(peer.output()).size() >= count; }, 5s);
  std::vector<std::string> lines = eventLines(peer.output());
  EXPECT_GE(lines.size(), count) << peer.output() << peer.errors();
  return lines.size() >= count ? lines[count - 1] : std::string();
}

void reportLatencies(const std::map<int, long long> &latency) {
  std::ostringstream text;
  text << "event wake-up latency (us):";
  for (const auto &[event, us] : latency) text << " " << event << "=" << us;
  std::cout << text.str() << std::endl;
  testing::Test::RecordProperty("wakeup_latency_us", text.str());
}

TEST_P(OVwBackendTest, AWaitingProcessReceivesEachOfTheSixEvents) {
  ok({"-fields"});
  ok({"start", "session", kSession});
  kt::Process peer = startPeer({"--ack"});
  std::map<int, long long> latency;
  auto expect = [&](size_t n, const std::string &want) {
    std::string line = nextEvent(peer, n);
    EXPECT_EQ(want, withoutLatency(line));
    latency[std::atoi(line.c_str() + 6)] = latencyOf(line);
  };

  ok({"open", "map", "--session", kSession});
  expect(1, "event 3 map=default");
  std::string id = std::to_string(addNode({"alpha", "alpha.sel"}));
  expect(2, "event 18 map=default objects=" + id + "/alpha.sel");
  std::string opened = ok({"open", "submap", id, "--session", kSession});
  std::string submap = opened.substr(7, opened.find(' ', 7) - 7);  // "submap N of object ..."
  expect(3, "event 30 map=default submap=" + submap + " parent=" + id);
  ok({"delete", "object", id});
  expect(4, "event 15 map=default objects=" + id + "/alpha.sel");
  kt::RunResult closed = ovw({"close", "map", "--session", kSession});
  EXPECT_EQ(0, closed.status);
  EXPECT_EQ("", closed.err);  // acknowledged in time
  std::string close_line = nextEvent(peer, 5);
  EXPECT_EQ(0u, close_line.rfind("event 4 map=default close=", 0)) << close_line;
  latency[4] = latencyOf(close_line);
  ok({"end", "session", kSession});
  expect(6, "event 1 map=none");
  EXPECT_EQ(0, peer.wait(5s).value_or(-1)) << peer.output();
  EXPECT_NE(std::string::npos, peer.output().find("acked 0\n"));

  reportLatencies(latency);
  for (const auto &[event, us] : latency) {
    EXPECT_GE(us, 0) << "event " << event;  // measured (printed above, not judged here)
  }
}

// A process that another detaches (as the map service leaves its session when it stops) wakes
// from its wait for messages and finds its attachment gone; the others stay attached.
TEST_P(OVwBackendTest, AProcessDetachedByAnotherWakesFromItsWait) {
  startMap();
  kt::Process detached = startPeer({"--app", "Gone"});
  kt::Process staying = startPeer({"--app", "Staying"});
  auto store = kestara::ovw::openStore(db_path_);
  ASSERT_TRUE(store) << store.error().detail;
  auto snapshot = kestara::ovw::admin::snapshot(**store);
  ASSERT_TRUE(snapshot) << snapshot.error().detail;
  int64_t attachment = 0;
  for (const auto &session : snapshot->sessions) {
    for (const auto &a : session.attachments) {
      if (a.pid == detached.pid()) attachment = a.id;
    }
  }
  ASSERT_NE(0, attachment);
  ASSERT_TRUE((*store)->detach(attachment));
  EXPECT_EQ(0, detached.wait(5s).value_or(-1)) << detached.output() << detached.errors();
  EXPECT_NE(std::string::npos, detached.output().find("loop ended\n"));
  EXPECT_TRUE(staying.running());
  EXPECT_NE(std::string::npos, ok({"list"}).find("attached: \"Staying\""));
}

TEST_P(OVwBackendTest, EveryApplicationGetsEveryEventOnceInOrder) {
  startMap();
  kt::Process first = startPeer({"--app", "First", "--ack"});
  kt::Process second = startPeer({"--app", "Second", "--events", "18,15"});
  std::vector<std::string> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(std::to_string(addNode({"host" + std::to_string(i)})));
  ok({"delete", "object", ids[0], ids[1]});
  ok({"delete", "object", ids[5]});
  std::vector<std::string> expected;
  for (size_t i = 0; i < ids.size(); ++i) {
    expected.push_back("event 18 map=default objects=" + ids[i] + "/host" + std::to_string(i));
  }
  expected.push_back("event 15 map=default objects=" + ids[0] + "/host0," + ids[1] + "/host1");
  expected.push_back("event 15 map=default objects=" + ids[5] + "/host5");
  for (kt::Process *peer : {&first, &second}) {
    nextEvent(*peer, expected.size());
    std::vector<std::string> got = eventLines(peer->output());
    std::transform(got.begin(), got.end(), got.begin(), withoutLatency);
    EXPECT_EQ(expected, got);
  }
  // Nothing arrives twice: one more event, and it is the next line.
  ok({"close", "map", "--session", kSession});
  EXPECT_EQ("event 4 map=default close=", withoutLatency(nextEvent(first, 9)).substr(0, 26));
  EXPECT_EQ(9u, eventLines(first.output()).size());
}

TEST_P(OVwBackendTest, ObjectCreatedFilterKeepsOutWhatDoesNotMatch) {
  startMap();
  kt::Process peer = startPeer({"--filter", "--events", "18,15"});
  addNode({"no-snmp", "--no-snmp"});
  addNode({"not-a-node", "--not-node"});
  std::string node = std::to_string(addNode({"snmp-node"}));
  EXPECT_EQ("event 18 map=default objects=" + node + "/snmp-node",
            withoutLatency(nextEvent(peer, 1)));
  ok({"delete", "object", node});
  nextEvent(peer, 2);
  EXPECT_EQ(2u, eventLines(peer.output()).size());  // the first two were never delivered
}

TEST_P(OVwBackendTest, MapCloseWaitsForTheAcknowledgement) {
  startMap();
  kt::Process peer = startPeer({"--ack", "--ack-delay-ms", "300", "--events", "4"});
  auto start = Clock::now();
  kt::RunResult r = ovw({"close", "map", "--session", kSession, "--timeout-ms", "5000"});
  auto took = Clock::now() - start;
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("map \"default\" closed\n", r.out);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 4s);
  // The peer prints its line once its acknowledgement call has returned, which may be after
  // the closer has seen the acknowledgement and ended.
  EXPECT_TRUE(peer.waitForOutput("acked 0\n", kt::scaled(5s))) << peer.output();
  EXPECT_NE(std::string::npos, ok({"list"}).find("test:0  running\n"));  // no map any more
}

TEST_P(OVwBackendTest, MapCloseGivesUpOnASilentApplication) {
  startMap();
  kt::Process peer = startPeer({"--app", "Silent App", "--events", "4"});
  auto start = Clock::now();
  kt::RunResult r = ovw({"close", "map", "--session", kSession, "--timeout-ms", "400"});
  auto took = Clock::now() - start;
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("\"Silent App\" did not acknowledge the close within "
                                          "400 ms; map closed anyway"))
      << r.err;
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 3s);
  nextEvent(peer, 1);  // the peer did get the event
  kt::RunResult again = ovw({"close", "map", "--session", kSession});
  EXPECT_EQ(1, again.status);
  EXPECT_NE(std::string::npos, again.err.find("no map is open"));
}

TEST_P(OVwBackendTest, AnEndedProcessIsNotWaitedFor) {
  startMap();
  kt::Process peer = startPeer({"--events", "4"});
  peer.signal(SIGKILL);
  peer.wait(5s);
  auto start = Clock::now();
  kt::RunResult r = ovw({"close", "map", "--session", kSession, "--timeout-ms", "3000"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(std::string::npos, ok({"list"}).find("attached"));  // its attachment is gone
}

TEST_F(OVwDbTest, WakeUpCrossesNetworkNamespaces) {
  startMap();
  // The peer in a network namespace of its own; the poster stays in this one.
  kt::RunResult probe = kt::run({"/usr/bin/unshare", "--net", "true"}, {}, 5s);
  if (probe.status != 0) GTEST_SKIP() << "no network namespaces here: " << probe.err;
  kt::Process peer = kt::Process::start(
      {"/usr/bin/unshare", "--net", OVW_TEST_PEER, "--session", kSession, "--events", "18"}, env());
  ASSERT_TRUE(peer.waitForOutput("ready\n", 10s)) << peer.output() << peer.errors();
  std::string id = std::to_string(addNode({"far"}));
  std::string line = nextEvent(peer, 1);
  EXPECT_EQ("event 18 map=default objects=" + id + "/far", withoutLatency(line));
  reportLatencies({{18, latencyOf(line)}});
}

TEST_P(OVwBackendTest, AnApplicationCannotAttachToASessionThatIsNotRunning) {
  kt::RunResult r = kt::run({OVW_TEST_PEER, "--session", "nowhere:0"}, env(), 10s);
  EXPECT_EQ(3, r.status);
  EXPECT_NE(std::string::npos, r.out.find("init failed: 1 "));
  EXPECT_NE(std::string::npos, r.out.find("\"nowhere:0\" is not running"));
}

OVW_TESTS_ON_EVERY_BACKEND(OVwBackendTest);

}  // namespace
