// migrate.h - moving a station's object database from one back end to the other: an SQLite file
// into a PostgreSQL database, or back.
#ifndef KESTARA_PLATFORM_OVW_MIGRATE_H
#define KESTARA_PLATFORM_OVW_MIGRATE_H

#include <string>

#include "result.h"

namespace kestara::ovw {

// What a move copied.
struct MigrateCount {
  int64_t tables = 0;
  int64_t rows = 0;
};

// Copies everything in the database `from` into the database `to` (each a file path or a
// PostgreSQL location, as OVW_DATABASE takes them): every row of every table with its ids, and
// each table's id counter, so that an id handed out before the move is never handed out again
// after it. Both are opened as the library opens them (created or upgraded to this version
// first). `to` must hold no station yet (no object, map, session or event): anything else is
// refused (OVW_ERR_BAD_ARG) and nothing is written. `from` is read in one consistent snapshot
// and `to` written in one transaction: a failure leaves it as it was. The programs that use
// `from` should be stopped first: what they write after the snapshot is not copied.
Result<MigrateCount> migrate(const std::string &from, const std::string &to);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_MIGRATE_H
