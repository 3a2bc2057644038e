// gateway_bench.cc - the gateway's cost over its baselines, measured in one run:
//   (a) a raw UDP echo round trip on loopback,
//   (b) a direct net-snmp synchronous get of sysName.0,
//   (c) "getSnmpData" of sysName.0 through tavrin,
//   (d) an echoed word through tavrin.
// Prints median and p99 of each, and the ratios c/(a+b) and d/a.
//
//   gateway_bench [iterations]      (default 5000)
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "snmp_agent.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
  double median_us;
  double p99_us;
};

Stats measure(int iterations, const std::function<bool()> &once) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(iterations));
  for (int i = 0; i < iterations / 10; ++i) once();  // warm-up
  for (int i = 0; i < iterations; ++i) {
    auto start = Clock::now();
    if (!once()) {
      std::fprintf(stderr, "a request failed; stopping\n");
      std::exit(1);
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

void report(const char *name, Stats s) {
  std::printf("%-44s median %8.1f us   p99 %8.1f us\n", name, s.median_us, s.p99_us);
}

}  // namespace

int main(int argc, char **argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 5000;
  if (iterations < 100) iterations = 100;
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace; port 8088 must be free\n");
  }

  auto agent = kt::SnmpAgent::start();
  if (!agent) return 1;
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 1.0, 1);
  auto env = kt::clientEnv(conf);
  for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  env.push_back(kt::kAnyAgent);
  auto tavrin = kt::Process::start({kt::binPath("tavrin")}, env);
  if (!tavrin.waitForOutput("Will wait on select", std::chrono::seconds(10))) {
    std::fprintf(stderr, "tavrin did not start\n");
    return 1;
  }

  // (a) A UDP echo server on a thread of its own.
  kt::UdpClient echo_server("127.0.0.1");
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char buf[512];
    while (!stop) {
      pollfd p{echo_server.fd(), POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      ssize_t n =
          recvfrom(echo_server.fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n >= 0)
        sendto(echo_server.fd(), buf, static_cast<size_t>(n), 0,
               reinterpret_cast<sockaddr *>(&from), len);
    }
  });
  kt::UdpClient client("127.0.0.1");
  using namespace std::chrono_literals;
  Stats a = measure(iterations, [&] {
    return client.request("127.0.0.1", echo_server.localPort(), "hello", 2s).has_value();
  });

  // (b) net-snmp directly.
  init_snmp("gateway_bench");
  netsnmp_session settings;
  snmp_sess_init(&settings);
  std::string peer = agent->peer();
  settings.peername = peer.data();
  settings.version = SNMP_VERSION_2c;
  settings.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
  settings.community_len = 6;
  netsnmp_session *session = snmp_open(&settings);
  if (session == nullptr) return 1;
  oid sys_name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  Stats b = measure(iterations, [&] {
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(pdu, sys_name, OID_LENGTH(sys_name));
    netsnmp_pdu *response = nullptr;
    int status = snmp_synch_response(session, pdu, &response);
    bool ok = status == STAT_SUCCESS && response != nullptr && response->errstat == 0;
    if (response != nullptr) snmp_free_pdu(response);
    return ok;
  });
  snmp_close(session);

  // (c) and (d) through the gateway.
  auto opened = client.request("127.0.0.1", 8088, "openSnmpSession#" + peer, 5s);
  if (!opened) return 1;
  std::string get = "getSnmpData#" + *opened + "#1.3.6.1.2.1.1.5.0";
  Stats c = measure(iterations, [&] {
    auto r = client.request("127.0.0.1", 8088, get, 5s);
    return r.has_value() && *r == "kestara-test-agent";
  });
  Stats d = measure(iterations, [&] {
    auto r = client.request("127.0.0.1", 8088, "hello", 5s);
    return r.has_value() && *r == "hello";
  });
  stop = true;
  echo.join();

  std::printf("gateway benchmark, %d iterations each, loopback, snmpd %s\n", iterations,
              peer.c_str());
  report("(a) raw UDP echo round trip", a);
  report("(b) direct net-snmp get of sysName.0", b);
  report("(c) getSnmpData of sysName.0 through tavrin", c);
  report("(d) echoed word through tavrin", d);
  std::printf("ratio c/(a+b) median %.3f  p99 %.3f   (target <= 1.15)\n",
              c.median_us / (a.median_us + b.median_us), c.p99_us / (a.p99_us + b.p99_us));
  std::printf("ratio d/a     median %.3f  p99 %.3f   (target <= 1.3)\n", d.median_us / a.median_us,
              d.p99_us / a.p99_us);
  return 0;
}
