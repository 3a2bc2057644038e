// write_group_test.cc - writes grouped into one transaction: seen by others only together, at
// the end, and never half of them.
#include <gtest/gtest.h>

#include <string>

#include "OVw.h"
#include "PlatformFault.h"
#include "ovw_test_util.h"
#include "store.h"

namespace {

using kestara::ovw::Db;
using kestara::ovw::Txn;
using ovwtest::OVwDbTest;

// Two nodes and the registered fields, on the back end of `Base`.
template <typename Base>
class WriteGroupFixture : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    if (this->IsSkipped() || this->HasFatalFailure()) return;
    this->ok({"-fields"});
    a_ = this->addNode({"alpha"});
    b_ = this->addNode({"beta"});
    ASSERT_EQ(0, OVwDbInit());
    device_ = OVwDbFieldNameToFieldId("isKestaraDevice");
    ASSERT_NE(0u, device_);
  }

  // The flag as another process reads it.
  std::string seenByOthers(uint32_t object) {
    return this->ok({"get", "field", std::to_string(object), "isKestaraDevice"});
  }

  uint32_t a_ = 0, b_ = 0;
  OVwFieldId device_ = 0;
};

using WriteGroupTest = WriteGroupFixture<ovwtest::OVwBackendTest>;
using SqliteWriteGroupTest = WriteGroupFixture<OVwDbTest>;

TEST_P(WriteGroupTest, OthersSeeTheGroupsWritesTogetherAtItsEnd) {
  EXPECT_EQ(-1, OVwDbEndWriteGroup());
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  ASSERT_EQ(0, OVwDbBeginWriteGroup());
  EXPECT_EQ(-1, OVwDbBeginWriteGroup());  // groups don't nest
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(a_, device_, 1));
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(b_, device_, 1));
  EXPECT_EQ(-1, OVwDbSetFieldBooleanValue(9999, device_, 1));  // a failed write: only its own
  EXPECT_EQ(1, OVwDbGetFieldBooleanValue(a_, device_));        // the group reads its own writes
  EXPECT_EQ("false\n", seenByOthers(a_));
  EXPECT_EQ(0, OVwDbEndWriteGroup());
  EXPECT_EQ("true\n", seenByOthers(a_));
  EXPECT_EQ("true\n", seenByOthers(b_));
  // Outside a group every write commits by itself again.
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(a_, device_, 0));
  EXPECT_EQ("false\n", seenByOthers(a_));
}

TEST_P(WriteGroupTest, AFailedEndCommitsNothingOfTheGroup) {
  ASSERT_EQ(0, KestaraFaultAdd("OVwDbEndWriteGroup", 1, OVW_ERR_DB, 0));
  ASSERT_EQ(0, OVwDbBeginWriteGroup());
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(a_, device_, 1));
  EXPECT_EQ(-1, OVwDbEndWriteGroup());
  EXPECT_EQ(OVW_ERR_DB, OVwError());
  EXPECT_EQ(0, OVwDbGetFieldBooleanValue(a_, device_));
  EXPECT_EQ("false\n", seenByOthers(a_));
  // The group is over: the next one starts afresh.
  ASSERT_EQ(0, OVwDbBeginWriteGroup());
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(b_, device_, 1));
  EXPECT_EQ(0, OVwDbEndWriteGroup());
  EXPECT_EQ("true\n", seenByOthers(b_));
}

// SQLite rolls a whole transaction back on some failures (a full disk, an I/O error): the
// group's earlier writes are gone, and its end must say so rather than report success.
TEST_F(SqliteWriteGroupTest, AGroupRolledBackHalfWayIsReportedAsFailed) {
  OVwDbDone();
  auto store = kestara::ovw::Store::open(db_path_);
  ASSERT_TRUE(store) << store.error().detail;
  Db &db = (*store)->db();
  ASSERT_TRUE(db.beginGroup().ok());
  {
    auto txn = Txn::begin(db);
    ASSERT_TRUE(txn);
    const std::string lost =
        "UPDATE objects SET hostname = 'lost' WHERE id = " + std::to_string(a_);
    ASSERT_TRUE(db.exec(lost.c_str()).ok());
    ASSERT_TRUE(txn->commit().ok());
  }
  ASSERT_TRUE(db.exec("ROLLBACK").ok());  // as SQLite does after such a failure
  {
    auto txn = Txn::begin(db);  // opens the group's transaction again
    ASSERT_TRUE(txn);
    const std::string kept =
        "UPDATE objects SET hostname = 'kept' WHERE id = " + std::to_string(b_);
    ASSERT_TRUE(db.exec(kept.c_str()).ok());
    ASSERT_TRUE(txn->commit().ok());
  }
  EXPECT_FALSE(db.endGroup().ok());
  EXPECT_FALSE(db.inGroup());
  ASSERT_EQ(0, OVwDbInit());
  EXPECT_STREQ("alpha", OVwDbObjectIdToHostname(a_));
  EXPECT_STREQ("kept", OVwDbObjectIdToHostname(b_));
}

OVW_TESTS_ON_EVERY_BACKEND(WriteGroupTest);

}  // namespace
