// store_backend.h - the OVw object database, maps, sessions and event queue as the OVw library,
// the `ovw` tool and mapview use them, whatever database holds them: the rows they read and the
// StoreBackend interface. openStore() opens the back end that a location names: SqliteStore
// (store.h) for a database file, PgStore (pg_store.h) for a database on a PostgreSQL server.
//
// Calls marked "in a transaction" expect the caller to hold a Transaction and to wake the
// parties collected in a Wakes after the commit.
#ifndef KESTARA_PLATFORM_OVW_STORE_BACKEND_H
#define KESTARA_PLATFORM_OVW_STORE_BACKEND_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "result.h"

namespace kestara::ovw {

// Longest text (host name, selection name, label, symbol type, application, action, map or
// session name) that the store accepts.
inline constexpr size_t kMaxText = 255;
// Most terms of a field-value filter, objects of a selection, targets of a symbol, objects of one
// event.
inline constexpr size_t kMaxListItems = 4096;

struct FieldRow {
  uint32_t id = 0;
  std::string name;
  int type = 0;  // OVW_FIELD_*
};

struct ObjectRow {
  uint32_t id = 0;
  std::optional<std::string> hostname;
  std::optional<std::string> selection_name;
  bool is_node = false;
  bool is_snmp_supported = false;
  uint32_t child_submap = 0;  // on the map asked about; 0 for none
};

struct MapRow {
  int32_t id = 0;
  std::string name;
  uint32_t root_submap = 0;
};

struct SubmapRow {
  uint32_t id = 0;
  int32_t map_id = 0;
  std::string name;
  int layout = 0;
  uint32_t parent_object = 0;  // 0: the root submap
};

struct SymbolRow {
  uint32_t id = 0;
  uint32_t submap_id = 0;
  uint32_t object_id = 0;
  std::string type;
  std::string label;
  int status = 0;
  int variety = 0;
  int flags = 0;
  std::optional<std::string> application;
  int behavior = 0;
  std::optional<std::string> action;
  std::vector<uint32_t> targets;
};

struct SessionRow {
  int64_t id = 0;
  std::string name;
  bool running = false;
  int32_t map_id = 0;  // the open map, 0 for none
};

struct ActionRow {
  std::string name;
  std::optional<std::string> command;
};

struct ApplicationRow {
  std::string name;
  std::optional<std::string> description;
  std::vector<ActionRow> actions;  // by name
};

struct AttachmentRow {
  int64_t id = 0;
  std::string application;
  int64_t pid = 0;
};

// One term of a field-value filter, already checked: boolean terms ask for true (value != 0)
// or false/absent (value 0); integer and enumeration terms for equality.
struct FilterTerm {
  uint32_t field_id = 0;
  int type = OVW_FIELD_BOOLEAN;
  int64_t value = 1;
};
using Filter = std::vector<FilterTerm>;

struct EventRow {
  int64_t id = 0;
  int event = 0;
  int64_t session_id = 0;  // 0: every session
  int32_t map_id = 0;
  uint32_t submap_id = 0;
  int64_t posted_us = 0;
  std::vector<ObjectRow> objects;  // as recorded when posted
};

struct Attachment {
  int64_t id = 0;
  int64_t session_id = 0;
  std::string session_name;
};

// Parties to wake once the transaction that posted their events has committed, by their wake
// tokens.
struct Wakes {
  std::vector<std::string> tokens;
};

// Microseconds since the epoch (CLOCK_REALTIME), comparable between processes.
int64_t nowMicros();

// What a boolean field's read or write checks first: that the field `field_id` exists (its row,
// when it does) and is boolean, and that the object exists.
Status checkBooleanField(const std::optional<FieldRow> &field, uint32_t field_id, uint32_t object,
                         bool object_exists);

// Checks a text bound for the store: non-empty (unless `allow_empty`) and at most kMaxText.
Status checkText(std::string_view what, std::string_view text, bool allow_empty = false);

// A write transaction: rolled back when it goes uncommitted. Within a write group it is a part of
// the group's transaction.
class Transaction {
 public:
  virtual ~Transaction() = default;
  virtual Status commit() = 0;
};

// The receiving end of wake-ups for one party (an attached process, or a map closer waiting for
// acknowledgements): its token is what the database records, and its descriptor becomes
// readable when the party is woken.
class WakeSource {
 public:
  virtual ~WakeSource() = default;
  virtual const std::string &token() const = 0;
  virtual int fd() const = 0;
  // Reads away every pending wake-up.
  virtual void drain() = 0;
  // Sleeps until woken or until `timeout` passes (forever when none). True when woken.
  virtual bool wait(std::optional<std::chrono::milliseconds> timeout) = 0;
};

class StoreBackend {
 public:
  virtual ~StoreBackend() = default;

