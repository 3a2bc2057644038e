// Tests of Mossick's table of tracked nodes, its message buffer, and the handlers' paths that
// need no map. The paths with a map run against the real map in tests/mossick_test.cc.
#include "icons.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "in_process_database.h"
#include "log.h"
#include "process.h"
#include "test_database.h"

namespace {

class IconsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keep any database the library might touch inside the test's own folder.
    setenv("OVW_DATABASE", dir_.file("ovw.db").c_str(), 1);
    args_ = {"mossick", "-l", log_};
    for (std::string &a : args_) argv_.push_back(a.data());
    testing::internal::CaptureStdout();
    console_.log().readOptions(argv_);
    std::filesystem::remove(log_);  // without the line of equals signs
  }
  void TearDown() override { testing::internal::GetCapturedStdout(); }
  std::string logged() const { return kt::readFile(log_); }
  std::vector<OVwObjectId> table() const {
    auto t = console_.trackedObjects();
    return {t.begin(), t.end()};
  }

  kt::TempDir dir_;
  std::string log_ = dir_.file("mossick.log");
  std::vector<std::string> args_;  // the log file's name stays in them
  std::vector<char *> argv_;
  Console console_;
};

TEST_F(IconsTest, AddRefusesDuplicatesAndKeepsCount) {
  console_.addObject(7);
  console_.addObject(9);
  console_.addObject(7);
  EXPECT_EQ((std::vector<OVwObjectId>{7, 9}), table());
  EXPECT_TRUE(console_.hasObject(9));
  EXPECT_FALSE(console_.hasObject(8));
  EXPECT_EQ(" Object 1 added: 7\n Object 2 added: 9\n Object id 7 already on map - not added\n",
            logged());
}

TEST_F(IconsTest, RemovalMovesLastEntryIntoThePlace) {
  console_.removeObject(1);  // empty table: nothing
  console_.addObject(11);
  console_.addObject(12);
  console_.addObject(13);
  console_.removeObject(99);  // not tracked: nothing
  console_.removeObject(11);
  EXPECT_EQ((std::vector<OVwObjectId>{13, 12}), table());
  console_.removeObject(12);
  EXPECT_EQ((std::vector<OVwObjectId>{13}), table());
  EXPECT_EQ(
      " Object 1 added: 11\n Object 2 added: 12\n Object 3 added: 13\n"
      " Object removed: 11, 2 remaining\n Object removed: 12, 1 remaining\n",
      logged());
  // The freed places are used again.
  console_.addObject(11);
  EXPECT_EQ((std::vector<OVwObjectId>{13, 11}), table());
}

TEST_F(IconsTest, FullTableRefusesTheSixtyFifth) {
  for (OVwObjectId id = 1; id <= 65; ++id) console_.addObject(id);
  EXPECT_EQ(static_cast<size_t>(kMaxObjects), table().size());
  EXPECT_FALSE(console_.hasObject(65));
  EXPECT_TRUE(console_.hasObject(64));
  std::string text = logged();
  EXPECT_NE(std::string::npos, text.find(" Object 64 added: 64\nTOO MANY OBJECTS ON SUBMAP!!!\n"));
  // A full table still finds its duplicates first.
  console_.addObject(3);
  EXPECT_NE(std::string::npos, logged().find(" Object id 3 already on map - not added\n"));
  // Room made by a removal is taken again.
  console_.removeObject(1);
  console_.addObject(65);
  EXPECT_TRUE(console_.hasObject(65));
  EXPECT_EQ(64u, table()[0]);
}

TEST_F(IconsTest, LongMessagesAreCutToTheBufferAndKeepTheirNewline) {
  std::string name(200, 'n');
  std::string text = console_.logFormatted("  Icon already present; called from %s for %s\n",
                                           "SMmapOpenCB", name.c_str());
  ASSERT_EQ(kMsgBufSize - 1, text.size());
  EXPECT_EQ('\n', text.back());
  EXPECT_EQ("  Icon already present; called from SMmapOpenCB for nnnn", text.substr(0, 56));
  // A message of exactly 79 characters is not touched.
  std::string fits(78, 'f');
  EXPECT_EQ(fits + "\n", std::string(console_.logFormatted("%s\n", fits.c_str())));
  // One more, and the newline takes the last place.
  std::string over(79, 'o');
  EXPECT_EQ(std::string(78, 'o') + "\n", std::string(console_.logFormatted("%s\n", over.c_str())));
  EXPECT_EQ(text + fits + "\n" + std::string(78, 'o') + "\n", logged());
}

