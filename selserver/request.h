// request.h - the selection name server's request handling, apart from its socket.
#ifndef KESTARA_SELSERVER_REQUEST_H
#define KESTARA_SELSERVER_REQUEST_H

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "protocol.h"

inline constexpr size_t kQuenbyReceiveSize = kRequestSize;
inline constexpr size_t kQuenbyNameSize = kReplySize;

// The reply text: up to 128 bytes. A text read from the reply file may fill all 128 bytes, so
// its length is kept beside it rather than marked by a terminator.
struct NameBuffer {
  std::array<char, kQuenbyNameSize> bytes{};
  size_t length = 0;
};

// Reads the first line of `path` into `name`: up to the first newline (not kept; a carriage
// return right before it is dropped too) or the end of the file, at most 128 characters.
// Returns false when the file can't be opened.
bool readFirstLine(const std::string &path, NameBuffer &name);

// Handles one request in map mode: the first field of `request`, or for "getHostName" the
// map selection lookup's text.
void answerFromMap(std::string_view request, NameBuffer &name);

// The bytes to send: the text up to its first NUL, at most 128 bytes.
std::string_view replyText(const NameBuffer &name);

#endif  // KESTARA_SELSERVER_REQUEST_H
