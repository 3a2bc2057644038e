// Tests of the gateway's request parsing, session table and agent policy that need no agent.
#include "gateway.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "agent_policy.h"
#include "sessions.h"

namespace {

TEST(ParseUnsigned, ReadsLikePercentU) {
  OVsnmpSession s = 7;
  EXPECT_TRUE(parseUnsigned("42", s));
  EXPECT_EQ(42u, s);
  EXPECT_TRUE(parseUnsigned("  13abc", s));
  EXPECT_EQ(13u, s);
  EXPECT_TRUE(parseUnsigned("-1", s));
  EXPECT_EQ(4294967295u, s);
  EXPECT_TRUE(parseUnsigned("4294967296", s));  // wraps
  EXPECT_EQ(0u, s);
}

TEST(ParseUnsigned, NoDigitsKeepsTheOldValue) {
  OVsnmpSession s = 7;
  EXPECT_FALSE(parseUnsigned("", s));
  EXPECT_FALSE(parseUnsigned("abc", s));
  EXPECT_FALSE(parseUnsigned("%n%s", s));
  EXPECT_FALSE(parseUnsigned("-", s));
  EXPECT_EQ(7u, s);
}

TEST(ParseIdentifier, DottedDecimal) {
  std::array<OVsnmpOid, 50> oid{};
  ASSERT_EQ(9u, parseIdentifier("1.3.6.1.2.1.1.5.0", oid));
  EXPECT_EQ(1u, oid[0]);
  EXPECT_EQ(5u, oid[7]);
  EXPECT_EQ(0u, oid[8]);
}

TEST(ParseIdentifier, ComponentsWithoutDigitsTakeASlot) {
  std::array<OVsnmpOid, 50> oid;
  oid.fill(99);
  ASSERT_EQ(3u, parseIdentifier(".1.3", oid));  // leading dot
  EXPECT_EQ(0u, oid[0]);
  EXPECT_EQ(1u, oid[1]);
  ASSERT_EQ(3u, parseIdentifier("1..3", oid));
  ASSERT_EQ(1u, parseIdentifier("1.", oid));
  EXPECT_EQ(0u, parseIdentifier("", oid));
  ASSERT_EQ(1u, parseIdentifier("-1", oid));
  EXPECT_EQ(4294967295u, oid[0]);
}

TEST(ParseIdentifier, MoreComponentsThanFitAreRefused) {
  std::array<OVsnmpOid, 50> oid{};
  std::string fifty, fifty_one;
  for (int i = 0; i < 50; ++i) fifty += (i ? ".1" : "1");
  fifty_one = fifty + ".1";
  EXPECT_EQ(50u, parseIdentifier(fifty, oid));
  EXPECT_EQ(51u, parseIdentifier(fifty_one, oid));
}

}  // namespace

// --- Sessions ----------------------------------------------------------------------------------

