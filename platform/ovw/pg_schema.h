// pg_schema.h - the layout of the OVw database on a PostgreSQL server, and its versions.
//
// The same tables, keys and versions as the SQLite file (schema.h). The identity that the file
// keeps in PRAGMA application_id and user_version is a one-row table, ovw_identity. A database
// of an older version is brought up to date when it is opened; one of a newer version, or one
// that holds tables but no identity, is refused and left untouched. Two processes opening a new
// database at once are serialised by a transaction-level advisory lock.
#ifndef KESTARA_PLATFORM_OVW_PG_SCHEMA_H
#define KESTARA_PLATFORM_OVW_PG_SCHEMA_H

#include <memory>
#include <string>

#include "pg_db.h"
#include "result.h"
#include "schema.h"

namespace kestara::ovw::pg {

// Connects to `location` and creates or upgrades the schema to `target_version`.
// OVW_ERR_NO_DATABASE when the server can't be reached or the database is not a usable one.
Result<std::unique_ptr<Connection>> openDatabase(const std::string &location,
                                                 int target_version = kSchemaVersion,
                                                 const Limits &limits = {});

// The schema version of the database behind `c` (0 for an empty one), changing nothing.
Result<int> schemaVersion(Connection &c);

}  // namespace kestara::ovw::pg

#endif  // KESTARA_PLATFORM_OVW_PG_SCHEMA_H
