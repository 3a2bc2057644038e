// pg_wake_test.cc - wake-ups through LISTEN/NOTIFY: prompt, never lost, told apart from a party
// that has gone, and back after the server was.
#include "pg_wake.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "postgres.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;
using kestara::ovw::WakeOutcome;
using kestara::ovw::pg::Connection;
using kestara::ovw::pg::probeParty;
using kestara::ovw::pg::wakeChannel;
using kestara::ovw::pg::WakeListener;
using kestara::ovw::pg::wakeParty;

class PgWakeTest : public kt::PostgresSuite {
 protected:
  void SetUp() override {
    kt::PostgresSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    auto c = Connection::open(server().uri());
    ASSERT_TRUE(c.ok()) << c.error().detail;
    poster_ = std::move(*c);
  }
  std::unique_ptr<WakeListener> listen() {
    auto l = WakeListener::create(server().uri());
    EXPECT_TRUE(l.ok()) << (l.ok() ? "" : l.error().detail);
    return l.ok() ? std::move(*l) : nullptr;
  }

  std::unique_ptr<Connection> poster_;
};

TEST_F(PgWakeTest, APartyIsWokenOnceAndThenSleeps) {
  auto party = listen();
  ASSERT_NE(nullptr, party);
  EXPECT_FALSE(party->wait(50ms));
  EXPECT_EQ(WakeOutcome::kWoken, wakeParty(*poster_, party->token()));
  EXPECT_EQ(WakeOutcome::kWoken, wakeParty(*poster_, party->token()));
  EXPECT_TRUE(party->wait(kt::scaled(5s)));
  ASSERT_TRUE(kt::eventually([&] {
    EXPECT_TRUE(party->drain().ok());
    return !party->wait(50ms);
  }));
  // Another party's wake-up is not this one's.
  auto other = listen();
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(WakeOutcome::kWoken, wakeParty(*poster_, other->token()));
  EXPECT_TRUE(other->wait(kt::scaled(5s)));
  EXPECT_FALSE(party->wait(100ms));
}

// A wake-up sent before the party sleeps is still there when it does.
TEST_F(PgWakeTest, AWakeUpBeforeTheSleepIsKept) {
  auto party = listen();
  ASSERT_NE(nullptr, party);
  ASSERT_EQ(WakeOutcome::kWoken, wakeParty(*poster_, party->token()));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(party->wait(0ms));
}

TEST_F(PgWakeTest, TokensMustBeWellFormed) {
  EXPECT_EQ("", wakeChannel("x'); NOTIFY everyone; --"));
  EXPECT_EQ("", wakeChannel("0123"));
  EXPECT_EQ(WakeOutcome::kFailed, wakeParty(*poster_, "x'); NOTIFY everyone; --"));
  EXPECT_EQ(WakeOutcome::kFailed, probeParty(*poster_, "ABCDEF"));
}

TEST_F(PgWakeTest, AnEndedPartyIsToldApartFromALiveOne) {
  auto party = listen();
  ASSERT_NE(nullptr, party);
  const std::string token = party->token();
  EXPECT_EQ(WakeOutcome::kWoken, probeParty(*poster_, token));
  EXPECT_EQ(WakeOutcome::kWoken, probeParty(*poster_, token));  // probing takes nothing away
  party.reset();
  // The server lets the lock go when it sees the connection end.
  EXPECT_TRUE(
      kt::eventually([&] { return probeParty(*poster_, token) == WakeOutcome::kNoReader; }));
}

TEST_F(PgWakeTest, AfterTheServerWasGoneThePartyReconnects) {
  auto party = listen();
  ASSERT_NE(nullptr, party);
  const std::string token = party->token();
  poster_.reset();
  ASSERT_TRUE(server().stop());
  // The lost connection wakes the sleeper, and a drain reports it.
  EXPECT_TRUE(kt::eventually([&] { return party->wait(kt::scaled(5s)) && !party->drain().ok(); }));
  std::string why;
  ASSERT_TRUE(server().restart(why)) << why;
  ASSERT_TRUE(party->reconnect().ok());
  EXPECT_EQ(token, party->token());
  auto poster = Connection::open(server().uri());
  ASSERT_TRUE(poster.ok());
  EXPECT_EQ(WakeOutcome::kWoken, probeParty(**poster, token));
  EXPECT_EQ(WakeOutcome::kWoken, wakeParty(**poster, token));
  EXPECT_TRUE(party->wait(kt::scaled(5s)));
}

}  // namespace
