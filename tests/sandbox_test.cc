// sandbox_test.cc - the daemons against the sandbox of their systemd units (deploy/*.service).
//
// Under systemd, a system call outside the unit's SystemCallFilter= fails with EPERM, a socket
// of a family outside RestrictAddressFamilies= can't be made, and ProtectSystem=strict leaves
// nothing writable but the state folder. None of that can be seen where the tests run (no
// systemd), so each daemon runs its usual work under strace, and what it did is held against
// what its unit allows, as systemd-analyze resolves the unit's system call sets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "notify_socket.h"
#include "process.h"
#include "snmp_agent.h"
#include "test_database.h"
#include "users.h"

namespace {

using namespace std::chrono_literals;
using Names = std::set<std::string>;

bool executable(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

// The sets of `systemd-analyze syscall-filter`: "@name" and its members, which may be sets.
std::map<std::string, std::vector<std::string>> syscallSets() {
  std::map<std::string, std::vector<std::string>> sets;
  kt::RunResult r = kt::run({"/usr/bin/systemd-analyze", "syscall-filter"});
  std::istringstream in(r.out);
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    if (line.starts_with("@")) {
      current = line.substr(0, line.find(' '));
      continue;
    }
    size_t start = line.find_first_not_of(' ');
    if (current.empty() || start == std::string::npos || line[start] == '#') continue;
    sets[current].push_back(line.substr(start, line.find(' ', start) - start));
  }
  return sets;
}

void expand(const std::map<std::string, std::vector<std::string>> &sets, const std::string &name,
            Names &out) {
  if (!name.starts_with("@")) {
    out.insert(name);
    return;
  }
  auto it = sets.find(name);
  if (it == sets.end()) return;
  for (const std::string &member : it->second) expand(sets, member, out);
}

// What a unit file of deploy/ allows.
struct Unit {
  Names syscalls;
  Names families;
};

Unit readUnit(const std::string &name) {
  std::ifstream file(kt::srcPath("deploy/" + name + ".service"));
  std::map<std::string, std::vector<std::string>> sets = syscallSets();
  Unit unit;
  Names denied;
  std::string line;
  while (std::getline(file, line)) {
    auto words = [&](const std::string &key) {
      std::vector<std::string> out;
      std::istringstream in(line.substr(key.size()));
      for (std::string w; in >> w;) out.push_back(w);
      return out;
    };
    if (line.starts_with("SystemCallFilter=~")) {
      for (const std::string &w : words("SystemCallFilter=~")) expand(sets, w, denied);
    } else if (line.starts_with("SystemCallFilter=")) {
      for (const std::string &w : words("SystemCallFilter=")) expand(sets, w, unit.syscalls);
    } else if (line.starts_with("RestrictAddressFamilies=")) {
      for (const std::string &w : words("RestrictAddressFamilies=")) unit.families.insert(w);
    }
  }
  for (const std::string &d : denied) unit.syscalls.erase(d);
  return unit;
}

// What a traced program did: the system calls it made, the socket families it asked for,
// and the paths it created, wrote, renamed or removed with success.
struct Trace {
  Names syscalls;
  Names families;
  Names written;
};

// The word of [a-z0-9_] characters at `at` in `line`.
std::string wordAt(const std::string &line, size_t at) {
  size_t end = at;
  while (end < line.size() &&
         (std::islower(static_cast<unsigned char>(line[end])) ||
          std::isdigit(static_cast<unsigned char>(line[end])) || line[end] == '_')) {
    ++end;
  }
  return line.substr(at, end - at);
}

// Reads strace -f lines: "PID name(args) = result", "PID name(args <unfinished ...>" and
// "PID <... name resumed>...) = result".
Trace readTrace(const std::string &path) {
  static const Names changing = {
      "mkdir",    "mkdirat",   "mknod",    "mknodat",  "unlink",  "unlinkat",  "rmdir", "rename",
      "renameat", "renameat2", "link",     "linkat",   "symlink", "symlinkat", "chmod", "fchmodat",
      "chown",    "lchown",    "fchownat", "truncate", "creat",   "open",      "openat"};
  Trace t;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find_first_not_of("0123456789");
    if (at == 0 || at == std::string::npos) continue;
    at = line.find_first_not_of(' ', at);
    if (at == std::string::npos) continue;
    bool resumed = line.compare(at, 5, "<... ") == 0;
    std::string name = wordAt(line, resumed ? at + 5 : at);
    if (name.empty()) continue;  // signals and exits
    t.syscalls.insert(name);
    if (resumed) continue;
    size_t family = line.find("socket(AF_");
    if (family != std::string::npos) {
      size_t begin = family + 7;
      size_t end = line.find_first_of(",)", begin);
      t.families.insert(line.substr(begin, end - begin));
    }
    size_t result = line.rfind(") = ");
    if (changing.count(name) == 0 || result == std::string::npos ||
        line.compare(result + 4, 2, "-1") == 0) {
      continue;
    }
    size_t open = line.find('"', at);
    size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos) continue;
    std::string rest = line.substr(close, result - close);
    if ((name == "open" || name == "openat") && rest.find("O_WRONLY") == std::string::npos &&
        rest.find("O_RDWR") == std::string::npos && rest.find("O_CREAT") == std::string::npos) {
      continue;
    }
    t.written.insert(line.substr(open + 1, close - open - 1));
  }
  return t;
}

