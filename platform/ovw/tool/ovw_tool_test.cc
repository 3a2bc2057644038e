// ovw_tool_test.cc - the `ovw` tool as operators and scripts use it, with net-snmp's snmptrapd
// receiving its node events.
#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ovw_test_util.h"

namespace {

using ovwtest::OVwDbTest;
using namespace std::chrono_literals;

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(OVwDbTest, HelpNamesEveryCommand) {
  kt::RunResult r = ovw({"--help"});
  EXPECT_EQ(0, r.status);
  for (const char *command :
       {"-fields",  "start session", "end session",   "open map",     "close map",
        "add node", "change node",   "delete object", "set field",    "get field",
        "select",   "open submap",   "send event",    "list",         "backup",
        "restore",  "check",         "--version",     "OVW_DATABASE", "OV_EVENT_ADDRESS"}) {
    EXPECT_NE(std::string::npos, r.out.find(command)) << command;
  }
  kt::RunResult version = ovw({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.rfind("ovw ", 0)) << version.out;
  EXPECT_NE(std::string::npos, version.out.find_first_of("0123456789")) << version.out;
  EXPECT_EQ(1, count(version.out, "\n")) << version.out;
  EXPECT_FALSE(std::filesystem::exists(db_path_)) << "--version opened the database";
  kt::RunResult add = ovw({"add", "node", "--help"});
  EXPECT_EQ(0, add.status);
  EXPECT_EQ(0u, add.out.rfind("Usage: ovw add node HOST [SELECTION]", 0)) << add.out;
  EXPECT_NE(std::string::npos, add.out.find("58785794"));
  EXPECT_EQ(add.out, ovw({"help", "add", "node"}).out);
  EXPECT_NE(std::string::npos, ovw({"help", "close", "map"}).out.find("acknowledgement"));
}

TEST_F(OVwDbTest, UsageErrorsExitWithTwoAndSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const Case cases[] = {
      {{}, "Usage: ovw"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"add"}, "\"add\" needs one of: node"},
      {{"open", "window"}, "\"open\" needs one of: map, submap"},
      {{"add", "node"}, "missing arguments"},
      {{"get", "field", "x1", "isNode"}, "\"x1\" is not an object id"},
      {{"delete", "object", "0"}, "\"0\" is not an object id"},
      {{"delete", "object", "4294967296"}, "is not an object id"},
      {{"set", "field", "1", "isNode", "maybe"}, "must be true or false"},
      {{"list", "--map", "x"}, "option --map does not apply"},
      {{"list", "--bogus"}, "unknown option --bogus"},
      {{"close", "map", "--timeout-ms", "-5"}, "--timeout-ms must be"},
      {{"open", "map", "a", "b"}, "too many arguments"},
      {{"help", "fly", "away"}, "no command \"fly away\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    kt::RunResult r = ovw(c.args);
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
}

TEST_F(OVwDbTest, FailuresExitWithOneAndAClearMessage) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  ok({"start", "session", "busy:0"});
  const Case cases[] = {
      {{"open", "map", "--session", "idle:0"}, "session \"idle:0\" is not running"},
      {{"start", "session", "busy:0"}, "session \"busy:0\" is already running"},
      {{"select", "1", "--session", "busy:0"}, "no map is open in session \"busy:0\""},
      {{"close", "map", "--session", "busy:0"}, "no map is open"},
      {{"delete", "object", "99"}, "no object 99"},
      {{"get", "field", "1", "isKestaraDevice"}, "not defined (run \"ovw -fields\")"},
      {{"end", "session", "idle:0"}, "is not running"},
      {{"-fields", "/nonexistent/fields.reg"}, "cannot read /nonexistent/fields.reg"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    kt::RunResult r = ovw(c.args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.rfind("ovw: ", 0)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
  }
  addNode({"alpha"});
  kt::RunResult dup = ovw({"add", "node", "alpha", "--no-trap"});
  EXPECT_EQ(1, dup.status);
  EXPECT_NE(std::string::npos, dup.err.find("a node with host name \"alpha\" already exists"));

  // A database file that belongs to something else is refused, not touched.
  std::string foreign = dir_.write("foreign.db", "not a database at all, just text\n");
  kt::RunResult r = ovw({"list", "--db", foreign});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find(foreign)) << r.err;
  EXPECT_EQ("not a database at all, just text\n", kt::readFile(foreign));
}

TEST_F(OVwDbTest, ANewUserBuildsAMapOfThreeNodes) {
  EXPECT_EQ(
      "field \"isKestaraDevice\" defined\n"
      "application \"Varnis Console Application\" registered with action \"Start Web "
      "Action\"\n",
      ok({"-fields"}));
  ok({"-fields"});  // again: nothing changes
  EXPECT_EQ("session \"test:0\" started\n", ok({"start", "session", kSession}));
  EXPECT_EQ("map \"default\" open in session \"test:0\"\n",
            ok({"open", "map", "--session", kSession}));
  uint32_t a = addNode({"alpha.example.com", "alpha", "--session", kSession});
  uint32_t b = addNode({"beta.example.com", "beta", "--session", kSession});
  uint32_t c = addNode({"gamma.example.com", "--session", kSession});
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  ok({"set", "field", std::to_string(b), "isKestaraDevice", "true"});
  EXPECT_EQ("selected " + std::to_string(b) + "\n",
            ok({"select", std::to_string(b), "--session", kSession}));
  ok({"open", "submap", std::to_string(b), "--session", kSession});

  std::string text = ok({"list"});
  EXPECT_NE(std::string::npos,
            text.find("test:0  running, map \"default\", selected: " + std::to_string(b)));
  EXPECT_EQ(3u, count(text, "Computer:Generic"));
  EXPECT_NE(std::string::npos, text.find("host \"gamma.example.com\", selection "
                                         "\"gamma.example.com\", isNode=true, "
                                         "isSNMPSupported=true"));

  const nlohmann::json list = nlohmann::json::parse(ok({"list", "--json"}));
  size_t generic = 0;
  std::vector<uint32_t> owners;
  for (const nlohmann::json &map : list["maps"]) {
    for (const nlohmann::json &submap : map["submaps"]) {
      owners.push_back(submap["parent_object"].get<uint32_t>());
      for (const nlohmann::json &symbol : submap["symbols"]) {
        if (symbol["type"] == "Computer:Generic") ++generic;
      }
    }
  }
  EXPECT_EQ(3u, generic);
  ASSERT_EQ(1u, list["sessions"].size());
  EXPECT_EQ(nlohmann::json::array({b}), list["sessions"][0]["selection"]);
  EXPECT_EQ(true, list["sessions"][0]["running"]);
  const nlohmann::json beta = {
      {"id", b},
      {"hostname", "beta.example.com"},
      {"selection_name", "beta"},
      {"fields", {{"isNode", true}, {"isSNMPSupported", true}, {"isKestaraDevice", true}}}};
  EXPECT_NE(list["objects"].end(), std::find(list["objects"].begin(), list["objects"].end(), beta))
      << list["objects"].dump();
  // Every node has a submap of its own on the map.
  for (uint32_t id : {a, b, c}) {
    EXPECT_NE(owners.end(), std::find(owners.begin(), owners.end(), id)) << id;
  }
  EXPECT_EQ("map \"default\" closed\nsession \"test:0\" ended\n", ok({"end", "session", kSession}));
}

// Names reach the JSON as they are, escaped as JSON strings; bytes that are no UTF-8 become
// U+FFFD, so that the document stays JSON.
TEST_F(OVwDbTest, JsonListEscapesUntrustedTexts) {
  ok({"add", "node", "quote\"host", "tab\there\x01", "--no-trap"});
  ok({"add", "node", "bad\xff-utf8", "--no-trap"});
  std::string json = ok({"list", "--json"});
  EXPECT_NE(std::string::npos, json.find("\"hostname\":\"quote\\\"host\""));
  EXPECT_NE(std::string::npos, json.find("\"selection_name\":\"tab\\there\\u0001\""));
  const nlohmann::json list = nlohmann::json::parse(json);
  ASSERT_EQ(2u, list["objects"].size());
  EXPECT_EQ("quote\"host", list["objects"][0]["hostname"]);
  EXPECT_EQ("tab\there\x01", list["objects"][0]["selection_name"]);
  EXPECT_EQ("bad\xEF\xBF\xBD-utf8", list["objects"][1]["hostname"]);
  EXPECT_EQ(true, list["objects"][1]["fields"]["isNode"]);
}

TEST_F(OVwDbTest, RegistrationsFromTheEnvironmentOrNamedFiles) {
  std::string reg = dir_.write("extra.reg",
                               "field \"isLab\" boolean\n"
                               "application \"Lab App\"\n"
                               "action \"Ping\"\n");
  kt::RunResult r = ovw({"-fields"}, {{"OVW_REGISTRATION_DIR", dir_.path()}});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("field \"isLab\" defined"));
  EXPECT_EQ(std::string::npos, r.out.find("isKestaraDevice"));
  std::string bad = dir_.write("bad.reg", "field \"x\" boolean\nfield y\n");
  kt::RunResult broken = ovw({"-fields", reg, bad});
  EXPECT_EQ(1, broken.status);
  EXPECT_NE(std::string::npos, broken.err.find(bad + ":2: expected: field NAME TYPE"))
      << broken.err;
  // Nothing of a broken set is loaded.
  EXPECT_EQ(std::string::npos, ok({"list"}).find("  x (boolean)"));
}

// snmptrapd printing each trap as "TRAP enterprise generic .specific variables".
class OVwTrapTest : public OVwDbTest {
 protected:
  void SetUp() override {
    OVwDbTest::SetUp();
    port_ = kt::freeUdpPort();
    std::string conf = dir_.write("snmptrapd.conf", "disableAuthorization yes\n");
    std::string address = "udp:127.0.0.1:" + std::to_string(port_);
    trapd_ = std::make_unique<kt::Process>(
        kt::Process::start({"/usr/sbin/snmptrapd", "-f", "-Lo", "-n", "-On", "-C", "-c", conf, "-m",
                            "", "-M", dir_.path(), "-F", "TRAP %N %w %q %v\n", address},
                           {{"MIBS", ""}}));
    ASSERT_TRUE(trapd_->waitForOutput("NET-SNMP version", 10s)) << trapd_->output();
    env_ = {{"OV_EVENT_ADDRESS", address}};
  }

  std::string waitTrap(size_t n) {
    kt::eventually([&] { return count(trapd_->output(), "TRAP ") >= n; }, 5s);
    std::string out = trapd_->output();
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
      at = out.find("TRAP ", at);
      if (at == std::string::npos) return "";
      if (i + 1 < n) ++at;
    }
    return out.substr(at, out.find('\n', at) - at);
  }

  uint16_t port_ = 0;
  std::unique_ptr<kt::Process> trapd_;
  kt::Env env_;
};

TEST_F(OVwTrapTest, AddingAndChangingANodeSendNodeEvents) {
  kt::RunResult added = ovw({"add", "node", "alpha"}, env_);
  ASSERT_EQ(0, added.status) << added.err;
  EXPECT_EQ("", added.err);
  std::string id = added.out.substr(0, added.out.find('\n'));
  EXPECT_EQ(
      "TRAP .1.3.6.1.4.1.11.2.17.1 6 .58785794 .1.3.6.1.4.1.11.2.17.2.3.0 = STRING: \"" + id + "\"",
      waitTrap(1));
  EXPECT_EQ(0, ovw({"change", "node", id, "--snmp", "no"}, env_).status);
  EXPECT_EQ(
      "TRAP .1.3.6.1.4.1.11.2.17.1 6 .40000016 .1.3.6.1.4.1.11.2.17.2.3.0 = STRING: \"" + id + "\"",
      waitTrap(2));
  EXPECT_EQ(0, ovw({"send", "event", "123"}, env_).status);
  EXPECT_NE(std::string::npos, waitTrap(3).find(".58982403 .1.3.6.1.4.1.11.2.17.2.3.0 = STRING: "
                                                "\"123\""));
  EXPECT_EQ(0, ovw({"add", "node", "beta", "--no-trap"}, env_).status);
  EXPECT_EQ(0, ovw({"send", "event", "7", "changed"}, env_).status);
  EXPECT_NE(std::string::npos, waitTrap(4).find(".40000016 "));  // not one for "beta"
  EXPECT_EQ("false\n", ok({"get", "field", id, "isSNMPSupported"}));
}

TEST_F(OVwDbTest, AnUnsendableNodeEventIsOnlyAWarning) {
  kt::RunResult r = ovw({"add", "node", "alpha"}, {{"OV_EVENT_ADDRESS", "bogus:transport:1"}});
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("ovw: warning: node event not sent to bogus:transport:1"))
      << r.err;
  EXPECT_EQ("1\n", r.out);
  EXPECT_NE(std::string::npos, ok({"list"}).find("host \"alpha\""));
  kt::RunResult send = ovw({"send", "event", "1"}, {{"OV_EVENT_ADDRESS", "bogus:transport:1"}});
  EXPECT_EQ(1, send.status);  // here sending is the whole command
}

