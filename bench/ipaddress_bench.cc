// ipaddress_bench.cc - the cost of "getIpAddress" through tavrin over its baseline, in one run:
//   (a) a direct net-snmp loop sending the same 33 requests that one full lookup sends (the
//       wanted value, then 16 GetNext/Get pairs over ipAdEntIfIndex and ifPhysAddress),
//   (b) "getIpAddress" through tavrin for a MAC that no entry has, so that the walk runs its
//       full 16 steps.
// Prints median and p99 of each and the ratio b/a.
//
// The benchmark runs in a network namespace of its own, adds a veth pair there with 16 IPv4
// addresses on one end (the table, with 127.0.0.1, then holds 17 entries) and starts snmpd on
// loopback. It needs root (or the right to make network namespaces); without it it says so.
//
//   ipaddress_bench [iterations]      (default 300)
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "process.h"
#include "snmp_agent.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSteps = 16;
constexpr size_t kRequestsPerLookup = 1 + 2 * kSteps;

struct Stats {
  double median_us;
  double p99_us;
};

Stats summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Times `first` and `second` in turns, so that both see the same load on the machine.
// Nothing when a lookup fails.
std::optional<std::pair<Stats, Stats>> measure(int iterations, const std::function<bool()> &first,
                                               const std::function<bool()> &second) {
  std::vector<double> a, b;
  for (int i = 0; i < iterations / 10 + 1; ++i) {  // warm-up
    if (!first() || !second()) return std::nullopt;
  }
  for (int i = 0; i < iterations; ++i) {
    for (auto [once, samples] : {std::pair{&first, &a}, std::pair{&second, &b}}) {
      auto start = Clock::now();
      if (!(*once)()) return std::nullopt;
      samples->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  return std::pair{summarize(std::move(a)), summarize(std::move(b))};
}

void report(const char *name, Stats s) {
  std::printf("%-52s median %9.1f us   p99 %9.1f us\n", name, s.median_us, s.p99_us);
}

std::string ipTool() {
  for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

bool run(const std::vector<std::string> &argv) {
  auto r = kt::run(argv);
  if (r.status != 0) std::fprintf(stderr, "failed: %s: %s\n", argv[0].c_str(), r.err.c_str());
  return r.status == 0;
}

size_t requestsSeen(kt::SnmpAgent &agent) {
  std::string out = agent.process().output();
  size_t n = 0;
  for (size_t at = out.find("Connection from"); at != std::string::npos;
       at = out.find("Connection from", at + 1)) {
    ++n;
  }
  return n;
}

// One synchronous request; `name` is updated to the answered name for a GetNext. Returns the
// first binding's integer value (or 0), or -1 when the request failed.
long request(netsnmp_session *session, int type, std::vector<oid> &name) {
  netsnmp_pdu *pdu = snmp_pdu_create(type);
  snmp_add_null_var(pdu, name.data(), name.size());
  netsnmp_pdu *response = nullptr;
  int status = snmp_synch_response(session, pdu, &response);
  long value = -1;
  if (status == STAT_SUCCESS && response != nullptr && response->errstat == 0 &&
      response->variables != nullptr) {
    netsnmp_variable_list *vb = response->variables;
    value = vb->type == ASN_INTEGER && vb->val.integer != nullptr ? *vb->val.integer : 0;
    if (type == SNMP_MSG_GETNEXT) name.assign(vb->name, vb->name + vb->name_length);
  }
  if (response != nullptr) snmp_free_pdu(response);
  return value;
}

}  // namespace

int main(int argc, char **argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 300;
  if (iterations < 20) iterations = 20;
  std::string ip = ipTool();
  if (!kt::isolateNetwork() || ip.empty()) {
    std::fprintf(stderr,
                 "ipaddress_bench needs a network namespace of its own (root) and the ip tool: "
                 "it adds interfaces\n");
    return 1;
  }
  // bw0 carries the 16 addresses; bw1, whose MAC is the one asked for, has none.
  if (!run({ip, "link", "add", "name", "bw0", "type", "veth", "peer", "name", "bw1"}) ||
      !run({ip, "link", "set", "dev", "bw1", "address", "02:00:5e:be:00:01"}) ||
      !run({ip, "link", "set", "dev", "bw0", "up"}) ||
      !run({ip, "link", "set", "dev", "bw1", "up"})) {
    return 1;
  }
  for (int i = 1; i <= kSteps; ++i) {
    if (!run({ip, "addr", "add", "198.51.100." + std::to_string(i) + "/32", "dev", "bw0"})) {
      return 1;
    }
  }
  auto index = kt::run({ip, "-o", "link", "show", "dev", "bw1"});
  if (index.status != 0) return 1;
  const oid bw1 = static_cast<oid>(std::stoul(index.out));

  auto agent = kt::SnmpAgent::start();
  if (!agent) return 1;
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 2.0, 0);
  auto env = kt::clientEnv(conf);
  for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  env.push_back(kt::kAnyAgent);
  auto tavrin = kt::Process::start({kt::binPath("tavrin")}, env);
  if (!tavrin.waitForOutput("Will wait on select", 10s)) {
    std::fprintf(stderr, "tavrin did not start\n");
    return 1;
  }

  // (a) The same 33 requests straight through net-snmp.
  init_snmp("ipaddress_bench");
  netsnmp_session settings;
  snmp_sess_init(&settings);
  std::string peer = agent->peer();
  settings.peername = peer.data();
  settings.version = SNMP_VERSION_2c;
  settings.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
  settings.community_len = 6;
  settings.timeout = 2000000;
  settings.retries = 0;
  netsnmp_session *session = snmp_open(&settings);
  if (session == nullptr) return 1;
  const std::vector<oid> column = {1, 3, 6, 1, 2, 1, 4, 20, 1, 2};
  const std::vector<oid> wanted = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6, bw1};
  auto direct = [&] {
    std::vector<oid> name = wanted;
    if (request(session, SNMP_MSG_GET, name) < 0) return false;
    std::vector<oid> walk = column;
    for (int step = 0; step < kSteps; ++step) {
      long if_index = request(session, SNMP_MSG_GETNEXT, walk);
      if (if_index < 0 || walk.size() < 10 || walk[9] != 2) return false;
      std::vector<oid> phys = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6, static_cast<oid>(if_index)};
      if (request(session, SNMP_MSG_GET, phys) < 0) return false;
    }
    return true;
  };

  // (b) Through tavrin.
  kt::UdpClient client("127.0.0.1");
  auto opened = client.request("127.0.0.1", 8088, "openSnmpSession#" + peer, 5s);
  if (!opened) return 1;
  std::string lookup = "getIpAddress#" + *opened + "#1.3.6.1.2.1.2.2.1.6." + std::to_string(bw1);
  auto gateway = [&] { return client.request("127.0.0.1", 8088, lookup, 10s) == "0.0.0.0"; };

  // Both must cost the agent the same 33 requests.
  size_t before = requestsSeen(*agent);
  if (!direct()) return 1;
  size_t direct_requests = requestsSeen(*agent) - before;
  before = requestsSeen(*agent);
  if (!gateway()) return 1;
  size_t gateway_requests = requestsSeen(*agent) - before;
  std::printf("requests per lookup: direct %zu, tavrin %zu (expected %zu)\n", direct_requests,
              gateway_requests, kRequestsPerLookup);
  if (direct_requests != kRequestsPerLookup || gateway_requests != kRequestsPerLookup) return 1;

  auto measured = measure(iterations, direct, gateway);
  snmp_close(session);
  if (!measured) {
    std::fprintf(stderr, "a lookup failed; stopping\n");
    return 1;
  }
  auto [a, b] = *measured;

  std::printf("%d lookups each, 33 requests per lookup, snmpd on loopback\n", iterations);
  report("(a) net-snmp loop, 33 requests", a);
  report("(b) getIpAddress through tavrin, 16 steps", b);
  std::printf("ratio b/a: median %.2f   p99 %.2f\n", b.median_us / a.median_us,
              b.p99_us / a.p99_us);
  std::printf("per request: direct %.1f us, tavrin %.1f us\n", a.median_us / kRequestsPerLookup,
              b.median_us / kRequestsPerLookup);
  return 0;
}
