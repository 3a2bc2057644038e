// store.h - the OVw object database, maps, sessions and event queue, as used by the OVw library
// and by the `ovw` tool. Every call works on one SQLite connection; calls marked "in a
// transaction" expect the caller to hold a Txn and to wake the parties collected in a Wakes
// after the commit.
#ifndef KESTARA_PLATFORM_OVW_STORE_H
#define KESTARA_PLATFORM_OVW_STORE_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "schema.h"
#include "sqlite_db.h"

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

// Parties to wake once the transaction that posted their events has committed.
struct Wakes {
  std::vector<std::string> tokens;
};

// Microseconds since the epoch (CLOCK_REALTIME), comparable between processes.
int64_t nowMicros();

class Store {
 public:
  static Result<std::unique_ptr<Store>> open(const std::string &path,
                                             int schema_version = kSchemaVersion);
  Db &db() { return *db_; }
  const std::string &path() const { return db_->path(); }
  const std::string &wakeDir() const { return wake_dir_; }
  // The group that shares the database (that of the database file): the wake folder's group.
  gid_t group() const { return group_; }

  Result<Txn> begin() { return Txn::begin(*db_); }
  // Writes the wake-up bytes; attachments whose process has ended are reclaimed. Within a write
  // group the parties are woken when the group ends, once what they are to read is committed.
  void wake(Wakes &wakes);
  // A write group (see Db::beginGroup): the transactions begun until endGroup() commit together.
  Status beginGroup() { return db_->beginGroup(); }
  Status endGroup();
  // Ends the open write group (if any) as a failed commit would: nothing of it is committed.
  void abandonGroup();
  // Removes attachments whose process has ended (their FIFO has no reader).
  Status reclaimDeadAttachments();

  // --- Fields and values ---
  Result<std::optional<FieldRow>> fieldByName(std::string_view name);
  Result<std::optional<FieldRow>> fieldById(uint32_t id);
  Result<std::vector<FieldRow>> fields();
  // In a transaction. Defines a field, or checks an existing one has the same type.
  Status defineField(std::string_view name, int type);
  // nullopt when the object has no value for the field.
  Result<std::optional<int64_t>> fieldValue(uint32_t object, uint32_t field);
  Status setFieldValue(uint32_t object, uint32_t field, int64_t value);

  // --- Objects ---
  Result<bool> objectExists(uint32_t id);
  // The object with its isNode/isSNMPSupported values and its own submap on `map_id` (0: no
  // map). nullopt when there is no such object.
  Result<std::optional<ObjectRow>> object(uint32_t id, int32_t map_id);
  // The object with only its id and names filled in (a cheaper read for name lookups).
  Result<std::optional<ObjectRow>> objectNames(uint32_t id);
  // The lowest id of the objects whose host name (or, with `hostname` false, selection name)
  // is `name`; 0 when there is none.
  Result<uint32_t> objectIdByName(bool hostname, std::string_view name);
  // Ascending ids of the objects that match every term; on `map_id` only those with a symbol on
  // that map (0: all objects).
  Result<std::vector<uint32_t>> findObjects(const Filter &filter, int32_t map_id);
  Result<bool> objectMatches(uint32_t id, const Filter &filter);
  // In a transaction. Creates an object and posts event 18 for it.
  Result<uint32_t> createObject(std::optional<std::string_view> hostname,
                                std::optional<std::string_view> selection_name,
                                std::span<const std::pair<uint32_t, int64_t>> values, Wakes &wakes);
  // In a transaction. Deletes objects (values, symbols, own submaps, selections go with them)
  // and posts one event 15 that lists them as they were. Fails, deleting nothing, when one of
  // them does not exist.
  Status deleteObjects(std::span<const uint32_t> ids, Wakes &wakes);
  Result<std::optional<uint32_t>> objectByHostname(std::string_view hostname);

