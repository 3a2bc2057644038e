// sqlite_db.cc - the RAII layer over SQLite.
#include "sqlite_db.h"

#include <climits>
#include <utility>

namespace kestara::ovw {

namespace {

// How long a statement waits for another process's lock before it fails.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

// --- Stmt -------------------------------------------------------------------------------

Stmt::Stmt(Stmt &&other) noexcept
    : db_(other.db_), stmt_(other.stmt_), in_use_(other.in_use_), bind_error_(other.bind_error_) {
  other.stmt_ = nullptr;
  other.in_use_ = nullptr;
}

Stmt::~Stmt() {
  if (stmt_ == nullptr) return;
  if (in_use_ == nullptr) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  *in_use_ = false;
}

Stmt &Stmt::bind(int index, int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK && bind_error_ == SQLITE_OK) bind_error_ = rc;
  return *this;
}

Stmt &Stmt::bindText(int index, std::optional<std::string_view> text) {
  if (!text) return bindNull(index);
  if (text->size() > static_cast<size_t>(INT_MAX)) {
    if (bind_error_ == SQLITE_OK) bind_error_ = SQLITE_TOOBIG;
    return *this;
  }
  int rc = sqlite3_bind_text(stmt_, index, text->data(), static_cast<int>(text->size()),
                             SQLITE_TRANSIENT);
  if (rc != SQLITE_OK && bind_error_ == SQLITE_OK) bind_error_ = rc;
  return *this;
}

Stmt &Stmt::bindNull(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK && bind_error_ == SQLITE_OK) bind_error_ = rc;
  return *this;
}

Result<bool> Stmt::step() {
  if (bind_error_ != SQLITE_OK) return db_->lastError("binding a statement", bind_error_);
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return db_->lastError("running a statement", rc);
}

Status Stmt::run() {
  for (;;) {
    Result<bool> r = step();
    if (!r) return r.error();
    if (!*r) return Status::Ok();
  }
}

int64_t Stmt::int64(int column) const { return sqlite3_column_int64(stmt_, column); }

bool Stmt::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::optional<std::string> Stmt::text(int column) const {
  if (isNull(column)) return std::nullopt;
  const unsigned char *p = sqlite3_column_text(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  if (p == nullptr || n <= 0) return std::string();
  return std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(n));
}

// --- Db ---------------------------------------------------------------------------------

Result<std::unique_ptr<Db>> Db::open(const std::string &path) {
  return openWith(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

Result<std::unique_ptr<Db>> Db::openReadOnly(const std::string &path) {
  return openWith(path, SQLITE_OPEN_READONLY);
}

Result<std::unique_ptr<Db>> Db::openWith(const std::string &path, int flags) {
  sqlite3 *handle = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &handle, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string detail = "cannot open " + path + ": " +
                         (handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
    sqlite3_close_v2(handle);
    return makeError(OVW_ERR_NO_DATABASE, detail);
  }
  sqlite3_extended_result_codes(handle, 1);
  sqlite3_busy_timeout(handle, kBusyTimeoutMs);
  return std::unique_ptr<Db>(new Db(handle, path));
}

Db::~Db() {
  for (auto &entry : cache_) sqlite3_finalize(entry.second.stmt);
  cache_.clear();
  sqlite3_close_v2(db_);
}

Result<Stmt> Db::prepare(std::string_view sql) {
  auto it = cache_.find(sql);
  if (it != cache_.end() && !it->second.in_use) {
    it->second.in_use = true;
    return Stmt(this, it->second.stmt, &it->second.in_use);
  }
  if (sql.size() > static_cast<size_t>(INT_MAX))
    return makeError(OVW_ERR_BAD_ARG, "query too long");
  sqlite3_stmt *stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK || stmt == nullptr) {
    sqlite3_finalize(stmt);
    return lastError("preparing a statement", rc);
  }
  if (it != cache_.end()) return Stmt(this, stmt, nullptr);  // the cached one is busy
  auto [slot, inserted] = cache_.emplace(std::string(sql), Cached{stmt, true});
  (void)inserted;
  return Stmt(this, stmt, &slot->second.in_use);
}

Result<Stmt> Db::prepareUncached(std::string_view sql) {
  if (sql.size() > static_cast<size_t>(INT_MAX))
    return makeError(OVW_ERR_BAD_ARG, "query too long");
  sqlite3_stmt *stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK || stmt == nullptr) {
    sqlite3_finalize(stmt);
    return lastError("preparing a statement", rc);
  }
  return Stmt(this, stmt, nullptr);
}

