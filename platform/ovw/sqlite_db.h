// sqlite_db.h - small RAII layer over SQLite: a connection with a statement cache, statements
// that reset themselves, and write transactions that roll back unless committed.
#ifndef KESTARA_PLATFORM_OVW_SQLITE_DB_H
#define KESTARA_PLATFORM_OVW_SQLITE_DB_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace kestara::ovw {

class Db;

// A prepared statement borrowed from the connection's cache. Bind, then step; the statement is
// reset and its bindings cleared when this object goes.
class Stmt {
 public:
  Stmt(Stmt &&other) noexcept;
  Stmt &operator=(Stmt &&) = delete;
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;
  ~Stmt();

  // Parameters are numbered from 1. A failed bind is reported by the next step().
  Stmt &bind(int index, int64_t value);
  Stmt &bindText(int index, std::optional<std::string_view> text);  // nullopt binds NULL
  Stmt &bindNull(int index);

  // true: a row is ready; false: the statement is done.
  Result<bool> step();
  // Steps to the end, ignoring rows.
  Status run();
  // Steps to the end, calling `visit()` at each row (read it through this statement). Stops at
  // the first error.
  template <typename Visit>
  Status forEachRow(Visit &&visit) {
    for (;;) {
      Result<bool> row = step();
      if (!row) return row.error();
      if (!*row) return Status::Ok();
      visit();
    }
  }

  int64_t int64(int column) const;
  bool isNull(int column) const;
  std::optional<std::string> text(int column) const;

 private:
  friend class Db;
  // `in_use` is the cache entry's flag (cleared again at the end); null for a statement that
  // this object owns and finalizes.
  Stmt(Db *db, sqlite3_stmt *stmt, bool *in_use) : db_(db), stmt_(stmt), in_use_(in_use) {}
  Db *db_;
  sqlite3_stmt *stmt_;
  bool *in_use_;
  int bind_error_ = SQLITE_OK;
};

class Db {
 public:
  // Opens (creating when missing) the database file. Only the connection: no schema work.
  static Result<std::unique_ptr<Db>> open(const std::string &path);
  // Opens an existing database file for reading only.
  static Result<std::unique_ptr<Db>> openReadOnly(const std::string &path);
  ~Db();
  Db(const Db &) = delete;
  Db &operator=(const Db &) = delete;

  sqlite3 *handle() const { return db_; }
  const std::string &path() const { return path_; }

  // A cached statement for `sql` (the text is the cache key). While the cached one is in use
  // (nested queries), a private statement is prepared instead.
  Result<Stmt> prepare(std::string_view sql);
  // A statement that is not cached (for texts built at run time).
  Result<Stmt> prepareUncached(std::string_view sql);
  // Runs one or more statements without results.
  Status exec(const char *sql);
  // The first column of the first row of `sql` as an integer (0 when there is no row).
  Result<int64_t> queryInt(std::string_view sql);
  int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
  int changes() const { return sqlite3_changes(db_); }

  // An Error for the last failure of this connection, with `what` as context.
  Error lastError(std::string_view what, int rc) const;

  // A write group: one transaction (BEGIN IMMEDIATE) in which every Txn begun until endGroup()
  // is a savepoint, so that all their writes commit together. A failure that makes SQLite
  // roll the whole transaction back loses the writes before it; the next Txn opens the group's
  // transaction again, and endGroup() reports the loss.
  Status beginGroup();
  Status endGroup();
  bool inGroup() const { return group_; }

 private:
  friend class Txn;
  static Result<std::unique_ptr<Db>> openWith(const std::string &path, int flags);
  Db(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
  sqlite3 *db_;
  std::string path_;
  bool group_ = false;
  bool groupLost_ = false;  // writes of the open group were rolled back
  struct Cached {
    sqlite3_stmt *stmt = nullptr;
    bool in_use = false;
  };
  std::map<std::string, Cached, std::less<>> cache_;
};

// BEGIN IMMEDIATE ... COMMIT. Takes the write lock at the start (waiting up to the busy time-out),
// so a transaction never fails half-way for want of an upgrade to a write lock.
class Txn {
 public:
  static Result<Txn> begin(Db &db);
  Txn(Txn &&other) noexcept : db_(other.db_), savepoint_(other.savepoint_) { other.db_ = nullptr; }
  Txn &operator=(Txn &&) = delete;
  Txn(const Txn &) = delete;
  Txn &operator=(const Txn &) = delete;
  ~Txn();
  Status commit();

 private:
  Txn(Db *db, bool savepoint) : db_(db), savepoint_(savepoint) {}
  Db *db_;
  bool savepoint_;  // a savepoint within the connection's write group
};

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_SQLITE_DB_H
