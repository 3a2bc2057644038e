// System tests of the console map application: the real mossick joins a map session that the
// `ovw` tool plays, real snmpd agents play the nodes, and the icons are read back with
// `ovw list`.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OVw.h"
#include "peers.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;

const std::string kEquals = std::string(49, '=') + "\n";
const std::string kDone = "================OVwDone called==================\n";
const std::string kApp = "Varnis Console Application";

// A symbol as `ovw list` shows it, with the object that owns its submap.
struct Symbol {
  uint32_t id = 0;
  uint32_t object = 0;
  uint32_t owner = 0;  // the object whose submap holds the symbol, 0 for the root
  std::string type;
  std::string label;
  std::string application;
  std::string action;  // empty when the symbol has no action
  std::vector<uint32_t> targets;
};

struct Listing {
  std::vector<Symbol> symbols;
  std::vector<uint32_t> objects;
  std::string attachments;  // the "attached:" lines

  // The symbols that this application placed on the submap of `node`.
  std::vector<Symbol> iconsOf(uint32_t node) const {
    std::vector<Symbol> out;
    for (const Symbol &s : symbols) {
      if (s.owner == node && s.application == kApp) out.push_back(s);
    }
    return out;
  }
  size_t iconCount() const {
    return static_cast<size_t>(std::count_if(
        symbols.begin(), symbols.end(), [](const Symbol &s) { return s.application == kApp; }));
  }
};

// The text between the quote at `at` and the next quote; `at` moves past the closing one.
std::string quoted(const std::string &line, size_t &at) {
  size_t open = line.find('"', at);
  size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  if (close == std::string::npos) {
    at = line.size();
    return "";
  }
  at = close + 1;
  return line.substr(open + 1, close - open - 1);
}

// "      symbol ID object OBJ TYPE "LABEL"[ by "APP"][, action "ACTION"|- on T...][, explodes]"
Symbol parseSymbol(const std::string &line, uint32_t owner) {
  Symbol s;
  s.owner = owner;
  std::istringstream words(line);
  std::string word;
  words >> word >> s.id >> word >> s.object >> s.type;
  size_t at = line.find(" \"");
  s.label = quoted(line, at);
  if (line.compare(at, 5, " by \"") == 0) s.application = quoted(line, at);
  if (line.compare(at, 9, ", action ") == 0) {
    at += 9;
    if (line.compare(at, 1, "\"") == 0) s.action = quoted(line, at);
    size_t on = line.find(" on", at);
    if (on != std::string::npos) {
      std::istringstream targets(line.substr(on + 3));
      for (uint32_t t; targets >> t;) s.targets.push_back(t);
    }
  }
  return s;
}

Listing parseListing(const std::string &text) {
  Listing listing;
  std::istringstream in(text);
  std::string line, section;
  uint32_t owner = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != ' ') {
      section = line;
      continue;
    }
    if (section == "Maps:" && line.starts_with("    submap ")) {
      size_t of = line.rfind(" of object ");
      owner = of == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(line.substr(of + 11)));
    } else if (section == "Maps:" && line.starts_with("      symbol ")) {
      listing.symbols.push_back(parseSymbol(line, owner));
    } else if (section == "Objects:" && line.size() > 2 && std::isdigit(line[2]) != 0) {
      listing.objects.push_back(static_cast<uint32_t>(std::stoul(line.substr(2))));
    } else if (section == "Sessions:" && line.find("attached:") != std::string::npos) {
      listing.attachments += line + "\n";
    }
  }
  return listing;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

