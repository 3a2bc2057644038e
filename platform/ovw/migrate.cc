// migrate.cc - moving a station's object database between an SQLite file and a PostgreSQL
// database: the same tables on both sides, copied row by row with their ids.
#include "migrate.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "pg_db.h"
#include "sqlite_db.h"
#include "store_backend.h"

namespace kestara::ovw {

namespace {

// The tables of this schema version in an order that copies each row after the rows it
// refers to, with their columns, and whether the first column is an id with a counter.
struct Table {
  const char *name;
  const char *columns;
  bool counted;
};
constexpr std::array<Table, 17> kTables = {{
    {"objects", "id, hostname, selection_name", true},
    {"fields", "id, name, type", true},
    {"field_values", "object_id, field_id, value", false},
    {"applications", "name, description", false},
    {"actions", "application, name, command", false},
    {"maps", "id, name", true},
    {"submaps", "id, map_id, name, parent_object_id, layout", true},
    {"symbols",
     "id, submap_id, object_id, type, label, status, variety, flags, application, behavior, "
     "action_application, action",
     true},
    {"symbol_targets", "symbol_id, position, object_id", false},
    {"sessions", "id, name, running, map_id, started_at, ended_at", true},
    {"selections", "session_id, position, object_id", false},
    {"attachments", "id, session_id, application, wake_token, cursor, attached_at, pid", true},
    {"registrations", "attachment_id, event, since", false},
    {"events", "id, session_id, event, map_id, submap_id, posted_us", true},
    {"event_objects",
     "event_id, position, object_id, hostname, selection_name, is_node, is_snmp_supported", false},
    {"map_closes", "close_id, session_id, map_id, wake_token, started_at", false},
    {"map_close_waits", "close_id, attachment_id, acked", false},
}};

size_t columnCount(const Table &t) {
  size_t n = 1;
  for (const char *c = t.columns; *c != '\0'; ++c) n += *c == ',' ? 1 : 0;
  return n;
}

// A row as text values (integers in decimal); nullopt is NULL. Both databases take integers
// given as text into their integer columns.
using Row = std::vector<std::optional<std::string>>;

// One side of a move: the tables' rows and id counters, read in a snapshot or written in one
// transaction.
class Side {
 public:
  virtual ~Side() = default;
  virtual Status beginRead() = 0;
  virtual Status beginWrite() = 0;
  virtual Status commit() = 0;
  virtual Result<std::vector<Row>> rows(const Table &t) = 0;
  virtual Status insert(const Table &t, const Row &row) = 0;
  virtual Status clear(const Table &t) = 0;
  // The highest id ever handed out in the table (0 for none).
  virtual Result<int64_t> counter(const Table &t) = 0;
  virtual Status setCounter(const Table &t, int64_t value) = 0;
};

std::string placeholders(size_t n, bool numbered) {
  std::string text;
  for (size_t i = 1; i <= n; ++i) {
    if (i > 1) text += ", ";
    text += numbered ? "$" + std::to_string(i) : "?";
  }
  return text;
}

class SqliteSide final : public Side {
 public:
  explicit SqliteSide(std::unique_ptr<Db> db) : db_(std::move(db)) {}
  ~SqliteSide() override {
    if (open_) (void)db_->exec("ROLLBACK");
  }
  Status beginRead() override { return begin("BEGIN"); }
  Status beginWrite() override { return begin("BEGIN IMMEDIATE"); }
  Status commit() override {
    open_ = false;
    return db_->exec("COMMIT");
  }
  Result<std::vector<Row>> rows(const Table &t) override {
    const size_t n = columnCount(t);
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepareUncached(std::string("SELECT ") + t.columns + " FROM " +
                                                   t.name + " ORDER BY 1"));
    std::vector<Row> out;
    OVW_TRY(stmt.forEachRow([&] {
      Row row(n);
      for (size_t i = 0; i < n; ++i) row[i] = stmt.text(static_cast<int>(i));
      out.push_back(std::move(row));
    }));
    return out;
  }
  Status insert(const Table &t, const Row &row) override {
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepare(std::string("INSERT INTO ") + t.name + " (" + t.columns +
                                           ") VALUES (" + placeholders(row.size(), false) + ")"));
    for (size_t i = 0; i < row.size(); ++i) stmt.bindText(static_cast<int>(i + 1), row[i]);
    return stmt.run();
  }
  Status clear(const Table &t) override {
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepareUncached(std::string("DELETE FROM ") + t.name));
    return stmt.run();
  }
  Result<int64_t> counter(const Table &t) override {
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT seq FROM sqlite_sequence WHERE name = ?"));
    stmt.bindText(1, t.name);
    OVW_TRY_ASSIGN(bool row, stmt.step());
    return row ? stmt.int64(0) : 0;
  }
  Status setCounter(const Table &t, int64_t value) override {
    OVW_TRY_ASSIGN(Stmt drop, db_->prepare("DELETE FROM sqlite_sequence WHERE name = ?"));
    drop.bindText(1, t.name);
    OVW_TRY(drop.run());
    if (value == 0) return Status::Ok();
    OVW_TRY_ASSIGN(Stmt add, db_->prepare("INSERT INTO sqlite_sequence(name, seq) VALUES (?, ?)"));
    add.bindText(1, t.name).bind(2, value);
    return add.run();
  }

 private:
  Status begin(const char *sql) {
    OVW_TRY(db_->exec(sql));
    open_ = true;
    return Status::Ok();
  }
  std::unique_ptr<Db> db_;
  bool open_ = false;
};

