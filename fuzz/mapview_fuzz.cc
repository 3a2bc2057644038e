// mapview_fuzz.cc - what the map web service makes of untrusted text: the markup escaping of
// names, and the applet request built from a page's JSON call.
//
// Input: the first byte chooses; the rest is a name to escape (even) or a request body (odd).
// Checks: escaped text holds no character that can start or end markup, no control character,
// only well-formed UTF-8, and '&' only as one of the five references; a request that is built
// has at most 256 bytes, no control character, and exactly the fields its command takes.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "applet_relay.h"
#include "markup.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void checkEscaped(std::string_view text) {
  const std::string out = escapeMarkup(text);
  for (size_t i = 0; i < out.size();) {
    const auto c = static_cast<unsigned char>(out[i]);
    check(c != '<' && c != '>' && c != '"' && c != '\'' && c >= 0x20 && c != 0x7f);
    if (c == '&') {
      const std::string_view rest = std::string_view(out).substr(i);
      bool reference = false;
      for (std::string_view r : {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"}) {
        if (rest.starts_with(r)) reference = true;
      }
      check(reference);
    }
    size_t length = 1;
    if (c >= 0x80) {
      check(c >= 0xC2 && c <= 0xF4);
      length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      check(i + length <= out.size());
      for (size_t k = 1; k < length; ++k) {
        check((static_cast<unsigned char>(out[i + k]) & 0xC0u) == 0x80u);
      }
    }
    i += length;
  }
}

void checkRequest(std::string_view body) {
  const mapview::AppletRequest r =
      mapview::buildAppletRequest(nlohmann::json::parse(body, nullptr, false));
  check(r.text.empty() != r.error.empty());
  if (r.text.empty()) return;
  check(r.text.size() <= 256);
  size_t fields = 1;
  for (char c : r.text) {
    check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    if (c == '#') ++fields;
  }
  const std::string_view command = std::string_view(r.text).substr(0, r.text.find('#'));
  if (command == "getHostName") {
    check(fields == 1);
  } else if (command == "openSnmpSession" || command == "closeSession") {
    check(fields == 2);
  } else {
    check((command == "getSnmpData" || command == "getIpAddress") && fields == 3);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
  if ((data[0] & 1u) == 0) {
    checkEscaped(rest);
  } else {
    checkRequest(rest);
  }
  return 0;
}
