// assets.h - the pages, style sheet and scripts the service serves, built into the program.
#ifndef KESTARA_MAPVIEW_ASSETS_H
#define KESTARA_MAPVIEW_ASSETS_H

#include <string>
#include <string_view>

#include "map_view.h"

namespace mapview {

[[nodiscard]] std::string_view indexPage();
[[nodiscard]] std::string_view styleSheet();
[[nodiscard]] std::string_view mapScript();
[[nodiscard]] std::string_view appletScript();

// The applet page of `node` (an object of `view`): its names escaped, the gateway calls made by
// the applet script.
[[nodiscard]] std::string appletPage(const MapView &view, const ObjectView &node);

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_ASSETS_H
