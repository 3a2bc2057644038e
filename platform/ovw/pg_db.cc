// pg_db.cc - small RAII layer over libpq.
#include "pg_db.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "store_backend.h"

namespace kestara::ovw::pg {

namespace {

// SQLSTATEs after which a transaction can simply run again.
constexpr std::string_view kSerializationFailure = "40001";
constexpr std::string_view kDeadlock = "40P01";

// libpq's notifications, freed with PQfreemem.
struct Freer {
  void operator()(void *p) const { PQfreemem(p); }
};

bool validChannel(std::string_view channel) {
  return !channel.empty() && channel.size() <= 63 &&
         std::all_of(channel.begin(), channel.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
         });
}

}  // namespace

bool isConnectionString(std::string_view location) { return isPostgresLocation(location); }

Param param(int64_t value) { return std::to_string(value); }
Param param(std::string_view text) { return std::string(text); }

bool Rows::isNull(int row, int column) const {
  return !result_ || row >= count() || column >= PQnfields(result_.get()) ||
         PQgetisnull(result_.get(), row, column) != 0;
}

std::optional<std::string> Rows::text(int row, int column) const {
  if (isNull(row, column)) return std::nullopt;
  return std::string(PQgetvalue(result_.get(), row, column),
                     static_cast<size_t>(PQgetlength(result_.get(), row, column)));
}

int64_t Rows::int64(int row, int column) const {
  if (isNull(row, column)) return 0;
  const char *value = PQgetvalue(result_.get(), row, column);
  const char *end = value + PQgetlength(result_.get(), row, column);
  int64_t out = 0;
  const auto [at, ec] = std::from_chars(value, end, out);
  return ec == std::errc() && at == end ? out : 0;
}

int64_t Rows::changed() const {
  if (!result_) return 0;
  const char *n = PQcmdTuples(result_.get());
  int64_t out = 0;
  (void)std::from_chars(n, n + std::strlen(n), out);
  return out;
}

Result<std::unique_ptr<Connection>> Connection::open(const std::string &location,
                                                     const Limits &limits) {
  const std::string connect = std::to_string(std::max<int64_t>(1, limits.connect.count()));
  const std::string idle = std::to_string(limits.keepaliveIdle.count());
  const std::string user = std::to_string(limits.tcpUserTimeout.count());
  // The location comes first and is expanded (a URI or keywords); the limits after it win.
  const char *keywords[] = {"dbname",           "connect_timeout",     "keepalives",
                            "keepalives_idle",  "keepalives_interval", "keepalives_count",
                            "tcp_user_timeout", "application_name",    nullptr};
  const char *values[] = {location.c_str(), connect.c_str(), "1",    idle.c_str(), "1", "3",
                          user.c_str(),     "kestara-ovw",   nullptr};
  PGconn *conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) return makeError(OVW_ERR_NOMEM, "out of memory");
  std::unique_ptr<Connection> c(new Connection(conn, limits));
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string message = PQerrorMessage(conn);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return makeError(OVW_ERR_NO_DATABASE, "cannot connect to the database server: " + message);
  }
  // The server's notices (such as the one it sends before it shuts a session down) are not the
  // program's output: a lost connection is reported by the call that finds it.
  PQsetNoticeProcessor(
      conn, [](void *, const char *) {}, nullptr);
  OVW_TRY(c->configure());
  return c;
}

Connection::~Connection() { PQfinish(conn_); }

Status Connection::configure() {
  // Server-side bounds on every statement and lock wait, and on a transaction left open.
  const std::string ms = std::to_string(limits_.statement.count());
  OVW_TRY(run("SET statement_timeout = " + ms));
  OVW_TRY(run("SET lock_timeout = " + ms));
  OVW_TRY(run("SET idle_in_transaction_session_timeout = " +
              std::to_string(6 * limits_.statement.count())));
  OVW_TRY(run("SET client_min_messages = warning"));
  for (const std::string &channel : listening_) OVW_TRY(run("LISTEN " + channel));
  return Status::Ok();
}

Error Connection::failure(std::string_view what, const PGresult *result) {
  const char *state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  retryable_ = state != nullptr && (state == kSerializationFailure || state == kDeadlock);
  // A pipeline's failed statement carries its own message; the connection's may be another's.
  const char *own = result != nullptr ? PQresultErrorMessage(result) : nullptr;
  std::string message = own != nullptr && *own != '\0' ? own : PQerrorMessage(conn_);
  while (!message.empty() && message.back() == '\n') message.pop_back();
  if (message.empty()) message = "no answer from the database server";
  return makeError(OVW_ERR_DB, std::string(what) + ": " + message);
}

