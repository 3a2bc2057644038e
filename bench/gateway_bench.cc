// gateway_bench.cc - the gateway against its baselines, each measured in the same run:
//   1. One request at a time: "getSnmpData" through tavrin over the same request through a bare
//      relay (gateway_relay: receive, one synchronous net-snmp get, reply; a process of its
//      own), in alternating rounds: the median latency and the CPU time per request of each
//      server (from /proc/PID/schedstat).
//   2. Isolation: the p99 of "getSnmpData" to a live agent while 50 requests to a silent agent
//      and 10 "getHostName" to consoles without a selection name server are in flight, over
//      the same p99 without them (measured before and after).
//   3. Throughput: 32 clients (each from an address of its own) doing "getSnmpData" against 4
//      snmpd agents through tavrin, over a direct asynchronous net-snmp client that keeps 32
//      requests in flight against the same agents.
// Prints each figure and each ratio with its target.
//
//   gateway_bench [rounds]      (default 10 rounds of 1000 requests in part 1)
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "measure.h"
#include "process.h"
#include "snmp_agent.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::cpuNs;
using bench::percentile;

constexpr uint16_t kGatewayPort = 8088;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";
constexpr const char *kSysNameValue = "kestara-test-agent";

// A process's CPU time in user space and in the kernel, in clock ticks (/proc/PID/stat).
struct UserSystem {
  long user = 0;
  long system = 0;
};
UserSystem userSystem(pid_t pid) {
  std::FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return {};
  char line[1024] = "";
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  // The fields after the command name (which may hold blanks) start past its ')'.
  const char *after = read ? std::strrchr(line, ')') : nullptr;
  UserSystem t;
  if (after == nullptr ||
      std::sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &t.user,
                  &t.system) != 2) {
    return {};
  }
  return t;
}

// Keeps `pid` (0: this process) on CPU `cpu`, or lets it run anywhere (-1).
void pin(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cpus = static_cast<int>(std::thread::hardware_concurrency());
  for (int c = 0; c < cpus; ++c) {
    if (cpu < 0 || c == cpu) CPU_SET(c, &set);
  }
  (void)sched_setaffinity(pid, sizeof set, &set);
}

// `n` requests one after the other from `client` to `port`; the latencies in microseconds.
bool roundOf(kt::UdpClient &client, uint16_t port, const std::string &request,
             const std::string &expected, int n, std::vector<double> &latencies) {
  for (int i = 0; i < n; ++i) {
    auto start = Clock::now();
    auto reply = client.request("127.0.0.1", port, request, 5s);
    if (!reply || *reply != expected) {
      std::fprintf(stderr, "unexpected reply: %s\n", reply ? reply->c_str() : "(none)");
      return false;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return true;
}

std::string openSession(kt::UdpClient &client, const std::string &agent) {
  auto reply = client.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + agent, 5s);
  if (!reply || reply->empty() || reply->find("failed") == 0) {
    std::fprintf(stderr, "no session to %s\n", agent.c_str());
    std::exit(1);
  }
  return *reply;
}

std::string localAddress(int net, int host) {
  return "127.0." + std::to_string(net) + "." + std::to_string(host);
}

// 3. The direct client: net-snmp's own asynchronous requests, 8 in flight per agent.
struct Direct {
  int64_t completed = 0;
  bool stop = false;
};

int directDone(int operation, netsnmp_session *session, int, netsnmp_pdu *, void *magic) {
  auto *direct = static_cast<Direct *>(magic);
  if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) ++direct->completed;
  if (direct->stop) return 1;
  static oid name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(pdu, name, OID_LENGTH(name));
  if (snmp_async_send(session, pdu, directDone, magic) == 0) snmp_free_pdu(pdu);
  return 1;
}

