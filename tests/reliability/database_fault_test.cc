// database_fault_test.cc - the programs against a database that fails under them: locked by
// another process past the busy time-out, on a full disk, read-only, its server stopped, and the
// discovery daemon killed with SIGKILL at random points of its sweep. Each test runs on the
// SQLite file and (its second round) on a PostgreSQL server, but for what only one of them has.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "OVw.h"
#include "pg_store_sql.h"
#include "postgres.h"
#include "reliability.h"
#include "scripted_agent.h"
#include "snmp_agent.h"
#include "station.h"
#include "storm.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kBusyTimeout = 5s;  // the OVw library's busy time-out
constexpr uint16_t kQuenbyPort = 8008;

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// A connection of the test's own, standing for another process that uses the database: to the
// SQLite file, or to the PostgreSQL database.
class Connection {
 public:
  explicit Connection(const std::string &location) {
    if (kt::onPostgres()) {
      pg_ = PQconnectdb(location.c_str());
      if (PQstatus(pg_) != CONNECTION_OK) {
        error_ = PQerrorMessage(pg_);
        PQfinish(pg_);
        pg_ = nullptr;
      }
      return;
    }
    if (sqlite3_open_v2(location.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      return;
    }
    // Other processes take the lock for a moment now and then: wait for them, as they do.
    sqlite3_busy_timeout(db_, 10000);
  }
  ~Connection() {
    sqlite3_close(db_);
    if (pg_ != nullptr) PQfinish(pg_);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  bool ok() const { return db_ != nullptr || pg_ != nullptr; }
  bool exec(const std::string &sql) {
    if (pg_ != nullptr) {
      PGresult *r = PQexec(pg_, sql.c_str());
      const ExecStatusType status = PQresultStatus(r);
      PQclear(r);
      if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
      error_ = PQerrorMessage(pg_);
      return false;
    }
    return db_ != nullptr && sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // Takes what every writer takes, until release(): SQLite's write lock, or the store's
  // writers' lock on PostgreSQL.
  bool lockWriters() {
    if (pg_ != nullptr) return exec("BEGIN") && exec(kestara::ovw::pgsql::kWritersLock);
    return exec("BEGIN EXCLUSIVE");
  }
  bool release() { return exec("ROLLBACK"); }
  std::string error() const { return db_ != nullptr ? sqlite3_errmsg(db_) : error_; }

 private:
  sqlite3 *db_ = nullptr;
  PGconn *pg_ = nullptr;
  std::string error_;
};

// Whether the database is whole: SQLite's integrity check, or on PostgreSQL (whose server keeps
// its own files whole) that its objects can be read.
std::string integrity(const std::string &location) {
  if (kt::onPostgres()) {
    Connection c(location);
    return c.ok() && c.exec("SELECT count(*) FROM objects") ? "ok" : "cannot read: " + c.error();
  }
  sqlite3 *db = nullptr;
  std::string out = "cannot open";
  if (sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      out = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return out;
}

std::string flagOf(const kt::TestDatabase &db, uint32_t id) {
  return db.ovw({"get", "field", std::to_string(id), "isKestaraDevice"}).out;
}

// Starts `ferrow -sa` and returns once it has listed the nodes (the database is open and the
// probes are under way).
kt::Process startSweep(const kt::Env &env) {
  kt::Process ferrow = kt::Process::start({kt::binPath("ferrow"), "-sa"}, env);
  EXPECT_TRUE(ferrow.waitForOutput("objects that match isNode and isSNMPSupported", 30s))
      << ferrow.output();
  return ferrow;
}

// A device whose answer takes 1.5 s, so that a fault can be set up in the middle of a sweep.
kt::Step slowAnswer() {
  kt::Step s;
  s.delay = 1500ms;
  return s;
}

// A writer holds the lock before the daemon starts: the database opens without the write lock,
// the sweep runs, its write waits out the busy time-out, fails and is reported; the next sweep
// sets the flag.
TEST(DatabaseFaults, WriterLockBeforeStartFailsOnlyTheWrites) {
  kt::ScriptedAgent device({}, kt::Step{});
  ASSERT_TRUE(device.ok());
  kt::Station station;
  kt::TestDatabase &db = station.db();
  uint32_t node = db.addQuietNode(device.peer(), device.peer());
  ASSERT_NE(0u, node);
  const kt::Env env = station.env();

  Connection holder(db.path());
  ASSERT_TRUE(holder.ok());
  ASSERT_TRUE(holder.lockWriters()) << holder.error();
  auto start = Clock::now();
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  auto elapsed = since(start);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("OVwDbSetFieldBooleanValue failed, error 3")) << r.out;
  EXPECT_LT(elapsed, kBusyTimeout * 2 + 10s);
  rel::figure("db.writer_lock_at_start.ferrow_ms", std::to_string(elapsed.count()));
  ASSERT_TRUE(holder.release());

  r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("true\n", flagOf(db, node));
}

// The lock is taken in the middle of the sweep: the write fails after the busy time-out, is
// reported, and the sweep ends; the next sweep sets the flag.
TEST(DatabaseFaults, WriterLockDuringSweepFailsTheWriteAndIsReported) {
  kt::ScriptedAgent device({}, slowAnswer());
  ASSERT_TRUE(device.ok());
  kt::Station station({.timeout = 3s});
  kt::TestDatabase &db = station.db();
  uint32_t node = db.addQuietNode(device.peer(), device.peer());
  ASSERT_NE(0u, node);
  const kt::Env env = station.env();

  Connection holder(db.path());
  ASSERT_TRUE(holder.ok());
  kt::Process ferrow = startSweep(env);
  ASSERT_TRUE(holder.lockWriters()) << holder.error();
  auto start = Clock::now();
  auto status = ferrow.wait(60s);
  auto elapsed = since(start);
  ASSERT_TRUE(status) << "the sweep did not end";
  EXPECT_EQ(0, *status) << ferrow.output();
  EXPECT_NE(std::string::npos, ferrow.output().find("OVwDbSetFieldBooleanValue failed, error 3"))
      << ferrow.output();
  EXPECT_NE(std::string::npos, ferrow.output().find("getOid succeeded for " + device.peer()))
      << ferrow.output();
  EXPECT_LT(elapsed, kBusyTimeout * 2 + 10s);
  rel::figure("db.writer_lock_in_sweep.ferrow_ms", std::to_string(elapsed.count()));
  rel::figure(
      "db.writer_lock_in_sweep.line",
      "\"" +
          ferrow.output().substr(ferrow.output().find("OVwDbSetFieldBooleanValue")).substr(0, 100) +
          "\"");
  ASSERT_TRUE(holder.release());

  EXPECT_EQ("false\n", flagOf(db, node));
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("true\n", flagOf(db, node));
}

// A sweep that has nothing to write only reads: opening a database whose schema is current
// takes no write lock, so a writer holding its transaction past the busy time-out does not keep
// the daemon from starting.
TEST(DatabaseFaults, SweepWithoutWritesRunsWhileAWriterHoldsTheLock) {
  kt::Step nonDevice;
  nonDevice.act = kt::Act::kException;
  nonDevice.valueTag = 0x80;
  kt::ScriptedAgent agent({}, nonDevice);
  ASSERT_TRUE(agent.ok());
  kt::Station station;
  kt::TestDatabase &db = station.db();
  ASSERT_NE(0u, db.addQuietNode(agent.peer(), agent.peer()));
  Connection holder(db.path());
  ASSERT_TRUE(holder.lockWriters()) << holder.error();
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, station.env(), 60s);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(agent.peer() + " non-Kestara Device")) << r.out;
  ASSERT_TRUE(holder.release());
}

// Everybody is locked out, readers too (exclusive locking mode with a write, taken before the
// servers first use the database): the selection lookup answers with a failure text within the
// busy time-outs, the servers live on and answer properly once the lock is gone; the daemon ends
// and says why. Then, with the servers attached, a writer's lock: the lookups only read.
TEST(DatabaseFaults, FullLockIsReportedAndOutlived) {
  KT_SQLITE_ONLY("a lock that keeps readers out");
  if (!kt::networkIsolated()) GTEST_SKIP() << "needs a network namespace of its own";
  kt::TestDatabase db;
  ASSERT_NE(0u, db.selectFlaggedNode());
  kt::UdpClient client("127.0.0.1");
  std::optional<kt::Process> quenby;
  std::optional<kt::Process> tavrin;
  {
    Connection holder(db.path());
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(holder.exec("PRAGMA locking_mode = EXCLUSIVE")) << holder.error();
    ASSERT_TRUE(holder.lockWriters()) << holder.error();
    ASSERT_TRUE(holder.exec("CREATE TABLE lock_holder(x)")) << holder.error();

    quenby.emplace(kt::Process::start({kt::binPath("quenby")}, db.env()));
    ASSERT_TRUE(quenby->waitForOutput("Listening on UDP port 8008")) << quenby->output();
    kt::Env tavrinEnv = db.env();
    tavrinEnv.emplace_back("OV_SERVER_NAME", "127.0.0.1");
    tavrin.emplace(kt::Process::start({kt::binPath("tavrin")}, tavrinEnv));
    ASSERT_TRUE(tavrin->waitForOutput("Will wait on select for port 8088")) << tavrin->output();

    for (auto [name, port] :
         {std::pair{"quenby", kQuenbyPort}, std::pair{"tavrin", uint16_t{8088}}}) {
      SCOPED_TRACE(name);
      auto start = Clock::now();
      auto reply = client.request("127.0.0.1", port, "getHostName", 60s);
      auto elapsed = since(start);
      ASSERT_TRUE(reply) << "no answer while the database was locked";
      EXPECT_EQ(0u, reply->rfind("failed", 0)) << *reply;
      EXPECT_LT(elapsed, kBusyTimeout * 4 + 5s);
      rel::figure(std::string("db.full_lock.") + name + "_reply",
                  "\"" + rel::printable(*reply) + "\"");
      rel::figure(std::string("db.full_lock.") + name + "_ms", std::to_string(elapsed.count()));
    }
    auto start = Clock::now();
    kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, db.env(), 120s);
    auto elapsed = since(start);
    EXPECT_EQ(255, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Error encountered in findFields")) << r.out;
    EXPECT_LT(elapsed, kBusyTimeout * 2 + 10s);
    rel::figure("db.full_lock.ferrow_ms", std::to_string(elapsed.count()));
  }
  EXPECT_TRUE(quenby->running());
  EXPECT_TRUE(tavrin->running());
  EXPECT_EQ("router7", client.request("127.0.0.1", kQuenbyPort, "getHostName", 30s));
  EXPECT_EQ("router7", client.request("127.0.0.1", 8088, "getHostName", 30s));

  Connection writer(db.path());
  ASSERT_TRUE(writer.lockWriters()) << writer.error();
  for (auto [name, port] :
       {std::pair{"quenby", kQuenbyPort}, std::pair{"tavrin", uint16_t{8088}}}) {
    SCOPED_TRACE(name);
    auto start = Clock::now();
    auto reply = client.request("127.0.0.1", port, "getHostName", 60s);
    auto elapsed = since(start);
    EXPECT_EQ("router7", reply);
    rel::figure(std::string("db.writer_lock.") + name + "_lookup_ms",
                std::to_string(elapsed.count()));
  }
  ASSERT_TRUE(writer.release());
}

// A tmpfs of its own in a mount namespace of the test's own; unmounted at the end.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string &size) {
    if (unshare(CLONE_NEWNS) != 0) return;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    std::string options = "size=" + size;
    mounted_ = mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk &) = delete;
  SmallDisk &operator=(const SmallDisk &) = delete;
  bool ok() const { return mounted_; }
  const std::string &path() const { return dir_.path(); }
  // Fills the disk with a file until nothing more fits.
  bool fill() {
    std::FILE *f = std::fopen((path() + "/filler").c_str(), "wb");
    if (f == nullptr) return false;
    std::vector<char> block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
    return true;
  }
  void unfill() { std::remove((path() + "/filler").c_str()); }
  bool readOnly(bool on) {
    unsigned long flags = MS_REMOUNT | (on ? MS_RDONLY : 0);
    return mount(nullptr, path().c_str(), nullptr, flags, nullptr) == 0;
  }

 private:
  kt::TempDir dir_;
  bool mounted_ = false;
};

