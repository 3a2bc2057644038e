// extract_field.cc - the '#'-separated field splitter of the request protocols.
#include "extract_field.h"

#include "text.h"

size_t extractField(std::span<char> destination, size_t index, std::string_view request) {
  if (destination.empty()) return 0;
  request = request.substr(0, request.find('\0'));
  size_t start = 0;
  for (size_t skipped = 0; skipped < index; ++skipped) {
    size_t hash = request.find('#', start);
    if (hash == std::string_view::npos) {
      destination[0] = '\0';
      return 0;
    }
    start = hash + 1;
  }
  std::string_view field = request.substr(start);
  return copyText(destination, field.substr(0, field.find('#')));
}