// A program run under strace as the user the units name (here kt::kMember, in the group of
// the state folder); stopped with SIGTERM (to the program itself) at the end.
class Traced {
 public:
  // `folder` holds the program, where the user can reach it.
  Traced(const std::string &folder, const std::string &program, const kt::Env &env,
         const kt::TempDir &dir, const std::vector<std::string> &args = {})
      : trace_(dir.file(program + ".strace")) {
    std::vector<std::string> argv = {"/usr/bin/strace",     "-f", "-qq", "-o", trace_, "--",
                                     folder + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ =
        std::make_unique<kt::Process>(kt::Process::start(kt::asUser(kt::kMember, argv), env));
  }
  kt::Process &process() { return *process_; }

  // The traced program's exit status after SIGTERM.
  std::optional<int> stop() {
    pid_t pid = 0;
    std::ifstream(trace_) >> pid;  // the first line is the program's execve
    if (pid > 0 && pid != process_->pid()) kill(pid, SIGTERM);
    return process_->wait(kt::scaled(10s));
  }
  Trace trace() const { return readTrace(trace_); }

 private:
  std::string trace_;
  std::unique_ptr<kt::Process> process_;
};

std::string joined(const Names &names) {
  std::string out;
  for (const std::string &n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

// What the program did and its unit does not allow.
void expectAllowed(const std::string &program, const Trace &t, const Unit &unit,
                   const std::string &stateFolder) {
  SCOPED_TRACE(program);
  ASSERT_FALSE(t.syscalls.empty()) << "no trace";
  Names refused;
  for (const std::string &s : t.syscalls) {
    if (unit.syscalls.count(s) == 0) refused.insert(s);
  }
  EXPECT_TRUE(refused.empty()) << "system calls outside SystemCallFilter=: " << joined(refused);
  Names families;
  for (const std::string &f : t.families) {
    if (unit.families.count(f) == 0) families.insert(f);
  }
  EXPECT_TRUE(families.empty()) << "families outside RestrictAddressFamilies=: "
                                << joined(families);
  Names outside;
  for (const std::string &p : t.written) {
    // A descriptor of the process's own reopened through /proc names a file it has open (mapview
    // wakes its own session thread so, through the FIFO in the state folder).
    if (!p.starts_with(stateFolder + "/") && p != "/dev/null" && !p.starts_with("/proc/self/fd/")) {
      outside.insert(p);
    }
  }
  EXPECT_TRUE(outside.empty()) << "written outside the state folder: " << joined(outside);
}

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef KESTARA_SANITIZED
    GTEST_SKIP() << "the sanitizers' runtime makes system calls of its own";
#endif
    if (!executable("/usr/bin/strace") || !executable("/usr/bin/systemd-analyze") ||
        !kt::canSwitchUsers()) {
      GTEST_SKIP() << "needs strace, systemd-analyze and root (to run the daemons as a user)";
    }
    programs_ = kt::copyForOthers(programsDir_, {"ferrow", "tavrin", "quenby", "mapview"});
  }

  kt::TempDir programsDir_;
  std::string programs_;  // copies of the programs that the unit's user can reach
};

// tavrin, quenby and ferrow doing the station's work: the sweep and a node event, applet
// requests, getHostName from the map through both servers.
TEST_F(Sandbox, DaemonsStayWithinTheirUnits) {
  std::unique_ptr<kt::SnmpAgent> device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 1, 0);
  kt::TestDatabase db;
  uint16_t eventPort = kt::freeUdpPort();
  db.setEventAddress("udp:127.0.0.1:" + std::to_string(eventPort));
  ASSERT_EQ(0, db.ovw({"start", "session"}).status);
  ASSERT_EQ(0, db.ovw({"open", "map"}).status);
  OVwObjectId node = db.addNode(device->peer(), device->peer());
  ASSERT_NE(0u, node);
  // As the package prepares /var/lib/kestara for the user kestara.
  const std::string stateFolder = db.path().substr(0, db.path().rfind('/'));
  kt::shareWithGroup(stateFolder, kt::kSharedGroup);
  kt::openToAll(conf.path());

