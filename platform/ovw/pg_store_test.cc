// pg_store_test.cc - the store on a PostgreSQL server when the server goes away, when another
// connection holds a lock, and what it says about keeping the database safe.
#include "pg_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pg_db.h"
#include "postgres.h"
#include "process.h"

namespace kestara::ovw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PgStoreTest : public kt::PostgresSuite {
 protected:
  void SetUp() override {
    kt::PostgresSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    static int databases = 0;
    const std::string name = "store_" + std::to_string(++databases);
    std::string why;
    ASSERT_TRUE(server().createDatabase(name, why)) << why;
    location_ = server().uri(name);
    limits_.connect = 2s;
    limits_.statement = 1000ms;
  }

  std::unique_ptr<PgStore> open() {
    auto store = PgStore::open(location_, limits_);
    EXPECT_TRUE(store) << (store ? "" : store.error().detail);
    return store ? std::move(*store) : nullptr;
  }

  // Creates an object as the `ovw` tool would; 0 when that failed.
  uint32_t create(PgStore &store, const char *hostname) {
    auto txn = store.transaction();
    EXPECT_TRUE(txn) << (txn ? "" : txn.error().detail);
    if (!txn) return 0;
    Wakes wakes;
    auto id = store.createObject(hostname, std::nullopt, {}, wakes);
    EXPECT_TRUE(id) << (id ? "" : id.error().detail);
    EXPECT_TRUE((*txn)->commit());
    store.wake(wakes);
    return id ? *id : 0;
  }

  // Starts the session "test:0" and creates the object "alpha".
  uint32_t startAndCreate(PgStore &store) {
    {
      auto txn = store.transaction();
      EXPECT_TRUE(txn) << (txn ? "" : txn.error().detail);
      if (!txn) return 0;
      EXPECT_TRUE(store.startSession("test:0"));
      EXPECT_TRUE((*txn)->commit());
    }
    return create(store, "alpha");
  }

  // A party attached to the session "test:0" that takes object-creation events; its wake
  // source is null when it could not be attached.
  struct Party {
    std::unique_ptr<WakeSource> wake;
    int64_t id = 0;
  };
  static Party listen(PgStore &store) {
    auto wake = store.wakeSource();
    EXPECT_TRUE(wake) << wake.error().detail;
    if (!wake) return {};
    auto a = store.attach("test:0", "taker", (*wake)->token(), 1);
    EXPECT_TRUE(a) << a.error().detail;
    if (!a || !store.registerEvent(a->id, OVW_EVENT_OBJECT_CREATED)) return {};
    return {std::move(*wake), a->id};
  }

  // Whether the boolean field is read as set.
  static bool isSet(PgStore &store, uint32_t object, uint32_t field) {
    auto value = store.booleanValue(object, field);
    EXPECT_TRUE(value) << value.error().detail;
    return value && *value;
  }

  std::string location_;
  pg::Limits limits_;
};

TEST_F(PgStoreTest, AStoppedServerFailsCallsPromptlyAndARestartedOneIsReconnected) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  const uint32_t alpha = startAndCreate(*store);
  ASSERT_NE(0u, alpha);

  ASSERT_TRUE(server().stop());
  auto start = Clock::now();
  auto ids = store->objectIds();
  ASSERT_FALSE(ids);
  EXPECT_EQ(OVW_ERR_DB, ids.error().code) << ids.error().detail;
  auto txn = store->transaction();
  ASSERT_FALSE(txn);
  EXPECT_EQ(OVW_ERR_DB, txn.error().code);
  EXPECT_LT(Clock::now() - start, kt::scaled(5s));

  std::string why;
  ASSERT_TRUE(server().restart(why)) << why;
  // The first call after the restart connects again; nothing was lost or given twice.
  ids = store->objectIds();
  ASSERT_TRUE(ids) << ids.error().detail;
  EXPECT_EQ(std::vector<uint32_t>{alpha}, *ids);
  EXPECT_GT(create(*store, "beta"), alpha);
}

