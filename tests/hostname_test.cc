// System tests of "getHostName": an applet on a remote console asks the gateway on the station,
// which forwards to the console's selection name server; an applet on the station is answered
// from the station's own map. The station and the console are two hosts (two_hosts.h) that share
// one object database (a file, or a PostgreSQL server), each with a map session of its own
// (<host name>:0).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "OVw.h"
#include "postgres.h"
#include "process.h"
#include "test_database.h"
#include "two_hosts.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kGatewayPort = 8088;

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class HostNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosts_ = kt::TwoHosts::create("station", "console");
    ASSERT_NE(nullptr, hosts_);
    stationSession_ = station().hostName() + ":0";
    consoleSession_ = console().hostName() + ":0";
    setenv("OVW_DATABASE", db_.path().c_str(), 1);
    env_ = db_.env();
    env_.emplace_back("OV_SERVER_NAME", station().address());
  }
  void TearDown() override {
    // Programs end before the hosts they run in.
    tavrin_.reset();
    quenby_.reset();
    OVwDone();
    OVwDbDone();
  }

  const kt::Host &station() const { return hosts_->station(); }
  const kt::Host &console() const { return hosts_->console(); }

  // Runs the tool (from the test's own network: the database is all it needs).
  std::string ovw(const std::vector<std::string> &args) { return db_.ovwOutput(args); }
  void openMap(const std::string &session) {
    ovw({"start", "session", session});
    ovw({"open", "map", "--session", session});
  }
  uint32_t addNode(const std::string &session, const std::string &host, bool flagged) {
    uint32_t id = static_cast<uint32_t>(
        std::stoul(ovw({"add", "node", host, "--no-trap", "--session", session})));
    if (flagged) ovw({"set", "field", std::to_string(id), "isKestaraDevice", "true"});
    return id;
  }
  void select(const std::string &session, std::vector<uint32_t> ids) {
    std::vector<std::string> args = {"select", "--session", session};
    for (uint32_t id : ids) args.push_back(std::to_string(id));
    ovw(args);
  }
  // The console map application's icon: an object with a symbol on `node`'s submap.
  uint32_t addIcon(const std::string &session, uint32_t node) {
    EXPECT_EQ(0, _OVwInitSession(5, "Host Name Test", session.c_str())) << OVwErrorMsg(OVwError());
    OVwMapInfo *map = OVwGetMapInfo();
    EXPECT_NE(nullptr, map);
    uint32_t icon = 0;
    if (map != nullptr) {
      OVwObjectInfo *info = OVwGetObjectInfo(map, node);
      EXPECT_NE(nullptr, info);
      icon = OVwDbCreateObject(nullptr);
      if (info != nullptr && icon != 0) {
        EXPECT_NE(0u, OVwCreateSymbol(map, info->child_submap_id, icon, "Software:Varnis",
                                      "Varnis Console", 1, 3, 0, 2));
      }
      if (info != nullptr) OVwFreeObjectInfo(info);
      OVwFreeMapInfo(map);
    }
    OVwDone();
    return icon;
  }

  void startTavrin(std::vector<std::string> args = {}, kt::Env extra = {}) {
    std::vector<std::string> argv = {kt::binPath("tavrin")};
    argv.insert(argv.end(), args.begin(), args.end());
    kt::Env env = env_;
    for (auto &[k, v] : extra) {
      std::erase_if(env, [&](const auto &kv) { return kv.first == k; });
      env.emplace_back(k, v);
    }
    tavrin_ = std::make_unique<kt::Process>(station().start(argv, env));
    ASSERT_TRUE(tavrin_->waitForOutput("Will wait on select for port 8088", 10s))
        << tavrin_->output() << tavrin_->errors();
  }
  void startQuenby(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {kt::binPath("quenby")};
    argv.insert(argv.end(), args.begin(), args.end());
    quenby_ = std::make_unique<kt::Process>(console().start(argv, env_));
    ASSERT_TRUE(quenby_->waitForOutput(": Listening on UDP port 8008\n", 10s))
        << quenby_->output() << quenby_->errors();
  }

  // An applet on `host` asks the gateway on the station.
  std::optional<std::string> ask(const kt::Host &host, std::string_view request,
                                 std::chrono::milliseconds timeout = 5s) {
    auto applet = host.udpClient();
    if (!applet->ok()) return std::nullopt;
    return applet->request(station().address(), kGatewayPort, request, timeout);
  }

  kt::TestDatabase db_{/*defineField=*/false};
  std::unique_ptr<kt::TwoHosts> hosts_;
  std::string stationSession_;
  std::string consoleSession_;
  kt::Env env_;
  std::unique_ptr<kt::Process> tavrin_;
  std::unique_ptr<kt::Process> quenby_;
};

