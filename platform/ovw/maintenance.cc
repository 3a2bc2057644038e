// maintenance.cc - online backup, restore and the database check.
#include "maintenance.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "descriptor.h"
#include "schema.h"
#include "shared_files.h"
#include "wake.h"

namespace kestara::ovw {

namespace {

// How long a copy waits for a lock that another process holds before it gives up.
constexpr auto kLockPatience = std::chrono::seconds(10);
// Most integrity problems reported.
constexpr int kMaxIntegrityLines = 100;

bool sameFile(const std::string &a, const std::string &b) {
  struct stat sa {};
  struct stat sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool isDatabaseFile(SqliteStore &store, const std::string &path) {
  for (const char *suffix : {"", "-wal", "-shm"}) {
    if (sameFile(path, store.path() + suffix)) return true;
  }
  return false;
}

std::string folderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A temporary file beside its final name, removed unless it was renamed into place.
class PendingFile {
 public:
  explicit PendingFile(const std::string &destination) : final_(destination) {
    std::string pattern = destination + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_.reset(mkostemp(name.data(), O_CLOEXEC));
    if (fd_.ok()) path_ = name.data();
  }
  PendingFile(const PendingFile &) = delete;
  PendingFile &operator=(const PendingFile &) = delete;
  ~PendingFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  int fd() const { return fd_.get(); }
  const std::string &path() const { return path_; }

  // Makes the file durable and gives it its final name.
  Status commit() {
    if (fsync(fd_.get()) != 0) return failure("cannot write");
    if (rename(path_.c_str(), final_.c_str()) != 0) return failure("cannot rename to " + final_);
    path_.clear();
    const platform::Descriptor dir(
        open(folderOf(final_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok()) (void)fsync(dir.get());
    return Status::Ok();
  }

 private:
  Error failure(const std::string &what) const {
    return makeError(OVW_ERR_DB, what + " " + path_ + ": " + std::strerror(errno));
  }
  std::string final_;
  std::string path_;
  platform::Descriptor fd_;
};

// Copies every page of `from` into `to` in one step, waiting (bounded) for locks.
Status copyPages(Db &to, Db &from) {
  sqlite3_backup *backup = sqlite3_backup_init(to.handle(), "main", from.handle(), "main");
  if (backup == nullptr) return to.lastError("starting the copy", sqlite3_errcode(to.handle()));
  auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  int rc;
  for (;;) {
    rc = sqlite3_backup_step(backup, -1);
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || std::chrono::steady_clock::now() > deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int finished = sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) return to.lastError("copying the database", rc);
  if (finished != SQLITE_OK) return to.lastError("copying the database", finished);
  return Status::Ok();
}

// Faults of one file of the database: access for others, or not for the owner and the group.
void checkMode(const std::string &path, const struct stat &st, gid_t group,
               std::vector<std::string> &faults) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  bool folder = S_ISDIR(st.st_mode);
  mode_t needed = folder ? (S_IRWXU | S_IRWXG) : (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP);
  if ((st.st_mode & S_IRWXO) != 0) {
    faults.push_back(path + ": mode " + mode + " lets other users in (want " +
                     (folder ? "2770" : "0660") + ")");
  }
  if ((st.st_mode & needed) != needed) {
    faults.push_back(path + ": mode " + mode + " keeps its owner or group out (want " +
                     (folder ? "2770" : "0660") + ")");
  }
  if (folder && (st.st_mode & S_ISGID) == 0) {
    faults.push_back(path + ": mode " + mode + " has no setgid bit (want 2770)");
  }
  if (st.st_gid != group) {
    faults.push_back(path + ": group " + groupName(st.st_gid) + " is not the database's group " +
                     groupName(group));
  }
}

void checkFiles(SqliteStore &store, std::vector<std::string> &faults) {
  struct stat db {};
  if (stat(store.path().c_str(), &db) != 0) {
    faults.push_back(store.path() + ": " + std::strerror(errno));
    return;
  }
  for (const char *suffix : {"", "-wal", "-shm"}) {
    std::string path = store.path() + suffix;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode)) {
      faults.push_back(path + ": not a regular file");
      continue;
    }
    checkMode(path, st, db.st_gid, faults);
  }
  const std::string &wake = store.wakeDir();
  struct stat st {};
  if (lstat(wake.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    faults.push_back(wake + ": not a folder");
    return;
  }
  checkMode(wake, st, db.st_gid, faults);
  DIR *dir = opendir(wake.c_str());
  if (dir == nullptr) {
    faults.push_back(wake + ": " + std::strerror(errno));
    return;
  }
  while (dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = wake + "/" + name;
    struct stat fifo {};
    if (lstat(path.c_str(), &fifo) != 0) continue;  // its process ended meanwhile
    if (!S_ISFIFO(fifo.st_mode) || !validWakeToken(name)) {
      faults.push_back(path + ": not a wake-up FIFO");
      continue;
    }
    checkMode(path, fifo, db.st_gid, faults);
  }
  closedir(dir);
}

// Runs one checking statement, calling `row` for each row. Damage that stops the statement
// itself is a fault too; any other failure is an error.
template <typename Row>
Status runCheck(SqliteStore &store, const std::string &sql, std::vector<std::string> &faults,
                Row &&row) {
  Result<Stmt> stmt = store.db().prepareUncached(sql);
  Status s = stmt ? stmt->forEachRow([&] { row(*stmt); }) : Status(stmt.error());
  if (!s && s.error().code == OVW_ERR_NO_DATABASE) {
    faults.push_back("integrity: " + s.error().detail);
    return Status::Ok();
  }
  return s;
}

}  // namespace

Status backupDatabase(SqliteStore &store, const std::string &destination) {
  if (destination.empty()) return makeError(OVW_ERR_BAD_ARG, "no file named for the copy");
  if (isDatabaseFile(store, destination)) {
    return makeError(OVW_ERR_BAD_ARG, destination + " is the database itself");
  }
  PendingFile file(destination);
  if (file.fd() < 0) {
    return makeError(OVW_ERR_DB,
                     "cannot create a file beside " + destination + ": " + std::strerror(errno));
  }
  if (fchmod(file.fd(), kSharedFileMode) != 0) {
    return makeError(OVW_ERR_DB,
                     "cannot set the mode of " + file.path() + ": " + std::strerror(errno));
  }
  {
    Result<std::unique_ptr<Db>> copy = Db::open(file.path());
    if (!copy) return copy.error();
    OVW_TRY(copyPages(**copy, store.db()));
    // The pages came from a WAL database: make the copy one file that needs nothing beside it.
    OVW_TRY((*copy)->exec("PRAGMA journal_mode = DELETE"));
    Result<Stmt> quick = (*copy)->prepare("PRAGMA quick_check");
    if (!quick) return quick.error();
    Result<bool> row = quick->step();
    if (!row) return row.error();
    if (!*row || quick->text(0).value_or("") != "ok") {
      return makeError(OVW_ERR_DB, "the copy in " + file.path() + " does not pass its check");
    }
  }
  return file.commit();
}

Status restoreDatabase(SqliteStore &store, const std::string &source) {
  if (isDatabaseFile(store, source)) {
    return makeError(OVW_ERR_BAD_ARG, source + " is the database itself");
  }
  Result<std::unique_ptr<Db>> from = Db::openReadOnly(source);
  if (!from) return from.error();
  OVW_TRY(checkExistingDatabase(**from));
  OVW_TRY(store.reclaimDeadAttachments());
  Result<Stmt> attached = store.db().prepare("SELECT application, pid FROM attachments");
  if (!attached) return attached.error();
  std::string users;
  OVW_TRY(attached->forEachRow([&] {
    users += (users.empty() ? "" : ", ") + std::string("\"") + attached->text(0).value_or("") +
             "\" (pid " + std::to_string(attached->int64(1)) + ")";
  }));
  if (!users.empty()) {
    return makeError(OVW_ERR_DB, "attached to a map session: " + users +
                                     "; stop the programs that use the database first");
  }
  return copyPages(store.db(), **from);
}

Result<std::vector<std::string>> checkDatabase(SqliteStore &store) {
  std::vector<std::string> faults;
  std::vector<std::string> lines;
  OVW_TRY(runCheck(store, "PRAGMA integrity_check(" + std::to_string(kMaxIntegrityLines) + ")",
                   faults, [&](Stmt &s) { lines.push_back(s.text(0).value_or("")); }));
  if (!lines.empty() && !(lines.size() == 1 && lines[0] == "ok")) {
    for (const std::string &line : lines) faults.push_back("integrity: " + line);
  }
  OVW_TRY(runCheck(store, "PRAGMA foreign_key_check", faults, [&](Stmt &s) {
    faults.push_back("foreign key: row " + std::to_string(s.int64(1)) + " of " +
                     s.text(0).value_or("?") + " refers to a missing row of " +
                     s.text(2).value_or("?"));
  }));
  checkFiles(store, faults);
  return faults;
}

}  // namespace kestara::ovw