size_t countOf(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

// A map session with its database, played by `ovw`, and the mossick beside it.
class Station : public kt::Station {
 public:
  explicit Station(std::chrono::milliseconds snmpTimeout = 300ms, bool defineFields = true)
      : kt::Station({.timeout = snmpTimeout, .defineField = defineFields}) {}

  // The test's folder, for log files.
  const kt::TempDir &dir() const { return dir_; }

  // Runs the tool; a failure fails the test.
  std::string ovw(const std::vector<std::string> &args) {
    kt::RunResult r = ovwRun(args);
    EXPECT_EQ(0, r.status) << args[0] << ": " << r.err;
    return r.out;
  }
  kt::RunResult ovwRun(const std::vector<std::string> &args) { return db().ovw(args); }

  void startSessionWithMap() {
    ovw({"start", "session"});
    ovw({"open", "map"});
  }

  // Adds an SNMP node (no trap) and returns its id.
  uint32_t addNode(const std::string &host, const std::string &selection = "",
                   std::vector<std::string> flags = {}) {
    std::vector<std::string> args = {"add", "node", host};
    if (!selection.empty()) args.push_back(selection);
    args.push_back("--no-trap");
    args.insert(args.end(), flags.begin(), flags.end());
    std::string out = ovw(args);
    return out.empty() ? 0 : static_cast<uint32_t>(std::stoul(out));
  }
  // Adds `count` flagged nodes, node-0.test and on; their ids.
  std::vector<uint32_t> addFlaggedNodes(int count) {
    std::vector<uint32_t> nodes;
    for (int i = 0; i < count; ++i) {
      nodes.push_back(addNode("node-" + std::to_string(i) + ".test"));
      flag(nodes.back());
    }
    return nodes;
  }
  void flag(uint32_t node, bool value = true) {
    ovw({"set", "field", std::to_string(node), "isKestaraDevice", value ? "true" : "false"});
  }
  bool flagged(uint32_t node) {
    return ovw({"get", "field", std::to_string(node), "isKestaraDevice"}) == "true\n";
  }
  Listing list() { return parseListing(ovw({"list"})); }

  // Starts mossick with a log file (unless `log` is false) and the given fault rules.
  kt::Process &startMossick(bool log = true, const std::string &faults = "",
                            std::vector<std::string> args = {}) {
    if (log) args.insert(args.begin(), {"-l", logPath()});
    kt::Env extra;
    if (!faults.empty()) extra.push_back({"KESTARA_FAULTS", faults});
    mossick_ = start("mossick", args, extra);
    return *mossick_;
  }
  kt::Process &mossick() { return *mossick_; }

  // True once mossick has registered its last handler: events posted from then on reach it.
  bool waitRegistered() {
    return kt::eventually(
        [&] {
          std::string attached = list().attachments;
          // Event 15 is the last of the six registrations.
          return contains(attached, "\"" + kApp + "\"") &&
                 (contains(attached, " 15 ") || contains(attached, " 15\n"));
        },
        10s);
  }

  // Places a symbol of this application on `node`'s submap, as an earlier run could have left
  // it, labelled `label`. The id of the symbol's object, 0 on failure.
  uint32_t addIcon(uint32_t node, const std::string &label) {
    exportEnv();
    if (_OVwInitSession(5, kApp.c_str(), nullptr) < 0) {
      ADD_FAILURE() << "_OVwInitSession: " << OVwErrorMsg(OVwError());
      return 0;
    }
    uint32_t icon = 0;
    if (OVwMapInfo *map = OVwGetMapInfo(); map != nullptr) {
      if (OVwObjectInfo *info = OVwGetObjectInfo(map, node); info != nullptr) {
        icon = OVwDbCreateObject(nullptr);
        if (icon != 0 && OVwCreateSymbol(map, info->child_submap_id, icon, "Software:Varnis",
                                         label.c_str(), 1, 3, 0, 2) == 0) {
          icon = 0;
        }
        OVwFreeObjectInfo(info);
      }
      OVwFreeMapInfo(map);
    }
    OVwDone();
    return icon;
  }

  // Adds a node whose agent never answers, for barrier(). Call before mossick starts.
  void addBarrierNode() {
    barrierHost_ = "127.0.0.1:" + std::to_string(silent_.localPort());
    barrierNode_ = addNode(barrierHost_, "barrier");
  }
  // Returns once mossick has handled every event posted before: the submap open of the
  // barrier node is handled after them, and its probe prints one line.
  bool barrier() {
    size_t at = mark();
    ovw({"open", "submap", std::to_string(barrierNode_)});
    return saw(barrierHost_ + " non-Kestara Device\n", at);
  }

  std::string logPath() const { return dir_.file("mossick.log"); }
  std::string log() const {
    return std::filesystem::exists(logPath()) ? kt::readFile(logPath()) : "";
  }
  // Waits for `text` in mossick's output after byte `from`.
  bool saw(const std::string &text, size_t from = 0, std::chrono::milliseconds t = 10s) {
    return mossick_->waitForOutput(text, t, from);
  }
  size_t mark() const { return mossick_->output().size(); }
  std::string outputSince(size_t from) const { return mossick_->output().substr(from); }

  // Ends the session and waits for mossick's exit status.
  std::optional<int> endSession() {
    ovw({"end", "session"});
    return mossick_->wait(10s);
  }

 private:
  kt::TempDir dir_;
  std::unique_ptr<kt::Process> mossick_;
  kt::UdpClient silent_{"127.0.0.1"};
  std::string barrierHost_;
  uint32_t barrierNode_ = 0;
};

void expectIcon(const Listing &listing, uint32_t node) {
  std::vector<Symbol> icons = listing.iconsOf(node);
  ASSERT_EQ(1u, icons.size()) << "node " << node;
  const Symbol &icon = icons[0];
  EXPECT_EQ("Software:Varnis", icon.type);
  EXPECT_EQ("Varnis Console", icon.label);
  EXPECT_EQ("Start Web Action", icon.action);
  EXPECT_EQ(std::vector<uint32_t>{node}, icon.targets);
  EXPECT_NE(node, icon.object);
}

std::string addedLine(uint32_t count, uint32_t node) {
  return " Object " + std::to_string(count) + " added: " + std::to_string(node) + "\n";
}

// --- Start-up and the end of the session ----------------------------------------------------

// A normal run: three flagged nodes on the open map get one icon each at start; the end of the
// session removes them again; the log file holds exactly the run's messages.
TEST(MossickRun, MapOpenAtStartAndSessionEnd) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test", "alpha");
  uint32_t b = st.addNode("node-b.test", "bravo");
  uint32_t plain = st.addNode("node-p.test", "plain");
  uint32_t c = st.addNode("node-c.test", "charlie");
  for (uint32_t n : {a, b, c}) st.flag(n);

  st.startMossick();
  ASSERT_TRUE(st.saw("from SMmapOpenCB for charlie\n")) << st.mossick().output();
  Listing listing = st.list();
  for (uint32_t n : {a, b, c}) expectIcon(listing, n);
  EXPECT_TRUE(listing.iconsOf(plain).empty());
  EXPECT_EQ(3u, listing.iconCount());
  std::map<uint32_t, uint32_t> iconObject;
  for (uint32_t n : {a, b, c}) iconObject[n] = listing.iconsOf(n)[0].object;

  EXPECT_EQ(0, st.endSession());
  listing = st.list();
  EXPECT_EQ(0u, listing.iconCount());
  // The icons' own objects go with their symbols.
  for (uint32_t n : {a, b, c}) {
    EXPECT_EQ(listing.objects.end(),
              std::find(listing.objects.begin(), listing.objects.end(), iconObject[n]));
  }
  EXPECT_EQ((std::vector<uint32_t>{a, b, plain, c}), listing.objects);

  std::vector<std::string> expected = {std::string(49, '=')};
  uint32_t count = 0;
  for (auto [n, name] : {std::pair{a, "alpha"}, {b, "bravo"}, {c, "charlie"}}) {
    expected.push_back(" Object " + std::to_string(++count) + " added: " + std::to_string(n));
    expected.push_back("  Added icon for child " + std::to_string(iconObject[n]) +
                       "; from SMmapOpenCB for " + name);
  }
  expected.push_back("Callback for Map Close");
  for (auto [n, name] : {std::pair{a, "alpha"}, {b, "bravo"}, {c, "charlie"}}) {
    expected.push_back("  cleanupObjects removed symbol and oid " + std::to_string(n) + " for " +
                       name);
  }
  expected.push_back("endSession Callback");
  expected.push_back("================OVwDone called==================");
  EXPECT_EQ(expected, lines(st.log()));
  // Everything logged was also printed.
  EXPECT_TRUE(contains(st.mossick().output(), st.log()));
}

