// map_service.h - test support: the map web service (mapview) of a station, as a process of the
// test's own.
#ifndef KESTARA_TESTS_SUPPORT_MAP_SERVICE_H
#define KESTARA_TESTS_SUPPORT_MAP_SERVICE_H

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"
#include "station.h"

namespace kt {

// mapview on 127.0.0.1 at a port of its choosing, in the station's environment, with `args`
// after its --listen; stopped and reaped when the object goes.
class MapService {
 public:
  explicit MapService(const Station &station, std::vector<std::string> args = {},
                      const Env &extra = {});
  MapService(const MapService &) = delete;
  MapService &operator=(const MapService &) = delete;

  // True once it serves (its start line names the port).
  bool ready() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT": what its pages send as their Origin.
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  Process &process() { return *process_; }

 private:
  std::unique_ptr<Process> process_;
  uint16_t port_ = 0;
};

// A station with a map session played by `ovw` (started, its map open), and mossick beside it
// when asked.
class MapStation {
 public:
  MapStation();
  Station &station() { return station_; }
  TestDatabase &db() { return station_.db(); }
  // A node without a node event; its id.
  uint32_t addNode(const std::string &host, const std::string &selection) {
    return db().addQuietNode(host, selection);
  }
  // The database as `ovw list --json` gives it.
  nlohmann::json list();
  // The id of the node's own submap; of the map's root submap.
  uint32_t submapOf(uint32_t node);
  uint32_t rootSubmap();
  // Starts mossick and waits until it listens to the map's events and has placed `icons` icons.
  void startMossick(size_t icons);
  size_t iconCount();

 private:
  Station station_;
  std::unique_ptr<Process> mossick_;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_MAP_SERVICE_H
