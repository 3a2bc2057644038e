// ovw_test_peer.cc - a small map application for the OVw tests. It attaches to a session,
// registers handlers, prints "ready", then runs the message loop and prints one line per
// event it is given:
//
//   event 18 map=default objects=3,4 latency_us=812
//   event 30 map=default submap=7 parent=3 latency_us=640
//   event 4 map=default close=12 latency_us=590
//
// latency_us is the time from the event's posting (as recorded in the database) to the return
// of OVwGetMessage in this process.
//
// Options: --app NAME, --session NAME, --events 18,1,3,30,4,15 (default: all six),
// --filter (event 18 only for isNode and isSNMPSupported), --ack (acknowledge map closes),
// --ack-delay-ms N (wait before acknowledging).
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "OVw.h"
#include "store_backend.h"

namespace {

bool g_ack = false;
int g_ack_delay_ms = 0;
bool g_ended = false;
long long g_latency_us = -1;

long long nowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// When the event was posted: read from the database next to the library (test-only peeking,
// through a store of the peer's own, whichever back end OVW_DATABASE names).
long long postedMicros(int64_t event_id) {
  static std::unique_ptr<kestara::ovw::StoreBackend> store;
  if (!store) {
    auto opened = kestara::ovw::openStore(kestara::ovw::databasePath());
    if (!opened) return -1;
    store = std::move(*opened);
  }
  auto event = store->event(event_id);
  if (!event || !event->has_value()) return -1;
  return (*event)->posted_us;
}

std::string mapName(const OVwMapInfo *map) {
  return map != nullptr && map->map_name != nullptr ? map->map_name : "none";
}

int handler(void *, int event, OVwMapInfo *map, void *value) {
  std::string line = "event " + std::to_string(event) + " map=" + mapName(map);
  switch (event) {
    case OVW_EVENT_OBJECT_CREATED:
    case OVW_EVENT_OBJECTS_DELETED: {
      const auto *list = static_cast<const OVwObjectList *>(value);
      line += " objects=";
      for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        if (i > 0) line += ",";
        line += std::to_string(list->objects[i].object_id);
        const char *name = list->objects[i].selection_name;
        line += std::string("/") + (name != nullptr ? name : "-");
      }
      break;
    }
    case OVW_EVENT_SUBMAP_OPEN: {
      const auto *info = static_cast<const OVwSubmapInfo *>(value);
      if (info != nullptr) {
        line += " submap=" + std::to_string(info->submap_id) +
                " parent=" + std::to_string(info->parent_object_id);
      }
      break;
    }
    case OVW_EVENT_MAP_CLOSE: {
      const auto *close = static_cast<const OVwMapCloseInfo *>(value);
      if (close != nullptr) line += " close=" + std::to_string(close->close_id);
      break;
    }
    case OVW_EVENT_END_SESSION:
      g_ended = true;
      break;
    default:
      break;
  }
  line += " latency_us=" + std::to_string(g_latency_us) + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  if (event == OVW_EVENT_MAP_CLOSE && g_ack) {
    if (g_ack_delay_ms > 0) usleep(static_cast<useconds_t>(g_ack_delay_ms) * 1000);
    int r = OVwAckMapClose(map, static_cast<const OVwMapCloseInfo *>(value));
    std::printf("acked %d\n", r);
    std::fflush(stdout);
    return r;
  }
  return 0;
}

std::vector<int> parseEvents(const char *text) {
  std::vector<int> events;
  std::string s = text;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t comma = s.find(',', pos);
    if (comma == std::string::npos) comma = s.size();
    events.push_back(std::atoi(s.substr(pos, comma - pos).c_str()));
    pos = comma + 1;
  }
  return events;
}

}  // namespace

int main(int argc, char **argv) {
  const char *app = "Varnis Console Application";
  const char *session = nullptr;
  std::vector<int> events = {18, 1, 3, 30, 4, 15};
  bool filter = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--app" && more) {
      app = argv[++i];
    } else if (a == "--session" && more) {
      session = argv[++i];
    } else if (a == "--events" && more) {
      events = parseEvents(argv[++i]);
    } else if (a == "--filter") {
      filter = true;
    } else if (a == "--ack") {
      g_ack = true;
    } else if (a == "--ack-delay-ms" && more) {
      g_ack_delay_ms = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (_OVwInitSession(5, app, session) < 0) {
    std::printf("init failed: %d %s\n", OVwError(), OVwErrorMsg(OVwError()));
    return 3;
  }
  OVwFieldValue yes = {0, OVW_FIELD_BOOLEAN, 1, 0};
  OVwFieldBinding bindings[2] = {{OVwDbFieldNameToFieldId("isNode"), &yes},
                                 {OVwDbFieldNameToFieldId("isSNMPSupported"), &yes}};
  OVwFieldBindList list = {2, bindings};
  for (int e : events) {
    const OVwFieldBindList *f = (e == OVW_EVENT_OBJECT_CREATED && filter) ? &list : nullptr;
    if (OVwAddCallback(e, f, handler, nullptr) < 0) {
      std::printf("register %d failed: %s\n", e, OVwErrorMsg(OVwError()));
      return 4;
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  OVwMessage message;
  while (!g_ended) {
    int r = OVwGetMessage(&message);
    long long woken = nowMicros();
    if (r == 0) {
      std::printf("loop ended\n");
      break;
    }
    if (r < 0) {
      std::printf("get failed: %s\n", OVwErrorMsg(OVwError()));
      return 5;
    }
    long long posted = postedMicros(message.event_id);
    g_latency_us = posted > 0 ? woken - posted : -1;
    OVwTranslateMessage(&message);
    if (OVwDispatchMessage(&message) < 0) {
      std::printf("dispatch failed: %s\n", OVwErrorMsg(OVwError()));
    }
  }
  OVwDone();
  std::printf("done\n");
  std::fflush(stdout);
  return 0;
}