// Without arguments nothing but standard output is written; a map without flagged nodes gets
// nothing; the session's end still ends the program normally.
TEST(MossickRun, WithoutLogFile) {
  Station st;
  st.startSessionWithMap();
  st.addNode("node-a.test");
  st.startMossick(false);
  ASSERT_TRUE(st.waitRegistered());
  EXPECT_EQ(0, st.endSession());
  EXPECT_EQ("Callback for Map Close\nendSession Callback\n" + kDone, st.mossick().output());
  EXPECT_EQ(0u, st.list().iconCount());
  // The test's folder holds the database and nothing of mossick's.
  EXPECT_FALSE(std::filesystem::exists(st.logPath()));
}

TEST(MossickRun, FieldNotDefined) {
  Station st(300ms, false);
  st.startSessionWithMap();
  kt::Process &m = st.startMossick();
  EXPECT_EQ(255, m.wait(10s));
  EXPECT_EQ(kEquals +
                "\"isKestaraDevice\" field does not exist in OVwDB.\n\t\t\t\tMake sure install of "
                "Varnis Server mgr succeeded\n\t\t\t\tand run \"ovw -fields\".\n",
            m.output());
  EXPECT_EQ(kEquals, st.log());
  // It left the session.
  EXPECT_FALSE(contains(st.list().attachments, kApp));
}

TEST(MossickRun, NoSession) {
  Station st;
  kt::Process &m = st.startMossick();
  EXPECT_EQ(255, m.wait(10s));
  EXPECT_TRUE(contains(m.output(), "OVwInitSession() failed: ")) << m.output();
  EXPECT_EQ(1u, lines(m.output()).size());
  // The command line was never read.
  EXPECT_FALSE(std::filesystem::exists(st.logPath()));
}

// The log file removed between two messages is made again; once its folder is gone, logging
// stops for good and the program runs on.
TEST(MossickRun, LogFileRemovedAndItsFolder) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test", "alpha");
  uint32_t b = st.addNode("node-b.test", "bravo");
  std::string folder = st.dir().file("logs");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  std::string logPath = folder + "/m.log";
  st.startMossick(false, "", {"-l", logPath});
  ASSERT_TRUE(st.waitRegistered());
  EXPECT_EQ(kEquals, kt::readFile(logPath));

  std::filesystem::remove(logPath);
  st.flag(a);
  size_t at = st.mark();
  st.ovw({"open", "submap", std::to_string(a)});
  ASSERT_TRUE(st.saw("; from SMsubmapOpenCB for alpha\n", at));
  std::string again = kt::readFile(logPath);
  EXPECT_TRUE(again.starts_with(addedLine(1, a))) << again;
  EXPECT_EQ(2u, lines(again).size());

  std::filesystem::remove_all(folder);
  st.flag(b);
  at = st.mark();
  st.ovw({"open", "submap", std::to_string(b)});
  ASSERT_TRUE(st.saw("; from SMsubmapOpenCB for bravo\n", at));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  at = st.mark();
  EXPECT_EQ(0, st.endSession());
  EXPECT_TRUE(contains(st.outputSince(at), "endSession Callback\n" + kDone));
  EXPECT_FALSE(std::filesystem::exists(logPath));
}

