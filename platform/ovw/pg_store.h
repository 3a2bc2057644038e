// pg_store.h - the OVw store on a PostgreSQL server: the StoreBackend (store_backend.h) of a
// database that processes on several hosts share.
#ifndef KESTARA_PLATFORM_OVW_PG_STORE_H
#define KESTARA_PLATFORM_OVW_PG_STORE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pg_db.h"
#include "result.h"
#include "schema.h"
#include "store_backend.h"

namespace kestara::ovw {

// The store on one PostgreSQL database (pg_schema.h), through one connection.
//
// Write transactions are read committed and begin by taking one transaction-level advisory lock,
// the writers' lock: like SQLite's BEGIN IMMEDIATE, it lets one writer at a time in, so every
// statement of a writer sees what the writers before it committed and no write can fail for a
// serialisation conflict. The wait for it is bounded by the lock time-out (OVW_ERR_DB after it).
// The BEGIN and the lock are sent with the transaction's first statement, before it (a round
// trip fewer), so the lock is taken before anything of the transaction runs; a transaction that
// runs nothing sends nothing. A write group is one such transaction, with a savepoint per
// transaction begun within it.
//
// Every round trip counts (a station's consoles reach the server over a network): statements
// that belong together are sent together in libpq's pipeline mode, rows read together where
// the file's store reads them one by one, and maps, which never change once made, are kept.
// readTransaction() is REPEATABLE READ READ ONLY: one snapshot, taking no lock.
//
// Parties are woken through LISTEN/NOTIFY (pg_wake.h); an attachment whose process has ended is
// told apart by its released advisory lock. A connection lost between calls is made again by
// the next call; one lost within a transaction fails that transaction.
class PgStore final : public StoreBackend {
 public:
  static Result<std::unique_ptr<PgStore>> open(const std::string &location,
                                               const pg::Limits &limits = {},
                                               int schema_version = kSchemaVersion);
  pg::Connection &connection() { return *c_; }

  const std::string &location() const override { return location_; }
  Result<std::unique_ptr<Transaction>> transaction() override;
  Result<std::unique_ptr<Transaction>> readTransaction() override;
  Status beginGroup() override;
  Status endGroup() override;
  void abandonGroup() override;
  void wake(Wakes &wakes) override;
  Result<std::unique_ptr<WakeSource>> wakeSource() override;
  Status reclaimDeadAttachments() override;

  Result<std::optional<FieldRow>> fieldByName(std::string_view name) override;
  Result<std::optional<FieldRow>> fieldById(uint32_t id) override;
  Result<std::vector<FieldRow>> fields() override;
  Status defineField(std::string_view name, int type) override;
  Result<std::optional<int64_t>> fieldValue(uint32_t object, uint32_t field) override;
  Status setFieldValue(uint32_t object, uint32_t field, int64_t value) override;
  Result<std::vector<std::pair<std::string, int64_t>>> fieldValues(uint32_t object) override;
  // One statement; a write outside any transaction is one round trip, its transaction and the
  // writers' lock included (within a write group, with its savepoint).
  Result<bool> booleanValue(uint32_t object, uint32_t field) override;
  Status setBooleanValue(uint32_t object, uint32_t field, bool value) override;

  Result<bool> objectExists(uint32_t id) override;
  Result<std::vector<uint32_t>> objectIds() override;
  Result<std::optional<ObjectRow>> object(uint32_t id, int32_t map_id) override;
  // In one statement for up to kIdsPerStatement ids.
  Result<std::vector<ObjectRow>> objects(std::span<const uint32_t> ids, int32_t map_id) override;
  Result<std::optional<ObjectRow>> objectNames(uint32_t id) override;
  Result<uint32_t> objectIdByName(bool hostname, std::string_view name) override;
  Result<std::vector<uint32_t>> findObjects(const Filter &filter, int32_t map_id) override;
  Result<bool> objectMatches(uint32_t id, const Filter &filter) override;
  Result<uint32_t> createObject(std::optional<std::string_view> hostname,
                                std::optional<std::string_view> selection_name,
                                std::span<const std::pair<uint32_t, int64_t>> values,
                                Wakes &wakes) override;
  Status setObjectNames(uint32_t object, std::optional<std::string_view> hostname,
                        std::optional<std::string_view> selection_name) override;
  Status deleteObjects(std::span<const uint32_t> ids, Wakes &wakes) override;
  Result<std::optional<uint32_t>> objectByHostname(std::string_view hostname) override;

