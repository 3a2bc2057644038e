// log.cc - Mossick's message writer and its optional log file.
#include "log.h"

#include <cstdio>
#include <cstring>

#include "handles.h"

namespace {

FilePtr openForAppend(const char *path) { return FilePtr(std::fopen(path, "a")); }

}  // namespace

void Log::message(const char *text) {
  if (text == nullptr) return;
  std::fputs(text, stdout);
  if (!enabled_) return;
  FilePtr file = openForAppend(fileName_);
  if (!file) {
    // The file is gone for good (its folder removed, permissions changed): from now on
    // messages reach standard output only.
    enabled_ = false;
    return;
  }
  std::fputs(text, file.get());
}

void Log::readOptions(std::span<char *const> args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const char *arg = args[i];
    if (arg == nullptr || std::strncmp(arg, "-l", 2) != 0 || i + 1 >= args.size()) continue;
    const char *path = args[i + 1];
    if (path == nullptr || !openForAppend(path)) {
      std::printf("Unable to open logFile for Mossick\n");
      continue;
    }
    enabled_ = true;
    fileName_ = path;
    message("=================================================\n");
  }
}
