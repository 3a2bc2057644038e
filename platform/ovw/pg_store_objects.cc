// pg_store_objects.cc - the OVw store on a PostgreSQL server: fields, objects, maps, symbols,
// applications, sessions and selections.
#include <algorithm>
#include <charconv>
#include <set>
#include <string>
#include <utility>

#include "pg_store.h"
#include "pg_store_sql.h"

namespace kestara::ovw {

using pg::Param;
using pg::param;
using pg::Rows;
using namespace pgsql;

namespace {

constexpr int64_t kMaxId32 = 4294967295;
constexpr size_t kMaxKeptMaps = 1024;

Error notFound(std::string detail) { return makeError(OVW_ERR_NOT_FOUND, std::move(detail)); }

// Insert ids are checked against their range by the tables' CHECK constraints; this turns the
// constraint failure into a readable error.
Error insertError(const Error &e, std::string_view what) {
  if (e.detail.find("violates check constraint") != std::string::npos &&
      e.detail.find("_id_check") != std::string::npos) {
    return makeError(OVW_ERR_DB, "no free " + std::string(what) + " id left");
  }
  return e;
}

std::vector<uint32_t> ids32(const Rows &rows) {
  std::vector<uint32_t> ids;
  ids.reserve(static_cast<size_t>(rows.count()));
  for (int i = 0; i < rows.count(); ++i) ids.push_back(static_cast<uint32_t>(rows.int64(i, 0)));
  return ids;
}

std::optional<FieldRow> fieldOf(const Rows &rows) {
  if (rows.count() == 0) return std::nullopt;
  return FieldRow{static_cast<uint32_t>(rows.int64(0, 0)), rows.text(0, 1).value_or(""),
                  static_cast<int>(rows.int64(0, 2))};
}

}  // namespace

Result<std::vector<uint32_t>> PgStore::idsFrom(std::string_view sql, std::vector<Param> params) {
  OVW_TRY_ASSIGN(Rows rows, q(sql, std::move(params)));
  return ids32(rows);
}

// --- Fields -----------------------------------------------------------------------------

Result<std::optional<FieldRow>> PgStore::fieldByName(std::string_view name) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id, name, type FROM fields WHERE name = $1", {param(name)}));
  return fieldOf(rows);
}

Result<std::optional<FieldRow>> PgStore::fieldById(uint32_t id) {
  OVW_TRY_ASSIGN(Rows rows,
                 q("SELECT id, name, type FROM fields WHERE id = $1", {param(int64_t{id})}));
  return fieldOf(rows);
}

Result<std::vector<FieldRow>> PgStore::fields() {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id, name, type FROM fields ORDER BY id"));
  std::vector<FieldRow> out;
  for (int i = 0; i < rows.count(); ++i) {
    out.push_back(FieldRow{static_cast<uint32_t>(rows.int64(i, 0)), rows.text(i, 1).value_or(""),
                           static_cast<int>(rows.int64(i, 2))});
  }
  return out;
}

Status PgStore::defineField(std::string_view name, int type) {
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
  Status s =
      run("INSERT INTO fields(name, type) VALUES ($1, $2)", {param(name), param(int64_t{type})});
  if (!s) return insertError(s.error(), "field");
  return Status::Ok();
}

Result<std::optional<int64_t>> PgStore::fieldValue(uint32_t object, uint32_t field) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT value FROM field_values WHERE object_id = $1 AND "
                              "field_id = $2",
                              {param(int64_t{object}), param(int64_t{field})}));
  if (rows.count() == 0 || rows.isNull(0, 0)) return std::optional<int64_t>();
  return std::optional<int64_t>(rows.int64(0, 0));
}

Status PgStore::setFieldValue(uint32_t object, uint32_t field, int64_t value) {
  // A value that is already stored is left as it is: no row version is written.
  return run(
      "INSERT INTO field_values(object_id, field_id, value) VALUES ($1, $2, $3) "
      "ON CONFLICT (object_id, field_id) DO UPDATE SET value = excluded.value "
      "WHERE field_values.value IS DISTINCT FROM excluded.value",
      {param(int64_t{object}), param(int64_t{field}), param(value)});
}

