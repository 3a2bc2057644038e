// Tests of the map as the service shows it: the view of a session's open map in a snapshot of
// the database, its JSON, and its SVG pictures.
#include "map_view.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace admin = kestara::ovw::admin;
using mapview::buildMapView;
using mapview::MapView;

bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

kestara::ovw::SymbolRow symbol(uint32_t id, uint32_t submap, uint32_t object, std::string type,
                               std::string label) {
  kestara::ovw::SymbolRow s;
  s.id = id;
  s.submap_id = submap;
  s.object_id = object;
  s.type = std::move(type);
  s.label = std::move(label);
  return s;
}

admin::Snapshot::Object object(uint32_t id, std::string host, std::string selection, bool flagged,
                               bool node = true) {
  admin::Snapshot::Object o;
  o.row.id = id;
  o.row.hostname = std::move(host);
  o.row.selection_name = std::move(selection);
  o.row.is_node = node;
  o.row.is_snmp_supported = node;
  o.values = {{"isNode", node ? 1 : 0}, {"isKestaraDevice", flagged ? 1 : 0}};
  return o;
}

// Session "st:0" with map "default": on the root submap (1) a Kestara device (object 1, whose
// names are hostile), an ordinary node (2) and a symbol of no node (5); on the device's submap
// (2) the product's icon (object 3) aimed at it; the ordinary node's submap (3) is empty. An
// ended session of the same name and another map are there too.
admin::Snapshot::Submap submap(uint32_t id, int32_t map, std::string name, uint32_t parent,
                               std::vector<kestara::ovw::SymbolRow> symbols) {
  admin::Snapshot::Submap s;
  s.row.id = id;
  s.row.map_id = map;
  s.row.name = std::move(name);
  s.row.parent_object = parent;
  s.symbols = std::move(symbols);
  return s;
}

admin::Snapshot::Session session(int64_t id, std::string name, bool running, std::string map) {
  admin::Snapshot::Session s;
  s.id = id;
  s.name = std::move(name);
  s.running = running;
  s.map = std::move(map);
  return s;
}

admin::Snapshot sample() {
  admin::Snapshot snap;
  snap.sessions.push_back(session(1, "st:0", false, "old"));
  snap.sessions.push_back(session(2, "st:0", true, "default"));
  snap.sessions.push_back(session(3, "other:0", true, "old"));
  snap.sessions[0].selection = {2};
  snap.sessions[1].selection = {2};

  admin::Snapshot::Map old;
  old.row.id = 9;
  old.row.name = "old";
  old.row.root_submap = 90;
  old.submaps.push_back(
      submap(90, 9, "old root", 0, {symbol(900, 90, 4, "Computer:Generic", "x")}));
  admin::Snapshot::Map map;
  map.row.id = 1;
  map.row.name = "default";
  map.row.root_submap = 1;
  map.submaps.push_back(submap(1, 1, "root", 0,
                               {symbol(10, 1, 1, "Computer:Generic", "<script>alert(1)</script>"),
                                symbol(11, 1, 2, "Computer:Generic", "plain \"node\" & co"),
                                symbol(12, 1, 5, "Network:Segment", "segment")}));
  kestara::ovw::SymbolRow icon = symbol(20, 2, 3, "Software:Varnis", "Varnis Console");
  icon.application = "Varnis Console Application";
  icon.action = "Start Web Action";
  icon.behavior = 2;
  icon.targets = {1};
  map.submaps.push_back(submap(2, 1, "device", 1, {icon}));
  map.submaps.push_back(submap(3, 1, "plain", 2, {}));
  snap.maps = {old, map};

  snap.objects = {object(1, "<script>alert(1)</script>", "dev'ice\"&<b>", true),
                  object(2, "plain.test", "plain", false), object(3, "", "", false, false),
                  object(4, "old.test", "old", true),
                  object(5, "segment", "segment", false, false)};
  return snap;
}

TEST(MapViewModel, TheRunningSessionsOpenMap) {
  const MapView view = buildMapView(sample(), "st:0");
  EXPECT_TRUE(view.running);
  ASSERT_TRUE(view.mapName.has_value());
  EXPECT_EQ("default", *view.mapName);
  EXPECT_EQ(1u, view.rootSubmap);
  ASSERT_EQ(3u, view.submaps.size());
  EXPECT_EQ(nullptr, view.submap(90));  // the other map's
  EXPECT_EQ(std::vector<uint32_t>{2}, view.selection);

  const mapview::ObjectView *device = view.object(1);
  ASSERT_NE(nullptr, device);
  EXPECT_TRUE(device->flagged);
  EXPECT_TRUE(device->isNode);
  EXPECT_EQ(2u, device->childSubmap);
  EXPECT_FALSE(view.object(2)->flagged);
  EXPECT_EQ(3u, view.object(2)->childSubmap);
  EXPECT_EQ(nullptr, view.object(4));  // only on the other map

  const mapview::SubmapView *deviceSubmap = view.submap(2);
  ASSERT_NE(nullptr, deviceSubmap);
  ASSERT_EQ(1u, deviceSubmap->symbols.size());
  EXPECT_TRUE(deviceSubmap->symbols[0].productIcon);
  EXPECT_FALSE(view.submap(1)->symbols[0].productIcon);
  EXPECT_EQ("dev'ice\"&<b>", view.nameOf(1));
  EXPECT_EQ("4242", view.nameOf(4242));
}

