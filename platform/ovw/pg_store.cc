// pg_store.cc - the OVw store on a PostgreSQL server: transactions, wake-ups, attachments and
// the event queue. The object database, maps and sessions are in pg_store_objects.cc.
#include "pg_store.h"

#include <poll.h>

#include <algorithm>
#include <set>
#include <thread>
#include <utility>

#include "pg_schema.h"
#include "pg_store_sql.h"
#include "pg_wake.h"

namespace kestara::ovw {

using pg::Param;
using pg::param;
using pg::Rows;
using namespace pgsql;

Result<std::unique_ptr<PgStore>> PgStore::open(const std::string &location,
                                               const pg::Limits &limits, int schema_version) {
  OVW_TRY_ASSIGN(std::unique_ptr<pg::Connection> c,
                 pg::openDatabase(location, schema_version, limits));
  return std::unique_ptr<PgStore>(new PgStore(std::move(c), location, limits));
}

bool PgStore::inTransaction() const {
  const PGTransactionStatusType status = PQtransactionStatus(c_->handle());
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

bool PgStore::connectionLost() {
  // A connection that the server closed (a restart, an idle time-out) is noticed without
  // waiting, by reading what the server sent last: its notice, then the end of the stream.
  PGconn *h = c_->handle();
  for (int i = 0; i < 4; ++i) {
    pollfd p{PQsocket(h), POLLIN, 0};
    if (PQstatus(h) != CONNECTION_OK || p.fd < 0) return true;
    if (poll(&p, 1, 0) <= 0) return false;  // nothing waiting
    if (PQconsumeInput(h) == 0) return true;
  }
  return PQstatus(h) != CONNECTION_OK;
}

Status PgStore::ensureConnected() {
  if (open_ > 0 || group_ || inTransaction()) return Status::Ok();
  if (!connectionLost()) return Status::Ok();
  return c_->reset();
}

Result<Rows> PgStore::q(std::string_view sql, std::vector<Param> params) {
  if (beginPending_ || !queued_.empty()) {
    // Sent with the transaction's BEGIN and lock, if it is its first statement, and after the
    // statements queued before it.
    OVW_TRY_ASSIGN(std::vector<Rows> results, together({{sql, params}}));
    return std::move(results[0]);
  }
  OVW_TRY(ensureConnected());
  Result<Rows> rows = c_->exec(sql, params);
  // A statement of its own (outside any transaction) that the server chose as a deadlock's
  // victim was rolled back whole: it runs again. Within a transaction the failure is the
  // caller's, as on the file.
  for (int retry = 0;
       retry < 3 && !rows && c_->retryable() && !inTransaction() && open_ == 0 && !group_;
       ++retry) {
    rows = c_->exec(sql, params);
  }
  return rows;
}

Status PgStore::run(std::string_view sql, std::vector<Param> params) {
  return q(sql, std::move(params)).status();
}

// --- Transactions -------------------------------------------------------------------------

namespace {

// A write transaction of the store, or a savepoint within one.
class PgTransaction final : public Transaction {
 public:
  PgTransaction(PgStore &store, bool savepoint) : store_(&store), savepoint_(savepoint) {}
  PgTransaction(const PgTransaction &) = delete;
  PgTransaction &operator=(const PgTransaction &) = delete;
  ~PgTransaction() override {
    if (store_ != nullptr) (void)store_->finishTransaction(savepoint_, false);
  }
  Status commit() override {
    PgStore *store = std::exchange(store_, nullptr);
    if (store == nullptr) return makeError(OVW_ERR_DB, "transaction already finished");
    return store->finishTransaction(savepoint_, true);
  }

 private:
  PgStore *store_;
  bool savepoint_;
};

// A read-only snapshot: REPEATABLE READ READ ONLY until it ends.
class PgReadTransaction final : public Transaction {
 public:
  explicit PgReadTransaction(pg::Connection *c) : c_(c) {}
  PgReadTransaction(const PgReadTransaction &) = delete;
  PgReadTransaction &operator=(const PgReadTransaction &) = delete;
  ~PgReadTransaction() override { (void)commit(); }
  Status commit() override {
    pg::Connection *c = std::exchange(c_, nullptr);
    if (c == nullptr) return Status::Ok();
    if (PQtransactionStatus(c->handle()) == PQTRANS_IDLE) return Status::Ok();
    return c->run("COMMIT");
  }

 private:
  pg::Connection *c_;  // null when there is nothing to end
};

// Wake-ups through LISTEN/NOTIFY on a connection of the party's own.
constexpr std::chrono::milliseconds kRetryPause{500};
class PgWakeSource final : public WakeSource {
 public:
  explicit PgWakeSource(std::unique_ptr<pg::WakeListener> listener)
      : listener_(std::move(listener)) {}
  const std::string &token() const override { return listener_->token(); }
  int fd() const override { return listener_->fd(); }
  void drain() override {
    // A lost connection loses the notifications sent meanwhile; the caller reads the database
    // after draining, so connecting again is all that is needed here.
    if (!listener_->drain()) (void)listener_->reconnect();
  }
  bool wait(std::optional<std::chrono::milliseconds> timeout) override {
    if (listener_->fd() < 0) {
      // Not connected (the last attempt failed): the caller drains, which tries again, and
      // reads the database. Pause before that, so that a server that refuses connections
      // is not asked again at once.
      std::this_thread::sleep_for(std::min(timeout.value_or(kRetryPause), kRetryPause));
      return true;
    }
    return listener_->wait(timeout);
  }

 private:
  std::unique_ptr<pg::WakeListener> listener_;
};

}  // namespace

Status PgStore::beginLocked() {
  if (Status locked = c_->runScript(std::string(kBeginWrite) + "; " + kWritersLock); !locked) {
    if (PQtransactionStatus(c_->handle()) != PQTRANS_IDLE) (void)c_->run("ROLLBACK");
    return locked;
  }
  return Status::Ok();
}

Status PgStore::sendPendingBegin() {
  if (!std::exchange(beginPending_, false)) return Status::Ok();
  return beginLocked();
}

Result<std::vector<Rows>> PgStore::together(std::vector<pg::Connection::Statement> statements) {
  // The queued statements go first, and are sent whatever the outcome: a failure fails the
  // transaction, whose end rolls it back (or, with the connection lost, reports it lost).
  const auto queued = std::exchange(queued_, {});
  std::vector<pg::Connection::Statement> first;
  if (std::exchange(beginPending_, false)) {
    first = {{kBeginWrite, {}}, {kWritersLock, {}}};
  } else {
    OVW_TRY(ensureConnected());  // outside any transaction, a lost connection is made again
  }
  for (const auto &[sql, params] : queued) first.push_back({sql, params});
  if (first.empty()) return c_->pipeline(statements);
  const auto skip = static_cast<std::ptrdiff_t>(first.size());
  statements.insert(statements.begin(), first.begin(), first.end());
  OVW_TRY_ASSIGN(std::vector<Rows> results, c_->pipeline(statements));
  results.erase(results.begin(), results.begin() + skip);
  return results;
}

Status PgStore::later(std::string_view sql, std::vector<Param> params) {
  if (open_ == 0) return run(sql, std::move(params));
  queued_.emplace_back(sql, std::move(params));
  return Status::Ok();
}

Status PgStore::resumeGroup() {
  if (PQtransactionStatus(c_->handle()) == PQTRANS_INTRANS && !connectionLost()) {
    return Status::Ok();
  }
  // The group goes on in a new transaction (on a new connection if need be).
  groupLost_ = true;
  if (PQtransactionStatus(c_->handle()) == PQTRANS_INERROR) (void)c_->run("ROLLBACK");
  if (PQstatus(c_->handle()) != CONNECTION_OK ||
      PQtransactionStatus(c_->handle()) != PQTRANS_IDLE) {
    OVW_TRY(c_->reset());
  }
  return beginLocked();
}

Result<std::unique_ptr<Transaction>> PgStore::begin() {
  // Within a group, a transaction is a savepoint of the group's transaction; within another
  // transaction, a savepoint of that one, which must then have begun.
  if (group_ && open_ == 0) OVW_TRY(resumeGroup());
  OVW_TRY(sendPendingBegin());
  const PGTransactionStatusType status = PQtransactionStatus(c_->handle());
  if (status == PQTRANS_INERROR) return makeError(OVW_ERR_DB, "the transaction has failed");
  if (status == PQTRANS_INTRANS) {
    // The enclosing transaction's queued statements go before the savepoint, with it.
    OVW_TRY(together({{"SAVEPOINT ovw_write", {}}}).status());
    ++open_;
    return std::unique_ptr<Transaction>(std::make_unique<PgTransaction>(*this, true));
  }
  // BEGIN and the writers' lock go with the transaction's first statement, a round trip fewer.
  OVW_TRY(ensureConnected());
  beginPending_ = true;
  ++open_;
  return std::unique_ptr<Transaction>(std::make_unique<PgTransaction>(*this, false));
}

Status PgStore::finishTransaction(bool savepoint, bool commit) {
  --open_;
  if (!commit) queued_.clear();  // never sent, so rolled back with the rest
  // A transaction that ran no statement sent nothing: there is nothing to end.
  if (!savepoint && queued_.empty() && std::exchange(beginPending_, false)) return Status::Ok();
  if (!queued_.empty()) {
    // The statements still queued travel with the end, in one round trip.
    Result<std::vector<Rows>> ended =
        together({{savepoint ? "RELEASE SAVEPOINT ovw_write" : "COMMIT", {}}});
    if (ended) return Status::Ok();
    // Never committed without them: what failed is rolled back, or was lost with the
    // connection.
    const PGTransactionStatusType status = PQtransactionStatus(c_->handle());
    if (status == PQTRANS_IDLE || status == PQTRANS_UNKNOWN) {
      if (group_) groupLost_ = true;
    } else if (savepoint) {
      (void)c_->runScript("ROLLBACK TO SAVEPOINT ovw_write; RELEASE SAVEPOINT ovw_write");
    } else {
      (void)c_->run("ROLLBACK");
    }
    return ended.error();
  }
  const PGTransactionStatusType status = PQtransactionStatus(c_->handle());
  if (status == PQTRANS_IDLE || status == PQTRANS_UNKNOWN) {
    // Ended underneath (the connection was lost): nothing of it was committed.
    if (group_) groupLost_ = true;
    return commit ? makeError(OVW_ERR_DB, "the transaction was lost with the database connection")
                  : Status::Ok();
  }
  if (savepoint) {
    if (commit && status == PQTRANS_INTRANS) {
      Status released = c_->run("RELEASE SAVEPOINT ovw_write");
      if (released) return released;
    }
    (void)c_->runScript("ROLLBACK TO SAVEPOINT ovw_write; RELEASE SAVEPOINT ovw_write");
    return commit ? makeError(OVW_ERR_DB, "the transaction failed and was rolled back")
                  : Status::Ok();
  }
  if (commit && status == PQTRANS_INTRANS) {
    Status committed = c_->run("COMMIT");
    if (!committed && inTransaction()) (void)c_->run("ROLLBACK");
    return committed;
  }
  (void)c_->run("ROLLBACK");
  return commit ? makeError(OVW_ERR_DB, "the transaction failed and was rolled back")
                : Status::Ok();
}

Result<std::unique_ptr<Transaction>> PgStore::transaction() { return begin(); }

Result<std::unique_ptr<Transaction>> PgStore::readTransaction() {
  // Within a transaction the reads already see one picture: its own.
  if (group_ || open_ > 0 || inTransaction()) {
    return std::unique_ptr<Transaction>(std::make_unique<PgReadTransaction>(nullptr));
  }
  OVW_TRY(run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"));
  return std::unique_ptr<Transaction>(std::make_unique<PgReadTransaction>(c_.get()));
}

Status PgStore::beginGroup() {
  if (group_) return makeError(OVW_ERR_BAD_ARG, "a write group is already open");
  if (open_ > 0 || inTransaction()) {
    return makeError(OVW_ERR_BAD_ARG, "a transaction is open: a write group can't begin");
  }
  OVW_TRY(ensureConnected());
  OVW_TRY(beginLocked());
  group_ = true;
  groupLost_ = false;
  return Status::Ok();
}

Status PgStore::endGroup() {
  if (!group_) return makeError(OVW_ERR_BAD_ARG, "no write group is open");
  group_ = false;
  bool lost = std::exchange(groupLost_, false);
  Status result = Status::Ok();
  const PGTransactionStatusType status = PQtransactionStatus(c_->handle());
  if (status == PQTRANS_INTRANS) {
    result = c_->run("COMMIT");
    if (!result && inTransaction()) (void)c_->run("ROLLBACK");
  } else {
    // A failed statement aborted the group's transaction (COMMIT would only roll it back), or
    // the connection went with it.
    if (status != PQTRANS_IDLE) (void)c_->run("ROLLBACK");
    lost = true;
  }
  if (result && lost) {
    result = makeError(OVW_ERR_DB, "writes of the group were rolled back by a failure");
  }
  // Parties are woken whatever the outcome: they read what is committed.
  wake(deferred_);
  return result;
}

void PgStore::abandonGroup() {
  if (!group_) return;
  if (inTransaction()) (void)c_->run("ROLLBACK");
  (void)endGroup();
}

Result<std::unique_ptr<WakeSource>> PgStore::wakeSource() {
  OVW_TRY_ASSIGN(std::unique_ptr<pg::WakeListener> listener,
                 pg::WakeListener::create(location_, limits_));
  return std::unique_ptr<WakeSource>(std::make_unique<PgWakeSource>(std::move(listener)));
}

// --- Wake-ups ---------------------------------------------------------------------------

void PgStore::wake(Wakes &wakes) {
  if (group_) {
    deferred_.tokens.insert(deferred_.tokens.end(), wakes.tokens.begin(), wakes.tokens.end());
    wakes.tokens.clear();
    return;
  }
  // Only notified: a party whose listening connection is away for a moment (a server restart)
  // has released its lock without having ended, so it is not reclaimed here but by
  // reclaimDeadAttachments(), which the callers run before they wait for parties.
  std::set<std::string> seen;
  for (const std::string &token : wakes.tokens) {
    if (!seen.insert(token).second) continue;
    if (!ensureConnected()) break;
    (void)pg::wakeParty(*c_, token);
  }
  wakes.tokens.clear();
}

Status PgStore::reclaimDeadAttachments() {
  std::vector<std::pair<int64_t, std::string>> dead;
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id, wake_token FROM attachments ORDER BY id"));
  for (int i = 0; i < rows.count(); ++i) {
    const std::string token = rows.text(i, 1).value_or("");
    if (!validWakeToken(token) || pg::probeParty(*c_, token) == WakeOutcome::kNoReader) {
      dead.emplace_back(rows.int64(i, 0), token);
    }
  }
  if (dead.empty()) return Status::Ok();
  return removeAttachments(dead);
}

// Removes attachments by id (or, for id 0, by wake token) and wakes the map closers that were
// waiting for them.
Status PgStore::removeAttachments(const std::vector<std::pair<int64_t, std::string>> &dead) {
  Wakes closers;
  {
    OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, begin());
    for (const auto &[id, token] : dead) {
      int64_t attachment = id;
      if (attachment == 0) {
        OVW_TRY_ASSIGN(Rows found, q("SELECT id FROM attachments WHERE wake_token = $1",
                                     {param(std::string_view(token))}));
        if (found.count() == 0) continue;  // a map closer's token, or already removed
        attachment = found.int64(0, 0);
      }
      OVW_TRY(collectCloserWakes(attachment, closers));
      OVW_TRY(run("DELETE FROM attachments WHERE id = $1", {param(attachment)}));
    }
    OVW_TRY(txn->commit());
  }
  wake(closers);
  return Status::Ok();
}

Status PgStore::collectCloserWakes(int64_t attachment_id, Wakes &wakes) {
  OVW_TRY_ASSIGN(Rows rows,
                 q("SELECT DISTINCT c.wake_token FROM map_closes c JOIN map_close_waits w "
                   "ON w.close_id = c.close_id WHERE w.attachment_id = $1 AND w.acked = 0",
                   {param(attachment_id)}));
  for (int i = 0; i < rows.count(); ++i) wakes.tokens.push_back(rows.text(i, 0).value_or(""));
  return Status::Ok();
}

// --- Attachments and events -------------------------------------------------------------

Result<Attachment> PgStore::attach(std::string_view session_name, std::string_view application,
                                   std::string_view wake_token, int64_t pid) {
  OVW_TRY(checkText("session name", session_name));
  OVW_TRY(checkText("application name", application));
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, begin());
  OVW_TRY_ASSIGN(std::optional<SessionRow> session, runningSession(session_name));
  if (!session) {
    return makeError(OVW_ERR_NO_SESSION,
                     "session \"" + std::string(session_name) + "\" is not running");
  }
  OVW_TRY_ASSIGN(
      Rows added,
      q("INSERT INTO attachments(session_id, application, wake_token, cursor, attached_at, pid) "
        "VALUES ($1, $2, $3, " +
            std::string(kLastEventId) + ", $4, $5) RETURNING id",
        {param(session->id), param(application), param(wake_token), param(nowMicros() / 1000000),
         param(pid)}));
  Attachment a{added.int64(0, 0), session->id, session->name};
  OVW_TRY(txn->commit());
  return a;
}

Status PgStore::detach(int64_t attachment_id) {
  Wakes closers;
  {
    OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, begin());
    OVW_TRY(collectCloserWakes(attachment_id, closers));
    // The detached process is woken too: when another process detached it, its wait for
    // messages ends and finds the attachment gone.
    OVW_TRY_ASSIGN(Rows own,
                   q("SELECT wake_token FROM attachments WHERE id = $1", {param(attachment_id)}));
    for (int i = 0; i < own.count(); ++i) closers.tokens.push_back(own.text(i, 0).value_or(""));
    OVW_TRY(run("DELETE FROM attachments WHERE id = $1", {param(attachment_id)}));
    OVW_TRY(txn->commit());
  }
  wake(closers);
  return Status::Ok();
}

