// icons.cc - the console map application's state: the application icon on the submaps of
// Kestara devices, and the map event handlers that place and remove it.
#include "icons.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "device.h"
#include "field_list.h"
#include "log_text.h"
#include "protocol.h"

namespace {

// The last OVw failure's text, which may name objects of the database: escaped for the console.
LogText lastErrorText() { return LogText(OVwErrorMsg(OVwError())); }

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
  return SymbolListPtr(OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, kApplicationName));
}

// setDevice's removal hook: a node whose host name became "REMOVED" leaves the table.
void untrack(void *console, OVwObjectId objectId) {
  static_cast<Console *>(console)->removeObject(objectId);
}

}  // namespace

const char *nameOrNull(const char *name) { return name != nullptr ? name : "(null)"; }

const char *Console::logFormatted(const char *format, ...) {
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
  length = std::snprintf(msgBuf_.data(), msgBuf_.size(), "%s%s", LogText(text).c_str(),
                         lineEnd ? "\n" : "");
  if (length < 0) {
    msgBuf_[0] = '\0';
  } else if (static_cast<size_t>(length) >= msgBuf_.size() && lineEnd) {
    // Cut to fit: keep the line a line.
    msgBuf_[msgBuf_.size() - 2] = '\n';
  }
  log_.message(msgBuf_.data());
  return msgBuf_.data();
}

// --- Table of tracked nodes -------------------------------------------------------------

bool Console::hasObject(OVwObjectId objectId) const {
  return indexOf(objectId) < static_cast<size_t>(kMaxObjects);
}

size_t Console::indexOf(OVwObjectId objectId) const {
  auto used = trackedObjects();
  auto found = std::find(used.begin(), used.end(), objectId);
  return found == used.end() ? static_cast<size_t>(kMaxObjects)
                             : static_cast<size_t>(found - used.begin());
}

void Console::noteIcon(OVwObjectId objectId, OVwObjectId iconObject) {
  const size_t index = indexOf(objectId);
  if (index < static_cast<size_t>(kMaxObjects)) iconTable_[index] = iconObject;
}

void Console::addObject(OVwObjectId objectId) {
  if (hasObject(objectId)) {
    logFormatted(" Object id %u already on map - not added\n", objectId);
  } else if (objectCount_ >= kMaxObjects) {
    logFormatted("TOO MANY OBJECTS ON SUBMAP!!!\n");
  } else {
    objectTable_[static_cast<size_t>(objectCount_)] = objectId;
    iconTable_[static_cast<size_t>(objectCount_)] = 0;
    ++objectCount_;
    logFormatted(" Object %d added: %u\n", objectCount_, objectId);
  }
}

void Console::removeObject(OVwObjectId objectId) {
  if (objectCount_ <= 0) return;
  const size_t index = indexOf(objectId);
  if (index >= static_cast<size_t>(kMaxObjects)) return;
  --objectCount_;
  objectTable_[index] = objectTable_[static_cast<size_t>(objectCount_)];
  iconTable_[index] = iconTable_[static_cast<size_t>(objectCount_)];
  logFormatted(" Object removed: %u, %d remaining\n", objectId, objectCount_);
}

std::span<const OVwObjectId> Console::trackedObjects() const {
  return std::span<const OVwObjectId>(objectTable_).first(static_cast<size_t>(objectCount_));
}

// --- Icons ----------------------------------------------------------------------------------

OVwSubmapId Console::objectSubmapId(OVwObjectId objectId) const {
  if (!currentMap_) return 0;
  ObjectInfoPtr info(OVwGetObjectInfo(currentMap_.get(), objectId));
  if (!info) return 0;
  return info->child_submap_id;
}

void Console::deleteIconObject(OVwObjectId iconObject) {
  if (OVwDbDeleteObject(iconObject) != 0) return;
  if (ownDeletions_.size() >= kMaxOwnDeletions) ownDeletions_.erase(ownDeletions_.begin());
  ownDeletions_.push_back(iconObject);
}

