// map_service.cc - test support: the map web service of a station, as a process of the test's own.
#include "map_service.h"

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

}  // namespace kt
