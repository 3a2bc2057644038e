// Tests of the fault-injection seam: counting, "once" and "from then on" modes, the rules for
// every operation and the report of calls.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PlatformFault.h"
#include "process.h"

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

// With nothing armed a check only counts; a rule added then, or a report started, takes
// effect from the next call.
TEST(FaultSeam, IdleChecksCountAndRulesAddedLaterApply) {
  KestaraFaultClear();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0, KestaraFaultCheck("OVsnmpSendAsync"));
  EXPECT_EQ(3, KestaraFaultCalls());
  ASSERT_EQ(0, KestaraFaultAdd("OVsnmpSendAsync", 1, 7, 0));
  EXPECT_EQ(7, KestaraFaultCheck("OVsnmpSendAsync"));
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpSendAsync"));
  EXPECT_EQ(5, KestaraFaultCalls());
  KestaraFaultClear();
  ASSERT_EQ(0, KestaraFaultAdd("*", 2, 4, 0));
  EXPECT_EQ(0, KestaraFaultCheck("a"));
  EXPECT_EQ(4, KestaraFaultCheck("b"));
  KestaraFaultClear();
  EXPECT_EQ(0, KestaraFaultCheck("b"));
}

TEST(FaultSeam, RejectsBadRules) {
  KestaraFaultClear();
  EXPECT_EQ(-1, KestaraFaultAdd(nullptr, 1, 1, 0));
  EXPECT_EQ(-1, KestaraFaultAdd("x", 0, 1, 0));
  EXPECT_EQ(0, KestaraFaultCheck(nullptr));
}

// "*" counts every call together, whatever its operation, beside the named rules' own counts.
TEST(FaultSeam, EveryOperationFailsTheNthCallOfAll) {
  KestaraFaultClear();
  ASSERT_EQ(0, KestaraFaultAdd("*", 3, 5, 0));
  ASSERT_EQ(0, KestaraFaultAdd("OVwGetMapInfo", 2, 8, 0));
  EXPECT_EQ(0, KestaraFaultCheck("OVwGetMapInfo"));
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpOpen"));
  EXPECT_EQ(5, KestaraFaultCheck("OVsnmpClose"));
  EXPECT_EQ(8, KestaraFaultCheck("OVwGetMapInfo"));
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpClose"));
  EXPECT_EQ(0, KestaraFaultCheck(nullptr));  // not a call
  EXPECT_EQ(5, KestaraFaultCalls());
}

TEST(FaultSeam, EveryOperationFromThenOn) {
  KestaraFaultClear();
  ASSERT_EQ(0, KestaraFaultAdd("*", 2, 7, 1));
  EXPECT_EQ(0, KestaraFaultCheck("OVwDbInit"));
  for (const char *name : {"OVsnmpOpen", "OVwDbInit", "OVwGetMessage", "OVsnmpRead"}) {
    EXPECT_EQ(7, KestaraFaultCheck(name)) << name;
  }
  KestaraFaultClear();
  EXPECT_EQ(0, KestaraFaultCalls());
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpOpen"));
}

// The report names every operation once, in the order of first calls, with the position of its
// first call and its count; it is up to date after each call and stays as it was once stopped.
TEST(FaultSeam, ReportsTheCallsAfterEachCall) {
  KestaraFaultClear();
  (void)KestaraFaultCheck("before");  // the report's counts start with it
  kt::TempDir dir;
  const std::string path = dir.file("calls");
  ASSERT_EQ(0, KestaraFaultReport(path.c_str()));
  EXPECT_EQ("calls 0\n", kt::readFile(path));
  EXPECT_EQ(0, KestaraFaultCalls());

  ASSERT_EQ(0, KestaraFaultAdd("*", 2, 4, 0));
  EXPECT_EQ(0, KestaraFaultCheck("OVwDbInit"));
  EXPECT_EQ("calls 1\nOVwDbInit 1 1\n", kt::readFile(path));
  EXPECT_EQ(4, KestaraFaultCheck("OVsnmpOpen"));  // failed calls count as calls
  EXPECT_EQ(0, KestaraFaultCheck("OVwDbInit"));
  EXPECT_EQ(0, KestaraFaultCheck(nullptr));
  EXPECT_EQ("calls 3\nOVwDbInit 1 2\nOVsnmpOpen 2 1\n", kt::readFile(path));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  ASSERT_EQ(0, KestaraFaultReport(nullptr));
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpClose"));
  EXPECT_EQ("calls 3\nOVwDbInit 1 2\nOVsnmpOpen 2 1\n", kt::readFile(path));

  // Clear stops it as well.
  ASSERT_EQ(0, KestaraFaultReport(path.c_str()));
  KestaraFaultClear();
  EXPECT_EQ(0, KestaraFaultCheck("OVsnmpClose"));
  EXPECT_EQ("calls 0\n", kt::readFile(path));
}

TEST(FaultSeam, ReportThatCannotBeWrittenIsOff) {
  KestaraFaultClear();
  kt::TempDir dir;
  const std::string path = dir.file("missing-folder/calls");
  EXPECT_EQ(-1, KestaraFaultReport(path.c_str()));
  EXPECT_EQ(0, KestaraFaultCheck("OVwDbInit"));
  EXPECT_EQ(1, KestaraFaultCalls());
  EXPECT_FALSE(std::filesystem::exists(path));
}
