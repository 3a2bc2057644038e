// map_view.cc - the open map of one session as the service shows it, as JSON and as SVG.
#include "map_view.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "markup.h"
#include "protocol.h"

namespace mapview {

namespace admin = kestara::ovw::admin;
using nlohmann::json;

const SubmapView *MapView::submap(uint32_t id) const {
  auto found = std::find_if(submaps.begin(), submaps.end(),
                            [id](const SubmapView &s) { return s.id == id; });
  return found == submaps.end() ? nullptr : &*found;
}

const ObjectView *MapView::object(uint32_t id) const {
  auto found = objects.find(id);
  return found == objects.end() ? nullptr : &found->second;
}

std::string MapView::nameOf(uint32_t id) const {
  const ObjectView *o = object(id);
  if (o != nullptr && o->selectionName && !o->selectionName->empty()) return *o->selectionName;
  if (o != nullptr && o->hostname && !o->hostname->empty()) return *o->hostname;
  return std::to_string(id);
}

MapView buildMapView(const admin::Snapshot &snapshot, const std::string &session) {
  MapView view;
  view.session = session;
  const admin::Snapshot::Session *found = nullptr;
  for (const admin::Snapshot::Session &s : snapshot.sessions) {
    // A name may have ended sessions before the running one: the running one counts.
    if (s.name == session && (found == nullptr || !found->running || s.running)) found = &s;
  }
  if (found == nullptr) return view;
  view.running = found->running;
  view.mapName = found->map;
  if (!found->running || !found->map) return view;
  view.selection = found->selection;

  const admin::Snapshot::Map *map = nullptr;
  for (const admin::Snapshot::Map &m : snapshot.maps) {
    if (m.row.name == *found->map) map = &m;
  }
  if (map == nullptr) return view;
  view.rootSubmap = map->row.root_submap;

  std::unordered_map<uint32_t, const admin::Snapshot::Object *> byId;
  for (const admin::Snapshot::Object &o : snapshot.objects) byId[o.row.id] = &o;
  const auto addObject = [&](uint32_t id) -> ObjectView * {
    auto known = byId.find(id);
    if (id == 0 || known == byId.end()) return nullptr;
    auto [entry, added] = view.objects.try_emplace(id);
    ObjectView &o = entry->second;
    if (added) {
      const admin::Snapshot::Object &source = *known->second;
      o.id = id;
      o.hostname = source.row.hostname;
      o.selectionName = source.row.selection_name;
      o.isNode = source.row.is_node;
      o.snmpSupported = source.row.is_snmp_supported;
      for (const auto &[field, value] : source.values) {
        if (field == kDeviceField) o.flagged = value != 0;
      }
    }
    return &o;
  };

  for (const admin::Snapshot::Submap &s : map->submaps) {
    SubmapView submap{s.row.id, s.row.name, s.row.parent_object, {}};
    if (ObjectView *parent = addObject(s.row.parent_object)) parent->childSubmap = s.row.id;
    for (const kestara::ovw::SymbolRow &row : s.symbols) {
      SymbolView symbol{row.id,          row.object_id, row.type,    row.label,
                        row.application, row.action,    row.targets, false};
      symbol.productIcon =
          row.type == kProductSymbolType && row.action == kProductAction && !row.targets.empty();
      (void)addObject(row.object_id);
      for (uint32_t target : row.targets) (void)addObject(target);
      submap.symbols.push_back(std::move(symbol));
    }
    view.submaps.push_back(std::move(submap));
  }
  return view;
}

// --- JSON ------------------------------------------------------------------------------------

namespace {

json optionalText(const std::optional<std::string> &text) {
  return text ? json(*text) : json(nullptr);
}

json symbolJson(const MapView &view, const SymbolView &s) {
  const ObjectView *object = view.object(s.object);
  json out = {{"id", s.id},
              {"object", s.object},
              {"type", s.type},
              {"label", s.label},
              {"application", optionalText(s.application)},
              {"action", optionalText(s.action)},
              {"targets", s.targets},
              {"product_icon", s.productIcon},
              {"isKestaraDevice", object != nullptr && object->flagged},
              {"child_submap", object != nullptr ? object->childSubmap : 0}};
  return out;
}

}  // namespace

json submapJson(const MapView &view, const SubmapView &submap) {
  json symbols = json::array();
  for (const SymbolView &s : submap.symbols) symbols.push_back(symbolJson(view, s));
  const ObjectView *parent = view.object(submap.parentObject);
  return {{"id", submap.id},
          {"name", submap.name},
          {"parent_object", submap.parentObject},
          {"parent_flagged", parent != nullptr && parent->flagged},
          {"symbols", std::move(symbols)}};
}

json mapJson(const MapView &view) {
  json submaps = json::array();
  for (const SubmapView &s : view.submaps) submaps.push_back(submapJson(view, s));
  json objects = json::array();
  for (const auto &[id, o] : view.objects) {
    objects.push_back({{"id", id},
                       {"hostname", optionalText(o.hostname)},
                       {"selection_name", optionalText(o.selectionName)},
                       {"is_node", o.isNode},
                       {"is_snmp_supported", o.snmpSupported},
                       {"isKestaraDevice", o.flagged},
                       {"submap", o.childSubmap}});
  }
  return {{"session", view.session},           {"running", view.running},
          {"map", optionalText(view.mapName)}, {"root_submap", view.rootSubmap},
          {"submaps", std::move(submaps)},     {"objects", std::move(objects)},
          {"selection", view.selection}};
}

std::string jsonText(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// --- SVG -------------------------------------------------------------------------------------

namespace {

constexpr int kColumns = 5;
constexpr int kCellWidth = 170;
constexpr int kCellHeight = 140;
constexpr int kTop = 60;
// A label longer than this many bytes is cut (at a character boundary) and marked with "...".
constexpr size_t kMaxLabel = 40;

std::string number(long value) { return std::to_string(value); }

// The label cut to kMaxLabel bytes without splitting a UTF-8 sequence.
std::string shortLabel(const std::string &label) {
  if (label.size() <= kMaxLabel) return label;
  size_t cut = kMaxLabel;
  while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0u) == 0x80u) --cut;
  return label.substr(0, cut) + "...";
}

bool selected(const MapView &view, uint32_t object) {
  return std::find(view.selection.begin(), view.selection.end(), object) != view.selection.end();
}

void drawSymbol(std::string &out, const MapView &view, const SymbolView &s, int x, int y) {
  const ObjectView *object = view.object(s.object);
  const bool isNode = object != nullptr && object->isNode;
  const bool flagged = object != nullptr && object->flagged;
  const bool isSelected = selected(view, s.object);
  std::string classes = "symbol";
  if (s.productIcon) classes += " product-icon";
  if (isNode) classes += " node";
  if (flagged) classes += " flagged";
  if (isSelected) classes += " selected";

  out += "<g class=\"" + classes + "\" data-symbol=\"" + number(s.id) + "\" data-object=\"" +
         number(s.object) + "\"";
  if (object != nullptr && object->childSubmap != 0) {
    out += " data-submap=\"" + number(object->childSubmap) + "\"";
  }
  if (s.productIcon) out += " data-applet=\"" + number(s.targets.front()) + "\"";
  out += " transform=\"translate(" + number(x) + "," + number(y) + ")\">";

  // The tooltip: what the symbol stands for.
  std::string title = s.label;
  if (s.productIcon) {
    title +=
        " - " + (s.action ? *s.action : std::string()) + " on " + view.nameOf(s.targets.front());
  } else if (object != nullptr && object->hostname) {
    title += " (" + *object->hostname + ")";
  }
  if (isNode) title += flagged ? " - Kestara device" : " - not a Kestara device";
  out += "<title>" + escapeMarkup(title) + "</title>";

  const char *stroke = isSelected ? "#1565c0" : "#37474f";
  const char *strokeWidth = isSelected ? "4" : "1.5";
  if (s.productIcon) {
    out += "<a href=\"/applet?node=" + number(s.targets.front()) + "\" target=\"_blank\">";
    out += "<polygon points=\"0,-34 30,-17 30,17 0,34 -30,17 -30,-17\" fill=\"#ef6c00\" stroke=\"";
    out += std::string(stroke) + "\" stroke-width=\"" + strokeWidth + "\"/>";
    out +=
        "<text y=\"9\" text-anchor=\"middle\" font-family=\"sans-serif\" font-size=\"26\" "
        "font-weight=\"bold\" fill=\"#ffffff\">V</text></a>";
  } else if (isNode) {
    out += "<rect x=\"-38\" y=\"-28\" width=\"76\" height=\"50\" rx=\"6\" fill=\"";
    out += flagged ? "#2e7d32" : "#90a4ae";
    out += "\" stroke=\"" + std::string(stroke) + "\" stroke-width=\"" + strokeWidth + "\"/>";
    out += "<rect x=\"-14\" y=\"22\" width=\"28\" height=\"8\" fill=\"#546e7a\"/>";
    if (flagged) {
      out +=
          "<circle cx=\"30\" cy=\"-24\" r=\"11\" fill=\"#ffca28\" stroke=\"#37474f\"/>"
          "<text x=\"30\" y=\"-19\" text-anchor=\"middle\" font-family=\"sans-serif\" "
          "font-size=\"13\" font-weight=\"bold\" fill=\"#37474f\">K</text>";
    }
  } else {
    out += "<circle r=\"26\" fill=\"#b0bec5\" stroke=\"" + std::string(stroke) +
           "\" stroke-width=\"" + strokeWidth + "\"/>";
  }
  out +=
      "<text class=\"label\" y=\"54\" text-anchor=\"middle\" font-family=\"sans-serif\" "
      "font-size=\"13\" fill=\"#212121\">" +
      escapeMarkup(shortLabel(s.label)) + "</text>";
  if (isNode) {
    out +=
        "<text class=\"flag\" y=\"70\" text-anchor=\"middle\" font-family=\"sans-serif\" "
        "font-size=\"11\" fill=\"";
    out += flagged ? "#2e7d32\">isKestaraDevice</text>" : "#78909c\">not flagged</text>";
  }
  out += "</g>";
}

}  // namespace

