// ovs.cc - process management on systemd's notify protocol and stop signals.
//
// The "PMD socket" is a signalfd for SIGTERM and SIGINT: it becomes readable when the service
// manager (or a user) asks the program to stop. Reports go to $NOTIFY_SOCKET as one datagram
// of KEY=value lines, written here without libsystemd.
#include "OVs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "descriptor.h"

namespace {

// Status texts are cut to this many bytes: one datagram, one line.
constexpr size_t kMaxStatusLength = 1024;

struct State {
  int signal_fd = -1;  // kept open for the life of the process once OVsInit succeeded
  std::string server_name;
};

State &state() {
  static State s;
  return s;
}

// The status text on one line: newlines would start new assignments of the protocol.
std::string statusLine(const char *text) {
  std::string line(text == nullptr ? "" : text);
  if (line.size() > kMaxStatusLength) line.resize(kMaxStatusLength);
  for (char &c : line) {
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  }
  return line;
}

// Sends one notify datagram. True when sent, or when no service manager listens
// ($NOTIFY_SOCKET unset or empty).
bool notify(std::string_view message) {
  const char *path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') return true;
  std::string_view name(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof address.sun_path) return false;
  if (name.front() != '/' && name.front() != '@') return false;
  std::memcpy(address.sun_path, name.data(), name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name.front() == '@') {
    address.sun_path[0] = '\0';  // abstract namespace: no terminator counted
  } else {
    length += 1;
  }
  const kestara::platform::Descriptor fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return false;
  ssize_t sent;
  do {
    sent = sendto(fd.get(), message.data(), message.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr *>(&address), length);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(message.size());
}

}  // namespace

extern "C" {

int OVsInit(int *pmd_socket) {
  if (pmd_socket == nullptr) return -1;
  State &s = state();
  if (s.signal_fd < 0) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigset_t previous;
    if (sigprocmask(SIG_BLOCK, &mask, &previous) != 0) return -1;
    int fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      return -1;
    }
    s.signal_fd = fd;
  }
  *pmd_socket = s.signal_fd;
  return 0;
}

int OVsInitComplete(int code, const char *text) {
  if (state().signal_fd < 0) return -1;
  std::string message;
  if (code == OVS_RSP_SUCCESS) {
    message = "READY=1\nSTATUS=" + statusLine(text) + "\n";
  } else if (code == OVS_RSP_FAILURE) {
    message = "STATUS=" + statusLine(text) + "\nERRNO=1\n";
  } else {
    return -1;
  }
  return notify(message) ? 0 : -1;
}

int OVsReceive(OVsPMDCommand *command) {
  const int fd = state().signal_fd;
  if (fd < 0) return -1;
  signalfd_siginfo info{};
  ssize_t got;
  do {
    got = read(fd, &info, sizeof info);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof info)) return -1;
  if (command != nullptr) {
    command->code = static_cast<int32_t>(info.ssi_signo);
    command->reserved = 0;
  }
  return 0;
}

int OVsDone(const char *text) {
  return notify("STOPPING=1\nSTATUS=" + statusLine(text) + "\n") ? 0 : -1;
}

const char *OVServerName(void) {
  State &s = state();
  const char *env = std::getenv("OV_SERVER_NAME");
  if (env != nullptr && *env != '\0') {
    s.server_name = env;
  } else {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    s.server_name = name;
  }
  return s.server_name.c_str();
}

}  // extern "C"