Result<std::vector<AttachmentRow>> PgStore::attachments(int64_t session_id) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT id, application, pid FROM attachments "
                              "WHERE session_id = $1 ORDER BY id",
                              {param(session_id)}));
  std::vector<AttachmentRow> out;
  for (int i = 0; i < rows.count(); ++i) {
    out.push_back(AttachmentRow{rows.int64(i, 0), rows.text(i, 1).value_or(""), rows.int64(i, 2)});
  }
  return out;
}

Status PgStore::registerEvent(int64_t attachment_id, int event) {
  // The registration's start is the last event id given: a writer's lock keeps it exact.
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, begin());
  OVW_TRY(run("INSERT INTO registrations(attachment_id, event, since) SELECT id, $2::integer, " +
                  std::string(kLastEventId) +
                  " FROM attachments WHERE id = $1 ON CONFLICT (attachment_id, event) DO NOTHING",
              {param(attachment_id), param(int64_t{event})}));
  OVW_TRY_ASSIGN(Rows found, q("SELECT 1 FROM attachments WHERE id = $1", {param(attachment_id)}));
  if (found.count() == 0) {
    return makeError(OVW_ERR_NO_SESSION, "the attachment to the session is gone");
  }
  return txn->commit();
}

Result<std::vector<int>> PgStore::registeredEvents(int64_t attachment_id) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT event FROM registrations WHERE attachment_id = $1 "
                              "ORDER BY event",
                              {param(attachment_id)}));
  std::vector<int> out;
  for (int i = 0; i < rows.count(); ++i) out.push_back(static_cast<int>(rows.int64(i, 0)));
  return out;
}