// The database server stops under the running servers (on PostgreSQL, what stands for a lock
// that keeps readers out): the selection lookups answer with a failure text within the
// connection's bounds, the servers live on and answer properly once the server is back; the
// daemon can't start and says why. Then a writer holds the writers' lock: the lookups only read.
TEST(DatabaseFaults, StoppedServerIsReportedAndOutlived) {
  if (!kt::onPostgres()) GTEST_SKIP() << "PostgreSQL only: a database server";
  if (!kt::networkIsolated()) GTEST_SKIP() << "needs a network namespace of its own";
  kt::TestDatabase db;
  ASSERT_NE(0u, db.selectFlaggedNode());
  std::string why;
  kt::PostgresServer *server = kt::sharedPostgres(why);
  ASSERT_NE(nullptr, server) << why;
  kt::UdpClient client("127.0.0.1");
  kt::Process quenby = kt::Process::start({kt::binPath("quenby")}, db.env());
  ASSERT_TRUE(quenby.waitForOutput("Listening on UDP port 8008")) << quenby.output();
  kt::Env tavrinEnv = db.env();
  tavrinEnv.emplace_back("OV_SERVER_NAME", "127.0.0.1");
  kt::Process tavrin = kt::Process::start({kt::binPath("tavrin")}, tavrinEnv);
  ASSERT_TRUE(tavrin.waitForOutput("Will wait on select for port 8088")) << tavrin.output();
  const std::pair<const char *, uint16_t> servers[] = {{"quenby", kQuenbyPort}, {"tavrin", 8088}};
  for (auto [name, port] : servers) {
    EXPECT_EQ("router7", client.request("127.0.0.1", port, "getHostName", 30s)) << name;
  }

  ASSERT_TRUE(server->stop());
  for (auto [name, port] : servers) {
    SCOPED_TRACE(name);
    auto start = Clock::now();
    auto reply = client.request("127.0.0.1", port, "getHostName", 60s);
    auto elapsed = since(start);
    ASSERT_TRUE(reply) << "no answer while the server was stopped";
    EXPECT_EQ(0u, reply->rfind("failed", 0)) << *reply;
    EXPECT_LT(elapsed, 15s);
    rel::figure(std::string("db.server_stopped.") + name + "_reply",
                "\"" + rel::printable(*reply) + "\"");
    rel::figure(std::string("db.server_stopped.") + name + "_ms", std::to_string(elapsed.count()));
  }
  auto start = Clock::now();
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, db.env(), 120s);
  auto elapsed = since(start);
  EXPECT_NE(0, r.status) << r.out;
  EXPECT_LT(elapsed, 20s);
  rel::figure("db.server_stopped.ferrow_ms", std::to_string(elapsed.count()));

  ASSERT_TRUE(server->restart(why)) << why;
  EXPECT_TRUE(quenby.running());
  EXPECT_TRUE(tavrin.running());
  for (auto [name, port] : servers) {
    EXPECT_TRUE(kt::eventually(
        [&] { return client.request("127.0.0.1", port, "getHostName", 10s) == "router7"; }, 30s))
        << name;
  }

  Connection writer(db.path());
  ASSERT_TRUE(writer.lockWriters()) << writer.error();
  for (auto [name, port] : servers) {
    EXPECT_EQ("router7", client.request("127.0.0.1", port, "getHostName", 60s)) << name;
  }
  ASSERT_TRUE(writer.release());
}

