// ferrow.cc - the discovery daemon: sweeps the object database, then keeps isKestaraDevice
// current from node events. Runs under process management, or stand-alone with -sa / -sal.
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "OVs.h"
#include "OVw.h"
#include "discovery.h"
#include "program_info.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: ferrow [-sa | -sal]\n"
    "The discovery daemon: probes every SNMP node of the object database and keeps its\n"
    "isKestaraDevice flag current, then follows node events.\n"
    "  (none)     under process management: reports its start after the sweep, then\n"
    "             listens for node events until asked to stop\n"
    "  -sa        stand-alone: one sweep, a summary and the flagged devices, then exit\n"
    "  -sal       stand-alone: the sweep, then node events until the event session ends\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "Environment: OVW_DATABASE (the object database), OV_EVENT_ADDRESS (where node events\n"
    "arrive, default udp:127.0.0.1:162), SNMPCONFPATH (net-snmp's client configuration),\n"
    "FERROW_SWEEP_WINDOW (probes in flight at once in the sweep, 1 to 512, default 64),\n"
    "NOTIFY_SOCKET (systemd).\n";

// The run mode, from the command line.
struct Options {
  bool standAlone = false;       // -sa: no process manager; the sweep prints its summary
  bool loopForCallback = false;  // -sal: and the listener after the sweep
};

// The options count only when there is exactly one argument: "-sa" at its start gives
// stand-alone mode, and an "l" after it the listener as well.
Options readOptions(int argc, char **argv) {
  Options options;
  if (argc != 2 || std::strncmp(argv[1], "-sa", 3) != 0) return options;
  options.standAlone = true;
  std::printf("StandAlone mode - will not need OV PMD");
  if (argv[1][3] == 'l') {
    options.loopForCallback = true;
    std::printf(" - Will loop for SNMP Callback");
  }
  std::printf("\n");
  return options;
}

// The object database, open from OVwDbInit until the owner goes.
class Database {
 public:
  Database() = default;
  ~Database() {
    if (open_) OVwDbDone();
  }
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;
  [[nodiscard]] bool open() {
    open_ = OVwDbInit() >= 0;
    return open_;
  }

 private:
  bool open_ = false;
};

// Everything the daemon holds for its run. The event session is closed before the database
// on every way out.
struct Daemon {
  Options options;
  Database database;
  NodeEventListener events;
};

// The event session is opened before the sweep, so that a node added or changed while the
// sweep runs is probed once listening begins instead of being missed.
int runStandAlone(Daemon &daemon) {
  const bool events = daemon.options.loopForCallback && daemon.events.open();
  (void)sweepDevices(SweepSummary::kPrinted, sweepWindow(), events ? &daemon.events : nullptr);
  if (daemon.options.loopForCallback) {
    std::printf("\n");
    (void)daemon.events.listen(0);
  }
  return 0;
}

int runUnderPmd(Daemon &daemon) {
  int pmdSocket = 0;
  if (OVsInit(&pmdSocket) < 0) {
    std::printf("PMD Init failed!!! \n");
    return -1;
  }
  const bool events = daemon.events.open();
  if (!sweepDevices(SweepSummary::kNone, sweepWindow(), events ? &daemon.events : nullptr)) {
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Kestara Field not defined - run \"ovw -fields\"");
    return -1;
  }
  // Without its event session the daemon can't do its work: it says why (after the sweep's
  // lines) and does not report a start, so that the process manager tries again (the event
  // address may be taken for a while).
  if (!events) {
    (void)daemon.events.listen(pmdSocket);
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Could not open the event session at OV_EVENT_ADDRESS");
    return -1;
  }
  if (OVsInitComplete(OVS_RSP_SUCCESS, "Initialization Complete") < 0) {
    std::printf("OVsInitComplete failed\n");
    return -1;
  }
  if (daemon.events.listen(pmdSocket) == NodeEventListener::End::kStopRequested) {
    OVsPMDCommand command{};
    (void)OVsReceive(&command);
  }
  (void)OVsDone("Exiting.....");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (answerInfoOption(std::span<char *const>(argv, static_cast<size_t>(argc)), "ferrow", kUsage)) {
    return 0;
  }
  Daemon daemon;
  daemon.options = readOptions(argc, argv);
  if (!daemon.database.open()) {
    std::printf("Error encountered in findFields\n");
    return -1;
  }
  return daemon.options.standAlone ? runStandAlone(daemon) : runUnderPmd(daemon);
}
