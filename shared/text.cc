// text.cc - the small text helpers of fixed buffers and protocol fields.
#include "text.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <system_error>

size_t copyText(std::span<char> out, std::string_view text) {
  const size_t n = std::min(text.size(), out.size() - 1);
  std::memcpy(out.data(), text.data(), n);
  out[n] = '\0';
  return n;
}

std::optional<uint32_t> scanDecimal(std::span<const char> text) {
  size_t used = 0;
  return scanDecimal(text, used);
}

std::optional<uint32_t> scanDecimal(std::span<const char> text, size_t &used) {
  used = 0;
  // The C locale's classes, whatever the byte's sign.
  const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !isDigit(text[i])) return std::nullopt;
  uint32_t value = 0;  // unsigned: accumulates modulo 2^32
  for (; i < text.size() && isDigit(text[i]); ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  used = i;
  return negative ? 0u - value : value;
}

uint64_t environmentNumber(const char *name, uint64_t low, uint64_t high, uint64_t fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr) return fallback;
  const std::string_view view(text);
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (ec != std::errc() || end != view.data() + view.size() || value < low || value > high) {
    return fallback;
  }
  return value;
}