// --- Map open and close ---------------------------------------------------------------------

TEST(MossickMap, CloseRemovesIconsAndReopenPlacesThemAgain) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test");
  uint32_t b = st.addNode("node-b.test");
  st.flag(a);
  st.flag(b);
  st.startMossick();
  ASSERT_TRUE(st.saw("from SMmapOpenCB for node-b.test\n"));
  ASSERT_TRUE(st.waitRegistered());

  kt::RunResult closed = st.ovwRun({"close", "map", "--timeout-ms", "10000"});
  EXPECT_EQ(0, closed.status);
  // Acknowledged: the tool has no warning.
  EXPECT_EQ("", closed.err);
  EXPECT_EQ(0u, st.list().iconCount());
  std::string log = st.log();
  EXPECT_EQ(1u, countOf(log, "Callback for Map Close\n"));
  EXPECT_EQ(2u, countOf(log, "  cleanupObjects removed symbol and oid "));

  size_t at = st.mark();
  st.ovw({"open", "map"});
  ASSERT_TRUE(st.saw("from SMmapOpenCB for node-b.test\n", at));
  std::string since = st.outputSince(at);
  EXPECT_TRUE(contains(since, addedLine(1, a)));
  EXPECT_TRUE(contains(since, addedLine(2, b)));
  Listing listing = st.list();
  expectIcon(listing, a);
  expectIcon(listing, b);
  EXPECT_EQ(0, st.endSession());
}

// Every open and close of the map gives the icons objects of their own and takes them away
// again: after any number of cycles the database holds what it held after the first, and the
// program hears nothing of its own deletions.
TEST(MossickMap, OpenCloseCyclesLeaveNoObjectsBehind) {
  Station st;
  st.startSessionWithMap();
  const std::vector<uint32_t> nodes = st.addFlaggedNodes(10);
  st.startMossick();
  ASSERT_TRUE(st.saw("from SMmapOpenCB for node-9.test\n"));
  ASSERT_TRUE(st.waitRegistered());
  std::vector<uint32_t> afterFirst;
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(0, st.ovwRun({"close", "map", "--timeout-ms", "10000"}).status);
    Listing closed = st.list();
    EXPECT_EQ(0u, closed.iconCount());
    if (cycle == 0) afterFirst = closed.objects;
    EXPECT_EQ(afterFirst, closed.objects) << "cycle " << cycle;
    size_t at = st.mark();
    st.ovw({"open", "map"});
    ASSERT_TRUE(st.saw("from SMmapOpenCB for node-9.test\n", at));
    EXPECT_EQ(10u, st.list().iconCount());
  }
  EXPECT_EQ(nodes, afterFirst);
  EXPECT_FALSE(contains(st.mossick().output(), "Callback for Delete Objects called"));
  EXPECT_EQ(0, st.endSession());
  EXPECT_EQ(afterFirst, st.list().objects);
}

// A map close whose symbol listing fails keeps the nodes tracked and their icons in place; the
// next map open finds them all and creates nothing.
TEST(MossickMap, SecondMapOpenCreatesNothing) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test", "alpha");
  uint32_t b = st.addNode("node-b.test", "bravo");
  uint32_t c = st.addNode("node-c.test", "charlie");
  for (uint32_t n : {a, b, c}) st.flag(n);
  // Calls 1 to 3 are the icon checks at start; call 4 is the first listing of the close.
  st.startMossick(true, "OVwListSymbols:4:9");
  ASSERT_TRUE(st.saw("from SMmapOpenCB for charlie\n"));
  ASSERT_TRUE(st.waitRegistered());
  Listing before = st.list();

  st.ovw({"close", "map"});
  ASSERT_TRUE(st.saw("OVwListSymbols() failed: "));
  EXPECT_EQ(3u, st.list().iconCount());

  size_t at = st.mark();
  st.ovw({"open", "map"});
  ASSERT_TRUE(st.saw("called from SMmapOpenCB for charlie\n", at));
  std::string since = st.outputSince(at);
  for (auto [n, name] : {std::pair{a, "alpha"}, {b, "bravo"}, {c, "charlie"}}) {
    EXPECT_TRUE(
        contains(since, " Object id " + std::to_string(n) + " already on map - not added\n"));
    EXPECT_TRUE(contains(
        since, "  Icon already present; called from SMmapOpenCB for " + std::string(name) + "\n"));
  }
  EXPECT_FALSE(contains(since, "Added icon"));
  Listing after = st.list();
  for (uint32_t n : {a, b, c}) {
    expectIcon(after, n);
    EXPECT_EQ(before.iconsOf(n)[0].id, after.iconsOf(n)[0].id);
  }
  EXPECT_EQ(before.objects, after.objects);

  // The next close works again and removes all three.
  st.ovw({"close", "map"});
  EXPECT_EQ(0u, st.list().iconCount());
  EXPECT_EQ(0, st.endSession());
}

