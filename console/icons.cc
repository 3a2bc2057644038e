// icons.cc - the application icon on the submaps of Kestara devices, and the map event
// handlers that place and remove it.
#include "icons.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "device.h"
#include "field_list.h"
#include "log.h"
#include "log_text.h"

namespace {

// --- Library records, given back on every path -----------------------------------------

template <typename T, void (*Free)(T *)>
struct Releaser {
  void operator()(T *p) const { Free(p); }
};
using MapPtr = std::unique_ptr<OVwMapInfo, Releaser<OVwMapInfo, OVwFreeMapInfo>>;
using SymbolListPtr = std::unique_ptr<OVwSymbolList, Releaser<OVwSymbolList, OVwFreeSymbolList>>;
using ObjectListPtr = std::unique_ptr<OVwObjectList, Releaser<OVwObjectList, OVwFreeObjectList>>;
using ObjectInfoPtr = std::unique_ptr<OVwObjectInfo, Releaser<OVwObjectInfo, OVwFreeObjectInfo>>;
using FieldListPtr =
    std::unique_ptr<OVwFieldBindList, Releaser<OVwFieldBindList, freeFieldValueList>>;

// --- Module state (main thread only) ----------------------------------------------------

std::array<OVwObjectId, kMaxObjects> objectTable{};
int objectCount = 0;
MapPtr currentMap;
std::array<char, kMsgBufSize> msgBuf{};

// The last OVw failure's text, which may name objects of the database: escaped for the console.
const char *lastErrorText() {
  static LogText text("");
  text = LogText(OVwErrorMsg(OVwError()));
  return text.c_str();
}

// A boolean field read as true: a failed read (-1) is not taken for a set field.
bool fieldIsTrue(OVwObjectId objectId, const char *fieldName) {
  return OVwDbGetFieldBooleanValue(objectId, OVwDbFieldNameToFieldId(fieldName)) > 0;
}

const char *selectionNameOf(OVwObjectId objectId) {
  return nameOrNull(OVwDbObjectIdToSelectionName(objectId));
}

// The entries of a library list, or none when the list is empty or malformed.
template <typename Entry>
std::span<const Entry> entries(int32_t count, const Entry *items) {
  if (count <= 0 || items == nullptr) return {};
  return {items, static_cast<size_t>(count)};
}

SymbolListPtr listAppSymbols(OVwMapInfo *map, OVwSubmapId submap) {
  return SymbolListPtr(OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, kAppName));
}

}  // namespace

const char *nameOrNull(const char *name) { return name != nullptr ? name : "(null)"; }

const char *logFormatted(const char *format, ...) {
  // Formatted in full first: the names in a message come from the database, and any control
  // byte in them is escaped before the message is cut to msgBuf.
  std::array<char, 512> full{};
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(full.data(), full.size(), format, args);
  va_end(args);
  std::string_view text(full.data(), length < 0 ? 0 : std::min<size_t>(length, full.size() - 1));
  const bool lineEnd = !text.empty() && text.back() == '\n';
  if (lineEnd) text.remove_suffix(1);
  length = std::snprintf(msgBuf.data(), msgBuf.size(), "%s%s", LogText(text).c_str(),
                         lineEnd ? "\n" : "");
  if (length < 0) {
    msgBuf[0] = '\0';
  } else if (static_cast<size_t>(length) >= msgBuf.size() && lineEnd) {
    // Cut to fit: keep the line a line.
    msgBuf[msgBuf.size() - 2] = '\n';
  }
  logMessage(msgBuf.data());
  return msgBuf.data();
}

// --- Table of tracked nodes -------------------------------------------------------------

bool hasObject(OVwObjectId objectId) {
  auto used = trackedObjects();
  return std::find(used.begin(), used.end(), objectId) != used.end();
}

void addObject(OVwObjectId objectId) {
  if (hasObject(objectId)) {
    logFormatted(" Object id %u already on map - not added\n", objectId);
  } else if (objectCount >= kMaxObjects) {
    logFormatted("TOO MANY OBJECTS ON SUBMAP!!!\n");
  } else {
    objectTable[static_cast<size_t>(objectCount)] = objectId;
    ++objectCount;
    logFormatted(" Object %d added: %u\n", objectCount, objectId);
  }
}