  kt::TempDir run;  // the traces and the service manager's socket
  ASSERT_EQ(0, chown(run.path().c_str(), kt::kMember.uid, kt::kMember.gid));
  kt::NotifySocket notify(run.file("notify"));
  ASSERT_TRUE(notify.ok());
  ASSERT_EQ(0, chmod(notify.path().c_str(), 0666));
  kt::Env env = kt::clientEnv(conf);
  for (const auto &entry : db.env()) env.push_back(entry);
  // net-snmp's persistent folder is the configuration's, outside the state folder, as under
  // the units (/var/lib/snmp): writing there would fail.
  env.push_back({"OV_SERVER_NAME", "127.0.0.1"});
  kt::Env pmd = env;
  pmd.push_back({"NOTIFY_SOCKET", notify.path()});

  Traced ferrow(programs_, "ferrow", pmd, run);
  ASSERT_TRUE(kt::eventually([&] { return db.flag(node) == true; }, kt::scaled(20s)))
      << ferrow.process().output();
  Traced tavrin(programs_, "tavrin", pmd, run);
  Traced quenby(programs_, "quenby", env, run);
  ASSERT_TRUE(tavrin.process().waitForOutput("port 8088", kt::scaled(10s)));
  ASSERT_TRUE(quenby.process().waitForOutput("port 8008", kt::scaled(10s)));

  ASSERT_EQ(0, db.ovw({"select", std::to_string(node)}).status);
  kt::UdpClient applet("127.0.0.1");
  EXPECT_EQ(device->peer(), applet.request("127.0.0.1", 8088, "getHostName", kt::scaled(10s)));
  EXPECT_EQ(device->peer(), applet.request("127.0.0.1", 8008, "getHostName", kt::scaled(10s)));
  std::optional<std::string> session =
      applet.request("127.0.0.1", 8088, "openSnmpSession#" + device->peer(), kt::scaled(10s));
  ASSERT_TRUE(session);
  applet.request("127.0.0.1", 8088, "getSnmpData#" + *session + "#1.3.6.1.2.1.1.5.0",
                 kt::scaled(10s));
  applet.request("127.0.0.1", 8088, "getIpAddress#" + *session + "#1.3.6.1.2.1.2.2.1.6.1",
                 kt::scaled(10s));
  applet.request("127.0.0.1", 8088, "closeSession#" + *session, kt::scaled(10s));
  // A node event: the device is probed again.
  ASSERT_TRUE(db.setFlag(node, false));
  ASSERT_EQ(0, db.ovw({"send", "event", std::to_string(node), "added"}).status);
  EXPECT_TRUE(kt::eventually([&] { return db.flag(node) == true; }, kt::scaled(10s)));