void Console::addAppIcon(OVwObjectId objectId, const char *callerName) {
  if (!currentMap_) return;
  OVwSubmapId submap = objectSubmapId(objectId);
  if (submap == 0) return;

  SymbolListPtr present = listAppSymbols(currentMap_.get(), submap);
  if (!present) {
    std::printf("OVwListSymbols() failed: %s\n", lastErrorText().c_str());
    return;
  }
  if (present->count > 0) {
    logFormatted("  Icon already present; called from %s for %s\n", nameOrNull(callerName),
                 selectionNameOf(objectId));
    if (present->symbols != nullptr) noteIcon(objectId, present->symbols[0].object_id);
    return;
  }
  OVwObjectId iconObject = OVwDbCreateObject(nullptr);
  if (iconObject == 0) {
    std::printf("Could not create new object: %s\n", lastErrorText().c_str());
    logFormatted("addApplicationIcon: Could not create new object\n");
    return;
  }
  OVwSymbolId symbol =
      OVwCreateSymbol(currentMap_.get(), submap, iconObject, kSymbolType, kSymbolLabel, 1, 3, 0, 2);
  if (symbol == 0) {
    logFormatted("addAppIcon: Could not create symbol: %s\n", lastErrorText().c_str());
    deleteIconObject(iconObject);
    return;
  }
  noteIcon(objectId, iconObject);
  OVwObjectId target = objectId;
  const OVwObjectIdList targets{1, &target};
  if (OVwSetSymbolBehavior(currentMap_.get(), symbol, OVW_BEHAVIOR_ACTION, kApplicationName,
                           kActionName, &targets) < 0) {
    // The icon stays on the map, without its action.
    logFormatted("addAppIcon: Could not set symbol behavior: %s\n", lastErrorText().c_str());
    return;
  }
  logFormatted("  Added icon for child %u; from %s for %s\n", iconObject, nameOrNull(callerName),
               selectionNameOf(objectId));
}

void Console::cleanupObjects() {
  if (!currentMap_) return;
  for (OVwObjectId objectId : trackedObjects()) {
    OVwSubmapId submap = objectSubmapId(objectId);
    if (submap == 0) continue;
    SymbolListPtr symbols = listAppSymbols(currentMap_.get(), submap);
    if (!symbols) {
      // Keep every node tracked: the next map open finds them again.
      std::printf("OVwListSymbols() failed: %s\n", lastErrorText().c_str());
      return;
    }
    for (const OVwSymbolInfo &symbol : entries(symbols->count, symbols->symbols)) {
      logFormatted("  cleanupObjects removed symbol and oid %u for %s\n", objectId,
                   selectionNameOf(objectId));
      // The icon's own object goes with it: a new one is made at the next map open, and
      // objects of icons no longer drawn would pile up with every open and close.
      if (OVwDeleteSymbol(currentMap_.get(), symbol.symbol_id) == 0 && symbol.object_id != 0) {
        deleteIconObject(symbol.object_id);
      }
    }
  }
  clearObjects();
}

bool Console::openSubmapCB(OVwObjectId objectId, OVwMapInfo *map, const OVwSubmapInfo *submap) {
  // The library's text is only valid until its next host name look-up, and setDevice makes
  // one: keep a copy.
  const std::string hostName = nameOrNull(OVwDbObjectIdToHostname(objectId));

  if (fieldIsTrue(objectId, kDeviceField)) {
    SymbolListPtr symbols = listAppSymbols(map, submap != nullptr ? submap->submap_id : 0);
    if (!symbols) {
      std::printf("OVwListSymbols() failed: %s\n", lastErrorText().c_str());
      return false;
    }
    auto present = entries(symbols->count, symbols->symbols);
    if (present.empty()) {
      std::printf("  openSubmapCB will add symbol %s\n", LogText(hostName).c_str());
      return true;
    }
    const char *label = present.front().label;
    if (label != nullptr && std::strcmp(label, kSymbolLabel) == 0) {
      logFormatted("  openSubmapCB found symbol %s already on map\n", hostName.c_str());
    }
    return false;
  }
  if (fieldIsTrue(objectId, kNodeField) && fieldIsTrue(objectId, kSnmpField) &&
      setDevice(objectId, RemovalHook{untrack, this})) {
    logFormatted("  Discovered new Kestara Device on host %s\n", hostName.c_str());
    return true;
  }
  return false;
}

// --- Event handlers -------------------------------------------------------------------------

int Console::objectCreated(const OVwObjectList *list) {
  if (list == nullptr) {
    std::printf("No object list provided\n");
    return 0;
  }
  for (const OVwObjectInfo &object : entries(list->count, list->objects)) {
    OVwObjectId id = object.object_id;
    if (setDevice(id, RemovalHook{untrack, this}) && !hasObject(id)) {
      addObject(id);
      addAppIcon(id, "objectCreatedCB");
    }
  }
  return 0;
}