namespace {

// Statements a session keeps prepared: the server parses and plans each text once instead of at
// every run, which was most of the server's time per statement.
constexpr size_t kMaxPrepared = 256;

bool preparable(std::string_view sql) {
  for (std::string_view verb : {"SELECT ", "INSERT ", "UPDATE ", "DELETE ", "WITH "}) {
    if (sql.starts_with(verb)) return true;
  }
  return false;
}

}  // namespace

Result<const std::string *> Connection::preparedName(const std::string &sql, int parameters) {
  if (auto found = prepared_.find(sql); found != prepared_.end()) return &found->second;
  if (prepared_.size() >= kMaxPrepared || !preparable(sql) ||
      PQtransactionStatus(conn_) == PQTRANS_INERROR) {
    return nullptr;
  }
  std::string name = "ovw_" + std::to_string(prepared_.size() + 1);
  Rows made(PQprepare(conn_, name.c_str(), sql.c_str(), parameters, nullptr));
  if (made.result_ && PQresultStatus(made.result_.get()) == PGRES_COMMAND_OK) {
    return &prepared_.emplace(sql, std::move(name)).first->second;
  }
  // A statement the server refuses fails as it would have failed unprepared.
  return failure("statement failed", made.result_.get());
}

Result<Rows> Connection::exec(std::string_view sql, std::span<const Param> params) {
  retryable_ = false;
  std::vector<const char *> values;
  values.reserve(params.size());
  for (const Param &p : params) values.push_back(p ? p->c_str() : nullptr);
  const std::string text(sql);
  const int count = static_cast<int>(values.size());
  OVW_TRY_ASSIGN(const std::string *name, preparedName(text, count));
  Rows rows(
      name != nullptr
          ? PQexecPrepared(conn_, name->c_str(), count, values.data(), nullptr, nullptr, 0)
          : PQexecParams(conn_, text.c_str(), count, nullptr, values.data(), nullptr, nullptr, 0));
  const ExecStatusType status =
      rows.result_ ? PQresultStatus(rows.result_.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return failure("statement failed", rows.result_.get());
  }
  return rows;
}

Status Connection::run(std::string_view sql, std::span<const Param> params) {
  Result<Rows> r = exec(sql, params);
  if (!r) return r.error();
  return Status::Ok();
}

Status Connection::runScript(const std::string &sql) {
  retryable_ = false;
  Rows rows(PQexec(conn_, sql.c_str()));
  const ExecStatusType status =
      rows.result_ ? PQresultStatus(rows.result_.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return failure("statements failed", rows.result_.get());
  }
  return Status::Ok();
}

namespace {

// The most statements sent before their results are read: the server's results then fit in the
// sockets' buffers, so that neither side can block on a full one while the other sends.
constexpr size_t kPipelineChunk = 64;

}  // namespace

Result<std::vector<Rows>> Connection::pipeline(std::span<const Statement> statements) {
  std::vector<Rows> out;
  out.reserve(statements.size());
  while (!statements.empty()) {
    const auto part = statements.first(std::min(statements.size(), kPipelineChunk));
    statements = statements.subspan(part.size());
    OVW_TRY_ASSIGN(std::vector<Rows> rows, pipelinePart(part));
    for (Rows &r : rows) out.push_back(std::move(r));
  }
  return out;
}

Result<std::vector<Rows>> Connection::pipelinePart(std::span<const Statement> statements) {
  retryable_ = false;
  // Texts new to the session are prepared before the pipeline starts (once per session).
  std::vector<const std::string *> names;
  names.reserve(statements.size());
  for (const Statement &s : statements) {
    OVW_TRY_ASSIGN(const std::string *name,
                   preparedName(std::string(s.sql), static_cast<int>(s.params.size())));
    names.push_back(name);
  }
  if (PQenterPipelineMode(conn_) == 0) return failure("cannot send statements together", nullptr);
  size_t sent = 0;
  std::vector<const char *> values;
  for (; sent < statements.size(); ++sent) {
    const Statement &s = statements[sent];
    values.clear();
    for (const Param &p : s.params) values.push_back(p ? p->c_str() : nullptr);
    const int count = static_cast<int>(values.size());
    const int queued = names[sent] != nullptr
                           ? PQsendQueryPrepared(conn_, names[sent]->c_str(), count, values.data(),
                                                 nullptr, nullptr, 0)
                           : PQsendQueryParams(conn_, std::string(s.sql).c_str(), count, nullptr,
                                               values.data(), nullptr, nullptr, 0);
    if (queued == 0) break;
  }
  // The sync ends the pipeline on the server (and sends it): whatever was queued runs, and the
  // results are read below so that the connection leaves pipeline mode clean.
  if (PQpipelineSync(conn_) == 0) {
    // Nothing could be sent: the connection is gone, and is made again in normal mode.
    Error lost = failure("lost the database server", nullptr);
    (void)reset();
    return lost;
  }
  Result<std::vector<Rows>> results = pipelineResults(sent);
  if (results && sent < statements.size()) return failure("statement failed", nullptr);
  return results;
}

