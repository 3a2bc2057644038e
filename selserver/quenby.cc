// quenby.cc - the selection name server of a remote console: UDP port 8008.
//
//   quenby              answers "getHostName" with the name of the node selected on this
//                       console's map, and any other first field with that field
//   quenby SY_<file>    answers every datagram with the first line of <file>
//
// One reply per datagram, sent from port 8008 to the request's source address and port; no
// reply after a failed receive, or while the reply file can't be opened, and none to a
// datagram that the server must not answer (see udp_server.h).
#include <arpa/inet.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "log_text.h"
#include "program_info.h"
#include "protocol.h"
#include "request.h"
#include "udp_server.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: quenby [SY_<file>]\n"
    "The selection name server of a console: answers the gateway's \"getHostName\" on UDP\n"
    "port 8008 with the name of the node selected on this console's map, or, with SY_<file>,\n"
    "every request with the first line of <file>.\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "Environment: OVW_DATABASE (the object database with this console's map session).\n";

// Waits until the server's socket has something to read.
bool waitForDatagram(int fd) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, -1);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (answerInfoOption(std::span<char *const>(argv, static_cast<size_t>(argc)), "quenby", kUsage)) {
    return 0;
  }

  const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "quenby";
  // Exactly one argument that begins with "SY": answer from the file named from its fourth
  // character on ("SY_" and the name). Anything else is the map mode, and so is "SY" alone,
  // which names no file at all.
  bool localFile = false;
  std::string fileName;
  if (argc == 2 && std::strncmp(argv[1], "SY", 2) == 0) {
    if (std::strlen(argv[1]) >= 3) {
      localFile = true;
      fileName = argv[1] + 3;
      std::printf("Will use localfile %s\n", LogText(fileName).c_str());
      if (fileName.empty()) {
        std::printf("%s: no file name after SY_: no request will be answered\n", program);
      }
    } else {
      std::printf("%s: no file name after SY, answering from the map\n", program);
    }
  }

  UdpServer server;
  std::string reason;
  switch (server.open(kQuenbyPort, reason)) {
    case UdpServer::Open::kNoSocket:
      std::printf("%s: can't open datagram socket\n", program);
      std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
      return 1;
    case UdpServer::Open::kNoBind:
      std::printf("%s: can't bind to local address\n", program);
      std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
      return 1;
    case UdpServer::Open::kOpen:
      break;
  }
  std::printf("%s: Listening on UDP port %d\n", program, kQuenbyPort);

  std::array<char, kRequestSize> buffer{};
  NameBuffer name;
  for (;;) {
    if (!waitForDatagram(server.fd())) {
      std::printf("recvfrom error\n");
      continue;
    }
    UdpPeer sender;
    size_t received = 0;
    // A datagram over 256 bytes is a failed receive, so that a request is never answered from
    // a part of it. One of exactly 256 bytes is handled whole: its text is measured, never
    // terminated inside the buffer.
    switch (server.receive(buffer, received, sender)) {
      case UdpServer::Receive::kNothing:
      case UdpServer::Receive::kDropped:
        continue;
      case UdpServer::Receive::kFailed:
        std::printf("recvfrom error\n");
        continue;
      case UdpServer::Receive::kRequest:
        break;
    }

    if (localFile) {
      if (!readFirstLine(fileName, name)) {
        std::printf("Can't open file SY_%s\n", LogText(fileName).c_str());
        continue;
      }
    } else {
      std::string_view request(buffer.data(), received);
      std::printf("\tReceived %d bytes: %s\n", static_cast<int>(received),
                  LogText(request.substr(0, request.find('\0'))).c_str());
      answerFromMap(request, name);
    }

    // The reply ends at the text's first NUL; it is never longer than 128 bytes.
    std::string_view reply = replyText(name);
    std::memcpy(buffer.data(), reply.data(), reply.size());
    std::memset(buffer.data() + reply.size(), 0, buffer.size() - reply.size());
    std::printf("  Returning %s to Tavrin on port %d\n",
                LogText(reply, LogText::LineEnd::kKeep).c_str(), ntohs(sender.remote.sin_port));
    if (!server.send(std::span<const char>(buffer.data(), reply.size()), sender)) {
      std::printf("server: sendto error\n");
    }
  }
}
