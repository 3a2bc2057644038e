// store.h - the OVw store on SQLite: the StoreBackend (store_backend.h) of a database file.
// Every call works on one SQLite connection.
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
#include "store_backend.h"

namespace kestara::ovw {

// The store on one SQLite database file (schema.h), shared by the processes of one group
// (shared_files.h). Transactions are BEGIN IMMEDIATE (Txn), write groups one transaction with a
// savepoint per Txn, and the parties are woken through FIFOs in the wake folder beside the
// database (wake.h).
class SqliteStore final : public StoreBackend {
 public:
  static Result<std::unique_ptr<SqliteStore>> open(const std::string &path,
                                                   int schema_version = kSchemaVersion);
  Db &db() { return *db_; }
  const std::string &path() const { return db_->path(); }
  const std::string &wakeDir() const { return wake_dir_; }
  // The group that shares the database (that of the database file): the wake folder's group.
  gid_t group() const { return group_; }
  Result<Txn> begin() { return Txn::begin(*db_); }

  const std::string &location() const override { return db_->path(); }
  Result<std::unique_ptr<Transaction>> transaction() override;
  Result<std::unique_ptr<Transaction>> readTransaction() override;
  Status beginGroup() override { return db_->beginGroup(); }
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

  Result<bool> objectExists(uint32_t id) override;
  Result<std::vector<uint32_t>> objectIds() override;
  Result<std::optional<ObjectRow>> object(uint32_t id, int32_t map_id) override;
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
  Result<std::optional<MapRow>> mapById(int32_t id) override;
  Result<std::optional<MapRow>> mapByName(std::string_view name) override;
  Result<MapRow> mapNamed(std::string_view name) override;
  Result<std::vector<uint32_t>> submapIds(int32_t map_id) override;
  Result<std::optional<SubmapRow>> submap(uint32_t id) override;
  Result<uint32_t> submapOfObject(int32_t map_id, uint32_t object) override;
  Result<uint32_t> createSubmap(int32_t map_id, std::string_view name,
                                uint32_t parent_object) override;
  Result<std::optional<SymbolRow>> symbol(uint32_t id) override;
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

  // Online backup, restore and the check (maintenance.h).
  Status backup(const std::string &destination) override;
  Status restore(const std::string &source) override;
  Result<std::vector<std::string>> check() override;

 private:
  SqliteStore(std::unique_ptr<Db> db, std::string wake_dir, gid_t group)
      : db_(std::move(db)), wake_dir_(std::move(wake_dir)), group_(group) {}
  Status collectWakes(int event, int64_t session_id, Wakes &wakes);
  Status collectCloserWakes(int64_t attachment_id, Wakes &wakes);
  Status removeAttachments(const std::vector<std::pair<int64_t, std::string>> &dead);
  Result<std::vector<SymbolRow>> symbolsWhere(Stmt &stmt);

  std::unique_ptr<Db> db_;
  std::string wake_dir_;
  Wakes deferred_;  // parties to wake when the open write group ends
  gid_t group_;
};

// Tests and benchmarks open a database file by this name.
using Store = SqliteStore;

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_STORE_H