Status Db::exec(const char *sql) {
  char *message = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return Status::Ok();
  std::string detail = message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  int code = (rc & 0xff) == SQLITE_NOTADB ? OVW_ERR_NO_DATABASE : OVW_ERR_DB;
  return makeError(code, path_ + ": " + detail);
}

Result<int64_t> Db::queryInt(std::string_view sql) {
  Result<Stmt> stmt = prepare(sql);
  if (!stmt) return stmt.error();
  Result<bool> row = stmt->step();
  if (!row) return row.error();
  return *row ? stmt->int64(0) : 0;
}

Error Db::lastError(std::string_view what, int rc) const {
  std::string detail(what);
  detail += ": ";
  detail += sqlite3_errstr(rc);
  const char *message = sqlite3_errmsg(db_);
  if (message != nullptr && std::string_view(message) != sqlite3_errstr(rc)) {
    detail += " (";
    detail += message;
    detail += ")";
  }
  int primary = rc & 0xff;
  if (primary == SQLITE_NOMEM) return makeError(OVW_ERR_NOMEM, detail);
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
    return makeError(OVW_ERR_NO_DATABASE, path_ + ": " + detail);
  }
  return makeError(OVW_ERR_DB, detail);
}

// --- Txn --------------------------------------------------------------------------------

Result<Txn> Txn::begin(Db &db) {
  if (!db.group_) {
    OVW_TRY(db.exec("BEGIN IMMEDIATE"));
    return Txn(&db, false);
  }
  if (sqlite3_get_autocommit(db.handle())) {
    // The group's transaction was rolled back by a failure: what it held is lost.
    db.groupLost_ = true;
    OVW_TRY(db.exec("BEGIN IMMEDIATE"));
  }
  OVW_TRY(db.exec("SAVEPOINT ovw_write"));
  return Txn(&db, true);
}

Txn::~Txn() {
  if (db_ == nullptr) return;
  // A failed statement may already have ended the transaction; then there is nothing to undo,
  // but a group has lost its earlier writes.
  if (sqlite3_get_autocommit(db_->handle())) {
    if (savepoint_) db_->groupLost_ = true;
    return;
  }
  (void)db_->exec(savepoint_ ? "ROLLBACK TO ovw_write; RELEASE ovw_write" : "ROLLBACK");
}

Status Txn::commit() {
  Db *db = db_;
  db_ = nullptr;
  if (db == nullptr) return makeError(OVW_ERR_DB, "transaction already finished");
  Status s = db->exec(savepoint_ ? "RELEASE ovw_write" : "COMMIT");
  if (s.ok()) return s;
  if (sqlite3_get_autocommit(db->handle())) {
    if (savepoint_) db->groupLost_ = true;
  } else {
    (void)db->exec(savepoint_ ? "ROLLBACK TO ovw_write; RELEASE ovw_write" : "ROLLBACK");
  }
  return s;
}

Status Db::beginGroup() {
  if (group_) return makeError(OVW_ERR_BAD_ARG, "a write group is already open");
  OVW_TRY(exec("BEGIN IMMEDIATE"));
  group_ = true;
  groupLost_ = false;
  return Status::Ok();
}

Status Db::endGroup() {
  if (!group_) return makeError(OVW_ERR_BAD_ARG, "no write group is open");
  group_ = false;
  bool lost = std::exchange(groupLost_, false);
  if (sqlite3_get_autocommit(db_)) {
    lost = true;
  } else if (Status s = exec("COMMIT"); !s.ok()) {
    if (!sqlite3_get_autocommit(db_)) (void)exec("ROLLBACK");
    return s;
  }
  if (lost) return makeError(OVW_ERR_DB, "writes of the group were rolled back by a failure");
  return Status::Ok();
}

}  // namespace kestara::ovw
