// mapopen_bench.cc - a map open with 64 flagged nodes: the time from the map-open event's post
// to mossick's last icon, against a baseline measured in the same run:
//   (a) the same 64 icons placed by direct OVw library calls in this process (the work that
//       mossick cannot avoid: list the flagged nodes, check each submap, create an object, a
//       symbol and its behaviour);
//   (b) an `ovw` command that posts nothing (the tool's own start-up cost, which is part of
//       the measured map open because the post is made by `ovw open map`);
//   (c) `ovw open map` started → mossick's log shows the 64th icon.
// Prints median and p90 of each, and the ratio (c - b) / a: mossick's overhead over the bare
// library work, event delivery and logging included.
//
//   mapopen_bench [iterations]      (default 15)
//   KT_DATABASE=postgresql mapopen_bench ...     the database on a PostgreSQL server
//   KT_DATABASE=postgresql-socket ...            ... reached through its socket instead of TCP
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "OVw.h"
#include "field_list.h"
#include "process.h"
#include "test_database.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kNodes = 64;
constexpr const char *kApp = "Varnis Console Application";

struct Stats {
  double median_ms;
  double p90_ms;
};

Stats stats(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

void report(const char *name, Stats s) {
  std::printf("%-52s median %8.2f ms   p90 %8.2f ms\n", name, s.median_ms, s.p90_ms);
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool ovw(const kt::Env &env, std::vector<std::string> args) {
  args.insert(args.begin(), kt::binPath("ovw"));
  kt::RunResult r = kt::run(args, env);
  if (r.status != 0) std::fprintf(stderr, "ovw %s failed: %s\n", args[1].c_str(), r.err.c_str());
  return r.status == 0;
}

size_t countOf(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// (a): places the icon of every flagged node as mossick does, then removes the symbols and
// objects again. Returns the placing time in ms, or a negative number on failure.
double placeDirectly() {
  auto start = Clock::now();
  OVwMapInfo *map = OVwGetMapInfo();
  if (map == nullptr || OVwBeginMapSync(map) < 0) return -1;
  OVwFieldBindList *filter = buildFieldValueList(1, "isKestaraDevice", nullptr);
  OVwObjectList *nodes = OVwListObjectsOnMap(map, filter);
  std::vector<std::pair<OVwSymbolId, OVwObjectId>> made;
  for (int i = 0; nodes != nullptr && i < nodes->count; ++i) {
    OVwObjectId node = nodes->objects[i].object_id;
    OVwObjectInfo *info = OVwGetObjectInfo(map, node);
    if (info == nullptr) continue;
    OVwSubmapId submap = info->child_submap_id;
    OVwFreeObjectInfo(info);
    OVwSymbolList *present = OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, kApp);
    if (present != nullptr && present->count == 0) {
      OVwObjectId object = OVwDbCreateObject(nullptr);
      OVwSymbolId symbol =
          OVwCreateSymbol(map, submap, object, "Software:Varnis", "Varnis Console", 1, 3, 0, 2);
      OVwObjectIdList targets{1, &node};
      (void)OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Start Web Action",
                                 &targets);
      made.push_back({symbol, object});
    }
    OVwFreeSymbolList(present);
  }
  (void)OVwEndMapSync(map);
  double ms = msSince(start);
  for (auto [symbol, object] : made) {
    (void)OVwDeleteSymbol(map, symbol);
    (void)OVwDbDeleteObject(object);
  }
  OVwFreeObjectList(nodes);
  freeFieldValueList(filter);
  OVwFreeMapInfo(map);
  return made.size() == kNodes ? ms : -1;
}

}  // namespace

int main(int argc, char **argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 15;
  if (iterations < 3) iterations = 3;

  // An SQLite file, or with KT_DATABASE=postgresql a database on a PostgreSQL server.
  kt::TestDatabase database(/*defineField=*/false);
  const std::string db = database.path();
  setenv("OVW_DATABASE", db.c_str(), 1);
  kt::Env env = {{"OVW_DATABASE", db}};
  if (std::getenv("KESTARA_SRC") != nullptr) {
    env.push_back({"OVW_REGISTRATION_DIR", kt::srcPath("platform/ovw/registration")});
  }
  if (!ovw(env, {"-fields"}) || !ovw(env, {"start", "session"}) || !ovw(env, {"open", "map"})) {
    return 1;
  }
  for (int i = 0; i < kNodes; ++i) {
    kt::RunResult r = kt::run(
        {kt::binPath("ovw"), "add", "node", "node-" + std::to_string(i), "--no-trap", "--no-snmp"},
        env);
    if (r.status != 0 ||
        !ovw(env, {"set", "field", r.out.substr(0, r.out.find('\n')), "isKestaraDevice", "true"})) {
      return 1;
    }
  }

  // (a) in this process, attached as the application itself.
  if (_OVwInitSession(5, kApp, nullptr) < 0) {
    std::fprintf(stderr, "_OVwInitSession: %s\n", OVwErrorMsg(OVwError()));
    return 1;
  }
  std::vector<double> direct;
  for (int i = 0; i < iterations; ++i) {
    double ms = placeDirectly();
    if (ms < 0) {
      std::fprintf(stderr, "direct placing failed: %s\n", OVwErrorMsg(OVwError()));
      return 1;
    }
    direct.push_back(ms);
  }
  OVwDone();

  // (b) the tool's start-up: a command that opens the database and posts nothing.
  std::vector<double> tool;
  for (int i = 0; i < iterations; ++i) {
    auto start = Clock::now();
    if (!ovw(env, {"get", "field", "1", "isNode"})) return 1;
    tool.push_back(msSince(start));
  }

  // (c) mossick: each round closes the map (mossick removes its icons) and opens it again.
  kt::Process mossick = kt::Process::start({kt::binPath("mossick")}, env);
  if (!mossick.waitForOutput(" Object 64 added: ", std::chrono::seconds(30)) ||
      !kt::eventually([&] { return countOf(mossick.output(), "Added icon") == kNodes; },
                      std::chrono::seconds(30))) {
    std::fprintf(stderr, "mossick did not place the icons:\n%s\n", mossick.output().c_str());
    return 1;
  }
  std::vector<double> mapOpen;
  for (int i = 0; i < iterations; ++i) {
    if (!ovw(env, {"close", "map"})) return 1;
    size_t expected = static_cast<size_t>(kNodes) * static_cast<size_t>(i + 2);
    auto start = Clock::now();
    if (!ovw(env, {"open", "map"})) return 1;
    while (countOf(mossick.output(), "Added icon") < expected) {
      if (msSince(start) > 30000 || !mossick.running()) {
        std::fprintf(stderr, "mossick did not place the icons again\n");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    mapOpen.push_back(msSince(start));
  }
  (void)ovw(env, {"end", "session"});
  (void)mossick.wait(std::chrono::seconds(10));

  Stats a = stats(direct), b = stats(tool), c = stats(mapOpen);
  std::printf(
      "map open with %d flagged nodes, %d rounds, the database %s%s\n", kNodes, iterations,
      kt::onPostgres() ? "on a PostgreSQL server on this machine, KT_DATABASE=" : "an SQLite file",
      kt::onPostgres() ? std::getenv("KT_DATABASE") : "");
  report("(a) direct library calls, 64 icons", a);
  report("(b) ovw start-up (command posting nothing)", b);
  report("(c) ovw open map -> mossick's 64th icon", c);
  std::printf("post -> last icon, estimated (c - b): median %.2f ms\n", c.median_ms - b.median_ms);
  std::printf("ratio (c - b) / a: %.2f\n", (c.median_ms - b.median_ms) / a.median_ms);
  return 0;
}