  EXPECT_EQ(0, ferrow.stop());
  EXPECT_EQ(0, tavrin.stop());
  quenby.stop();  // SIGTERM ends it: a clean stop for a simple service
  expectAllowed("ferrow", ferrow.trace(), readUnit("ferrow"), stateFolder);
  expectAllowed("tavrin", tavrin.trace(), readUnit("tavrin"), stateFolder);
  expectAllowed("quenby", quenby.trace(), readUnit("quenby"), stateFolder);
}

// mapview serving the map, its event stream, a selection and an applet request, then stopped.
TEST_F(Sandbox, MapViewStaysWithinItsUnit) {
  kt::TestDatabase db;
  ASSERT_EQ(0, db.ovw({"start", "session"}).status);
  ASSERT_EQ(0, db.ovw({"open", "map"}).status);
  OVwObjectId node = db.addNode("node.test", "node");
  ASSERT_NE(0u, node);
  const std::string stateFolder = db.path().substr(0, db.path().rfind('/'));
  kt::shareWithGroup(stateFolder, kt::kSharedGroup);
  kt::TempDir run;
  ASSERT_EQ(0, chown(run.path().c_str(), kt::kMember.uid, kt::kMember.gid));
  kt::NotifySocket notify(run.file("notify"));
  ASSERT_TRUE(notify.ok());
  ASSERT_EQ(0, chmod(notify.path().c_str(), 0666));
  kt::Env env = db.env();
  env.push_back({"NOTIFY_SOCKET", notify.path()});

  Traced mapview(programs_, "mapview", env, run,
                 {"--listen", "127.0.0.1:8080", "--applet-timeout-ms", "200"});
  ASSERT_TRUE(mapview.process().waitForOutput("map on http://", kt::scaled(10s)))
      << mapview.process().output();
  // Plain HTTP/1.0 requests over a socket of the test's own.
  const auto ask = [](const std::string &request) {
    std::string answer;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8080);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<size_t>(n));
        if (request.find("/events") != std::string::npos) break;
      }
    }
    close(fd);
    return answer;
  };
  const std::string host = "Host: 127.0.0.1:8080\r\n";
  const std::string post = "Origin: http://127.0.0.1:8080\r\nContent-Type: application/json\r\n";
  EXPECT_TRUE(ask("GET /api/map HTTP/1.0\r\n" + host + "\r\n").starts_with("HTTP/1.1 200"));
  EXPECT_TRUE(ask("GET /submap/1.svg HTTP/1.0\r\n" + host + "\r\n").starts_with("HTTP/1.1 200"));
  EXPECT_TRUE(ask("GET /events HTTP/1.0\r\n" + host + "\r\n").starts_with("HTTP/1.1 200"));
  const std::string select = "{\"objects\":[" + std::to_string(node) + "]}";
  EXPECT_TRUE(ask("POST /api/select HTTP/1.0\r\n" + host + post +
                  "Content-Length: " + std::to_string(select.size()) + "\r\n\r\n" + select)
                  .starts_with("HTTP/1.1 200"));
  const std::string call = "{\"command\":\"getHostName\"}";
  EXPECT_TRUE(ask("POST /api/applet HTTP/1.0\r\n" + host + post +
                  "Content-Length: " + std::to_string(call.size()) + "\r\n\r\n" + call)
                  .starts_with("HTTP/1.1 502"));
  EXPECT_EQ(0, db.ovw({"add", "node", "--no-trap", "other.test"}).status);

  EXPECT_EQ(0, mapview.stop());
  expectAllowed("mapview", mapview.trace(), readUnit("mapview"), stateFolder);
}

}  // namespace
