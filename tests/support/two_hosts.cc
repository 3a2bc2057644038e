// two_hosts.cc - test support: a management station and a remote console as two hosts.
#include "two_hosts.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kt {

namespace {

std::string firstExisting(std::initializer_list<const char *> paths) {
  for (const char *p : paths) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

const std::string &ipPath() {
  static const std::string path = firstExisting({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip"});
  return path;
}

const std::string &nsenterPath() {
  static const std::string path = firstExisting({"/usr/bin/nsenter", "/bin/nsenter"});
  return path;
}

// Runs in the forked holder: only system calls from here on.
bool bringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, "lo", 3);
  bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (up) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    up = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  close(fd);
  return up;
}

void stopHolder(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Forks a process with a network, a UTS and a mount namespace of its own, host name `name` and
// lo up, that sleeps until it is killed or the test process ends. -1 when that can't be done.
// Its mounts start as the machine's and change only by hide(): they propagate neither way.
pid_t startHolder(const std::string &name) {
  if (name.empty() || name.size() > 64) return -1;
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  pid_t parent = getpid();
  const char *hostName = name.c_str();
  size_t hostNameLength = name.size();
  pid_t pid = fork();
  if (pid < 0) {
    close(ready[0]);
    close(ready[1]);
    return -1;
  }
  if (pid == 0) {
    close(ready[0]);
    // Hold no descriptor of the test's (such as a bound socket) for longer than the test does.
    close_range(3, static_cast<unsigned>(ready[1]) - 1, 0);
    close_range(static_cast<unsigned>(ready[1]) + 1, ~0U, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    char ok = unshare(CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS) == 0 &&
              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
              sethostname(hostName, hostNameLength) == 0 && bringLoopbackUp();
    if (write(ready[1], &ok, 1) != 1 || !ok) _exit(1);
    close(ready[1]);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  ssize_t n;
  while ((n = read(ready[0], &ok, 1)) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  if (n != 1 || !ok) {
    stopHolder(pid);
    return -1;
  }
  return pid;
}

// Runs `argv` inside the network namespace of `holder`; true when it ends with status 0.
bool runIn(pid_t holder, std::vector<std::string> argv, const char *space = "--net") {
  std::vector<std::string> full = {nsenterPath(), "--target", std::to_string(holder), space, "--"};
  full.insert(full.end(), argv.begin(), argv.end());
  RunResult r = run(full, {}, 10s);
  if (r.status != 0) {
    std::fprintf(stderr, "two_hosts: %s failed: %s%s\n", argv[0].c_str(), r.out.c_str(),
                 r.err.c_str());
  }
  return r.status == 0;
}

// Switches the calling thread into another network namespace for its lifetime.
class InNetwork {
 public:
  explicit InNetwork(pid_t holder) {
    if (holder <= 0) return;
    self_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    std::string target = "/proc/" + std::to_string(holder) + "/ns/net";
    int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (self_ >= 0 && fd >= 0) entered_ = setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
  }
  ~InNetwork() {
    if (entered_ && setns(self_, CLONE_NEWNET) != 0) std::abort();
    if (self_ >= 0) close(self_);
  }
  InNetwork(const InNetwork &) = delete;
  InNetwork &operator=(const InNetwork &) = delete;

 private:
  int self_ = -1;
  bool entered_ = false;
};

// Hosts can be made when the tools exist and the kernel lets us.
bool toolsPresent() { return !ipPath().empty() && !nsenterPath().empty(); }

}  // namespace

Host::~Host() { stopHolder(holder_); }

std::vector<std::string> Host::command(std::vector<std::string> argv) const {
  if (holder_ <= 0) return argv;
  std::vector<std::string> full = {
      nsenterPath(), "--target", std::to_string(holder_), "--net", "--uts", "--mount", "--"};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

bool Host::hide(const std::string &path) const {
  if (holder_ <= 0) return false;
  static const std::string mountPath = firstExisting({"/usr/bin/mount", "/bin/mount"});
  return !mountPath.empty() &&
         runIn(holder_, {mountPath, "-t", "tmpfs", "-o", "size=1m,mode=0755", "hidden", path},
               "--mount");
}

Process Host::start(std::vector<std::string> argv, const Env &env) const {
  return Process::start(command(std::move(argv)), env);
}

std::unique_ptr<UdpClient> Host::udpClient() const {
  InNetwork inside(holder_);
  return std::make_unique<UdpClient>(address_.c_str());
}

bool TwoHosts::setLink(bool up) const {
  return separate_ &&
         runIn(station_->holder_, {ipPath(), "link", "set", "eth0", up ? "up" : "down"});
}

std::unique_ptr<TwoHosts> TwoHosts::create(const std::string &stationName,
                                           const std::string &consoleName) {
  auto hosts = std::unique_ptr<TwoHosts>(new TwoHosts);
  hosts->station_ = std::unique_ptr<Host>(new Host);
  hosts->console_ = std::unique_ptr<Host>(new Host);
  Host &station = *hosts->station_;
  Host &console = *hosts->console_;

  if (std::getenv("KT_NO_NETNS") == nullptr && toolsPresent()) {
    station.holder_ = startHolder(stationName);
    console.holder_ = startHolder(consoleName);
    std::string s = std::to_string(station.holder_);
    std::string c = std::to_string(console.holder_);
    bool linked =
        station.holder_ > 0 && console.holder_ > 0 &&
        runIn(station.holder_, {ipPath(), "link", "add", "eth0", "type", "veth", "peer", "name",
                                "eth0", "netns", c}) &&
        runIn(station.holder_, {ipPath(), "addr", "add", "198.51.100.1/24", "dev", "eth0"}) &&
        runIn(station.holder_, {ipPath(), "link", "set", "eth0", "up"}) &&
        runIn(console.holder_, {ipPath(), "addr", "add", "198.51.100.2/24", "dev", "eth0"}) &&
        runIn(console.holder_, {ipPath(), "link", "set", "eth0", "up"});
    if (linked) {
      station.host_name_ = stationName;
      station.address_ = "198.51.100.1";
      console.host_name_ = consoleName;
      console.address_ = "198.51.100.2";
      // The link carries traffic once both ends are up; make sure before any test relies on it.
      auto a = station.udpClient();
      auto b = console.udpClient();
      linked = a->ok() && b->ok() &&
               eventually(
                   [&] {
                     return a->send(console.address_, b->localPort(), "x") &&
                            b->receive(50ms).has_value();
                   },
                   3s);
    }
    if (linked) {
      hosts->separate_ = true;
      return hosts;
    }
    std::fprintf(stderr, "note: two hosts can't be made here; both are this machine\n");
    stopHolder(std::exchange(station.holder_, -1));
    stopHolder(std::exchange(console.holder_, -1));
  }

  char name[65] = "";
  gethostname(name, sizeof name - 1);
  station.host_name_ = name;
  station.address_ = "127.0.0.1";
  console.host_name_ = name;
  console.address_ = "127.0.0.2";
  return hosts;
}

}  // namespace kt
