// store_test.cc - the database file (versions, upgrade, refusal), the registration files and
// the FIFO wake-ups; what the library reports of a refused database, and the creation of the
// schema by several processes at once, on both back ends.
#include "store.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "ovw_test_util.h"
#include "registration.h"
#include "schema.h"
#include "wake.h"

namespace kestara::ovw {
namespace {

using ovwtest::OVwBackendTest;
using ovwtest::OVwDbTest;
using namespace std::chrono_literals;

// Runs one statement on a file with plain SQLite (as another build or program would).
void rawExec(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
  char *err = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err)) << err;
  sqlite3_free(err);
  sqlite3_close(db);
}

int64_t rawInt(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  int64_t v = -1;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      v = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return v;
}

// --- Versions ---------------------------------------------------------------------------------

TEST_F(OVwDbTest, NewDatabaseGetsCurrentSchemaInWalModeAndItsFolder) {
  std::string path = dir_.file("deeper/still/ovw.db");
  Result<std::unique_ptr<Store>> store = Store::open(path);
  ASSERT_TRUE(store) << store.error().detail;
  EXPECT_EQ(kSchemaVersion, rawInt(path, "PRAGMA user_version"));
  EXPECT_EQ(kApplicationId, rawInt(path, "PRAGMA application_id"));
  EXPECT_EQ(1, rawInt(path, "SELECT count(*) FROM pragma_journal_mode WHERE journal_mode='wal'"));
  Result<std::optional<FieldRow>> node = (*store)->fieldByName("isNode");
  ASSERT_TRUE(node);
  EXPECT_TRUE(node->has_value());
  Result<std::optional<FieldRow>> device = (*store)->fieldByName("isKestaraDevice");
  ASSERT_TRUE(device);
  EXPECT_FALSE(device->has_value());  // only after "ovw -fields"
}

TEST_F(OVwDbTest, OlderDatabaseIsUpgradedKeepingItsData) {
  {
    Result<std::unique_ptr<Store>> v1 = Store::open(db_path_, 1);
    ASSERT_TRUE(v1) << v1.error().detail;
  }
  ASSERT_EQ(1, rawInt(db_path_, "PRAGMA user_version"));
  rawExec(db_path_,
          "INSERT INTO objects(hostname, selection_name) VALUES ('old-host', 'old.sel');"
          "INSERT INTO sessions(name, running, started_at) VALUES ('s:0', 1, 0);");
  // A version-1 database has no posted_us column; opening it with this build adds it.
  EXPECT_EQ(-1, rawInt(db_path_, "SELECT posted_us FROM events LIMIT 0"));

  Result<std::unique_ptr<Store>> store = Store::open(db_path_);
  ASSERT_TRUE(store) << store.error().detail;
  EXPECT_EQ(kSchemaVersion, rawInt(db_path_, "PRAGMA user_version"));
  Result<std::optional<ObjectRow>> o = (*store)->object(1, 0);
  ASSERT_TRUE(o);
  ASSERT_TRUE(o->has_value());
  EXPECT_EQ("old-host", (*o)->hostname.value_or(""));
  EXPECT_EQ("old.sel", (*o)->selection_name.value_or(""));
  // The upgraded queue works: attach and post.
  Result<WakeReceiver> wake = WakeReceiver::create((*store)->wakeDir());
  ASSERT_TRUE(wake);
  Result<Attachment> a = (*store)->attach("s:0", "app", wake->token(), getpid());
  ASSERT_TRUE(a) << a.error().detail;
}

