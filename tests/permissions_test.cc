// permissions_test.cc - one group shares the station's database: its members run ovw, mossick
// and quenby against it, anyone else is refused with a message naming the file and the group
// and changes nothing, and every file the platform makes is for the owner and the group only.
//
// The programs run as unprivileged users (setpriv) inside the test's network namespace; the
// state folder is prepared as the package prepares /var/lib/kestara (group-owned, 2770).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "users.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A second member of the group: an operator beside the service user.
const kt::User kOtherMember{64613, 64613, {kt::kSharedGroup}};

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Everything about a folder's contents that a change would show.
std::map<std::string, std::string> snapshot(const std::string &folder) {
  std::map<std::string, std::string> out;
  auto add = [&](const fs::path &p) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return;
    std::string entry = octal(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                        std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " " +
                        std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) {
      entry += ' ';
      entry += std::to_string(std::hash<std::string>{}(kt::readFile(p)));
    }
    out[p.string()] = entry;
  };
  add(folder);
  for (const auto &e : fs::recursive_directory_iterator(folder)) add(e.path());
  return out;
}

// A station's state folder shared by kt::kSharedGroup, with a session, a map and two nodes,
// one of them flagged, all made by root (as an administrator would with sudo).
class SharedDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kt::canSwitchUsers()) GTEST_SKIP() << "needs root and setpriv to run as other users";
    ASSERT_EQ(0, chmod(top_.path().c_str(), 0755));
    programs_ = kt::copyForOthers(programsDir_, {"ovw", "mossick", "quenby"});
    state_ = top_.file("kestara");
    ASSERT_EQ(0, mkdir(state_.c_str(), 0700));
    kt::shareWithGroup(state_, kt::kSharedGroup);
    db_ = state_ + "/ovw.db";
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-fields"}, {"start", "session"}, {"open", "map"}}) {
      ASSERT_EQ(0, root(args).status);
    }
    flagged_ = addNode("router7", "router7.example");
    plain_ = addNode("switch3", "switch3.example");
    ASSERT_EQ(0, root({"set", "field", flagged_, "isKestaraDevice", "true"}).status);
    // A folder of the member's own for mossick's log.
    ASSERT_EQ(0, chown(logs_.path().c_str(), kt::kMember.uid, kt::kMember.gid));
  }

  kt::Env env() const {
    return {{"OVW_DATABASE", db_},
            {"OV_EVENT_ADDRESS", "udp:127.0.0.1:9"},
            {"OVW_REGISTRATION_DIR", programs_ + "/registration"}};
  }
  std::string program(const char *name) const { return programs_ + "/" + name; }
  kt::RunResult root(std::vector<std::string> args) const {
    args.insert(args.begin(), program("ovw"));
    return kt::run(args, env());
  }
  kt::RunResult ovwAs(const kt::User &user, std::vector<std::string> args) const {
    args.insert(args.begin(), program("ovw"));
    return kt::run(kt::asUser(user, args), env());
  }
  std::string addNode(const std::string &host, const std::string &selection) {
    kt::RunResult r = root({"add", "node", host, selection, "--no-trap"});
    EXPECT_EQ(0, r.status) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  }
  kt::Process startAs(const kt::User &user, std::vector<std::string> argv) const {
    return kt::Process::start(kt::asUser(user, argv), env());
  }
  size_t icons() const {
    std::string list = root({"list"}).out;
    size_t n = 0;
    for (size_t at = list.find("Software:Varnis"); at != std::string::npos;
         at = list.find("Software:Varnis", at + 1)) {
      ++n;
    }
    return n;
  }
  // Every file and folder in the state folder: for the owner and the group only, in the group.
  void expectSharedModes() const {
    size_t fifos = 0;
    for (const auto &e : fs::recursive_directory_iterator(state_)) {
      struct stat st {};
      ASSERT_EQ(0, lstat(e.path().c_str(), &st));
      SCOPED_TRACE(e.path().string() + " " + octal(st.st_mode));
      EXPECT_EQ(kt::kSharedGroup, st.st_gid);
      if (S_ISDIR(st.st_mode)) {
        EXPECT_EQ(02770u, st.st_mode & 07777);
      } else {
        EXPECT_TRUE(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode));
        EXPECT_EQ(0660u, st.st_mode & 07777);
        if (S_ISFIFO(st.st_mode)) ++fifos;
      }
    }
    EXPECT_GT(fifos, 0u) << "checked while nobody was attached";
  }

  kt::TempDir top_;
  kt::TempDir logs_;
  kt::TempDir programsDir_;
  std::string programs_;  // copies of the programs and registration files
  std::string state_;
  std::string db_;
  std::string flagged_;
  std::string plain_;
};