// A symbol of this application already on a flagged node's submap is its icon, whatever its
// label: the map open and the submap open place nothing more, only the product's own label is
// reported as found, and the map close takes the symbol away with its object.
TEST(MossickMap, IconWithAnotherLabelIsTheIcon) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test", "alpha");
  st.flag(a);
  uint32_t other = st.addIcon(a, "Another Label");
  ASSERT_NE(0u, other);
  st.addBarrierNode();
  std::vector<uint32_t> objects = st.list().objects;
  st.startMossick();
  ASSERT_TRUE(st.saw("  Icon already present; called from SMmapOpenCB for alpha\n"))
      << st.mossick().output();
  ASSERT_TRUE(st.waitRegistered());

  size_t at = st.mark();
  st.ovw({"open", "submap", std::to_string(a)});
  ASSERT_TRUE(st.barrier());
  EXPECT_FALSE(contains(st.outputSince(at), "openSubmapCB")) << st.outputSince(at);
  EXPECT_FALSE(contains(st.mossick().output(), "Added icon"));
  Listing listing = st.list();
  std::vector<Symbol> icons = listing.iconsOf(a);
  ASSERT_EQ(1u, icons.size());
  EXPECT_EQ("Another Label", icons[0].label);
  EXPECT_EQ(other, icons[0].object);
  EXPECT_EQ(objects, listing.objects);

  st.ovw({"close", "map"});
  listing = st.list();
  EXPECT_EQ(0u, listing.iconCount());
  std::erase(objects, other);
  EXPECT_EQ(objects, listing.objects);
  EXPECT_EQ(0, st.endSession());
}

// Sixty-five flagged nodes: the sixty-fifth is not tracked but gets its icon, and keeps it when
// the map closes.
TEST(MossickMap, SixtyFiveFlaggedNodes) {
  Station st;
  st.startSessionWithMap();
  const std::vector<uint32_t> nodes = st.addFlaggedNodes(65);
  st.startMossick();
  ASSERT_TRUE(st.saw("TOO MANY OBJECTS ON SUBMAP!!!\n", 0, 30s));
  ASSERT_TRUE(
      kt::eventually([&] { return countOf(st.mossick().output(), "Added icon") == 65; }, 30s));
  std::string log = st.log();
  EXPECT_EQ(1u, countOf(log, "TOO MANY OBJECTS ON SUBMAP!!!\n"));
  EXPECT_TRUE(contains(log, " Object 64 added: "));
  EXPECT_FALSE(contains(log, " Object 65 added: "));
  // The node that was not taken is the one whose icon follows the refusal.
  std::vector<uint32_t> untracked;
  for (uint32_t n : nodes) {
    if (!contains(log, " added: " + std::to_string(n) + "\n")) {
      untracked.push_back(n);
    }
  }
  ASSERT_EQ(1u, untracked.size());
  Listing listing = st.list();
  for (uint32_t n : nodes) expectIcon(listing, n);

  ASSERT_TRUE(st.waitRegistered());
  st.ovw({"close", "map"});
  listing = st.list();
  EXPECT_EQ(1u, listing.iconCount());
  expectIcon(listing, untracked[0]);
  EXPECT_EQ(64u, countOf(st.log(), "  cleanupObjects removed symbol and oid "));
  EXPECT_EQ(0, st.endSession());
}

// Messages longer than the 80-byte message buffer are cut and still end their line.
TEST(MossickMap, LongSelectionNameIsCut) {
  Station st;
  st.startSessionWithMap();
  std::string name(150, 'x');
  uint32_t n = st.addNode("node-long.test", name);
  st.flag(n);
  st.startMossick();
  ASSERT_TRUE(st.saw("from SMmapOpenCB for xx"));
  ASSERT_TRUE(st.waitRegistered());
  expectIcon(st.list(), n);
  std::vector<std::string> log = lines(st.log());
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(78u, log[2].size());
  EXPECT_TRUE(log[2].starts_with("  Added icon for child ")) << log[2];
  EXPECT_EQ(0, st.endSession());
  for (const std::string &line : lines(st.log())) EXPECT_LE(line.size(), 78u);
}

// --- Submap open ----------------------------------------------------------------------------

