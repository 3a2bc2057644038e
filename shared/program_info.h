// program_info.h - the --help and --version options that every program answers the same way.
#ifndef KESTARA_SHARED_PROGRAM_INFO_H
#define KESTARA_SHARED_PROGRAM_INFO_H

#include <span>
#include <string_view>

// The product's version, as the build gives it.
std::string_view productVersion();

// When an argument after the program's name is exactly "--help" or "--version", prints the
// usage text (or "<program> <version>") on standard output and returns true: the caller then
// ends with status 0 and starts nothing. Otherwise prints nothing and returns false.
[[nodiscard]] bool answerInfoOption(std::span<char *const> args, std::string_view program,
                                    std::string_view usage);

#endif  // KESTARA_SHARED_PROGRAM_INFO_H