  Result<std::vector<int32_t>> mapIds() override;
  // Maps are never renamed or deleted, nor their ids given again: a map read outside any write
  // is kept (at most kMaxKeptMaps), so the map calls' check that their map exists costs no round
  // trip after the first.
  Result<std::optional<MapRow>> mapById(int32_t id) override;
  Result<std::optional<MapRow>> mapByName(std::string_view name) override;
  Result<MapRow> mapNamed(std::string_view name) override;
  Result<std::vector<uint32_t>> submapIds(int32_t map_id) override;
  Result<std::optional<SubmapRow>> submap(uint32_t id) override;
  Result<uint32_t> submapOfObject(int32_t map_id, uint32_t object) override;
  Result<uint32_t> createSubmap(int32_t map_id, std::string_view name,
                                uint32_t parent_object) override;
  Result<std::optional<SymbolRow>> symbol(uint32_t id) override;
  Result<std::optional<SymbolRow>> symbolOnMap(uint32_t id, int32_t map_id) override;
  Result<std::vector<SymbolRow>> symbolsOnSubmap(
      uint32_t submap, std::optional<std::string_view> application) override;
  Result<std::vector<SymbolRow>> symbolsOfObject(int32_t map_id, uint32_t object) override;
  Result<uint32_t> createSymbol(uint32_t submap, uint32_t object, std::string_view type,
                                std::string_view label, int status, int variety, int flags,
                                std::optional<std::string_view> application) override;
  Status setSymbolBehavior(uint32_t symbol, int behavior,
                           std::optional<std::string_view> application,
                           std::optional<std::string_view> action,
                           std::span<const uint32_t> targets) override;
  Status deleteSymbol(uint32_t symbol) override;

  Result<bool> actionRegistered(std::string_view application, std::string_view action) override;
  Result<std::vector<ApplicationRow>> applications() override;
  Status registerApplication(std::string_view name,
                             std::optional<std::string_view> description) override;
  Status registerAction(std::string_view application, std::string_view action,
                        std::optional<std::string_view> command) override;

  Result<std::vector<SessionRow>> sessions() override;
  Result<std::optional<SessionRow>> runningSession(std::string_view name) override;
  Result<std::optional<SessionRow>> sessionById(int64_t id) override;
  Status startSession(std::string_view name) override;
  Status endSession(int64_t session_id) override;
  Status setSessionMap(int64_t session_id, int32_t map_id) override;
  Result<std::vector<uint32_t>> selection(int64_t session_id) override;
  Status setSelection(int64_t session_id, std::span<const uint32_t> objects) override;

  Result<Attachment> attach(std::string_view session_name, std::string_view application,
                            std::string_view wake_token, int64_t pid) override;
  Status detach(int64_t attachment_id) override;
  Result<std::vector<AttachmentRow>> attachments(int64_t session_id) override;
  Status registerEvent(int64_t attachment_id, int event) override;
  Result<std::vector<int>> registeredEvents(int64_t attachment_id) override;
  Result<Next> takeNext(int64_t attachment_id) override;
  Result<std::optional<EventRow>> event(int64_t id) override;
  Result<int64_t> postEvent(int event, int64_t session_id, int32_t map_id, uint32_t submap_id,
                            std::span<const ObjectRow> objects, Wakes &wakes) override;

  Result<int64_t> beginMapClose(const SessionRow &session, std::string_view closer_token,
                                Wakes &wakes) override;
  Result<std::vector<std::pair<int64_t, std::string>>> pendingAcks(int64_t close_id) override;
  Status finishMapClose(int64_t close_id, const SessionRow &session) override;
  Status ackMapClose(int64_t attachment_id, int64_t close_id) override;