TEST_F(IconsTest, HandlersWithoutMapOrList) {
  console_.addObject(5);
  std::string before = logged();
  // No list: nothing, not even the delete line.
  EXPECT_EQ(0, Console::deleteObjectsCB(&console_, OVW_EVENT_OBJECTS_DELETED, nullptr, nullptr));
  EXPECT_EQ(0, Console::objectCreatedCB(&console_, OVW_EVENT_OBJECT_CREATED, nullptr, nullptr));
  EXPECT_EQ(0, Console::SMsubmapOpenCB(&console_, OVW_EVENT_SUBMAP_OPEN, nullptr, nullptr));
  // No map held: no icon work, and the table keeps its entries.
  console_.addAppIcon(5, "objectCreatedCB");
  console_.cleanupObjects();
  EXPECT_EQ(0u, console_.objectSubmapId(5));
  EXPECT_EQ((std::vector<OVwObjectId>{5}), table());
  EXPECT_EQ(before, logged());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("No object list provided\n"));
  testing::internal::CaptureStdout();

  // A delete event with an empty list: the call line only.
  OVwObjectList empty{0, nullptr};
  EXPECT_EQ(0, Console::deleteObjectsCB(&console_, OVW_EVENT_OBJECTS_DELETED, nullptr, &empty));
  EXPECT_EQ(before + "Callback for Delete Objects called\n", logged());

  // With an empty table a delete event says nothing at all.
  console_.clearObjects();
  OVwObjectInfo entry{5, 0, "five", "five", 1, 1, 0};
  OVwObjectList one{1, &entry};
  EXPECT_EQ(0, Console::deleteObjectsCB(&console_, OVW_EVENT_OBJECTS_DELETED, nullptr, &one));
  EXPECT_EQ(before + "Callback for Delete Objects called\n", logged());
}

// A delete event clears the flag of the tracked nodes it names, and of those only, and drops
// them from the table. (A node that the database tool deletes takes its flag with it: here the
// objects are still there to be read.)
TEST_F(IconsTest, DeleteEventClearsTheFlagOfTrackedNodesOnly) {
  kt::TestDatabase db;
  const OVwObjectId tracked = db.addQuietNode("tracked.test", "tracked");
  const OVwObjectId other = db.addQuietNode("other.test", "other");
  ASSERT_TRUE(db.setFlag(tracked, true));
  ASSERT_TRUE(db.setFlag(other, true));
  kt::InProcessDatabase here(db.env());
  ASSERT_TRUE(here.ok());
  console_.addObject(tracked);
  OVwObjectInfo named[] = {{other, 0, "other", "other.test", 1, 1, 0},
                           {tracked, 0, "tracked", "tracked.test", 1, 1, 0}};
  OVwObjectList list{2, named};
  EXPECT_EQ(0, Console::deleteObjectsCB(&console_, OVW_EVENT_OBJECTS_DELETED, nullptr, &list));
  EXPECT_EQ(false, here.flag(tracked));
  EXPECT_EQ(true, here.flag(other));
  EXPECT_TRUE(table().empty());
  const std::string id = std::to_string(tracked);
  EXPECT_EQ(" Object 1 added: " + id + "\nCallback for Delete Objects called\n" +
                "   removed KestaraDevice field for (oid " + id + ") tracked\n" +
                " Object removed: " + id + ", 0 remaining\n",
            logged());
}

TEST_F(IconsTest, MalformedListsAreNotRead) {
  console_.addObject(5);
  // A negative count, or entries missing, is an empty list.
  OVwObjectList negative{-3, nullptr};
  OVwObjectList missing{4, nullptr};
  EXPECT_EQ(0, Console::objectCreatedCB(&console_, OVW_EVENT_OBJECT_CREATED, nullptr, &negative));
  EXPECT_EQ(0, Console::objectCreatedCB(&console_, OVW_EVENT_OBJECT_CREATED, nullptr, &missing));
  EXPECT_EQ(0, Console::deleteObjectsCB(&console_, OVW_EVENT_OBJECTS_DELETED, nullptr, &missing));
  EXPECT_TRUE(console_.hasObject(5));
}

}  // namespace
