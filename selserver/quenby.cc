// quenby.cc - the selection name server of a remote console: UDP port 8008.
//
//   quenby              answers "getHostName" with the name of the node selected on this
//                       console's map, and any other first field with that field
//   quenby SY_<file>    answers every datagram with the first line of <file>
//
// One reply per datagram, sent from port 8008 to the request's source address and port; no
// reply after a failed receive, or while the reply file can't be opened.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "request.h"
#include "unique_fd.h"

namespace {

constexpr uint16_t kQuenbyPort = 8008;

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "quenby";
  // Exactly one argument that begins with "SY": answer from the file named from its fourth
  // character on ("SY_" and the name). Anything else, and "SY" with no name after it, is the
  // map mode.
  bool localFile = false;
  std::string fileName;
  if (argc == 2 && std::strncmp(argv[1], "SY", 2) == 0) {
    if (std::strlen(argv[1]) > 3) {
      localFile = true;
      fileName = argv[1] + 3;
      std::printf("Will use localfile %s\n", fileName.c_str());
    } else {
      std::printf("%s: no file name after SY_, answering from the map\n", program);
    }
  }

  UniqueFd server(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (server.get() < 0) {
    std::printf("%s: can't open datagram socket\n", program);
    return 0;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(kQuenbyPort);
  if (bind(server.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    std::printf("%s: can't bind to local address\n", program);
    return 0;
  }
  std::printf("%s: Listening on UDP port %d\n", program, kQuenbyPort);

  std::array<char, kQuenbyReceiveSize> buffer{};
  NameBuffer name;
  for (;;) {
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    // MSG_TRUNC gives the datagram's real length: one over 256 bytes is a failed receive, so
    // that a request is never answered from a part of it. A datagram of exactly 256 bytes is
    // handled whole: its text is measured, never terminated inside the buffer.
    ssize_t received = recvfrom(server.get(), buffer.data(), buffer.size(), MSG_TRUNC,
                                reinterpret_cast<sockaddr *>(&sender), &senderLength);
    if (received < 0 || static_cast<size_t>(received) > buffer.size()) {
      std::printf("recvfrom error\n");
      continue;
    }

    if (localFile) {
      if (!readFirstLine(fileName, name)) {
        std::printf("Can't open file SY_%s\n", fileName.c_str());
        continue;
      }
    } else {
      std::string_view request(buffer.data(), static_cast<size_t>(received));
      std::string_view shown = request.substr(0, request.find('\0'));
      std::printf("\tReceived %d bytes: %.*s\n", static_cast<int>(received),
                  static_cast<int>(shown.size()), shown.data());
      answerFromMap(request, name);
    }

    // The reply ends at the text's first NUL; it is never longer than 128 bytes.
    std::string_view reply = replyText(name);
    std::memcpy(buffer.data(), reply.data(), reply.size());
    std::memset(buffer.data() + reply.size(), 0, buffer.size() - reply.size());
    std::printf("  Returning %.*s to Tavrin on port %d\n", static_cast<int>(reply.size()),
                reply.data(), ntohs(sender.sin_port));
    ssize_t sent = sendto(server.get(), buffer.data(), reply.size(), 0,
                          reinterpret_cast<sockaddr *>(&sender), senderLength);
    if (sent != static_cast<ssize_t>(reply.size())) std::printf("server: sendto error\n");
  }
}
