// pg_db.h - small RAII layer over libpq: a connection with bounded waits, statements with
// text parameters, serialisable transactions that roll back unless committed, and the
// LISTEN/NOTIFY wake-ups whose socket joins a process's own wait.
//
// Every wait on the server is bounded: the connection attempt (connect_timeout), a statement
// and a lock wait (statement_timeout, lock_timeout, set on the session), a silent peer
// (TCP keepalives and tcp_user_timeout). A call that runs out of time fails with OVW_ERR_DB;
// the connection is then reset on the next call.
#ifndef KESTARA_PLATFORM_OVW_PG_DB_H
#define KESTARA_PLATFORM_OVW_PG_DB_H

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "result.h"

namespace kestara::ovw::pg {

// Whether `location` names a PostgreSQL database (a postgresql:// or postgres:// URI, or a
// libpq keyword string such as "host=db dbname=kestara") rather than a database file.
bool isConnectionString(std::string_view location);

// A statement parameter, sent as text; nullopt is SQL NULL.
using Param = std::optional<std::string>;
Param param(int64_t value);
Param param(std::string_view text);
inline Param nullParam() { return std::nullopt; }

// The rows of one statement's result. Values are read as text or integers.
class Rows {
 public:
  int count() const { return result_ ? PQntuples(result_.get()) : 0; }
  bool isNull(int row, int column) const;
  std::optional<std::string> text(int row, int column) const;
  // The value as an integer; 0 for NULL or a value that is not one.
  int64_t int64(int row, int column) const;
  // The number of rows the statement changed (for INSERT, UPDATE, DELETE).
  int64_t changed() const;

 private:
  friend class Connection;
  struct Clear {
    void operator()(PGresult *r) const { PQclear(r); }
  };
  explicit Rows(PGresult *result) : result_(result) {}
  std::unique_ptr<PGresult, Clear> result_;
};

struct Limits {
  std::chrono::seconds connect{5};
  std::chrono::milliseconds statement{10000};  // also the longest wait for a lock
  std::chrono::seconds keepaliveIdle{5};       // then probes every second, 3 of them
  std::chrono::milliseconds tcpUserTimeout{10000};
};

class Connection {
 public:
  // Connects to `location` (see isConnectionString) with `limits`. OVW_ERR_NO_DATABASE when
  // the server cannot be reached or refuses the connection.
  static Result<std::unique_ptr<Connection>> open(const std::string &location,
                                                  const Limits &limits = {});
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // Runs one statement with its parameters ($1, $2 ...). A failure is OVW_ERR_DB with the
  // server's message; a serialisation failure or deadlock is marked retryable().
  Result<Rows> exec(std::string_view sql, std::span<const Param> params = {});
  Status run(std::string_view sql, std::span<const Param> params = {});
  // Runs several statements, without parameters (a schema step).
  Status runScript(const std::string &sql);

  // One statement of a pipeline: its text and parameters, which must outlive the call.
  struct Statement {
    std::string_view sql;
    std::span<const Param> params;
  };
  // Sends the statements together and reads their results in one round trip (libpq's pipeline
  // mode; one per 64 statements). The first statement that fails is the call's failure
  // (retryable() as for exec); those after it do not run. A transaction that the statements
  // began stays open, or failed, for the caller to end.
  Result<std::vector<Rows>> pipeline(std::span<const Statement> statements);
  // The first column of the first row as an integer (0 when there is no row).
  Result<int64_t> queryInt(std::string_view sql, std::span<const Param> params = {});

  // Whether the last failure was a serialisation failure or a deadlock: the transaction can
  // be run again from its start.
  bool retryable() const { return retryable_; }

  // LISTEN on `channel` (a name of letters, digits and '_').
  Status listen(std::string_view channel);
  // The socket that becomes readable when the server sends something (a notification), for
  // poll(); -1 when the connection is lost.
  int socket() const;
  // Reads what has arrived without waiting and returns the channels notified since the last
  // call (each once). A lost connection is OVW_ERR_DB.
  Result<std::vector<std::string>> takeNotifications();

  // Whether the connection is usable; when it is not, reset() connects again.
  bool healthy() const;
  Status reset();

  PGconn *handle() const { return conn_; }

 private:
  Connection(PGconn *conn, Limits limits) : conn_(conn), limits_(limits) {}
  Status configure();
  Error failure(std::string_view what, const PGresult *result);
  Result<std::vector<Rows>> pipelinePart(std::span<const Statement> statements);
  // Reads the results of a pipeline sent with `count` statements and its sync, and leaves
  // pipeline mode.
  Result<std::vector<Rows>> pipelineResults(size_t count);
  // The name under which `sql` is prepared on this connection (prepared now if it is new), or
  // null when it runs unnamed; a failure when preparing it failed the transaction or the
  // connection.
  Result<const std::string *> preparedName(const std::string &sql, int parameters);
  PGconn *conn_;
  Limits limits_;
  bool retryable_ = false;
  std::vector<std::string> listening_;
  // The statements prepared on the server for this session, by their text (at most
  // kMaxPrepared; the texts are the program's own).
  std::unordered_map<std::string, std::string> prepared_;
};

// BEGIN ISOLATION LEVEL ... COMMIT; rolled back unless committed. Serialisable by default; read
// committed where each statement must see what others committed before it (after a lock wait).
enum class Isolation { kSerializable, kReadCommitted };
class Transaction {
 public:
  static Result<Transaction> begin(Connection &connection,
                                   Isolation isolation = Isolation::kSerializable);
  Transaction(Transaction &&other) noexcept : connection_(other.connection_) {
    other.connection_ = nullptr;
  }
  Transaction &operator=(Transaction &&) = delete;
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  ~Transaction();
  Status commit();

 private:
  explicit Transaction(Connection *connection) : connection_(connection) {}
  Connection *connection_;
};

}  // namespace kestara::ovw::pg

#endif  // KESTARA_PLATFORM_OVW_PG_DB_H
