// ovw_api.cc - the C entry points of the OVw library (OVw.h). Each one runs its inner call and
// converts the outcome to the C convention (a failure return, and the error for OVwError)
// through entry(); the work itself is in sessions, dispatch, maps and objects.
#include "OVw.h"
#include "dispatch.h"
#include "handles.h"
#include "library.h"
#include "maps.h"
#include "objects.h"
#include "sessions.h"

using namespace kestara::ovw::library;  // NOLINT(google-build-using-namespace): the C entry points

// --- Sessions -------------------------------------------------------------------------------

extern "C" int OVwDbInit(void) {
  return entry("OVwDbInit", -1, [] { return openDatabase(); });
}

extern "C" void OVwDbDone(void) {
  (void)entryUnchecked(0, [] {
    closeDatabase();
    return kestara::ovw::Status::Ok();
  });
}

extern "C" int _OVwInitSession(int version, const char *application, const char *session_name) {
  return entry("_OVwInitSession", -1,
               [&] { return initSession(version, application, session_name); });
}

extern "C" const char *OVwSessionId(void) {
  return entryUnchecked<const char *>(nullptr, [] { return sessionId(); });
}

extern "C" void OVwDone(void) {
  (void)entryUnchecked(0, [] {
    detach();
    return kestara::ovw::Status::Ok();
  });
}

extern "C" int OVwAddCallback(int event, const OVwFieldBindList *filter, OVwCallbackProc handler,
                              void *client_data) {
  return entry("OVwAddCallback", -1,
               [&] { return addCallback(event, filter, handler, client_data); });
}

// --- Message loop ---------------------------------------------------------------------------

extern "C" int OVwGetMessage(OVwMessage *message) {
  return entry(
      "OVwGetMessage", -1, [](const kestara::ovw::Error &e) { return endOfMessages(e) ? 0 : -1; },
      [&] { return getMessage(message); });
}

extern "C" int OVwTranslateMessage(const OVwMessage *message) {
  (void)message;
  return 0;
}

extern "C" int OVwDispatchMessage(const OVwMessage *message) {
  return entry("OVwDispatchMessage", -1, [&] { return dispatchMessage(message); });
}

extern "C" int OVwEventDescriptor(void) { return eventDescriptor(); }

// --- Maps, submaps and symbols --------------------------------------------------------------

extern "C" OVwMapInfo *OVwGetMapInfo(void) {
  return entry<OVwMapInfo *>("OVwGetMapInfo", nullptr, [] { return openMapInfo(); });
}

extern "C" void OVwFreeMapInfo(OVwMapInfo *map) { release(map, Kind::kMap); }

extern "C" int OVwBeginMapSync(OVwMapInfo *map) {
  return entry("OVwBeginMapSync", -1, [&] { return beginMapSync(map); });
}

extern "C" int OVwEndMapSync(OVwMapInfo *map) {
  return entry("OVwEndMapSync", -1, [&] { return endMapSync(map); });
}

extern "C" int OVwAckMapClose(OVwMapInfo *map, const OVwMapCloseInfo *close_info) {
  return entry("OVwAckMapClose", -1, [&] { return ackMapClose(map, close_info); });
}

extern "C" OVwObjectIdList *OVwGetSelections(OVwMapInfo *map, const char *reserved) {
  return entry<OVwObjectIdList *>("OVwGetSelections", nullptr,
                                  [&] { return selections(map, reserved); });
}

extern "C" OVwSymbolList *OVwGetSymbolsByObject(OVwMapInfo *map, OVwObjectId object) {
  return entry<OVwSymbolList *>("OVwGetSymbolsByObject", nullptr,
                                [&] { return symbolsByObject(map, object); });
}

extern "C" OVwSymbolList *OVwListSymbols(OVwMapInfo *map, OVwSubmapId submap, int kind,
                                         const char *application) {
  return entry<OVwSymbolList *>("OVwListSymbols", nullptr,
                                [&] { return listSymbols(map, submap, kind, application); });
}

extern "C" void OVwFreeSymbolList(OVwSymbolList *list) { release(list, Kind::kSymbolList); }

extern "C" OVwSymbolInfo *OVwGetSymbolInfo(OVwMapInfo *map, OVwSymbolId symbol) {
  return entry<OVwSymbolInfo *>("OVwGetSymbolInfo", nullptr,
                                [&] { return symbolInfo(map, symbol); });
}

extern "C" void OVwFreeSymbolInfo(OVwSymbolInfo *info) { release(info, Kind::kSymbolInfo); }

extern "C" OVwSubmapInfo *OVwGetSubmapInfo(OVwMapInfo *map, OVwSubmapId submap) {
  return entry<OVwSubmapInfo *>("OVwGetSubmapInfo", nullptr,
                                [&] { return submapInfo(map, submap); });
}

extern "C" void OVwFreeSubmapInfo(OVwSubmapInfo *info) { release(info, Kind::kSubmapInfo); }