TEST(MossickSubmap, FlaggedAndDiscoveredNodes) {
  kt::Peers peers;
  // A device whose node is not marked as supporting SNMP (host names are unique).
  auto hidden = kt::SnmpAgent::start();
  ASSERT_TRUE(peers.ok() && hidden);
  const kt::SnmpAgent &device = *peers.device, &nonDevice = *peers.plain;
  Station st;
  st.startSessionWithMap();
  uint32_t flaggedNode = st.addNode("flagged.test", "flagged");
  uint32_t found = st.addNode(device.peer(), "found");
  uint32_t notDevice = st.addNode(nonDevice.peer(), "other");
  uint32_t noSnmp = st.addNode(hidden->peer(), "no-snmp", {"--no-snmp"});
  st.startMossick();
  ASSERT_TRUE(st.waitRegistered());

  // A flagged node without the icon: it is placed from the submap open.
  st.flag(flaggedNode);
  size_t at = st.mark();
  st.ovw({"open", "submap", std::to_string(flaggedNode)});
  ASSERT_TRUE(st.saw("; from SMsubmapOpenCB for flagged\n", at));
  EXPECT_TRUE(contains(st.outputSince(at), "  openSubmapCB will add symbol flagged.test\n" +
                                               addedLine(1, flaggedNode)));
  // "will add" is printed, not logged.
  EXPECT_FALSE(contains(st.log(), "openSubmapCB will add"));
  expectIcon(st.list(), flaggedNode);

  // The same submap again: the icon is found and nothing more is placed.
  at = st.mark();
  st.ovw({"open", "submap", std::to_string(flaggedNode)});
  ASSERT_TRUE(st.saw("  openSubmapCB found symbol flagged.test already on map\n", at));
  expectIcon(st.list(), flaggedNode);

  // Unflagged nodes: one without SNMP is not probed; one whose agent lacks the probe variable
  // stays unflagged.
  at = st.mark();
  st.ovw({"open", "submap", std::to_string(noSnmp)});
  st.ovw({"open", "submap", std::to_string(notDevice)});
  ASSERT_TRUE(st.saw(nonDevice.peer() + " non-Kestara Device\n", at));

  // One whose agent answers is discovered and gets the icon.
  st.ovw({"open", "submap", std::to_string(found)});
  ASSERT_TRUE(st.saw("; from SMsubmapOpenCB for found\n", at));
  std::string since = st.outputSince(at);
  EXPECT_TRUE(contains(since, "getOid succeeded for " + device.peer() + " - field set\n"));
  EXPECT_TRUE(contains(since, "  Discovered new Kestara Device on host " + device.peer() + "\n" +
                                  addedLine(2, found)));
  EXPECT_EQ(1u, countOf(since, "getOid succeeded"));
  EXPECT_FALSE(contains(since, hidden->peer()));
  EXPECT_TRUE(st.flagged(found));
  EXPECT_FALSE(st.flagged(notDevice));
  EXPECT_FALSE(st.flagged(noSnmp));
  Listing listing = st.list();
  expectIcon(listing, found);
  EXPECT_TRUE(listing.iconsOf(notDevice).empty());
  EXPECT_TRUE(listing.iconsOf(noSnmp).empty());
  EXPECT_EQ(2u, listing.iconCount());
  EXPECT_TRUE(contains(st.log(), "  Discovered new Kestara Device on host " + device.peer()));
  EXPECT_EQ(0, st.endSession());
}

// --- Object created -------------------------------------------------------------------------

TEST(MossickCreated, NewNodesAreProbed) {
  kt::Peers peers;
  // A device whose node is not marked as supporting SNMP (host names are unique).
  auto hidden = kt::SnmpAgent::start();
  ASSERT_TRUE(peers.ok() && hidden);
  const kt::SnmpAgent &device = *peers.device, &nonDevice = *peers.plain;
  Station st;
  st.startSessionWithMap();
  st.startMossick();
  ASSERT_TRUE(st.waitRegistered());

  // A node without SNMP is filtered out; a non-device is probed and left alone.
  uint32_t noSnmp = st.addNode(hidden->peer(), "no-snmp", {"--no-snmp"});
  uint32_t other2 = st.addNode(nonDevice.peer(), "other");
  ASSERT_TRUE(st.saw(nonDevice.peer() + " non-Kestara Device\n"));
  uint32_t dev = st.addNode(device.peer(), "device");
  ASSERT_TRUE(st.saw("; from objectCreatedCB for device\n"));
  std::string out = st.mossick().output();
  EXPECT_EQ(1u, countOf(out, "getOid succeeded for " + device.peer() + " - field set\n"));
  EXPECT_FALSE(contains(out, hidden->peer()));
  EXPECT_TRUE(contains(st.log(), addedLine(1, dev)));
  Listing listing = st.list();
  expectIcon(listing, dev);
  EXPECT_EQ(1u, listing.iconCount());
  EXPECT_TRUE(st.flagged(dev));
  EXPECT_FALSE(st.flagged(other2));
  EXPECT_FALSE(st.flagged(noSnmp));
  EXPECT_EQ(0, st.endSession());
}

// An object-created event for a node that is tracked by then: it is probed, and nothing is
// placed. The node gets tracked by a map open that is queued before its creation event while
// mossick is busy probing a silent node.
TEST(MossickCreated, TrackedNodeIsProbedButGetsNothingMore) {
  auto device = kt::SnmpAgent::start();
  ASSERT_TRUE(device);
  kt::UdpClient silent("127.0.0.1");
  Station st(3s);
  st.startSessionWithMap();
  st.ovw({"close", "map"});
  st.startMossick();
  ASSERT_TRUE(st.waitRegistered());

  st.addNode("127.0.0.1:" + std::to_string(silent.localPort()), "silent");
  // Mossick now waits for the silent node's answer.
  ASSERT_TRUE(silent.receive(10s));
  st.ovw({"open", "map"});
  uint32_t dev = st.addNode(device->peer(), "device");
  st.flag(dev);

  ASSERT_TRUE(st.saw("  Added icon for child ", 0, 15s));
  ASSERT_TRUE(
      st.saw("getOid succeeded for " + device->peer() + " - but field already set\n", 0, 15s));
  // A barrier: the close is handled after the creation event is done.
  std::string before = st.mossick().output();
  Listing listing = st.list();
  expectIcon(listing, dev);
  st.ovw({"close", "map"});
  std::string out = st.mossick().output();
  EXPECT_EQ(1u, countOf(out, "Added icon"));
  EXPECT_EQ(1u, countOf(out, " added: " + std::to_string(dev) + "\n"));
  EXPECT_TRUE(contains(out, "from SMmapOpenCB for device"));
  EXPECT_FALSE(contains(out, "objectCreatedCB"));
  EXPECT_FALSE(contains(out, "already on map"));
  EXPECT_EQ(0, st.endSession());
}