TEST_F(PgStoreTest, AServerLostWithinAGroupLosesTheGroupAndSaysSo) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  const uint32_t alpha = startAndCreate(*store);
  auto isNode = store->fieldByName("isNode");
  ASSERT_TRUE(isNode && isNode->has_value());
  const uint32_t node = (*isNode)->id;
  ASSERT_TRUE(store->beginGroup());
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    ASSERT_TRUE(store->setObjectNames(alpha, "lost", std::nullopt));
    ASSERT_TRUE((*txn)->commit());
  }
  ASSERT_TRUE(server().stop());
  std::string why;
  ASSERT_TRUE(server().restart(why)) << why;
  // The group's next write connects again and opens the group anew; its end reports the
  // writes lost before.
  ASSERT_TRUE(store->setBooleanValue(alpha, node, true));
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn) << txn.error().detail;
    ASSERT_TRUE(store->setObjectNames(alpha, std::nullopt, "kept"));
    ASSERT_TRUE((*txn)->commit());
  }
  Status ended = store->endGroup();
  EXPECT_FALSE(ended);
  EXPECT_EQ(OVW_ERR_DB, ended.error().code);
  auto names = store->objectNames(alpha);
  ASSERT_TRUE(names) << names.error().detail;
  ASSERT_TRUE(names->has_value());
  EXPECT_EQ("alpha", (*names)->hostname.value_or(""));
  EXPECT_EQ("kept", (*names)->selection_name.value_or(""));
  EXPECT_TRUE(isSet(*store, alpha, node));
}

// A boolean write is a transaction of its own (one round trip), or a savepoint within a group:
// a write that fails on the server fails alone and leaves no transaction open, and a failed
// check writes nothing.
TEST_F(PgStoreTest, ABooleanWriteFailsAloneAndWritesNothingUnchecked) {
  auto store = open();
  auto other = open();
  ASSERT_NE(nullptr, store);
  ASSERT_NE(nullptr, other);
  const uint32_t alpha = startAndCreate(*store);
  const uint32_t beta = create(*store, "beta");
  auto node = store->fieldByName("isNode");
  ASSERT_TRUE(node && node->has_value());
  const uint32_t flag = (*node)->id;
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    ASSERT_TRUE(store->defineField("count", OVW_FIELD_INTEGER));
    ASSERT_TRUE((*txn)->commit());
  }
  auto count = store->fieldByName("count");
  ASSERT_TRUE(count && count->has_value());

  // Failed checks: nothing is written, and the connection is left idle.
  Status bad = store->setBooleanValue(alpha, (*count)->id, true);
  EXPECT_EQ(OVW_ERR_BAD_ARG, bad.error().code);
  auto unwritten = store->fieldValue(alpha, (*count)->id);
  ASSERT_TRUE(unwritten);
  EXPECT_EQ(std::nullopt, *unwritten);
  EXPECT_EQ(OVW_ERR_NOT_FOUND, store->setBooleanValue(9999, flag, true).error().code);
  EXPECT_EQ(OVW_ERR_NOT_FOUND, store->setBooleanValue(alpha, 9999, true).error().code);
  EXPECT_EQ(OVW_ERR_NOT_FOUND, store->booleanValue(9999, flag).error().code);
  EXPECT_EQ(OVW_ERR_BAD_ARG, store->booleanValue(alpha, (*count)->id).error().code);
  EXPECT_EQ(PQTRANS_IDLE, PQtransactionStatus(store->connection().handle()));

  // Another writer holds the writers' lock: the write gives up at the lock time-out.
  {
    auto held = other->transaction();
    ASSERT_TRUE(held);
    ASSERT_TRUE(other->objectIds());  // the first statement takes the writers' lock
    auto start = Clock::now();
    Status waited = store->setBooleanValue(alpha, flag, true);
    EXPECT_EQ(OVW_ERR_DB, waited.error().code);
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_EQ(PQTRANS_IDLE, PQtransactionStatus(store->connection().handle()));
  }
  ASSERT_TRUE(store->setBooleanValue(beta, flag, true));
  EXPECT_TRUE(isSet(*other, beta, flag));

  // Within a group, a write held up by a row lock fails alone; the group's others commit.
  auto locker = pg::Connection::open(location_);
  ASSERT_TRUE(locker) << locker.error().detail;
  ASSERT_TRUE((*locker)->run("BEGIN"));
  ASSERT_TRUE((*locker)->run("SELECT value FROM field_values WHERE object_id = $1 FOR UPDATE",
                             std::vector<pg::Param>{pg::param(int64_t{beta})}));
  ASSERT_TRUE(store->beginGroup());
  ASSERT_TRUE(store->setBooleanValue(alpha, flag, true));
  EXPECT_EQ(OVW_ERR_DB, store->setBooleanValue(beta, flag, false).error().code);
  EXPECT_TRUE(store->endGroup());
  ASSERT_TRUE((*locker)->run("ROLLBACK"));
  EXPECT_TRUE(isSet(*other, alpha, flag));
  EXPECT_TRUE(isSet(*other, beta, flag));
}

