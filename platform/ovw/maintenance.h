// maintenance.h - keeping an OVw database on SQLite safe: copies made while the programs run,
// putting a copy back, and checking the database and its files. SqliteStore's backup(), restore()
// and check().
#ifndef KESTARA_PLATFORM_OVW_MAINTENANCE_H
#define KESTARA_PLATFORM_OVW_MAINTENANCE_H

#include <string>
#include <vector>

#include "result.h"
#include "store.h"

namespace kestara::ovw {

// Writes a consistent copy of the database to `destination` while other processes go on
// reading and writing it: SQLite's online backup, in one read transaction, so the copy holds
// every committed change up to one moment (also those still in the WAL). The copy is one
// self-contained file (rollback journal, no -wal beside it) of mode 0660. It is written under
// a temporary name in the destination's folder and renamed into place: an existing file there
// is replaced whole or not at all. The database itself or one of its files is refused as
// destination (OVW_ERR_BAD_ARG).
Status backupDatabase(SqliteStore &store, const std::string &destination);

// Replaces the contents of the database with the copy at `source`, through the same backup
// API (the WAL and the other connections stay consistent). The source must be an OVw database
// of this build's schema version or an older one (it is upgraded at the next opening); it is
// only read. Refused while a process is attached to a map session (OVW_ERR_DB, naming it):
// stop the programs that use the database first.
Status restoreDatabase(SqliteStore &store, const std::string &source);

// Runs SQLite's integrity and foreign-key checks, and looks at the database's files (the
// database, -wal, -shm, the wake folder and its FIFOs): each must be readable and writable by
// its owner and the database's group and by nobody else, and the wake folder must keep its
// group for what is made in it (setgid). Returns one line per fault found; none when all is
// well. An error means the check could not run.
Result<std::vector<std::string>> checkDatabase(SqliteStore &store);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_MAINTENANCE_H