Result<std::vector<Rows>> Connection::pipelineResults(size_t count) {
  std::optional<Error> first;
  std::vector<Rows> out;
  out.reserve(count);
  for (size_t i = 0; i < count && healthy(); ++i) {
    Rows rows(PQgetResult(conn_));
    if (!rows.result_) break;  // nothing more will come
    // Each statement's results end with a null; one statement gives one result here.
    for (int extra = 0; extra < 4 && healthy(); ++extra) {
      Rows more(PQgetResult(conn_));
      if (!more.result_) break;
    }
    const ExecStatusType status = PQresultStatus(rows.result_.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
      out.push_back(std::move(rows));
    } else if (!first) {
      // The statements after a failed one come back as PGRES_PIPELINE_ABORTED.
      first = failure("statement failed", rows.result_.get());
    }
  }
  // Then the sync's own result, which ends the pipeline (the statements not read above come
  // first; a lost connection ends the loop).
  for (size_t reads = 2 * count + 4; reads > 0 && healthy(); --reads) {
    Rows rows(PQgetResult(conn_));
    if (!rows.result_ || PQresultStatus(rows.result_.get()) == PGRES_PIPELINE_SYNC) break;
  }
  if (PQexitPipelineMode(conn_) == 0) {
    // Results the loops above could not account for: a connection left in pipeline mode
    // would refuse every later statement, so it is made again (its transaction is lost).
    Error lost = failure("lost the database server", nullptr);
    (void)reset();
    return first ? *first : lost;
  }
  if (first) return *first;
  if (!healthy() || out.size() != count) {
    return failure("lost the database server", nullptr);
  }
  return out;
}

Result<int64_t> Connection::queryInt(std::string_view sql, std::span<const Param> params) {
  Result<Rows> r = exec(sql, params);
  if (!r) return r.error();
  return r->count() > 0 ? r->int64(0, 0) : int64_t{0};
}

Status Connection::listen(std::string_view channel) {
  if (!validChannel(channel)) return makeError(OVW_ERR_BAD_ARG, "invalid channel name");
  OVW_TRY(run("LISTEN " + std::string(channel)));
  if (std::find(listening_.begin(), listening_.end(), channel) == listening_.end()) {
    listening_.emplace_back(channel);
  }
  return Status::Ok();
}

int Connection::socket() const { return healthy() ? PQsocket(conn_) : -1; }

Result<std::vector<std::string>> Connection::takeNotifications() {
  if (PQconsumeInput(conn_) == 0 || !healthy()) return failure("lost the database server", nullptr);
  std::vector<std::string> channels;
  for (;;) {
    std::unique_ptr<PGnotify, Freer> n(PQnotifies(conn_));
    if (!n) break;
    std::string channel = n->relname != nullptr ? n->relname : "";
    if (std::find(channels.begin(), channels.end(), channel) == channels.end()) {
      channels.push_back(std::move(channel));
    }
  }
  return channels;
}

bool Connection::healthy() const { return PQstatus(conn_) == CONNECTION_OK; }

Status Connection::reset() {
  PQreset(conn_);
  prepared_.clear();  // the new session has none
  if (!healthy()) return failure("cannot connect to the database server again", nullptr);
  return configure();
}

Result<Transaction> Transaction::begin(Connection &connection, Isolation isolation) {
  OVW_TRY(connection.run(isolation == Isolation::kSerializable
                             ? "BEGIN ISOLATION LEVEL SERIALIZABLE"
                             : "BEGIN ISOLATION LEVEL READ COMMITTED"));
  return Transaction(&connection);
}

Transaction::~Transaction() {
  if (connection_ != nullptr) (void)connection_->run("ROLLBACK");
}

Status Transaction::commit() {
  Connection *c = connection_;
  connection_ = nullptr;
  if (c == nullptr) return makeError(OVW_ERR_BAD_ARG, "no transaction");
  return c->run("COMMIT");
}

}  // namespace kestara::ovw::pg