// The typical request: the console's user has router7 selected; the applet on the console
// receives router7 by way of the gateway and the console's Quenby. The station's own applet is
// answered from the station's map, without Quenby.
TEST_F(HostNameTest, TypicalRequestAcrossTwoHosts) {
  ovw({"-fields"});
  openMap(consoleSession_);
  uint32_t router7 = addNode(consoleSession_, "router7", true);
  uint32_t switch3 = addNode(consoleSession_, "switch3", true);
  select(consoleSession_, {router7});
  if (hosts_->separate()) {
    openMap(stationSession_);
    select(stationSession_, {switch3});
  }
  startQuenby();
  startTavrin();

  EXPECT_EQ("router7", ask(console(), "getHostName"));
  EXPECT_TRUE(tavrin_->waitForOutput("Contacting Quenby for SelectionName\n", 2s));
  EXPECT_TRUE(quenby_->waitForOutput("\tReceived 11 bytes: getHostName\n", 2s));
  EXPECT_TRUE(quenby_->waitForOutput(
      "This application connected to a NEW session " + consoleSession_ + "\n", 2s));
  EXPECT_TRUE(quenby_->waitForOutput("Host router7 selected\n7 bytes in Selection Name:router7\n"));
  EXPECT_TRUE(quenby_->waitForOutput("  Returning router7 to Tavrin on port "));

  // Only the command word is forwarded.
  EXPECT_EQ("router7", ask(console(), "getHostName#more#fields"));
  EXPECT_EQ(2u, count(quenby_->output(), "\tReceived 11 bytes: getHostName\n"));

  // The applet on the station: its own map answers, and Quenby hears nothing.
  size_t quenbyBefore = quenby_->output().size();
  EXPECT_EQ(hosts_->separate() ? "switch3" : "router7", ask(station(), "getHostName"));
  EXPECT_EQ(2u, count(tavrin_->output(), "Contacting Quenby for SelectionName\n"));
  EXPECT_EQ(quenbyBefore, quenby_->output().size());
  EXPECT_TRUE(tavrin_->waitForOutput(
      (hosts_->separate() ? "Host switch3 selected\n" : "Host router7 selected\n"), 2s));
  // The next question from the console is still the console's.
  select(consoleSession_, {switch3});
  EXPECT_EQ("switch3", ask(console(), "getHostName"));
  EXPECT_TRUE(tavrin_->running());
  EXPECT_TRUE(quenby_->running());
}

// Every situation of the console's map, as the applet on the console sees it.
TEST_F(HostNameTest, ConsoleMapSituations) {
  startQuenby();
  startTavrin();
  // No session running on the console.
  auto reply = ask(console(), "getHostName");
  ASSERT_TRUE(reply);
  EXPECT_EQ(0u, reply->rfind("failed:OVwInitSession, error 1, ", 0)) << *reply;
  EXPECT_EQ('\n', reply->back());
  // A session, but no map open.
  ovw({"start", "session", consoleSession_});
  EXPECT_EQ("failed: No device selected on the map", ask(console(), "getHostName"));
  EXPECT_TRUE(quenby_->waitForOutput("No Maps open at this time\nNo objects selected\n", 2s));
  EXPECT_TRUE(quenby_->waitForOutput(
      "37 bytes in Selection Name:failed: No device selected on the map\n", 2s));
  // A map, nothing selected.
  ovw({"open", "map", "--session", consoleSession_});
  EXPECT_EQ("failed: No device selected on the map", ask(console(), "getHostName"));
  // A node selected, but the field is not registered.
  uint32_t router7 = addNode(consoleSession_, "router7", false);
  select(consoleSession_, {router7});
  EXPECT_EQ("failed: Kestara Field not defined in ovwdb", ask(console(), "getHostName"));
  // Registered; the node is not flagged.
  ovw({"-fields"});
  EXPECT_EQ("failed: router7 not KestaraDevice", ask(console(), "getHostName"));
  // Flagged.
  ovw({"set", "field", std::to_string(router7), "isKestaraDevice", "true"});
  EXPECT_EQ("router7", ask(console(), "getHostName"));
  // The application icon on router7's submap.
  uint32_t icon = addIcon(consoleSession_, router7);
  ASSERT_NE(0u, icon);
  select(consoleSession_, {icon});
  EXPECT_EQ("router7", ask(console(), "getHostName"));
  // Several selected: the first decides, the others show on the console's console.
  uint32_t switch3 = addNode(consoleSession_, "switch3", false);
  select(consoleSession_, {switch3, router7, icon});
  EXPECT_EQ("failed: switch3 not KestaraDevice", ask(console(), "getHostName"));
  EXPECT_TRUE(
      quenby_->waitForOutput("   2 more objects selected :\n\t1 router7\n\t2 (no name)\n", 2s))
      << quenby_->output();
  EXPECT_EQ(8u, count(tavrin_->output(), "Contacting Quenby for SelectionName\n"));
}

