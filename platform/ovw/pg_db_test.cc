// pg_db_test.cc - the libpq layer against a PostgreSQL server of the test's own: typed rows and
// parameters, transactions, serialisation conflicts, notifications through the socket, and
// bounded failures when the server is busy, gone or back.
#include "pg_db.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "postgres.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;
using kestara::ovw::Status;
using kestara::ovw::pg::Connection;
using kestara::ovw::pg::isConnectionString;
using kestara::ovw::pg::Limits;
using kestara::ovw::pg::nullParam;
using kestara::ovw::pg::param;
using kestara::ovw::pg::Param;
using kestara::ovw::pg::Transaction;
using Clock = std::chrono::steady_clock;

TEST(PgLocation, TellsServersFromFiles) {
  for (const char *uri : {"postgresql://kestara@db.example/kestara", "postgres://db/kestara",
                          "host=db dbname=kestara", "dbname=kestara"}) {
    EXPECT_TRUE(isConnectionString(uri)) << uri;
  }
  for (const char *file :
       {"/var/lib/kestara/ovw.db", "ovw.db", "./a=b/ovw.db", "=x", "", "/tmp/host=db"}) {
    EXPECT_FALSE(isConnectionString(file)) << file;
  }
}

class PgTest : public kt::PostgresSuite {
 protected:
  std::unique_ptr<Connection> connect(const Limits &limits = {}) {
    auto c = Connection::open(server().uri(), limits);
    EXPECT_TRUE(c.ok()) << (c.ok() ? "" : c.error().detail);
    return c.ok() ? std::move(*c) : nullptr;
  }
  // A fresh table `name` (id, value) for one test.
  void table(Connection &c, const std::string &name) {
    ASSERT_TRUE(c.run("DROP TABLE IF EXISTS " + name).ok());
    ASSERT_TRUE(c.run("CREATE TABLE " + name + " (id BIGINT PRIMARY KEY, value TEXT)").ok());
  }
};

TEST_F(PgTest, ParametersTravelAsValuesAndRowsComeBackTyped) {
  auto c = connect();
  ASSERT_NE(nullptr, c);
  table(*c, "params");
  // Quotes, a statement's text and a NULL are values, never SQL.
  const std::vector<std::vector<Param>> rows = {
      {param(int64_t{1}), param("o'brien")},
      {param(int64_t{2}), param("x'); DROP TABLE params; --")},
      {param(int64_t{-9000000000}), nullParam()}};
  for (const auto &row : rows) {
    auto r = c->exec("INSERT INTO params VALUES ($1, $2)", row);
    ASSERT_TRUE(r.ok()) << r.error().detail;
    EXPECT_EQ(1, r->changed());
  }
  auto r = c->exec("SELECT id, value FROM params ORDER BY id");
  ASSERT_TRUE(r.ok()) << r.error().detail;
  ASSERT_EQ(3, r->count());
  EXPECT_EQ(-9000000000, r->int64(0, 0));
  EXPECT_TRUE(r->isNull(0, 1));
  EXPECT_EQ(std::nullopt, r->text(0, 1));
  EXPECT_EQ("o'brien", r->text(1, 1));
  EXPECT_EQ("x'); DROP TABLE params; --", r->text(2, 1));
  // Out of range is NULL, not a crash; text that is no number reads as 0.
  EXPECT_TRUE(r->isNull(3, 0));
  EXPECT_TRUE(r->isNull(0, 2));
  EXPECT_EQ(0, r->int64(1, 1));
  auto bad = c->exec("SELECT * FROM no_such_table");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(OVW_ERR_DB, bad.error().code);
  EXPECT_NE(std::string::npos, bad.error().detail.find("no_such_table"));
  EXPECT_FALSE(c->retryable());
}

TEST_F(PgTest, TransactionsCommitOrLeaveNothing) {
  auto c = connect();
  ASSERT_NE(nullptr, c);
  table(*c, "txn");
  {
    auto t = Transaction::begin(*c);
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(c->run("INSERT INTO txn VALUES (1, 'gone')").ok());
  }  // not committed
  {
    auto t = Transaction::begin(*c);
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(c->run("INSERT INTO txn VALUES (2, 'kept')").ok());
    ASSERT_TRUE(t->commit().ok());
  }
  auto ids = c->exec("SELECT id FROM txn");
  ASSERT_TRUE(ids.ok());
  ASSERT_EQ(1, ids->count());
  EXPECT_EQ(2, ids->int64(0, 0));
}