// Statements whose results nobody reads travel with the transaction's next statement or its
// end. One of them held up by a row lock fails the end, and nothing of the transaction is
// committed; within a group it fails its own transaction alone. Those queued before a savepoint
// are not undone by rolling the savepoint back.
TEST_F(PgStoreTest, StatementsSentWithTheEndFailItAndCommitNothing) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  startAndCreate(*store);
  const uint32_t beta = create(*store, "beta");
  auto reader = pg::Connection::open(location_);
  ASSERT_TRUE(reader) << reader.error().detail;
  auto posts = [&](uint32_t object) {
    auto n = (*reader)->queryInt("SELECT count(*) FROM event_objects WHERE object_id = $1",
                                 std::vector<pg::Param>{pg::param(int64_t{object})});
    EXPECT_TRUE(n) << n.error().detail;
    return n ? *n : -1;
  };
  auto exists = [&](uint32_t object) {
    auto found = store->objectExists(object);
    EXPECT_TRUE(found) << found.error().detail;
    return found && *found;
  };
  auto locker = pg::Connection::open(location_);
  ASSERT_TRUE(locker) << locker.error().detail;
  ASSERT_TRUE((*locker)->run("BEGIN"));
  ASSERT_TRUE((*locker)->run("SELECT id FROM objects WHERE id = $1 FOR UPDATE",
                             std::vector<pg::Param>{pg::param(int64_t{beta})}));
  Wakes wakes;
  uint32_t gamma = 0;
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    auto made = store->createObject("gamma", std::nullopt, {}, wakes);
    ASSERT_TRUE(made) << made.error().detail;
    gamma = *made;
    const uint32_t doomed[] = {beta};
    ASSERT_TRUE(store->deleteObjects(doomed, wakes));  // its DELETE waits for the end
    EXPECT_EQ(OVW_ERR_DB, (*txn)->commit().error().code);
  }
  EXPECT_EQ(PQTRANS_IDLE, PQtransactionStatus(store->connection().handle()));
  EXPECT_FALSE(exists(gamma));
  EXPECT_TRUE(exists(beta));
  EXPECT_EQ(0, posts(gamma));

  ASSERT_TRUE(store->beginGroup());
  const uint32_t delta = create(*store, "delta");
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    const uint32_t doomed[] = {beta};
    ASSERT_TRUE(store->deleteObjects(doomed, wakes));
    EXPECT_EQ(OVW_ERR_DB, (*txn)->commit().error().code);
  }
  EXPECT_TRUE(store->endGroup());
  ASSERT_TRUE((*locker)->run("ROLLBACK"));
  EXPECT_TRUE(exists(delta));
  EXPECT_EQ(1, posts(delta));
  EXPECT_TRUE(exists(beta));

  uint32_t epsilon = 0;
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    auto made = store->createObject("epsilon", std::nullopt, {}, wakes);
    ASSERT_TRUE(made);
    epsilon = *made;
    {
      auto inner = store->transaction();
      ASSERT_TRUE(inner);
      ASSERT_TRUE(store->objectIds());
    }  // the savepoint is rolled back
    ASSERT_TRUE((*txn)->commit());
  }
  EXPECT_EQ(1, posts(epsilon));
}