Result<PgStore::Next> PgStore::takeNext(int64_t attachment_id) {
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, begin());
  // One statement (sent with the transaction's BEGIN and the writers' lock, so that no event is
  // still being committed): the attachment's session, its next event, and its cursor moved to
  // that event, or, when there is none up to the last event posted, past them all so that the
  // queue can be trimmed behind it.
  OVW_TRY_ASSIGN(
      Rows taken,
      q("WITH cur AS (SELECT s.running, n.id AS next_id, n.event AS next_event "
        "  FROM attachments a JOIN sessions s ON s.id = a.session_id "
        "  LEFT JOIN LATERAL (SELECT e.id, e.event FROM events e JOIN registrations r "
        "    ON r.attachment_id = a.id AND r.event = e.event AND e.id > r.since "
        "    WHERE e.id > a.cursor AND (e.session_id IS NULL OR e.session_id = a.session_id) "
        "    ORDER BY e.id LIMIT 1) n ON true "
        "  WHERE a.id = $1), "
        "moved AS (UPDATE attachments SET cursor = COALESCE((SELECT next_id FROM cur), "
        "  GREATEST(cursor, " +
            std::string(kLastEventId) +
            ")) WHERE id = $1 AND EXISTS (SELECT 1 FROM cur)) "
            "SELECT running, next_id, next_event FROM cur",
        {param(attachment_id)}));
  if (taken.count() == 0) return Next{Next::kEnded, 0, 0};
  Next result;
  if (!taken.isNull(0, 1)) {
    result = Next{Next::kEvent, taken.int64(0, 1), static_cast<int>(taken.int64(0, 2))};
  } else {
    result.kind = taken.int64(0, 0) != 0 ? Next::kNone : Next::kEnded;
  }
  OVW_TRY(txn->commit());
  return result;
}

