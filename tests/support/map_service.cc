// map_service.cc - test support: the map web service as a process of the test's own.
#include "map_service.h"

#include <cstdlib>

namespace kt {

namespace {

Process startService(const TestDatabase &db, std::vector<std::string> args, const Env &extra) {
  std::vector<std::string> argv = {binPath("mapview"), "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), args.begin(), args.end());
  Env env = db.env();
  env.insert(env.end(), extra.begin(), extra.end());
  return Process::start(argv, env);
}

}  // namespace

MapService::MapService(const TestDatabase &db, std::vector<std::string> args, Env env)
    : process_(startService(db, std::move(args), env)) {
  const std::string marker = "map on http://127.0.0.1:";
  if (!process_.waitForOutput(marker, 10s)) return;
  const std::string out = process_.output();
  const size_t at = out.find(marker) + marker.size();
  port_ = static_cast<uint16_t>(std::strtoul(out.c_str() + at, nullptr, 10));
}

}  // namespace kt
