// mapview_bench.cc - the map in a browser: how long headless Chromium takes to draw a root
// submap of N nodes from the request, and how long an OVw event takes from its post to the page.
//
//   mapview_bench [nodes] [events]      (defaults 1000 and 200)
//
// A database with N nodes on the root submap and a map session; the real mapview; Chromium
// driven by bench/map_page_bench.py. The events are node creations posted by this process
// through the database's admin layer, 20 ms apart; the page stamps each one's arrival on its
// event stream, and the two clocks are the same machine's wall clock.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "admin.h"
#include "process.h"
#include "store.h"
#include "test_database.h"

namespace {

using namespace std::chrono_literals;

double nowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int argc, char **argv) {
  const int nodes = std::max(1, argc > 1 ? std::atoi(argv[1]) : 1000);
  const int events = std::max(1, argc > 2 ? std::atoi(argv[2]) : 200);
  if (!kt::isolateNetwork()) std::fprintf(stderr, "note: no network namespace\n");

  kt::TestDatabase db;
  if (db.ovw({"start", "session"}).status != 0 || db.ovw({"open", "map"}).status != 0) {
    std::fprintf(stderr, "could not start the map session\n");
    return 1;
  }
  auto store = kestara::ovw::Store::open(db.path());
  if (!store) {
    std::fprintf(stderr, "%s\n", store.error().detail.c_str());
    return 1;
  }
  const auto addNode = [&](const std::string &name) -> uint32_t {
    kestara::ovw::admin::NodeSpec spec;
    spec.hostname = name + ".invalid";
    spec.selection_name = name;
    auto added = kestara::ovw::admin::addNode(**store, spec);
    if (!added) {
      std::fprintf(stderr, "%s\n", added.error().detail.c_str());
      return 0;
    }
    return added->object_id;
  };
  for (int i = 0; i < nodes; ++i) {
    if (addNode("node-" + std::to_string(i)) == 0) return 1;
  }

  kt::Process service =
      kt::Process::start({kt::binPath("mapview"), "--listen", "127.0.0.1:0"}, db.env());
  const std::string marker = "map on http://127.0.0.1:";
  if (!service.waitForOutput(marker, 10s)) {
    std::fprintf(stderr, "mapview did not start: %s\n", service.output().c_str());
    return 1;
  }
  const std::string out = service.output();
  const unsigned long port =
      std::strtoul(out.c_str() + out.find(marker) + marker.size(), nullptr, 10);

  kt::TempDir dir;
  const std::string posted = dir.path() + "/posted.json";
  const nlohmann::json setup = {{"url", "http://127.0.0.1:" + std::to_string(port)},
                                {"nodes", nodes},
                                {"events", events},
                                {"posted", posted}};
  kt::Process page =
      kt::Process::start({"/usr/bin/python3", kt::srcPath("bench/map_page_bench.py"), setup.dump()},
                         {{"PYTHONDONTWRITEBYTECODE", "1"}});
  if (!page.waitForOutput("ready\n", 120s)) {
    std::fprintf(stderr, "the page did not get ready:\n%s%s\n", page.output().c_str(),
                 page.errors().c_str());
    return 1;
  }
  // Node creations, each stamped just before its post.
  nlohmann::json stamps = nlohmann::json::object();
  for (int i = 0; i < events; ++i) {
    const double at = nowMs();
    const uint32_t id = addNode("late-" + std::to_string(i));
    if (id == 0) return 1;
    stamps[std::to_string(id)] = at;
    std::this_thread::sleep_for(20ms);
  }
  {
    std::ofstream file(posted + ".new");
    file << stamps.dump();
  }
  std::rename((posted + ".new").c_str(), posted.c_str());
  const std::optional<int> status = page.wait(120s);
  std::printf("%s", page.output().c_str());
  if (status != 0) {
    std::fprintf(stderr, "%s\n", page.errors().c_str());
    return 1;
  }
  return 0;
}
