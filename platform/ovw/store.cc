// store.cc - the OVw store on SQLite: the database operations.
#include "store.h"

#include <algorithm>
#include <set>
#include <utility>

#include "maintenance.h"
#include "shared_files.h"
#include "wake.h"

namespace kestara::ovw {

namespace {

constexpr int64_t kMaxId32 = 4294967295;

// Runs `stmt` expecting at most one row with one integer column.
Result<std::optional<int64_t>> oneInt(Stmt &stmt) {
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row || stmt.isNull(0)) return std::optional<int64_t>();
  return std::optional<int64_t>(stmt.int64(0));
}

// The 32-bit ids in the first column of every row of `stmt`.
Result<std::vector<uint32_t>> idsOf(Stmt &stmt) {
  std::vector<uint32_t> ids;
  OVW_TRY(stmt.forEachRow([&] { ids.push_back(static_cast<uint32_t>(stmt.int64(0))); }));
  return ids;
}

Error notFound(std::string detail) { return makeError(OVW_ERR_NOT_FOUND, std::move(detail)); }

// The last event id ever given (ids are never reused).
constexpr const char *kLastEventId =
    "SELECT COALESCE((SELECT seq FROM sqlite_sequence WHERE name = 'events'), 0)";

// Insert ids are checked against the 32-bit range by the tables' CHECK constraints; this turns
// the constraint failure into a readable error.
Error insertError(const Error &e, std::string_view what) {
  if (e.detail.find("CHECK constraint") != std::string::npos) {
    return makeError(OVW_ERR_DB, "no free " + std::string(what) + " id left");
  }
  return e;
}

}  // namespace

Result<std::unique_ptr<SqliteStore>> SqliteStore::open(const std::string &path,
                                                       int schema_version) {
  OVW_TRY_ASSIGN(std::unique_ptr<Db> db, openDatabase(path, schema_version));
  OVW_TRY_ASSIGN(gid_t group, groupOf(path));
  return std::unique_ptr<SqliteStore>(new SqliteStore(std::move(db), wakeFolder(path), group));
}

// --- Transactions -------------------------------------------------------------------------

namespace {

class SqliteTransaction final : public Transaction {
 public:
  explicit SqliteTransaction(Txn txn) : txn_(std::move(txn)) {}
  Status commit() override { return txn_.commit(); }

 private:
  Txn txn_;
};

// A deferred read transaction (BEGIN): the reads see one moment until it ends.
class ReadTransaction final : public Transaction {
 public:
  explicit ReadTransaction(Db &db) : db_(&db) {}
  ReadTransaction(const ReadTransaction &) = delete;
  ReadTransaction &operator=(const ReadTransaction &) = delete;
  ~ReadTransaction() override { (void)commit(); }
  Status commit() override {
    if (db_ == nullptr) return Status::Ok();
    Db *db = std::exchange(db_, nullptr);
    return db->exec("COMMIT");
  }

 private:
  Db *db_;
};

// Wake-ups through a FIFO in the wake folder.
class FifoWakeSource final : public WakeSource {
 public:
  explicit FifoWakeSource(WakeReceiver receiver) : receiver_(std::move(receiver)) {}
  const std::string &token() const override { return receiver_.token(); }
  int fd() const override { return receiver_.fd(); }
  void drain() override { receiver_.drain(); }
  bool wait(std::optional<std::chrono::milliseconds> timeout) override {
    return receiver_.wait(timeout);
  }

 private:
  WakeReceiver receiver_;
};

}  // namespace

Result<std::unique_ptr<Transaction>> SqliteStore::transaction() {
  OVW_TRY_ASSIGN(Txn txn, begin());
  return std::unique_ptr<Transaction>(std::make_unique<SqliteTransaction>(std::move(txn)));
}

Result<std::unique_ptr<Transaction>> SqliteStore::readTransaction() {
  OVW_TRY(db_->exec("BEGIN"));
  return std::unique_ptr<Transaction>(std::make_unique<ReadTransaction>(*db_));
}

Result<std::unique_ptr<WakeSource>> SqliteStore::wakeSource() {
  OVW_TRY_ASSIGN(WakeReceiver receiver, WakeReceiver::create(wake_dir_, group_));
  return std::unique_ptr<WakeSource>(std::make_unique<FifoWakeSource>(std::move(receiver)));
}

// --- Wake-ups ---------------------------------------------------------------------------

Status SqliteStore::endGroup() {
  Status s = db_->endGroup();
  // Parties are woken whatever the outcome: they read what is committed.
  wake(deferred_);
  return s;
}

void SqliteStore::abandonGroup() {
  if (!db_->inGroup()) return;
  (void)db_->exec("ROLLBACK");
  (void)endGroup();
}

void SqliteStore::wake(Wakes &wakes) {
  if (db_->inGroup()) {
    deferred_.tokens.insert(deferred_.tokens.end(), wakes.tokens.begin(), wakes.tokens.end());
    wakes.tokens.clear();
    return;
  }
  std::set<std::string> seen;
  std::vector<std::pair<int64_t, std::string>> dead;
  for (const std::string &token : wakes.tokens) {
    if (!seen.insert(token).second) continue;
    WakeOutcome outcome = wakeParty(wake_dir_, token);
    if (outcome == WakeOutcome::kNoReader || outcome == WakeOutcome::kGone) {
      dead.emplace_back(0, token);
    }
  }
  wakes.tokens.clear();
  if (!dead.empty()) (void)removeAttachments(dead);
}

Status SqliteStore::reclaimDeadAttachments() {
  std::vector<std::pair<int64_t, std::string>> dead;
  {
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, wake_token FROM attachments"));
    OVW_TRY(stmt.forEachRow([&] {
      std::string token = stmt.text(1).value_or("");
      WakeOutcome outcome = probeParty(wake_dir_, token);
      if (outcome == WakeOutcome::kNoReader || outcome == WakeOutcome::kGone ||
          !validWakeToken(token)) {
        dead.emplace_back(stmt.int64(0), token);
      }
    }));
  }
  if (dead.empty()) return Status::Ok();
  return removeAttachments(dead);
}

