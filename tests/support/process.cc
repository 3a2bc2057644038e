// process.cc - test support: child processes, temporary folders, network isolation, UDP.
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "held.h"

extern char **environ;

namespace kt {

namespace {

bool g_isolated = false;

std::string envOr(const char *name, const char *fallback) {
  const char *v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : fallback;
}

std::optional<int> decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

}  // namespace

std::chrono::milliseconds scaled(std::chrono::milliseconds timeout) {
  static const double factor = [] {
    const char *v = std::getenv("KT_TIMEOUT_SCALE");
    double f = v != nullptr ? std::atof(v) : 1.0;
    return f >= 1.0 && f <= 100.0 ? f : 1.0;
  }();
  return std::chrono::milliseconds(
      static_cast<long>(static_cast<double>(timeout.count()) * factor));
}

bool isolateNetwork() {
  if (g_isolated) return true;
  if (std::getenv("KT_NO_NETNS") != nullptr) return false;
  if (unshare(CLONE_NEWNET) != 0) return false;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  struct ifreq ifr {};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (up) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    up = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  close(fd);
  g_isolated = up;
  return up;
}

bool networkIsolated() { return g_isolated; }

std::string binPath(std::string_view program) {
  return envOr("KESTARA_BIN", KESTARA_DEFAULT_BIN) + "/" + std::string(program);
}

std::string srcPath(std::string_view relative) {
  return envOr("KESTARA_SRC", KESTARA_DEFAULT_SRC) + "/" + std::string(relative);
}

TempDir::TempDir() {
  std::string base = envOr("TMPDIR", "/tmp") + "/kestara-test-XXXXXX";
  std::vector<char> buf(base.begin(), base.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) std::abort();
  path_ = buf.data();
}

TempDir::TempDir(InMemory) {
  for (const std::string &base : {std::string("/dev/shm"), envOr("TMPDIR", "/tmp")}) {
    std::string pattern = base + "/kestara-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      return;
    }
  }
  std::abort();
}

TempDir::TempDir(const Under &under) {
  std::string pattern = under.parent + "/kestara-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
  std::string p = file(name);
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
  return p;
}

std::string readFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

