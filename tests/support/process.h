// process.h - test support: child processes, temporary folders, network isolation, UDP.
#ifndef KESTARA_TESTS_SUPPORT_PROCESS_H
#define KESTARA_TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kt {

using namespace std::chrono_literals;
using Env = std::vector<std::pair<std::string, std::string>>;

// Moves the calling process into a network namespace of its own with lo up, so that fixed
// ports (8088, 8008) and loopback traffic of one test never meet another's. Called once per
// test process by the support library's main. Returns false (and changes nothing) where the
// machine does not allow it; tests then share the host's loopback.
bool isolateNetwork();
bool networkIsolated();

// A time-out stretched by $KT_TIMEOUT_SCALE (default 1): slow builds (sanitizers) and busy
// machines set it so that waiting for something that will happen does not fail early. Every
// wait of this library is scaled.
std::chrono::milliseconds scaled(std::chrono::milliseconds timeout);

// $KESTARA_BIN/<program> (build/bin), and $KESTARA_SRC/<relative> (the source tree).
std::string binPath(std::string_view program);
std::string srcPath(std::string_view relative);

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  // The same on a memory file system when the machine has one (/dev/shm): for a database that a
  // test writes hundreds of times, each commit synced.
  struct InMemory {};
  explicit TempDir(InMemory);
  // The same inside the folder `parent` (a file system the test prepared).
  struct Under {
    std::string parent;
  };
  explicit TempDir(const Under &under);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Writes `content` to path()/name and returns the full path.
  std::string write(std::string_view name, std::string_view content) const;

 private:
  std::string path_;
};

std::string readFile(const std::string &path);

// A child process whose standard output and standard error go to files. The destructor
// stops it (SIGTERM, then SIGKILL after 2 s) and reaps it: only this PID is ever signalled.
class Process {
 public:
  // Starts argv[0] (a path) with the current environment plus `env` (overriding), in
  // `workdir` when given. Standard input is /dev/null.
  static Process start(std::vector<std::string> argv, const Env &env = {},
                       const std::string &workdir = "");
  Process(Process &&other) noexcept;
  Process &operator=(Process &&other) noexcept;
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  ~Process();

  pid_t pid() const { return pid_; }
  bool running();
  // Everything the process has written so far.
  std::string output() const;
  std::string errors() const;
  // Waits until standard output contains `text` (counting from the start, or from byte
  // `from`), the process ends, or the time-out passes. True when the text was seen.
  bool waitForOutput(std::string_view text, std::chrono::milliseconds timeout = 10s,
                     size_t from = 0);
  bool waitForErrors(std::string_view text, std::chrono::milliseconds timeout = 10s);
  void signal(int sig);
  // Waits for the end; returns the exit status (0..255), or 128 + signal number, or nothing
  // when it is still running after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout = 10s);
  // SIGTERM, then SIGKILL; returns the status as wait() does.
  int stop();

 private:
  Process() = default;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string out_path_;
  std::string err_path_;
  std::string dir_;
};

struct RunResult {
  int status = -1;  // as Process::wait, -1 when it had to be killed at the time-out
  std::string out;
  std::string err;
};

// Runs a command to its end (killed after `timeout`).
RunResult run(std::vector<std::string> argv, const Env &env = {},
              std::chrono::milliseconds timeout = 30s);

// A UDP (TCP) port on `address` that nothing is bound to at the moment of the call.
uint16_t freeUdpPort(const char *address = "127.0.0.1");
uint16_t freeTcpPort(const char *address = "127.0.0.1");

// Sends one UDP datagram whose IPv4 source address and port are whatever the caller says,
// through a raw socket (which needs CAP_NET_RAW: the tests' own network namespace gives it).
// Both addresses must be local to this network namespace. True when it was sent.
bool sendForgedUdp(const std::string &source, uint16_t sourcePort, const std::string &destination,
                   uint16_t destinationPort, std::string_view payload);

// Adds `address` (IPv4, a /32) to the loopback interface of the test's network namespace, so
// that traffic from a source outside 127.0.0.0/8 can be tested on this host alone. True when
// the address is there.
bool addLoopbackAddress(const std::string &address);

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = 5s);

// A UDP socket for talking to the programs.
class UdpClient {
 public:
  explicit UdpClient(const char *local_address = "0.0.0.0", uint16_t local_port = 0);
  ~UdpClient();
  UdpClient(const UdpClient &) = delete;
  UdpClient &operator=(const UdpClient &) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint16_t localPort() const;
  // "ADDRESS:PORT" of the socket: an agent that never answers, as a session's peer.
  std::string peer() const;
  bool send(const std::string &host, uint16_t port, std::string_view payload);
  // One datagram (its exact bytes), or nothing after `timeout`.
  std::optional<std::string> receive(std::chrono::milliseconds timeout);
  // send + receive.
  std::optional<std::string> request(const std::string &host, uint16_t port,
                                     std::string_view payload,
                                     std::chrono::milliseconds timeout = 5s);

 private:
  int fd_ = -1;
};

// `count` datagrams of random bytes, 0 to 256 bytes long, the same ones for the same seed: what a
// hostile sender may send to a server.
std::vector<std::string> randomDatagrams(uint32_t seed, int count);

// Sends each request from `client` to `port` on 127.0.0.1, and expects exactly one reply to each,
// of at most 128 bytes and not ending in a NUL byte, within `timeout`.
void expectOneBoundedReplyEach(UdpClient &client, uint16_t port,
                               const std::vector<std::string> &requests,
                               std::chrono::milliseconds timeout = 3s);

}  // namespace kt

#include "process_inl.h"

#endif  // KESTARA_TESTS_SUPPORT_PROCESS_H