// Removes attachments by id (or, for id 0, by wake token) and wakes the map closers that were
// waiting for them.
Status SqliteStore::removeAttachments(const std::vector<std::pair<int64_t, std::string>> &dead) {
  Wakes closers;
  {
    OVW_TRY_ASSIGN(Txn txn, begin());
    for (const auto &[id, token] : dead) {
      int64_t attachment = id;
      if (attachment == 0) {
        OVW_TRY_ASSIGN(Stmt find, db_->prepare("SELECT id FROM attachments WHERE wake_token = ?"));
        find.bindText(1, token);
        OVW_TRY_ASSIGN(std::optional<int64_t> found, oneInt(find));
        if (!found) continue;  // a map closer's token, or already removed
        attachment = *found;
      }
      OVW_TRY(collectCloserWakes(attachment, closers));
      OVW_TRY_ASSIGN(Stmt del, db_->prepare("DELETE FROM attachments WHERE id = ?"));
      del.bind(1, attachment);
      OVW_TRY(del.run());
    }
    OVW_TRY(txn.commit());
  }
  for (const auto &entry : dead) removeWakeFile(wake_dir_, entry.second);
  wake(closers);
  return Status::Ok();
}

Status SqliteStore::collectCloserWakes(int64_t attachment_id, Wakes &wakes) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("SELECT DISTINCT c.wake_token FROM map_closes c JOIN map_close_waits w "
                   "ON w.close_id = c.close_id WHERE w.attachment_id = ? AND w.acked = 0"));
  stmt.bind(1, attachment_id);
  return stmt.forEachRow([&] { wakes.tokens.push_back(stmt.text(0).value_or("")); });
}

// --- Fields -----------------------------------------------------------------------------

Result<std::optional<FieldRow>> SqliteStore::fieldByName(std::string_view name) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, name, type FROM fields WHERE name = ?"));
  stmt.bindText(1, name);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<FieldRow>();
  return std::optional<FieldRow>(FieldRow{static_cast<uint32_t>(stmt.int64(0)),
                                          stmt.text(1).value_or(""),
                                          static_cast<int>(stmt.int64(2))});
}

Result<std::optional<FieldRow>> SqliteStore::fieldById(uint32_t id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, name, type FROM fields WHERE id = ?"));
  stmt.bind(1, id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<FieldRow>();
  return std::optional<FieldRow>(FieldRow{static_cast<uint32_t>(stmt.int64(0)),
                                          stmt.text(1).value_or(""),
                                          static_cast<int>(stmt.int64(2))});
}

Result<std::vector<FieldRow>> SqliteStore::fields() {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, name, type FROM fields ORDER BY id"));
  std::vector<FieldRow> out;
  OVW_TRY(stmt.forEachRow([&] {
    out.push_back(FieldRow{static_cast<uint32_t>(stmt.int64(0)), stmt.text(1).value_or(""),
                           static_cast<int>(stmt.int64(2))});
  }));
  return out;
}

Status SqliteStore::defineField(std::string_view name, int type) {
  OVW_TRY(checkText("field name", name));
  if (type < OVW_FIELD_INTEGER || type > OVW_FIELD_ENUM) {
    return makeError(OVW_ERR_BAD_ARG, "unknown field type");
  }
  OVW_TRY_ASSIGN(std::optional<FieldRow> existing, fieldByName(name));
  if (existing) {
    if (existing->type != type) {
      return makeError(OVW_ERR_BAD_ARG,
                       "field \"" + std::string(name) + "\" is already defined with another type");
    }
    return Status::Ok();
  }
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("INSERT INTO fields(name, type) VALUES (?, ?)"));
  stmt.bindText(1, name).bind(2, type);
  Status s = stmt.run();
  if (!s) return insertError(s.error(), "field");
  return Status::Ok();
}

Result<std::optional<int64_t>> SqliteStore::fieldValue(uint32_t object, uint32_t field) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("SELECT value FROM field_values WHERE object_id = ? AND field_id = ?"));
  stmt.bind(1, object).bind(2, field);
  return oneInt(stmt);
}

Status SqliteStore::setFieldValue(uint32_t object, uint32_t field, int64_t value) {
  // A value that is already stored is left as it is: no page is written, so sweeps that
  // confirm what the database holds don't grow the WAL or bring on checkpoints.
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("INSERT INTO field_values(object_id, field_id, value) VALUES (?, ?, ?) "
                   "ON CONFLICT(object_id, field_id) DO UPDATE SET value = excluded.value "
                   "WHERE field_values.value IS NOT excluded.value"));
  stmt.bind(1, object).bind(2, field).bind(3, value);
  return stmt.run();
}

// --- Objects ----------------------------------------------------------------------------

Result<bool> SqliteStore::objectExists(uint32_t id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT 1 FROM objects WHERE id = ?"));
  stmt.bind(1, id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  return row;
}

Result<std::optional<ObjectRow>> SqliteStore::object(uint32_t id, int32_t map_id) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare(
          "SELECT o.id, o.hostname, o.selection_name, "
          " COALESCE((SELECT v.value <> 0 FROM field_values v JOIN fields f ON f.id = v.field_id "
          "   WHERE v.object_id = o.id AND f.name = 'isNode'), 0), "
          " COALESCE((SELECT v.value <> 0 FROM field_values v JOIN fields f ON f.id = v.field_id "
          "   WHERE v.object_id = o.id AND f.name = 'isSNMPSupported'), 0), "
          " COALESCE((SELECT s.id FROM submaps s"
          "   WHERE s.map_id = ?2 AND s.parent_object_id = o.id), 0) "
          "FROM objects o WHERE o.id = ?1"));
  stmt.bind(1, id).bind(2, map_id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<ObjectRow>();
  ObjectRow o;
  o.id = static_cast<uint32_t>(stmt.int64(0));
  o.hostname = stmt.text(1);
  o.selection_name = stmt.text(2);
  o.is_node = stmt.int64(3) != 0;
  o.is_snmp_supported = stmt.int64(4) != 0;
  o.child_submap = static_cast<uint32_t>(stmt.int64(5));
  return std::optional<ObjectRow>(std::move(o));
}

Result<std::optional<ObjectRow>> SqliteStore::objectNames(uint32_t id) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("SELECT hostname, selection_name FROM objects WHERE id = ?"));
  stmt.bind(1, id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<ObjectRow>();
  ObjectRow o;
  o.id = id;
  o.hostname = stmt.text(0);
  o.selection_name = stmt.text(1);
  return std::optional<ObjectRow>(std::move(o));
}