namespace {

// A boolean field's checks and value in one statement: the field's type and name (NULL when
// there is no such field), whether the object exists, and its value (NULL when it has none).
constexpr const char *kBooleanRead =
    "SELECT (SELECT type FROM fields WHERE id = $2), (SELECT name FROM fields WHERE id = $2), "
    "(SELECT count(*) FROM objects WHERE id = $1), "
    "(SELECT value FROM field_values WHERE object_id = $1 AND field_id = $2)";

// The checks and the write in one statement: the value is written only when the field is
// boolean and the object exists, and the checks come back as kBooleanRead's first three columns.
static_assert(OVW_FIELD_BOOLEAN == 2, "kBooleanWrite names the boolean type by its number");
constexpr const char *kBooleanWrite =
    "WITH f AS (SELECT type, name FROM fields WHERE id = $2), "
    "o AS (SELECT count(*) AS n FROM objects WHERE id = $1), "
    "w AS (INSERT INTO field_values(object_id, field_id, value) "
    "  SELECT $1::bigint, $2::bigint, $3::bigint FROM f, o WHERE f.type = 2 AND o.n > 0 "
    "  ON CONFLICT (object_id, field_id) DO UPDATE SET value = excluded.value "
    "  WHERE field_values.value IS DISTINCT FROM excluded.value) "
    "SELECT (SELECT type FROM f), (SELECT name FROM f), (SELECT n FROM o)";

Status booleanChecks(const Rows &rows, uint32_t object, uint32_t field) {
  std::optional<FieldRow> f;
  if (rows.count() > 0 && !rows.isNull(0, 0)) {
    f = FieldRow{field, rows.text(0, 1).value_or(""), static_cast<int>(rows.int64(0, 0))};
  }
  return checkBooleanField(f, field, object, rows.count() > 0 && rows.int64(0, 2) > 0);
}

}  // namespace

Result<bool> PgStore::booleanValue(uint32_t object, uint32_t field) {
  OVW_TRY_ASSIGN(Rows rows, q(kBooleanRead, {param(int64_t{object}), param(int64_t{field})}));
  OVW_TRY(booleanChecks(rows, object, field));
  return rows.int64(0, 3) != 0;
}

Status PgStore::setBooleanValue(uint32_t object, uint32_t field, bool value) {
  // Within a transaction of the caller's, the write is a part of it, as on the file.
  if (open_ > 0 || (!group_ && inTransaction())) {
    return StoreBackend::setBooleanValue(object, field, value);
  }
  const Param params[] = {param(int64_t{object}), param(int64_t{field}),
                          param(int64_t{value ? 1 : 0})};
  using Statement = pg::Connection::Statement;
  std::vector<Statement> statements;
  size_t write = 0;  // the write's place among the statements
  if (group_) {
    // A savepoint, so that a failure loses this write alone, as a transaction in the group does.
    OVW_TRY(resumeGroup());
    statements = {
        {"SAVEPOINT ovw_write", {}}, {kBooleanWrite, params}, {"RELEASE SAVEPOINT ovw_write", {}}};
    write = 1;
  } else {
    OVW_TRY(ensureConnected());
    statements = {{kBeginWrite, {}}, {kWritersLock, {}}, {kBooleanWrite, params}, {"COMMIT", {}}};
    write = 2;
  }
  Result<std::vector<Rows>> results = c_->pipeline(statements);
  if (!results) {
    if (group_ && PQtransactionStatus(c_->handle()) == PQTRANS_INERROR) {
      (void)c_->runScript("ROLLBACK TO SAVEPOINT ovw_write; RELEASE SAVEPOINT ovw_write");
    } else if (!group_ && inTransaction()) {
      (void)c_->run("ROLLBACK");
    }
    return results.error();
  }
  // A failed check wrote nothing: the transaction committed (or the savepoint released) empty.
  return booleanChecks((*results)[write], object, field);
}

Result<std::vector<std::pair<std::string, int64_t>>> PgStore::fieldValues(uint32_t object) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT f.name, v.value FROM field_values v "
                              "JOIN fields f ON f.id = v.field_id "
                              "WHERE v.object_id = $1 ORDER BY f.id",
                              {param(int64_t{object})}));
  std::vector<std::pair<std::string, int64_t>> out;
  for (int i = 0; i < rows.count(); ++i) {
    out.emplace_back(rows.text(i, 0).value_or(""), rows.int64(i, 1));
  }
  return out;
}

// --- Objects ----------------------------------------------------------------------------

