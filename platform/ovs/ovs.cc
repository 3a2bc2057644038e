// ovs.cc - process management on systemd's notify protocol and stop signals.
//
// The "PMD socket" is the reading end of a pipe that the handler of SIGTERM and SIGINT writes
// the signal's number to: it becomes readable when the service manager (or a user) asks the
// program to stop. A handler, not a signalfd with the signals blocked, so that a stop can also
// end a receive that blocks on a socket of the program's (OVsStopWakes). Reports go to
// $NOTIFY_SOCKET as one datagram of KEY=value lines, written here without libsystemd.
#include "OVs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
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
  int stop_fd = -1;  // the pipe's reading end, kept open for the life of the process once
                     // OVsInit succeeded (its writing end is g_wake_fd)
  std::string server_name;
};

// What the signal handler reads: set before the handler is installed, or atomically.
int g_wake_fd = -1;                  // the pipe's writing end, kept open as its reading end
std::atomic<int> g_stop_socket{-1};  // the socket a stop shuts down (OVsStopWakes)
std::atomic<int> g_pending{0};       // stops asked for and not yet taken by OVsReceive
static_assert(std::atomic<int>::is_always_lock_free);

// Async-signal-safe: write(2) and shutdown(2) only, errno kept. A full pipe already holds
// stops, so a failed write loses nothing; it is not counted, so that the count stays the
// number of stops the pipe holds.
extern "C" void onStopSignal(int signo) {
  const int saved = errno;
  g_pending.fetch_add(1);
  const unsigned char code = static_cast<unsigned char>(signo);
  if (write(g_wake_fd, &code, 1) != 1) g_pending.fetch_sub(1);
  if (const int socket = g_stop_socket.load(); socket >= 0) (void)shutdown(socket, SHUT_RD);
  errno = saved;
}

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
  if (s.stop_fd < 0) {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    kestara::platform::Descriptor reading(ends[0]);
    kestara::platform::Descriptor writing(ends[1]);
    g_wake_fd = writing.get();
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_mask = stops;
    // Other system calls go on after the handler as if nothing happened; poll() ends with
    // EINTR, and a receive on the socket of OVsStopWakes by the shutdown.
    action.sa_flags = SA_RESTART;
    struct sigaction before[2];
    if (sigaction(SIGTERM, &action, &before[0]) != 0) return -1;
    if (sigaction(SIGINT, &action, &before[1]) != 0 ||
        sigprocmask(SIG_UNBLOCK, &stops, nullptr) != 0) {
      (void)sigaction(SIGTERM, &before[0], nullptr);
      (void)sigaction(SIGINT, &before[1], nullptr);
      return -1;
    }
    s.stop_fd = reading.release();
    g_wake_fd = writing.release();
  }
  *pmd_socket = s.stop_fd;
  return 0;
}

int OVsStopWakes(int socket) {
  if (state().stop_fd < 0 || socket < -1) return -1;
  g_stop_socket.store(socket);
  // A stop that came before: the socket is shut down now, as the handler would have.
  if (socket >= 0 && g_pending.load() > 0) (void)shutdown(socket, SHUT_RD);
  return 0;
}

int OVsStopPending(void) { return state().stop_fd >= 0 && g_pending.load() > 0 ? 1 : 0; }

int OVsInitComplete(int code, const char *text) {
  if (state().stop_fd < 0) return -1;
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
  const int fd = state().stop_fd;
  if (fd < 0) return -1;
  unsigned char code = 0;
  ssize_t got;
  do {
    got = read(fd, &code, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1) return -1;
  g_pending.fetch_sub(1);
  if (command != nullptr) {
    command->code = code;
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
