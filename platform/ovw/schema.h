// schema.h - the layout of the OVw database and its versions.
//
// The database carries PRAGMA application_id = kApplicationId and PRAGMA user_version = the
// schema version. A database of an older version is brought up to date step by step when it is
// opened; one of a newer version, or a file that is not an OVw database, is refused and left
// untouched.
#ifndef KESTARA_PLATFORM_OVW_SCHEMA_H
#define KESTARA_PLATFORM_OVW_SCHEMA_H

#include <cstdint>
#include <memory>
#include <string>

#include "result.h"
#include "sqlite_db.h"
#include "store_backend.h"  // databasePath()

namespace kestara::ovw {

inline constexpr int32_t kApplicationId = 0x4F567744;  // "OVwD"
inline constexpr int kSchemaVersion = 2;

// Opens the database at `path` (its folder is created when missing), sets the connection up
// (WAL, busy time-out, foreign keys) and creates or upgrades the schema to `target_version`.
// target_version is below kSchemaVersion only in tests that build an older database.
Result<std::unique_ptr<Db>> openDatabase(const std::string &path,
                                         int target_version = kSchemaVersion);

// Checks, changing nothing, that `db` holds an OVw database of this build's schema version or
// an older one (an empty file does not count): what `ovw restore` asks of its source.
Status checkExistingDatabase(Db &db);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_SCHEMA_H
