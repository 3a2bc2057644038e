// sweep_bench.cc - the start-up sweep against its baseline, and the event-to-flag latency,
// measured in one run:
//   (a) a direct loop of net-snmp open, get of the probe variable, close over N nodes,
//   (b) sweepDevices() over the same N nodes of an object database (probe, field write, line),
//       one probe at a time (sweep_window_bench measures the sweep with its window),
//   (c) node event to flag: a v1 trap sent to a running ferrow until the node's field is set.
// Prints nodes per second of (a) and (b) (medians of the rounds), the ratio b/a (target <= 1.25),
// and the median and p99 of (c).
//
//   sweep_bench [nodes] [rounds] [events]      (defaults 200, 21, 200)
//   KT_DATABASE=postgresql sweep_bench ...     the same with the database on a PostgreSQL server
//   KT_DATABASE=postgresql-socket ...          ... reached through its socket instead of TCP
//
// The nodes are loopback addresses 127.0.1.x and 127.0.2.x served by two snmpds (devices and
// non-devices), in a network namespace of the benchmark's own.
#include <fcntl.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "discovery.h"
#include "field_list.h"
#include "process.h"
#include "snmp_agent.h"
#include "snmp_ops.h"
#include "sweep_agents.h"
#include "test_database.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// (a): net-snmp alone, the same open/get/close per node as the sweep does.
bool directLoop(const std::vector<std::string> &peers) {
  for (const std::string &peer : peers) {
    if (!bench::probeDirectly(peer)) return false;
  }
  return true;
}

// Runs `once(argument)` and appends how long it took to `samples`; false when it failed.
template <typename F, typename A>
bool timed(std::vector<Clock::duration> &samples, F once, const A &argument) {
  auto start = Clock::now();
  if (!once(argument)) {
    std::fprintf(stderr, "a round failed; stopping\n");
    return false;
  }
  samples.push_back(Clock::now() - start);
  return true;
}

Clock::duration median(std::vector<Clock::duration> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Sends one v1 node event naming `object` to `peer` through net-snmp.
bool sendNodeEvent(const std::string &peer, OVwObjectId object) {
  static const oid enterprise[] = {1, 3, 6, 1, 4, 1, 11, 2, 17, 1};
  static const oid variable[] = {1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0};
  netsnmp_session settings;
  snmp_sess_init(&settings);
  settings.peername = const_cast<char *>(peer.c_str());
  settings.version = SNMP_VERSION_1;
  settings.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
  settings.community_len = 6;
  void *session = snmp_sess_open(&settings);
  if (session == nullptr) return false;
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_TRAP);
  pdu->enterprise = snmp_duplicate_objid(enterprise, OID_LENGTH(enterprise));
  pdu->enterprise_length = OID_LENGTH(enterprise);
  pdu->trap_type = SNMP_TRAP_ENTERPRISESPECIFIC;
  pdu->specific_type = 40000016;
  pdu->time = 0;
  std::string text = std::to_string(object);
  snmp_add_var(pdu, variable, OID_LENGTH(variable), 's', text.c_str());
  bool sent = snmp_sess_send(session, pdu) != 0;
  if (!sent) {
    char *text = nullptr;
    snmp_sess_error(session, nullptr, nullptr, &text);
    std::fprintf(stderr, "trap not sent: %s\n", text ? text : "?");
    std::free(text);
    snmp_free_pdu(pdu);
  }
  snmp_sess_close(session);
  return sent;
}

}  // namespace