Result<bool> PgStore::objectExists(uint32_t id) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT 1 FROM objects WHERE id = $1", {param(int64_t{id})}));
  return rows.count() > 0;
}

Result<std::vector<uint32_t>> PgStore::objectIds() {
  return idsFrom("SELECT id FROM objects ORDER BY id", {});
}

namespace {

// An object's columns, as objectOf() reads them; $2 is the map whose submaps are looked up.
constexpr const char *kObjectColumns =
    "SELECT o.id, o.hostname, o.selection_name, "
    " COALESCE((SELECT (v.value <> 0)::integer FROM field_values v JOIN fields f "
    "   ON f.id = v.field_id WHERE v.object_id = o.id AND f.name = 'isNode'), 0), "
    " COALESCE((SELECT (v.value <> 0)::integer FROM field_values v JOIN fields f "
    "   ON f.id = v.field_id WHERE v.object_id = o.id AND f.name = 'isSNMPSupported'), 0), "
    " COALESCE((SELECT s.id FROM submaps s"
    "   WHERE s.map_id = $2 AND s.parent_object_id = o.id), 0) ";

}  // namespace

ObjectRow pgsql::objectOf(const Rows &rows, int row) {
  ObjectRow o;
  o.id = static_cast<uint32_t>(rows.int64(row, 0));
  o.hostname = rows.text(row, 1);
  o.selection_name = rows.text(row, 2);
  o.is_node = rows.int64(row, 3) != 0;
  o.is_snmp_supported = rows.int64(row, 4) != 0;
  o.child_submap = static_cast<uint32_t>(rows.int64(row, 5));
  return o;
}

namespace {

// The most ids that one statement reads; a longer list is read in parts.
constexpr size_t kIdsPerStatement = 1000;

// Ids as a PostgreSQL array's text ("{1,2,3}").
std::string idArray(std::span<const uint32_t> ids) {
  std::string text = "{";
  for (uint32_t id : ids) {
    if (text.size() > 1) text += ',';
    text += std::to_string(id);
  }
  return text + "}";
}

}  // namespace

Result<std::optional<ObjectRow>> PgStore::object(uint32_t id, int32_t map_id) {
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kObjectColumns) + "FROM objects o WHERE o.id = $1",
                              {param(int64_t{id}), param(int64_t{map_id})}));
  if (rows.count() == 0) return std::optional<ObjectRow>();
  return std::optional<ObjectRow>(objectOf(rows, 0));
}

Result<std::vector<ObjectRow>> PgStore::objects(std::span<const uint32_t> ids, int32_t map_id) {
  std::vector<ObjectRow> out;
  out.reserve(ids.size());
  while (!ids.empty()) {
    const std::span<const uint32_t> part = ids.first(std::min(ids.size(), kIdsPerStatement));
    ids = ids.subspan(part.size());
    OVW_TRY_ASSIGN(Rows rows, q(std::string(kObjectColumns) +
                                    "FROM unnest($1::bigint[]) WITH ORDINALITY AS k(id, n) "
                                    "JOIN objects o ON o.id = k.id ORDER BY k.n",
                                {param(std::string_view(idArray(part))), param(int64_t{map_id})}));
    for (int i = 0; i < rows.count(); ++i) out.push_back(objectOf(rows, i));
  }
  return out;
}

Result<std::optional<ObjectRow>> PgStore::objectNames(uint32_t id) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT hostname, selection_name FROM objects WHERE id = $1",
                              {param(int64_t{id})}));
  if (rows.count() == 0) return std::optional<ObjectRow>();
  ObjectRow o;
  o.id = id;
  o.hostname = rows.text(0, 0);
  o.selection_name = rows.text(0, 1);
  return std::optional<ObjectRow>(std::move(o));
}

Result<uint32_t> PgStore::objectIdByName(bool hostname, std::string_view name) {
  OVW_TRY_ASSIGN(Rows rows, q(hostname ? "SELECT MIN(id) FROM objects WHERE hostname = $1"
                                       : "SELECT MIN(id) FROM objects WHERE selection_name = $1",
                              {param(name)}));
  return static_cast<uint32_t>(rows.int64(0, 0));
}