Result<std::optional<EventRow>> PgStore::event(int64_t id) {
  // The event and its objects in one round trip.
  const Param ofEvent[] = {param(id)};
  OVW_TRY_ASSIGN(std::vector<Rows> read,
                 together({{"SELECT id, event, COALESCE(session_id, 0), COALESCE(map_id, 0), "
                            "COALESCE(submap_id, 0), posted_us FROM events WHERE id = $1",
                            ofEvent},
                           {"SELECT object_id, hostname, selection_name, is_node, "
                            "is_snmp_supported FROM event_objects WHERE event_id = $1 "
                            "ORDER BY position",
                            ofEvent}}));
  const Rows &rows = read[0];
  const Rows &objects = read[1];
  if (rows.count() == 0) return std::optional<EventRow>();
  EventRow e;
  e.id = rows.int64(0, 0);
  e.event = static_cast<int>(rows.int64(0, 1));
  e.session_id = rows.int64(0, 2);
  e.map_id = static_cast<int32_t>(rows.int64(0, 3));
  e.submap_id = static_cast<uint32_t>(rows.int64(0, 4));
  e.posted_us = rows.int64(0, 5);
  for (int i = 0; i < objects.count(); ++i) e.objects.push_back(objectOf(objects, i));
  return std::optional<EventRow>(std::move(e));
}