double directThroughput(const std::vector<std::string> &agents, std::chrono::seconds length) {
  Direct direct;
  std::vector<netsnmp_session *> sessions;
  for (const std::string &agent : agents) {
    netsnmp_session settings;
    snmp_sess_init(&settings);
    std::string peer = agent;
    settings.peername = peer.data();
    settings.version = SNMP_VERSION_2c;
    settings.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
    settings.community_len = 6;
    settings.timeout = 2000000;
    netsnmp_session *s = snmp_open(&settings);
    if (s == nullptr) std::exit(1);
    sessions.push_back(s);
    for (int i = 0; i < 8; ++i) directDone(0, s, 0, nullptr, &direct);
  }
  direct.completed = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < length) {
    int fds = 0, block = 0;
    fd_set read;
    FD_ZERO(&read);
    timeval timeout{0, 100000};
    snmp_select_info(&fds, &read, &timeout, &block);
    if (select(fds, &read, nullptr, nullptr, &timeout) > 0) {
      snmp_read(&read);
    } else {
      snmp_timeout();
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double rate = static_cast<double>(direct.completed) / seconds;
  direct.stop = true;
  for (netsnmp_session *s : sessions) snmp_close(s);
  return rate;
}

// 3. Through the gateway: each client sends its next request as soon as its reply is in.
double gatewayThroughput(std::vector<std::unique_ptr<kt::UdpClient>> &clients,
                         const std::vector<std::string> &requests, std::chrono::seconds length) {
  std::vector<pollfd> fds;
  for (auto &c : clients) fds.push_back(pollfd{c->fd(), POLLIN, 0});
  for (size_t i = 0; i < clients.size(); ++i)
    clients[i]->send("127.0.0.1", kGatewayPort, requests[i]);
  int64_t completed = 0;
  const auto start = Clock::now();
  char buffer[256];
  while (Clock::now() - start < length) {
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        ++completed;
        clients[i]->send("127.0.0.1", kGatewayPort, requests[i]);
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Let the last replies drain before the clients go.
  std::this_thread::sleep_for(200ms);
  for (auto &c : clients) {
    while (c->receive(0ms)) {
    }
  }
  return static_cast<double>(completed) / seconds;
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = std::max(2, argc > 1 ? std::atoi(argv[1]) : 10);
  const int perRound = 1000;
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace; port 8088 must be free\n");
  }
  std::vector<std::unique_ptr<kt::SnmpAgent>> agents;
  for (int i = 0; i < 4; ++i) {
    agents.push_back(kt::SnmpAgent::start());
    if (!agents.back()) return 1;
  }
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 3.0, 0);
  auto env = kt::clientEnv(conf);
  for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  env.push_back(kt::kAnyAgent);
  env.emplace_back("OV_SERVER_NAME", "127.0.0.1");
  auto tavrin = kt::Process::start({kt::binPath("tavrin")}, env);
  const uint16_t relayPort = kt::freeUdpPort();
  auto relay = kt::Process::start(
      {kt::binPath("gateway_relay"), std::to_string(relayPort), agents[0]->peer()}, env);
  if (!tavrin.waitForOutput("Will wait on select", 10s) || !relay.waitForOutput("ready", 10s)) {
    std::fprintf(stderr, "tavrin or the relay did not start\n");
    return 1;
  }

  // 1. One request at a time, in alternating rounds. The server under test has a CPU of its
  // own and the client and the agent the other, so that both servers are woken and run alike
  // (where the scheduler places them otherwise decides more than the servers do).
  const bool pinned =
      std::getenv("BENCH_NO_PIN") == nullptr && std::thread::hardware_concurrency() >= 2;
  if (pinned) {
    pin(0, 0);
    pin(agents[0]->process().pid(), 0);
    pin(tavrin.pid(), 1);
    pin(relay.pid(), 1);
  }
  kt::UdpClient client("127.0.0.1");
  const std::string session = openSession(client, agents[0]->peer());
  const std::string get = "getSnmpData#" + session + "#" + kSysName;
  std::vector<double> relayLatency, gatewayLatency;
  int64_t relayCpu = 0, gatewayCpu = 0;
  // A warm-up round of each first.
  if (!roundOf(client, relayPort, get, kSysNameValue, perRound / 10, relayLatency) ||
      !roundOf(client, kGatewayPort, get, kSysNameValue, perRound / 10, gatewayLatency)) {
    return 1;
  }
  relayLatency.clear();
  gatewayLatency.clear();
  const UserSystem relayStart = userSystem(relay.pid());
  const UserSystem gatewayStart = userSystem(tavrin.pid());
  for (int r = 0; r < rounds; ++r) {
    int64_t before = cpuNs(relay.pid());
    if (!roundOf(client, relayPort, get, kSysNameValue, perRound, relayLatency)) return 1;
    relayCpu += cpuNs(relay.pid()) - before;
    before = cpuNs(tavrin.pid());
    if (!roundOf(client, kGatewayPort, get, kSysNameValue, perRound, gatewayLatency)) return 1;
    gatewayCpu += cpuNs(tavrin.pid()) - before;
  }
  const UserSystem relayEnd = userSystem(relay.pid());
  const UserSystem gatewayEnd = userSystem(tavrin.pid());
  const double n = static_cast<double>(rounds) * perRound;
  const double relayMedian = percentile(relayLatency, 0.5);
  const double gatewayMedian = percentile(gatewayLatency, 0.5);
  std::printf("1. one request at a time, %d rounds of %d, alternating%s\n", rounds, perRound,
              pinned ? ", server on CPU 1, client and agent on CPU 0" : "");
  std::printf("   relay    median %7.1f us  p99 %7.1f us  cpu %6.1f us/request\n", relayMedian,
              percentile(relayLatency, 0.99), static_cast<double>(relayCpu) / n / 1000);
  std::printf("   tavrin   median %7.1f us  p99 %7.1f us  cpu %6.1f us/request\n", gatewayMedian,
              percentile(gatewayLatency, 0.99), static_cast<double>(gatewayCpu) / n / 1000);
  // Where the CPU time went, from the kernel's coarser tick accounting.
  const double tick = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK)) / n;
  std::printf("   user/kernel (ticks)  relay %.1f/%.1f us  tavrin %.1f/%.1f us per request\n",
              static_cast<double>(relayEnd.user - relayStart.user) * tick,
              static_cast<double>(relayEnd.system - relayStart.system) * tick,
              static_cast<double>(gatewayEnd.user - gatewayStart.user) * tick,
              static_cast<double>(gatewayEnd.system - gatewayStart.system) * tick);
  std::printf("   ratio    latency %.3f  cpu %.3f   (target <= 1.05 each)\n",
              gatewayMedian / relayMedian,
              static_cast<double>(gatewayCpu) / static_cast<double>(relayCpu));
  relay.stop();
  if (pinned) {
    for (pid_t pid : {0, agents[0]->process().pid(), tavrin.pid()}) pin(pid, -1);
  }

  // 2. Isolation: the live client's p99 alone, before and after, and in between with slow
  // requests in flight (so that a drift in the machine's load falls on both alike).
  std::vector<double> alone, loaded;
  if (!roundOf(client, kGatewayPort, get, kSysNameValue, 1000, alone)) return 1;
  kt::UdpClient silentAgent("127.0.0.1");  // bound, never answers
  const std::string silentPeer = "127.0.0.1:" + std::to_string(silentAgent.localPort());
  std::vector<std::unique_ptr<kt::UdpClient>> askers, consoles;
  std::vector<std::string> silentSessions;
  for (int a = 1; a <= 10; ++a) {
    if (!kt::addLoopbackAddress(localAddress(1, a)) ||
        !kt::addLoopbackAddress(localAddress(2, a))) {
      std::fprintf(stderr, "loopback addresses can't be added here\n");
      return 1;
    }
    auto asker = std::make_unique<kt::UdpClient>(localAddress(1, a).c_str());
    auto reply = asker->request("127.0.0.1", kGatewayPort, "openSnmpSession#" + silentPeer, 5s);
    if (!reply) return 1;
    for (int i = 0; i < 5; ++i)
      asker->send("127.0.0.1", kGatewayPort, "getSnmpData#" + *reply + "#" + kSysName);
    silentSessions.push_back(*reply);
    askers.push_back(std::move(asker));
    auto console = std::make_unique<kt::UdpClient>(localAddress(2, a).c_str());
    console->send("127.0.0.1", kGatewayPort, "getHostName");
    consoles.push_back(std::move(console));
  }
  std::this_thread::sleep_for(50ms);
  const auto loadStart = Clock::now();
  if (!roundOf(client, kGatewayPort, get, kSysNameValue, 2000, loaded)) return 1;
  const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
  // The slow requests end: the silent agent's by closing their sessions, the consoles' at
  // their time-out. Then the client alone again.
  for (size_t a = 0; a < askers.size(); ++a) {
    (void)askers[a]->request("127.0.0.1", kGatewayPort, "closeSession#" + silentSessions[a], 5s);
  }
  for (auto &console : consoles) (void)console->receive(15s);
  askers.clear();
  consoles.clear();
  if (!roundOf(client, kGatewayPort, get, kSysNameValue, 1000, alone)) return 1;
  const double aloneP99 = percentile(alone, 0.99), loadedP99 = percentile(loaded, 0.99);
  std::printf("2. isolation: 50 requests to a silent agent and 10 to silent consoles in flight\n");
  std::printf(
      "   alone    p99 %7.1f us   with them p99 %7.1f us (%.2f s, all within the "
      "3 s time-out)\n",
      aloneP99, loadedP99, loadSeconds);
  std::printf("   ratio    %.3f   (target <= 2)\n", loadedP99 / aloneP99);

  // 3. Throughput, in one-second blocks that take turns, so that a change in the machine's
  // load falls on both alike.
  std::vector<std::string> peers;
  for (auto &agent : agents) peers.push_back(agent->peer());
  std::vector<std::unique_ptr<kt::UdpClient>> clients;
  std::vector<std::string> requests;
  for (int i = 0; i < 32; ++i) {
    if (!kt::addLoopbackAddress(localAddress(3, i + 1))) return 1;
    clients.push_back(std::make_unique<kt::UdpClient>(localAddress(3, i + 1).c_str()));
    requests.push_back("getSnmpData#" +
                       openSession(*clients.back(), peers[static_cast<size_t>(i) % 4]) + "#" +
                       kSysName);
  }
  double direct = 0, through = 0;
  for (int r = 0; r < rounds; ++r) {
    direct += directThroughput(peers, 1s) / rounds;
    through += gatewayThroughput(clients, requests, 1s) / rounds;
  }
  std::printf("3. throughput, 4 agents, 32 requests in flight, %d rounds of 1 s each\n", rounds);
  std::printf("   direct asynchronous net-snmp client %8.0f requests/s\n", direct);
  std::printf("   32 clients through tavrin           %8.0f requests/s\n", through);
  std::printf("   ratio    %.3f   (target >= 0.80)\n", through / direct);
  return 0;
}