namespace {

// SELECT of the object ids matching a filter, with its parameters.
std::pair<std::string, std::vector<Param>> filterQuery(const Filter &filter, int32_t map_id,
                                                       uint32_t object) {
  std::string sql = "SELECT o.id FROM objects o WHERE true";
  std::vector<Param> params;
  auto next = [&](Param p) {
    params.push_back(std::move(p));
    return "$" + std::to_string(params.size());
  };
  if (object != 0) sql += " AND o.id = " + next(param(int64_t{object}));
  if (map_id != 0) {
    sql +=
        " AND EXISTS (SELECT 1 FROM symbols s JOIN submaps sm ON sm.id = s.submap_id"
        " WHERE s.object_id = o.id AND sm.map_id = " +
        next(param(int64_t{map_id})) + ")";
  }
  for (const FilterTerm &t : filter) {
    if (t.type == OVW_FIELD_BOOLEAN) {
      sql += t.value != 0 ? " AND EXISTS" : " AND NOT EXISTS";
      sql += " (SELECT 1 FROM field_values v WHERE v.object_id = o.id AND v.field_id = " +
             next(param(int64_t{t.field_id})) + " AND v.value <> 0)";
    } else {
      const std::string field = next(param(int64_t{t.field_id}));
      sql +=
          " AND EXISTS (SELECT 1 FROM field_values v WHERE v.object_id = o.id"
          " AND v.field_id = " +
          field + " AND v.value = " + next(param(t.value)) + ")";
    }
  }
  sql += " ORDER BY o.id";
  return {std::move(sql), std::move(params)};
}

}  // namespace

Result<std::vector<uint32_t>> PgStore::findObjects(const Filter &filter, int32_t map_id) {
  auto [sql, params] = filterQuery(filter, map_id, 0);
  return idsFrom(sql, std::move(params));
}

Result<bool> PgStore::objectMatches(uint32_t id, const Filter &filter) {
  if (id == 0) return false;
  auto [sql, params] = filterQuery(filter, 0, id);
  OVW_TRY_ASSIGN(Rows rows, q(sql, std::move(params)));
  return rows.count() > 0;
}

Result<uint32_t> PgStore::createObject(std::optional<std::string_view> hostname,
                                       std::optional<std::string_view> selection_name,
                                       std::span<const std::pair<uint32_t, int64_t>> values,
                                       Wakes & /*wakes: notified within the transaction*/) {
  if (hostname) OVW_TRY(checkText("host name", *hostname));
  if (selection_name) OVW_TRY(checkText("selection name", *selection_name));
  Result<Rows> added =
      q("INSERT INTO objects(hostname, selection_name) VALUES ($1, $2) "
        "RETURNING id",
        {optParam(hostname), optParam(selection_name)});
  if (!added) return insertError(added.error(), "object");
  const int64_t id = added->int64(0, 0);
  if (id < 1 || id > kMaxId32) return makeError(OVW_ERR_DB, "no free object id left");
  auto object = static_cast<uint32_t>(id);
  for (const auto &[field, value] : values) {
    OVW_TRY_ASSIGN(std::optional<FieldRow> f, fieldById(field));
    if (!f) return notFound("no field with id " + std::to_string(field));
    OVW_TRY(setFieldValue(object, field, f->type == OVW_FIELD_BOOLEAN ? value != 0 : value));
  }
  // Without field values the new row is known: it is not read back.
  std::optional<ObjectRow> row;
  if (values.empty()) {
    auto copy = [](std::optional<std::string_view> text) {
      return text ? std::optional<std::string>(*text) : std::nullopt;
    };
    row = ObjectRow{object, copy(hostname), copy(selection_name), false, false, 0};
  } else {
    OVW_TRY_ASSIGN(row, this->object(object, 0));
  }
  std::vector<ObjectRow> list;
  if (row) list.push_back(*row);
  OVW_TRY(postEventLater(OVW_EVENT_OBJECT_CREATED, list));
  return object;
}

Status PgStore::setObjectNames(uint32_t object, std::optional<std::string_view> hostname,
                               std::optional<std::string_view> selection_name) {
  if (hostname) {
    OVW_TRY(checkText("host name", *hostname));
    OVW_TRY(run("UPDATE objects SET hostname = $1 WHERE id = $2",
                {param(*hostname), param(int64_t{object})}));
  }
  if (selection_name) {
    OVW_TRY(checkText("selection name", *selection_name));
    OVW_TRY(run("UPDATE objects SET selection_name = $1 WHERE id = $2",
                {param(*selection_name), param(int64_t{object})}));
  }
  return Status::Ok();
}

