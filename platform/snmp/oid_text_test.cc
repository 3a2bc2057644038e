// Tests of the identifier helpers: filter texts and the v1 form of notifications.
#include "oid_text.h"

#include <gtest/gtest.h>

#include "OVsnmp.h"

namespace ovsnmp {
namespace {

TEST(ParseOid, AcceptsDottedTextWithOrWithoutLeadingDot) {
  EXPECT_EQ(parseOid(".1.3.6.1"), (Oid{1, 3, 6, 1}));
  EXPECT_EQ(parseOid("1.3.6.1"), (Oid{1, 3, 6, 1}));
  EXPECT_EQ(parseOid("  .1.3.4294967295 "), (Oid{1, 3, 4294967295u}));
  EXPECT_EQ(parseOid("7"), (Oid{7}));
}

TEST(ParseOid, RejectsMalformedText) {
  for (const char *bad :
       {"", ".", "..1", "1..3", "1.3.", "1.a.3", "1.4294967296", "-1.3", "1. 3", "1.3;2"}) {
    EXPECT_FALSE(parseOid(bad).has_value()) << bad;
  }
}

TEST(ParseOid, BoundsTheNumberOfSubIdentifiers) {
  std::string text = "1";
  for (size_t i = 1; i < kMaxOidLength; ++i) text += ".1";
  ASSERT_TRUE(parseOid(text).has_value());
  EXPECT_EQ(parseOid(text)->size(), kMaxOidLength);
  EXPECT_FALSE(parseOid(text + ".1").has_value());
}

TEST(ParseFilter, SplitsOnSemicolonsAndSkipsEmptyEntries) {
  auto filter = parseFilter(
      ".1.3.6.1.4.1.11.2.17.1.0.58785794;.1.3.6.1.4.1.11.2.17.1.0.40000016; ;"
      ".1.3.6.1.4.1.11.2.17.1.0.58982403;");
  ASSERT_TRUE(filter.has_value());
  ASSERT_EQ(filter->size(), 3u);
  EXPECT_EQ((*filter)[1], (Oid{1, 3, 6, 1, 4, 1, 11, 2, 17, 1, 0, 40000016}));
}

TEST(ParseFilter, RefusesABadEntryOrAnEmptyFilter) {
  EXPECT_FALSE(parseFilter(".1.3.6;.1.x").has_value());
  EXPECT_FALSE(parseFilter("").has_value());
  EXPECT_FALSE(parseFilter(" ; ;").has_value());
}

TEST(NotificationId, MapsEnterpriseSpecificAndGenericTraps) {
  const Oid enterprise{1, 3, 6, 1, 4, 1, 11, 2, 17, 1};
  EXPECT_EQ(notificationIdOfV1(enterprise, 6, 58785794),
            (Oid{1, 3, 6, 1, 4, 1, 11, 2, 17, 1, 0, 58785794}));
  // linkDown (generic 2) is snmpTraps.3 whatever the enterprise.
  EXPECT_EQ(notificationIdOfV1(enterprise, 2, 0), (Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 3}));
}

TEST(V1Form, SplitsEnterpriseZeroSpecific) {
  V1Form form = v1FormOf(Oid{1, 3, 6, 1, 4, 1, 11, 2, 17, 1, 0, 40000016}, {});
  EXPECT_EQ(form.enterprise, (Oid{1, 3, 6, 1, 4, 1, 11, 2, 17, 1}));
  EXPECT_EQ(form.generic, 6);
  EXPECT_EQ(form.specific, 40000016);
}

TEST(V1Form, KeepsThePrefixWhenThereIsNoZero) {
  V1Form form = v1FormOf(Oid{1, 3, 6, 1, 4, 1, 99, 5}, {});
  EXPECT_EQ(form.enterprise, (Oid{1, 3, 6, 1, 4, 1, 99}));
  EXPECT_EQ(form.generic, 6);
  EXPECT_EQ(form.specific, 5);
}

TEST(V1Form, MapsStandardTrapsToGenericTypes) {
  V1Form cold = v1FormOf(Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 1}, {});
  EXPECT_EQ(cold.generic, 0);
  EXPECT_EQ(cold.specific, 0);
  EXPECT_EQ(cold.enterprise, (Oid{1, 3, 6, 1, 6, 3, 1, 1, 5}));
  V1Form auth = v1FormOf(Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 5}, Oid{1, 3, 6, 1, 4, 1, 8});
  EXPECT_EQ(auth.generic, 4);
  EXPECT_EQ(auth.enterprise, (Oid{1, 3, 6, 1, 4, 1, 8}));
  // snmpTraps.7 is no standard trap.
  EXPECT_EQ(v1FormOf(Oid{1, 3, 6, 1, 6, 3, 1, 1, 5, 7}, {}).generic, 6);
}

TEST(V1Form, SurvivesDegenerateIdentifiers) {
  EXPECT_TRUE(v1FormOf(Oid{}, {}).enterprise.empty());
  V1Form one = v1FormOf(Oid{9}, {});
  EXPECT_TRUE(one.enterprise.empty());
  EXPECT_EQ(one.specific, 9);
  V1Form zero = v1FormOf(Oid{0, 9}, {});
  EXPECT_TRUE(zero.enterprise.empty());
}

TEST(OidCompare, OrdersLexicographicallyShorterPrefixFirst) {
  const OVsnmpOid a[] = {1, 3, 6, 1};
  const OVsnmpOid b[] = {1, 3, 6, 2};
  const OVsnmpOid big[] = {1, 3, 6, 4294967295u};
  EXPECT_EQ(OVsnmpOidCompare(a, 4, a, 4, 0), 0);
  EXPECT_LT(OVsnmpOidCompare(a, 4, b, 4, 0), 0);
  EXPECT_GT(OVsnmpOidCompare(b, 4, a, 4, 0), 0);
  EXPECT_LT(OVsnmpOidCompare(a, 3, a, 4, 0), 0);
  EXPECT_GT(OVsnmpOidCompare(a, 4, a, 3, 0), 0);
  EXPECT_LT(OVsnmpOidCompare(a, 4, big, 4, 0), 0);  // unsigned comparison
  EXPECT_EQ(OVsnmpOidCompare(nullptr, 0, a, 0, 0), 0);
  EXPECT_LT(OVsnmpOidCompare(nullptr, 0, a, 1, 0), 0);
  EXPECT_EQ(OVsnmpOidCompare(nullptr, 5, nullptr, 7, 0), 0);  // null is empty, never read
}

}  // namespace
}  // namespace ovsnmp
