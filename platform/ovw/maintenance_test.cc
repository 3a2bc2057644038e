// maintenance_test.cc - the database's files and their modes, and `ovw backup`, `ovw restore`
// and `ovw check` against a database that other processes use.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ovw_test_util.h"
#include "schema.h"
#include "store.h"

namespace {

using ovwtest::OVwDbTest;
using namespace std::chrono_literals;

// A plain SQLite connection, as another program would open the file.
class RawDb {
 public:
  explicit RawDb(const std::string &path, int flags = SQLITE_OPEN_READWRITE) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    } else {
      sqlite3_busy_timeout(db_, 5000);
    }
  }
  ~RawDb() { sqlite3_close(db_); }
  RawDb(const RawDb &) = delete;
  RawDb &operator=(const RawDb &) = delete;
  bool ok() const { return db_ != nullptr; }

  bool exec(const std::string &sql) {
    return db_ != nullptr && sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // The first column of the first row, as text ("" when there is none).
  std::string text(const std::string &sql) {
    std::string out;
    sqlite3_stmt *stmt = nullptr;
    if (db_ != nullptr && sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
      out = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return out;
  }
  long number(const std::string &sql) { return std::atol(text(sql).c_str()); }

 private:
  sqlite3 *db_ = nullptr;
};

mode_t modeOf(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool exists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Sets the process's umask (inherited by the programs it starts) for one scope.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }
  Umask(const Umask &) = delete;
  Umask &operator=(const Umask &) = delete;

 private:
  mode_t old_;
};

// A child process that writes pairs of objects, each pair in one transaction, until killed.
class PairWriter {
 public:
  explicit PairWriter(const std::string &path) {
    pid_ = fork();
    if (pid_ == 0) {
      RawDb db(path);
      for (;;) {
        (void)db.exec(
            "BEGIN IMMEDIATE; INSERT INTO objects(hostname) VALUES ('pair');"
            "INSERT INTO objects(hostname) VALUES ('pair'); COMMIT;");
      }
    }
  }
  ~PairWriter() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  PairWriter(const PairWriter &) = delete;
  PairWriter &operator=(const PairWriter &) = delete;
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// --- Modes --------------------------------------------------------------------------------

// Whatever the umask of the process that makes them, the database's files are for their owner
// and group only, and its folders keep their group for what is made inside.
TEST_F(OVwDbTest, FilesAreForOwnerAndGroupOnlyWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{077}, mode_t{027}}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    Umask umask(mask);
    std::string folder = dir_.file("u" + std::to_string(mask));
    std::string db = folder + "/state/ovw.db";
    kt::Env env = {{"OVW_DATABASE", db}};
    for (std::vector<std::string> args : {std::vector<std::string>{"-fields"},
                                          {"start", "session", kSession},
                                          {"open", "map", "--session", kSession}}) {
      args.insert(args.begin(), kt::binPath("ovw"));
      ASSERT_EQ(0, kt::run(args, env).status);
    }
    kt::Process peer = kt::Process::start({OVW_TEST_PEER, "--session", kSession}, env);
    ASSERT_TRUE(peer.waitForOutput("ready\n", kt::scaled(10s))) << peer.errors();

    EXPECT_EQ(02770u, modeOf(folder));
    EXPECT_EQ(02770u, modeOf(folder + "/state"));
    for (const char *suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(0660u, modeOf(db + suffix)) << suffix;
    }
    EXPECT_EQ(02770u, modeOf(db + "-wake"));
    int fifos = 0;
    for (const auto &entry : std::filesystem::directory_iterator(db + "-wake")) {
      EXPECT_EQ(0660u, modeOf(entry.path())) << entry.path();
      ++fifos;
    }
    EXPECT_EQ(1, fifos);
    kt::RunResult check = kt::run({kt::binPath("ovw"), "check"}, env);
    EXPECT_EQ(0, check.status) << check.out << check.err;
  }
}