Result<uint32_t> SqliteStore::objectIdByName(bool hostname, std::string_view name) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare(hostname ? "SELECT MIN(id) FROM objects WHERE hostname = ?"
                                       : "SELECT MIN(id) FROM objects WHERE selection_name = ?"));
  stmt.bindText(1, name);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row || stmt.isNull(0)) return uint32_t{0};
  return static_cast<uint32_t>(stmt.int64(0));
}

namespace {

// SELECT of the object ids matching a filter; parameters are bound by bindFilterQuery.
std::string filterQuery(const Filter &filter, bool on_map, bool one_object) {
  std::string sql = "SELECT o.id FROM objects o WHERE 1";
  if (one_object) sql += " AND o.id = ?";
  if (on_map) {
    sql +=
        " AND EXISTS (SELECT 1 FROM symbols s JOIN submaps sm ON sm.id = s.submap_id"
        " WHERE s.object_id = o.id AND sm.map_id = ?)";
  }
  for (const FilterTerm &t : filter) {
    if (t.type == OVW_FIELD_BOOLEAN) {
      sql += t.value != 0 ? " AND EXISTS" : " AND NOT EXISTS";
      sql +=
          " (SELECT 1 FROM field_values v WHERE v.object_id = o.id AND v.field_id = ?"
          " AND v.value <> 0)";
    } else {
      sql +=
          " AND EXISTS (SELECT 1 FROM field_values v WHERE v.object_id = o.id"
          " AND v.field_id = ? AND v.value = ?)";
    }
  }
  sql += " ORDER BY o.id";
  return sql;
}

void bindFilterQuery(Stmt &stmt, const Filter &filter, int32_t map_id, uint32_t object) {
  int i = 1;
  if (object != 0) stmt.bind(i++, object);
  if (map_id != 0) stmt.bind(i++, map_id);
  for (const FilterTerm &t : filter) {
    stmt.bind(i++, t.field_id);
    if (t.type != OVW_FIELD_BOOLEAN) stmt.bind(i++, t.value);
  }
}

}  // namespace

Result<std::vector<uint32_t>> SqliteStore::findObjects(const Filter &filter, int32_t map_id) {
  std::string sql = filterQuery(filter, map_id != 0, false);
  // Few shapes are common (one or two boolean terms); longer ones are not kept.
  OVW_TRY_ASSIGN(Stmt stmt, filter.size() <= 2 ? db_->prepare(sql) : db_->prepareUncached(sql));
  bindFilterQuery(stmt, filter, map_id, 0);
  return idsOf(stmt);
}

Result<bool> SqliteStore::objectMatches(uint32_t id, const Filter &filter) {
  if (id == 0) return false;
  std::string sql = filterQuery(filter, false, true);
  OVW_TRY_ASSIGN(Stmt stmt, filter.size() <= 2 ? db_->prepare(sql) : db_->prepareUncached(sql));
  bindFilterQuery(stmt, filter, 0, id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  return row;
}

Result<uint32_t> SqliteStore::createObject(std::optional<std::string_view> hostname,
                                           std::optional<std::string_view> selection_name,
                                           std::span<const std::pair<uint32_t, int64_t>> values,
                                           Wakes &wakes) {
  if (hostname) OVW_TRY(checkText("host name", *hostname));
  if (selection_name) OVW_TRY(checkText("selection name", *selection_name));
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("INSERT INTO objects(hostname, selection_name) VALUES (?, ?)"));
  stmt.bindText(1, hostname).bindText(2, selection_name);
  Status s = stmt.run();
  if (!s) return insertError(s.error(), "object");
  int64_t id = db_->lastInsertId();
  if (id < 1 || id > kMaxId32) return makeError(OVW_ERR_DB, "no free object id left");
  auto object = static_cast<uint32_t>(id);
  for (const auto &[field, value] : values) {
    OVW_TRY_ASSIGN(std::optional<FieldRow> f, fieldById(field));
    if (!f) return notFound("no field with id " + std::to_string(field));
    OVW_TRY(setFieldValue(object, field, f->type == OVW_FIELD_BOOLEAN ? value != 0 : value));
  }
  OVW_TRY_ASSIGN(std::optional<ObjectRow> row, this->object(object, 0));
  std::vector<ObjectRow> list;
  if (row) list.push_back(*row);
  OVW_TRY(postEvent(OVW_EVENT_OBJECT_CREATED, 0, 0, 0, list, wakes).status());
  return object;
}

Status SqliteStore::deleteObjects(std::span<const uint32_t> ids, Wakes &wakes) {
  if (ids.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many objects");
  std::vector<ObjectRow> gone;
  std::set<uint32_t> seen;
  for (uint32_t id : ids) {
    if (!seen.insert(id).second) continue;
    OVW_TRY_ASSIGN(std::optional<ObjectRow> row, object(id, 0));
    if (!row) return notFound("no object " + std::to_string(id));
    gone.push_back(*row);
  }
  for (const ObjectRow &o : gone) {
    OVW_TRY_ASSIGN(Stmt del, db_->prepare("DELETE FROM objects WHERE id = ?"));
    del.bind(1, o.id);
    OVW_TRY(del.run());
  }
  if (gone.empty()) return Status::Ok();
  OVW_TRY(postEvent(OVW_EVENT_OBJECTS_DELETED, 0, 0, 0, gone, wakes).status());
  return Status::Ok();
}

Result<std::optional<uint32_t>> SqliteStore::objectByHostname(std::string_view hostname) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("SELECT id FROM objects WHERE hostname = ? ORDER BY id LIMIT 1"));
  stmt.bindText(1, hostname);
  OVW_TRY_ASSIGN(std::optional<int64_t> id, oneInt(stmt));
  if (!id) return std::optional<uint32_t>();
  return std::optional<uint32_t>(static_cast<uint32_t>(*id));
}

// --- Maps, submaps, symbols -------------------------------------------------------------