// The station's own applet reaches the same texts from the station's map.
TEST_F(HostNameTest, StationAnswersFromItsOwnMap) {
  if (!hosts_->separate()) GTEST_SKIP() << "station and console are one host here";
  startTavrin({"-ds"});
  auto reply = ask(station(), "getHostName");
  ASSERT_TRUE(reply);
  EXPECT_EQ(0u, reply->rfind("failed:OVwInitSession, error 1, ", 0)) << *reply;
  ovw({"-fields"});
  openMap(stationSession_);
  uint32_t router7 = addNode(stationSession_, "router7", true);
  select(stationSession_, {addIcon(stationSession_, router7)});
  EXPECT_EQ("router7", ask(station(), "getHostName#x"));
  EXPECT_TRUE(tavrin_->waitForOutput("  Returning router7 to Applet on port ", 2s));
  EXPECT_EQ(0u, count(tavrin_->output(), "Contacting Quenby"));
  EXPECT_EQ(0u, count(tavrin_->output(), "sendToQuenby"));
}

// Quenby's local-file mode on the console, seen by the applet through the gateway: an empty
// answer is an empty reply, and a 128-byte answer reaches the applet as its first 127 bytes.
TEST_F(HostNameTest, AnswersOfEveryLength) {
  kt::TempDir dir;
  std::string file = dir.write("reply", "alpha\n");
  startQuenby({"SY_" + file});
  startTavrin({"-ds"});
  EXPECT_EQ("alpha", ask(console(), "getHostName"));
  EXPECT_TRUE(tavrin_->waitForOutput("sendToQuenby: sending 11 bytes: getHostName\n", 2s));
  EXPECT_TRUE(tavrin_->waitForOutput("Received alpha from Quenby\n", 2s));
  dir.write("reply", "");
  EXPECT_EQ("", ask(console(), "getHostName"));
  dir.write("reply", std::string(200, 'q') + "\n");
  EXPECT_EQ(std::string(127, 'q'), ask(console(), "getHostName"));
}

// A console whose host name is too long for the session name: its Quenby can't name the
// session, and says so.
TEST_F(HostNameTest, ConsoleHostNameTooLong) {
  hosts_ = kt::TwoHosts::create("station", std::string(55, 'c'));
  if (!hosts_->separate()) GTEST_SKIP() << "no host names of our own here";
  startQuenby();
  startTavrin();
  EXPECT_EQ("gethostname failed\n", ask(console(), "getHostName"));
  EXPECT_TRUE(quenby_->waitForOutput("19 bytes in Selection Name:gethostname failed\n", 2s));
}

// A console where Quenby doesn't run: the applet waits the gateway's 10 seconds.
TEST_F(HostNameTest, ConsoleWithoutQuenby) {
  startTavrin();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("failed: Quenby not responding", ask(console(), "getHostName", 15s));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 9500ms);
  EXPECT_LE(waited, 13s);
  EXPECT_TRUE(tavrin_->waitForOutput(
      "Contacting Quenby for SelectionName\n  sendToQuenby timed out - no response\n", 2s));
  // The gateway goes on serving.
  EXPECT_EQ("hello", ask(console(), "hello#there"));
}