TEST_F(PgStoreTest, AWakeUpPostedWhileTheListenerWasAwayIsNotLost) {
  auto poster = open();
  auto taker = open();
  ASSERT_NE(nullptr, poster);
  ASSERT_NE(nullptr, taker);
  startAndCreate(*poster);
  Party party = listen(*taker);
  ASSERT_NE(nullptr, party.wake);

  ASSERT_TRUE(server().stop());
  std::string why;
  ASSERT_TRUE(server().restart(why)) << why;
  // The listener is not connected: this notification is gone.
  const uint32_t beta = create(*poster, "beta");
  ASSERT_NE(0u, beta);
  // The listener's lost connection wakes it; after draining (which connects it again) it reads
  // the events table, as OVwGetMessage does, and finds the event.
  EXPECT_TRUE(party.wake->wait(kt::scaled(5s)));
  party.wake->drain();
  auto next = taker->takeNext(party.id);
  ASSERT_TRUE(next) << next.error().detail;
  ASSERT_EQ(StoreBackend::Next::kEvent, next->kind);
  EXPECT_EQ(OVW_EVENT_OBJECT_CREATED, next->event);
  auto event = taker->event(next->event_id);
  ASSERT_TRUE(event && event->has_value());
  ASSERT_EQ(1u, (*event)->objects.size());
  EXPECT_EQ(beta, (*event)->objects[0].id);

  // Connected again, it is woken by the next post and still counts as alive.
  party.wake->drain();
  ASSERT_NE(0u, create(*poster, "gamma"));
  EXPECT_TRUE(party.wake->wait(kt::scaled(5s)));
  ASSERT_TRUE(poster->reclaimDeadAttachments());
  auto running = poster->runningSession("test:0");
  ASSERT_TRUE(running && running->has_value());
  auto attached = poster->attachments((*running)->id);
  ASSERT_TRUE(attached);
  EXPECT_EQ(1u, attached->size());
}

// A post notifies its parties within its transaction: they are woken by its commit (a group's
// at the group's end) and never by a post that was rolled back. A party whose token is not one
// of ours is passed over and does not fail the post.
TEST_F(PgStoreTest, APostWakesItsPartiesAtItsCommitAndNeverWhenRolledBack) {
  auto poster = open();
  auto taker = open();
  ASSERT_NE(nullptr, poster);
  ASSERT_NE(nullptr, taker);
  startAndCreate(*poster);
  Party party = listen(*taker);
  ASSERT_NE(nullptr, party.wake);
  auto stray = taker->attach("test:0", "stray", std::string(80, 'z'), 1);
  ASSERT_TRUE(stray) << stray.error().detail;
  ASSERT_TRUE(taker->registerEvent(stray->id, OVW_EVENT_OBJECT_CREATED));
  party.wake->drain();
  const auto quiet = kt::scaled(300ms);

  {
    auto txn = poster->transaction();
    ASSERT_TRUE(txn);
    Wakes wakes;
    ASSERT_TRUE(poster->createObject("rolled-back", std::nullopt, {}, wakes));
  }  // rolled back
  EXPECT_FALSE(party.wake->wait(quiet));

  {
    auto txn = poster->transaction();
    ASSERT_TRUE(txn);
    Wakes wakes;
    ASSERT_TRUE(poster->createObject("beta", std::nullopt, {}, wakes));
    EXPECT_FALSE(party.wake->wait(quiet)) << "woken before the commit";
    ASSERT_TRUE((*txn)->commit());
  }
  EXPECT_TRUE(party.wake->wait(kt::scaled(5s)));
  party.wake->drain();

  ASSERT_TRUE(poster->beginGroup());
  ASSERT_NE(0u, create(*poster, "gamma"));
  ASSERT_NE(0u, create(*poster, "delta"));
  EXPECT_FALSE(party.wake->wait(quiet)) << "woken before the group's end";
  ASSERT_TRUE(poster->endGroup());
  EXPECT_TRUE(party.wake->wait(kt::scaled(5s)));
}