TEST_F(OVwDbTest, NewerOrForeignDatabasesAreRefusedAndLeftAlone) {
  struct Case {
    const char *name;
    std::string setup;
    const char *message;
  };
  const Case cases[] = {
      {"newer",
       "PRAGMA application_id = " + std::to_string(kApplicationId) +
           "; PRAGMA user_version = 99; CREATE TABLE future(x);",
       "newer than this build"},
      {"foreign", "PRAGMA application_id = 7; CREATE TABLE other(x);", "not an OVw database"},
      {"unversioned", "CREATE TABLE objects(id);", "not an OVw database"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.file(std::string(c.name) + ".db");
    rawExec(path, c.setup);
    int64_t version = rawInt(path, "PRAGMA user_version");
    Result<std::unique_ptr<Store>> store = Store::open(path);
    ASSERT_FALSE(store);
    EXPECT_EQ(OVW_ERR_NO_DATABASE, store.error().code);
    EXPECT_NE(std::string::npos, store.error().detail.find(c.message)) << store.error().detail;
    EXPECT_EQ(version, rawInt(path, "PRAGMA user_version"));
    EXPECT_EQ(0, rawInt(path, "SELECT count(*) FROM pragma_journal_mode WHERE journal_mode='wal'"));
  }
  // A file that is no database at all.
  std::string text = dir_.write("notes.db", "these are not the tables you are looking for\n");
  Result<std::unique_ptr<Store>> store = Store::open(text);
  ASSERT_FALSE(store);
  EXPECT_EQ(OVW_ERR_NO_DATABASE, store.error().code);
  EXPECT_EQ("these are not the tables you are looking for\n", kt::readFile(text));
}

TEST_P(OVwBackendTest, LibraryReportsARefusedDatabase) {
  if (onPostgres()) {
    ASSERT_TRUE(openStore(db_path_));
    std::string why;
    const std::string database = db_path_.substr(db_path_.rfind('/') + 1);
    ASSERT_TRUE(server_->query("UPDATE ovw_identity SET version = 99", why, database)) << why;
  } else {
    rawExec(db_path_, "PRAGMA application_id = " + std::to_string(kApplicationId) +
                          "; PRAGMA user_version = 99; CREATE TABLE t(x);");
  }
  EXPECT_EQ(-1, OVwDbInit());
  EXPECT_EQ(OVW_ERR_NO_DATABASE, OVwError());
  EXPECT_NE(nullptr, std::strstr(OVwErrorMsg(OVwError()), "schema version 99"));
  EXPECT_EQ(-1, _OVwInitSession(5, "app", "test:0"));
  EXPECT_EQ(OVW_ERR_NO_DATABASE, OVwError());
}

TEST_P(OVwBackendTest, ProcessesCreatingTheDatabaseAtOnceAgreeOnOneSchema) {
  std::vector<pid_t> children;
  for (int i = 0; i < 4; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto store = openStore(db_path_);
      if (!store) std::fprintf(stderr, "child: %s\n", store.error().detail.c_str());
      _exit(store ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  if (!onPostgres()) {
    EXPECT_EQ(kSchemaVersion, rawInt(db_path_, "PRAGMA user_version"));
  }
  auto store = openStore(db_path_);
  ASSERT_TRUE(store) << store.error().detail;
  auto fields = (*store)->fields();
  ASSERT_TRUE(fields) << fields.error().detail;
  EXPECT_EQ(2u, fields->size());
  auto faults = (*store)->check();
  ASSERT_TRUE(faults) << faults.error().detail;
  EXPECT_TRUE(faults->empty());
}

// --- Registration files -----------------------------------------------------------------------

TEST(OVwRegistration, ParsesFieldsApplicationsAndActions) {
  Registrations r;
  Status s = parseRegistrations(
      "# comment\n"
      "field \"isKestaraDevice\" boolean  # trailing comment\n"
      "field count integer\n"
      "\n"
      "application \"Varnis Console Application\"\n"
      "description \"A \\\"quoted\\\" word\"\n"
      "action \"Start Web Action\" command \"run --web\"\n"
      "action Other\n",
      "test.reg", r);
  ASSERT_TRUE(s) << s.error().detail;
  ASSERT_EQ(2u, r.fields.size());
  EXPECT_EQ("isKestaraDevice", r.fields[0].name);
  EXPECT_EQ(OVW_FIELD_BOOLEAN, r.fields[0].type);
  EXPECT_EQ(OVW_FIELD_INTEGER, r.fields[1].type);
  ASSERT_EQ(1u, r.applications.size());
  EXPECT_EQ("A \"quoted\" word", r.applications[0].description.value_or(""));
  ASSERT_EQ(2u, r.applications[0].actions.size());
  EXPECT_EQ("Start Web Action", r.applications[0].actions[0].name);
  EXPECT_EQ("run --web", r.applications[0].actions[0].command.value_or(""));
  EXPECT_FALSE(r.applications[0].actions[1].command);
}

TEST(OVwRegistration, RejectsMalformedLinesNamingFileAndLine) {
  struct Case {
    const char *text;
    const char *where;
    const char *message;
  };
  const Case cases[] = {
      {"\nfield x\n", "bad.reg:2: ", "expected: field NAME TYPE"},
      {"field x colour\n", "bad.reg:1: ", "unknown field type"},
      {"action \"A\"\n", "bad.reg:1: ", "action before application"},
      {"application \"unterminated\n", "bad.reg:1: ", "closing quote"},
      {"\n\nfrobnicate\n", "bad.reg:3: ", "unknown statement"},
      {"field \"\" boolean\n", "bad.reg:1: ", "is empty"},
      {"application a\naction b command\n", "bad.reg:2: ", "expected: action NAME"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Registrations r;
    Status s = parseRegistrations(c.text, "bad.reg", r);
    ASSERT_FALSE(s);
    const std::string &message = c.message;
    EXPECT_EQ(0u, s.error().detail.rfind(c.where, 0)) << s.error().detail;
    EXPECT_NE(std::string::npos, s.error().detail.find(message)) << s.error().detail;
  }
}

TEST_P(OVwBackendTest, ShippedRegistrationsDefineTheDeviceFieldAndTheConsoleAction) {
  Result<Registrations> reg = readRegistrations({OVW_SOURCE_DIR "/registration"});
  ASSERT_TRUE(reg) << reg.error().detail;
  Result<std::unique_ptr<StoreBackend>> store = openStore(db_path_);
  ASSERT_TRUE(store) << store.error().detail;
  ASSERT_TRUE(loadRegistrations(**store, *reg));
  ASSERT_TRUE(loadRegistrations(**store, *reg));  // again: no change, no error
  Result<std::optional<FieldRow>> f = (*store)->fieldByName("isKestaraDevice");
  ASSERT_TRUE(f);
  ASSERT_TRUE(f->has_value());
  EXPECT_EQ(OVW_FIELD_BOOLEAN, (*f)->type);
  Result<bool> action =
      (*store)->actionRegistered("Varnis Console Application", "Start Web Action");
  ASSERT_TRUE(action);
  EXPECT_TRUE(*action);
  // A field of the same name with another type is refused.
  Registrations clash;
  clash.fields.push_back({"isKestaraDevice", OVW_FIELD_INTEGER});
  Status s = loadRegistrations(**store, clash);
  ASSERT_FALSE(s);
  EXPECT_NE(std::string::npos, s.error().detail.find("another type"));
}

// --- Field values -----------------------------------------------------------------------------

// Writing the value a field already holds changes nothing on disk: a sweep that confirms its
// flags must not grow the WAL. A different value is written.
TEST_F(OVwDbTest, StoringTheSameFieldValueWritesNothing) {
  Result<std::unique_ptr<Store>> store = Store::open(db_path_);
  ASSERT_TRUE(store) << store.error().detail;
  rawExec(db_path_, "INSERT INTO objects(hostname, selection_name) VALUES ('h', 'h.sel')");
  Result<std::optional<FieldRow>> field = (*store)->fieldByName("isNode");
  ASSERT_TRUE(field && field->has_value());
  const uint32_t id = (*field)->id;
  auto set = [&](int64_t value) {
    Result<Txn> txn = (*store)->begin();
    ASSERT_TRUE(txn);
    ASSERT_TRUE((*store)->setFieldValue(1, id, value));
    ASSERT_TRUE(txn->commit());
  };
  auto walSize = [&] {
    struct stat st {};
    return stat((db_path_ + "-wal").c_str(), &st) == 0 ? st.st_size : -1;
  };
  set(1);
  const off_t before = walSize();
  for (int i = 0; i < 20; ++i) set(1);
  EXPECT_EQ(before, walSize());
  set(0);
  EXPECT_LT(before, walSize());
  Result<std::optional<int64_t>> value = (*store)->fieldValue(1, id);
  ASSERT_TRUE(value && value->has_value());
  EXPECT_EQ(0, **value);
}

// --- Wake-ups ---------------------------------------------------------------------------------

TEST_F(OVwDbTest, WakeReachesTheReceiverAndTellsAnEndedOneApart) {
  std::string folder = wakeFolder(db_path_);
  Result<WakeReceiver> r = WakeReceiver::create(folder);
  ASSERT_TRUE(r) << r.error().detail;
  std::string token = r->token();
  EXPECT_TRUE(validWakeToken(token));
  EXPECT_FALSE(r->wait(0ms));
  EXPECT_EQ(WakeOutcome::kWoken, wakeParty(folder, token));
  EXPECT_TRUE(r->wait(1s));
  r->drain();
  EXPECT_FALSE(r->wait(0ms));
  EXPECT_EQ(WakeOutcome::kWoken, probeParty(folder, token));
  EXPECT_FALSE(r->wait(0ms));  // a probe writes nothing

  // Many posts while the receiver sleeps elsewhere: the FIFO fills, posters never block.
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(WakeOutcome::kWoken, wakeParty(folder, token));
  r->drain();

  // A FIFO left behind by a process that ended has no reader.
  std::string stale = std::string(32, 'a');
  ASSERT_EQ(0, mkfifo((folder + "/" + stale).c_str(), 0600));
  EXPECT_EQ(WakeOutcome::kNoReader, wakeParty(folder, stale));
  removeWakeFile(folder, stale);
  EXPECT_EQ(WakeOutcome::kGone, wakeParty(folder, stale));
  { WakeReceiver gone = std::move(*r); }
  EXPECT_EQ(WakeOutcome::kGone, wakeParty(folder, token));
}

// A party that closes its FIFO between the poster's open() and write() must not take the
// poster down with SIGPIPE; a SIGPIPE the caller already had pending is left alone.
TEST(WakeByte, ClosedReaderGivesEpipeAndNoSignal) {
  auto sigpipePending = [] {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
  };
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  ::close(fds[0]);
  errno = 0;
  EXPECT_EQ(-1, writeWakeByte(fds[1]));
  EXPECT_EQ(EPIPE, errno);
  EXPECT_FALSE(sigpipePending());
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));  // the caller's mask is restored

  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
  raise(SIGPIPE);
  EXPECT_EQ(-1, writeWakeByte(fds[1]));
  EXPECT_TRUE(sigpipePending());
  const timespec no_wait{};
  EXPECT_EQ(SIGPIPE, sigtimedwait(&pipe_only, nullptr, &no_wait));
  pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr);
  ::close(fds[1]);
}

TEST_F(OVwDbTest, WakeTokensFromTheDatabaseNeverEscapeTheWakeFolder) {
  std::string folder = wakeFolder(db_path_);
  std::string victim = dir_.write("victim", "unchanged");
  const char *bad[] = {"../victim", "", "ABCDEF0123456789ABCDEF0123456789",
                       "0123456789abcdef0123456789abcde/", "0123456789abcdef0123456789abcdef0"};
  for (const char *token : bad) {
    SCOPED_TRACE(token);
    EXPECT_FALSE(validWakeToken(token));
    EXPECT_EQ(WakeOutcome::kFailed, wakeParty(folder, token));
  }
  // A regular file with a valid name is not written to either.
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  std::string plain = folder + "/" + std::string(32, 'b');
  { std::ofstream(plain) << "plain"; }
  EXPECT_EQ(WakeOutcome::kFailed, wakeParty(folder, std::string(32, 'b')));
  EXPECT_EQ("plain", kt::readFile(plain));
  EXPECT_EQ("unchanged", kt::readFile(victim));
}

OVW_TESTS_ON_EVERY_BACKEND(OVwBackendTest);

}  // namespace
}  // namespace kestara::ovw