int main(int argc, char **argv) {
  const int nodes = std::max(argc > 1 ? std::atoi(argv[1]) : 200, 2);
  const int rounds = std::max(argc > 2 ? std::atoi(argv[2]) : 21, 1);
  const int events = std::max(argc > 3 ? std::atoi(argv[3]) : 200, 10);
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace; using the host's loopback\n");
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Agents: half the nodes are devices, half are not.
  std::vector<std::string> deviceHosts, plainHosts, peers;
  for (int i = 0; i < nodes; ++i) {
    std::string host = (i % 2 == 0 ? "127.0.1." : "127.0.2.") + std::to_string(1 + i / 2);
    (i % 2 == 0 ? deviceHosts : plainHosts).push_back(host);
  }
  uint16_t port = kt::freeUdpPort("127.0.1.1");
  kt::TempDir agentDir;
  auto devices = bench::startAgent(agentDir, deviceHosts, port, true);
  auto plains = bench::startAgent(agentDir, plainHosts, port, false);
  if (!devices || !plains) return 1;

  // Client configuration for this process and for ferrow.
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 1.0, 0);
  kt::Env env = kt::clientEnv(conf);
  for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  init_snmp("sweep_bench");

  // The object database: one node per address, named by its selection name.
  kt::TestDatabase db;
  for (int i = 0; i < nodes; ++i) {
    const std::string &host = i % 2 == 0 ? deviceHosts[static_cast<size_t>(i / 2)]
                                         : plainHosts[static_cast<size_t>(i / 2)];
    peers.push_back(host + ":" + std::to_string(port));
  }
  std::vector<OVwObjectId> ids = db.addNodes(peers);
  if (ids.size() != peers.size()) {
    std::fprintf(stderr, "could not fill the object database\n");
    return 1;
  }
  for (const auto &item : db.env()) setenv(item.first.c_str(), item.second.c_str(), 1);
  if (OVwDbInit() < 0) return 1;

  // (a) and (b), interleaved round by round so that both see the same machine; with them two
  // parts of (b) alone, to show where its time goes: (d) the probes through OVsnmp, and (e) the
  // database calls of the sweep's loop.
  const OVwFieldId field = OVwDbFieldNameToFieldId("isKestaraDevice");
  auto probeLoop = [&] {
    for (const std::string &peer : peers) {
      OVsnmpSession session = snmpOpen(peer.c_str());
      if (session == 0) return false;
      (void)probeDevice(session);
      (void)snmpClose(session);
    }
    return true;
  };
  auto databaseLoop = [&] {
    for (size_t i = 0; i < ids.size(); ++i) {
      if (OVwDbObjectIdToSelectionName(ids[i]) == nullptr) return false;
      if (i % 2 == 0) {
        if (OVwDbSetFieldBooleanValue(ids[i], field, 1) < 0) return false;
      } else if (OVwDbGetFieldBooleanValue(ids[i], field) < 0) {
        return false;
      }
    }
    return true;
  };
  // (f) the sweep's queries before its loop: the list of SNMP nodes and the field's id.
  auto queryLoop = [&] {
    OVwFieldBindList *filter = buildFieldValueList(2, "isNode", "isSNMPSupported");
    if (filter == nullptr) return false;
    OVwObjectIdList *list = OVwDbListObjectsByFieldValues(filter);
    freeFieldValueList(filter);
    if (list == nullptr) return false;
    const bool all = list->count == static_cast<int>(ids.size());
    OVwDbFreeObjectIdList(list);
    return all && OVwDbFieldNameToFieldId("isKestaraDevice") != 0;
  };
  std::vector<Clock::duration> directSamples, sweepSamples, probeSamples, databaseSamples,
      querySamples;
  int saved = dup(STDOUT_FILENO);
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  (void)directLoop(peers);  // warm-up: the agents' first reads, the database's caches
  (void)databaseLoop();
  bool ok = true;
  for (int r = 0; ok && r < rounds; ++r) {
    ok = timed(directSamples, directLoop, peers);
    std::fflush(stdout);
    dup2(devnull, STDOUT_FILENO);
    ok = ok && timed(
                   sweepSamples, [](int) { return sweepDevices(SweepSummary::kNone, 1); }, 0);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    ok = ok && timed(
                   probeSamples, [&](int) { return probeLoop(); }, 0);
    ok = ok && timed(
                   databaseSamples, [&](int) { return databaseLoop(); }, 0);
    ok = ok && timed(
                   querySamples, [&](int) { return queryLoop(); }, 0);
  }
  close(devnull);
  close(saved);
  if (!ok) return 1;  // the agents are stopped on the way out
  const Clock::duration direct = median(directSamples);
  const Clock::duration sweep = median(sweepSamples);
  const Clock::duration probes = median(probeSamples);
  const Clock::duration database = median(databaseSamples);
  const Clock::duration queries = median(querySamples);
  const double bestRatio = seconds(*std::min_element(sweepSamples.begin(), sweepSamples.end())) /
                           seconds(*std::min_element(directSamples.begin(), directSamples.end()));

  // (c) A running ferrow, told of one node again and again; the field is cleared before each
  // event and watched until the daemon has set it.
  const uint16_t eventPort = kt::freeUdpPort();
  const std::string eventPeer = "127.0.0.1:" + std::to_string(eventPort);
  db.setEventAddress("udp:" + eventPeer);
  kt::Env ferrowEnv = env;
  for (const auto &item : db.env()) ferrowEnv.push_back(item);
  auto ferrow = kt::Process::start({kt::binPath("ferrow"), "-sal"}, ferrowEnv);
  if (!ferrow.waitForOutput("objects that match isKestaraDevice", 120s)) {
    std::fprintf(stderr, "ferrow did not finish its sweep:\n%s\n", ferrow.output().c_str());
    return 1;
  }
  const OVwObjectId node = ids[0];
  // The listener opens its session before the sweep; wait until a first event is handled.
  (void)OVwDbSetFieldBooleanValue(node, field, 0);
  bool listening = kt::eventually(
      [&] {
        (void)sendNodeEvent(eventPeer, node);
        return kt::eventually([&] { return OVwDbGetFieldBooleanValue(node, field) > 0; }, 200ms);
      },
      10s);
  if (!listening) {
    std::fprintf(stderr, "ferrow does not handle events:\n%s\n", ferrow.output().c_str());
    return 1;
  }
  std::vector<double> latencies;
  for (int i = 0; i < events; ++i) {
    (void)OVwDbSetFieldBooleanValue(node, field, 0);
    auto start = Clock::now();
    if (!sendNodeEvent(eventPeer, node)) return 1;
    while (OVwDbGetFieldBooleanValue(node, field) <= 0) {
      if (Clock::now() - start > 5s) {
        std::fprintf(stderr, "event %d was not handled\n", i);
        return 1;
      }
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  (void)ferrow.stop();
  OVwDbDone();
  std::sort(latencies.begin(), latencies.end());

  std::printf(
      "object database: %s%s\n",
      kt::onPostgres() ? "a PostgreSQL server on this machine, KT_DATABASE=" : "an SQLite file",
      kt::onPostgres() ? std::getenv("KT_DATABASE") : "");
  std::printf("sweep benchmark, %d nodes (%zu devices, %zu non-devices), %d rounds, loopback\n",
              nodes, deviceHosts.size(), plainHosts.size(), rounds);
  std::printf("(a) direct net-snmp open/get/close loop   %8.3f s   %8.0f nodes/s\n",
              seconds(direct), nodes / seconds(direct));
  std::printf("(b) sweepDevices(), one probe at a time   %8.3f s   %8.0f nodes/s\n", seconds(sweep),
              nodes / seconds(sweep));
  std::printf("ratio b/a %.3f of the medians, %.3f of the fastest rounds   (target <= 1.25)\n",
              seconds(sweep) / seconds(direct), bestRatio);
  std::printf("  of (b): (d) snmpOpen/probeDevice/snmpClose %8.3f s   (d/a %.3f)\n",
              seconds(probes), seconds(probes) / seconds(direct));
  std::printf("          (e) selection name, field write/read %8.3f s   (e/a %.3f)\n",
              seconds(database), seconds(database) / seconds(direct));
  std::printf("          (f) the node list and field id        %8.3f s   (f/a %.3f)\n",
              seconds(queries), seconds(queries) / seconds(direct));
  std::printf(
      "(c) node event -> field set, %d events   median %.2f ms   p99 %.2f ms   max %.2f ms\n",
      events, latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
      latencies.back());
  return 0;
}
