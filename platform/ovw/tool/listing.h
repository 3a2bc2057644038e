// listing.h - what `ovw list` prints: the snapshot as text for people, or as one JSON document.
#ifndef KESTARA_PLATFORM_OVW_TOOL_LISTING_H
#define KESTARA_PLATFORM_OVW_TOOL_LISTING_H

#include <ostream>
#include <string>
#include <string_view>

#include "admin.h"

namespace kestara::ovw {

// Text from the database or the file system, with control characters made visible.
std::string shownText(std::string_view s);

// The snapshot as text, one section (fields, applications, sessions, maps, objects) after the
// other.
void printText(std::ostream &out, const admin::Snapshot &snap);

// The whole snapshot as one JSON document on one line. Boolean fields are true or false, other
// fields numbers; texts that are no UTF-8 have their bad bytes replaced by U+FFFD.
void printJson(std::ostream &out, const admin::Snapshot &snap);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_TOOL_LISTING_H