namespace {

constexpr const char *kMapColumns =
    "SELECT m.id, m.name, COALESCE((SELECT s.id FROM submaps s WHERE s.map_id = m.id "
    "AND s.parent_object_id IS NULL), 0) FROM maps m ";

Result<std::optional<MapRow>> readMap(Stmt &stmt) {
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<MapRow>();
  return std::optional<MapRow>(MapRow{static_cast<int32_t>(stmt.int64(0)),
                                      stmt.text(1).value_or(""),
                                      static_cast<uint32_t>(stmt.int64(2))});
}

}  // namespace

Result<std::optional<MapRow>> SqliteStore::mapById(int32_t id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare(std::string(kMapColumns) + "WHERE m.id = ?"));
  stmt.bind(1, id);
  return readMap(stmt);
}

Result<std::optional<MapRow>> SqliteStore::mapByName(std::string_view name) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare(std::string(kMapColumns) + "WHERE m.name = ?"));
  stmt.bindText(1, name);
  return readMap(stmt);
}

Result<MapRow> SqliteStore::mapNamed(std::string_view name) {
  OVW_TRY(checkText("map name", name));
  OVW_TRY_ASSIGN(std::optional<MapRow> existing, mapByName(name));
  if (existing) return *existing;
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("INSERT INTO maps(name) VALUES (?)"));
  stmt.bindText(1, name);
  Status s = stmt.run();
  if (!s) return insertError(s.error(), "map");
  auto map_id = static_cast<int32_t>(db_->lastInsertId());
  OVW_TRY_ASSIGN(uint32_t root, createSubmap(map_id, "Root", 0));
  return MapRow{map_id, std::string(name), root};
}

Result<std::optional<SubmapRow>> SqliteStore::submap(uint32_t id) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("SELECT id, map_id, name, layout, COALESCE(parent_object_id, 0) FROM "
                              "submaps WHERE id = ?"));
  stmt.bind(1, id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<SubmapRow>();
  return std::optional<SubmapRow>(
      SubmapRow{static_cast<uint32_t>(stmt.int64(0)), static_cast<int32_t>(stmt.int64(1)),
                stmt.text(2).value_or(""), static_cast<int>(stmt.int64(3)),
                static_cast<uint32_t>(stmt.int64(4))});
}

Result<uint32_t> SqliteStore::submapOfObject(int32_t map_id, uint32_t object) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("SELECT id FROM submaps WHERE map_id = ? AND parent_object_id = ?"));
  stmt.bind(1, map_id).bind(2, object);
  OVW_TRY_ASSIGN(std::optional<int64_t> id, oneInt(stmt));
  return static_cast<uint32_t>(id.value_or(0));
}

Result<uint32_t> SqliteStore::createSubmap(int32_t map_id, std::string_view name,
                                           uint32_t parent_object) {
  OVW_TRY(checkText("submap name", name, true));
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("INSERT INTO submaps(map_id, name, parent_object_id) VALUES (?, ?, ?)"));
  stmt.bind(1, map_id).bindText(2, name);
  if (parent_object != 0) {
    stmt.bind(3, parent_object);
  } else {
    stmt.bindNull(3);
  }
  Status s = stmt.run();
  if (!s) return insertError(s.error(), "submap");
  return static_cast<uint32_t>(db_->lastInsertId());
}

namespace {

constexpr const char *kSymbolColumns =
    "SELECT s.id, s.submap_id, s.object_id, s.type, s.label, s.status, s.variety, s.flags, "
    "s.application, s.behavior, s.action FROM symbols s ";

}  // namespace

Result<std::vector<SymbolRow>> SqliteStore::symbolsWhere(Stmt &stmt) {
  std::vector<SymbolRow> out;
  OVW_TRY(stmt.forEachRow([&] {
    SymbolRow s;
    s.id = static_cast<uint32_t>(stmt.int64(0));
    s.submap_id = static_cast<uint32_t>(stmt.int64(1));
    s.object_id = static_cast<uint32_t>(stmt.int64(2));
    s.type = stmt.text(3).value_or("");
    s.label = stmt.text(4).value_or("");
    s.status = static_cast<int>(stmt.int64(5));
    s.variety = static_cast<int>(stmt.int64(6));
    s.flags = static_cast<int>(stmt.int64(7));
    s.application = stmt.text(8);
    s.behavior = static_cast<int>(stmt.int64(9));
    s.action = stmt.text(10);
    out.push_back(std::move(s));
  }));
  for (SymbolRow &s : out) {
    OVW_TRY_ASSIGN(
        Stmt targets,
        db_->prepare("SELECT object_id FROM symbol_targets WHERE symbol_id = ? ORDER BY position"));
    targets.bind(1, s.id);
    OVW_TRY_ASSIGN(std::vector<uint32_t> ids, idsOf(targets));
    s.targets = std::move(ids);
  }
  return out;
}

Result<std::optional<SymbolRow>> SqliteStore::symbol(uint32_t id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare(std::string(kSymbolColumns) + "WHERE s.id = ?"));
  stmt.bind(1, id);
  OVW_TRY_ASSIGN(std::vector<SymbolRow> rows, symbolsWhere(stmt));
  if (rows.empty()) return std::optional<SymbolRow>();
  return std::optional<SymbolRow>(std::move(rows.front()));
}

Result<std::vector<SymbolRow>> SqliteStore::symbolsOnSubmap(
    uint32_t submap, std::optional<std::string_view> application) {
  if (application) {
    OVW_TRY_ASSIGN(Stmt stmt,
                   db_->prepare(std::string(kSymbolColumns) +
                                "WHERE s.submap_id = ? AND s.application = ? ORDER BY s.id"));
    stmt.bind(1, submap).bindText(2, *application);
    return symbolsWhere(stmt);
  }
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare(std::string(kSymbolColumns) + "WHERE s.submap_id = ? ORDER BY s.id"));
  stmt.bind(1, submap);
  return symbolsWhere(stmt);
}

Result<std::vector<SymbolRow>> SqliteStore::symbolsOfObject(int32_t map_id, uint32_t object) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare(std::string(kSymbolColumns) +
                                         "JOIN submaps sm ON sm.id = s.submap_id "
                                         "WHERE s.object_id = ? AND sm.map_id = ? ORDER BY s.id"));
  stmt.bind(1, object).bind(2, map_id);
  return symbolsWhere(stmt);
}

