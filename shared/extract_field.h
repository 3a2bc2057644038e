// extract_field.h - the '#'-separated field splitter of the request protocols.
#ifndef KESTARA_SHARED_EXTRACT_FIELD_H
#define KESTARA_SHARED_EXTRACT_FIELD_H

#include <cstddef>
#include <span>
#include <string_view>

// Copies field number `index` of `request` into `destination` and returns the number of
// characters copied. Field 0 is the text before the first '#'; a field that begins at a '#' is
// empty, and so is a field beyond the last '#'. The request ends at its first NUL byte or at the
// end of the view. The copy is cut to destination.size() - 1 characters (127 in the protocols'
// 128-byte buffers) and always terminated. REQUIRES: destination.size() >= 1.
size_t extractField(std::span<char> destination, size_t index, std::string_view request);

#endif  // KESTARA_SHARED_EXTRACT_FIELD_H
