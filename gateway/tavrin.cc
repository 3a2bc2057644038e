// tavrin.cc - the applet gateway: UDP port 8088, one text reply per request datagram.
//
// One thread and one loop: it waits in poll() on the gateway's socket, the process manager's
// descriptor, the consoles' exchange sockets and the SNMP library's sockets together, until the
// nearest time-out, and every request that waits for an agent or a console is in flight at once.
// With nothing in flight it waits in the gateway socket's receive instead, which a stop ends.
#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "OVs.h"
#include "OVsnmp.h"
#include "agent_policy.h"
#include "gateway.h"
#include "log_text.h"
#include "program_info.h"
#include "udp_server.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: tavrin [-ds] [-di]\n"
    "The applet gateway: answers the applet's requests on UDP port 8088 of the station.\n"
    "  -ds        trace each request and reply\n"
    "  -di        trace the interface address lookup (getIpAddress)\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "Environment: OVW_DATABASE (the object database), OV_SERVER_NAME (the station's name),\n"
    "TAVRIN_AGENT_NETWORKS (networks whose agents may be opened besides the database's SNMP\n"
    "nodes, or \"any\"), TAVRIN_SESSIONS_PER_ADDRESS (16), TAVRIN_SESSIONS_MAX (256),\n"
    "TAVRIN_SESSION_IDLE_SECONDS (600), TAVRIN_REQUESTS_PER_ADDRESS (8), TAVRIN_REQUESTS_MAX\n"
    "(256), SNMPCONFPATH (net-snmp's client configuration), NOTIFY_SOCKET (systemd).\n";

// Datagrams read per wake-up (in one system call), so that the other descriptors are looked at
// between batches.
constexpr size_t kBatch = 32;

// How soon the loop asks the SNMP library for its sockets again after it failed to say.
constexpr int kPollInfoRetryMs = 100;

void readOptions(int argc, char **argv, Gateway::Options &options) {
  for (int i = 0; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-' || arg[1] != 'd') continue;
    if (arg[2] == 'i') options.traceInterface = true;
    if (arg[2] == 's') options.traceServer = true;
  }
}

// The poll() time-out for the nearer of the SNMP library's (-1: none) and `due`.
int waitMs(int snmpMs, std::optional<Gateway::Clock::time_point> due) {
  int ms = snmpMs;
  if (due) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*due - Gateway::Clock::now()).count();
    const int dueMs = static_cast<int>(std::clamp<long long>(left, 0, 60 * 1000));
    ms = ms < 0 ? dueMs : std::min(ms, dueMs);
  }
  return ms;
}

