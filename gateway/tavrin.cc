// tavrin.cc - the applet gateway: UDP port 8088, one text reply per request datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "OVs.h"
#include "gateway.h"
#include "unique_fd.h"

namespace {

void readOptions(int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-' || arg[1] != 'd') continue;
    if (arg[2] == 'i') traceInterface = true;
    if (arg[2] == 's') traceServer = true;
  }
}

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  readOptions(argc, argv);

  int pmdSocket = -1;
  if (OVsInit(&pmdSocket) < 0) {
    std::printf("PMD Init failed !!! \n");
    return 0;
  }
  UniqueFd gateway(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (gateway.get() < 0) {
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Can't open datagram socket");
    std::printf("Can't open datagram socket\n");
    return 0;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(kGatewayPort);
  if (bind(gateway.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Can't bind to local address");
    std::printf("Can't bind to local address\n");
    return 0;
  }
  if (OVsInitComplete(OVS_RSP_SUCCESS, "Listening for data on Tavrin") < 0) {
    std::printf("OVsInitComplete failed\n");
    return 0;
  }
  std::printf("Will wait on select for port %d activity or PMD close\n", kGatewayPort);

  GatewayState state;
  std::array<char, kRequestSize> request{};
  std::array<char, kReplySize> reply{};
  for (;;) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(gateway.get(), &readSet);
    int maxFd = gateway.get();
    if (pmdSocket > 0) {
      FD_SET(pmdSocket, &readSet);
      if (pmdSocket > maxFd) maxFd = pmdSocket;
    }
    int ready = select(maxFd + 1, &readSet, nullptr, nullptr, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      std::printf("Socket Select Error!\n");
      return 0;
    }
    if (ready == 0) continue;
    if (pmdSocket > 0 && FD_ISSET(pmdSocket, &readSet)) {
      OVsPMDCommand command{};
      (void)OVsReceive(&command);
      gateway.reset();
      (void)OVsDone("Closing sockets and exiting.....");
      return 0;
    }
    if (!FD_ISSET(gateway.get(), &readSet)) continue;

    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC gives the datagram's real length: one over 256 bytes is a failed receive.
    ssize_t received = recvfrom(gateway.get(), request.data(), request.size(), MSG_TRUNC,
                                reinterpret_cast<sockaddr *>(&sender), &senderLength);
    if (received < 0 || static_cast<size_t>(received) > request.size()) {
      std::printf("recvfrom error\n");
      continue;
    }
    std::string_view text(request.data(), static_cast<size_t>(received));
    text = text.substr(0, text.find('\0'));
    if (traceServer) {
      std::printf("\tReceived: %.*s\n", static_cast<int>(text.size()), text.data());
    }

    size_t length = handleRequest(state, text, sender, reply);

    std::memcpy(request.data(), reply.data(), length);
    std::memset(request.data() + length, 0, request.size() - length);
    if (traceServer) {
      std::printf("  Returning %s to Applet on port %d\n", reply.data(), ntohs(sender.sin_port));
    }
    ssize_t sent = sendto(gateway.get(), request.data(), length, 0,
                          reinterpret_cast<sockaddr *>(&sender), senderLength);
    if (sent != static_cast<ssize_t>(length)) std::printf("server: sendto error\n");
  }
}