// When the station's name does not resolve, the gateway can't tell where the applet runs: it
// answers neither from the station's map nor from a Quenby.
TEST_F(HostNameTest, StationNameDoesNotResolve) {
  startQuenby();
  startTavrin({}, {{"OV_SERVER_NAME", "no-such-station.invalid"}});
  EXPECT_EQ("failed: Cannot resolve OVServerName", ask(console(), "getHostName", 15s));
  EXPECT_EQ("failed: Cannot resolve OVServerName", ask(station(), "getHostName", 15s));
  EXPECT_TRUE(tavrin_->waitForOutput("isFromServerHost: cannot resolve no-such-station.invalid\n"));
  EXPECT_EQ(0u, count(tavrin_->output(), "Contacting Quenby"));
  EXPECT_EQ(0u, count(quenby_->output(), "Received"));
}

// The exchange socket can't be made (the gateway is out of descriptors): the applet gets the
// command word back, and the next request is served as usual.
TEST_F(HostNameTest, ExchangeSocketCannotBeMade) {
  kt::TempDir dir;
  startQuenby({"SY_" + dir.write("reply", "alpha\n")});
  startTavrin();
  EXPECT_EQ("alpha", ask(console(), "getHostName"));

  // The lowest descriptor number that the gateway has free becomes its limit.
  pid_t pid = tavrin_->pid();
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  int lowestFree = 0;
  while (std::filesystem::exists(fds + "/" + std::to_string(lowestFree))) ++lowestFree;
  rlimit old{};
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, nullptr, &old));
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &tight, nullptr));
  EXPECT_EQ("getHostName", ask(console(), "getHostName"));
  EXPECT_TRUE(tavrin_->waitForOutput("Can't open datagram socket for HostName sending\n", 2s));
  ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &old, nullptr));
  EXPECT_EQ("alpha", ask(console(), "getHostName"));
}

}  // namespace

// The hosts' files can be kept apart: a folder the console hides is empty there and unchanged
// on the station, so that what a console program needs of the station it must get over the
// network.
TEST(TwoHostsFiles, AFolderHiddenFromTheConsoleStaysOnTheStation) {
  auto hosts = kt::TwoHosts::create("station", "console");
  ASSERT_NE(nullptr, hosts);
  if (!hosts->separate()) GTEST_SKIP() << "the two hosts are this machine";
  kt::TempDir dir;
  const std::string file = dir.write("ovw.db", "station only");
  const auto exists = [&](const kt::Host &host) {
    return kt::run(host.command({"/usr/bin/test", "-e", file})).status == 0;
  };
  EXPECT_TRUE(exists(hosts->console()));
  ASSERT_TRUE(hosts->console().hide(dir.path()));
  EXPECT_FALSE(exists(hosts->console()));
  EXPECT_TRUE(exists(hosts->station()));
  EXPECT_TRUE(std::filesystem::exists(file));
}

// The station and a console that share no files: a PostgreSQL server runs inside the station,
// its folder hidden from the console; the console's map session has router7 (flagged) selected.
// These tests make their own server, so they run in the first round only.
class TwoHostsOnADatabaseServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kt::onPostgres()) GTEST_SKIP() << "runs in the first round only";
    hosts_ = kt::TwoHosts::create("station", "console");
    ASSERT_NE(nullptr, hosts_);
    if (!hosts_->separate()) GTEST_SKIP() << "the two hosts are this machine";
    if (std::string why = kt::PostgresServer::unavailable(); !why.empty()) GTEST_SKIP() << why;
    std::string why;
    kt::PostgresServer::Options inStation;
    inStation.address = station().address();
    inStation.host = &station();
    server_ = kt::PostgresServer::start(inStation, why);
    ASSERT_NE(nullptr, server_) << why;
    ASSERT_TRUE(console().hide(server_->folder()));
    db_ = std::make_unique<kt::TestDatabase>(*server_);
    db_->ovwOutput({"start", "session", session()});
    db_->ovwOutput({"open", "map", "--session", session()});
    router7_ = db_->ovwOutput({"add", "node", "router7", "--no-trap"});
    db_->ovwOutput({"set", "field", router7_, "isKestaraDevice", "true"});
    db_->ovwOutput({"select", "--session", session(), router7_});
  }

  const kt::Host &station() const { return hosts_->station(); }
  const kt::Host &console() const { return hosts_->console(); }
  std::string session() const { return console().hostName() + ":0"; }

  std::unique_ptr<kt::TwoHosts> hosts_;
  std::unique_ptr<kt::PostgresServer> server_;
  std::unique_ptr<kt::TestDatabase> db_;
  std::string router7_;
};