Result<uint32_t> SqliteStore::createSymbol(uint32_t submap, uint32_t object, std::string_view type,
                                           std::string_view label, int status, int variety,
                                           int flags, std::optional<std::string_view> application) {
  OVW_TRY(checkText("symbol type", type));
  OVW_TRY(checkText("label", label, true));
  if (application) OVW_TRY(checkText("application name", *application));
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("INSERT INTO symbols(submap_id, object_id, type, label, status, variety, flags, "
                   "application) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
  stmt.bind(1, submap).bind(2, object).bindText(3, type).bindText(4, label);
  stmt.bind(5, status).bind(6, variety).bind(7, flags).bindText(8, application);
  Status s = stmt.run();
  if (!s) return insertError(s.error(), "symbol");
  return static_cast<uint32_t>(db_->lastInsertId());
}

Status SqliteStore::setSymbolBehavior(uint32_t symbol, int behavior,
                                      std::optional<std::string_view> application,
                                      std::optional<std::string_view> action,
                                      std::span<const uint32_t> targets) {
  OVW_TRY_ASSIGN(
      Stmt update,
      db_->prepare(
          "UPDATE symbols SET behavior = ?, action_application = ?, action = ? WHERE id = ?"));
  update.bind(1, behavior).bindText(2, application).bindText(3, action).bind(4, symbol);
  OVW_TRY(update.run());
  if (db_->changes() == 0) return notFound("no symbol " + std::to_string(symbol));
  OVW_TRY_ASSIGN(Stmt clear, db_->prepare("DELETE FROM symbol_targets WHERE symbol_id = ?"));
  clear.bind(1, symbol);
  OVW_TRY(clear.run());
  int64_t position = 0;
  for (uint32_t target : targets) {
    OVW_TRY_ASSIGN(
        Stmt add,
        db_->prepare(
            "INSERT INTO symbol_targets(symbol_id, position, object_id) VALUES (?, ?, ?)"));
    add.bind(1, symbol).bind(2, position++).bind(3, target);
    OVW_TRY(add.run());
  }
  return Status::Ok();
}

Status SqliteStore::deleteSymbol(uint32_t symbol) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("DELETE FROM symbols WHERE id = ?"));
  stmt.bind(1, symbol);
  OVW_TRY(stmt.run());
  if (db_->changes() == 0) return notFound("no symbol " + std::to_string(symbol));
  return Status::Ok();
}

// --- Applications -----------------------------------------------------------------------

Result<bool> SqliteStore::actionRegistered(std::string_view application, std::string_view action) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("SELECT 1 FROM actions WHERE application = ? AND name = ?"));
  stmt.bindText(1, application).bindText(2, action);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  return row;
}

Status SqliteStore::registerApplication(std::string_view name,
                                        std::optional<std::string_view> description) {
  OVW_TRY(checkText("application name", name));
  if (description) OVW_TRY(checkText("description", *description, true));
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("INSERT INTO applications(name, description) VALUES (?, ?) "
                   "ON CONFLICT(name) DO UPDATE SET description = excluded.description"));
  stmt.bindText(1, name).bindText(2, description);
  return stmt.run();
}

Status SqliteStore::registerAction(std::string_view application, std::string_view action,
                                   std::optional<std::string_view> command) {
  OVW_TRY(checkText("action name", action));
  if (command) OVW_TRY(checkText("command", *command, true));
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("INSERT INTO actions(application, name, command) VALUES (?, ?, ?) "
                   "ON CONFLICT(application, name) DO UPDATE SET command = excluded.command"));
  stmt.bindText(1, application).bindText(2, action).bindText(3, command);
  return stmt.run();
}

// --- Sessions and selections ------------------------------------------------------------

namespace {

Result<std::optional<SessionRow>> readSession(Stmt &stmt) {
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<SessionRow>();
  return std::optional<SessionRow>(SessionRow{stmt.int64(0), stmt.text(1).value_or(""),
                                              stmt.int64(2) != 0,
                                              static_cast<int32_t>(stmt.int64(3))});
}

}  // namespace

Result<std::optional<SessionRow>> SqliteStore::runningSession(std::string_view name) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, name, running, COALESCE(map_id, 0) FROM "
                                         "sessions WHERE name = ? AND running = 1"));
  stmt.bindText(1, name);
  return readSession(stmt);
}

Result<std::optional<SessionRow>> SqliteStore::sessionById(int64_t id) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("SELECT id, name, running, COALESCE(map_id, 0) FROM sessions WHERE id = ?"));
  stmt.bind(1, id);
  return readSession(stmt);
}

Result<std::vector<uint32_t>> SqliteStore::selection(int64_t session_id) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("SELECT object_id FROM selections WHERE session_id = ? ORDER BY position"));
  stmt.bind(1, session_id);
  return idsOf(stmt);
}

Status SqliteStore::setSelection(int64_t session_id, std::span<const uint32_t> objects) {
  if (objects.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many objects");
  OVW_TRY_ASSIGN(Stmt clear, db_->prepare("DELETE FROM selections WHERE session_id = ?"));
  clear.bind(1, session_id);
  OVW_TRY(clear.run());
  int64_t position = 0;
  for (uint32_t id : objects) {
    OVW_TRY_ASSIGN(bool exists, objectExists(id));
    if (!exists) return notFound("no object " + std::to_string(id));
    OVW_TRY_ASSIGN(
        Stmt add,
        db_->prepare("INSERT INTO selections(session_id, position, object_id) VALUES (?, ?, ?)"));
    add.bind(1, session_id).bind(2, position++).bind(3, id);
    OVW_TRY(add.run());
  }
  return Status::Ok();
}

// --- Attachments and events -------------------------------------------------------------

Result<Attachment> SqliteStore::attach(std::string_view session_name, std::string_view application,
                                       std::string_view wake_token, int64_t pid) {
  OVW_TRY(checkText("session name", session_name));
  OVW_TRY(checkText("application name", application));
  OVW_TRY_ASSIGN(Txn txn, begin());
  OVW_TRY_ASSIGN(std::optional<SessionRow> session, runningSession(session_name));
  if (!session) {
    return makeError(OVW_ERR_NO_SESSION,
                     "session \"" + std::string(session_name) + "\" is not running");
  }
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare(
          "INSERT INTO attachments(session_id, application, wake_token, cursor, attached_at, pid) "
          "VALUES (?, ?, ?, (" +
          std::string(kLastEventId) + "), ?, ?)"));
  stmt.bind(1, session->id).bindText(2, application).bindText(3, wake_token);
  stmt.bind(4, nowMicros() / 1000000).bind(5, pid);
  OVW_TRY(stmt.run());
  Attachment a{db_->lastInsertId(), session->id, session->name};
  OVW_TRY(txn.commit());
  return a;
}