TEST(MapViewModel, NoMapOrNoSessionGivesAnEmptyView) {
  admin::Snapshot snap = sample();
  snap.sessions[1].map.reset();
  MapView view = buildMapView(snap, "st:0");
  EXPECT_TRUE(view.running);
  EXPECT_FALSE(view.mapName.has_value());
  EXPECT_TRUE(view.submaps.empty());

  view = buildMapView(sample(), "nobody:0");
  EXPECT_FALSE(view.running);
  EXPECT_TRUE(view.submaps.empty());
  EXPECT_TRUE(view.objects.empty());
}

TEST(MapViewJson, FlagsAreBooleansAndIconsAreMarked) {
  const MapView view = buildMapView(sample(), "st:0");
  const nlohmann::json j = mapview::mapJson(view);
  EXPECT_EQ("default", j["map"]);
  EXPECT_EQ(1, j["root_submap"]);
  ASSERT_EQ(3u, j["submaps"].size());
  const nlohmann::json &icon = j["submaps"][1]["symbols"][0];
  EXPECT_EQ(true, icon["product_icon"]);
  EXPECT_EQ(nlohmann::json::array({1}), icon["targets"]);
  EXPECT_EQ("Start Web Action", icon["action"]);
  EXPECT_EQ(true, j["submaps"][1]["parent_flagged"]);
  EXPECT_EQ(true, j["submaps"][0]["symbols"][0]["isKestaraDevice"]);
  EXPECT_EQ(false, j["submaps"][0]["symbols"][1]["isKestaraDevice"]);
  bool sawDevice = false;
  for (const nlohmann::json &o : j["objects"]) {
    if (o["id"] == 1) {
      sawDevice = true;
      EXPECT_TRUE(o["isKestaraDevice"].is_boolean());
      EXPECT_EQ(true, o["isKestaraDevice"]);
      EXPECT_EQ("<script>alert(1)</script>", o["hostname"]);  // JSON carries the name as it is
    }
  }
  EXPECT_TRUE(sawDevice);
  // Bytes that are no UTF-8 still give JSON text.
  EXPECT_EQ("\"a\xEF\xBF\xBD\"", mapview::jsonText(nlohmann::json(std::string("a\xFF"))));
}

TEST(MapViewSvg, RootSubmapShowsNodesFlagsAndEscapedLabels) {
  const MapView view = buildMapView(sample(), "st:0");
  const std::string svg = mapview::submapSvg(view, *view.submap(1));
  EXPECT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\""));
  EXPECT_TRUE(contains(svg,
                       "class=\"symbol node flagged\" data-symbol=\"10\" data-object=\"1\" "
                       "data-submap=\"2\""))
      << svg;
  EXPECT_TRUE(contains(svg, "class=\"symbol node selected\" data-symbol=\"11\" data-object=\"2\""))
      << svg;
  EXPECT_TRUE(contains(svg, "class=\"symbol\" data-symbol=\"12\" data-object=\"5\""));
  EXPECT_TRUE(contains(svg, "&lt;script&gt;alert(1)&lt;/script&gt;"));
  EXPECT_TRUE(contains(svg, "plain &quot;node&quot; &amp; co"));
  EXPECT_FALSE(contains(svg, "<script"));
  EXPECT_FALSE(contains(svg, "\"node\""));
  EXPECT_TRUE(contains(svg, ">isKestaraDevice</text>"));
  EXPECT_TRUE(contains(svg, ">not flagged</text>"));
}

TEST(MapViewSvg, DeviceSubmapShowsTheProductIconAsTheAppletLink) {
  const MapView view = buildMapView(sample(), "st:0");
  const std::string svg = mapview::submapSvg(view, *view.submap(2));
  EXPECT_TRUE(contains(svg,
                       "class=\"symbol product-icon\" data-symbol=\"20\" data-object=\"3\" "
                       "data-applet=\"1\""))
      << svg;
  EXPECT_TRUE(contains(svg, "<a href=\"/applet?node=1\""));
  EXPECT_TRUE(contains(svg, ">isKestaraDevice: true</text>"));
  // The title names the device by its (hostile) selection name, escaped.
  EXPECT_TRUE(contains(svg, "Submap of dev&#39;ice&quot;&amp;&lt;b&gt;"));
  EXPECT_FALSE(contains(svg, "<b>"));

  const std::string plain = mapview::submapSvg(view, *view.submap(3));
  EXPECT_TRUE(contains(plain, ">isKestaraDevice: false</text>"));
  EXPECT_TRUE(contains(plain, "(no symbols)"));
  EXPECT_FALSE(contains(plain, "product-icon"));
}

// A long label is cut without splitting a character.
TEST(MapViewSvg, LongLabelsAreCutAtCharacters) {
  admin::Snapshot snap = sample();
  std::string label(39, 'x');
  label += "\xE2\x82\xAC and more";
  snap.maps[1].submaps[0].symbols[0].label = label;
  const MapView view = buildMapView(snap, "st:0");
  const std::string svg = mapview::submapSvg(view, *view.submap(1));
  EXPECT_TRUE(contains(svg, ">" + std::string(39, 'x') + "...</text>")) << svg;
}

}  // namespace
