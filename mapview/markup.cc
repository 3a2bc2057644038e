// markup.cc - text from the object database or an agent, made safe to place in HTML and SVG.
#include "markup.h"

#include <cstdint>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `text` and its code point, or 0
// when the bytes there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t decodeUtf8(std::string_view text, uint32_t &code) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  uint32_t least = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool allowedCharacter(uint32_t code) {
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return false;
  return code != 0xFFFE && code != 0xFFFF;
}

}  // namespace

std::string escapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  while (!text.empty()) {
    uint32_t code = 0;
    const size_t length = decodeUtf8(text, code);
    if (length == 0) {
      out += kReplacement;
      text.remove_prefix(1);
      continue;
    }
    switch (code) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (allowedCharacter(code)) {
          out += text.substr(0, length);
        } else {
          out += kReplacement;
        }
    }
    text.remove_prefix(length);
  }
  return out;
}
