// store_backend.cc - choosing the store a location names, and what every back end checks.
#include "store_backend.h"

#include <time.h>

#include <cctype>
#include <cstdlib>

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
  // A libpq keyword string starts with a keyword (letters and '_') and '=', with blanks allowed
  // around it; a file path such as /var/lib/kestara/ovw.db or ovw.db does not.
  size_t i = location.find_first_not_of(" \t");
  if (i == std::string_view::npos) return false;
  size_t end = i;
  while (end < location.size() &&
         (std::isalpha(static_cast<unsigned char>(location[end])) != 0 || location[end] == '_')) {
    ++end;
  }
  if (end == i) return false;
  size_t eq = location.find_first_not_of(" \t", end);
  return eq != std::string_view::npos && location[eq] == '=';
}

Result<std::unique_ptr<StoreBackend>> openStore(const std::string &location) {
  if (isPostgresLocation(location)) {
    return makeError(OVW_ERR_NO_DATABASE,
                     "PostgreSQL databases are not supported by this build (OVW_DATABASE names "
                     "one); use the path of an SQLite database file");
  }
  OVW_TRY_ASSIGN(std::unique_ptr<SqliteStore> store, SqliteStore::open(location));
  return std::unique_ptr<StoreBackend>(std::move(store));
}

}  // namespace kestara::ovw
