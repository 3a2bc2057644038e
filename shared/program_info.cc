// program_info.cc - the --help and --version options that every program answers the same way.
#include "program_info.h"

#include <cstdio>

#ifndef KESTARA_VERSION
#define KESTARA_VERSION "unknown"
#endif

std::string_view productVersion() { return KESTARA_VERSION; }

bool answerInfoOption(std::span<char *const> args, std::string_view program,
                      std::string_view usage) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == nullptr) continue;
    const std::string_view arg(args[i]);
    if (arg == "--version") {
      std::printf("%.*s %.*s\n", static_cast<int>(program.size()), program.data(),
                  static_cast<int>(productVersion().size()), productVersion().data());
      return true;
    }
    if (arg == "--help") {
      std::fwrite(usage.data(), 1, usage.size(), stdout);
      return true;
    }
  }
  return false;
}