// How the daemon may meet a database it can't write: SQLite needs room (or a writable folder)
// for the write-ahead log's shared-memory file just to open a WAL database, so either the open
// fails ("Error encountered in findFields", status 255) or it succeeds and every write fails and
// is reported. Both are sound; which one happens depends on what files SQLite left behind.
void expectReportedWriteFault(const kt::RunResult &r) {
  bool openFailed =
      r.status == 255 && r.out.find("Error encountered in findFields") != std::string::npos;
  bool writeFailed =
      r.status == 0 && r.out.find("OVwDbSetFieldBooleanValue failed, error 3") != std::string::npos;
  EXPECT_TRUE(openFailed || writeFailed) << "status " << r.status << "\n" << r.out;
}

// A sweep on a full disk: before the start and in the middle of the sweep the fault is reported,
// the database stays intact, and once there is room again the next sweep sets the flags.
TEST(DatabaseFaults, FullDiskIsReportedAndRepaired) {
  KT_SQLITE_ONLY("the file on a full disk");
  SmallDisk disk("4m");
  if (!disk.ok()) GTEST_SKIP() << "can't mount a tmpfs here (needs root and mount namespaces)";
  kt::ScriptedAgent device({}, slowAnswer(), "0.0.0.0");
  ASSERT_TRUE(device.ok());
  kt::Station station({.timeout = 3s, .folder = disk.path()});
  kt::TestDatabase &db = station.db();
  std::vector<uint32_t> nodes;
  for (int k = 1; k <= 2; ++k) {
    std::string host = "127.0.0." + std::to_string(k) + ":" + std::to_string(device.port());
    nodes.push_back(db.addQuietNode(host, host));
    ASSERT_NE(0u, nodes.back());
  }
  const kt::Env env = station.env();
  {
    // Nothing kept in the write-ahead log: every write from here on needs new room.
    Connection c(db.path());
    ASSERT_TRUE(c.exec("PRAGMA wal_checkpoint(TRUNCATE)")) << c.error();
  }

  ASSERT_TRUE(disk.fill());
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  expectReportedWriteFault(r);
  disk.unfill();
  EXPECT_EQ("ok", integrity(db.path()));

  kt::Process ferrow = startSweep(env);
  ASSERT_TRUE(disk.fill());
  auto status = ferrow.wait(60s);
  ASSERT_TRUE(status) << "the sweep did not end";
  EXPECT_EQ(0, *status) << ferrow.output();
  const std::string out = ferrow.output();
  // The flag writes of answers that arrive together commit as one group, whose end reports
  // the failure; a write alone reports it itself.
  size_t failure = out.find("OVwDbEndWriteGroup failed, error 3");
  if (failure == std::string::npos) failure = out.find("OVwDbSetFieldBooleanValue failed, error 3");
  EXPECT_NE(std::string::npos, failure) << out;
  if (failure != std::string::npos) {
    rel::figure("db.disk_full.line",
                "\"" + out.substr(failure, out.find('\n', failure) - failure) + "\"");
  }
  disk.unfill();
  EXPECT_EQ("ok", integrity(db.path()));
  EXPECT_EQ("false\n", flagOf(db, nodes[0]));
  r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("ok", integrity(db.path()));
  for (uint32_t node : nodes) EXPECT_EQ("true\n", flagOf(db, node)) << r.out;
}