Status PgStore::deleteObjects(std::span<const uint32_t> ids,
                              Wakes & /*wakes: notified within the transaction*/) {
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
    OVW_TRY(later("DELETE FROM objects WHERE id = $1", {param(int64_t{o.id})}));
  }
  if (gone.empty()) return Status::Ok();
  return postEventLater(OVW_EVENT_OBJECTS_DELETED, gone);
}

Result<std::optional<uint32_t>> PgStore::objectByHostname(std::string_view hostname) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id FROM objects WHERE hostname = $1 ORDER BY id LIMIT 1",
                              {param(hostname)}));
  if (rows.count() == 0) return std::optional<uint32_t>();
  return std::optional<uint32_t>(static_cast<uint32_t>(rows.int64(0, 0)));
}

// --- Maps, submaps, symbols -------------------------------------------------------------

namespace {

constexpr const char *kMapColumns =
    "SELECT m.id, m.name, COALESCE((SELECT s.id FROM submaps s WHERE s.map_id = m.id "
    "AND s.parent_object_id IS NULL), 0) FROM maps m ";

std::optional<MapRow> mapOf(const Rows &rows) {
  if (rows.count() == 0) return std::nullopt;
  return MapRow{static_cast<int32_t>(rows.int64(0, 0)), rows.text(0, 1).value_or(""),
                static_cast<uint32_t>(rows.int64(0, 2))};
}

}  // namespace

Result<std::vector<int32_t>> PgStore::mapIds() {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id FROM maps ORDER BY id"));
  std::vector<int32_t> ids;
  for (int i = 0; i < rows.count(); ++i) ids.push_back(static_cast<int32_t>(rows.int64(i, 0)));
  return ids;
}

Result<std::optional<MapRow>> PgStore::mapById(int32_t id) {
  if (auto kept = maps_.find(id); kept != maps_.end()) return std::optional<MapRow>(kept->second);
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kMapColumns) + "WHERE m.id = $1", {param(int64_t{id})}));
  std::optional<MapRow> map = mapOf(rows);
  // Only a committed map is kept: a write's own new map would go if the write were rolled back.
  if (map && open_ == 0 && !group_) {
    if (maps_.size() >= kMaxKeptMaps) maps_.clear();
    maps_.emplace(id, *map);
  }
  return map;
}

Result<std::optional<MapRow>> PgStore::mapByName(std::string_view name) {
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kMapColumns) + "WHERE m.name = $1", {param(name)}));
  return mapOf(rows);
}

Result<MapRow> PgStore::mapNamed(std::string_view name) {
  OVW_TRY(checkText("map name", name));
  OVW_TRY_ASSIGN(std::optional<MapRow> existing, mapByName(name));
  if (existing) return *existing;
  Result<Rows> added = q("INSERT INTO maps(name) VALUES ($1) RETURNING id", {param(name)});
  if (!added) return insertError(added.error(), "map");
  auto map_id = static_cast<int32_t>(added->int64(0, 0));
  OVW_TRY_ASSIGN(uint32_t root, createSubmap(map_id, "Root", 0));
  return MapRow{map_id, std::string(name), root};
}

Result<std::vector<uint32_t>> PgStore::submapIds(int32_t map_id) {
  return idsFrom("SELECT id FROM submaps WHERE map_id = $1 ORDER BY id", {param(int64_t{map_id})});
}

Result<std::optional<SubmapRow>> PgStore::submap(uint32_t id) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id, map_id, name, layout, COALESCE(parent_object_id, 0) "
                              "FROM submaps WHERE id = $1",
                              {param(int64_t{id})}));
  if (rows.count() == 0) return std::optional<SubmapRow>();
  return std::optional<SubmapRow>(
      SubmapRow{static_cast<uint32_t>(rows.int64(0, 0)), static_cast<int32_t>(rows.int64(0, 1)),
                rows.text(0, 2).value_or(""), static_cast<int>(rows.int64(0, 3)),
                static_cast<uint32_t>(rows.int64(0, 4))});
}

Result<uint32_t> PgStore::submapOfObject(int32_t map_id, uint32_t object) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id FROM submaps WHERE map_id = $1 AND parent_object_id = $2",
                              {param(int64_t{map_id}), param(int64_t{object})}));
  return static_cast<uint32_t>(rows.int64(0, 0));
}