// A station moves from its SQLite file into a PostgreSQL database and back: everything that
// `ovw list --json` shows comes across unchanged, and an id handed out before the move (even of
// an object deleted since) is not handed out again after it. A database that holds a station
// already is refused and left as it was.
TEST_F(OVwDbTest, AStationMovesToPostgreSqlAndBack) {
  std::string why;
  kt::PostgresServer *server = kt::sharedPostgres(why);
  if (server == nullptr) GTEST_SKIP() << why;
  const std::string name = "moved_" + std::to_string(getpid());
  ASSERT_TRUE(server->createDatabase(name, why)) << why;
  const std::string remote = server->uri(name);

  startMap();
  const uint32_t a = addNode({"alpha.example.com", "alpha", "--session", kSession});
  const uint32_t b = addNode({"beta.example.com", "--session", kSession});
  const uint32_t gone = addNode({"gone.example.com", "--session", kSession});
  ok({"set", "field", std::to_string(b), "isKestaraDevice", "true"});
  ok({"select", std::to_string(a), std::to_string(b), "--session", kSession});
  ok({"delete", "object", std::to_string(gone)});
  // What `ovw list --json` shows of a database, but for where it is.
  const auto station = [&](const std::string &database) {
    nlohmann::json list = nlohmann::json::parse(ok({"list", "--json", "--db", database}));
    list.erase("database");
    return list;
  };
  const nlohmann::json before = station(db_path_);

  EXPECT_NE(std::string::npos, ok({"migrate", "--to", remote}).find("station moved from"));
  EXPECT_EQ(before, station(remote));
  // The running session and its map came along: the station goes on there.
  const uint32_t after = addNode({"delta.example.com", "--session", kSession, "--db", remote});
  EXPECT_GT(after, gone);

  // Into a station that is there already: refused, nothing changed.
  const nlohmann::json moved = station(remote);
  kt::RunResult again = ovw({"migrate", "--to", remote});
  EXPECT_EQ(1, again.status);
  EXPECT_NE(std::string::npos, again.err.find("already holds a station")) << again.err;
  EXPECT_EQ(moved, station(remote));

  // And back into a new file.
  const std::string back = dir_.file("back.db");
  ok({"migrate", "--from", remote, "--to", back});
  EXPECT_EQ(moved, station(back));
  EXPECT_GT(addNode({"epsilon.example.com", "--session", kSession, "--db", back}), after);

  kt::RunResult usage = ovw({"migrate"});
  EXPECT_EQ(2, usage.status);
  EXPECT_EQ(1, ovw({"migrate", "--to", db_path_}).status);  // the database itself
}

}  // namespace