// The member runs the console's programs and the tool, with a umask that would shut the group
// out; what they make stays usable by the group's other members.
TEST_F(SharedDatabase, MembersRunOvwMossickAndQuenby) {
  kt::RunResult listed = ovwAs(kt::kMember, {"list"});
  EXPECT_EQ(0, listed.status) << listed.err;
  EXPECT_NE(std::string::npos, listed.out.find("router7"));

  std::vector<std::string> mossickArgs = {"/bin/sh", "-c", "umask 077; exec \"$0\" -l \"$1\"",
                                          program("mossick"), logs_.file("mossick.log")};
  kt::Process mossick = startAs(kt::kMember, mossickArgs);
  ASSERT_TRUE(kt::eventually([&] { return icons() == 1; }, kt::scaled(10s)))
      << mossick.output() << mossick.errors();
  kt::Process quenby = startAs(kt::kMember, {program("quenby")});
  ASSERT_TRUE(quenby.waitForOutput("Listening on UDP port 8008", kt::scaled(10s)))
      << quenby.output();

  // Another member adds a device and selects it: mossick places its icon, quenby names it.
  std::string added =
      ovwAs(kOtherMember, {"add", "node", "router9", "router9.example", "--no-trap"}).out;
  added = added.substr(0, added.find('\n'));
  ASSERT_FALSE(added.empty());
  ASSERT_EQ(0, ovwAs(kOtherMember, {"set", "field", added, "isKestaraDevice", "true"}).status);
  ASSERT_EQ(0, ovwAs(kOtherMember, {"open", "submap", added}).status);
  ASSERT_EQ(0, ovwAs(kOtherMember, {"select", added}).status);
  kt::UdpClient applet("127.0.0.1");
  EXPECT_EQ("router9.example", applet.request("127.0.0.1", 8008, "getHostName", kt::scaled(5s)));
  expectSharedModes();
  kt::RunResult check = ovwAs(kOtherMember, {"check"});
  EXPECT_EQ(0, check.status) << check.out << check.err;

  // The session's end, by the other member, reaches mossick through its FIFO.
  ASSERT_EQ(0, ovwAs(kOtherMember, {"end", "session"}).status);
  EXPECT_EQ(0, mossick.wait(kt::scaled(10s))) << mossick.output();
  quenby.stop();
}

// Anyone outside the group is told which file stands in the way and which group to join, and
// nothing in the state folder changes: not the database, not a mode, not a new file.
TEST_F(SharedDatabase, StrangersAreRefusedAndChangeNothing) {
  const std::map<std::string, std::string> before = snapshot(state_);
  const std::string group = std::to_string(kt::kSharedGroup);

  struct Case {
    const char *name;
    mode_t folderMode;     // of the state folder
    std::string blocking;  // the path the message must name
  };
  for (const Case &c : {Case{"folder closed", 02770, state_ + " "},
                        Case{"folder open, files closed", 02755, db_ + " "}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, chmod(state_.c_str(), c.folderMode));
    const std::map<std::string, std::string> start = snapshot(state_);
    for (std::vector<std::string> args : {std::vector<std::string>{"list"},
                                          {"add", "node", "intruder", "--no-trap"},
                                          {"set", "field", flagged_, "isKestaraDevice", "false"},
                                          {"-fields"}}) {
      kt::RunResult r = ovwAs(kt::kStranger, args);
      EXPECT_EQ(1, r.status) << args[0];
      EXPECT_NE(std::string::npos, r.err.find("permission denied on " + c.blocking)) << r.err;
      EXPECT_NE(std::string::npos, r.err.find("member of group " + group)) << r.err;
    }

    kt::Process mossick = startAs(kt::kStranger, {program("mossick")});
    EXPECT_EQ(255, mossick.wait(kt::scaled(10s)));
    EXPECT_NE(std::string::npos, mossick.output().find("permission denied on " + c.blocking))
        << mossick.output();

    kt::Process quenby = startAs(kt::kStranger, {program("quenby")});
    ASSERT_TRUE(quenby.waitForOutput("Listening on UDP port 8008", kt::scaled(10s)))
        << quenby.output();
    kt::UdpClient applet("127.0.0.1");
    std::optional<std::string> reply =
        applet.request("127.0.0.1", 8008, "getHostName", kt::scaled(5s));
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->starts_with("failed:OVwInitSession, error 2,")) << *reply;
    quenby.stop();

    EXPECT_EQ(start, snapshot(state_));
  }
  ASSERT_EQ(0, chmod(state_.c_str(), 02770));
  EXPECT_EQ(before, snapshot(state_));
}

}  // namespace