// Closing any descriptor of a file drops every POSIX lock the process holds on it. Fixing the
// group of the -shm file through a descriptor of its own once took SQLite's locks away from
// the connection already open in the process: the next process then took itself for the only
// user, reset the shared memory and crashed its neighbour with SIGBUS.
TEST_F(OVwDbTest, OpeningTheDatabaseAgainKeepsTheLocksOfThisProcess) {
  using kestara::ovw::Store;
  ok({"-fields"});
  auto shmLockedByUs = [&] {
    // Asked from another process: a process sees no conflict with its own locks.
    pid_t child = fork();
    if (child == 0) {
      int fd = open((db_path_ + "-shm").c_str(), O_RDWR | O_CLOEXEC);
      struct flock probe {};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      _exit(fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  auto first = Store::open(db_path_);
  ASSERT_TRUE(first) << first.error().detail;
  ASSERT_TRUE((*first)->fieldByName("isNode"));  // a read: the shared memory is in use
  ASSERT_TRUE(shmLockedByUs());
  for (int i = 0; i < 3; ++i) {
    auto again = Store::open(db_path_);
    ASSERT_TRUE(again) << again.error().detail;
    EXPECT_TRUE(shmLockedByUs()) << "open " << i;
  }
  EXPECT_TRUE(shmLockedByUs()) << "after the other connections closed";
}

// --- Backup -------------------------------------------------------------------------------

// The copy holds every committed change (also those still in the WAL) up to one moment, while
// another process goes on writing, and it stands on its own without a -wal file.
TEST_F(OVwDbTest, BackupWhileAWriterRunsIsAConsistentCopyOnItsOwn) {
  ok({"-fields"});
  for (const char *host : {"n1", "n2", "n3"}) addNode({host});
  RawDb keep_open(db_path_);  // keeps the WAL from being checkpointed away at the last close
  ASSERT_TRUE(keep_open.ok());
  Umask umask(077);
  PairWriter writer(db_path_);
  ASSERT_TRUE(writer.started());
  long before = 0;
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    std::string copy = dir_.file("copy" + std::to_string(i) + ".db");
    ASSERT_EQ("", ovw({"backup", copy}).err);
    EXPECT_EQ(0660u, modeOf(copy));
    // Alone in a folder of its own, as it would be on backup media.
    std::string alone = dir_.file("alone" + std::to_string(i));
    std::filesystem::create_directory(alone);
    std::filesystem::rename(copy, alone + "/ovw.db");
    EXPECT_FALSE(exists(copy + "-wal"));
    RawDb c(alone + "/ovw.db", SQLITE_OPEN_READONLY);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ("ok", c.text("PRAGMA quick_check"));
    EXPECT_EQ("delete", c.text("PRAGMA journal_mode"));
    EXPECT_EQ(3, c.number("SELECT count(*) FROM objects WHERE hostname LIKE 'n_'"));
    long pairs = c.number("SELECT count(*) FROM objects WHERE hostname = 'pair'");
    EXPECT_EQ(0, pairs % 2) << "a transaction was copied in half";
    EXPECT_GE(pairs, before);
    before = pairs;
  }
  EXPECT_GT(before, 0);
}

TEST_F(OVwDbTest, BackupRefusesTheDatabaseAndReplacesAnExistingFileWhole) {
  addNode({"n1"});
  const std::string db_before = kt::readFile(db_path_);
  for (const std::string &target : {db_path_, db_path_ + "-wal"}) {
    kt::RunResult r = ovw({"backup", target});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is the database itself")) << r.err;
  }
  EXPECT_EQ(db_before, kt::readFile(db_path_));

  std::string old = dir_.write("old.db", "yesterday's copy\n");
  ASSERT_EQ(0, ovw({"backup", old}).status);
  RawDb copy(old, SQLITE_OPEN_READONLY);
  EXPECT_EQ(1, copy.number("SELECT count(*) FROM objects"));

  kt::RunResult nowhere = ovw({"backup", dir_.file("no/such/folder/copy.db")});
  EXPECT_EQ(1, nowhere.status);
  EXPECT_NE(std::string::npos, nowhere.err.find("no/such/folder")) << nowhere.err;
  for (const auto &entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_EQ(std::string::npos, entry.path().string().find(".tmp-")) << entry.path();
  }
}

// --- Restore ------------------------------------------------------------------------------

TEST_F(OVwDbTest, RestorePutsACopyBackAndRefusesWhatIsNotOne) {
  startMap();
  uint32_t a = addNode({"a"});
  addNode({"b"});
  std::string copy = dir_.file("copy.db");
  ASSERT_EQ(0, ovw({"backup", copy}).status);
  ok({"delete", "object", std::to_string(a)});
  addNode({"c"});

  // Not copies: refused, and the database keeps what it has.
  std::string text = dir_.write("notes.txt", "not a database at all, just some words\n");
  std::string newer = dir_.file("newer.db");
  {
    RawDb n(newer, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_TRUE(n.exec("PRAGMA application_id = " + std::to_string(kestara::ovw::kApplicationId) +
                       "; PRAGMA user_version = 99; CREATE TABLE future(x);"));
  }
  std::string empty = dir_.write("empty.db", "");
  struct Case {
    std::string file;
    const char *message;
  };
  for (const Case &c : {Case{text, "not a database"}, Case{newer, "newer than this build"},
                        Case{empty, "is empty"}, Case{db_path_, "is the database itself"}}) {
    SCOPED_TRACE(c.file);
    kt::RunResult r = ovw({"restore", c.file});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
  EXPECT_EQ("not a database at all, just some words\n", kt::readFile(text));

  // A program attached to the session: refused until it has gone.
  {
    kt::Process peer = startPeer();
    kt::RunResult r = ovw({"restore", copy});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("stop the programs")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(std::to_string(peer.pid()))) << r.err;
  }
  EXPECT_NE(std::string::npos, ok({"list"}).find("host \"c\""));

  ASSERT_EQ("", ovw({"restore", copy}).err);
  std::string list = ok({"list"});
  EXPECT_NE(std::string::npos, list.find("host \"a\""));
  EXPECT_NE(std::string::npos, list.find("host \"b\""));
  EXPECT_EQ(std::string::npos, list.find("host \"c\""));
  EXPECT_EQ(0, ovw({"check"}).status);
}

// --- Check --------------------------------------------------------------------------------

TEST_F(OVwDbTest, CheckFindsCorruptionBrokenReferencesAndLooseModes) {
  startMap();
  for (int i = 0; i < 40; ++i) addNode({"node" + std::to_string(i)});
  kt::RunResult fine = ovw({"check"});
  EXPECT_EQ(0, fine.status) << fine.out;
  EXPECT_NE(std::string::npos, fine.out.find("no faults found"));

  // Modes that let other users in.
  ASSERT_EQ(0, chmod(db_path_.c_str(), 0664));
  kt::RunResult loose = ovw({"check"});
  EXPECT_EQ(1, loose.status);
  EXPECT_NE(std::string::npos, loose.out.find(db_path_ + ": mode 0664 lets other users in"))
      << loose.out;
  ASSERT_EQ(0, chmod(db_path_.c_str(), 0660));

  // A value of an object that is not there.
  {
    RawDb raw(db_path_);
    ASSERT_TRUE(raw.exec("PRAGMA foreign_keys = OFF; INSERT INTO field_values VALUES (999, 1, 1)"));
  }
  kt::RunResult dangling = ovw({"check"});
  EXPECT_EQ(1, dangling.status);
  EXPECT_NE(std::string::npos, dangling.out.find("refers to a missing row of objects"))
      << dangling.out;
  {
    RawDb raw(db_path_);
    ASSERT_TRUE(raw.exec("DELETE FROM field_values WHERE object_id = 999"));
  }

  // An index page overwritten: every page in the file, none left in the WAL.
  long page = 0;
  long page_size = 0;
  {
    RawDb raw(db_path_);
    ASSERT_TRUE(raw.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
    page = raw.number("SELECT rootpage FROM sqlite_master WHERE name = 'objects_by_hostname'");
    page_size = raw.number("PRAGMA page_size");
  }
  ASSERT_GT(page, 1);
  {
    std::fstream f(db_path_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((page - 1) * page_size);
    std::string zeros(static_cast<size_t>(page_size), '\0');
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  kt::RunResult corrupt = ovw({"check"});
  EXPECT_EQ(1, corrupt.status);
  EXPECT_NE(std::string::npos, corrupt.out.find("fault: integrity: "))
      << corrupt.out << corrupt.err;
  EXPECT_NE(std::string::npos, corrupt.out.find("fault(s) found")) << corrupt.out;
}

}  // namespace