Process Process::start(std::vector<std::string> argv, const Env &env, const std::string &workdir) {
  Process p;
  char tmpl[] = "/tmp/kestara-proc-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) std::abort();
  p.dir_ = tmpl;
  p.out_path_ = p.dir_ + "/stdout";
  p.err_path_ = p.dir_ + "/stderr";

  // Build everything the child needs before fork: the child only calls async-signal-safe
  // functions.
  std::vector<std::string> env_strings;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string_view kv(*e);
    std::string_view key = kv.substr(0, kv.find('='));
    bool overridden = false;
    for (const auto &[k, v] : env) overridden = overridden || k == key;
    if (!overridden) env_strings.emplace_back(kv);
  }
  // A later entry for the same name overrides an earlier one.
  for (size_t i = 0; i < env.size(); ++i) {
    bool later = false;
    for (size_t j = i + 1; j < env.size(); ++j) later = later || env[j].first == env[i].first;
    if (!later) env_strings.push_back(env[i].first + "=" + env[i].second);
  }
  std::vector<char *> envp;
  for (auto &s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char *> args;
  for (auto &s : argv) args.push_back(s.data());
  args.push_back(nullptr);

  int out = open(p.out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = open(p.err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
    // A child of a test must not outlive it.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in);
  close(out);
  close(err);
  p.pid_ = pid;
  return p;
}

Process::Process(Process &&o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      status_(o.status_),
      out_path_(std::move(o.out_path_)),
      err_path_(std::move(o.err_path_)),
      dir_(std::exchange(o.dir_, std::string())) {}

Process &Process::operator=(Process &&o) noexcept {
  if (this != &o) {
    if (pid_ > 0) stop();
    pid_ = std::exchange(o.pid_, -1);
    status_ = o.status_;
    out_path_ = std::move(o.out_path_);
    err_path_ = std::move(o.err_path_);
    dir_ = std::exchange(o.dir_, std::string());
  }
  return *this;
}

Process::~Process() {
  if (pid_ > 0) stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool Process::running() {
  if (pid_ <= 0 || status_) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = decodeStatus(st);
    return false;
  }
  return r == 0;
}

std::string Process::output() const { return readFile(out_path_); }
std::string Process::errors() const { return readFile(err_path_); }

bool Process::waitForOutput(std::string_view text, std::chrono::milliseconds timeout, size_t from) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string out = output();
    if (out.size() >= from && out.find(text, from) != std::string::npos) return true;
    if (!running()) {
      out = output();
      return out.size() >= from && out.find(text, from) != std::string::npos;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Process::waitForErrors(std::string_view text, std::chrono::milliseconds timeout) {
  return eventually([&] { return errors().find(text) != std::string::npos; }, timeout);
}

void Process::signal(int sig) {
  if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  for (;;) {
    if (!running() && status_) return status_;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int Process::stop() {
  if (pid_ <= 0) return -1;
  if (status_) return *status_;
  signal(SIGTERM);
  if (auto st = wait(2s)) return *st;
  signal(SIGKILL);
  if (auto st = wait(5s)) return *st;
  return -1;
}

RunResult run(std::vector<std::string> argv, const Env &env, std::chrono::milliseconds timeout) {
  Process p = Process::start(std::move(argv), env);
  RunResult r;
  auto st = p.wait(timeout);
  if (!st) {
    p.signal(SIGKILL);
    p.wait(5s);
  }
  r.status = st ? *st : -1;
  r.out = p.output();
  r.err = p.errors();
  return r;
}

bool sendForgedUdp(const std::string &source, uint16_t sourcePort, const std::string &destination,
                   uint16_t destinationPort, std::string_view payload) {
  struct Header {
    iphdr ip;
    udphdr udp;
  } __attribute__((packed));
  if (payload.size() > 1400) return false;
  std::string packet(sizeof(Header) + payload.size(), '\0');
  Header h{};
  h.ip.version = 4;
  h.ip.ihl = 5;
  h.ip.ttl = 64;
  h.ip.protocol = IPPROTO_UDP;
  h.ip.tot_len = htons(static_cast<uint16_t>(packet.size()));
  if (inet_pton(AF_INET, source.c_str(), &h.ip.saddr) != 1 ||
      inet_pton(AF_INET, destination.c_str(), &h.ip.daddr) != 1) {
    return false;
  }
  h.udp.source = htons(sourcePort);
  h.udp.dest = htons(destinationPort);
  h.udp.len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
  h.udp.check = 0;  // no checksum: allowed for UDP over IPv4
  std::memcpy(packet.data(), &h, sizeof h);
  std::memcpy(packet.data() + sizeof h, payload.data(), payload.size());
  // IPPROTO_RAW: the header is the caller's; the kernel fills in its checksum.
  int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = h.ip.daddr;
  ssize_t sent =
      sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
  return sent == static_cast<ssize_t>(packet.size());
}

bool addLoopbackAddress(const std::string &address) {
  for (const char *ip : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(ip, X_OK) != 0) continue;
    RunResult r = run({ip, "addr", "add", address + "/32", "dev", "lo"});
    return r.status == 0 || r.err.find("File exists") != std::string::npos;
  }
  return false;
}

namespace {

uint16_t freePort(const char *address, int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sa.sin_addr);
  sa.sin_port = 0;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace

uint16_t freeUdpPort(const char *address) { return freePort(address, SOCK_DGRAM); }
uint16_t freeTcpPort(const char *address) { return freePort(address, SOCK_STREAM); }

UdpClient::UdpClient(const char *local_address, uint16_t local_port) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, local_address, &sa.sin_addr);
  sa.sin_port = htons(local_port);
  if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

UdpClient::~UdpClient() {
  if (fd_ >= 0) close(fd_);
}

uint16_t UdpClient::localPort() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

std::string UdpClient::peer() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return "";
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sa.sin_addr, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(sa.sin_port));
}

bool UdpClient::send(const std::string &host, uint16_t port, std::string_view payload) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return false;
  ssize_t n =
      sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  return n == static_cast<ssize_t>(payload.size());
}

std::optional<std::string> UdpClient::receive(std::chrono::milliseconds timeout) {
  pollfd pfd{fd_, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    int r = poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }
}

std::optional<std::string> UdpClient::request(const std::string &host, uint16_t port,
                                              std::string_view payload,
                                              std::chrono::milliseconds timeout) {
  if (!send(host, port, payload)) return std::nullopt;
  return receive(timeout);
}

std::vector<std::string> randomDatagrams(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::vector<std::string> datagrams;
  for (int i = 0; i < count; ++i) {
    std::string bytes(rng() % 257, '\0');
    for (char &c : bytes) c = static_cast<char>(rng() & 0xff);
    datagrams.push_back(std::move(bytes));
  }
  return datagrams;
}

void expectOneBoundedReplyEach(UdpClient &client, uint16_t port,
                               const std::vector<std::string> &requests,
                               std::chrono::milliseconds timeout) {
  for (const std::string &r : requests) {
    auto reply = client.request("127.0.0.1", port, r, timeout);
    ASSERT_TRUE(reply) << "no reply to a request of " << r.size() << " bytes";
    EXPECT_LE(reply->size(), 128u);
    if (!reply->empty()) {
      EXPECT_NE('\0', reply->back());
    }
    // No stray datagram follows the one reply.
    EXPECT_FALSE(client.receive(0ms));
  }
}

bool hold(Process &process) {
  if (!process.running()) return false;
  process.signal(SIGSTOP);
  // The third field of /proc/PID/stat is the state: 'T' once the stop has taken effect.
  const std::string stat = "/proc/" + std::to_string(process.pid()) + "/stat";
  return eventually([&] {
    const std::string text = readFile(stat);
    const size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'T';
  });
}

}  // namespace kt
