// ferrow.cc - the discovery daemon: sweeps the object database, then keeps isKestaraDevice
// current from node events. Runs under process management, or stand-alone with -sa / -sal.
#include <cstdio>
#include <cstring>

#include "OVs.h"
#include "OVw.h"
#include "discovery.h"

namespace {

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
  (void)openNodeEvents();
  if (sweepDevices() == 0) {
    (void)OVsInitComplete(OVS_RSP_FAILURE, "Kestara Field not defined - run \"ovw -fields\"");
    closeNodeEvents();
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
  readOptions(argc, argv);
  if (OVwDbInit() < 0) {
    std::printf("Error encountered in findFields\n");
    return -1;
  }
  return standAloneMode ? runStandAlone() : runUnderPmd();
}
