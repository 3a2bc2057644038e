// mossick.cc - the console map application: joins the operator's map session, keeps the
// application icon on the submaps of Kestara devices, and ends with the session.
#include <unistd.h>

#include <cstdio>
#include <span>
#include <string_view>

#include "OVw.h"
#include "field_list.h"
#include "handles.h"
#include "icons.h"
#include "log.h"
#include "program_info.h"
#include "protocol.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: mossick [-l LOGFILE]\n"
    "The console map application: joins this host's map session and keeps the product's\n"
    "icon on the submaps of Kestara devices until the session ends.\n"
    "  -l LOGFILE  also append the messages to LOGFILE\n"
    "  --help      print this text and exit\n"
    "  --version   print the version and exit\n"
    "Environment: OVW_DATABASE (the object database with the map session), SNMPCONFPATH\n"
    "(net-snmp's client configuration).\n";

// Waits for each event of the session and lets the library run its handler, until the
// session ends or the wait reports the end.
void runMessageLoop(const Console &console) {
  bool failing = false;
  while (!console.sessionEnded()) {
    OVwMessage message{};
    int got = OVwGetMessage(&message);
    if (got == 0) break;
    if (got < 0) {
      // Nothing was read, so there is nothing to dispatch. Say so once per run of failures
      // and wait a little before the next try rather than spin.
      if (!failing) std::printf("OVwGetMessage() failed: %s\n", OVwErrorMsg(OVwError()));
      failing = true;
      usleep(100 * 1000);
      continue;
    }
    failing = false;
    (void)OVwTranslateMessage(&message);
    (void)OVwDispatchMessage(&message);
  }
}

// Leaves the map session when the program ends.
class SessionGuard {
 public:
  SessionGuard() = default;
  ~SessionGuard() { OVwDone(); }
  SessionGuard(const SessionGuard &) = delete;
  SessionGuard &operator=(const SessionGuard &) = delete;
};

}  // namespace

int main(int argc, char **argv) {
  // Lines must reach a pipe or a journal as they are written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (answerInfoOption(std::span<char *const>(argv, static_cast<size_t>(argc)), "mossick",
                       kUsage)) {
    return 0;
  }

  if (_OVwInitSession(5, kApplicationName, nullptr) < 0) {
    std::printf("OVwInitSession() failed: %s\n", OVwErrorMsg(OVwError()));
    return -1;
  }
  // From here on the session is left on every way out.
  const SessionGuard session;
  Console console;
  console.log().readOptions(std::span<char *const>(argv, static_cast<size_t>(argc)));

  if (OVwDbFieldNameToFieldId(kDeviceField) == 0) {
    std::printf(
        "\"isKestaraDevice\" field does not exist in OVwDB.\n\t\t\t\tMake sure install of Varnis "
        "Server mgr succeeded\n\t\t\t\tand run \"ovw -fields\".\n");
    return -1;
  }

  const FieldListPtr createdFilter(buildFieldValueList(2, kNodeField, kSnmpField));
  // Without its filter the handler would take every new object for an SNMP node.
  if (!createdFilter) {
    std::printf("Cannot add objectCreate Callback %s\n", OVwErrorMsg(OVW_ERR_NOMEM));
  } else if (OVwAddCallback(OVW_EVENT_OBJECT_CREATED, createdFilter.get(), Console::objectCreatedCB,
                            &console) < 0) {
    std::printf("Cannot add objectCreate Callback %s\n", OVwErrorMsg(OVwError()));
  }
  (void)OVwAddCallback(OVW_EVENT_END_SESSION, nullptr, Console::endSessionCB, &console);
  (void)OVwAddCallback(OVW_EVENT_MAP_OPEN, nullptr, Console::SMmapOpenCB, &console);
  (void)OVwAddCallback(OVW_EVENT_SUBMAP_OPEN, nullptr, Console::SMsubmapOpenCB, &console);
  (void)OVwAddCallback(OVW_EVENT_MAP_CLOSE, nullptr, Console::mapCloseCB, &console);
  (void)OVwAddCallback(OVW_EVENT_OBJECTS_DELETED, nullptr, Console::deleteObjectsCB, &console);

  // The map that is already open is handled as if it had just been opened.
  (void)Console::SMmapOpenCB(&console, OVW_EVENT_MAP_OPEN, nullptr, nullptr);

  runMessageLoop(console);

  console.cleanupObjects();
  console.releaseMap();
  console.log().message("================OVwDone called==================\n");
  console.log().stop();
  return 0;
}