namespace {

// Notifies the parties that an event ($2) posted to a session ($1, 0 for every session) reaches,
// each on its channel (the prefix $3 and its token). Sent within the posting transaction: the
// server delivers the notifications when that commits, and drops them when it rolls back. A
// token that is not one of ours is passed over rather than failing the post.
constexpr const char *kNotifyParties =
    "SELECT pg_notify($3 || t.wake_token, '') FROM (SELECT DISTINCT a.wake_token "
    "FROM attachments a WHERE ($1::bigint = 0 OR a.session_id = $1) "
    "AND ($2::integer = 1 OR EXISTS (SELECT 1 FROM registrations r "
    "WHERE r.attachment_id = a.id AND r.event = $2)) "
    "AND a.wake_token ~ '^[0-9a-f]{32}$') t";

}  // namespace

std::vector<std::pair<std::string_view, std::vector<Param>>> PgStore::eventStatements(
    int event, int64_t session_id, int32_t map_id, uint32_t submap_id,
    std::span<const ObjectRow> objects) {
  auto orNull = [](int64_t v) { return v != 0 ? param(v) : pg::nullParam(); };
  // The queue trimmed (events before every listening attachment's cursor have been taken by
  // all that could take them; the last one taken may still be being dispatched, so it stays),
  // the event, its objects (under the id just given, which currval reads from this session),
  // and the parties' notifications.
  std::vector<std::pair<std::string_view, std::vector<Param>>> statements;
  statements.reserve(objects.size() + 3);
  statements.emplace_back(
      "DELETE FROM events WHERE id < COALESCE((SELECT min(a.cursor) FROM attachments a "
      "WHERE EXISTS (SELECT 1 FROM registrations r WHERE r.attachment_id = a.id)), "
      "9223372036854775807)",
      std::vector<Param>{});
  statements.emplace_back(
      "INSERT INTO events(session_id, event, map_id, submap_id, posted_us) "
      "VALUES ($1, $2, $3, $4, $5) RETURNING id",
      std::vector<Param>{orNull(session_id), param(int64_t{event}), orNull(map_id),
                         orNull(submap_id), param(nowMicros())});
  int64_t position = 0;
  for (const ObjectRow &o : objects) {
    statements.emplace_back(
        "INSERT INTO event_objects(event_id, position, object_id, hostname, "
        "selection_name, is_node, is_snmp_supported) VALUES "
        "(currval(pg_get_serial_sequence('events', 'id')), "
        "$1, $2, $3, $4, $5, $6)",
        std::vector<Param>{param(position++), param(int64_t{o.id}), optParam(o.hostname),
                           optParam(o.selection_name), param(int64_t{o.is_node ? 1 : 0}),
                           param(int64_t{o.is_snmp_supported ? 1 : 0})});
  }
  statements.emplace_back(
      kNotifyParties,
      std::vector<Param>{param(session_id), param(int64_t{event}), param(pg::kWakeChannelPrefix)});
  return statements;
}