extern "C" OVwObjectInfo *OVwGetObjectInfo(OVwMapInfo *map, OVwObjectId object) {
  return entry<OVwObjectInfo *>("OVwGetObjectInfo", nullptr,
                                [&] { return objectInfo(map, object); });
}

extern "C" void OVwFreeObjectInfo(OVwObjectInfo *info) { release(info, Kind::kObjectInfo); }

extern "C" OVwObjectList *OVwListObjectsOnMap(OVwMapInfo *map, const OVwFieldBindList *filter) {
  return entry<OVwObjectList *>("OVwListObjectsOnMap", nullptr,
                                [&] { return listObjectsOnMap(map, filter); });
}

extern "C" void OVwFreeObjectList(OVwObjectList *list) { release(list, Kind::kObjectList); }

extern "C" OVwSymbolId OVwCreateSymbol(OVwMapInfo *map, OVwSubmapId submap, OVwObjectId object,
                                       const char *symbol_type, const char *label, int status,
                                       int variety, int position, int flags) {
  (void)position;  // symbols are always placed automatically
  return entry<OVwSymbolId>("OVwCreateSymbol", 0, [&] {
    return createSymbol(map, submap, object, symbol_type, label, status, variety, flags);
  });
}

extern "C" int OVwSetSymbolBehavior(OVwMapInfo *map, OVwSymbolId symbol, int behavior,
                                    const char *application, const char *action,
                                    const OVwObjectIdList *targets) {
  return entry("OVwSetSymbolBehavior", -1, [&] {
    return setSymbolBehavior(map, symbol, behavior, application, action, targets);
  });
}

extern "C" int OVwDeleteSymbol(OVwMapInfo *map, OVwSymbolId symbol) {
  return entry("OVwDeleteSymbol", -1, [&] { return deleteSymbol(map, symbol); });
}

// --- Object database ------------------------------------------------------------------------

extern "C" OVwFieldId OVwDbFieldNameToFieldId(const char *name) {
  return entry<OVwFieldId>("OVwDbFieldNameToFieldId", 0, [&] { return fieldIdByName(name); });
}

extern "C" int OVwDbGetFieldBooleanValue(OVwObjectId object, OVwFieldId field) {
  return entry("OVwDbGetFieldBooleanValue", -1, [&] { return booleanValue(object, field); });
}

extern "C" int OVwDbSetFieldBooleanValue(OVwObjectId object, OVwFieldId field, int value) {
  return entry("OVwDbSetFieldBooleanValue", -1,
               [&] { return setBooleanValue(object, field, value != 0); });
}

extern "C" int OVwDbBeginWriteGroup(void) {
  return entry("OVwDbBeginWriteGroup", -1, [] { return beginWriteGroup(); });
}

extern "C" int OVwDbEndWriteGroup(void) {
  return entryUnchecked(-1, [] { return endWriteGroup(); });  // asks the seam itself
}

extern "C" OVwObjectIdList *OVwDbListObjectsByFieldValues(const OVwFieldBindList *filter) {
  return entry<OVwObjectIdList *>("OVwDbListObjectsByFieldValues", nullptr,
                                  [&] { return listObjectsByFieldValues(filter); });
}

extern "C" void OVwDbFreeObjectIdList(OVwObjectIdList *list) { release(list, Kind::kIdList); }

extern "C" const char *OVwDbObjectIdToSelectionName(OVwObjectId object) {
  return entry<const char *>("OVwDbObjectIdToSelectionName", nullptr,
                             [&] { return objectSelectionName(object); });
}

extern "C" const char *OVwDbObjectIdToHostname(OVwObjectId object) {
  return entry<const char *>("OVwDbObjectIdToHostname", nullptr,
                             [&] { return objectHostname(object); });
}

extern "C" OVwObjectId OVwDbHostnameToObjectId(const char *name) {
  return entry<OVwObjectId>("OVwDbHostnameToObjectId", 0, [&] { return objectIdByHostname(name); });
}

extern "C" OVwObjectId OVwDbSelectionNameToObjectId(const char *name) {
  return entry<OVwObjectId>("OVwDbSelectionNameToObjectId", 0,
                            [&] { return objectIdBySelectionName(name); });
}

extern "C" OVwObjectId OVwDbCreateObject(const OVwFieldBindList *fields) {
  return entry<OVwObjectId>("OVwDbCreateObject", 0, [&] { return createObject(fields); });
}

extern "C" int OVwDbDeleteObject(OVwObjectId object) {
  return entry("OVwDbDeleteObject", -1, [&] { return deleteObject(object); });
}

// --- Errors ---------------------------------------------------------------------------------

extern "C" int OVwError(void) { return lib().error; }

extern "C" const char *OVwErrorMsg(int code) {
  Library &l = lib();
  try {
    l.error_text = errorMessage(code);
    return l.error_text.c_str();
  } catch (...) {
    return "out of memory";
  }
}