// Each statement text is prepared once per session and reused; a text the server refuses fails
// as it would unprepared (and its transaction with it); past the bound, texts run unprepared.
TEST_F(PgTest, StatementsArePreparedOnceAndStayCorrect) {
  auto c = connect();
  ASSERT_NE(nullptr, c);
  table(*c, "prep");
  const std::string insert = "INSERT INTO prep VALUES ($1, $2)";
  for (int64_t id = 1; id <= 3; ++id) {
    ASSERT_TRUE(c->run(insert, std::vector<Param>{param(id), param("v" + std::to_string(id))}));
  }
  auto kept = c->exec("SELECT count(*) FROM pg_prepared_statements WHERE statement = $1",
                      std::vector<Param>{param(insert)});
  ASSERT_TRUE(kept.ok()) << kept.error().detail;
  EXPECT_EQ(1, kept->int64(0, 0));

  // The table made again under the same name: the kept statement reads the new one.
  table(*c, "prep");
  ASSERT_TRUE(c->run(insert, std::vector<Param>{param(int64_t{7}), param("new")}));
  auto after = c->exec("SELECT id, value FROM prep");
  ASSERT_TRUE(after.ok()) << after.error().detail;
  ASSERT_EQ(1, after->count());
  EXPECT_EQ(7, after->int64(0, 0));

  {
    auto t = Transaction::begin(*c);
    ASSERT_TRUE(t.ok());
    EXPECT_FALSE(c->exec("SELECT value FROM no_such_table").ok());
    EXPECT_FALSE(c->exec("SELECT id FROM prep").ok());  // the transaction has failed
  }
  EXPECT_TRUE(c->exec("SELECT id FROM prep").ok());

  // Many more texts than are kept: each still runs.
  for (int i = 0; i < 300; ++i) {
    auto r = c->exec("SELECT " + std::to_string(i) + " + $1::bigint",
                     std::vector<Param>{param(int64_t{1})});
    ASSERT_TRUE(r.ok()) << i << ": " << r.error().detail;
    EXPECT_EQ(i + 1, r->int64(0, 0));
  }
}

// Statements sent together come back in order; the first failure is the call's and the
// statements after it do not run; the connection is usable afterwards in either case.
TEST_F(PgTest, PipelinesAnswerInOrderAndStopAtTheFirstFailure) {
  auto c = connect();
  ASSERT_NE(nullptr, c);
  table(*c, "piped");
  using Statement = Connection::Statement;
  const Param one[] = {param(int64_t{1}), param("one")};
  const Param two[] = {param(int64_t{2}), param("two")};
  const Statement writes[] = {{"BEGIN", {}},
                              {"INSERT INTO piped VALUES ($1, $2)", one},
                              {"INSERT INTO piped VALUES ($1, $2)", two},
                              {"SELECT count(*) FROM piped", {}},
                              {"COMMIT", {}}};
  auto done = c->pipeline(writes);
  ASSERT_TRUE(done.ok()) << done.error().detail;
  ASSERT_EQ(5u, done->size());
  EXPECT_EQ(1, (*done)[1].changed());
  EXPECT_EQ(2, (*done)[3].int64(0, 0));

  // The same key again fails the second statement; the third, which would say otherwise,
  // never runs, and the transaction is left failed for the caller to end.
  const Param three[] = {param(int64_t{3}), param("three")};
  const Statement failing[] = {{"BEGIN", {}},
                               {"INSERT INTO piped VALUES ($1, $2)", one},
                               {"INSERT INTO piped VALUES ($1, $2)", three},
                               {"COMMIT", {}}};
  auto refused = c->pipeline(failing);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(OVW_ERR_DB, refused.error().code);
  EXPECT_NE(std::string::npos, refused.error().detail.find("duplicate key"))
      << refused.error().detail;
  EXPECT_EQ(PQTRANS_INERROR, PQtransactionStatus(c->handle()));
  ASSERT_TRUE(c->run("ROLLBACK").ok());
  auto rows = c->exec("SELECT id FROM piped ORDER BY id");
  ASSERT_TRUE(rows.ok()) << rows.error().detail;
  ASSERT_EQ(2, rows->count());
  EXPECT_EQ(2, rows->int64(1, 0));

  // A text the server can't prepare fails before anything is sent.
  const Statement unknown[] = {{"INSERT INTO piped VALUES ($1, $2)", three},
                               {"SELECT * FROM no_such_table", {}}};
  EXPECT_FALSE(c->pipeline(unknown).ok());
  rows = c->exec("SELECT count(*) FROM piped");
  ASSERT_TRUE(rows.ok()) << rows.error().detail;
  EXPECT_EQ(2, rows->int64(0, 0));
}