// --- Objects deleted ------------------------------------------------------------------------

class MossickDelete : public ::testing::TestWithParam<bool> {};

TEST_P(MossickDelete, TrackedNodesLoseTheirFlag) {
  bool withLog = GetParam();
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test", "alpha");
  uint32_t b = st.addNode("node-b.test", "bravo");
  uint32_t plain = st.addNode("node-p.test", "plain");
  uint32_t late = st.addNode("node-l.test", "late");
  st.startMossick(withLog);
  ASSERT_TRUE(st.waitRegistered());

  // With nothing tracked a delete event says nothing.
  st.ovw({"delete", "object", std::to_string(plain)});
  st.flag(a);
  st.flag(b);
  size_t at = st.mark();
  st.ovw({"open", "submap", std::to_string(a)});
  st.ovw({"open", "submap", std::to_string(b)});
  ASSERT_TRUE(st.saw("; from SMsubmapOpenCB for bravo\n", at));
  EXPECT_FALSE(contains(st.mossick().output(), "Callback for Delete Objects called"));

  // One event for a tracked node and an untracked one.
  st.flag(late);
  at = st.mark();
  st.ovw({"delete", "object", std::to_string(a), std::to_string(late)});
  ASSERT_TRUE(st.saw(" Object removed: " + std::to_string(a) + ", 1 remaining\n", at));
  std::string expected = "Callback for Delete Objects called\n";
  if (withLog) {
    expected += "   removed KestaraDevice field for (oid " + std::to_string(a) + ") alpha\n";
  }
  expected += " Object removed: " + std::to_string(a) + ", 1 remaining\n";
  EXPECT_EQ(expected, st.outputSince(at));
  EXPECT_EQ(withLog, contains(st.log(), expected));
  // The remaining tracked node keeps its icon until the map closes.
  expectIcon(st.list(), b);
  at = st.mark();
  EXPECT_EQ(0, st.endSession());
  EXPECT_EQ(1u, countOf(st.outputSince(at), "  cleanupObjects removed symbol and oid "));
}

INSTANTIATE_TEST_SUITE_P(LogFile, MossickDelete, ::testing::Bool());

// A tracked node deleted from the database takes its submap, and so its icon's symbol, with it;
// the icon's own object goes too, and the node is tracked no more: nothing of it is left, and
// the map close and the end of the session find nothing of it to remove.
TEST(MossickDelete, DeletedNodeLeavesNothingOfItsIcon) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test", "alpha");
  uint32_t b = st.addNode("node-b.test", "bravo");
  st.flag(a);
  st.flag(b);
  st.addBarrierNode();
  std::vector<uint32_t> objects = st.list().objects;
  st.startMossick();
  ASSERT_TRUE(st.saw("from SMmapOpenCB for bravo\n"));
  ASSERT_TRUE(st.waitRegistered());
  uint32_t iconOfB = st.list().iconsOf(b).at(0).object;

  size_t at = st.mark();
  st.ovw({"delete", "object", std::to_string(a)});
  ASSERT_TRUE(st.saw(" Object removed: " + std::to_string(a) + ", 1 remaining\n", at));
  ASSERT_TRUE(st.barrier());
  Listing listing = st.list();
  EXPECT_TRUE(listing.iconsOf(a).empty());
  expectIcon(listing, b);
  EXPECT_EQ(1u, listing.iconCount());
  std::erase(objects, a);
  std::vector<uint32_t> withIconOfB = objects;
  withIconOfB.push_back(iconOfB);
  EXPECT_EQ(withIconOfB, listing.objects);
  EXPECT_EQ(1u, countOf(st.mossick().output(), "Callback for Delete Objects called\n"));

  at = st.mark();
  EXPECT_EQ(0, st.endSession());
  EXPECT_EQ(1u, countOf(st.outputSince(at), "  cleanupObjects removed symbol and oid "));
  EXPECT_EQ(objects, st.list().objects);
}

// --- Failures through the fault seam --------------------------------------------------------

// A map close while no map is held: logged, nothing deleted, and still acknowledged.
TEST(MossickFaults, MapCloseWithoutMap) {
  Station st;
  st.startSessionWithMap();
  uint32_t a = st.addNode("node-a.test");
  st.flag(a);
  st.startMossick(true, "OVwGetMapInfo:1:9");
  ASSERT_TRUE(st.saw("Could not get current map: "));
  ASSERT_TRUE(st.waitRegistered());
  EXPECT_EQ(0u, st.list().iconCount());
  kt::RunResult closed = st.ovwRun({"close", "map", "--timeout-ms", "10000"});
  EXPECT_EQ(0, closed.status);
  EXPECT_EQ("", closed.err);
  EXPECT_EQ(kEquals + "Callback for Map Close\n", st.log());
  EXPECT_EQ(0, st.endSession());
}