TEST_F(PgStoreTest, AnAttachmentWhoseListenerHasGoneIsReclaimed) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  startAndCreate(*store);
  auto wake = store->wakeSource();
  ASSERT_TRUE(wake) << wake.error().detail;
  auto a = store->attach("test:0", "gone", (*wake)->token(), 1);
  ASSERT_TRUE(a);
  ASSERT_TRUE(store->reclaimDeadAttachments());
  EXPECT_EQ(1u, store->attachments(a->session_id)->size());
  wake->reset();  // its connection, and with it its lock, is gone
  ASSERT_TRUE(kt::eventually([&] {
    EXPECT_TRUE(store->reclaimDeadAttachments());
    return store->attachments(a->session_id)->empty();
  }));
}

TEST_F(PgStoreTest, ALockHeldByAnotherConnectionFailsTheCallWithinTheLockTimeOut) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  startAndCreate(*store);
  auto other = pg::Connection::open(location_);
  ASSERT_TRUE(other) << other.error().detail;
  ASSERT_TRUE((*other)->run("BEGIN"));
  ASSERT_TRUE((*other)->run("LOCK TABLE objects IN ACCESS EXCLUSIVE MODE"));

  auto start = Clock::now();
  auto ids = store->objectIds();
  auto waited = Clock::now() - start;
  ASSERT_FALSE(ids);
  EXPECT_EQ(OVW_ERR_DB, ids.error().code);
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, kt::scaled(5s));

  // Another writer in its transaction: the next waits for it as long, then gives up. A
  // transaction takes the writers' lock with its first statement.
  ASSERT_TRUE((*other)->run("ROLLBACK"));
  auto writer = open();
  ASSERT_NE(nullptr, writer);
  auto held = writer->transaction();
  ASSERT_TRUE(held) << held.error().detail;
  ASSERT_TRUE(writer->objectIds());
  auto txn = store->transaction();
  ASSERT_TRUE(txn) << txn.error().detail;
  start = Clock::now();
  ids = store->objectIds();
  waited = Clock::now() - start;
  ASSERT_FALSE(ids);
  EXPECT_EQ(OVW_ERR_DB, ids.error().code);
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, kt::scaled(5s));
  EXPECT_FALSE((*txn)->commit());
  // Once the other is done, this store carries on.
  held->reset();
  txn = store->transaction();
  ASSERT_TRUE(txn) << txn.error().detail;
  ASSERT_TRUE(store->objectIds());
  EXPECT_TRUE((*txn)->commit());
}