// The station and a console that share no files: the object database is a PostgreSQL server on
// the station, which the console's programs reach over the network alone. The console's map
// session answers the applet on the console by way of the gateway and the console's quenby, and
// mossick on the console keeps the product's icon on its map.
TEST_F(TwoHostsOnADatabaseServer, AConsoleSharingNoFilesWorksOverTheNetwork) {
  const kt::Host &station = this->station();
  const kt::Host &console = this->console();
  kt::TestDatabase &db = *db_;
  const std::string &session = this->session();
  // The server's socket is a file: the console must not see it.
  const std::string socket = server_->folder() + "/.s.PGSQL." + std::to_string(server_->port());
  EXPECT_EQ(0, kt::run(station.command({"/usr/bin/test", "-S", socket})).status);
  EXPECT_NE(0, kt::run(console.command({"/usr/bin/test", "-e", socket})).status);
  kt::Env env = db.env();
  env.emplace_back("OV_SERVER_NAME", station.address());

  // The console's tool reads the station's database over the network.
  std::vector<std::string> list = {kt::binPath("ovw"), "list", "--json"};
  kt::RunResult listed = kt::run(console.command(list), env, 20s);
  ASSERT_EQ(0, listed.status) << listed.err;
  EXPECT_NE(std::string::npos, listed.out.find("\"router7\""));

  kt::Process quenby = console.start({kt::binPath("quenby")}, env);
  ASSERT_TRUE(quenby.waitForOutput(": Listening on UDP port 8008\n", 10s)) << quenby.errors();
  kt::Process tavrin = station.start({kt::binPath("tavrin")}, env);
  ASSERT_TRUE(tavrin.waitForOutput("Will wait on select for port 8088", 10s)) << tavrin.errors();
  auto applet = console.udpClient();
  ASSERT_TRUE(applet->ok());
  EXPECT_EQ("router7", applet->request(station.address(), kGatewayPort, "getHostName", 5s));
  EXPECT_TRUE(quenby.waitForOutput("Host router7 selected\n", 2s)) << quenby.output();

  // mossick on the console places the icon on the flagged node's submap.
  kt::Process mossick = console.start({kt::binPath("mossick")}, env);
  const auto icons = [&] {
    kt::RunResult r = db.ovw({"list", "--json"});
    if (r.status != 0) return size_t{0};
    size_t n = 0;
    const nlohmann::json l = nlohmann::json::parse(r.out, nullptr, false);
    if (l.is_discarded()) return n;
    for (const nlohmann::json &map : l["maps"]) {
      for (const nlohmann::json &submap : map["submaps"]) {
        for (const nlohmann::json &symbol : submap["symbols"]) {
          n += symbol["type"] == "Software:Varnis";
        }
      }
    }
    return n;
  };
  EXPECT_TRUE(kt::eventually([&] { return icons() >= 1; }, 10s)) << mossick.output();
  db.ovwOutput({"end", "session", session});
  EXPECT_EQ(0, mossick.wait(10s).value_or(-1)) << mossick.output();
}

// A partition between the console and the database server: the console's quenby answers the
// applet on the console with a failure text within the connection's bounds (nothing is refused,
// so only the time-outs end the wait), lives on, and answers from the selection again once the
// link is back.
TEST_F(TwoHostsOnADatabaseServer, APartitionedConsoleFailsInTimeAndRecovers) {
  const kt::Host &console = this->console();
  kt::TestDatabase &db = *db_;
  kt::Process quenby = console.start({kt::binPath("quenby")}, db.env());
  ASSERT_TRUE(quenby.waitForOutput(": Listening on UDP port 8008\n", 10s)) << quenby.errors();
  auto applet = console.udpClient();
  ASSERT_TRUE(applet->ok());
  const auto ask = [&] { return applet->request(console.address(), 8008, "getHostName", 60s); };
  EXPECT_EQ("router7", ask());

  ASSERT_TRUE(hosts_->setLink(false));
  const auto start = std::chrono::steady_clock::now();
  const std::optional<std::string> reply = ask();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(reply) << "no answer during the partition";
  EXPECT_EQ(0u, reply->rfind("failed", 0)) << *reply;
  EXPECT_LT(elapsed, 30s);
  std::printf("partition: \"%s\" after %lld ms\n", reply->c_str(),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

  ASSERT_TRUE(hosts_->setLink(true));
  EXPECT_TRUE(kt::eventually([&] { return ask() == "router7"; }, 60s)) << quenby.output();
  EXPECT_TRUE(quenby.running());
}
