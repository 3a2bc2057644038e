// map_service.h - test support: the map web service (mapview) as a process of the test's own.
#ifndef KESTARA_TESTS_SUPPORT_MAP_SERVICE_H
#define KESTARA_TESTS_SUPPORT_MAP_SERVICE_H

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"
#include "test_database.h"

namespace kt {

// mapview on 127.0.0.1 at a port of its choosing, with the database `db`; stopped and reaped
// when the object goes.
class MapService {
 public:
  explicit MapService(const TestDatabase &db, std::vector<std::string> args = {}, Env env = {});
  MapService(const MapService &) = delete;
  MapService &operator=(const MapService &) = delete;

  // True once it serves (its start line names the port).
  bool ready() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT": what its pages send as their Origin.
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
  Process &process() { return process_; }

 private:
  Process process_;
  uint16_t port_ = 0;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_MAP_SERVICE_H
