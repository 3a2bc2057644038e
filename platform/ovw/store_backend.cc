// store_backend.cc - choosing the store a location names, and what every back end checks.
#include "store_backend.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>

#include "pg_store.h"
#include "store.h"

namespace kestara::ovw {

int64_t nowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Status checkText(std::string_view what, std::string_view text, bool allow_empty) {
  if (text.empty() && !allow_empty) {
    return makeError(OVW_ERR_BAD_ARG, std::string(what) + " is empty");
  }
  if (text.size() > kMaxText) {
    return makeError(OVW_ERR_BAD_ARG,
                     std::string(what) + " is longer than " + std::to_string(kMaxText) + " bytes");
  }
  if (text.find('\0') != std::string_view::npos) {
    return makeError(OVW_ERR_BAD_ARG, std::string(what) + " contains a NUL byte");
  }
  return Status::Ok();
}

Status checkBooleanField(const std::optional<FieldRow> &field, uint32_t field_id, uint32_t object,
                         bool object_exists) {
  if (!field) return makeError(OVW_ERR_NOT_FOUND, "no field with id " + std::to_string(field_id));
  if (field->type != OVW_FIELD_BOOLEAN) {
    return makeError(OVW_ERR_BAD_ARG, "field \"" + field->name + "\" is not boolean");
  }
  if (!object_exists) return makeError(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
  return Status::Ok();
}

namespace {

Status checkBooleanField(StoreBackend &store, uint32_t object, uint32_t field) {
  OVW_TRY_ASSIGN(std::optional<FieldRow> f, store.fieldById(field));
  if (!f || f->type != OVW_FIELD_BOOLEAN) return checkBooleanField(f, field, object, false);
  OVW_TRY_ASSIGN(bool exists, store.objectExists(object));
  return checkBooleanField(f, field, object, exists);
}

}  // namespace

Result<bool> StoreBackend::booleanValue(uint32_t object, uint32_t field) {
  OVW_TRY(checkBooleanField(*this, object, field));
  OVW_TRY_ASSIGN(std::optional<int64_t> v, fieldValue(object, field));
  return v && *v != 0;
}

Status StoreBackend::setBooleanValue(uint32_t object, uint32_t field, bool value) {
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, transaction());
  OVW_TRY(checkBooleanField(*this, object, field));
  OVW_TRY(setFieldValue(object, field, value ? 1 : 0));
  return txn->commit();
}

Result<std::optional<SymbolRow>> StoreBackend::symbolOnMap(uint32_t id, int32_t map_id) {
  OVW_TRY_ASSIGN(std::optional<SymbolRow> row, symbol(id));
  if (row) {
    OVW_TRY_ASSIGN(std::optional<SubmapRow> submap, this->submap(row->submap_id));
    if (submap && submap->map_id == map_id) return std::optional<SymbolRow>(std::move(*row));
  }
  return std::optional<SymbolRow>();
}

Result<std::vector<ObjectRow>> StoreBackend::objects(std::span<const uint32_t> ids,
                                                     int32_t map_id) {
  std::vector<ObjectRow> rows;
  for (uint32_t id : ids) {
    OVW_TRY_ASSIGN(std::optional<ObjectRow> row, object(id, map_id));
    if (row) rows.push_back(std::move(*row));
  }
  return rows;
}

std::string databasePath() {
  const char *env = std::getenv("OVW_DATABASE");
  if (env != nullptr && env[0] != '\0') return env;
  return kDefaultDatabasePath;
}

bool isPostgresLocation(std::string_view location) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://")) return true;
  // A keyword string: "keyword=value" pairs. A file path has no '=' before its first '/'. (The
  // same rule as pg::isConnectionString, which the PostgreSQL layer uses.)
  const size_t equals = location.find('=');
  if (equals == std::string_view::npos || equals == 0) return false;
  const std::string_view keyword = location.substr(0, equals);
  return std::all_of(keyword.begin(), keyword.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
}

Result<std::unique_ptr<StoreBackend>> openStore(const std::string &location) {
  if (isPostgresLocation(location)) {
    OVW_TRY_ASSIGN(std::unique_ptr<PgStore> store, PgStore::open(location));
    return std::unique_ptr<StoreBackend>(std::move(store));
  }
  OVW_TRY_ASSIGN(std::unique_ptr<SqliteStore> store, SqliteStore::open(location));
  return std::unique_ptr<StoreBackend>(std::move(store));
}

}  // namespace kestara::ovw
