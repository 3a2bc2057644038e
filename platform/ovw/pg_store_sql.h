// pg_store_sql.h - statements and helpers that the parts of PgStore (pg_store*.cc) share.
#ifndef KESTARA_PLATFORM_OVW_PG_STORE_SQL_H
#define KESTARA_PLATFORM_OVW_PG_STORE_SQL_H

#include <optional>
#include <string>
#include <string_view>

#include "pg_db.h"
#include "store_backend.h"

namespace kestara::ovw::pgsql {

// A write transaction: read committed, so that each statement sees what the writers before it
// committed, with the writers' lock taken first (keys "OVwD" and 1, beside the schema lock's
// single key).
inline constexpr const char *kBeginWrite = "BEGIN ISOLATION LEVEL READ COMMITTED";
inline constexpr const char *kWritersLock = "SELECT pg_advisory_xact_lock(1331066692, 1)";

// The last event id ever given (ids are never reused), 0 before the first.
inline constexpr const char *kLastEventId =
    "COALESCE(pg_sequence_last_value(pg_get_serial_sequence('events', 'id')::regclass), 0)";

// An object from a row whose columns are its id, host name, selection name, isNode and
// isSNMPSupported, and its child submap (0 when the row has no sixth column).
ObjectRow objectOf(const pg::Rows &rows, int row);

inline pg::Param optParam(const std::optional<std::string> &text) {
  return text ? pg::param(std::string_view(*text)) : pg::nullParam();
}
inline pg::Param optParam(std::optional<std::string_view> text) {
  return text ? pg::param(*text) : pg::nullParam();
}

}  // namespace kestara::ovw::pgsql

#endif  // KESTARA_PLATFORM_OVW_PG_STORE_SQL_H
