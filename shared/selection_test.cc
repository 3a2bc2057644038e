// Tests of the map selection lookup against the real OVw library and a database that the `ovw`
// tool sets up. Each test runs on a host of its own name ("console") where the kernel allows
// it, so that the lookup's session is console:0.
#include "selection.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "OVw.h"
#include "PlatformFault.h"
#include "process.h"
#include "test_database.h"

namespace {

using namespace std::chrono_literals;

class SelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // This process's lookups use the database that the tool sets up.
    for (const auto &[name, value] : db_.env()) setenv(name.c_str(), value.c_str(), 1);
    KestaraFaultClear();
    if (setHostName("console")) {
      session_ = "console:0";
    } else {
      char name[65] = "";
      gethostname(name, sizeof name - 1);
      session_ = std::string(name) + ":0";
    }
  }
  void TearDown() override {
    KestaraFaultClear();
    OVwDone();
    OVwDbDone();
  }

  // A host name of this test process's own (a UTS namespace of its own); false when the
  // kernel doesn't allow it.
  static bool setHostName(const std::string &name) {
    static bool own = unshare(CLONE_NEWUTS) == 0;
    return own && sethostname(name.data(), name.size()) == 0;
  }

  // Runs the tool; returns its standard output without the last line end.
  std::string ovw(const std::vector<std::string> &args) { return db_.ovwOutput(args); }
  // fields registered, session started, map open.
  void console(bool fields = true) {
    if (fields) ovw({"-fields"});
    ovw({"start", "session", session_});
    ovw({"open", "map", "--session", session_});
  }
  uint32_t addNode(const std::string &host, bool flagged, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"add", "node", host, "--no-trap", "--session", session_};
    args.insert(args.end(), more.begin(), more.end());
    uint32_t id = static_cast<uint32_t>(std::stoul(ovw(args)));
    if (flagged) ovw({"set", "field", std::to_string(id), "isKestaraDevice", "true"});
    return id;
  }
  void select(std::vector<uint32_t> ids) {
    std::vector<std::string> args = {"select", "--session", session_};
    for (uint32_t id : ids) args.push_back(std::to_string(id));
    ovw(args);
  }

  // Attaches as another application (detaching the lookup first), gives `body` the open map,
  // and detaches again, so that the lookup attaches afresh.
  template <typename F>
  void withMap(F body) {
    OVwDone();
    ASSERT_EQ(0, _OVwInitSession(5, "Selection Test", session_.c_str())) << OVwErrorMsg(OVwError());
    OVwMapInfo *map = OVwGetMapInfo();
    ASSERT_NE(nullptr, map);
    body(map);
    OVwFreeMapInfo(map);
    OVwDone();
  }
  // An object without a name, with a symbol on the submap of `owner` (as the console map
  // application places its icon there); a node when `isNode`.
  uint32_t addIcon(uint32_t owner, bool isNode = false) {
    uint32_t id = 0;
    withMap([&](OVwMapInfo *map) {
      OVwObjectInfo *info = OVwGetObjectInfo(map, owner);
      ASSERT_NE(nullptr, info);
      OVwSubmapId submap = info->child_submap_id;
      OVwFreeObjectInfo(info);
      OVwFieldValue yes{0, OVW_FIELD_BOOLEAN, 1, 0};
      OVwFieldBinding binding{OVwDbFieldNameToFieldId("isNode"), &yes};
      OVwFieldBindList fields{1, &binding};
      id = OVwDbCreateObject(isNode ? &fields : nullptr);
      ASSERT_NE(0u, id);
      ASSERT_NE(0u,
                OVwCreateSymbol(map, submap, id, "Software:Varnis", "Varnis Console", 1, 3, 0, 2));
    });
    return id;
  }

  // One lookup: its text, with what it printed in out_.
  std::string lookup() {
    std::array<char, kSelectionTextSize> text{};
    testing::internal::CaptureStdout();
    getSelectionName(text);
    out_ = testing::internal::GetCapturedStdout();
    EXPECT_EQ('\0', text.back());
    return text.data();
  }

  kt::TestDatabase db_{/*defineField=*/false};  // the tests define the fields
  std::string session_;
  std::string out_;
};

TEST_F(SelectionTest, FlaggedNodeSelected) {
  console();
  uint32_t router = addNode("router7", true);
  addNode("switch3", true);
  select({router});
  EXPECT_EQ("router7", lookup());
  EXPECT_EQ("This application connected to a NEW session " + session_ + "\nHost router7 selected\n",
            out_);
  // Attached from now on; a changed selection is seen at the next lookup.
  select({router + 1});
  EXPECT_EQ("switch3", lookup());
  EXPECT_EQ(
      "This application already connected to session " + session_ + "\nHost switch3 selected\n",
      out_);
  EXPECT_EQ(session_, OVwSessionId());
}

