// icons.h - the application icon on the submaps of Kestara devices, and the map event
// handlers that place and remove it.
//
// The program keeps a table of the nodes it has dealt with (at most kMaxObjects). A node
// enters the table before its icon is placed; the icons of the nodes in the table are removed
// when the map closes and when the program ends. All state here belongs to the main thread.
#ifndef KESTARA_CONSOLE_ICONS_H
#define KESTARA_CONSOLE_ICONS_H

#include <cstddef>
#include <span>

#include "OVw.h"

inline constexpr const char *kAppName = "Varnis Console Application";
inline constexpr const char *kSymbolType = "Software:Varnis";
inline constexpr const char *kSymbolLabel = "Varnis Console";
inline constexpr const char *kActionName = "Start Web Action";
inline constexpr const char *kDeviceField = "isKestaraDevice";

inline constexpr int kMaxObjects = 64;
// Size of the buffer in which messages are formatted, the terminating NUL included.
inline constexpr size_t kMsgBufSize = 80;

// --- Table of tracked nodes ---------------------------------------------------------------

// Adds a node to the table: refused (with a message) when it is already there or the table
// is full.
void addObject(OVwObjectId objectId);
// Drops a node from the table; the last entry takes its place. Unknown ids change nothing.
void removeObject(OVwObjectId objectId);
[[nodiscard]] bool hasObject(OVwObjectId objectId);
// The nodes in the table, in table order.
[[nodiscard]] std::span<const OVwObjectId> trackedObjects();
// Empties the table without touching the map.
void clearObjects();

// --- Icons ----------------------------------------------------------------------------------

// The map held since the last map open, or null.
[[nodiscard]] OVwMapInfo *heldMap();
// The id of the node's own submap on the held map; 0 without a map or a submap.
[[nodiscard]] OVwSubmapId objectSubmapId(OVwObjectId objectId);
// Places the application icon on the node's submap unless one is there already.
// `callerName` names the calling handler in the messages.
void addAppIcon(OVwObjectId objectId, const char *callerName);
// Removes the application's symbols from the submaps of all tracked nodes and empties the
// table; does nothing without a map, and keeps the table when a symbol listing fails.
void cleanupObjects();
// Decides whether the opened submap of `objectId` needs the icon: 1 when it does.
[[nodiscard]] int openSubmapCB(OVwObjectId objectId, OVwMapInfo *map, const OVwSubmapInfo *submap);
// Releases the held map, if any (at shutdown).
void releaseMap();

// --- Event handlers (OVwCallbackProc) --------------------------------------------------------

int objectCreatedCB(void *clientData, int event, OVwMapInfo *map, void *value);
int SMmapOpenCB(void *clientData, int event, OVwMapInfo *map, void *value);
int SMsubmapOpenCB(void *clientData, int event, OVwMapInfo *map, void *value);
int mapCloseCB(void *clientData, int event, OVwMapInfo *map, void *value);
int deleteObjectsCB(void *clientData, int event, OVwMapInfo *map, void *value);

// --- Messages ---------------------------------------------------------------------------------

// Formats a message into the kMsgBufSize-byte message buffer and hands it to logMessage. A
// message that does not fit is cut, and its last character is made a newline so that it
// still ends its line. Returns the text handed on.
[[gnu::format(printf, 1, 2)]] const char *logFormatted(const char *format, ...);

// A name for messages: `name`, or "(null)" when there is none.
[[nodiscard]] const char *nameOrNull(const char *name);

#endif  // KESTARA_CONSOLE_ICONS_H
