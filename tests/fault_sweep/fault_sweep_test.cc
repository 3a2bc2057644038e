// The fault sweep: each program's main story, run with its 1st, 2nd, ... platform call failed,
// once and from then on. Whatever fails, a program must not crash, must end with its documented
// exit status, must leave no icon object without its symbol (mossick), and must leave every flag
// at its old or its new value, never the wrong one (ferrow).
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "notify_socket.h"
#include "snmp_agent.h"
#include "station.h"
#include "sweep.h"

namespace fault_sweep {
namespace {

using namespace std::chrono_literals;

constexpr int kFailedStart = 255;  // exit(-1)
constexpr int kStopped = 128 + SIGTERM;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";

// Programs without fixed ports run two stories at a time: a run waits for its processes
// about half of its time.
const SweepOptions kTwoAtATime{.parallel = 2};

// The environment of a program under test: the client configuration with short SNMP
// time-outs, the run's database and the run's fault rules.
kt::Env programEnv(const kt::TempDir &conf, const std::string &database, const StoryRun &run,
                   kt::Env extra = {}) {
  kt::Env env = kt::clientEnv(conf);
  env.emplace_back("OVW_DATABASE", database);
  for (auto &entry : run.env()) env.push_back(entry);
  for (auto &entry : extra) env.push_back(entry);
  return env;
}

std::unique_ptr<kt::Process> startProgram(const std::string &program, const kt::Env &env,
                                          std::vector<std::string> args = {}) {
  args.insert(args.begin(), kt::binPath(program));
  return std::make_unique<kt::Process>(kt::Process::start(args, env));
}

size_t countOf(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool isNumber(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

// A reply of the selection lookup: the expected name, or one of its failure texts; never the
// name of another object.
bool selectionReplyOk(const std::optional<std::string> &reply, const std::string &expected) {
  if (!reply) return false;
  return *reply == expected || reply->starts_with("failed") || *reply == "gethostname failed\n";
}

std::string show(const std::optional<std::string> &reply) {
  return reply ? "\"" + *reply + "\"" : std::string("no reply");
}

// --- ferrow -----------------------------------------------------------------------------------

// Under process management: the start (database, event session, sweep, start report), then a
// stop request. Two nodes of a device agent and two of a non-device agent, each with the flag
// set and clear: a device's flag may only stay or become set, a non-device's only stay or
// become clear.
TEST(FaultSweep, FerrowStartAndSweep) {
  auto device = kt::SnmpAgent::start();
  kt::AgentOptions nonDeviceOptions;
  nonDeviceOptions.probe = false;
  auto nonDevice = kt::SnmpAgent::start(nonDeviceOptions);
  ASSERT_TRUE(device && nonDevice);
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 0.5, 0);

  Database db;
  // Host names are unique: the second node of each agent names it with its transport.
  const std::string udp = "udp:";
  const uint32_t deviceSet = db.addNode(device->peer(), device->peer(), true);
  const uint32_t deviceClear = db.addNode(udp + device->peer(), udp + device->peer(), false);
  const uint32_t nonDeviceSet = db.addNode(nonDevice->peer(), nonDevice->peer(), true);
  const uint32_t nonDeviceClear =
      db.addNode(udp + nonDevice->peer(), udp + nonDevice->peer(), false);
  db.freeze();

  sweep(
      "ferrow",
      [&](const StoryRun &run) {
        Problems problems;
        kt::TempDir dir(kt::TempDir::InMemory{});
        const std::string database = db.copyTo(dir);
        kt::NotifySocket notify(dir.file("notify"));
        const std::string eventAddress = "udp:127.0.0.1:" + std::to_string(kt::freeUdpPort());
        auto ferrow = startProgram("ferrow", programEnv(conf, database, run,
                                                        {{"NOTIFY_SOCKET", notify.path()},
                                                         {"OV_EVENT_ADDRESS", eventAddress}}));
        // It ends by itself after a failed start; after READY it listens until asked to stop.
        (void)kt::eventually(
            [&] { return contains(notify.received(), "READY=1") || !ferrow->running(); }, 30s);
        // A stop request is taken as an orderly end once the daemon has registered.
        ferrow->signal(SIGTERM);
        std::optional<int> status = ferrow->wait(10s);
        if (!status) ferrow->stop();
        checkEnd(status, ferrow->errors(), std::nullopt, problems);
        const bool ready = contains(notify.received(), "READY=1");
        if (status == 0 && !ready) problems.push_back("status 0 without READY");
        if (status == kFailedStart && ready) problems.push_back("status -1 after READY");
        if (status && *status != 0 && *status != kFailedStart) {
          problems.push_back("exit status " + std::to_string(*status));
        }
        if (run.clean() && status != 0) problems.push_back("the clean run did not start and stop");

        const Listing after = list(db, database);
        auto flag = [&](uint32_t id) { return after.flags.count(id) != 0 && after.flags.at(id); };
        if (!flag(deviceSet)) problems.push_back("a device's flag was cleared");
        if (flag(nonDeviceClear)) problems.push_back("a non-device's flag was set");
        if (run.clean() && (!flag(deviceClear) || flag(nonDeviceSet))) {
          problems.push_back("the clean sweep did not bring the flags up to date");
        }
        if (!problems.empty()) problems.push_back("ferrow's output:\n" + tail(ferrow->output()));
        return problems;
      },
      kTwoAtATime);
}

// --- mossick ----------------------------------------------------------------------------------

// The map open at start-up places the icon of a flagged node; then the submap of an unflagged
// device is opened and a new device is added (each probed, flagged and given its icon); then
// the session ends (map close, end of session).
TEST(FaultSweep, MossickMapAndIcons) {
  auto device = kt::SnmpAgent::start();
  ASSERT_TRUE(device);
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 0.5, 0);

  // Three nodes of the one device agent, under names of their own.
  for (const char *host : {"alpha.test", "bravo.test", "delta.test"}) {
    kt::writeHostConfig(conf, host, device->peer(), "");
  }

  Database db;
  db.ovw({"start", "session"});
  db.ovw({"open", "map"});
  (void)db.addNode("alpha.test", "alpha", true);
  const uint32_t bravo = db.addNode("bravo.test", "bravo", false);
  db.freeze();
  std::set<uint32_t> before;
  {
    kt::TempDir dir(kt::TempDir::InMemory{});
    for (const auto &[id, flagged] : list(db, db.copyTo(dir)).flags) before.insert(id);
  }

  sweep(
      "mossick",
      [&](const StoryRun &run) {
        Problems problems;
        kt::TempDir dir(kt::TempDir::InMemory{});
        const std::string database = db.copyTo(dir);
        auto mossick = startProgram("mossick", programEnv(conf, database, run));
        std::optional<int> sent;
        uint32_t delta = 0;
        // In its message loop: every handler is registered, so the events below reach it.
        // From then on, a loop that can't read its events waits for its platform until it is
        // stopped: it never learns that the session ended.
        auto stuck = [&] {
          return run.fromThenOn() && contains(mossick->output(), "OVwGetMessage() failed");
        };
        if (waitForCall(run.reportPath, "OVwGetMessage", *mossick)) {
          db.ovw({"open", "submap", std::to_string(bravo)}, database);
          delta = static_cast<uint32_t>(std::strtoul(
              db.ovw({"add", "node", "--no-trap", "delta.test", "delta"}, database).c_str(),
              nullptr, 10));
          if (!stuck()) db.ovw({"end", "session", "--timeout-ms", "1000"}, database);
          (void)kt::eventually([&] { return !mossick->running() || stuck(); }, 10s);
          if (mossick->running() && stuck()) {
            mossick->signal(SIGTERM);
            sent = SIGTERM;
          }
        }
        std::optional<int> status = mossick->wait(10s);
        if (!status) mossick->stop();
        checkEnd(status, mossick->errors(), sent, problems);
        const std::string out = mossick->output();
        if (status == kFailedStart) {
          if (!contains(out, "OVwInitSession() failed") && !contains(out, "field does not exist")) {
            problems.push_back("status -1 without a failed start");
          }
        } else if (status && *status != 0 && *status != kStopped) {
          problems.push_back("exit status " + std::to_string(*status));
        }
        if (run.clean() && (status != 0 || countOf(out, "  Added icon for child ") != 3)) {
          problems.push_back("the clean run did not place three icons and end");
        }

        // Every object mossick created holds its symbol, or held it until the map closed (the
        // icons it announced). Without announcing it, it keeps an icon without its action; and
        // from then on, an object whose symbol could not be made can't be deleted either.
        const Listing after = list(db, database);
        size_t orphans = 0;
        for (const auto &[id, flagged] : after.flags) {
          if (before.count(id) != 0 || id == delta || after.symbolsOf(id) != 0) continue;
          if (!contains(out, "  Added icon for child " + std::to_string(id) + ";")) ++orphans;
        }
        size_t excused = countOf(out, "addAppIcon: Could not set symbol behavior");
        if (run.fromThenOn() && contains(out, "addAppIcon: Could not create symbol")) ++excused;
        if (orphans > excused) {
          problems.push_back(std::to_string(orphans) + " icon objects left without their symbols");
        }
        if (!problems.empty()) problems.push_back("mossick's output:\n" + tail(out));
        return problems;
      },
      kTwoAtATime);
}

// --- tavrin -----------------------------------------------------------------------------------

// An applet on the station opens a session to the device, reads its sysName, asks for the
// selected node and closes the session; then the gateway is asked to stop. Every request gets
// one reply, which is the right answer or one of the documented failure texts.
TEST(FaultSweep, TavrinServesSnmpDataAndHostName) {
  auto device = kt::SnmpAgent::start();
  ASSERT_TRUE(device);
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 0.5, 0);

