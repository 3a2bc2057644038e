// host_name.cc - "getHostName": answered from the station's map for applets on the station, and
// by the selection name server (Quenby) of the applet's host for all others.
#include "host_name.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "OVs.h"
#include "handles.h"
#include "log_text.h"
#include "selection.h"
#include "text.h"

ServerHost isFromServerHost(const sockaddr_in &sender) {
  const char *serverName = OVServerName();
  if (serverName == nullptr || *serverName == '\0') return ServerHost::kUnresolved;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(serverName, nullptr, &hints, &found) != 0 || found == nullptr) {
    if (found != nullptr) freeaddrinfo(found);
    std::printf("isFromServerHost: cannot resolve %s\n", serverName);
    return ServerHost::kUnresolved;
  }
  AddrInfoPtr addresses(found);
  for (const addrinfo *a = addresses.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in address{};
    std::memcpy(&address, a->ai_addr, sizeof address);
    if (address.sin_addr.s_addr == sender.sin_addr.s_addr) return ServerHost::kYes;
  }
  return ServerHost::kNo;
}

HostNameStep startHostName(std::span<char, kReplySize> reply, size_t length,
                           const sockaddr_in &sender, bool trace, UniqueFd &exchange) {
  switch (isFromServerHost(sender)) {
    case ServerHost::kYes:
      std::fill(reply.begin(), reply.end(), '\0');
      getSelectionName(reply);
      return HostNameStep::kDone;
    case ServerHost::kUnresolved:
      copyText(reply, kServerNameUnresolved);
      return HostNameStep::kDone;
    case ServerHost::kNo:
      break;
  }
  std::printf("Contacting Quenby for SelectionName\n");
  length = std::min(length, reply.size());
  exchange.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (exchange.get() < 0) {
    std::printf("Can't open datagram socket for HostName sending\n");
    return HostNameStep::kDone;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (bind(exchange.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    std::printf("Can't bind to local address for Quenby\n");
    exchange.reset();
    return HostNameStep::kDone;
  }
  sockaddr_in quenby{};
  quenby.sin_family = AF_INET;
  quenby.sin_addr = sender.sin_addr;
  quenby.sin_port = htons(kQuenbyPort);
  // Connected to the server asked: the kernel then delivers only its datagrams to this socket,
  // so nobody else can put an answer into the applet's reply.
  if (connect(exchange.get(), reinterpret_cast<sockaddr *>(&quenby), sizeof quenby) != 0) {
    std::printf("Quenby: sendto error\n");
    exchange.reset();
    return HostNameStep::kDone;
  }
  if (trace) {
    std::printf("sendToQuenby: sending %d bytes: %s\n", static_cast<int>(length),
                LogText(std::string_view(reply.data(), strnlen(reply.data(), length))).c_str());
  }
  ssize_t sent = send(exchange.get(), reply.data(), length, 0);
  if (sent != static_cast<ssize_t>(length)) {
    std::printf("Quenby: sendto error\n");
    exchange.reset();
    return HostNameStep::kDone;
  }
  return HostNameStep::kWaiting;
}

HostNameStep readHostNameAnswer(std::span<char, kReplySize> reply, bool trace,
                                const UniqueFd &exchange) {
  // At most 128 bytes are taken; the reply keeps the first 127 of them and its terminator.
  std::array<char, kReplySize> answer{};
  ssize_t received = recv(exchange.get(), answer.data(), answer.size(), MSG_DONTWAIT);
  // A connected socket also reports the console's "port unreachable"; that is no answer, and
  // the wait goes on as it would for a console that does not answer at all.
  if (received < 0 && (errno == ECONNREFUSED || errno == EINTR || errno == EAGAIN)) {
    return HostNameStep::kWaiting;
  }
  if (received < 0) return HostNameStep::kDone;
  copyText(reply, std::string_view(answer.data(), static_cast<size_t>(received)));
  if (trace) {
    std::printf("Received %s from Quenby\n",
                LogText(reply.data(), LogText::LineEnd::kKeep).c_str());
  }
  return HostNameStep::kDone;
}

void hostNameTimedOut(std::span<char, kReplySize> reply) {
  std::printf("  sendToQuenby timed out - no response\n");
  copyText(reply, kQuenbyNotResponding);
}
