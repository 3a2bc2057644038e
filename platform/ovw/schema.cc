// schema.cc - creating and upgrading the OVw database.
#include "schema.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "shared_files.h"

namespace kestara::ovw {

namespace {

// Version 1: the object database, the maps, the sessions and the event queue.
constexpr const char *kVersion1 = R"sql(
CREATE TABLE objects (
  id INTEGER PRIMARY KEY AUTOINCREMENT CHECK (id BETWEEN 1 AND 4294967295),
  hostname TEXT,
  selection_name TEXT
);
CREATE INDEX objects_by_hostname ON objects(hostname);

CREATE TABLE fields (
  id INTEGER PRIMARY KEY AUTOINCREMENT CHECK (id BETWEEN 1 AND 4294967295),
  name TEXT NOT NULL UNIQUE,
  type INTEGER NOT NULL CHECK (type BETWEEN 1 AND 4)
);
INSERT INTO fields(name, type) VALUES ('isNode', 2), ('isSNMPSupported', 2);

CREATE TABLE field_values (
  object_id INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  field_id INTEGER NOT NULL REFERENCES fields(id) ON DELETE CASCADE,
  value INTEGER NOT NULL,
  PRIMARY KEY (object_id, field_id)
) WITHOUT ROWID;
CREATE INDEX field_values_by_field ON field_values(field_id, value);

CREATE TABLE applications (
  name TEXT PRIMARY KEY,
  description TEXT
) WITHOUT ROWID;

CREATE TABLE actions (
  application TEXT NOT NULL REFERENCES applications(name) ON DELETE CASCADE,
  name TEXT NOT NULL,
  command TEXT,
  PRIMARY KEY (application, name)
) WITHOUT ROWID;

CREATE TABLE maps (
  id INTEGER PRIMARY KEY AUTOINCREMENT CHECK (id BETWEEN 1 AND 2147483647),
  name TEXT NOT NULL UNIQUE
);

CREATE TABLE submaps (
  id INTEGER PRIMARY KEY AUTOINCREMENT CHECK (id BETWEEN 1 AND 4294967295),
  map_id INTEGER NOT NULL REFERENCES maps(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  parent_object_id INTEGER REFERENCES objects(id) ON DELETE CASCADE,
  layout INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX submaps_one_root ON submaps(map_id) WHERE parent_object_id IS NULL;
CREATE UNIQUE INDEX submaps_one_per_object ON submaps(map_id, parent_object_id)
  WHERE parent_object_id IS NOT NULL;
CREATE INDEX submaps_by_parent ON submaps(parent_object_id);

CREATE TABLE symbols (
  id INTEGER PRIMARY KEY AUTOINCREMENT CHECK (id BETWEEN 1 AND 4294967295),
  submap_id INTEGER NOT NULL REFERENCES submaps(id) ON DELETE CASCADE,
  object_id INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  type TEXT NOT NULL,
  label TEXT NOT NULL,
  status INTEGER NOT NULL,
  variety INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  application TEXT,
  behavior INTEGER NOT NULL DEFAULT 0,
  action_application TEXT,
  action TEXT
);
CREATE INDEX symbols_by_submap ON symbols(submap_id, application);
CREATE INDEX symbols_by_object ON symbols(object_id);

CREATE TABLE symbol_targets (
  symbol_id INTEGER NOT NULL REFERENCES symbols(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  object_id INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  PRIMARY KEY (symbol_id, position)
) WITHOUT ROWID;
CREATE INDEX symbol_targets_by_object ON symbol_targets(object_id);

CREATE TABLE sessions (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL,
  running INTEGER NOT NULL,
  map_id INTEGER REFERENCES maps(id) ON DELETE SET NULL,
  started_at INTEGER NOT NULL,
  ended_at INTEGER
);
CREATE UNIQUE INDEX sessions_one_running ON sessions(name) WHERE running = 1;

CREATE TABLE selections (
  session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  object_id INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  PRIMARY KEY (session_id, position)
) WITHOUT ROWID;
CREATE INDEX selections_by_object ON selections(object_id);

CREATE TABLE attachments (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
  application TEXT NOT NULL,
  wake_token TEXT NOT NULL UNIQUE,
  cursor INTEGER NOT NULL,
  attached_at INTEGER NOT NULL
);
CREATE INDEX attachments_by_session ON attachments(session_id);

CREATE TABLE registrations (
  attachment_id INTEGER NOT NULL REFERENCES attachments(id) ON DELETE CASCADE,
  event INTEGER NOT NULL,
  since INTEGER NOT NULL,
  PRIMARY KEY (attachment_id, event)
) WITHOUT ROWID;

CREATE TABLE events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  session_id INTEGER REFERENCES sessions(id) ON DELETE CASCADE,
  event INTEGER NOT NULL,
  map_id INTEGER,
  submap_id INTEGER
);

CREATE TABLE event_objects (
  event_id INTEGER NOT NULL REFERENCES events(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  object_id INTEGER NOT NULL,
  hostname TEXT,
  selection_name TEXT,
  is_node INTEGER NOT NULL,
  is_snmp_supported INTEGER NOT NULL,
  PRIMARY KEY (event_id, position)
) WITHOUT ROWID;

CREATE TABLE map_closes (
  close_id INTEGER PRIMARY KEY,
  session_id INTEGER NOT NULL REFERENCES sessions(id) ON DELETE CASCADE,
  map_id INTEGER NOT NULL,
  wake_token TEXT NOT NULL,
  started_at INTEGER NOT NULL
);

CREATE TABLE map_close_waits (
  close_id INTEGER NOT NULL REFERENCES map_closes(close_id) ON DELETE CASCADE,
  attachment_id INTEGER NOT NULL REFERENCES attachments(id) ON DELETE CASCADE,
  acked INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (close_id, attachment_id)
) WITHOUT ROWID;
CREATE INDEX map_close_waits_by_attachment ON map_close_waits(attachment_id);
)sql";

// Version 2: attachments record the process that holds them (shown by `ovw list`), and events
// the time they were posted (for the wake-up latency).
constexpr const char *kVersion2 = R"sql(
ALTER TABLE attachments ADD COLUMN pid INTEGER NOT NULL DEFAULT 0;
ALTER TABLE events ADD COLUMN posted_us INTEGER NOT NULL DEFAULT 0;
)sql";

constexpr std::array<const char *, kSchemaVersion> kSteps = {kVersion1, kVersion2};

struct Identity {
  int64_t application_id = 0;
  int64_t version = 0;
  int64_t objects = 0;  // rows of sqlite_master
};

// One statement, so that all three come from one snapshot: read one by one, they could
// straddle another process's creation of the schema (no identity yet, but tables already),
// and a database being created would look like a foreign one.
Result<Identity> readIdentity(Db &db) {
  Result<Stmt> stmt = db.prepare(
      "SELECT (SELECT application_id FROM pragma_application_id), "
      "(SELECT user_version FROM pragma_user_version), (SELECT count(*) FROM sqlite_master)");
  if (!stmt) return stmt.error();
  Result<bool> row = stmt->step();
  if (!row) return row.error();
  Identity id;
  if (*row) {
    id.application_id = stmt->int64(0);
    id.version = stmt->int64(1);
    id.objects = stmt->int64(2);
  }
  return id;
}

// Whether the database is ours and readable by this build; an Error explains why not.
Status checkIdentity(const std::string &path, const Identity &id) {
  bool fresh = id.application_id == 0 && id.version == 0 && id.objects == 0;
  if (fresh) return Status::Ok();
  if (id.application_id != kApplicationId) {
    return makeError(OVW_ERR_NO_DATABASE, path + " is not an OVw database");
  }
  if (id.version < 1) {
    return makeError(OVW_ERR_NO_DATABASE, path + " has no schema version; refusing to use it");
  }
  if (id.version > kSchemaVersion) {
    return makeError(OVW_ERR_NO_DATABASE,
                     path + " has schema version " + std::to_string(id.version) +
                         ", newer than this build understands (" + std::to_string(kSchemaVersion) +
                         "); use a newer build");
  }
  return Status::Ok();
}

Status migrate(Db &db, int target_version) {
  Result<Txn> txn = Txn::begin(db);
  if (!txn) return txn.error();
  // Another process may have created or upgraded the schema since the first look.
  Result<Identity> id = readIdentity(db);
  if (!id) return id.error();
  OVW_TRY(checkIdentity(db.path(), *id));
  if (id->version >= target_version) return Status::Ok();  // rolls back nothing of note
  for (int v = static_cast<int>(id->version) + 1; v <= target_version; ++v) {
    Status s = db.exec(kSteps[static_cast<size_t>(v - 1)]);
    if (!s) {
      return makeError(OVW_ERR_NO_DATABASE, "upgrading " + db.path() + " to schema version " +
                                                std::to_string(v) + ": " + s.error().detail);
    }
  }
  std::string pragmas = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                        "; PRAGMA user_version = " + std::to_string(target_version) + ";";
  OVW_TRY(db.exec(pragmas.c_str()));
  return txn->commit();
}

}  // namespace

Status checkExistingDatabase(Db &db) {
  Result<Identity> id = readIdentity(db);
  if (!id) return id.error();
  if (id->objects == 0) return makeError(OVW_ERR_NO_DATABASE, db.path() + " is empty");
  return checkIdentity(db.path(), *id);
}

Result<std::unique_ptr<Db>> openDatabase(const std::string &path, int target_version) {
  if (path.empty()) return makeError(OVW_ERR_NO_DATABASE, "empty database path");
  if (target_version < 1 || target_version > kSchemaVersion) {
    return makeError(OVW_ERR_BAD_ARG, "unknown schema version");
  }
  // A caller who may not use the database learns why before anything is created.
  OVW_TRY(checkDatabaseAccess(path));
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) OVW_TRY(makeSharedFolders(path.substr(0, slash)));
  OVW_TRY(createDatabaseFile(path));

