// tavrin.cc - the applet gateway: UDP port 8088, one text reply per request datagram.
#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "OVs.h"
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
    "TAVRIN_SESSION_IDLE_SECONDS (600), SNMPCONFPATH (net-snmp's client configuration),\n"
    "NOTIFY_SOCKET (systemd).\n";

// Datagrams read per wake-up before the process manager's descriptor is looked at again.
constexpr int kBatch = 16;

void readOptions(int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-' || arg[1] != 'd') continue;
    if (arg[2] == 'i') traceInterface = true;
    if (arg[2] == 's') traceServer = true;
  }
}

// How long the loop may sleep: until the next session falls idle, or for ever.
int waitMs(const GatewayState &state) {
  const auto next = state.sessions.nextExpiry();
  if (!next) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*next - SessionTable::Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60 * 1000));
}

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (answerInfoOption(std::span<char *const>(argv, static_cast<size_t>(argc)), "tavrin", kUsage)) {
    return 0;
  }
  readOptions(argc, argv);

  int pmdSocket = -1;
  if (OVsInit(&pmdSocket) < 0) {
    std::printf("PMD Init failed !!! \n");
    return 1;
  }
  UdpServer gateway;
  std::string reason;
  switch (gateway.open(kGatewayPort, reason)) {
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
  GatewayState state(SessionLimits::fromEnvironment());
  state.checkAgent = [&policy](std::string_view name) { return policy.check(name); };

  if (OVsInitComplete(OVS_RSP_SUCCESS, "Listening for data on Tavrin") < 0) {
    std::printf("OVsInitComplete failed\n");
    return 1;
  }
  std::printf("Will wait on select for port %d activity or PMD close\n", kGatewayPort);

  std::array<char, kRequestSize> request{};
  std::array<char, kReplySize> reply{};
  for (;;) {
    std::array<pollfd, 2> waits{pollfd{pmdSocket, POLLIN, 0}, pollfd{gateway.fd(), POLLIN, 0}};
    // Only a descriptor the process manager gave is watched (an entry of -1 is skipped).
    if (pmdSocket <= 0) waits[0].fd = -1;
    const int ready = poll(waits.data(), waits.size(), waitMs(state));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      std::printf("Socket Select Error!\n");
      return 1;
    }
    // A stop request is handled before any datagram that waits with it.
    if (waits[0].revents != 0) {
      OVsPMDCommand command{};
      (void)OVsReceive(&command);
      gateway.close();
      (void)OVsDone("Closing sockets and exiting.....");
      return 0;
    }
    expireSessions(state, SessionTable::Clock::now());
    if (waits[1].revents == 0) continue;

    for (int i = 0; i < kBatch; ++i) {
      UdpPeer sender;
      size_t received = 0;
      const UdpServer::Receive got = gateway.receive(request, received, sender);
      if (got == UdpServer::Receive::kNothing) break;
      if (got == UdpServer::Receive::kDropped) continue;
      if (got == UdpServer::Receive::kFailed) {
        std::printf("recvfrom error\n");
        continue;
      }
      std::string_view text(request.data(), received);
      text = text.substr(0, text.find('\0'));
      if (traceServer) std::printf("\tReceived: %s\n", LogText(text).c_str());

      const size_t length = handleRequest(state, text, sender.remote, reply);

      std::memcpy(request.data(), reply.data(), length);
      std::memset(request.data() + length, 0, request.size() - length);
      if (traceServer) {
        std::printf("  Returning %s to Applet on port %d\n",
                    LogText(reply.data(), LogText::LineEnd::kKeep).c_str(),
                    ntohs(sender.remote.sin_port));
      }
      if (!gateway.send(std::span<const char>(request.data(), length), sender)) {
        std::printf("server: sendto error\n");
      }
    }
  }
}