Status SqliteStore::detach(int64_t attachment_id) {
  Wakes closers;
  {
    OVW_TRY_ASSIGN(Txn txn, begin());
    OVW_TRY(collectCloserWakes(attachment_id, closers));
    // The detached process is woken too: when another process detached it, its wait for
    // messages ends and finds the attachment gone.
    OVW_TRY_ASSIGN(Stmt own, db_->prepare("SELECT wake_token FROM attachments WHERE id = ?"));
    own.bind(1, attachment_id);
    OVW_TRY(own.forEachRow([&] { closers.tokens.push_back(own.text(0).value_or("")); }));
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("DELETE FROM attachments WHERE id = ?"));
    stmt.bind(1, attachment_id);
    OVW_TRY(stmt.run());
    OVW_TRY(txn.commit());
  }
  wake(closers);
  return Status::Ok();
}

Status SqliteStore::registerEvent(int64_t attachment_id, int event) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("INSERT INTO registrations(attachment_id, event, since) "
                                         "SELECT id, ?2, (" +
                                         std::string(kLastEventId) +
                                         ") FROM attachments WHERE id = ?1 "
                                         "ON CONFLICT(attachment_id, event) DO NOTHING"));
  stmt.bind(1, attachment_id).bind(2, event);
  OVW_TRY(stmt.run());
  OVW_TRY_ASSIGN(Stmt check, db_->prepare("SELECT 1 FROM attachments WHERE id = ?"));
  check.bind(1, attachment_id);
  OVW_TRY_ASSIGN(bool row, check.step());
  if (!row) return makeError(OVW_ERR_NO_SESSION, "the attachment to the session is gone");
  return Status::Ok();
}

Result<SqliteStore::Next> SqliteStore::takeNext(int64_t attachment_id) {
  OVW_TRY_ASSIGN(Txn txn, begin());
  OVW_TRY_ASSIGN(Stmt state,
                 db_->prepare("SELECT a.cursor, a.session_id, s.running FROM attachments a "
                              "JOIN sessions s ON s.id = a.session_id WHERE a.id = ?"));
  state.bind(1, attachment_id);
  OVW_TRY_ASSIGN(bool row, state.step());
  if (!row) return Next{Next::kEnded, 0, 0};
  int64_t cursor = state.int64(0);
  int64_t session_id = state.int64(1);
  bool running = state.int64(2) != 0;

  OVW_TRY_ASSIGN(
      Stmt next,
      db_->prepare(
          "SELECT e.id, e.event FROM events e JOIN registrations r "
          "ON r.attachment_id = ?1 AND r.event = e.event AND e.id > r.since "
          "WHERE e.id > ?2 AND (e.session_id IS NULL OR e.session_id = ?3) ORDER BY e.id LIMIT 1"));
  next.bind(1, attachment_id).bind(2, cursor).bind(3, session_id);
  OVW_TRY_ASSIGN(bool found, next.step());
  Next result;
  if (found) {
    result = Next{Next::kEvent, next.int64(0), static_cast<int>(next.int64(1))};
    OVW_TRY_ASSIGN(Stmt move, db_->prepare("UPDATE attachments SET cursor = ? WHERE id = ?"));
    move.bind(1, result.event_id).bind(2, attachment_id);
    OVW_TRY(move.run());
  } else {
    // Nothing for this attachment up to the last event posted: skip the rest, so that the
    // queue can be trimmed behind it.
    OVW_TRY_ASSIGN(Stmt move, db_->prepare("UPDATE attachments SET cursor = max(cursor, (" +
                                           std::string(kLastEventId) + ")) WHERE id = ?"));
    move.bind(1, attachment_id);
    OVW_TRY(move.run());
    result.kind = running ? Next::kNone : Next::kEnded;
  }
  OVW_TRY(txn.commit());
  return result;
}

Result<std::optional<EventRow>> SqliteStore::event(int64_t id) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare(
          "SELECT id, event, COALESCE(session_id, 0), COALESCE(map_id, 0), COALESCE(submap_id, 0), "
          "posted_us FROM events WHERE id = ?"));
  stmt.bind(1, id);
  OVW_TRY_ASSIGN(bool row, stmt.step());
  if (!row) return std::optional<EventRow>();
  EventRow e;
  e.id = stmt.int64(0);
  e.event = static_cast<int>(stmt.int64(1));
  e.session_id = stmt.int64(2);
  e.map_id = static_cast<int32_t>(stmt.int64(3));
  e.submap_id = static_cast<uint32_t>(stmt.int64(4));
  e.posted_us = stmt.int64(5);
  OVW_TRY_ASSIGN(
      Stmt objects,
      db_->prepare("SELECT object_id, hostname, selection_name, is_node, is_snmp_supported "
                   "FROM event_objects WHERE event_id = ? ORDER BY position"));
  objects.bind(1, id);
  OVW_TRY(objects.forEachRow([&] {
    ObjectRow r;
    r.id = static_cast<uint32_t>(objects.int64(0));
    r.hostname = objects.text(1);
    r.selection_name = objects.text(2);
    r.is_node = objects.int64(3) != 0;
    r.is_snmp_supported = objects.int64(4) != 0;
    e.objects.push_back(std::move(r));
  }));
  return std::optional<EventRow>(std::move(e));
}

Status SqliteStore::collectWakes(int event, int64_t session_id, Wakes &wakes) {
  OVW_TRY_ASSIGN(
      Stmt stmt,
      db_->prepare("SELECT a.wake_token FROM attachments a WHERE (?1 = 0 OR a.session_id = ?1) AND "
                   "(?2 = 1 OR EXISTS (SELECT 1 FROM registrations r WHERE r.attachment_id = a.id "
                   "AND r.event = ?2))"));
  stmt.bind(1, session_id).bind(2, event);
  return stmt.forEachRow([&] { wakes.tokens.push_back(stmt.text(0).value_or("")); });
}