int Console::mapOpened() {
  currentMap_.reset();
  currentMap_.reset(OVwGetMapInfo());
  if (!currentMap_) {
    std::printf("Could not get current map: %s\n", lastErrorText().c_str());
    return 0;
  }
  if (OVwBeginMapSync(currentMap_.get()) < 0) {
    std::printf("OVwBeginMapSync() failed. %s\n", lastErrorText().c_str());
    return 0;
  }
  FieldListPtr flagged(buildFieldValueList(1, kDeviceField, nullptr));
  // Without the filter the query would name every object on the map.
  ObjectListPtr objects(flagged ? OVwListObjectsOnMap(currentMap_.get(), flagged.get()) : nullptr);
  if (!objects) {
    std::printf("OVwListObjectsOnMap() failed: %s\n",
                flagged ? lastErrorText().c_str() : OVwErrorMsg(OVW_ERR_NOMEM));
  } else {
    for (const OVwObjectInfo &object : entries(objects->count, objects->objects)) {
      addObject(object.object_id);
      addAppIcon(object.object_id, "SMmapOpenCB");
    }
  }
  (void)OVwEndMapSync(currentMap_.get());
  return 0;
}

int Console::submapOpened(OVwMapInfo *map, const OVwSubmapInfo *submap) {
  if (submap == nullptr) return 0;
  OVwObjectId node = submap->parent_object_id;
  if (openSubmapCB(node, map, submap)) {
    addObject(node);
    addAppIcon(node, "SMsubmapOpenCB");
  }
  return 0;
}

int Console::mapClosed(OVwMapInfo *map, const OVwMapCloseInfo *info) {
  logFormatted("Callback for Map Close\n");
  if (currentMap_) {
    cleanupObjects();
    currentMap_.reset();
  }
  return OVwAckMapClose(map, info);
}

int Console::objectsDeleted(const OVwObjectList *list) {
  if (list == nullptr) return 0;
  // The program's own deletions of icon objects come back as delete events: they are no news.
  const auto listed = entries(list->count, list->objects);
  bool others = false;
  for (const OVwObjectInfo &object : listed) {
    auto own = std::find(ownDeletions_.begin(), ownDeletions_.end(), object.object_id);
    if (own != ownDeletions_.end()) {
      ownDeletions_.erase(own);
    } else {
      others = true;
    }
  }
  if ((!listed.empty() && !others) || objectCount_ == 0) return 0;
  logFormatted("Callback for Delete Objects called\n");
  for (const OVwObjectInfo &object : listed) {
    OVwObjectId id = object.object_id;
    if (!hasObject(id)) continue;
    (void)OVwDbSetFieldBooleanValue(id, OVwDbFieldNameToFieldId(kDeviceField), 0);
    if (log_.enabled()) {
      // The object may be gone from the database already: its name then comes from the event.
      const char *name = OVwDbObjectIdToSelectionName(id);
      logFormatted("   removed KestaraDevice field for (oid %u) %s\n", id,
                   nameOrNull(name != nullptr ? name : object.selection_name));
    }
    const size_t index = indexOf(id);
    const OVwObjectId icon = index < iconTable_.size() ? iconTable_[index] : 0;
    removeObject(id);
    // The icon's symbol went with the node's submap: its object would be drawn by nothing.
    if (icon != 0) deleteIconObject(icon);
  }
  return 0;
}

int Console::objectCreatedCB(void *console, int, OVwMapInfo *, void *value) {
  return static_cast<Console *>(console)->objectCreated(static_cast<const OVwObjectList *>(value));
}

int Console::endSessionCB(void *console, int, OVwMapInfo *, void *) {
  auto *self = static_cast<Console *>(console);
  self->log_.message("endSession Callback\n");
  self->sessionEnded_ = true;
  return 0;
}

int Console::SMmapOpenCB(void *console, int, OVwMapInfo *, void *) {
  return static_cast<Console *>(console)->mapOpened();
}

int Console::SMsubmapOpenCB(void *console, int, OVwMapInfo *map, void *value) {
  return static_cast<Console *>(console)->submapOpened(map,
                                                       static_cast<const OVwSubmapInfo *>(value));
}

int Console::mapCloseCB(void *console, int, OVwMapInfo *map, void *value) {
  return static_cast<Console *>(console)->mapClosed(map,
                                                    static_cast<const OVwMapCloseInfo *>(value));
}

int Console::deleteObjectsCB(void *console, int, OVwMapInfo *, void *value) {
  return static_cast<Console *>(console)->objectsDeleted(static_cast<const OVwObjectList *>(value));
}