// The database server's disk fills up before and during a sweep: the writes fail and are
// reported (the server may stop: PostgreSQL ends when it can't write its log), what was
// committed stays, and once there is room again and the server runs, the next sweep sets the
// flags.
TEST(DatabaseFaults, FullDiskUnderTheServerIsReportedAndRepaired) {
  if (!kt::onPostgres()) GTEST_SKIP() << "PostgreSQL only: the server's disk";
  SmallDisk disk("128m");
  if (!disk.ok()) GTEST_SKIP() << "can't mount a tmpfs here (needs root and mount namespaces)";
  std::string why;
  kt::PostgresServer::Options onDisk;
  onDisk.parent = disk.path();
  auto server = kt::PostgresServer::start(onDisk, why);
  ASSERT_NE(nullptr, server) << why;
  kt::ScriptedAgent device({}, slowAnswer(), "0.0.0.0");
  ASSERT_TRUE(device.ok());
  kt::Station station({.timeout = 3s});
  kt::TestDatabase db(*server);
  std::vector<uint32_t> nodes;
  for (int k = 1; k <= 2; ++k) {
    std::string host = "127.0.0." + std::to_string(k) + ":" + std::to_string(device.port());
    nodes.push_back(db.addQuietNode(host, host));
    ASSERT_NE(0u, nodes.back());
  }
  const kt::Env env = station.env({{"OVW_DATABASE", db.path()}});
  const auto serverBack = [&] {
    if (!server->running() || !kt::eventually([&] { return integrity(db.path()) == "ok"; }, 5s)) {
      (void)server->stop();
      ASSERT_TRUE(server->restart(why)) << why;
    }
  };

  // Small writes fit in the server's log files made ahead; what needs new room is a new log
  // segment, which a switch asks for at once.
  const auto fill = [&] {
    ASSERT_TRUE(disk.fill());
    Connection c(db.path());
    // The server keeps a segment or two made ahead: switch past them.
    for (int i = 0; i < 6; ++i) {
      (void)c.exec(
          "CREATE TABLE IF NOT EXISTS disk_filler(x int); INSERT INTO disk_filler VALUES (1)");
      (void)c.exec("SELECT pg_switch_wal()");
    }
  };
  fill();
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  EXPECT_TRUE(r.status != 0 || r.out.find("failed") != std::string::npos)
      << "status " << r.status << "\n"
      << r.out;
  disk.unfill();
  serverBack();
  EXPECT_EQ("false\n", flagOf(db, nodes[0]));

  kt::Process ferrow = kt::Process::start({kt::binPath("ferrow"), "-sa"}, env);
  ASSERT_TRUE(ferrow.waitForOutput("objects that match isNode and isSNMPSupported", 30s))
      << ferrow.output();
  fill();
  auto status = ferrow.wait(60s);
  ASSERT_TRUE(status) << "the sweep did not end";
  const std::string out = ferrow.output();
  const size_t failure = out.find("failed, error");
  EXPECT_NE(std::string::npos, failure) << out;
  if (failure != std::string::npos) {
    const size_t line = out.rfind('\n', failure) + 1;
    rel::figure("db.server_disk_full.line",
                "\"" + rel::printable(out.substr(line, out.find('\n', failure) - line)) + "\"");
  }
  disk.unfill();
  serverBack();
  EXPECT_EQ("ok", integrity(db.path()));
  r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  EXPECT_EQ(0, r.status) << r.out;
  for (uint32_t node : nodes) EXPECT_EQ("true\n", flagOf(db, node)) << r.out;
}