std::string submapSvg(const MapView &view, const SubmapView &submap) {
  const int count = static_cast<int>(submap.symbols.size());
  const int rows = std::max(1, (count + kColumns - 1) / kColumns);
  const int width = kColumns * kCellWidth;
  const int height = kTop + rows * kCellHeight;

  std::string title =
      submap.parentObject == 0 ? "Root submap" : "Submap of " + view.nameOf(submap.parentObject);
  const ObjectView *parent = view.object(submap.parentObject);
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"submap\" data-submap=\"" +
                    number(submap.id) + "\" width=\"" + number(width) + "\" height=\"" +
                    number(height) + "\" viewBox=\"0 0 " + number(width) + " " + number(height) +
                    "\" role=\"img\">";
  out += "<title>" + escapeMarkup(title + ": " + submap.name) + "</title>";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>";
  out += "<text x=\"16\" y=\"30\" font-family=\"sans-serif\" font-size=\"18\" fill=\"#263238\">" +
         escapeMarkup(title + " \"" + submap.name + "\"") + "</text>";
  if (parent != nullptr && parent->isNode) {
    out +=
        "<text class=\"parent-flag\" x=\"16\" y=\"50\" font-family=\"sans-serif\" "
        "font-size=\"13\" fill=\"";
    out += parent->flagged ? "#2e7d32\">isKestaraDevice: true</text>"
                           : "#78909c\">isKestaraDevice: false</text>";
  }
  if (count == 0) {
    out += "<text x=\"16\" y=\"" + number(kTop + 40) +
           "\" font-family=\"sans-serif\" font-size=\"14\" fill=\"#78909c\">(no symbols)</text>";
  }
  for (int i = 0; i < count; ++i) {
    const int x = (i % kColumns) * kCellWidth + kCellWidth / 2;
    const int y = kTop + (i / kColumns) * kCellHeight + 50;
    drawSymbol(out, view, submap.symbols[static_cast<size_t>(i)], x, y);
  }
  out += "</svg>\n";
  return out;
}

}  // namespace mapview