Result<int64_t> SqliteStore::postEvent(int event, int64_t session_id, int32_t map_id,
                                       uint32_t submap_id, std::span<const ObjectRow> objects,
                                       Wakes &wakes) {
  if (objects.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many objects");
  // Trim the queue: events before every listening attachment's cursor have been taken by all
  // that could take them (the last one taken may still be being dispatched, so it stays).
  OVW_TRY_ASSIGN(
      Stmt trim,
      db_->prepare(
          "DELETE FROM events WHERE id < COALESCE((SELECT min(a.cursor) FROM attachments a "
          "WHERE EXISTS (SELECT 1 FROM registrations r WHERE r.attachment_id = a.id)), "
          "9223372036854775807)"));
  OVW_TRY(trim.run());
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("INSERT INTO events(session_id, event, map_id, submap_id, posted_us) "
                              "VALUES (?, ?, ?, ?, ?)"));
  if (session_id != 0) {
    stmt.bind(1, session_id);
  } else {
    stmt.bindNull(1);
  }
  stmt.bind(2, event);
  if (map_id != 0) {
    stmt.bind(3, map_id);
  } else {
    stmt.bindNull(3);
  }
  if (submap_id != 0) {
    stmt.bind(4, submap_id);
  } else {
    stmt.bindNull(4);
  }
  stmt.bind(5, nowMicros());
  OVW_TRY(stmt.run());
  int64_t id = db_->lastInsertId();
  int64_t position = 0;
  for (const ObjectRow &o : objects) {
    OVW_TRY_ASSIGN(
        Stmt add,
        db_->prepare(
            "INSERT INTO event_objects(event_id, position, object_id, hostname, selection_name, "
            "is_node, is_snmp_supported) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    add.bind(1, id).bind(2, position++).bind(3, o.id).bindText(4, o.hostname);
    add.bindText(5, o.selection_name).bind(6, o.is_node ? 1 : 0);
    add.bind(7, o.is_snmp_supported ? 1 : 0);
    OVW_TRY(add.run());
  }
  OVW_TRY(collectWakes(event, session_id, wakes));
  return id;
}

// --- Map close --------------------------------------------------------------------------

Result<int64_t> SqliteStore::beginMapClose(const SessionRow &session, std::string_view closer_token,
                                           Wakes &wakes) {
  if (session.map_id == 0) return makeError(OVW_ERR_NO_MAP, "no map is open in " + session.name);
  OVW_TRY_ASSIGN(Stmt stale, db_->prepare("DELETE FROM map_closes WHERE session_id = ?"));
  stale.bind(1, session.id);
  OVW_TRY(stale.run());
  OVW_TRY_ASSIGN(int64_t close_id,
                 postEvent(OVW_EVENT_MAP_CLOSE, session.id, session.map_id, 0, {}, wakes));
  OVW_TRY_ASSIGN(
      Stmt add,
      db_->prepare("INSERT INTO map_closes(close_id, session_id, map_id, wake_token, started_at) "
                   "VALUES (?, ?, ?, ?, ?)"));
  add.bind(1, close_id).bind(2, session.id).bind(3, session.map_id).bindText(4, closer_token);
  add.bind(5, nowMicros() / 1000000);
  OVW_TRY(add.run());
  OVW_TRY_ASSIGN(
      Stmt waits,
      db_->prepare(
          "INSERT INTO map_close_waits(close_id, attachment_id) "
          "SELECT ?1, a.id FROM attachments a JOIN registrations r "
          "ON r.attachment_id = a.id AND r.event = 4 AND r.since < ?1 WHERE a.session_id = ?2"));
  waits.bind(1, close_id).bind(2, session.id);
  OVW_TRY(waits.run());
  return close_id;
}

Result<std::vector<std::pair<int64_t, std::string>>> SqliteStore::pendingAcks(int64_t close_id) {
  OVW_TRY_ASSIGN(Stmt stmt,
                 db_->prepare("SELECT w.attachment_id, a.application FROM map_close_waits w "
                              "JOIN attachments a ON a.id = w.attachment_id "
                              "WHERE w.close_id = ? AND w.acked = 0 ORDER BY w.attachment_id"));
  stmt.bind(1, close_id);
  std::vector<std::pair<int64_t, std::string>> out;
  OVW_TRY(stmt.forEachRow([&] { out.emplace_back(stmt.int64(0), stmt.text(1).value_or("")); }));
  return out;
}

Status SqliteStore::finishMapClose(int64_t close_id, const SessionRow &session) {
  OVW_TRY_ASSIGN(Stmt close, db_->prepare("UPDATE sessions SET map_id = NULL WHERE id = ?"));
  close.bind(1, session.id);
  OVW_TRY(close.run());
  OVW_TRY_ASSIGN(Stmt unselect, db_->prepare("DELETE FROM selections WHERE session_id = ?"));
  unselect.bind(1, session.id);
  OVW_TRY(unselect.run());
  OVW_TRY_ASSIGN(Stmt done, db_->prepare("DELETE FROM map_closes WHERE close_id = ?"));
  done.bind(1, close_id);
  return done.run();
}

Status SqliteStore::ackMapClose(int64_t attachment_id, int64_t close_id) {
  Wakes closer;
  {
    OVW_TRY_ASSIGN(Txn txn, begin());
    OVW_TRY_ASSIGN(
        Stmt ack,
        db_->prepare(
            "UPDATE map_close_waits SET acked = 1 WHERE close_id = ? AND attachment_id = ?"));
    ack.bind(1, close_id).bind(2, attachment_id);
    OVW_TRY(ack.run());
    if (db_->changes() > 0) {
      OVW_TRY_ASSIGN(Stmt token,
                     db_->prepare("SELECT wake_token FROM map_closes WHERE close_id = ?"));
      token.bind(1, close_id);
      OVW_TRY_ASSIGN(bool row, token.step());
      if (row) closer.tokens.push_back(token.text(0).value_or(""));
    }
    OVW_TRY(txn.commit());
  }
  wake(closer);
  return Status::Ok();
}

// --- Listings -------------------------------------------------------------------------

Result<std::vector<std::pair<std::string, int64_t>>> SqliteStore::fieldValues(uint32_t object) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT f.name, v.value FROM field_values v "
                                         "JOIN fields f ON f.id = v.field_id "
                                         "WHERE v.object_id = ? ORDER BY f.id"));
  stmt.bind(1, object);
  std::vector<std::pair<std::string, int64_t>> out;
  OVW_TRY(stmt.forEachRow([&] { out.emplace_back(stmt.text(0).value_or(""), stmt.int64(1)); }));
  return out;
}

