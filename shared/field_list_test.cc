// Tests of the field-value lists, built against a real object database and used in its queries.
#include "field_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <vector>

#include "test_database.h"

namespace {

struct ListDeleter {
  void operator()(OVwFieldBindList *list) const { freeFieldValueList(list); }
};
using ListPtr = std::unique_ptr<OVwFieldBindList, ListDeleter>;

struct IdsDeleter {
  void operator()(OVwObjectIdList *list) const { OVwDbFreeObjectIdList(list); }
};

class FieldListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("OVW_DATABASE", db_.path().c_str(), 1);
    ASSERT_EQ(0, OVwDbInit()) << OVwErrorMsg(OVwError());
  }
  void TearDown() override { OVwDbDone(); }

  std::vector<OVwObjectId> query(const OVwFieldBindList *list) {
    std::unique_ptr<OVwObjectIdList, IdsDeleter> ids(OVwDbListObjectsByFieldValues(list));
    if (!ids) return {};
    return std::vector<OVwObjectId>(ids->object_ids, ids->object_ids + ids->count);
  }

  kt::TestDatabase db_;
};

void expectTrueBinding(const OVwFieldBinding &binding, const char *name) {
  EXPECT_NE(0u, binding.field_id) << name;
  EXPECT_EQ(OVwDbFieldNameToFieldId(name), binding.field_id) << name;
  ASSERT_NE(nullptr, binding.field_val);
  EXPECT_EQ(0, binding.field_val->is_list);
  EXPECT_EQ(OVW_FIELD_BOOLEAN, binding.field_val->field_type);
  EXPECT_EQ(1, binding.field_val->value);
}

TEST_F(FieldListTest, BindsEachNamedFieldToTrue) {
  ListPtr two(buildFieldValueList(2, "isNode", "isSNMPSupported"));
  ASSERT_NE(nullptr, two);
  ASSERT_EQ(2, two->count);
  expectTrueBinding(two->fields[0], "isNode");
  expectTrueBinding(two->fields[1], "isSNMPSupported");

  ListPtr one(buildFieldValueList(1, "isKestaraDevice", nullptr));
  ASSERT_NE(nullptr, one);
  ASSERT_EQ(1, one->count);
  expectTrueBinding(one->fields[0], "isKestaraDevice");
}

TEST_F(FieldListTest, SecondNameOnlyWhenAskedForAndGiven) {
  ListPtr ignored(buildFieldValueList(1, "isNode", "isSNMPSupported"));
  ASSERT_NE(nullptr, ignored);
  EXPECT_EQ(1, ignored->count);
  // Two asked for but only one named: the list holds the one binding it can fill.
  ListPtr missing(buildFieldValueList(2, "isNode", nullptr));
  ASSERT_NE(nullptr, missing);
  EXPECT_EQ(1, missing->count);
  expectTrueBinding(missing->fields[0], "isNode");
}

TEST_F(FieldListTest, UnknownNamesAreNotCheckedAndBadCountsRefused) {
  ListPtr unknown(buildFieldValueList(1, "noSuchField", nullptr));
  ASSERT_NE(nullptr, unknown);
  EXPECT_EQ(0u, unknown->fields[0].field_id);
  EXPECT_EQ(nullptr, buildFieldValueList(0, "isNode", nullptr));
  EXPECT_EQ(nullptr, buildFieldValueList(3, "isNode", "isSNMPSupported"));
  EXPECT_EQ(nullptr, buildFieldValueList(-1, "isNode", nullptr));
  EXPECT_EQ(nullptr, buildFieldValueList(1, nullptr, nullptr));
  freeFieldValueList(nullptr);
}

TEST_F(FieldListTest, SelectsObjectsInQueries) {
  OVwObjectId snmpNode = db_.addNode("127.0.0.1:1", "snmp-node");
  OVwObjectId plainNode = db_.addNode("127.0.0.1:2", "plain-node", false);
  ASSERT_NE(0u, snmpNode);
  ASSERT_NE(0u, plainNode);
  ASSERT_TRUE(db_.setFlag(plainNode, true));

  ListPtr sweep(buildFieldValueList(2, "isNode", "isSNMPSupported"));
  EXPECT_EQ(std::vector<OVwObjectId>{snmpNode}, query(sweep.get()));
  ListPtr nodes(buildFieldValueList(1, "isNode", nullptr));
  EXPECT_EQ((std::vector<OVwObjectId>{snmpNode, plainNode}), query(nodes.get()));
  ListPtr flagged(buildFieldValueList(1, "isKestaraDevice", nullptr));
  EXPECT_EQ(std::vector<OVwObjectId>{plainNode}, query(flagged.get()));
}

}  // namespace