TEST_F(SelectionTest, SelectionNameIsTheAnswerNotTheHostName) {
  console();
  uint32_t id = addNode("10.1.2.3", true, {"router7.example"});
  select({id});
  EXPECT_EQ("router7.example", lookup());
}

TEST_F(SelectionTest, UnflaggedNodeNamesItself) {
  console();
  uint32_t router = addNode("router7", false);
  select({router});
  EXPECT_EQ("failed: router7 not KestaraDevice", lookup());
  EXPECT_NE(std::string::npos, out_.find("Host failed: router7 not KestaraDevice selected\n"));
  // A flag set later is seen at the next lookup.
  ovw({"set", "field", std::to_string(router), "isKestaraDevice", "true"});
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, FlaggedOwnerWinsWhateverWasSelected) {
  console();
  uint32_t router = addNode("router7", true);
  uint32_t childNode = addIcon(router, /*isNode=*/true);
  select({childNode});
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, NeitherFlaggedNamesTheNodeOrTheOwner) {
  console();
  uint32_t router = addNode("router7", false);
  // Not a node: the text names the submap's owner.
  uint32_t icon = addIcon(router);
  select({icon});
  EXPECT_EQ("failed: router7 not KestaraDevice", lookup());
  // A node: the text names the selected object itself (which has no selection name).
  uint32_t childNode = addIcon(router, /*isNode=*/true);
  select({childNode});
  EXPECT_EQ("failed: object " + std::to_string(childNode) + " not KestaraDevice", lookup());
  // Not a node, on the root submap, which no object owns.
  uint32_t thing = addNode("printer", false, {"--not-node"});
  select({thing});
  EXPECT_EQ("failed: object 0 not KestaraDevice", lookup());
}

TEST_F(SelectionTest, SeveralSelectedFirstDecides) {
  console();
  uint32_t a = addNode("router7", true);
  uint32_t b = addNode("switch3", false);
  uint32_t c = addNode("hub9", true);
  select({b, a, c});
  EXPECT_EQ("failed: switch3 not KestaraDevice", lookup());
  select({c, b, a});
  EXPECT_EQ("hub9", lookup());
  EXPECT_NE(
      std::string::npos,
      out_.find("   2 more objects selected :\n\t1 switch3\n\t2 router7\nHost hub9 selected\n"))
      << out_;
}

TEST_F(SelectionTest, NoMapOpen) {
  ovw({"-fields"});
  ovw({"start", "session", session_});
  EXPECT_EQ(kNoDeviceSelected, lookup());
  EXPECT_NE(std::string::npos, out_.find("OVwGetMapInfo failed, error 4, ")) << out_;
  EXPECT_NE(std::string::npos, out_.find("No Maps open at this time\nNo objects selected\n"));
}

TEST_F(SelectionTest, NoSessionRunningThenRunning) {
  std::string text = lookup();
  EXPECT_EQ(0u, text.rfind("failed:OVwInitSession, error 1, ", 0)) << text;
  EXPECT_EQ('\n', text.back());
  EXPECT_LE(text.size(), kFailureTextSize - 1);
  // Nothing is printed for a connection failure: the text is the whole report.
  EXPECT_EQ("", out_);
  EXPECT_EQ(nullptr, OVwSessionId());
  // The next lookup tries again.
  console();
  select({addNode("router7", true)});
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, FieldNotRegistered) {
  console(/*fields=*/false);
  uint32_t router = addNode("router7", false);
  select({router});
  EXPECT_EQ(kFieldNotDefined, lookup());
  EXPECT_NE(std::string::npos,
            out_.find("Host failed: Kestara Field not defined in ovwdb selected"));
  // Nothing selected is told first.
  select({});
  EXPECT_EQ(kNoDeviceSelected, lookup());
  // Registered later: seen at the next lookup.
  ovw({"-fields"});
  select({router});
  EXPECT_EQ("failed: router7 not KestaraDevice", lookup());
}

TEST_F(SelectionTest, ObjectWithoutSymbols) {
  console();
  uint32_t lonely = 0;
  withMap([&](OVwMapInfo *) { lonely = OVwDbCreateObject(nullptr); });
  ASSERT_NE(0u, lonely);
  select({lonely});
  EXPECT_EQ(kNoDeviceSelected, lookup());
  EXPECT_NE(std::string::npos,
            out_.find("getSelection: no Symbols for this object\nNo objects selected\n"))
      << out_;
}