// Appends the SNMP library's sockets to `fds`; returns how many and their time-out.
size_t addSnmpSockets(std::vector<pollfd> &fds, int &timeoutMs) {
  const size_t at = fds.size();
  // The usual few sessions are asked for into room on the stack; more, again into the vector.
  std::array<pollfd, 16> some;
  int n = OVsnmpGetPollInfo(some.data(), some.size(), &timeoutMs);
  if (n > 0 && static_cast<size_t>(n) <= some.size()) {
    fds.insert(fds.end(), some.begin(), some.begin() + n);
  } else if (n > 0) {
    fds.resize(at + static_cast<size_t>(n));
    n = OVsnmpGetPollInfo(fds.data() + at, static_cast<size_t>(n), &timeoutMs);
  }
  if (n < 0) {
    // The library could not say what to watch: ask it again soon, rather than wait without a
    // time-out while requests may be in flight on sockets that are not watched.
    timeoutMs = kPollInfoRetryMs;
    n = 0;
  } else if (n == 0) {
    timeoutMs = -1;
  }
  fds.resize(at + static_cast<size_t>(n));
  return static_cast<size_t>(n);
}

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (answerInfoOption(std::span<char *const>(argv, static_cast<size_t>(argc)), "tavrin", kUsage)) {
    return 0;
  }
  Gateway::Options options;
  readOptions(argc, argv, options);

  int pmdSocket = -1;
  if (OVsInit(&pmdSocket) < 0) {
    std::printf("PMD Init failed !!! \n");
    return 1;
  }
  UdpServer server;
  std::string reason;
  switch (server.open(kGatewayPort, reason)) {
    case UdpServer::Open::kNoSocket:
      (void)OVsInitComplete(OVS_RSP_FAILURE, ("Can't open datagram socket: " + reason).c_str());
      std::printf("Can't open datagram socket\n");
      std::fprintf(stderr, "tavrin: %s\n", reason.c_str());
      return 1;
    case UdpServer::Open::kNoBind:
      (void)OVsInitComplete(OVS_RSP_FAILURE, ("Can't bind to local address: " + reason).c_str());
      std::printf("Can't bind to local address\n");
      std::fprintf(stderr, "tavrin: %s\n", reason.c_str());
      return 1;
    case UdpServer::Open::kOpen:
      break;
  }

  std::string badNetworks;
  AgentPolicy policy = AgentPolicy::fromEnvironment(badNetworks);
  if (!badNetworks.empty()) {
    std::printf("TAVRIN_AGENT_NETWORKS: ignoring %s\n", LogText(badNetworks).c_str());
  }
  options.sessions = SessionLimits::fromEnvironment();
  options.requests = RequestLimits::fromEnvironment();
  Gateway gateway(
      options, [&policy](std::string_view name) { return policy.check(name); },
      [&server](const UdpPeer &to, std::string_view text) {
        server.queue(std::span<const char>(text.data(), text.size()), to);
      });
  // The replies of a pass go out together, before the loop waits again.
  const auto sendReplies = [&server] {
    for (size_t failed = server.flush(); failed > 0; --failed)
      std::printf("server: sendto error\n");
  };

  // A stop shuts the socket's reading side down, which ends the idle wait in its receive.
  if (OVsStopWakes(server.fd()) < 0) {
    std::printf("PMD Init failed !!! \n");
    return 1;
  }
  if (OVsInitComplete(OVS_RSP_SUCCESS, "Listening for data on Tavrin") < 0) {
    std::printf("OVsInitComplete failed\n");
    return 1;
  }
  std::printf("Will wait on select for port %d activity or PMD close\n", kGatewayPort);

  std::vector<UdpServer::Datagram> batch(kBatch);
  const auto handleBatch = [&](size_t got) {
    for (size_t i = 0; i < got; ++i) {
      const UdpServer::Datagram &d = batch[i];
      if (d.outcome == UdpServer::Receive::kFailed) {
        std::printf("recvfrom error\n");
        continue;
      }
      if (d.outcome == UdpServer::Receive::kRequest) {
        gateway.handle(std::string_view(d.bytes.data(), d.length), d.from);
      }
    }
  };
  std::vector<pollfd> fds;
  // After a wait in the receive that ended without a datagram (a time-out, a signal, a stop),
  // the next wait is a poll(), which sees the stop and serves the time-outs.
  bool pollNext = true;
  for (;;) {
    sendReplies();
    fds.clear();
    // Only a descriptor the process manager gave is watched (an entry of -1 is skipped).
    fds.push_back(pollfd{pmdSocket > 0 ? pmdSocket : -1, POLLIN, 0});
    fds.push_back(pollfd{server.fd(), POLLIN, 0});
    std::optional<Gateway::Clock::time_point> due;
    gateway.pollInfo(fds, due);
    const size_t snmpAt = fds.size();
    int snmpMs = -1;
    const size_t snmpCount = addSnmpSockets(fds, snmpMs);

    // Nothing in flight (so no exchange to watch), no SNMP socket, and no session due now:
    // wait and receive in one system call.
    const bool idle = !pollNext && gateway.inFlight() == 0 && snmpCount == 0 && snmpMs < 0;
    const int idleMs = idle ? waitMs(-1, due) : 0;
    if (idleMs != 0) {
      const size_t got =
          server.waitBatch(batch, std::chrono::milliseconds(idleMs < 0 ? 60'000 : idleMs));
      // A stop that came with the datagrams goes before them, as in poll()'s pass.
      pollNext = got == 0 || OVsStopPending() != 0;
      if (!pollNext) {
        gateway.service({}, Gateway::Clock::now());
        handleBatch(got);
      }
      continue;
    }
    pollNext = false;

    const int ready = poll(fds.data(), fds.size(), waitMs(snmpMs, due));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      std::printf("Socket Select Error!\n");
      return 1;
    }
    // A stop request ends the gateway at once, before any datagram that waits with it and
    // whatever is in flight.
    if (fds[0].revents != 0) {
      OVsPMDCommand command{};
      (void)OVsReceive(&command);
      (void)OVsStopWakes(-1);
      server.close();
      (void)OVsDone("Closing sockets and exiting.....");
      return 0;
    }
    if (snmpCount > 0) OVsnmpReadPoll(fds.data() + snmpAt, snmpCount);
    OVsnmpDoRetry();
    gateway.service(std::span<const pollfd>(fds).subspan(2, snmpAt - 2), Gateway::Clock::now());
    if (fds[1].revents == 0) continue;
    handleBatch(server.receiveBatch(batch));
  }
}
