// log.cc - Mossick's message writer and its optional log file.
#include "log.h"

#include <cstdio>
#include <cstring>
#include <memory>

bool logEnabled = false;
const char *logFileName = nullptr;

namespace {

struct FileCloser {
  void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openForAppend(const char *path) { return File(std::fopen(path, "a")); }

}  // namespace

void logMessage(const char *text) {
  if (text == nullptr) return;
  std::fputs(text, stdout);
  if (!logEnabled) return;
  File file = openForAppend(logFileName);
  if (!file) {
    // The file is gone for good (its folder removed, permissions changed): from now on
    // messages reach standard output only.
    logEnabled = false;
    return;
  }
  std::fputs(text, file.get());
}

void readLogOptions(std::span<char *const> args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const char *arg = args[i];
    if (arg == nullptr || std::strncmp(arg, "-l", 2) != 0 || i + 1 >= args.size()) continue;
    const char *path = args[i + 1];
    if (path == nullptr || !openForAppend(path)) {
      std::printf("Unable to open logFile for Mossick\n");
      continue;
    }
    logEnabled = true;
    logFileName = path;
    logMessage("=================================================\n");
  }
}