struct FaultCase {
  const char *name;
  const char *rule;
  const char *printed;  // on standard output only
  const char *logged;   // in the log file (and on standard output)
  size_t icons;         // icons of the three flagged nodes after the map open
  bool withAction;      // whether the icons carry their action
};

void PrintTo(const FaultCase &fc, std::ostream *out) { *out << fc.rule; }

class MossickFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MossickFault, MapOpenGoesOn) {
  const FaultCase &fc = GetParam();
  Station st;
  st.startSessionWithMap();
  std::vector<uint32_t> nodes;
  for (const char *host : {"node-a.test", "node-b.test", "node-c.test"}) {
    nodes.push_back(st.addNode(host));
    st.flag(nodes.back());
  }
  st.addBarrierNode();
  size_t objectsBefore = st.list().objects.size();
  st.startMossick(true, fc.rule);
  ASSERT_TRUE(st.waitRegistered()) << st.mossick().output();
  ASSERT_TRUE(st.barrier()) << st.mossick().output();
  EXPECT_TRUE(contains(st.mossick().output(), fc.logged));
  if (*fc.printed != '\0') {
    EXPECT_TRUE(contains(st.mossick().output(), fc.printed));
    EXPECT_FALSE(contains(st.log(), fc.printed));
  }
  EXPECT_TRUE(contains(st.log(), fc.logged)) << st.log();
  Listing listing = st.list();
  EXPECT_EQ(fc.icons, listing.iconCount());
  for (const Symbol &s : listing.symbols) {
    if (s.application == kApp) {
      EXPECT_EQ(fc.withAction, !s.action.empty());
    }
  }
  // Icons and their objects: no object is left without its symbol.
  EXPECT_EQ(objectsBefore + fc.icons, listing.objects.size());
  // An icon object that the program deleted itself is no news to it.
  EXPECT_FALSE(contains(st.mossick().output(), "Callback for Delete Objects called"));
  EXPECT_EQ(0, st.endSession());
  EXPECT_TRUE(st.log().ends_with(kDone));
  // At the end the icons and their objects are gone.
  EXPECT_EQ(objectsBefore, st.list().objects.size());
}

INSTANTIATE_TEST_SUITE_P(
    Seam, MossickFault,
    ::testing::Values(FaultCase{"CreateObject", "OVwDbCreateObject:1:9",
                                "Could not create new object: ",
                                "addApplicationIcon: Could not create new object\n", 2, true},
                      FaultCase{"CreateSymbol", "OVwCreateSymbol:2:9", "",
                                "addAppIcon: Could not create symbol: ", 2, true},
                      FaultCase{"SetBehavior", "OVwSetSymbolBehavior:1:7+", "",
                                "addAppIcon: Could not set symbol behavior: ", 3, false},
                      FaultCase{"ListSymbols", "OVwListSymbols:3:9",
                                "OVwListSymbols() failed: ", " Object 3 added: ", 2, true},
                      FaultCase{"BeginMapSync", "OVwBeginMapSync:1:9", "OVwBeginMapSync() failed. ",
                                "=================================================\n", 0, true},
                      FaultCase{"ListObjects", "OVwListObjectsOnMap:1:9",
                                "OVwListObjectsOnMap() failed: ",
                                "=================================================\n", 0, true},
                      FaultCase{"ObjectCreatedRegistration", "OVwAddCallback:1:9",
                                "Cannot add objectCreate Callback ", " Object 3 added: ", 3, true},
                      FaultCase{"MessageWait", "OVwGetMessage:1:3",
                                "OVwGetMessage() failed: ", " Object 3 added: ", 3, true}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

// Without the object-created handler new nodes are not probed.
TEST(MossickFaults, NoObjectCreatedHandler) {
  auto device = kt::SnmpAgent::start();
  ASSERT_TRUE(device);
  Station st;
  st.startSessionWithMap();
  st.startMossick(true, "OVwAddCallback:1:9");
  ASSERT_TRUE(st.saw("Cannot add objectCreate Callback "));
  ASSERT_TRUE(st.waitRegistered());
  uint32_t dev = st.addNode(device->peer(), "device");
  // A barrier: the submap open of an unflagged non-SNMP node is handled after any event 18.
  uint32_t plain = st.addNode("plain.test", "plain", {"--no-snmp"});
  st.ovw({"open", "submap", std::to_string(plain)});
  st.ovw({"close", "map"});
  ASSERT_TRUE(st.saw("Callback for Map Close\n"));
  EXPECT_FALSE(contains(st.mossick().output(), "getOid"));
  EXPECT_FALSE(st.flagged(dev));
  EXPECT_EQ(0, st.endSession());
}

TEST(MossickFaults, SessionJoinFails) {
  Station st;
  st.startSessionWithMap();
  kt::Process &m = st.startMossick(true, "_OVwInitSession:1:9");
  EXPECT_EQ(255, m.wait(10s));
  EXPECT_TRUE(m.output().starts_with("OVwInitSession() failed: ")) << m.output();
  EXPECT_FALSE(std::filesystem::exists(st.logPath()));
}

}  // namespace