  // A copy of a server's database is the server's tools' job (pg_dump, pg_restore): backup()
  // and restore() refuse with OVW_ERR_BAD_ARG and say so. check() verifies the identity and
  // schema version, and the rows that the server's constraints do not cover.
  Status backup(const std::string &destination) override;
  Status restore(const std::string &source) override;
  Result<std::vector<std::string>> check() override;

  // Transactions of this store (pg_store.cc); public for the Transaction objects it hands out.
  Status finishTransaction(bool savepoint, bool commit);

 private:
  PgStore(std::unique_ptr<pg::Connection> c, std::string location, pg::Limits limits)
      : c_(std::move(c)), location_(std::move(location)), limits_(limits) {}

  // Whether the server has closed the connection (found without waiting).
  bool connectionLost();
  // Between transactions: makes a connection that the server closed again.
  Status ensureConnected();
  // Runs one statement; a connection lost outside any transaction is made again first.
  Result<pg::Rows> q(std::string_view sql, std::vector<pg::Param> params = {});
  Status run(std::string_view sql, std::vector<pg::Param> params = {});
  // A write transaction: BEGIN with the writers' lock, or a savepoint within an open one.
  Result<std::unique_ptr<Transaction>> begin();
  // BEGIN and the writers' lock, in one round trip; nothing is left open when it fails.
  Status beginLocked();
  // Sends the BEGIN and lock of the write transaction begun last, which wait for its first
  // statement so as to travel with it.
  Status sendPendingBegin();
  // Runs statements of a transaction (the caller's) together, in one round trip, with its
  // pending BEGIN and lock and the statements queued by later() first; the results of
  // `statements` in order. A failure fails the transaction.
  Result<std::vector<pg::Rows>> together(std::vector<pg::Connection::Statement> statements);
  // A statement of the open write transaction whose result nobody reads: it waits to travel
  // with the transaction's next statement or its end, a round trip fewer. Its failure is that
  // statement's (or the end's), and so the same call's. `sql` must outlive the transaction (a
  // literal). Outside a write transaction it runs at once.
  Status later(std::string_view sql, std::vector<pg::Param> params);
  // The statements that post an event: the queue trimmed, the event (its id is the second
  // statement's result), its objects, the notifications of its parties.
  std::vector<std::pair<std::string_view, std::vector<pg::Param>>> eventStatements(
      int event, int64_t session_id, int32_t map_id, uint32_t submap_id,
      std::span<const ObjectRow> objects);
  // Posts an event whose id the caller does not need, with later().
  Status postEventLater(int event, std::span<const ObjectRow> objects);
  // Within a write group, between its transactions: begins the group's transaction again when
  // a failure or a lost connection ended it (its writes are lost, which endGroup() reports).
  Status resumeGroup();
  bool inTransaction() const;
  Status collectCloserWakes(int64_t attachment_id, Wakes &wakes);
  Status removeAttachments(const std::vector<std::pair<int64_t, std::string>> &dead);
  Result<std::vector<SymbolRow>> symbolsFrom(const pg::Rows &rows);
  Result<std::vector<uint32_t>> idsFrom(std::string_view sql, std::vector<pg::Param> params);

  std::unique_ptr<pg::Connection> c_;
  std::string location_;
  pg::Limits limits_;
  bool group_ = false;
  bool groupLost_ = false;     // writes of the open group were lost (its transaction ended)
  int open_ = 0;               // transactions handed out and not yet finished
  bool beginPending_ = false;  // the outermost one's BEGIN waits for its first statement
  Wakes deferred_;             // parties to wake when the open write group ends
  // Statements queued by later(), not yet sent.
  std::vector<std::pair<std::string_view, std::vector<pg::Param>>> queued_;
  std::unordered_map<int32_t, MapRow> maps_;  // maps read, by id
};

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_PG_STORE_H