  Result<std::unique_ptr<Db>> opened = Db::open(path);
  if (!opened) return opened.error();
  Db &db = **opened;

  // Look before touching anything: a foreign or newer database is left exactly as it is.
  Result<Identity> id = readIdentity(db);
  if (!id) {
    Error e = id.error();
    if (e.code == OVW_ERR_NO_DATABASE || e.code == OVW_ERR_DB) {
      e.code = OVW_ERR_NO_DATABASE;
      e.detail = "cannot read " + path + ": " + e.detail;
    }
    return e;
  }
  OVW_TRY(checkIdentity(path, *id));

  OVW_TRY(db.exec("PRAGMA foreign_keys = ON"));
  // Switching a new database to WAL needs it to itself for a moment: while another process
  // that is creating it at the same time reads it, the switch is refused (the busy handler is
  // not consulted), so it is tried again for as long as a busy wait would last.
  std::string journal;
  for (int attempt = 0; attempt < 500 && journal != "wal"; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Result<Stmt> mode = db.prepare("PRAGMA journal_mode = WAL");
    if (!mode) return mode.error();
    Result<bool> row = mode->step();
    if (!row) {
      if (row.error().code == OVW_ERR_DB) continue;  // busy: try again
      return row.error();
    }
    journal = *row ? mode->text(0).value_or("") : "";
  }
  if (journal != "wal") {
    return makeError(OVW_ERR_NO_DATABASE,
                     path + ": cannot switch to WAL mode (journal mode " + journal + ")");
  }
  // In WAL mode NORMAL keeps the database consistent after a crash; only the last commits
  // before a power loss may be lost.
  OVW_TRY(db.exec("PRAGMA synchronous = NORMAL"));
  // The -wal and -shm files stay when the last connection closes, so that they keep the mode
  // and group they were given rather than being made again by whoever comes next; the WAL is
  // cut back to a bounded size after each checkpoint instead.
  int persist = 1;
  sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  OVW_TRY(db.exec("PRAGMA journal_size_limit = 4194304"));
  // A database already at the version wanted is opened without the write lock, so that a
  // long writer elsewhere (or a full or read-only disk) does not keep readers out.
  if (id->version != target_version || id->application_id != kApplicationId) {
    Status migrated = migrate(db, target_version);
    if (!migrated) {
      Error e = migrated.error();
      if (e.code == OVW_ERR_DB) e.detail = "preparing " + path + ": " + e.detail;
      return e;
    }
  }
  adoptCompanionFiles(path);
  return opened;
}

}  // namespace kestara::ovw