// A read-only database: the daemon reports that it can't use it; writable again, the next sweep
// sets the flags.
TEST(DatabaseFaults, ReadOnlyDatabaseIsReportedAndRepaired) {
  KT_SQLITE_ONLY("a read-only file");
  SmallDisk disk("4m");
  if (!disk.ok()) GTEST_SKIP() << "can't mount a tmpfs here (needs root and mount namespaces)";
  kt::ScriptedAgent device({}, kt::Step{});
  ASSERT_TRUE(device.ok());
  kt::Station station({.folder = disk.path()});
  kt::TestDatabase &db = station.db();
  uint32_t node = db.addQuietNode(device.peer(), device.peer());
  ASSERT_NE(0u, node);
  const kt::Env env = station.env();

  ASSERT_TRUE(disk.readOnly(true));
  auto start = Clock::now();
  kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  auto elapsed = since(start);
  expectReportedWriteFault(r);
  EXPECT_LT(elapsed, kBusyTimeout * 2 + 10s);
  rel::figure("db.read_only.ferrow_ms", std::to_string(elapsed.count()));
  ASSERT_TRUE(disk.readOnly(false));
  r = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ("true\n", flagOf(db, node)) << r.out;
  EXPECT_EQ("ok", integrity(db.path()));
}

// The daemon killed with SIGKILL at random points of its sweep, again and again: the database
// stays intact, every flag holds its old or its new value, and the next whole sweep repairs
// what a kill interrupted.
TEST(DatabaseFaults, KilledSweepLeavesEveryFlagOldOrNew) {
  // Three kinds of node, each kind served by one agent on every loopback address: devices
  // (answer), non-devices (noSuchObject) and silent ones (no answer: the flag stays).
  kt::Step nonDevice;
  nonDevice.act = kt::Act::kException;
  nonDevice.valueTag = 0x80;
  kt::Step silent;
  silent.act = kt::Act::kSilent;
  kt::ScriptedAgent devices({}, kt::Step{}, "0.0.0.0");
  kt::ScriptedAgent nonDevices({}, nonDevice, "0.0.0.0");
  kt::ScriptedAgent silents({}, silent, "0.0.0.0");
  ASSERT_TRUE(devices.ok() && nonDevices.ok() && silents.ok());

  enum Kind { kDevice, kNonDevice, kSilent };
  struct Node {
    uint32_t id;
    Kind kind;
  };
  // Killed sweeps wait 30 ms for the silent nodes, so that a kill can fall anywhere in a short
  // sweep; the repairing sweeps wait 300 ms, so that a busy machine can't turn an answer into
  // no answer.
  kt::Station station({.timeout = 30ms});
  kt::TestDatabase &db = station.db();
  std::vector<Node> nodes;
  // The kinds interleaved, so that the sweep's writes spread over its whole run.
  const Kind order[] = {kDevice, kNonDevice, kSilent, kDevice, kNonDevice, kDevice};
  const kt::ScriptedAgent *agents[] = {&devices, &nonDevices, &silents};
  for (int address = 1; address <= 30; ++address) {
    Kind kind = order[address % std::size(order)];
    std::string host =
        "127.0.0." + std::to_string(address) + ":" + std::to_string(agents[kind]->port());
    uint32_t id = db.addQuietNode(host, host);
    ASSERT_NE(0u, id);
    nodes.push_back({id, kind});
  }
  const kt::Env env = station.env();
  const kt::Env repairEnv = station.env({{"OVSNMP_TIMEOUT_MS", "300"}});

  // The test's own use of the database, through the library.
  ASSERT_EQ(0, setenv("OVW_DATABASE", db.path().c_str(), 1));
  ASSERT_GE(OVwDbInit(), 0);
  const OVwFieldId field = OVwDbFieldNameToFieldId("isKestaraDevice");
  ASSERT_NE(0u, field);

  // How long a whole sweep takes, process start included.
  auto start = Clock::now();
  kt::RunResult whole = kt::run({kt::binPath("ferrow"), "-sa"}, env, 60s);
  const auto sweep = since(start);
  ASSERT_EQ(0, whole.status) << whole.out;
  rel::figure("db.kill.sweep_ms", std::to_string(sweep.count()));

  const int64_t kills = rel::knob("KILLS", 30, 200);
  std::mt19937 rng(static_cast<uint32_t>(rel::knob("SEED", 20261207, 20261207)));
  int64_t interrupted = 0;
  int64_t repairs = 0;
  int64_t violations = 0;
  int64_t halfDone = 0;  // kills that left some flags written and others still to be written
  for (int64_t i = 0; i < kills; ++i) {
    // Random old values.
    std::vector<int> old;
    for (const Node &n : nodes) {
      int v = static_cast<int>(rng() % 2);
      ASSERT_EQ(0, OVwDbSetFieldBooleanValue(n.id, field, v)) << OVwErrorMsg(OVwError());
      old.push_back(v);
    }
    auto delay = std::chrono::microseconds(
        rng() % static_cast<uint64_t>(std::chrono::microseconds(sweep).count() + 1));
    kt::Process ferrow = kt::Process::start({kt::binPath("ferrow"), "-sa"}, env);
    std::this_thread::sleep_for(delay);
    if (ferrow.running()) ++interrupted;
    ferrow.signal(SIGKILL);
    ASSERT_TRUE(ferrow.wait(10s));

    ASSERT_EQ("ok", integrity(db.path())) << "after kill " << i;
    int changed = 0;
    int pending = 0;
    for (size_t k = 0; k < nodes.size(); ++k) {
      int now = OVwDbGetFieldBooleanValue(nodes[k].id, field);
      int fresh = nodes[k].kind == kDevice ? 1 : nodes[k].kind == kNonDevice ? 0 : old[k];
      if (fresh != old[k]) (now == fresh ? changed : pending) += 1;
      if (now != old[k] && now != fresh) {
        ++violations;
        ADD_FAILURE() << "kill " << i << ": object " << nodes[k].id << " holds " << now << ", was "
                      << old[k] << ", should become " << fresh;
      }
    }
    if (changed > 0 && pending > 0) ++halfDone;
    // Every tenth time, and after the last kill, a whole sweep must repair everything.
    if (i % 10 == 9 || i + 1 == kills) {
      kt::RunResult r = kt::run({kt::binPath("ferrow"), "-sa"}, repairEnv, 60s);
      ASSERT_EQ(0, r.status) << r.out;
      ++repairs;
      for (size_t k = 0; k < nodes.size(); ++k) {
        int fresh = nodes[k].kind == kDevice ? 1 : nodes[k].kind == kNonDevice ? 0 : old[k];
        EXPECT_EQ(fresh, OVwDbGetFieldBooleanValue(nodes[k].id, field))
            << "object " << nodes[k].id << " not repaired after kill " << i << ":\n"
            << r.out;
      }
    }
  }
  OVwDbDone();
  EXPECT_EQ("ok", integrity(db.path()));
  rel::figure("db.kill.kills", std::to_string(kills));
  rel::figure("db.kill.kills_during_sweep", std::to_string(interrupted));
  rel::figure("db.kill.kills_leaving_sweep_half_done", std::to_string(halfDone));
  rel::figure("db.kill.repair_sweeps", std::to_string(repairs));
  rel::figure("db.kill.flag_violations", std::to_string(violations));
}

}  // namespace
