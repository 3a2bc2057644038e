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
