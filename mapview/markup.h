// markup.h - text from the object database or an agent, made safe to place in HTML and SVG.
#ifndef KESTARA_MAPVIEW_MARKUP_H
#define KESTARA_MAPVIEW_MARKUP_H

#include <string>
#include <string_view>

// The one escaping of the service: a copy of `text` that can stand in element content and in a
// quoted attribute value of HTML and of SVG (XML) alike. '&', '<', '>', '"' and '\'' become
// character references; bytes that are no well-formed UTF-8, control characters (C0, DEL, C1)
// and the characters XML forbids (U+FFFE, U+FFFF) become U+FFFD, so that no name can end an
// element or an attribute, start markup, or make the SVG document ill-formed.
[[nodiscard]] std::string escapeMarkup(std::string_view text);

#endif  // KESTARA_MAPVIEW_MARKUP_H
