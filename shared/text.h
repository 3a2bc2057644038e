// text.h - the small text helpers of fixed buffers and protocol fields: copying into a
// terminated buffer, reading numbers as the C library's "%d" reads them, and whole numbers
// from the environment.
#ifndef KESTARA_SHARED_TEXT_H
#define KESTARA_SHARED_TEXT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Copies `text` into `out`, cut to out.size() - 1 bytes, and terminates it. Returns the number
// of bytes copied. REQUIRES: out.size() >= 1.
size_t copyText(std::span<char> out, std::string_view text);

// Reads a decimal number at the front of `text` as "%d" does: white space, one optional sign,
// then digits up to the first other byte, accumulated modulo 2^32 (so that no run of digits
// overflows anything); a '-' negates. Nothing when no digit follows the sign.
[[nodiscard]] std::optional<uint32_t> scanDecimal(std::span<const char> text);
// The same, with how many characters it read in `used` (0 when there is no number).
[[nodiscard]] std::optional<uint32_t> scanDecimal(std::span<const char> text, size_t &used);
[[nodiscard]] inline std::optional<uint32_t> scanDecimal(std::string_view text) {
  return scanDecimal(std::span<const char>(text.data(), text.size()));
}

// The environment variable `name` as a whole decimal number within [low, high] (nothing else
// in it), or `fallback` when it is not set or is anything else.
[[nodiscard]] uint64_t environmentNumber(const char *name, uint64_t low, uint64_t high,
                                         uint64_t fallback);

#endif  // KESTARA_SHARED_TEXT_H