  // Where the database is, for messages and listings.
  virtual const std::string &location() const = 0;

  // --- Transactions, write groups and wake-ups ---
  virtual Result<std::unique_ptr<Transaction>> transaction() = 0;
  // A consistent picture for a series of reads, until it ends (commit() or its destruction).
  virtual Result<std::unique_ptr<Transaction>> readTransaction() = 0;
  // A write group: the transactions begun until endGroup() commit together, and the parties
  // woken meanwhile are woken when it ends. endGroup() reports a group whose writes were lost.
  virtual Status beginGroup() = 0;
  virtual Status endGroup() = 0;
  // Ends the open write group (if any) as a failed commit would: nothing of it is committed.
  virtual void abandonGroup() = 0;
  // Wakes the parties (attachments whose process has ended are reclaimed). Within a write group
  // the parties are woken when the group ends, once what they are to read is committed.
  virtual void wake(Wakes &wakes) = 0;
  // A fresh receiving end of wake-ups, whose token an attachment or a map close records.
  virtual Result<std::unique_ptr<WakeSource>> wakeSource() = 0;
  // Removes attachments whose process has ended.
  virtual Status reclaimDeadAttachments() = 0;

  // --- Fields and values ---
  virtual Result<std::optional<FieldRow>> fieldByName(std::string_view name) = 0;
  virtual Result<std::optional<FieldRow>> fieldById(uint32_t id) = 0;
  virtual Result<std::vector<FieldRow>> fields() = 0;
  // In a transaction. Defines a field, or checks an existing one has the same type.
  virtual Status defineField(std::string_view name, int type) = 0;
  // nullopt when the object has no value for the field.
  virtual Result<std::optional<int64_t>> fieldValue(uint32_t object, uint32_t field) = 0;
  virtual Status setFieldValue(uint32_t object, uint32_t field, int64_t value) = 0;
  // The object's values by field name, in field order.
  virtual Result<std::vector<std::pair<std::string, int64_t>>> fieldValues(uint32_t object) = 0;
  // The value of a boolean field of an existing object (false when it has none):
  // OVW_ERR_NOT_FOUND when the field or the object doesn't exist, OVW_ERR_BAD_ARG when the
  // field isn't boolean. The back end may answer with fewer round trips than the calls above.
  virtual Result<bool> booleanValue(uint32_t object, uint32_t field);
  // Sets a boolean field of an existing object in a write transaction of its own (within a write
  // group, a part of the group's), failing as booleanValue() does.
  virtual Status setBooleanValue(uint32_t object, uint32_t field, bool value);

  // --- Objects ---
  virtual Result<bool> objectExists(uint32_t id) = 0;
  // Ascending ids of every object.
  virtual Result<std::vector<uint32_t>> objectIds() = 0;
  // The object with its isNode/isSNMPSupported values and its own submap on `map_id` (0: no
  // map). nullopt when there is no such object.
  virtual Result<std::optional<ObjectRow>> object(uint32_t id, int32_t map_id) = 0;
  // The objects of `ids` that exist, as object() reads them, in the order of `ids`. The back end
  // may read them together.
  virtual Result<std::vector<ObjectRow>> objects(std::span<const uint32_t> ids, int32_t map_id);
  // The object with only its id and names filled in (a cheaper read for name lookups).
  virtual Result<std::optional<ObjectRow>> objectNames(uint32_t id) = 0;
  // The lowest id of the objects whose host name (or, with `hostname` false, selection name)
  // is `name`; 0 when there is none.
  virtual Result<uint32_t> objectIdByName(bool hostname, std::string_view name) = 0;
  // Ascending ids of the objects that match every term; on `map_id` only those with a symbol on
  // that map (0: all objects).
  virtual Result<std::vector<uint32_t>> findObjects(const Filter &filter, int32_t map_id) = 0;
  virtual Result<bool> objectMatches(uint32_t id, const Filter &filter) = 0;
  // In a transaction. Creates an object and posts event 18 for it.
  virtual Result<uint32_t> createObject(std::optional<std::string_view> hostname,
                                        std::optional<std::string_view> selection_name,
                                        std::span<const std::pair<uint32_t, int64_t>> values,
                                        Wakes &wakes) = 0;
  // In a transaction. Renames an object (the names given; nullopt leaves one as it is).
  virtual Status setObjectNames(uint32_t object, std::optional<std::string_view> hostname,
                                std::optional<std::string_view> selection_name) = 0;
  // In a transaction. Deletes objects (values, symbols, own submaps, selections go with them)
  // and posts one event 15 that lists them as they were. Fails, deleting nothing, when one of
  // them does not exist.
  virtual Status deleteObjects(std::span<const uint32_t> ids, Wakes &wakes) = 0;
  virtual Result<std::optional<uint32_t>> objectByHostname(std::string_view hostname) = 0;