class PgSide final : public Side {
 public:
  explicit PgSide(std::unique_ptr<pg::Connection> c) : c_(std::move(c)) {}
  ~PgSide() override {
    if (open_) (void)c_->run("ROLLBACK");
  }
  Status beginRead() override { return begin("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); }
  // Every writer of the store takes the same lock first (see pg_store.h); a move holds the
  // tables' own locks as well, so that nobody writes beside it.
  Status beginWrite() override {
    OVW_TRY(begin("BEGIN ISOLATION LEVEL READ COMMITTED"));
    std::string tables;
    for (const Table &t : kTables) tables += std::string(tables.empty() ? "" : ", ") + t.name;
    return c_->run("LOCK TABLE " + tables + " IN EXCLUSIVE MODE");
  }
  Status commit() override {
    open_ = false;
    return c_->run("COMMIT");
  }
  Result<std::vector<Row>> rows(const Table &t) override {
    const size_t n = columnCount(t);
    OVW_TRY_ASSIGN(pg::Rows result, c_->exec(std::string("SELECT ") + t.columns + " FROM " +
                                             t.name + " ORDER BY 1"));
    std::vector<Row> out;
    out.reserve(static_cast<size_t>(result.count()));
    for (int r = 0; r < result.count(); ++r) {
      Row row(n);
      for (size_t i = 0; i < n; ++i) row[i] = result.text(r, static_cast<int>(i));
      out.push_back(std::move(row));
    }
    return out;
  }
  Status insert(const Table &t, const Row &row) override {
    return c_->run(std::string("INSERT INTO ") + t.name + " (" + t.columns + ") VALUES (" +
                       placeholders(row.size(), true) + ")",
                   row);
  }
  Status clear(const Table &t) override { return c_->run(std::string("DELETE FROM ") + t.name); }
  Result<int64_t> counter(const Table &t) override {
    const pg::Param name[] = {pg::param(std::string_view(t.name))};
    return c_->queryInt(
        "SELECT COALESCE((SELECT last_value FROM pg_sequences WHERE schemaname = current_schema() "
        "AND sequencename = pg_get_serial_sequence($1, 'id')::regclass::text), 0)",
        name);
  }
  Status setCounter(const Table &t, int64_t value) override {
    // A sequence that has handed nothing out starts again at 1; otherwise it goes on after
    // `value`.
    const pg::Param args[] = {pg::param(std::string_view(t.name)),
                              pg::param(std::max<int64_t>(value, 1)),
                              pg::param(std::string_view(value > 0 ? "true" : "false"))};
    return c_->run("SELECT setval(pg_get_serial_sequence($1, 'id'), $2, $3::boolean)", args);
  }

 private:
  Status begin(const std::string &sql) {
    OVW_TRY(c_->run(sql));
    open_ = true;
    return Status::Ok();
  }
  std::unique_ptr<pg::Connection> c_;
  bool open_ = false;
};

// Opens `location` as the library does (creating or upgrading its schema), then a connection
// of its own for the move.
Result<std::unique_ptr<Side>> openSide(const std::string &location) {
  { OVW_TRY_ASSIGN(std::unique_ptr<StoreBackend> store, openStore(location)); }
  if (isPostgresLocation(location)) {
    OVW_TRY_ASSIGN(std::unique_ptr<pg::Connection> c, pg::Connection::open(location));
    return std::unique_ptr<Side>(new PgSide(std::move(c)));
  }
  OVW_TRY_ASSIGN(std::unique_ptr<Db> db, Db::open(location));
  return std::unique_ptr<Side>(new SqliteSide(std::move(db)));
}

// A database holds a station once it has an object, a map, a session or an event.
Result<bool> holdsStation(Side &side) {
  for (const Table &t : kTables) {
    const std::string_view name = t.name;
    if (name != "objects" && name != "maps" && name != "sessions" && name != "events") continue;
    OVW_TRY_ASSIGN(std::vector<Row> rows, side.rows(t));
    if (!rows.empty()) return true;
  }
  return false;
}

}  // namespace

Result<MigrateCount> migrate(const std::string &from, const std::string &to) {
  if (from == to) return makeError(OVW_ERR_BAD_ARG, "the two databases are one: " + from);
  OVW_TRY_ASSIGN(std::unique_ptr<Side> source, openSide(from));
  OVW_TRY_ASSIGN(std::unique_ptr<Side> target, openSide(to));
  OVW_TRY(source->beginRead());
  OVW_TRY(target->beginWrite());
  OVW_TRY_ASSIGN(bool occupied, holdsStation(*target));
  if (occupied) {
    return makeError(OVW_ERR_BAD_ARG, to + " already holds a station; move into an empty one");
  }
  // What a fresh database starts with (the two standard fields, shipped registrations) makes
  // way for the station's own.
  for (auto t = kTables.rbegin(); t != kTables.rend(); ++t) OVW_TRY(target->clear(*t));
  MigrateCount count;
  for (const Table &t : kTables) {
    OVW_TRY_ASSIGN(std::vector<Row> rows, source->rows(t));
    for (const Row &row : rows) OVW_TRY(target->insert(t, row));
    if (t.counted) {
      OVW_TRY_ASSIGN(int64_t counter, source->counter(t));
      // The counter never goes below an id that is there (a counter of the other kind may
      // lag behind its rows).
      int64_t highest = 0;
      for (const Row &row : rows) {
        int64_t id = 0;
        if (row[0]) (void)std::from_chars(row[0]->data(), row[0]->data() + row[0]->size(), id);
        highest = std::max(highest, id);
      }
      OVW_TRY(target->setCounter(t, std::max(counter, highest)));
    }
    ++count.tables;
    count.rows += static_cast<int64_t>(rows.size());
  }
  OVW_TRY(target->commit());
  OVW_TRY(source->commit());
  return count;
}

}  // namespace kestara::ovw