Result<int64_t> PgStore::postEvent(int event, int64_t session_id, int32_t map_id,
                                   uint32_t submap_id, std::span<const ObjectRow> objects,
                                   Wakes & /*wakes: notified within the transaction*/) {
  if (objects.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many objects");
  const auto owned = eventStatements(event, session_id, map_id, submap_id, objects);
  std::vector<pg::Connection::Statement> statements;
  for (const auto &[sql, params] : owned) statements.push_back({sql, params});
  OVW_TRY_ASSIGN(std::vector<Rows> results, together(std::move(statements)));
  return results[1].int64(0, 0);
}

Status PgStore::postEventLater(int event, std::span<const ObjectRow> objects) {
  if (objects.size() > kMaxListItems) return makeError(OVW_ERR_BAD_ARG, "too many objects");
  for (auto &[sql, params] : eventStatements(event, 0, 0, 0, objects)) {
    OVW_TRY(later(sql, std::move(params)));
  }
  return Status::Ok();
}

// --- Map close --------------------------------------------------------------------------

Result<int64_t> PgStore::beginMapClose(const SessionRow &session, std::string_view closer_token,
                                       Wakes &wakes) {
  if (session.map_id == 0) return makeError(OVW_ERR_NO_MAP, "no map is open in " + session.name);
  OVW_TRY(run("DELETE FROM map_closes WHERE session_id = $1", {param(session.id)}));
  OVW_TRY_ASSIGN(int64_t close_id,
                 postEvent(OVW_EVENT_MAP_CLOSE, session.id, session.map_id, 0, {}, wakes));
  OVW_TRY(
      run("INSERT INTO map_closes(close_id, session_id, map_id, wake_token, started_at) "
          "VALUES ($1, $2, $3, $4, $5)",
          {param(close_id), param(session.id), param(int64_t{session.map_id}), param(closer_token),
           param(nowMicros() / 1000000)}));
  OVW_TRY(
      run("INSERT INTO map_close_waits(close_id, attachment_id) "
          "SELECT $1::bigint, a.id FROM attachments a JOIN registrations r "
          "ON r.attachment_id = a.id AND r.event = 4 AND r.since < $1 WHERE a.session_id = $2",
          {param(close_id), param(session.id)}));
  return close_id;
}

Result<std::vector<std::pair<int64_t, std::string>>> PgStore::pendingAcks(int64_t close_id) {
  OVW_TRY_ASSIGN(Rows rows, q("SELECT w.attachment_id, a.application FROM map_close_waits w "
                              "JOIN attachments a ON a.id = w.attachment_id "
                              "WHERE w.close_id = $1 AND w.acked = 0 ORDER BY w.attachment_id",
                              {param(close_id)}));
  std::vector<std::pair<int64_t, std::string>> out;
  for (int i = 0; i < rows.count(); ++i) {
    out.emplace_back(rows.int64(i, 0), rows.text(i, 1).value_or(""));
  }
  return out;
}

Status PgStore::finishMapClose(int64_t close_id, const SessionRow &session) {
  OVW_TRY(run("UPDATE sessions SET map_id = NULL WHERE id = $1", {param(session.id)}));
  OVW_TRY(run("DELETE FROM selections WHERE session_id = $1", {param(session.id)}));
  return run("DELETE FROM map_closes WHERE close_id = $1", {param(close_id)});
}

Status PgStore::ackMapClose(int64_t attachment_id, int64_t close_id) {
  Wakes closer;
  {
    OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, begin());
    OVW_TRY_ASSIGN(Rows acked, q("UPDATE map_close_waits SET acked = 1 WHERE close_id = $1 AND "
                                 "attachment_id = $2",
                                 {param(close_id), param(attachment_id)}));
    if (acked.changed() > 0) {
      OVW_TRY_ASSIGN(Rows token,
                     q("SELECT wake_token FROM map_closes WHERE close_id = $1", {param(close_id)}));
      if (token.count() > 0) closer.tokens.push_back(token.text(0, 0).value_or(""));
    }
    OVW_TRY(txn->commit());
  }
  wake(closer);
  return Status::Ok();
}