Result<uint32_t> PgStore::createSubmap(int32_t map_id, std::string_view name,
                                       uint32_t parent_object) {
  OVW_TRY(checkText("submap name", name, true));
  Result<Rows> added =
      q("INSERT INTO submaps(map_id, name, parent_object_id) VALUES ($1, $2, $3) RETURNING id",
        {param(int64_t{map_id}), param(name),
         parent_object != 0 ? param(int64_t{parent_object}) : pg::nullParam()});
  if (!added) return insertError(added.error(), "submap");
  return static_cast<uint32_t>(added->int64(0, 0));
}

namespace {

constexpr const char *kSymbolColumns =
    "SELECT s.id, s.submap_id, s.object_id, s.type, s.label, s.status, s.variety, s.flags, "
    "s.application, s.behavior, s.action, array_to_string(ARRAY(SELECT t.object_id "
    "FROM symbol_targets t WHERE t.symbol_id = s.id ORDER BY t.position), ',') FROM symbols s ";

// The targets column of kSymbolColumns: ids separated by commas (none when it is empty).
std::vector<uint32_t> targetsOf(std::string_view text) {
  std::vector<uint32_t> ids;
  while (!text.empty() && ids.size() < kMaxListItems) {
    const size_t comma = std::min(text.find(','), text.size());
    uint32_t id = 0;
    const std::string_view item = text.substr(0, comma);
    const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), id);
    if (ec == std::errc() && end == item.data() + item.size()) ids.push_back(id);
    text.remove_prefix(std::min(text.size(), comma + 1));
  }
  return ids;
}

}  // namespace

Result<std::vector<SymbolRow>> PgStore::symbolsFrom(const Rows &rows) {
  std::vector<SymbolRow> out;
  for (int i = 0; i < rows.count(); ++i) {
    SymbolRow s;
    s.id = static_cast<uint32_t>(rows.int64(i, 0));
    s.submap_id = static_cast<uint32_t>(rows.int64(i, 1));
    s.object_id = static_cast<uint32_t>(rows.int64(i, 2));
    s.type = rows.text(i, 3).value_or("");
    s.label = rows.text(i, 4).value_or("");
    s.status = static_cast<int>(rows.int64(i, 5));
    s.variety = static_cast<int>(rows.int64(i, 6));
    s.flags = static_cast<int>(rows.int64(i, 7));
    s.application = rows.text(i, 8);
    s.behavior = static_cast<int>(rows.int64(i, 9));
    s.action = rows.text(i, 10);
    s.targets = targetsOf(rows.text(i, 11).value_or(""));
    out.push_back(std::move(s));
  }
  return out;
}

Result<std::optional<SymbolRow>> PgStore::symbol(uint32_t id) {
  OVW_TRY_ASSIGN(Rows rows,
                 q(std::string(kSymbolColumns) + "WHERE s.id = $1", {param(int64_t{id})}));
  OVW_TRY_ASSIGN(std::vector<SymbolRow> symbols, symbolsFrom(rows));
  if (symbols.empty()) return std::optional<SymbolRow>();
  return std::optional<SymbolRow>(std::move(symbols.front()));
}

Result<std::optional<SymbolRow>> PgStore::symbolOnMap(uint32_t id, int32_t map_id) {
  OVW_TRY_ASSIGN(Rows rows,
                 q(std::string(kSymbolColumns) + "JOIN submaps sm ON sm.id = s.submap_id "
                                                 "WHERE s.id = $1 AND sm.map_id = $2",
                   {param(int64_t{id}), param(int64_t{map_id})}));
  OVW_TRY_ASSIGN(std::vector<SymbolRow> symbols, symbolsFrom(rows));
  if (symbols.empty()) return std::optional<SymbolRow>();
  return std::optional<SymbolRow>(std::move(symbols.front()));
}

Result<std::vector<SymbolRow>> PgStore::symbolsOnSubmap(
    uint32_t submap, std::optional<std::string_view> application) {
  if (application) {
    OVW_TRY_ASSIGN(Rows rows, q(std::string(kSymbolColumns) +
                                    "WHERE s.submap_id = $1 AND s.application = $2 ORDER BY s.id",
                                {param(int64_t{submap}), param(*application)}));
    return symbolsFrom(rows);
  }
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kSymbolColumns) + "WHERE s.submap_id = $1 ORDER BY s.id",
                              {param(int64_t{submap})}));
  return symbolsFrom(rows);
}