// Writers in several processes at once (here: connections) all succeed, one after the other:
// none fails for a serialisation conflict, no id is given twice, and an attachment that takes
// events meanwhile misses none (its cursor never passes an event still being committed).
TEST_F(PgStoreTest, WritersAtOnceAllSucceedWithIdsNeverGivenTwice) {
  auto first = open();
  ASSERT_NE(nullptr, first);
  startAndCreate(*first);
  constexpr int kWriters = 4;
  constexpr int kEach = 20;
  std::vector<std::unique_ptr<PgStore>> stores;
  for (int i = 0; i < kWriters; ++i) {
    stores.push_back(open());
    ASSERT_NE(nullptr, stores.back());
  }
  auto taker = open();
  ASSERT_NE(nullptr, taker);
  Party party = listen(*taker);
  ASSERT_NE(nullptr, party.wake);
  std::set<uint32_t> taken;
  std::string takeFailure;
  auto takeAll = [&] {
    for (;;) {
      auto next = taker->takeNext(party.id);
      if (!next) {
        takeFailure = next.error().detail;
        return false;
      }
      if (next->kind != StoreBackend::Next::kEvent) return true;
      auto event = taker->event(next->event_id);
      if (event && event->has_value()) {
        for (const ObjectRow &o : (*event)->objects) taken.insert(o.id);
      }
    }
  };
  std::vector<std::vector<uint32_t>> made(kWriters);
  std::vector<std::string> failures(kWriters);
  {
    std::atomic<bool> writing{true};
    std::thread takerThread([&] {
      while (writing && takeAll()) {
      }
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
      threads.emplace_back([&, i] {
        PgStore &store = *stores[static_cast<size_t>(i)];
        for (int n = 0; n < kEach; ++n) {
          auto txn = store.transaction();
          if (!txn) {
            failures[static_cast<size_t>(i)] = txn.error().detail;
            return;
          }
          Wakes wakes;
          const std::string name = "w" + std::to_string(i) + "-" + std::to_string(n);
          auto id = store.createObject(name, std::nullopt, {}, wakes);
          Status committed = id ? (*txn)->commit() : Status(id.error());
          if (!committed) {
            failures[static_cast<size_t>(i)] = committed.error().detail;
            return;
          }
          made[static_cast<size_t>(i)].push_back(*id);
          store.wake(wakes);
        }
      });
    }
    for (std::thread &t : threads) t.join();
    writing = false;
    takerThread.join();
  }
  EXPECT_TRUE(takeAll());
  EXPECT_EQ("", takeFailure);
  std::set<uint32_t> all;
  for (int i = 0; i < kWriters; ++i) {
    EXPECT_EQ("", failures[static_cast<size_t>(i)]);
    EXPECT_TRUE(
        std::is_sorted(made[static_cast<size_t>(i)].begin(), made[static_cast<size_t>(i)].end()));
    all.insert(made[static_cast<size_t>(i)].begin(), made[static_cast<size_t>(i)].end());
  }
  EXPECT_EQ(static_cast<size_t>(kWriters * kEach), all.size());
  EXPECT_EQ(all, taken);
  auto ids = first->objectIds();
  ASSERT_TRUE(ids) << ids.error().detail;
  EXPECT_EQ(static_cast<size_t>(kWriters * kEach + 1), ids->size());
}

// Rows read together, in one statement where the file's store reads them one by one, come back
// as those would: objects in the order asked without the missing ones (also past the ids that
// one statement takes), a symbol's targets in their order.
TEST_F(PgStoreTest, RowsReadTogetherMatchRowsReadOneByOne) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  std::vector<uint32_t> made;
  uint32_t symbol = 0;
  int32_t map = 0;
  int32_t otherMap = 0;
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    Wakes wakes;
    for (int i = 0; i < 1010; ++i) {
      auto id = store->createObject("n" + std::to_string(i), std::nullopt, {}, wakes);
      ASSERT_TRUE(id) << id.error().detail;
      made.push_back(*id);
    }
    auto m = store->mapNamed("default");
    ASSERT_TRUE(m) << m.error().detail;
    map = m->id;
    auto second = store->mapNamed("second");
    ASSERT_TRUE(second) << second.error().detail;
    otherMap = second->id;
    auto s = store->createSymbol(m->root_submap, made[0], "Icon", "icon", 1, 3, 0, "app");
    ASSERT_TRUE(s) << s.error().detail;
    symbol = *s;
    const uint32_t targets[] = {made[7], made[2], made[5]};
    ASSERT_TRUE(store->setSymbolBehavior(symbol, OVW_BEHAVIOR_ACTION, "app", "act", targets));
    ASSERT_TRUE((*txn)->commit());
  }
  std::vector<uint32_t> asked(made.rbegin(), made.rend());
  asked.insert(asked.begin() + 999, 4000000000u);  // no such object, at the end of the first part
  auto together = store->objects(asked, map);
  ASSERT_TRUE(together) << together.error().detail;
  ASSERT_EQ(made.size(), together->size());
  for (size_t i = 0; i < made.size(); ++i) {
    ASSERT_EQ(made[made.size() - 1 - i], (*together)[i].id) << i;
  }
  auto single = store->object(made[3], map);
  ASSERT_TRUE(single && single->has_value());
  const ObjectRow &read = (*together)[made.size() - 4];
  EXPECT_EQ((*single)->hostname, read.hostname);
  EXPECT_EQ("n3", read.hostname.value_or(""));
  EXPECT_EQ((*single)->child_submap, read.child_submap);

  auto row = store->symbol(symbol);
  ASSERT_TRUE(row && row->has_value());
  EXPECT_EQ((std::vector<uint32_t>{made[7], made[2], made[5]}), (*row)->targets);
  auto listed = store->symbolsOfObject(map, made[0]);
  ASSERT_TRUE(listed && listed->size() == 1);
  EXPECT_EQ((*row)->targets, (*listed)[0].targets);
  // A symbol looked up on a map in one statement is what its row and its submap's say.
  const std::pair<uint32_t, int32_t> lookups[] = {{symbol, map}, {symbol, otherMap}, {9999, map}};
  for (const auto &[id, on] : lookups) {
    auto joined = store->symbolOnMap(id, on);
    auto composed = store->StoreBackend::symbolOnMap(id, on);
    ASSERT_TRUE(joined && composed);
    ASSERT_EQ(composed->has_value(), joined->has_value()) << id << " on " << on;
    if (joined->has_value()) {
      EXPECT_EQ((*row)->targets, (*joined)->targets);
    }
  }
  EXPECT_TRUE(store->symbolOnMap(symbol, map)->has_value());

  // An event's objects are written together too, more of them than one round trip carries.
  auto rows = store->objects(std::span<const uint32_t>(made).first(150), map);
  ASSERT_TRUE(rows && rows->size() == 150);
  int64_t event = 0;
  {
    auto txn = store->transaction();
    ASSERT_TRUE(txn);
    Wakes wakes;
    auto posted = store->postEvent(OVW_EVENT_OBJECTS_DELETED, 0, map, 0, *rows, wakes);
    ASSERT_TRUE(posted) << posted.error().detail;
    event = *posted;
    ASSERT_TRUE((*txn)->commit());
  }
  auto recorded = store->event(event);
  ASSERT_TRUE(recorded && recorded->has_value());
  ASSERT_EQ(150u, (*recorded)->objects.size());
  for (size_t i = 0; i < 150; ++i) {
    EXPECT_EQ(made[i], (*recorded)->objects[i].id);
    EXPECT_EQ("n" + std::to_string(i), (*recorded)->objects[i].hostname.value_or(""));
  }
}