in_addr address(const char *text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

TEST(SessionTable, EachAddressHoldsOnlyItsOwnAndOnlySoMany) {
  SessionLimits limits;
  limits.perAddress = 2;
  limits.total = 3;
  SessionTable table(limits);
  auto t = SessionTable::Clock::now();
  std::optional<SessionTable::Entry> reclaimed;
  const in_addr a = address("192.0.2.1"), b = address("192.0.2.2");
  ASSERT_EQ(SessionTable::Admit::kYes, table.admit(a, t, reclaimed));
  table.add(1, a, t);
  table.add(2, a, t);
  EXPECT_EQ(SessionTable::Admit::kAddressFull, table.admit(a, t, reclaimed));
  EXPECT_TRUE(table.use(1, a, t));
  EXPECT_FALSE(table.use(1, b, t));   // not b's
  EXPECT_FALSE(table.use(99, a, t));  // not open
  table.add(3, b, t);
  // Full, and nobody idle long enough to give up a session.
  EXPECT_EQ(SessionTable::Admit::kTableFull,
            table.admit(b, t + std::chrono::seconds(5), reclaimed));
  EXPECT_FALSE(reclaimed);
  // Later the least recently used session makes room.
  EXPECT_TRUE(table.use(1, a, t + std::chrono::seconds(20)));
  EXPECT_TRUE(table.use(3, b, t + std::chrono::seconds(20)));
  ASSERT_EQ(SessionTable::Admit::kYes, table.admit(b, t + std::chrono::seconds(31), reclaimed));
  ASSERT_TRUE(reclaimed);
  EXPECT_EQ(2u, reclaimed->handle);
  EXPECT_EQ(2u, table.size());
  table.remove(1);
  EXPECT_EQ(0u, table.countOf(a));
}

TEST(SessionTable, IdleSessionsExpireInTime) {
  SessionLimits limits;
  limits.idle = std::chrono::seconds(10);
  SessionTable table(limits);
  auto t = SessionTable::Clock::now();
  EXPECT_FALSE(table.nextExpiry());
  table.add(7, address("192.0.2.1"), t);
  table.add(8, address("192.0.2.1"), t + std::chrono::seconds(4));
  EXPECT_EQ(t + std::chrono::seconds(10), table.nextExpiry());
  EXPECT_TRUE(table.expire(t + std::chrono::seconds(9)).empty());
  auto expired = table.expire(t + std::chrono::seconds(10));
  ASSERT_EQ(1u, expired.size());
  EXPECT_EQ(7u, expired[0].handle);
  // Use starts the idle time again.
  EXPECT_TRUE(table.use(8, address("192.0.2.1"), t + std::chrono::seconds(12)));
  EXPECT_TRUE(table.expire(t + std::chrono::seconds(21)).empty());
  EXPECT_EQ(t + std::chrono::seconds(22), table.nextExpiry());
  EXPECT_EQ(1u, table.expire(t + std::chrono::seconds(22)).size());
  EXPECT_FALSE(table.nextExpiry());
  // A session added after a look through the table is due at its own time.
  table.add(9, address("192.0.2.2"), t + std::chrono::seconds(30));
  table.add(10, address("192.0.2.2"), t + std::chrono::seconds(31));
  table.remove(9);
  EXPECT_TRUE(table.expire(t + std::chrono::seconds(40)).empty());
  EXPECT_EQ(t + std::chrono::seconds(41), table.nextExpiry());
  EXPECT_EQ(1u, table.expire(t + std::chrono::seconds(41)).size());
}

// --- The agents sessions may be opened to ---------------------------------------------------

TEST(AgentNames, SplitLikeNetSnmpTakesThem) {
  struct Case {
    const char *name;
    const char *host;  // nullptr: refused
    int port;          // 0: none given
  };
  const Case cases[] = {
      {"router7", "router7", 0},
      {"router7:1161", "router7", 1161},
      {"udp:10.0.0.7:161", "10.0.0.7", 161},
      {"UDP:10.0.0.7", "10.0.0.7", 0},
      {"udp6:[2001:db8::1]:161", "2001:db8::1", 161},
      {"[::1]", "::1", 0},
      {"2001:db8::7", "2001:db8::7", 0},
      {"tcp:10.0.0.7:161", nullptr, 0},
      {"unix:/tmp/socket", nullptr, 0},
      {"router7:0", nullptr, 0},
      {"router7:65536", nullptr, 0},
      {"router7:x", nullptr, 0},
      {"[::1", nullptr, 0},
      {"[::1]x", nullptr, 0},
      {"", nullptr, 0},
      {":161", nullptr, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto agent = splitAgentName(c.name);
    if (c.host == nullptr) {
      EXPECT_FALSE(agent);
      continue;
    }
    ASSERT_TRUE(agent);
    EXPECT_EQ(c.host, agent->host);
    EXPECT_EQ(c.port == 0 ? std::optional<uint16_t>() : std::optional<uint16_t>(c.port),
              agent->port);
  }
}

TEST(AgentPolicy, OperatorNetworks) {
  AgentPolicy policy;
  std::string bad;
  EXPECT_FALSE(policy.addNetworks("10.1.0.0/16, 10.9.9.9/33", bad));
  EXPECT_EQ("10.9.9.9/33", bad);
  ASSERT_TRUE(policy.addNetworks("192.0.2.0/25 2001:db8::/32", bad));
  EXPECT_EQ(AgentVerdict::kNetwork, policy.check("10.1.200.3"));
  EXPECT_EQ(AgentVerdict::kNetwork, policy.check("udp:192.0.2.127:1161"));
  EXPECT_EQ(AgentVerdict::kNetwork, policy.check("[2001:db8:ff::1]:161"));
  EXPECT_EQ(AgentVerdict::kNetwork, policy.check("::ffff:192.0.2.5"));  // the same IPv4 host
  AgentPolicy any;
  ASSERT_TRUE(any.addNetworks("any", bad));
  EXPECT_EQ(AgentVerdict::kNetwork, any.check("198.51.100.77:9"));
  EXPECT_FALSE(any.addNetworks("10.0.0.0/x", bad));
  EXPECT_FALSE(any.addNetworks("host.example", bad));
}