// Two writers read, then both write on what they read: one of them is told to run again.
TEST_F(PgTest, RacingWritersAreSerialised) {
  auto a = connect();
  auto b = connect();
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  table(*a, "counter");
  ASSERT_TRUE(a->run("INSERT INTO counter VALUES (1, '0')").ok());
  auto ta = Transaction::begin(*a);
  auto tb = Transaction::begin(*b);
  ASSERT_TRUE(ta.ok() && tb.ok());
  ASSERT_TRUE(a->exec("SELECT value FROM counter WHERE id = 1").ok());
  ASSERT_TRUE(b->exec("SELECT value FROM counter WHERE id = 1").ok());
  ASSERT_TRUE(a->run("UPDATE counter SET value = 'a' WHERE id = 1").ok());
  ASSERT_TRUE(ta->commit().ok());
  Status second = b->run("UPDATE counter SET value = 'b' WHERE id = 1");
  if (second.ok()) second = tb->commit();
  ASSERT_FALSE(second.ok());
  EXPECT_TRUE(b->retryable()) << second.error().detail;
  EXPECT_EQ("a", *a->exec("SELECT value FROM counter WHERE id = 1")->text(0, 0));
}

TEST_F(PgTest, NotificationsMakeTheSocketReadable) {
  auto listener = connect();
  auto poster = connect();
  ASSERT_NE(nullptr, listener);
  ASSERT_NE(nullptr, poster);
  ASSERT_TRUE(listener->listen("session_7").ok());
  EXPECT_EQ(OVW_ERR_BAD_ARG, listener->listen("x; DROP TABLE y").error().code);
  ASSERT_GE(listener->socket(), 0);

  ASSERT_TRUE(poster->run("NOTIFY session_7").ok());
  ASSERT_TRUE(poster->run("NOTIFY session_8").ok());
  ASSERT_TRUE(poster->run("SELECT pg_notify('session_7', 'again')").ok());
  pollfd p{listener->socket(), POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, static_cast<int>(kt::scaled(5s).count())));
  // Both notices of the channel may take two reads to arrive; each channel is told once a read.
  std::vector<std::string> seen;
  ASSERT_TRUE(kt::eventually([&] {
    auto got = listener->takeNotifications();
    if (got.ok()) seen.insert(seen.end(), got->begin(), got->end());
    return !seen.empty();
  }));
  EXPECT_EQ("session_7", seen.front());
  for (const std::string &channel : seen) EXPECT_EQ("session_7", channel);
  // Once the second notice of the channel is read too, nothing more comes: the socket is quiet.
  EXPECT_TRUE(kt::eventually([&] {
    auto more = listener->takeNotifications();
    EXPECT_TRUE(more.ok());
    if (more.ok()) {
      for (const std::string &channel : *more) EXPECT_EQ("session_7", channel);
    }
    p.revents = 0;
    return poll(&p, 1, 100) == 0;
  }));
}

// A lock held by another transaction fails the waiting statement at the limit, not later.
TEST_F(PgTest, LockWaitsEndAtTheStatementLimit) {
  auto holder = connect();
  Limits limits;
  limits.statement = 300ms;
  auto waiter = connect(limits);
  ASSERT_NE(nullptr, holder);
  ASSERT_NE(nullptr, waiter);
  table(*holder, "locked");
  ASSERT_TRUE(holder->run("INSERT INTO locked VALUES (1, 'x')").ok());
  auto hold = Transaction::begin(*holder);
  ASSERT_TRUE(holder->run("UPDATE locked SET value = 'y' WHERE id = 1").ok());
  const auto start = Clock::now();
  Status s = waiter->run("UPDATE locked SET value = 'z' WHERE id = 1");
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(OVW_ERR_DB, s.error().code);
  EXPECT_LT(Clock::now() - start, kt::scaled(3s));
  EXPECT_TRUE(waiter->healthy());  // the connection stays usable
  EXPECT_TRUE(waiter->run("SELECT 1").ok());
}

TEST_F(PgTest, ServerGoneFailsPromptlyAndBackRecovers) {
  auto c = connect();
  ASSERT_NE(nullptr, c);
  ASSERT_TRUE(c->listen("wake").ok());
  ASSERT_TRUE(c->run("SELECT 1").ok());
  ASSERT_TRUE(server().stop());
  const auto start = Clock::now();
  EXPECT_FALSE(c->run("SELECT 1").ok());
  EXPECT_FALSE(c->healthy());
  EXPECT_EQ(-1, c->socket());
  auto refused = Connection::open(server().uri());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(OVW_ERR_NO_DATABASE, refused.error().code);
  EXPECT_LT(Clock::now() - start, kt::scaled(5s));

  std::string why;
  ASSERT_TRUE(server().restart(why)) << why;
  ASSERT_TRUE(c->reset().ok());
  // A statement prepared before is prepared again in the new session.
  EXPECT_TRUE(c->run("SELECT 1").ok());
  // The connection listens again after the reset.
  auto poster = connect();
  ASSERT_NE(nullptr, poster);
  ASSERT_TRUE(poster->run("NOTIFY wake").ok());
  EXPECT_TRUE(kt::eventually([&] {
    auto got = c->takeNotifications();
    return got.ok() && !got->empty();
  }));
}

}  // namespace