// --- Keeping the database safe --------------------------------------------------------------

Status PgStore::backup(const std::string &) {
  return makeError(OVW_ERR_BAD_ARG, "the database is on a PostgreSQL server (" + location_ +
                                        "): copy it with the server's tools (pg_dump)");
}

Status PgStore::restore(const std::string &) {
  return makeError(OVW_ERR_BAD_ARG,
                   "the database is on a PostgreSQL server (" + location_ +
                       "): restore it with the server's tools (pg_restore or psql)");
}

Result<std::vector<std::string>> PgStore::check() {
  std::vector<std::string> faults;
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> read, readTransaction());
  OVW_TRY_ASSIGN(Rows identity, q("SELECT (SELECT count(*) FROM ovw_identity), "
                                  "(SELECT application_id FROM ovw_identity LIMIT 1), "
                                  "(SELECT version FROM ovw_identity LIMIT 1)"));
  if (identity.int64(0, 0) != 1) {
    faults.push_back("identity: " + std::to_string(identity.int64(0, 0)) +
                     " rows in ovw_identity, not 1");
  }
  if (identity.int64(0, 1) != kApplicationId) {
    faults.push_back("identity: not an OVw database (application id " +
                     std::to_string(identity.int64(0, 1)) + ")");
  }
  if (identity.int64(0, 2) != kSchemaVersion) {
    faults.push_back("identity: schema version " + std::to_string(identity.int64(0, 2)) +
                     ", this build's is " + std::to_string(kSchemaVersion));
  }
  // What the server does not enforce: the ids' sequences stay ahead of the ids they gave.
  for (const char *table :
       {"objects", "fields", "maps", "submaps", "symbols", "sessions", "attachments", "events"}) {
    OVW_TRY_ASSIGN(
        Rows ahead,
        q(std::string("SELECT COALESCE((SELECT max(id) FROM ") + table + "), 0), " +
              "COALESCE(pg_sequence_last_value(pg_get_serial_sequence($1, 'id')::regclass), 0)",
          {param(std::string_view(table))}));
    if (ahead.int64(0, 0) > ahead.int64(0, 1)) {
      faults.push_back("identity: " + std::string(table) + " holds id " +
                       std::to_string(ahead.int64(0, 0)) + " beyond its sequence (" +
                       std::to_string(ahead.int64(0, 1)) + "): ids would be given twice");
    }
  }
  OVW_TRY(read->commit());
  return faults;
}

}  // namespace kestara::ovw