  // --- Maps, submaps, symbols ---
  virtual Result<std::vector<int32_t>> mapIds() = 0;
  virtual Result<std::optional<MapRow>> mapById(int32_t id) = 0;
  virtual Result<std::optional<MapRow>> mapByName(std::string_view name) = 0;
  // In a transaction. The map `name`, created with its root submap when missing.
  virtual Result<MapRow> mapNamed(std::string_view name) = 0;
  // Ascending ids of the submaps of a map.
  virtual Result<std::vector<uint32_t>> submapIds(int32_t map_id) = 0;
  virtual Result<std::optional<SubmapRow>> submap(uint32_t id) = 0;
  virtual Result<uint32_t> submapOfObject(int32_t map_id, uint32_t object) = 0;  // 0: none
  // In a transaction.
  virtual Result<uint32_t> createSubmap(int32_t map_id, std::string_view name,
                                        uint32_t parent_object) = 0;
  virtual Result<std::optional<SymbolRow>> symbol(uint32_t id) = 0;
  // The symbol when it lies on a submap of `map_id`; nullopt otherwise. The back end may answer
  // with fewer round trips than symbol() and submap() one after the other.
  virtual Result<std::optional<SymbolRow>> symbolOnMap(uint32_t id, int32_t map_id);
  // Symbols on a submap, oldest first; only those of `application` when given.
  virtual Result<std::vector<SymbolRow>> symbolsOnSubmap(
      uint32_t submap, std::optional<std::string_view> application) = 0;
  // Symbols of an object on a map, oldest first.
  virtual Result<std::vector<SymbolRow>> symbolsOfObject(int32_t map_id, uint32_t object) = 0;
  // In a transaction.
  virtual Result<uint32_t> createSymbol(uint32_t submap, uint32_t object, std::string_view type,
                                        std::string_view label, int status, int variety, int flags,
                                        std::optional<std::string_view> application) = 0;
  virtual Status setSymbolBehavior(uint32_t symbol, int behavior,
                                   std::optional<std::string_view> application,
                                   std::optional<std::string_view> action,
                                   std::span<const uint32_t> targets) = 0;
  virtual Status deleteSymbol(uint32_t symbol) = 0;

  // --- Applications ---
  virtual Result<bool> actionRegistered(std::string_view application, std::string_view action) = 0;
  // Every application with its actions, by name.
  virtual Result<std::vector<ApplicationRow>> applications() = 0;
  // In a transaction.
  virtual Status registerApplication(std::string_view name,
                                     std::optional<std::string_view> description) = 0;
  virtual Status registerAction(std::string_view application, std::string_view action,
                                std::optional<std::string_view> command) = 0;

  // --- Sessions and selections ---
  // Every session, running or ended, oldest first.
  virtual Result<std::vector<SessionRow>> sessions() = 0;
  virtual Result<std::optional<SessionRow>> runningSession(std::string_view name) = 0;
  virtual Result<std::optional<SessionRow>> sessionById(int64_t id) = 0;
  // In a transaction. Starts the session `name` (the caller has checked that it isn't running);
  // ended sessions that nobody is attached to any more are removed.
  virtual Status startSession(std::string_view name) = 0;
  // In a transaction. Ends a session: no open map, no selection.
  virtual Status endSession(int64_t session_id) = 0;
  // In a transaction. Opens a map in the session (no events: the caller posts them).
  virtual Status setSessionMap(int64_t session_id, int32_t map_id) = 0;
  virtual Result<std::vector<uint32_t>> selection(int64_t session_id) = 0;
  // In a transaction. Replaces the selection of the session's open map.
  virtual Status setSelection(int64_t session_id, std::span<const uint32_t> objects) = 0;

