// Tests of the fault-injection seam: counting, "once" and "from then on" modes.
#include <gtest/gtest.h>

#include "PlatformFault.h"

TEST(FaultSeam, FailsOnlyTheNthCallOnce) {
  KestaraFaultClear();
  ASSERT_EQ(0, KestaraFaultAdd("OVwCreateSymbol", 2, 9, 0));
  EXPECT_EQ(0, KestaraFaultCheck("OVwCreateSymbol"));
  EXPECT_EQ(9, KestaraFaultCheck("OVwCreateSymbol"));
  EXPECT_EQ(0, KestaraFaultCheck("OVwCreateSymbol"));
  EXPECT_EQ(0, KestaraFaultCheck("OVwDeleteSymbol"));
}

TEST(FaultSeam, FromThenOnKeepsFailing) {
  KestaraFaultClear();
  ASSERT_EQ(0, KestaraFaultAdd("OVsnmpBlockingSend", 1, 6, 1));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(6, KestaraFaultCheck("OVsnmpBlockingSend"));
  KestaraFaultClear();
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpBlockingSend"));
}

TEST(FaultSeam, RejectsBadRules) {
  KestaraFaultClear();
  EXPECT_EQ(-1, KestaraFaultAdd(nullptr, 1, 1, 0));
  EXPECT_EQ(-1, KestaraFaultAdd("x", 0, 1, 0));
  EXPECT_EQ(0, KestaraFaultCheck(nullptr));
}