Result<std::vector<uint32_t>> SqliteStore::objectIds() {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id FROM objects ORDER BY id"));
  return idsOf(stmt);
}

Result<std::vector<int32_t>> SqliteStore::mapIds() {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id FROM maps ORDER BY id"));
  std::vector<int32_t> ids;
  OVW_TRY(stmt.forEachRow([&] { ids.push_back(static_cast<int32_t>(stmt.int64(0))); }));
  return ids;
}

Result<std::vector<uint32_t>> SqliteStore::submapIds(int32_t map_id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id FROM submaps WHERE map_id = ? ORDER BY id"));
  stmt.bind(1, map_id);
  return idsOf(stmt);
}

Result<std::vector<ApplicationRow>> SqliteStore::applications() {
  std::vector<ApplicationRow> out;
  {
    OVW_TRY_ASSIGN(Stmt stmt,
                   db_->prepare("SELECT name, description FROM applications ORDER BY name"));
    OVW_TRY(stmt.forEachRow([&] { out.push_back({stmt.text(0).value_or(""), stmt.text(1), {}}); }));
  }
  for (ApplicationRow &a : out) {
    OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT name, command FROM actions "
                                           "WHERE application = ? ORDER BY name"));
    stmt.bindText(1, a.name);
    OVW_TRY(stmt.forEachRow([&] {
      a.actions.push_back({stmt.text(0).value_or(""), stmt.text(1)});
    }));
  }
  return out;
}

Result<std::vector<SessionRow>> SqliteStore::sessions() {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, name, running, COALESCE(map_id, 0) "
                                         "FROM sessions ORDER BY id"));
  std::vector<SessionRow> out;
  OVW_TRY(stmt.forEachRow([&] {
    out.push_back(SessionRow{stmt.int64(0), stmt.text(1).value_or(""), stmt.int64(2) != 0,
                             static_cast<int32_t>(stmt.int64(3))});
  }));
  return out;
}

Result<std::vector<AttachmentRow>> SqliteStore::attachments(int64_t session_id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT id, application, pid FROM attachments "
                                         "WHERE session_id = ? ORDER BY id"));
  stmt.bind(1, session_id);
  std::vector<AttachmentRow> out;
  OVW_TRY(stmt.forEachRow([&] {
    out.push_back(AttachmentRow{stmt.int64(0), stmt.text(1).value_or(""), stmt.int64(2)});
  }));
  return out;
}

Result<std::vector<int>> SqliteStore::registeredEvents(int64_t attachment_id) {
  OVW_TRY_ASSIGN(Stmt stmt, db_->prepare("SELECT event FROM registrations "
                                         "WHERE attachment_id = ? ORDER BY event"));
  stmt.bind(1, attachment_id);
  std::vector<int> out;
  OVW_TRY(stmt.forEachRow([&] { out.push_back(static_cast<int>(stmt.int64(0))); }));
  return out;
}

// --- Session and object changes of the `ovw` tool -------------------------------------------

Status SqliteStore::startSession(std::string_view name) {
  OVW_TRY(checkText("session name", name));
  // Ended sessions that nobody is attached to any more are of no use.
  OVW_TRY(
      db_->exec("DELETE FROM sessions WHERE running = 0 AND NOT EXISTS "
                "(SELECT 1 FROM attachments a WHERE a.session_id = sessions.id)"));
  OVW_TRY_ASSIGN(Stmt add,
                 db_->prepare("INSERT INTO sessions(name, running, started_at) VALUES (?, 1, ?)"));
  add.bindText(1, name).bind(2, nowMicros() / 1000000);
  return add.run();
}

Status SqliteStore::endSession(int64_t session_id) {
  OVW_TRY_ASSIGN(Stmt end, db_->prepare("UPDATE sessions SET running = 0, map_id = NULL, "
                                        "ended_at = ? WHERE id = ?"));
  end.bind(1, nowMicros() / 1000000).bind(2, session_id);
  OVW_TRY(end.run());
  OVW_TRY_ASSIGN(Stmt unselect, db_->prepare("DELETE FROM selections WHERE session_id = ?"));
  unselect.bind(1, session_id);
  return unselect.run();
}

Status SqliteStore::setSessionMap(int64_t session_id, int32_t map_id) {
  OVW_TRY_ASSIGN(Stmt set, db_->prepare("UPDATE sessions SET map_id = ? WHERE id = ?"));
  set.bind(1, map_id).bind(2, session_id);
  return set.run();
}

Status SqliteStore::setObjectNames(uint32_t object, std::optional<std::string_view> hostname,
                                   std::optional<std::string_view> selection_name) {
  if (hostname) {
    OVW_TRY(checkText("host name", *hostname));
    OVW_TRY_ASSIGN(Stmt set, db_->prepare("UPDATE objects SET hostname = ? WHERE id = ?"));
    set.bindText(1, *hostname).bind(2, object);
    OVW_TRY(set.run());
  }
  if (selection_name) {
    OVW_TRY(checkText("selection name", *selection_name));
    OVW_TRY_ASSIGN(Stmt set, db_->prepare("UPDATE objects SET selection_name = ? WHERE id = ?"));
    set.bindText(1, *selection_name).bind(2, object);
    OVW_TRY(set.run());
  }
  return Status::Ok();
}

// --- Keeping the database safe --------------------------------------------------------------

Status SqliteStore::backup(const std::string &destination) {
  return backupDatabase(*this, destination);
}

Status SqliteStore::restore(const std::string &source) { return restoreDatabase(*this, source); }

Result<std::vector<std::string>> SqliteStore::check() { return checkDatabase(*this); }

}  // namespace kestara::ovw