Result<std::vector<SymbolRow>> PgStore::symbolsOfObject(int32_t map_id, uint32_t object) {
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kSymbolColumns) +
                                  "JOIN submaps sm ON sm.id = s.submap_id "
                                  "WHERE s.object_id = $1 AND sm.map_id = $2 ORDER BY s.id",
                              {param(int64_t{object}), param(int64_t{map_id})}));
  return symbolsFrom(rows);
}

Result<uint32_t> PgStore::createSymbol(uint32_t submap, uint32_t object, std::string_view type,
                                       std::string_view label, int status, int variety, int flags,
                                       std::optional<std::string_view> application) {
  OVW_TRY(checkText("symbol type", type));
  OVW_TRY(checkText("label", label, true));
  if (application) OVW_TRY(checkText("application name", *application));
  Result<Rows> added =
      q("INSERT INTO symbols(submap_id, object_id, type, label, status, variety, flags, "
        "application) VALUES ($1, $2, $3, $4, $5, $6, $7, $8) RETURNING id",
        {param(int64_t{submap}), param(int64_t{object}), param(type), param(label),
         param(int64_t{status}), param(int64_t{variety}), param(int64_t{flags}),
         optParam(application)});
  if (!added) return insertError(added.error(), "symbol");
  return static_cast<uint32_t>(added->int64(0, 0));
}

Status PgStore::setSymbolBehavior(uint32_t symbol, int behavior,
                                  std::optional<std::string_view> application,
                                  std::optional<std::string_view> action,
                                  std::span<const uint32_t> targets) {
  if (targets.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many targets");
  // The symbol and its targets in one round trip; the targets are written only when the symbol
  // exists.
  const Param update[] = {param(int64_t{behavior}), optParam(application), optParam(action),
                          param(int64_t{symbol})};
  const Param ofSymbol[] = {param(int64_t{symbol})};
  const Param insert[] = {param(int64_t{symbol}), param(std::string_view(idArray(targets)))};
  OVW_TRY_ASSIGN(
      std::vector<Rows> results,
      together({{"UPDATE symbols SET behavior = $1, action_application = $2, action = $3 "
                 "WHERE id = $4",
                 update},
                {"DELETE FROM symbol_targets WHERE symbol_id = $1", ofSymbol},
                {"INSERT INTO symbol_targets(symbol_id, position, object_id) "
                 "SELECT $1::bigint, t.n - 1, t.id FROM unnest($2::bigint[]) WITH ORDINALITY "
                 "AS t(id, n) WHERE EXISTS (SELECT 1 FROM symbols WHERE id = $1)",
                 insert}}));
  if (results[0].changed() == 0) return notFound("no symbol " + std::to_string(symbol));
  return Status::Ok();
}

Status PgStore::deleteSymbol(uint32_t symbol) {
  OVW_TRY_ASSIGN(Rows deleted, q("DELETE FROM symbols WHERE id = $1", {param(int64_t{symbol})}));
  if (deleted.changed() == 0) return notFound("no symbol " + std::to_string(symbol));
  return Status::Ok();
}

// --- Applications -----------------------------------------------------------------------

Result<bool> PgStore::actionRegistered(std::string_view application, std::string_view action) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT 1 FROM actions WHERE application = $1 AND name = $2",
                              {param(application), param(action)}));
  return rows.count() > 0;
}

Result<std::vector<ApplicationRow>> PgStore::applications() {
  // Names sort by their bytes, as in the SQLite file, whatever the database's collation.
  OVW_TRY_ASSIGN(Rows apps,
                 q("SELECT name, description FROM applications ORDER BY name COLLATE \"C\""));
  std::vector<ApplicationRow> out;
  for (int i = 0; i < apps.count(); ++i) {
    out.push_back({apps.text(i, 0).value_or(""), apps.text(i, 1), {}});
  }
  for (ApplicationRow &a : out) {
    OVW_TRY_ASSIGN(Rows actions, q("SELECT name, command FROM actions WHERE application = $1 "
                                   "ORDER BY name COLLATE \"C\"",
                                   {param(std::string_view(a.name))}));
    for (int i = 0; i < actions.count(); ++i) {
      a.actions.push_back({actions.text(i, 0).value_or(""), actions.text(i, 1)});
    }
  }
  return out;
}

