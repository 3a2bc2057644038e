// request.cc - the selection name server's request handling, apart from its socket.
#include "request.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>

#include "extract_field.h"
#include "handles.h"
#include "log_text.h"
#include "selection.h"

// Reads the first line of `path` into `name`: up to the first newline (not kept; a carriage
// return right before it is dropped too) or the end of the file, at most 128 characters.
// Returns false when the file can't be opened.
bool readFirstLine(const std::string &path, NameBuffer &name) {
  FilePtr file(std::fopen(path.c_str(), "r"));
  if (!file) return false;
  name.length = 0;
  while (name.length < name.bytes.size()) {
    int c = std::getc(file.get());
    if (c == EOF || c == '\n') break;
    if (c == '\r') {
      int next = std::getc(file.get());
      if (next == '\n') break;
      if (next != EOF) std::ungetc(next, file.get());
    }
    name.bytes[name.length++] = static_cast<char>(c);
  }
  return true;
}

// Handles one request in map mode: the first field of `request`, or for "getHostName" the
// map selection lookup's text.
void answerFromMap(std::string_view request, NameBuffer &name) {
  std::span<char, kQuenbyNameSize> text(name.bytes);
  (void)extractField(text, 0, request);
  if (std::string_view(text.data()) == "getHostName") {
    std::fill(text.begin(), text.end(), '\0');
    getSelectionName(text);
    std::printf("%d bytes in Selection Name:%s\n", static_cast<int>(std::strlen(text.data())),
                LogText(text.data(), LogText::LineEnd::kKeep).c_str());
  }
  name.length = std::strlen(text.data());
}

std::string_view replyText(const NameBuffer &name) {
  std::string_view reply(name.bytes.data(), std::min(name.length, name.bytes.size()));
  return reply.substr(0, reply.find('\0'));
}