void removeObject(OVwObjectId objectId) {
  if (objectCount <= 0) return;
  auto used = trackedObjects();
  auto found = std::find(used.begin(), used.end(), objectId);
  if (found == used.end()) return;
  --objectCount;
  objectTable[static_cast<size_t>(found - used.begin())] =
      objectTable[static_cast<size_t>(objectCount)];
  logFormatted(" Object removed: %u, %d remaining\n", objectId, objectCount);
}

std::span<const OVwObjectId> trackedObjects() {
  return std::span<const OVwObjectId>(objectTable).first(static_cast<size_t>(objectCount));
}

void clearObjects() { objectCount = 0; }

// --- Icons ----------------------------------------------------------------------------------

OVwMapInfo *heldMap() { return currentMap.get(); }

void releaseMap() { currentMap.reset(); }

OVwSubmapId objectSubmapId(OVwObjectId objectId) {
  if (!currentMap) return 0;
  ObjectInfoPtr info(OVwGetObjectInfo(currentMap.get(), objectId));
  if (!info) return 0;
  return info->child_submap_id;
}

void addAppIcon(OVwObjectId objectId, const char *callerName) {
  if (!currentMap) return;
  OVwSubmapId submap = objectSubmapId(objectId);
  if (submap == 0) return;

  SymbolListPtr present = listAppSymbols(currentMap.get(), submap);
  if (!present) {
    std::printf("OVwListSymbols() failed: %s\n", lastErrorText());
    return;
  }
  if (present->count > 0) {
    logFormatted("  Icon already present; called from %s for %s\n", nameOrNull(callerName),
                 selectionNameOf(objectId));
    return;
  }
  OVwObjectId iconObject = OVwDbCreateObject(nullptr);
  if (iconObject == 0) {
    std::printf("Could not create new object: %s\n", lastErrorText());
    logFormatted("addApplicationIcon: Could not create new object\n");
    return;
  }
  OVwSymbolId symbol =
      OVwCreateSymbol(currentMap.get(), submap, iconObject, kSymbolType, kSymbolLabel, 1, 3, 0, 2);
  if (symbol == 0) {
    logFormatted("addAppIcon: Could not create symbol: %s\n", lastErrorText());
    (void)OVwDbDeleteObject(iconObject);
    return;
  }
  OVwObjectId target = objectId;
  const OVwObjectIdList targets{1, &target};
  if (OVwSetSymbolBehavior(currentMap.get(), symbol, OVW_BEHAVIOR_ACTION, kAppName, kActionName,
                           &targets) < 0) {
    // The icon stays on the map, without its action.
    logFormatted("addAppIcon: Could not set symbol behavior: %s\n", lastErrorText());
    return;
  }
  logFormatted("  Added icon for child %u; from %s for %s\n", iconObject, nameOrNull(callerName),
               selectionNameOf(objectId));
}

void cleanupObjects() {
  if (!currentMap) return;
  for (OVwObjectId objectId : trackedObjects()) {
    OVwSubmapId submap = objectSubmapId(objectId);
    if (submap == 0) continue;
    SymbolListPtr symbols = listAppSymbols(currentMap.get(), submap);
    if (!symbols) {
      // Keep every node tracked: the next map open finds them again.
      std::printf("OVwListSymbols() failed: %s\n", lastErrorText());
      return;
    }
    for (const OVwSymbolInfo &symbol : entries(symbols->count, symbols->symbols)) {
      logFormatted("  cleanupObjects removed symbol and oid %u for %s\n", objectId,
                   selectionNameOf(objectId));
      (void)OVwDeleteSymbol(currentMap.get(), symbol.symbol_id);
    }
  }
  clearObjects();
}