TEST_F(SelectionTest, FlaggedObjectWithoutName) {
  console();
  uint32_t router = addNode("router7", false);
  uint32_t icon = addIcon(router);
  ovw({"set", "field", std::to_string(icon), "isKestaraDevice", "true"});
  select({icon});
  EXPECT_EQ("failed: No selection name for object " + std::to_string(icon), lookup());
}

TEST_F(SelectionTest, NamesThatDoNotFitTheReply) {
  console();
  std::string longest(127, 'n');
  std::string tooLong(128, 'm');
  uint32_t fits = addNode("a", true, {longest});
  uint32_t cut = addNode("b", true, {tooLong});
  uint32_t failure = addNode("c", false, {std::string(200, 'f')});
  select({fits});
  EXPECT_EQ(longest, lookup());
  // A cut name would name another node.
  select({cut});
  EXPECT_EQ(kNameTooLong, lookup());
  // A failure text is cut to the reply's 127 characters.
  select({failure});
  EXPECT_EQ("failed: " + std::string(119, 'f'), lookup());
}

// Failures of single library calls, made by the fault seam.
TEST_F(SelectionTest, SymbolInfoCannotBeRead) {
  console();
  uint32_t icon = addIcon(addNode("router7", true));
  select({icon});
  ASSERT_EQ(0, KestaraFaultAdd("OVwGetSymbolInfo", 1, OVW_ERR_INJECTED, 0));
  EXPECT_EQ(kNoSymbolInfo, lookup());
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, SubmapInfoCannotBeRead) {
  console();
  uint32_t icon = addIcon(addNode("router7", true));
  select({icon});
  ASSERT_EQ(0, KestaraFaultAdd("OVwGetSubmapInfo", 1, OVW_ERR_INJECTED, 0));
  EXPECT_EQ(kNoSubmapInfo, lookup());
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, SelectionCannotBeRead) {
  console();
  select({addNode("router7", true)});
  ASSERT_EQ(0, KestaraFaultAdd("OVwGetSelections", 1, OVW_ERR_INJECTED, 0));
  EXPECT_EQ(kNoDeviceSelected, lookup());
  EXPECT_NE(std::string::npos, out_.find("OVwGetSelections failed, error 9, ")) << out_;
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, SymbolsCannotBeRead) {
  console();
  select({addIcon(addNode("router7", true))});
  ASSERT_EQ(0, KestaraFaultAdd("OVwGetSymbolsByObject", 1, OVW_ERR_INJECTED, 0));
  EXPECT_EQ(kNoDeviceSelected, lookup());
  EXPECT_NE(std::string::npos, out_.find("getSelection: Cannot getSymbolByObject ")) << out_;
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, FlagCannotBeReadIsNotSet) {
  console();
  uint32_t router = addNode("router7", true);
  select({router});
  // The flag read fails for the selected object and for its owner (the root: no object).
  ASSERT_EQ(0, KestaraFaultAdd("OVwDbGetFieldBooleanValue", 1, OVW_ERR_INJECTED, 0));
  EXPECT_EQ("failed: router7 not KestaraDevice", lookup());
}

TEST_F(SelectionTest, HostNameTooLongFailsEvenWhenAttached) {
  if (!setHostName("console")) GTEST_SKIP() << "no UTS namespace here";
  console();
  select({addNode("router7", true)});
  EXPECT_EQ("router7", lookup());
  ASSERT_TRUE(setHostName(std::string(50, 'h')));
  EXPECT_EQ(kGethostnameFailed, lookup());
  EXPECT_EQ("", out_);
  ASSERT_TRUE(setHostName("console"));
  EXPECT_EQ("router7", lookup());
}

TEST_F(SelectionTest, LongestHostNameMakesTheSessionName) {
  std::string host(49, 'l');
  if (!setHostName(host)) GTEST_SKIP() << "no UTS namespace here";
  std::array<char, kSessionNameSize> name{};
  ASSERT_TRUE(makeSessionName(name));
  EXPECT_EQ(host + ":0", name.data());
  session_ = host + ":0";
  // The library's message names the missing session: the text is cut to 79 characters, and
  // keeps its line end.
  std::string text = lookup();
  EXPECT_EQ(0u, text.rfind("failed:OVwInitSession, error 1, ", 0)) << text;
  EXPECT_EQ(kFailureTextSize - 1, text.size()) << text;
  EXPECT_EQ('\n', text.back());
  console();
  select({addNode("router7", true)});
  EXPECT_EQ("router7", lookup());
  EXPECT_NE(std::string::npos, out_.find("connected to a NEW session " + host + ":0\n"));

  ASSERT_TRUE(setHostName(std::string(50, 'l')));
  EXPECT_FALSE(makeSessionName(name));
  ASSERT_TRUE(setHostName(std::string(64, 'l')));
  EXPECT_FALSE(makeSessionName(name));
}

}  // namespace