Status PgStore::registerApplication(std::string_view name,
                                    std::optional<std::string_view> description) {
  OVW_TRY(checkText("application name", name));
  if (description) OVW_TRY(checkText("description", *description, true));
  return run(
      "INSERT INTO applications(name, description) VALUES ($1, $2) "
      "ON CONFLICT (name) DO UPDATE SET description = excluded.description",
      {param(name), optParam(description)});
}

Status PgStore::registerAction(std::string_view application, std::string_view action,
                               std::optional<std::string_view> command) {
  OVW_TRY(checkText("action name", action));
  if (command) OVW_TRY(checkText("command", *command, true));
  return run(
      "INSERT INTO actions(application, name, command) VALUES ($1, $2, $3) "
      "ON CONFLICT (application, name) DO UPDATE SET command = excluded.command",
      {param(application), param(action), optParam(command)});
}

// --- Sessions and selections ------------------------------------------------------------

namespace {

constexpr const char *kSessionColumns =
    "SELECT id, name, running, COALESCE(map_id, 0) FROM sessions ";

SessionRow sessionOf(const Rows &rows, int i) {
  return SessionRow{rows.int64(i, 0), rows.text(i, 1).value_or(""), rows.int64(i, 2) != 0,
                    static_cast<int32_t>(rows.int64(i, 3))};
}

}  // namespace

Result<std::vector<SessionRow>> PgStore::sessions() {
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kSessionColumns) + "ORDER BY id"));
  std::vector<SessionRow> out;
  for (int i = 0; i < rows.count(); ++i) out.push_back(sessionOf(rows, i));
  return out;
}

Result<std::optional<SessionRow>> PgStore::runningSession(std::string_view name) {
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kSessionColumns) + "WHERE name = $1 AND running = 1",
                              {param(name)}));
  if (rows.count() == 0) return std::optional<SessionRow>();
  return std::optional<SessionRow>(sessionOf(rows, 0));
}

Result<std::optional<SessionRow>> PgStore::sessionById(int64_t id) {
  OVW_TRY_ASSIGN(Rows rows, q(std::string(kSessionColumns) + "WHERE id = $1", {param(id)}));
  if (rows.count() == 0) return std::optional<SessionRow>();
  return std::optional<SessionRow>(sessionOf(rows, 0));
}

Status PgStore::startSession(std::string_view name) {
  OVW_TRY(checkText("session name", name));
  // Ended sessions that nobody is attached to any more are of no use.
  OVW_TRY(
      run("DELETE FROM sessions WHERE running = 0 AND NOT EXISTS "
          "(SELECT 1 FROM attachments a WHERE a.session_id = sessions.id)"));
  return run("INSERT INTO sessions(name, running, started_at) VALUES ($1, 1, $2)",
             {param(name), param(nowMicros() / 1000000)});
}

Status PgStore::endSession(int64_t session_id) {
  OVW_TRY(run("UPDATE sessions SET running = 0, map_id = NULL, ended_at = $1 WHERE id = $2",
              {param(nowMicros() / 1000000), param(session_id)}));
  return run("DELETE FROM selections WHERE session_id = $1", {param(session_id)});
}

Status PgStore::setSessionMap(int64_t session_id, int32_t map_id) {
  return run("UPDATE sessions SET map_id = $1 WHERE id = $2",
             {param(int64_t{map_id}), param(session_id)});
}

Result<std::vector<uint32_t>> PgStore::selection(int64_t session_id) {
  return idsFrom("SELECT object_id FROM selections WHERE session_id = $1 ORDER BY position",
                 {param(session_id)});
}

Status PgStore::setSelection(int64_t session_id, std::span<const uint32_t> objects) {
  if (objects.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many objects");
  OVW_TRY(run("DELETE FROM selections WHERE session_id = $1", {param(session_id)}));
  int64_t position = 0;
  for (uint32_t id : objects) {
    OVW_TRY_ASSIGN(bool exists, objectExists(id));
    if (!exists) return notFound("no object " + std::to_string(id));
    OVW_TRY(run("INSERT INTO selections(session_id, position, object_id) VALUES ($1, $2, $3)",
                {param(session_id), param(position++), param(int64_t{id})}));
  }
  return Status::Ok();
}

}  // namespace kestara::ovw
