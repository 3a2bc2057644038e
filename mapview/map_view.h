// map_view.h - the open map of one session as the service shows it: its submaps, their symbols,
// the nodes they are drawn for and their Kestara device flag; as JSON and as SVG pictures.
#ifndef KESTARA_MAPVIEW_MAP_VIEW_H
#define KESTARA_MAPVIEW_MAP_VIEW_H

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "admin.h"

namespace mapview {

// The symbol type, label and action of the product's icon that the console map application
// places on the submap of each flagged node.
inline constexpr const char *kProductSymbolType = "Software:Varnis";
inline constexpr const char *kProductAction = "Start Web Action";

struct SymbolView {
  uint32_t id = 0;
  uint32_t object = 0;
  std::string type;
  std::string label;
  std::optional<std::string> application;
  std::optional<std::string> action;
  std::vector<uint32_t> targets;
  // The product's icon: its type, with the action that starts the applet on its target node.
  bool productIcon = false;
};

struct SubmapView {
  uint32_t id = 0;
  std::string name;
  uint32_t parentObject = 0;  // 0: the root submap
  std::vector<SymbolView> symbols;
};

struct ObjectView {
  uint32_t id = 0;
  std::optional<std::string> hostname;
  std::optional<std::string> selectionName;
  bool isNode = false;
  bool snmpSupported = false;
  bool flagged = false;      // isKestaraDevice
  uint32_t childSubmap = 0;  // the object's own submap on the map, 0 for none
};

struct MapView {
  std::string session;
  bool running = false;
  std::optional<std::string> mapName;  // none: no map open
  uint32_t rootSubmap = 0;
  std::vector<SubmapView> submaps;
  std::map<uint32_t, ObjectView> objects;  // those drawn on the map and those owning a submap
  std::vector<uint32_t> selection;

  [[nodiscard]] const SubmapView *submap(uint32_t id) const;
  [[nodiscard]] const ObjectView *object(uint32_t id) const;
  // The name to show for an object: its selection name, else its host name, else its id.
  [[nodiscard]] std::string nameOf(uint32_t object) const;
};

// The view of `session` in a snapshot of the database. A session that is not there, or has no
// map open, gives a view without submaps.
[[nodiscard]] MapView buildMapView(const kestara::ovw::admin::Snapshot &snapshot,
                                   const std::string &session);

// The whole view as JSON: session, map, root submap, submaps (with their symbols), objects and
// selection. Texts from the database are JSON strings; nothing is escaped for markup here.
[[nodiscard]] nlohmann::json mapJson(const MapView &view);
[[nodiscard]] nlohmann::json submapJson(const MapView &view, const SubmapView &submap);

// One submap drawn as a standalone SVG document: every symbol with its label, nodes coloured by
// their flag, the product's icon as a link to the applet page of its target node. Every name is
// escaped with escapeMarkup.
[[nodiscard]] std::string submapSvg(const MapView &view, const SubmapView &submap);

// JSON text that can carry any bytes: invalid UTF-8 in database names becomes U+FFFD.
[[nodiscard]] std::string jsonText(const nlohmann::json &value);

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_MAP_VIEW_H