  // --- Maps, submaps, symbols ---
  Result<std::optional<MapRow>> mapById(int32_t id);
  Result<std::optional<MapRow>> mapByName(std::string_view name);
  // In a transaction. The map `name`, created with its root submap when missing.
  Result<MapRow> mapNamed(std::string_view name);
  Result<std::optional<SubmapRow>> submap(uint32_t id);
  Result<uint32_t> submapOfObject(int32_t map_id, uint32_t object);  // 0: none
  // In a transaction.
  Result<uint32_t> createSubmap(int32_t map_id, std::string_view name, uint32_t parent_object);
  Result<std::optional<SymbolRow>> symbol(uint32_t id);
  // Symbols on a submap, oldest first; only those of `application` when given.
  Result<std::vector<SymbolRow>> symbolsOnSubmap(uint32_t submap,
                                                 std::optional<std::string_view> application);
  // Symbols of an object on a map, oldest first.
  Result<std::vector<SymbolRow>> symbolsOfObject(int32_t map_id, uint32_t object);
  // In a transaction.
  Result<uint32_t> createSymbol(uint32_t submap, uint32_t object, std::string_view type,
                                std::string_view label, int status, int variety, int flags,
                                std::optional<std::string_view> application);
  Status setSymbolBehavior(uint32_t symbol, int behavior,
                           std::optional<std::string_view> application,
                           std::optional<std::string_view> action,
                           std::span<const uint32_t> targets);
  Status deleteSymbol(uint32_t symbol);

  // --- Applications ---
  Result<bool> actionRegistered(std::string_view application, std::string_view action);
  // In a transaction.
  Status registerApplication(std::string_view name, std::optional<std::string_view> description);
  Status registerAction(std::string_view application, std::string_view action,
                        std::optional<std::string_view> command);

  // --- Sessions and selections ---
  Result<std::optional<SessionRow>> runningSession(std::string_view name);
  Result<std::optional<SessionRow>> sessionById(int64_t id);
  Result<std::vector<uint32_t>> selection(int64_t session_id);
  // In a transaction. Replaces the selection of the session's open map.
  Status setSelection(int64_t session_id, std::span<const uint32_t> objects);

  // --- Attachments and events ---
  // Attaches to the running session `name`; OVW_ERR_NO_SESSION when it isn't running.
  Result<Attachment> attach(std::string_view session_name, std::string_view application,
                            std::string_view wake_token, int64_t pid);
  Status detach(int64_t attachment_id);
  // Registers (again) for an event: events of that kind posted from now on are delivered.
  Status registerEvent(int64_t attachment_id, int event);

  struct Next {
    enum Kind { kEvent, kNone, kEnded } kind = kNone;
    int64_t event_id = 0;
    int event = 0;
  };
  // Takes the next event for the attachment, marking it delivered. kEnded when the session has
  // ended (or the attachment is gone) and nothing is left for it.
  Result<Next> takeNext(int64_t attachment_id);
  Result<std::optional<EventRow>> event(int64_t id);

  // In a transaction. Posts an event to the attachments of `session_id` (0: of every session)
  // that registered for it (event 1: to all of that session's attachments). `objects` are
  // recorded with the event.
  Result<int64_t> postEvent(int event, int64_t session_id, int32_t map_id, uint32_t submap_id,
                            std::span<const ObjectRow> objects, Wakes &wakes);

  // --- Map close ---
  // In a transaction. Posts event 4 for the session's open map and records which attachments
  // must acknowledge it; `closer_token` is woken at each acknowledgement. Returns the close id.
  Result<int64_t> beginMapClose(const SessionRow &session, std::string_view closer_token,
                                Wakes &wakes);
  // Attachments that still owe an acknowledgement: (attachment id, application).
  Result<std::vector<std::pair<int64_t, std::string>>> pendingAcks(int64_t close_id);
  // In a transaction. Closes the map: the session has no open map and no selection.
  Status finishMapClose(int64_t close_id, const SessionRow &session);
  // Records an attachment's acknowledgement and wakes the closer. Unknown or finished closes
  // are accepted silently: there is nothing left to acknowledge.
  Status ackMapClose(int64_t attachment_id, int64_t close_id);

 private:
  Store(std::unique_ptr<Db> db, std::string wake_dir, gid_t group)
      : db_(std::move(db)), wake_dir_(std::move(wake_dir)), group_(group) {}
  Result<uint32_t> builtinField(std::string_view name);
  Status collectWakes(int event, int64_t session_id, Wakes &wakes);
  Status collectCloserWakes(int64_t attachment_id, Wakes &wakes);
  Status removeAttachments(const std::vector<std::pair<int64_t, std::string>> &dead);
  Result<std::vector<SymbolRow>> symbolsWhere(Stmt &stmt);

  std::unique_ptr<Db> db_;
  std::string wake_dir_;
  Wakes deferred_;  // parties to wake when the open write group ends
  gid_t group_;
};

// Checks a text bound for the store: non-empty (unless `allow_empty`) and at most kMaxText.
Status checkText(std::string_view what, std::string_view text, bool allow_empty = false);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_STORE_H
