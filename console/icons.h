// icons.h - the console map application's state: the application icon on the submaps of
// Kestara devices, and the map event handlers that place and remove it.
//
// The program keeps a table of the nodes it has dealt with (at most kMaxObjects). A node
// enters the table before its icon is placed; the icons of the nodes in the table are removed,
// with the database objects drawn by them, when the map closes and when the program ends. A
// tracked node deleted from the database takes its icon's symbol with its submap; the program
// deletes the icon's object.
// Everything here belongs to the main thread; the handlers find it through their client data.
#ifndef KESTARA_CONSOLE_ICONS_H
#define KESTARA_CONSOLE_ICONS_H

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "OVw.h"
#include "handles.h"
#include "log.h"

inline constexpr const char *kSymbolType = "Software:Varnis";
inline constexpr const char *kSymbolLabel = "Varnis Console";
inline constexpr const char *kActionName = "Start Web Action";

inline constexpr int kMaxObjects = 64;
// Size of the buffer in which messages are formatted, the terminating NUL included.
inline constexpr size_t kMsgBufSize = 80;

class Console {
 public:
  Console() = default;
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  [[nodiscard]] Log &log() { return log_; }

  // --- Table of tracked nodes ---------------------------------------------------------------

  // Adds a node to the table: refused (with a message) when it is already there or the table
  // is full.
  void addObject(OVwObjectId objectId);
  // Drops a node from the table; the last entry takes its place. Unknown ids change nothing.
  void removeObject(OVwObjectId objectId);
  [[nodiscard]] bool hasObject(OVwObjectId objectId) const;
  // The nodes in the table, in table order.
  [[nodiscard]] std::span<const OVwObjectId> trackedObjects() const;
  // Empties the table without touching the map.
  void clearObjects() { objectCount_ = 0; }

  // --- Icons --------------------------------------------------------------------------------

  // The map held since the last map open, or null.
  [[nodiscard]] OVwMapInfo *heldMap() const { return currentMap_.get(); }
  // The id of the node's own submap on the held map; 0 without a map or a submap.
  [[nodiscard]] OVwSubmapId objectSubmapId(OVwObjectId objectId) const;
  // Places the application icon on the node's submap unless one is there already.
  // `callerName` names the calling handler in the messages.
  void addAppIcon(OVwObjectId objectId, const char *callerName);
  // Removes the application's symbols, and the objects they are drawn for, from the submaps of
  // all tracked nodes and empties the table; does nothing without a map, and keeps the table
  // when a symbol listing fails.
  void cleanupObjects();
  // Decides whether the opened submap of `objectId` needs the icon.
  [[nodiscard]] bool openSubmapCB(OVwObjectId objectId, OVwMapInfo *map,
                                  const OVwSubmapInfo *submap);
  // Releases the held map, if any (at shutdown).
  void releaseMap() { currentMap_.reset(); }

  // True once the end-of-session event came.
  [[nodiscard]] bool sessionEnded() const { return sessionEnded_; }

  // --- Event handlers (OVwCallbackProc); `console` is the Console ----------------------------

  static int objectCreatedCB(void *console, int event, OVwMapInfo *map, void *value);
  static int endSessionCB(void *console, int event, OVwMapInfo *map, void *value);
  static int SMmapOpenCB(void *console, int event, OVwMapInfo *map, void *value);
  static int SMsubmapOpenCB(void *console, int event, OVwMapInfo *map, void *value);
  static int mapCloseCB(void *console, int event, OVwMapInfo *map, void *value);
  static int deleteObjectsCB(void *console, int event, OVwMapInfo *map, void *value);

  // --- Messages -----------------------------------------------------------------------------

  // Formats a message into the kMsgBufSize-byte message buffer and hands it to the log. A
  // message that does not fit is cut, and its last character is made a newline so that it
  // still ends its line. Returns the text handed on.
  [[gnu::format(printf, 2, 3)]] const char *logFormatted(const char *format, ...);

 private:
  int objectCreated(const OVwObjectList *list);
  int mapOpened();
  int submapOpened(OVwMapInfo *map, const OVwSubmapInfo *submap);
  int mapClosed(OVwMapInfo *map, const OVwMapCloseInfo *info);
  int objectsDeleted(const OVwObjectList *list);
  // Deletes an icon object of this program's; the delete event it causes is passed over.
  void deleteIconObject(OVwObjectId iconObject);
  // The index of a tracked node in the table, or kMaxObjects.
  [[nodiscard]] size_t indexOf(OVwObjectId objectId) const;
  // Notes the object that a tracked node's icon is drawn for (untracked nodes: nothing).
  void noteIcon(OVwObjectId objectId, OVwObjectId iconObject);

  Log log_;
  std::array<OVwObjectId, kMaxObjects> objectTable_{};
  // For each entry of the table, the object its node's icon is drawn for; 0 while none is known.
  // A node deleted from the database takes its submap and the icon's symbol with it, but not
  // that object, which the program deletes itself.
  std::array<OVwObjectId, kMaxObjects> iconTable_{};
  int objectCount_ = 0;
  MapInfoPtr currentMap_;
  std::array<char, kMsgBufSize> msgBuf_{};
  bool sessionEnded_ = false;
  // Icon objects this program deleted whose delete event has not come yet (the oldest first,
  // at most kMaxOwnDeletions).
  std::vector<OVwObjectId> ownDeletions_;
  static constexpr size_t kMaxOwnDeletions = 4096;
};

// A name for messages: `name`, or "(null)" when there is none.
[[nodiscard]] const char *nameOrNull(const char *name);

#endif  // KESTARA_CONSOLE_ICONS_H
