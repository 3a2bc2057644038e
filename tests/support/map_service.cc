// map_service.cc - test support: the map web service of a station, as a process of the test's own.
#include "map_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace kt {

MapService::MapService(const Station &station, std::vector<std::string> args, const Env &extra) {
  args.insert(args.begin(), {"--listen", "127.0.0.1:0"});
  process_ = station.start("mapview", args, extra);
  const std::string marker = "map on http://127.0.0.1:";
  if (!process_->waitForOutput(marker, 10s)) return;
  const std::string out = process_->output();
  port_ = static_cast<uint16_t>(
      std::strtoul(out.c_str() + out.find(marker) + marker.size(), nullptr, 10));
}

MapStation::MapStation() {
  db().ovwOutput({"start", "session"});
  db().ovwOutput({"open", "map"});
}

nlohmann::json MapStation::list() {
  return nlohmann::json::parse(db().ovwOutput({"list", "--json"}), nullptr, false);
}

uint32_t MapStation::submapOf(uint32_t node) {
  const nlohmann::json l = list();
  for (const nlohmann::json &map : l["maps"]) {
    for (const nlohmann::json &submap : map["submaps"]) {
      if (submap["parent_object"] == node) return submap["id"].get<uint32_t>();
    }
  }
  return 0;
}

uint32_t MapStation::rootSubmap() {
  const nlohmann::json l = list();
  for (const nlohmann::json &map : l["maps"]) return map["root_submap"].get<uint32_t>();
  return 0;
}

void MapStation::startMossick(size_t icons) {
  mossick_ = station_.start("mossick");
  EXPECT_TRUE(eventually(
      [&] {
        const nlohmann::json l = list();
        bool registered = false;
        for (const nlohmann::json &a : l["sessions"][0]["attachments"]) {
          // Event 15 is the last it registers for.
          const nlohmann::json &events = a["events"];
          registered = registered || (a["application"] == "Varnis Console Application" &&
                                      std::find(events.begin(), events.end(), 15) != events.end());
        }
        return registered && iconCount() >= icons;
      },
      10s))
      << mossick_->output();
}

size_t MapStation::iconCount() {
  size_t n = 0;
  const nlohmann::json l = list();
  for (const nlohmann::json &map : l["maps"]) {
    for (const nlohmann::json &submap : map["submaps"]) {
      for (const nlohmann::json &symbol : submap["symbols"]) {
        n += symbol["type"] == "Software:Varnis";
      }
    }
  }
  return n;
}

}  // namespace kt
