// selection.h - the map selection lookup: which node has the user selected on this machine's
// map, and is it a Kestara device?
//
// Linked into the gateway (for applets on the station itself) and the selection name server
// (for applets on a remote console). The process attaches to the map session of its own machine,
// "<host name>:0", at the first lookup and stays attached until it ends. Everything else (the
// map, the selection, the field ids) is read anew at every lookup.
//
// Single thread; not re-entrant.
#ifndef KESTARA_SHARED_SELECTION_H
#define KESTARA_SHARED_SELECTION_H

#include <cstddef>
#include <span>
#include <string_view>

// The reply text buffer of the callers (128 bytes) and the connection failure text (80 bytes).
inline constexpr size_t kSelectionTextSize = 128;
inline constexpr size_t kFailureTextSize = 80;

// gethostname is asked for at most this many bytes; the session name adds ":0" and a NUL.
inline constexpr size_t kHostNameLimit = 50;
inline constexpr size_t kSessionNameSize = kHostNameLimit + 2;

// Reply texts of the lookup that begin with "failed:".
inline constexpr std::string_view kNoDeviceSelected = "failed: No device selected on the map";
inline constexpr std::string_view kFieldNotDefined = "failed: Kestara Field not defined in ovwdb";
inline constexpr std::string_view kNoSymbolInfo = "failed: Cannot get symbolInfo for parent ID";
inline constexpr std::string_view kNoSubmapInfo = "failed: Cannot get submapInfo for parent ID";
// A selection name that does not fit the 128-byte reply with its terminator: sending a cut name
// would name another node.
inline constexpr std::string_view kNameTooLong = "failed: Selection name too long";
// The connection failure text when the host name can't be read (it ends in a newline).
inline constexpr std::string_view kGethostnameFailed = "gethostname failed\n";

// Fills `text` (the caller's zero-filled 128-byte buffer) with the selection name of the node
// selected on this machine's map, or with a failure text. Always leaves a NUL-terminated text of
// at most 127 characters.
void getSelectionName(std::span<char, kSelectionTextSize> text);

// Attaches the process to the map session "<host name>:0" unless it is attached already.
// Returns true when attached; false with the reason ("gethostname failed\n" or
// "failed:OVwInitSession, error %d, %s\n") in `failureText`, NUL-terminated.
[[nodiscard]] bool connectSession(std::span<char, kFailureTextSize> failureText);

// Reads the first selected object of the open map and writes its answer into `text`: a
// selection name or a failure text. Returns false, leaving `text` untouched, when no map is
// open, the selection can't be read, nothing is selected, or the selected object has no symbols.
[[nodiscard]] bool getSelection(std::span<char, kSelectionTextSize> text);

// Writes this machine's session name, the host name (at most 49 characters) followed by ":0",
// into `sessionName`. Returns false when the host name can't be read or is too long.
[[nodiscard]] bool makeSessionName(std::span<char, kSessionNameSize> sessionName);

#endif  // KESTARA_SHARED_SELECTION_H
