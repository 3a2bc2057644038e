// sweep_window_bench.cc - the sweep with probes in flight at once, against its baselines,
// measured in one run:
//   1. a network of N nodes of which a tenth are silent (time-out 1 s, no retries), against the
//      sweep of its answering nodes alone plus one time-out per window of silent nodes:
//      mixed <= 1.1 x (answering + 1 s x ceil(silent / window));
//   2. M answering nodes against a direct loop of net-snmp open, get, close, one node after
//      the other: sweep / direct <= 1.1.
//
//   sweep_window_bench [nodes] [rounds] [window]      (defaults 2000, 3, 64)
//
// The answering nodes are loopback addresses 127.0.1.x (devices) and 127.0.2.x (ordinary
// nodes), served by two snmpds; the silent ones are addresses of 127.0.3.x where nothing
// listens. Runs in a network namespace of its own when it can.
#include <fcntl.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "admin.h"
#include "discovery.h"
#include "process.h"
#include "snmp_agent.h"
#include "store.h"
#include "sweep_agents.h"
#include "test_database.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kAddressesPerAgent = 100;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// An object database holding one SNMP node per selection name, in that order.
std::unique_ptr<kt::TestDatabase> databaseOf(const std::vector<std::string> &names) {
  auto db = std::make_unique<kt::TestDatabase>();
  auto store = kestara::ovw::Store::open(db->path());
  if (!store) {
    std::fprintf(stderr, "%s\n", store.error().detail.c_str());
    return nullptr;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    // Host names are unique; the sweep opens its sessions to the selection names.
    kestara::ovw::admin::NodeSpec spec;
    spec.hostname = "node-" + std::to_string(i) + ".invalid";
    spec.selection_name = names[i];
    auto added = kestara::ovw::admin::addNode(**store, spec);
    if (!added) {
      std::fprintf(stderr, "%s\n", added.error().detail.c_str());
      return nullptr;
    }
  }
  return db;
}

// The sweep over the database `db`, its lines sent to /dev/null; seconds, or -1 on failure.
double timedSweep(const kt::TestDatabase &db, size_t window) {
  for (const auto &[name, value] : db.env()) setenv(name.c_str(), value.c_str(), 1);
  if (OVwDbInit() < 0) return -1;
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(devnull, STDOUT_FILENO);
  const auto start = Clock::now();
  const bool ok = sweepDevices(SweepSummary::kNone, window);
  const double taken = seconds(Clock::now() - start);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(devnull);
  close(saved);
  OVwDbDone();
  return ok ? taken : -1;
}

// net-snmp alone: open, get of the probe variable, close, one node after the other; seconds,
// or -1 when a node did not answer.
double directLoop(const std::vector<std::string> &peers) {
  const auto start = Clock::now();
  for (const std::string &peer : peers) {
    if (!bench::probeDirectly(peer)) return -1;
  }
  return seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char **argv) {
  const int nodes = std::max(argc > 1 ? std::atoi(argv[1]) : 2000, 20);
  const int rounds = std::max(argc > 2 ? std::atoi(argv[2]) : 3, 1);
  const size_t window = static_cast<size_t>(std::clamp(argc > 3 ? std::atoi(argv[3]) : 64, 1, 512));
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace; using the host's loopback\n");
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const uint16_t port = kt::freeUdpPort("127.0.1.1");
  kt::TempDir agentDir;
  std::vector<std::string> deviceHosts, plainHosts;
  for (int i = 1; i <= kAddressesPerAgent; ++i) {
    deviceHosts.push_back("127.0.1." + std::to_string(i));
    plainHosts.push_back("127.0.2." + std::to_string(i));
  }
  auto devices = bench::startAgent(agentDir, deviceHosts, port, true);
  auto plains = bench::startAgent(agentDir, plainHosts, port, false);
  if (!devices || !plains) return 1;
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 1.0, 0);
  for (const auto &[name, value] : kt::clientEnv(conf)) setenv(name.c_str(), value.c_str(), 1);
  init_snmp("sweep_window_bench");

  // Every tenth node is silent; the others take turns over the agents' addresses.
  std::vector<std::string> mixed, answering;
  int silent = 0;
  for (int i = 0; i < nodes; ++i) {
    std::string peer;
    if (i % 10 == 5) {
      peer = "127.0.3." + std::to_string(1 + silent % 250) + ":" + std::to_string(port);
      ++silent;
    } else {
      const int n = static_cast<int>(answering.size());
      peer = std::string(n % 2 == 0 ? "127.0.1." : "127.0.2.") +
             std::to_string(1 + (n / 2) % kAddressesPerAgent) + ":" + std::to_string(port);
      answering.push_back(peer);
    }
    mixed.push_back(peer);
  }
  const std::vector<std::string> few(answering.begin(),
                                     answering.begin() + std::min<size_t>(200, answering.size()));
  auto mixedDb = databaseOf(mixed);
  auto answeringDb = databaseOf(answering);
  auto fewDb = databaseOf(few);
  if (!mixedDb || !answeringDb || !fewDb) {
    std::fprintf(stderr, "could not fill the object databases\n");
    return 1;
  }

  // Rounds that take turns, so that every part sees the same machine.
  std::vector<double> mixedTimes, answeringTimes, fewTimes, directTimes, sequentialTimes;
  (void)directLoop(few);  // warm-up: the agents' first reads
  for (int r = 0; r < rounds; ++r) {
    const double m = timedSweep(*mixedDb, window);
    const double a = timedSweep(*answeringDb, window);
    const double f = timedSweep(*fewDb, window);
    const double s = timedSweep(*fewDb, 1);
    const double d = directLoop(few);
    if (m < 0 || a < 0 || f < 0 || s < 0 || d < 0) {
      std::fprintf(stderr, "a round failed\n");
      return 1;
    }
    mixedTimes.push_back(m);
    answeringTimes.push_back(a);
    fewTimes.push_back(f);
    sequentialTimes.push_back(s);
    directTimes.push_back(d);
  }
  const double waits = std::ceil(static_cast<double>(silent) / static_cast<double>(window));
  const double bound = median(answeringTimes) + waits * 1.0;
  std::printf("sweep window benchmark, window %zu, %d rounds, loopback\n", window, rounds);
  std::printf("1. %d nodes, %d silent (time-out 1 s, no retries)\n", nodes, silent);
  std::printf("   mixed network                      %8.3f s\n", median(mixedTimes));
  std::printf("   its answering nodes alone          %8.3f s\n", median(answeringTimes));
  std::printf("   ratio mixed / (answering + %.0f x 1 s) %.3f   (target <= 1.1)\n", waits,
              median(mixedTimes) / bound);
  std::printf("2. %zu answering nodes\n", few.size());
  std::printf("   direct net-snmp loop, one by one   %8.3f s\n", median(directTimes));
  std::printf("   sweep, window %-4zu                 %8.3f s\n", window, median(fewTimes));
  std::printf("   sweep, window 1                    %8.3f s\n", median(sequentialTimes));
  std::printf("   ratio sweep / direct %.3f   (target <= 1.1); window 1 / direct %.3f\n",
              median(fewTimes) / median(directTimes),
              median(sequentialTimes) / median(directTimes));
  return 0;
}