int openSubmapCB(OVwObjectId objectId, OVwMapInfo *map, const OVwSubmapInfo *submap) {
  // The library's text is only valid until its next host name look-up, and setDevice makes
  // one: keep a copy.
  const std::string hostName = nameOrNull(OVwDbObjectIdToHostname(objectId));

  if (fieldIsTrue(objectId, kDeviceField)) {
    SymbolListPtr symbols = listAppSymbols(map, submap != nullptr ? submap->submap_id : 0);
    if (!symbols) {
      std::printf("OVwListSymbols() failed: %s\n", lastErrorText());
      return 0;
    }
    auto present = entries(symbols->count, symbols->symbols);
    if (present.empty()) {
      std::printf("  openSubmapCB will add symbol %s\n", LogText(hostName).c_str());
      return 1;
    }
    const char *label = present.front().label;
    if (label != nullptr && std::strcmp(label, kSymbolLabel) == 0) {
      logFormatted("  openSubmapCB found symbol %s already on map\n", hostName.c_str());
    }
    return 0;
  }
  if (fieldIsTrue(objectId, "isNode") && fieldIsTrue(objectId, "isSNMPSupported") &&
      setDevice(objectId, removeObject) != 0) {
    logFormatted("  Discovered new Kestara Device on host %s\n", hostName.c_str());
    return 1;
  }
  return 0;
}

// --- Event handlers -------------------------------------------------------------------------

int objectCreatedCB(void *, int, OVwMapInfo *, void *value) {
  const auto *list = static_cast<const OVwObjectList *>(value);
  if (list == nullptr) {
    std::printf("No object list provided\n");
    return 0;
  }
  for (const OVwObjectInfo &object : entries(list->count, list->objects)) {
    OVwObjectId id = object.object_id;
    if (setDevice(id, removeObject) != 0 && !hasObject(id)) {
      addObject(id);
      addAppIcon(id, "objectCreatedCB");
    }
  }
  return 0;
}

int SMmapOpenCB(void *, int, OVwMapInfo *, void *) {
  currentMap.reset();
  currentMap.reset(OVwGetMapInfo());
  if (!currentMap) {
    std::printf("Could not get current map: %s\n", lastErrorText());
    return 0;
  }
  if (OVwBeginMapSync(currentMap.get()) < 0) {
    std::printf("OVwBeginMapSync() failed. %s\n", lastErrorText());
    return 0;
  }
  FieldListPtr flagged(buildFieldValueList(1, kDeviceField, nullptr));
  // Without the filter the query would name every object on the map.
  ObjectListPtr objects(flagged ? OVwListObjectsOnMap(currentMap.get(), flagged.get()) : nullptr);
  if (!objects) {
    std::printf("OVwListObjectsOnMap() failed: %s\n",
                flagged ? lastErrorText() : OVwErrorMsg(OVW_ERR_NOMEM));
  } else {
    for (const OVwObjectInfo &object : entries(objects->count, objects->objects)) {
      addObject(object.object_id);
      addAppIcon(object.object_id, "SMmapOpenCB");
    }
  }
  (void)OVwEndMapSync(currentMap.get());
  return 0;
}

int SMsubmapOpenCB(void *, int, OVwMapInfo *map, void *value) {
  const auto *submap = static_cast<const OVwSubmapInfo *>(value);
  if (submap == nullptr) return 0;
  OVwObjectId node = submap->parent_object_id;
  if (openSubmapCB(node, map, submap) == 1) {
    addObject(node);
    addAppIcon(node, "SMsubmapOpenCB");
  }
  return 0;
}

int mapCloseCB(void *, int, OVwMapInfo *map, void *value) {
  logFormatted("Callback for Map Close\n");
  if (currentMap) {
    cleanupObjects();
    currentMap.reset();
  }
  return OVwAckMapClose(map, static_cast<const OVwMapCloseInfo *>(value));
}

int deleteObjectsCB(void *, int, OVwMapInfo *, void *value) {
  const auto *list = static_cast<const OVwObjectList *>(value);
  if (list == nullptr || objectCount == 0) return 0;
  logFormatted("Callback for Delete Objects called\n");
  for (const OVwObjectInfo &object : entries(list->count, list->objects)) {
    OVwObjectId id = object.object_id;
    if (!hasObject(id)) continue;
    (void)OVwDbSetFieldBooleanValue(id, OVwDbFieldNameToFieldId(kDeviceField), 0);
    if (logEnabled) {
      // The object may be gone from the database already: its name then comes from the event.
      const char *name = OVwDbObjectIdToSelectionName(id);
      logFormatted("   removed KestaraDevice field for (oid %u) %s\n", id,
                   nameOrNull(name != nullptr ? name : object.selection_name));
    }
    removeObject(id);
  }
  return 0;
}