  Database db;
  db.ovw({"start", "session"});
  db.ovw({"open", "map"});
  const uint32_t alpha = db.addNode(device->peer(), "alpha", true);
  db.ovw({"select", std::to_string(alpha)});
  db.freeze();

  sweep("tavrin", [&](const StoryRun &run) {
    Problems problems;
    kt::TempDir dir(kt::TempDir::InMemory{});
    auto tavrin = startProgram(
        "tavrin", programEnv(conf, db.copyTo(dir), run, {{"OV_SERVER_NAME", "127.0.0.1"}}));
    if (tavrin->waitForOutput("Will wait on select", kt::scaled(20s))) {
      kt::UdpClient applet("127.0.0.1");
      auto ask = [&](const std::string &request) {
        return applet.request("127.0.0.1", 8088, request, 5s);
      };
      const std::optional<std::string> session = ask("openSnmpSession#" + device->peer());
      const bool opened = session && isNumber(*session) && *session != "0";
      if (!opened && session != "failed: Could not open SNMP session") {
        problems.push_back("openSnmpSession: " + show(session));
      }
      const std::string number = opened ? *session : "0";
      const std::optional<std::string> value =
          ask("getSnmpData#" + number + "#" + std::string(kSysName));
      if (value != "kestara-test-agent" && value != "No Such Object" && value != "No Response") {
        problems.push_back("getSnmpData: " + show(value));
      }
      const std::optional<std::string> host = ask("getHostName");
      if (!selectionReplyOk(host, "alpha")) problems.push_back("getHostName: " + show(host));
      const std::optional<std::string> closed = ask("closeSession#" + number);
      if (closed != "close") problems.push_back("closeSession: " + show(closed));
      if (run.clean() && (value != "kestara-test-agent" || host != "alpha")) {
        problems.push_back("the clean run was not answered in full");
      }
    } else {
      problems.push_back("not ready");
    }
    tavrin->signal(SIGTERM);
    std::optional<int> status = tavrin->wait(10s);
    if (!status) tavrin->stop();
    checkEnd(status, tavrin->errors(), std::nullopt, problems);
    if (status && *status != 0) problems.push_back("exit status " + std::to_string(*status));
    if (!problems.empty()) problems.push_back("tavrin's output:\n" + tail(tavrin->output()));
    return problems;
  });
}

// --- quenby -----------------------------------------------------------------------------------

// A console's selection server is asked twice: with a flagged node selected (its name), then
// with an unflagged node selected ("failed: bravo not KestaraDevice"). It serves until it is
// stopped from outside.
TEST(FaultSweep, QuenbyAnswers) {
  Database db;
  db.ovw({"start", "session"});
  db.ovw({"open", "map"});
  const uint32_t alpha = db.addNode("alpha.test", "alpha", true);
  const uint32_t bravo = db.addNode("bravo.test", "bravo", false);
  db.ovw({"select", std::to_string(alpha)});
  db.freeze();

  sweep("quenby", [&](const StoryRun &run) {
    Problems problems;
    kt::TempDir dir(kt::TempDir::InMemory{});
    const std::string database = db.copyTo(dir);
    kt::Env env = {{"OVW_DATABASE", database}};
    for (auto &entry : run.env()) env.push_back(entry);
    auto quenby = startProgram("quenby", env);
    if (quenby->waitForOutput("Listening on UDP port 8008", kt::scaled(20s))) {
      kt::UdpClient tavrin("127.0.0.1");
      const std::optional<std::string> first = tavrin.request("127.0.0.1", 8008, "getHostName", 5s);
      if (!selectionReplyOk(first, "alpha")) problems.push_back("first reply: " + show(first));
      db.ovw({"select", std::to_string(bravo)}, database);
      const std::optional<std::string> second =
          tavrin.request("127.0.0.1", 8008, "getHostName", 5s);
      if (!selectionReplyOk(second, "failed: bravo not KestaraDevice")) {
        problems.push_back("second reply: " + show(second));
      }
      if (run.clean() && (first != "alpha" || second != "failed: bravo not KestaraDevice")) {
        problems.push_back("the clean run was not answered right");
      }
    } else {
      problems.push_back("not listening");
    }
    quenby->signal(SIGTERM);
    std::optional<int> status = quenby->wait(10s);
    if (!status) quenby->stop();
    checkEnd(status, quenby->errors(), SIGTERM, problems);
    if (status && *status != kStopped) problems.push_back("exit status " + std::to_string(*status));
    if (!problems.empty()) problems.push_back("quenby's output:\n" + tail(quenby->output()));
    return problems;
  });
}

}  // namespace
}  // namespace fault_sweep