  // --- Attachments and events ---
  // Attaches to the running session `name`; OVW_ERR_NO_SESSION when it isn't running.
  virtual Result<Attachment> attach(std::string_view session_name, std::string_view application,
                                    std::string_view wake_token, int64_t pid) = 0;
  virtual Status detach(int64_t attachment_id) = 0;
  // The attachments to a session, oldest first.
  virtual Result<std::vector<AttachmentRow>> attachments(int64_t session_id) = 0;
  // Registers (again) for an event: events of that kind posted from now on are delivered.
  virtual Status registerEvent(int64_t attachment_id, int event) = 0;
  // The events an attachment registered for, ascending.
  virtual Result<std::vector<int>> registeredEvents(int64_t attachment_id) = 0;

  struct Next {
    enum Kind { kEvent, kNone, kEnded } kind = kNone;
    int64_t event_id = 0;
    int event = 0;
  };
  // Takes the next event for the attachment, marking it delivered. kEnded when the session has
  // ended (or the attachment is gone) and nothing is left for it.
  virtual Result<Next> takeNext(int64_t attachment_id) = 0;
  virtual Result<std::optional<EventRow>> event(int64_t id) = 0;

  // In a transaction. Posts an event to the attachments of `session_id` (0: of every session)
  // that registered for it (event 1: to all of that session's attachments). `objects` are
  // recorded with the event.
  virtual Result<int64_t> postEvent(int event, int64_t session_id, int32_t map_id,
                                    uint32_t submap_id, std::span<const ObjectRow> objects,
                                    Wakes &wakes) = 0;

  // --- Map close ---
  // In a transaction. Posts event 4 for the session's open map and records which attachments
  // must acknowledge it; `closer_token` is woken at each acknowledgement. Returns the close id.
  virtual Result<int64_t> beginMapClose(const SessionRow &session, std::string_view closer_token,
                                        Wakes &wakes) = 0;
  // Attachments that still owe an acknowledgement: (attachment id, application).
  virtual Result<std::vector<std::pair<int64_t, std::string>>> pendingAcks(int64_t close_id) = 0;
  // In a transaction. Closes the map: the session has no open map and no selection.
  virtual Status finishMapClose(int64_t close_id, const SessionRow &session) = 0;
  // Records an attachment's acknowledgement and wakes the closer. Unknown or finished closes
  // are accepted silently: there is nothing left to acknowledge.
  virtual Status ackMapClose(int64_t attachment_id, int64_t close_id) = 0;

  // --- Keeping the database safe ---
  // A consistent copy of the whole database in the file `destination`, made while other
  // processes go on using it.
  virtual Status backup(const std::string &destination) = 0;
  // Replaces the contents of the database with the copy `source`; refused while a process is
  // attached to a map session.
  virtual Status restore(const std::string &source) = 0;
  // The faults found in the database and its files, one line each (none when all is well). An
  // error means the check could not run.
  virtual Result<std::vector<std::string>> check() = 0;
};

// The database's location: $OVW_DATABASE, or the default.
std::string databasePath();
inline constexpr const char *kDefaultDatabasePath = "/var/lib/kestara/ovw.db";

// Opens the store that `location` names: a file path opens (creating when missing) an SQLite
// database; a PostgreSQL connection URI ("postgresql://...") or keyword string ("host=... dbname=
// ...") connects to that database, creating or upgrading its tables. OVW_ERR_NO_DATABASE when
// the file or the server can't be used.
Result<std::unique_ptr<StoreBackend>> openStore(const std::string &location);

// True for a location that names a PostgreSQL database rather than a file: a postgresql:// or
// postgres:// URI, or a keyword string whose first keyword (lower-case letters and '_') comes
// before any '='.
bool isPostgresLocation(std::string_view location);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_STORE_BACKEND_H
