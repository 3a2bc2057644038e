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
    "NOTIFY_SOCKET (systemd).\n";

// The options count only when there is exactly one argument: "-sa" at its start gives
// stand-alone mode, and an "l" after it the listener as well.
void readOptions(int argc, char **argv) {
  if (argc != 2 || std::strncmp(argv[1], "-sa", 3) != 0) return;
  standAloneMode = true;
  std::printf("StandAlone mode - will not need OV PMD");
  if (argv[1][3] == 'l') {
    loopForCallback = true;
    std::printf(" - Will loop for SNMP Callback");
  }
  std::printf("\n");
}

// The event session is opened before the sweep, so that a node added or changed while the
// sweep runs is probed once listening begins instead of being missed.
int runStandAlone() {
  if (loopForCallback) (void)openNodeEvents();
  (void)sweepDevices();
  if (loopForCallback) {
    std::printf("\n");
    (void)listenForNodeEvents(0);
  }
  OVwDbDone();
  return 0;
}

int runUnderPmd() {
  int pmdSocket = 0;
  if (OVsInit(&pmdSocket) < 0) {
    std::printf("PMD Init failed!!! \n");
    OVwDbDone();
    return -1;
  }
  const bool events = openNodeEvents();
  if (sweepDevices() == 0) {
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Kestara Field not defined - run \"ovw -fields\"");
    closeNodeEvents();
    OVwDbDone();
    return -1;
  }
  // Without its event session the daemon can't do its work: it does not report a start, so
  // that the process manager tries again (the event address may be taken for a while).
  if (!events) {
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Could not open the event session at OV_EVENT_ADDRESS");
    OVwDbDone();
    return -1;
  }
  if (OVsInitComplete(OVS_RSP_SUCCESS, "Initialization Complete") < 0) {
    std::printf("OVsInitComplete failed\n");
    closeNodeEvents();
    OVwDbDone();
    return -1;
  }
  if (listenForNodeEvents(pmdSocket) == 1) {
    OVsPMDCommand command{};
    (void)OVsReceive(&command);
  }
  (void)OVsDone("Exiting.....");
  OVwDbDone();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a log or a pipe as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (answerInfoOption(std::span<char *const>(argv, static_cast<size_t>(argc)), "ferrow", kUsage)) {
    return 0;
  }
  readOptions(argc, argv);
  if (OVwDbInit() < 0) {
    std::printf("Error encountered in findFields\n");
    return -1;
  }
  return standAloneMode ? runStandAlone() : runUnderPmd();
}
