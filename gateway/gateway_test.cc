// Tests of the gateway's request parsing that need no agent.
#include "gateway.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

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