TEST_F(PgStoreTest, CheckVerifiesTheIdentityAndBackupsAreTheServersJob) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  startAndCreate(*store);
  auto faults = store->check();
  ASSERT_TRUE(faults) << faults.error().detail;
  EXPECT_TRUE(faults->empty());

  std::string why;
  const std::string database = location_.substr(location_.rfind('/') + 1);
  ASSERT_TRUE(server().query("UPDATE ovw_identity SET version = 1", why, database)) << why;
  ASSERT_TRUE(server().query("SELECT setval(pg_get_serial_sequence('objects', 'id'), 1, false)",
                             why, database))
      << why;
  ASSERT_TRUE(server().query("INSERT INTO objects(id) VALUES (7)", why, database)) << why;
  faults = store->check();
  ASSERT_TRUE(faults) << faults.error().detail;
  ASSERT_EQ(2u, faults->size());
  EXPECT_NE(std::string::npos, (*faults)[0].find("schema version 1"));
  EXPECT_NE(std::string::npos, (*faults)[1].find("objects holds id 7"));

  Status backup = store->backup("/tmp/never-written.db");
  EXPECT_EQ(OVW_ERR_BAD_ARG, backup.error().code);
  EXPECT_NE(std::string::npos, backup.error().detail.find("pg_dump"));
  EXPECT_EQ(OVW_ERR_BAD_ARG, store->restore("/tmp/never-read.db").error().code);
}

}  // namespace
}  // namespace kestara::ovw
