// ovw.cc - the OVw library: map sessions, the object database and the event loop on SQLite.
#include "OVw.h"

#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "PlatformFault.h"
#include "store.h"
#include "wake.h"

namespace kestara::ovw {
namespace {

// --- Records handed to the caller ------------------------------------------------------------

// Texts of one record; pointers stay valid as long as the pool (a deque never moves its
// elements).
class StringPool {
 public:
  const char *add(const std::optional<std::string> &text) {
    if (!text) return nullptr;
    return texts_.emplace_back(*text).c_str();
  }
  const char *add(const std::string &text) { return texts_.emplace_back(text).c_str(); }

 private:
  std::deque<std::string> texts_;
};

enum class Kind { kIdList, kObjectList, kObjectInfo, kSymbolList, kSymbolInfo, kSubmapInfo, kMap };

struct Record {
  virtual ~Record() = default;
};

struct IdListRecord : Record {
  OVwObjectIdList list{};
  std::vector<OVwObjectId> ids;
};

struct ObjectListRecord : Record {
  OVwObjectList list{};
  std::vector<OVwObjectInfo> items;
  StringPool texts;
};

struct ObjectInfoRecord : Record {
  OVwObjectInfo info{};
  StringPool texts;
};

struct SymbolListRecord : Record {
  OVwSymbolList list{};
  std::vector<OVwSymbolInfo> items;
  std::deque<std::vector<OVwObjectId>> targets;
  StringPool texts;
};

struct SymbolInfoRecord : Record {
  OVwSymbolInfo info{};
  std::vector<OVwObjectId> targets;
  StringPool texts;
};

struct SubmapInfoRecord : Record {
  OVwSubmapInfo info{};
  StringPool texts;
};

struct MapRecord : Record {
  OVwMapInfo info{};
  StringPool texts;
};

struct Handler {
  OVwCallbackProc proc = nullptr;
  void *client_data = nullptr;
  bool filtered = false;
  Filter filter;
};

struct Library {
  // A process that ends without OVwDone leaves its session here.
  ~Library() {
    if (attached && store) (void)store->detach(attachment.id);
  }

  std::unique_ptr<Store> store;
  // Attachment to a session.
  bool attached = false;
  Attachment attachment;
  std::string application;
  std::optional<WakeReceiver> wake;
  std::map<int, Handler> handlers;
  int64_t taken_event = 0;  // taken by OVwGetMessage and not yet dispatched
  // Last failure.
  int error = OVW_ERR_NONE;
  std::string detail;
  // Texts returned by the functions of the same name.
  std::string error_text;
  std::string selection_name_text;
  std::string hostname_text;
  // Records the caller holds, by address, so that Free calls can check what they are given.
  std::unordered_map<const void *, std::pair<Kind, std::unique_ptr<Record>>> records;
};

Library &lib() {
  static Library l;
  return l;
}

void fail(int code, std::string_view detail) noexcept {
  Library &l = lib();
  l.error = code;
  try {
    l.detail.assign(detail);
  } catch (...) {
    l.detail.clear();
  }
}

void fail(const Error &e) noexcept { fail(e.code, e.detail); }

// The fault-injection seam: true when this call is to fail (the error is then set).
bool injected(const char *call) {
  int code = KestaraFaultCheck(call);
  if (code == 0) return false;
  fail(code, std::string(call) + ": injected failure");
  return true;
}

// Runs an API body; C callers never see an exception.
template <typename T, typename F>
T guarded(T on_failure, F &&body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    fail(OVW_ERR_NOMEM, "out of memory");
  } catch (...) {
    fail(OVW_ERR_DB, "unexpected internal failure");
  }
  return on_failure;
}

template <typename R, typename T>
T *keep(std::unique_ptr<R> record, Kind kind, T *handle) {
  lib().records[handle] = {kind, std::move(record)};
  return handle;
}

void release(const void *handle, Kind kind) {
  if (handle == nullptr) return;
  Library &l = lib();
  auto it = l.records.find(handle);
  // Pointers the library did not hand out (or already took back) are ignored.
  if (it != l.records.end() && it->second.first == kind) l.records.erase(it);
}

// --- Preconditions ---------------------------------------------------------------------------

Store *database() {
  Library &l = lib();
  if (!l.store) {
    fail(OVW_ERR_NO_DATABASE, "the object database is not open (OVwDbInit or _OVwInitSession)");
    return nullptr;
  }
  return l.store.get();
}

bool requireSession() {
  if (!lib().attached) {
    fail(OVW_ERR_NO_SESSION, "not attached to a session");
    return false;
  }
  return database() != nullptr;
}

// The map behind a handle: it must exist.
std::optional<MapRow> knownMap(const OVwMapInfo *map) {
  if (map == nullptr) {
    fail(OVW_ERR_BAD_ARG, "no map given");
    return std::nullopt;
  }
  Store *store = database();
  if (store == nullptr) return std::nullopt;
  Result<std::optional<MapRow>> row = store->mapById(map->map_id);
  if (!row) {
    fail(row.error());
    return std::nullopt;
  }
  if (!*row) {
    fail(OVW_ERR_NO_MAP, "map " + std::to_string(map->map_id) + " does not exist");
    return std::nullopt;
  }
  return **row;
}

// The submap, when it lies on the map (of a handle that knownMap() has checked).
std::optional<SubmapRow> submapOnMap(const MapRow &map, OVwSubmapId submap) {
  Result<std::optional<SubmapRow>> row = lib().store->submap(submap);
  if (!row) {
    fail(row.error());
    return std::nullopt;
  }
  if (!*row || (*row)->map_id != map.id) {
    fail(OVW_ERR_NOT_FOUND, "no submap " + std::to_string(submap) + " on map " + map.name);
    return std::nullopt;
  }
  return std::move(**row);
}

// The attached session, running.
std::optional<SessionRow> currentSession() {
  if (!requireSession()) return std::nullopt;
  Library &l = lib();
  Result<std::optional<SessionRow>> s = l.store->sessionById(l.attachment.session_id);
  if (!s) {
    fail(s.error());
    return std::nullopt;
  }
  if (!*s || !(*s)->running) {
    fail(OVW_ERR_NO_SESSION, "session \"" + l.attachment.session_name + "\" has ended");
    return std::nullopt;
  }
  return **s;
}

// The session, when `map` is the map open in it.
std::optional<SessionRow> openMapSession(const OVwMapInfo *map) {
  if (map == nullptr) {
    fail(OVW_ERR_BAD_ARG, "no map given");
    return std::nullopt;
  }
  std::optional<SessionRow> s = currentSession();
  if (!s) return std::nullopt;
  if (s->map_id == 0 || s->map_id != map->map_id) {
    fail(OVW_ERR_NO_MAP,
         "map " + std::to_string(map->map_id) + " is not open in session \"" + s->name + "\"");
    return std::nullopt;
  }
  return s;
}

// Checks a caller's field-value list. Boolean terms ask for true (value non-zero) or false;
// integer and enumeration terms for equality; text terms are not supported.
std::optional<Filter> toFilter(const OVwFieldBindList *list) {
  if (list == nullptr) return Filter{};
  if (list->count < 0 || static_cast<size_t>(list->count) > kMaxListItems) {
    fail(OVW_ERR_BAD_ARG, "field-value list count out of range");
    return std::nullopt;
  }
  if (list->count > 0 && list->fields == nullptr) {
    fail(OVW_ERR_BAD_ARG, "field-value list without bindings");
    return std::nullopt;
  }
  Filter filter;
  for (int32_t i = 0; i < list->count; ++i) {
    const OVwFieldBinding &b = list->fields[i];
    if (b.field_val == nullptr) {
      fail(OVW_ERR_BAD_ARG, "field-value binding without a value");
      return std::nullopt;
    }
    const OVwFieldValue &v = *b.field_val;
    if (v.is_list != 0) {
      fail(OVW_ERR_BAD_ARG, "list field values are not supported");
      return std::nullopt;
    }
    switch (v.field_type) {
      case OVW_FIELD_BOOLEAN:
        filter.push_back(FilterTerm{b.field_id, OVW_FIELD_BOOLEAN, v.value != 0 ? 1 : 0});
        break;
      case OVW_FIELD_INTEGER:
      case OVW_FIELD_ENUM:
        filter.push_back(FilterTerm{b.field_id, v.field_type, v.value});
        break;
      default:
        fail(OVW_ERR_BAD_ARG, "unsupported field type " + std::to_string(v.field_type));
        return std::nullopt;
    }
  }
  return filter;
}

// --- Building records ------------------------------------------------------------------------

void fillObject(OVwObjectInfo &info, const ObjectRow &row, StringPool &texts) {
  info = OVwObjectInfo{};
  info.object_id = row.id;
  info.child_submap_id = row.child_submap;
  info.selection_name = texts.add(row.selection_name);
  info.hostname = texts.add(row.hostname);
  info.is_node = row.is_node ? 1 : 0;
  info.is_snmp_supported = row.is_snmp_supported ? 1 : 0;
}

std::unique_ptr<ObjectListRecord> objectList(const std::vector<ObjectRow> &rows) {
  auto r = std::make_unique<ObjectListRecord>();
  r->items.resize(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) fillObject(r->items[i], rows[i], r->texts);
  r->list.count = static_cast<int32_t>(rows.size());
  r->list.objects = rows.empty() ? nullptr : r->items.data();
  return r;
}

void fillSymbol(OVwSymbolInfo &info, const SymbolRow &row, std::vector<OVwObjectId> &targets,
                StringPool &texts) {
  info = OVwSymbolInfo{};
  info.symbol_id = row.id;
  info.submap_id = row.submap_id;
  info.object_id = row.object_id;
  info.symbol_type = texts.add(row.type);
  info.status = row.status;
  info.variety = row.variety;
  info.flags = row.flags;
  info.application = texts.add(row.application);
  info.behavior = row.behavior;
  info.label = texts.add(row.label);
  info.action = texts.add(row.action);
  targets.assign(row.targets.begin(), row.targets.end());
  info.target_objects.count = static_cast<int32_t>(targets.size());
  info.target_objects.object_ids = targets.empty() ? nullptr : targets.data();
}

std::unique_ptr<SymbolListRecord> symbolList(const std::vector<SymbolRow> &rows) {
  auto r = std::make_unique<SymbolListRecord>();
  r->items.resize(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    fillSymbol(r->items[i], rows[i], r->targets.emplace_back(), r->texts);
  }
  r->list.count = static_cast<int32_t>(rows.size());
  r->list.symbols = rows.empty() ? nullptr : r->items.data();
  return r;
}

void fillSubmap(OVwSubmapInfo &info, const SubmapRow &row, StringPool &texts) {
  info = OVwSubmapInfo{};
  info.submap_id = row.id;
  info.map_id = row.map_id;
  info.submap_name = texts.add(row.name);
  info.layout = row.layout;
  info.is_root = row.parent_object == 0 ? 1 : 0;
  info.parent_object_id = row.parent_object;
}

std::unique_ptr<MapRecord> mapRecord(const MapRow &row, const std::string &session_name) {
  auto r = std::make_unique<MapRecord>();
  r->info.map_id = row.id;
  r->info.map_name = r->texts.add(row.name);
  r->info.session_name = r->texts.add(session_name);
  r->info.root_submap_id = row.root_submap;
  r->info.read_only = 0;
  return r;
}

OVwObjectIdList *idList(const std::vector<uint32_t> &ids) {
  auto r = std::make_unique<IdListRecord>();
  r->ids.assign(ids.begin(), ids.end());
  r->list.count = static_cast<int32_t>(r->ids.size());
  r->list.object_ids = r->ids.empty() ? nullptr : r->ids.data();
  OVwObjectIdList *handle = &r->list;
  return keep(std::move(r), Kind::kIdList, handle);
}

// Commits a transaction and wakes the parties of the events it posted; false (error set) when
// the commit failed.
bool commitAndWake(Txn &txn, Wakes &wakes) {
  Status s = txn.commit();
  if (!s) {
    fail(s.error());
    return false;
  }
  lib().store->wake(wakes);
  return true;
}

std::string localSessionName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost:0";
  return std::string(host) + ":0";
}

void detach() {
  Library &l = lib();
  if (!l.attached) return;
  if (l.store) (void)l.store->detach(l.attachment.id);
  l.attached = false;
  l.attachment = Attachment{};
  l.application.clear();
  l.handlers.clear();
  l.taken_event = 0;
  l.wake.reset();  // closes and removes the FIFO
}

// --- Event dispatch --------------------------------------------------------------------------

int dispatch(const EventRow &event) {
  Library &l = lib();
  auto it = l.handlers.find(event.event);
  if (it == l.handlers.end()) return 0;  // consumed without a handler
  Handler handler = it->second;          // the handler may re-register or detach
  Store &store = *l.store;

  // The map the event concerns.
  int32_t map_id = event.map_id;
  if (event.event == OVW_EVENT_OBJECT_CREATED || event.event == OVW_EVENT_OBJECTS_DELETED) {
    Result<std::optional<SessionRow>> s = store.sessionById(l.attachment.session_id);
    if (!s) {
      fail(s.error());
      return -1;
    }
    map_id = *s ? (*s)->map_id : 0;
  }
  if (event.event == OVW_EVENT_END_SESSION) map_id = 0;
  std::unique_ptr<MapRecord> map;
  if (map_id != 0) {
    Result<std::optional<MapRow>> m = store.mapById(map_id);
    if (!m) {
      fail(m.error());
      return -1;
    }
    if (*m) map = mapRecord(**m, l.attachment.session_name);
  }
  OVwMapInfo *map_arg = map ? &map->info : nullptr;

  switch (event.event) {
    case OVW_EVENT_OBJECT_CREATED: {
      // Objects as they are now, and only those that (still) match the filter.
      std::vector<ObjectRow> rows;
      for (const ObjectRow &posted : event.objects) {
        Result<std::optional<ObjectRow>> o = store.object(posted.id, map_id);
        if (!o) {
          fail(o.error());
          return -1;
        }
        if (!*o) continue;
        if (handler.filtered) {
          Result<bool> match = store.objectMatches(posted.id, handler.filter);
          if (!match) {
            fail(match.error());
            return -1;
          }
          if (!*match) continue;
        }
        rows.push_back(std::move(**o));
      }
      if (rows.empty()) return 0;
      std::unique_ptr<ObjectListRecord> list = objectList(rows);
      handler.proc(handler.client_data, event.event, map_arg, &list->list);
      return 0;
    }
    case OVW_EVENT_OBJECTS_DELETED: {
      if (event.objects.empty()) return 0;
      std::unique_ptr<ObjectListRecord> list = objectList(event.objects);
      handler.proc(handler.client_data, event.event, map_arg, &list->list);
      return 0;
    }
    case OVW_EVENT_SUBMAP_OPEN: {
      Result<std::optional<SubmapRow>> sm = store.submap(event.submap_id);
      if (!sm) {
        fail(sm.error());
        return -1;
      }
      if (!*sm) {
        fail(OVW_ERR_NOT_FOUND,
             "the opened submap " + std::to_string(event.submap_id) + " no longer exists");
        return -1;
      }
      SubmapInfoRecord info;
      fillSubmap(info.info, **sm, info.texts);
      handler.proc(handler.client_data, event.event, map_arg, &info.info);
      return 0;
    }
    case OVW_EVENT_MAP_CLOSE: {
      OVwMapCloseInfo close{event.map_id, event.id};
      handler.proc(handler.client_data, event.event, map_arg, &close);
      return 0;
    }
    default:  // 1 and 3 carry no value
      handler.proc(handler.client_data, event.event, map_arg, nullptr);
      return 0;
  }
}

bool knownEvent(int event) {
  switch (event) {
    case OVW_EVENT_END_SESSION:
    case OVW_EVENT_MAP_OPEN:
    case OVW_EVENT_MAP_CLOSE:
    case OVW_EVENT_OBJECTS_DELETED:
    case OVW_EVENT_OBJECT_CREATED:
    case OVW_EVENT_SUBMAP_OPEN:
      return true;
    default:
      return false;
  }
}

const char *baseMessage(int code) {
  switch (code) {
    case OVW_ERR_NONE:
      return "no error";
    case OVW_ERR_NO_SESSION:
      return "no map session";
    case OVW_ERR_NO_DATABASE:
      return "object database unavailable";
    case OVW_ERR_DB:
      return "object database operation failed";
    case OVW_ERR_NO_MAP:
      return "no map open";
    case OVW_ERR_NOT_FOUND:
      return "no such object, symbol, submap or field";
    case OVW_ERR_BAD_ARG:
      return "invalid argument";
    case OVW_ERR_NOT_REGISTERED:
      return "application or action not registered";
    case OVW_ERR_NOMEM:
      return "out of memory";
    case OVW_ERR_INJECTED:
      return "injected failure";
    default:
      return nullptr;
  }
}

}  // namespace
}  // namespace kestara::ovw

using namespace kestara::ovw;  // NOLINT(google-build-using-namespace): the C entry points

// --- Sessions -------------------------------------------------------------------------------

extern "C" int OVwDbInit(void) {
  return guarded(-1, [] {
    if (injected("OVwDbInit")) return -1;
    Library &l = lib();
    if (l.store) return 0;
    Result<std::unique_ptr<Store>> store = Store::open(databasePath());
    if (!store) {
      fail(store.error());
      return -1;
    }
    l.store = std::move(*store);
    return 0;
  });
}

extern "C" void OVwDbDone(void) {
  (void)guarded(0, [] {
    detach();
    lib().store.reset();  // records the caller holds stay valid until it frees them
    return 0;
  });
}

extern "C" int _OVwInitSession(int version, const char *application, const char *session_name) {
  return guarded(-1, [&] {
    if (injected("_OVwInitSession")) return -1;
    Library &l = lib();
    if (version != 5) {
      fail(OVW_ERR_BAD_ARG, "unsupported interface version " + std::to_string(version));
      return -1;
    }
    if (application == nullptr || application[0] == '\0') {
      fail(OVW_ERR_BAD_ARG, "no application name");
      return -1;
    }
    if (l.attached) {
      fail(OVW_ERR_BAD_ARG, "already attached to session \"" + l.attachment.session_name + "\"");
      return -1;
    }
    std::string name = session_name != nullptr ? session_name : localSessionName();
    if (OVwDbInit() < 0) return -1;
    (void)l.store->reclaimDeadAttachments();
    Result<WakeReceiver> wake = WakeReceiver::create(l.store->wakeDir(), l.store->group());
    if (!wake) {
      fail(wake.error());
      return -1;
    }
    Result<Attachment> a =
        l.store->attach(name, application, wake->token(), static_cast<int64_t>(getpid()));
    if (!a) {
      fail(a.error());
      return -1;  // the FIFO goes with `wake`
    }
    l.attached = true;
    l.attachment = std::move(*a);
    l.application = application;
    l.wake.emplace(std::move(*wake));
    l.taken_event = 0;
    return 0;
  });
}

extern "C" const char *OVwSessionId(void) {
  return guarded<const char *>(nullptr, []() -> const char * {
    Library &l = lib();
    if (!l.attached) return nullptr;
    // An attachment to a session that has ended is no attachment: leave it, so that the
    // caller can attach to the session that runs now.
    Result<std::optional<SessionRow>> s = l.store->sessionById(l.attachment.session_id);
    if (s && (!*s || !(*s)->running)) {
      detach();
      return nullptr;
    }
    return l.attachment.session_name.c_str();
  });
}

extern "C" void OVwDone(void) {
  (void)guarded(0, [] {
    detach();
    return 0;
  });
}

extern "C" int OVwAddCallback(int event, const OVwFieldBindList *filter, OVwCallbackProc handler,
                              void *client_data) {
  return guarded(-1, [&] {
    if (injected("OVwAddCallback")) return -1;
    if (!requireSession()) return -1;
    if (!knownEvent(event)) {
      fail(OVW_ERR_BAD_ARG, "no such event " + std::to_string(event));
      return -1;
    }
    if (handler == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no handler");
      return -1;
    }
    Handler h;
    h.proc = handler;
    h.client_data = client_data;
    if (event == OVW_EVENT_OBJECT_CREATED && filter != nullptr) {
      std::optional<Filter> f = toFilter(filter);
      if (!f) return -1;
      h.filtered = true;
      h.filter = std::move(*f);
    }
    Library &l = lib();
    Status s = l.store->registerEvent(l.attachment.id, event);
    if (!s) {
      fail(s.error());
      return -1;
    }
    l.handlers[event] = std::move(h);
    return 0;
  });
}

// --- Message loop ---------------------------------------------------------------------------

extern "C" int OVwGetMessage(OVwMessage *message) {
  return guarded(-1, [&] {
    if (injected("OVwGetMessage")) return -1;
    if (message == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no message");
      return -1;
    }
    *message = OVwMessage{};
    Library &l = lib();
    if (!l.attached || !l.store) {
      fail(OVW_ERR_NO_SESSION, "not attached to a session");
      return 0;
    }
    for (;;) {
      // Empty the FIFO first: a post after this point leaves a byte there, so the wait below
      // cannot miss it.
      l.wake->drain();
      Result<Store::Next> next = l.store->takeNext(l.attachment.id);
      if (!next) {
        fail(next.error());
        return -1;
      }
      if (next->kind == Store::Next::kEvent) {
        message->event_id = next->event_id;
        message->event = next->event;
        l.taken_event = next->event_id;
        return 1;
      }
      if (next->kind == Store::Next::kEnded) {
        fail(OVW_ERR_NO_SESSION, "session \"" + l.attachment.session_name + "\" has ended");
        return 0;
      }
      l.wake->wait(std::nullopt);
    }
  });
}

extern "C" int OVwTranslateMessage(const OVwMessage *message) {
  (void)message;
  return 0;
}

extern "C" int OVwDispatchMessage(const OVwMessage *message) {
  return guarded(-1, [&] {
    if (injected("OVwDispatchMessage")) return -1;
    if (message == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no message");
      return -1;
    }
    if (!requireSession()) return -1;
    Library &l = lib();
    if (message->event_id == 0 || message->event_id != l.taken_event) {
      fail(OVW_ERR_BAD_ARG, "not the message last taken by OVwGetMessage");
      return -1;
    }
    l.taken_event = 0;  // each message runs its handler once
    Result<std::optional<EventRow>> event = l.store->event(message->event_id);
    if (!event) {
      fail(event.error());
      return -1;
    }
    if (!*event) {
      fail(OVW_ERR_NOT_FOUND, "the event's data are gone");
      return -1;
    }
    return dispatch(**event);
  });
}

extern "C" int OVwEventDescriptor(void) {
  Library &l = lib();
  return l.attached && l.wake ? l.wake->fd() : -1;
}

// --- Maps, submaps and symbols --------------------------------------------------------------

extern "C" OVwMapInfo *OVwGetMapInfo(void) {
  return guarded<OVwMapInfo *>(nullptr, []() -> OVwMapInfo * {
    if (injected("OVwGetMapInfo")) return nullptr;
    std::optional<SessionRow> s = currentSession();
    if (!s) return nullptr;
    if (s->map_id == 0) {
      fail(OVW_ERR_NO_MAP, "no map is open in session \"" + s->name + "\"");
      return nullptr;
    }
    Result<std::optional<MapRow>> m = lib().store->mapById(s->map_id);
    if (!m) {
      fail(m.error());
      return nullptr;
    }
    if (!*m) {
      fail(OVW_ERR_NO_MAP, "the open map no longer exists");
      return nullptr;
    }
    std::unique_ptr<MapRecord> r = mapRecord(**m, s->name);
    OVwMapInfo *handle = &r->info;
    return keep(std::move(r), Kind::kMap, handle);
  });
}

extern "C" void OVwFreeMapInfo(OVwMapInfo *map) { release(map, Kind::kMap); }

extern "C" int OVwBeginMapSync(OVwMapInfo *map) {
  return guarded(-1, [&] {
    if (injected("OVwBeginMapSync")) return -1;
    return openMapSession(map) ? 0 : -1;
  });
}

extern "C" int OVwEndMapSync(OVwMapInfo *map) {
  return guarded(-1, [&] {
    if (injected("OVwEndMapSync")) return -1;
    return openMapSession(map) ? 0 : -1;
  });
}

extern "C" int OVwAckMapClose(OVwMapInfo *map, const OVwMapCloseInfo *close_info) {
  return guarded(-1, [&] {
    if (injected("OVwAckMapClose")) return -1;
    if (map == nullptr || close_info == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no map or no close event given");
      return -1;
    }
    if (close_info->map_id != map->map_id) {
      fail(OVW_ERR_BAD_ARG, "the close event is for another map");
      return -1;
    }
    if (!requireSession()) return -1;
    Library &l = lib();
    Status s = l.store->ackMapClose(l.attachment.id, close_info->close_id);
    if (!s) {
      fail(s.error());
      return -1;
    }
    return 0;
  });
}

extern "C" OVwObjectIdList *OVwGetSelections(OVwMapInfo *map, const char *reserved) {
  return guarded<OVwObjectIdList *>(nullptr, [&]() -> OVwObjectIdList * {
    if (injected("OVwGetSelections")) return nullptr;
    if (reserved != nullptr) {
      fail(OVW_ERR_BAD_ARG, "the second argument must be null");
      return nullptr;
    }
    std::optional<SessionRow> s = openMapSession(map);
    if (!s) return nullptr;
    Result<std::vector<uint32_t>> ids = lib().store->selection(s->id);
    if (!ids) {
      fail(ids.error());
      return nullptr;
    }
    return idList(*ids);
  });
}

extern "C" OVwSymbolList *OVwGetSymbolsByObject(OVwMapInfo *map, OVwObjectId object) {
  return guarded<OVwSymbolList *>(nullptr, [&]() -> OVwSymbolList * {
    if (injected("OVwGetSymbolsByObject")) return nullptr;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return nullptr;
    Store &store = *lib().store;
    Result<bool> exists = store.objectExists(object);
    if (!exists) {
      fail(exists.error());
      return nullptr;
    }
    if (!*exists) {
      fail(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
      return nullptr;
    }
    Result<std::vector<SymbolRow>> rows = store.symbolsOfObject(m->id, object);
    if (!rows) {
      fail(rows.error());
      return nullptr;
    }
    std::unique_ptr<SymbolListRecord> r = symbolList(*rows);
    OVwSymbolList *handle = &r->list;
    return keep(std::move(r), Kind::kSymbolList, handle);
  });
}

extern "C" OVwSymbolList *OVwListSymbols(OVwMapInfo *map, OVwSubmapId submap, int kind,
                                         const char *application) {
  return guarded<OVwSymbolList *>(nullptr, [&]() -> OVwSymbolList * {
    if (injected("OVwListSymbols")) return nullptr;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return nullptr;
    std::optional<std::string_view> app;
    if (kind == OVW_LIST_BY_APPLICATION) {
      if (application == nullptr) {
        fail(OVW_ERR_BAD_ARG, "no application name");
        return nullptr;
      }
      app = application;
    } else if (kind != OVW_LIST_ALL) {
      fail(OVW_ERR_BAD_ARG, "unknown kind of symbol list " + std::to_string(kind));
      return nullptr;
    }
    Store &store = *lib().store;
    if (!submapOnMap(*m, submap)) return nullptr;
    Result<std::vector<SymbolRow>> rows = store.symbolsOnSubmap(submap, app);
    if (!rows) {
      fail(rows.error());
      return nullptr;
    }
    std::unique_ptr<SymbolListRecord> r = symbolList(*rows);
    OVwSymbolList *handle = &r->list;
    return keep(std::move(r), Kind::kSymbolList, handle);
  });
}

extern "C" void OVwFreeSymbolList(OVwSymbolList *list) { release(list, Kind::kSymbolList); }

namespace {

// The symbol, when it lies on the map.
std::optional<SymbolRow> symbolOnMap(const MapRow &map, OVwSymbolId symbol) {
  Store &store = *lib().store;
  Result<std::optional<SymbolRow>> row = store.symbol(symbol);
  if (!row) {
    fail(row.error());
    return std::nullopt;
  }
  if (*row) {
    Result<std::optional<SubmapRow>> sm = store.submap((*row)->submap_id);
    if (!sm) {
      fail(sm.error());
      return std::nullopt;
    }
    if (*sm && (*sm)->map_id == map.id) return std::move(**row);
  }
  fail(OVW_ERR_NOT_FOUND, "no symbol " + std::to_string(symbol) + " on map " + map.name);
  return std::nullopt;
}

}  // namespace

extern "C" OVwSymbolInfo *OVwGetSymbolInfo(OVwMapInfo *map, OVwSymbolId symbol) {
  return guarded<OVwSymbolInfo *>(nullptr, [&]() -> OVwSymbolInfo * {
    if (injected("OVwGetSymbolInfo")) return nullptr;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return nullptr;
    std::optional<SymbolRow> row = symbolOnMap(*m, symbol);
    if (!row) return nullptr;
    auto r = std::make_unique<SymbolInfoRecord>();
    fillSymbol(r->info, *row, r->targets, r->texts);
    OVwSymbolInfo *handle = &r->info;
    return keep(std::move(r), Kind::kSymbolInfo, handle);
  });
}

extern "C" void OVwFreeSymbolInfo(OVwSymbolInfo *info) { release(info, Kind::kSymbolInfo); }

extern "C" OVwSubmapInfo *OVwGetSubmapInfo(OVwMapInfo *map, OVwSubmapId submap) {
  return guarded<OVwSubmapInfo *>(nullptr, [&]() -> OVwSubmapInfo * {
    if (injected("OVwGetSubmapInfo")) return nullptr;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return nullptr;
    std::optional<SubmapRow> sm = submapOnMap(*m, submap);
    if (!sm) return nullptr;
    auto r = std::make_unique<SubmapInfoRecord>();
    fillSubmap(r->info, *sm, r->texts);
    OVwSubmapInfo *handle = &r->info;
    return keep(std::move(r), Kind::kSubmapInfo, handle);
  });
}

extern "C" void OVwFreeSubmapInfo(OVwSubmapInfo *info) { release(info, Kind::kSubmapInfo); }

extern "C" OVwObjectInfo *OVwGetObjectInfo(OVwMapInfo *map, OVwObjectId object) {
  return guarded<OVwObjectInfo *>(nullptr, [&]() -> OVwObjectInfo * {
    if (injected("OVwGetObjectInfo")) return nullptr;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return nullptr;
    Result<std::optional<ObjectRow>> row = lib().store->object(object, m->id);
    if (!row) {
      fail(row.error());
      return nullptr;
    }
    if (!*row) {
      fail(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
      return nullptr;
    }
    auto r = std::make_unique<ObjectInfoRecord>();
    fillObject(r->info, **row, r->texts);
    OVwObjectInfo *handle = &r->info;
    return keep(std::move(r), Kind::kObjectInfo, handle);
  });
}

extern "C" void OVwFreeObjectInfo(OVwObjectInfo *info) { release(info, Kind::kObjectInfo); }

extern "C" OVwObjectList *OVwListObjectsOnMap(OVwMapInfo *map, const OVwFieldBindList *filter) {
  return guarded<OVwObjectList *>(nullptr, [&]() -> OVwObjectList * {
    if (injected("OVwListObjectsOnMap")) return nullptr;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return nullptr;
    std::optional<Filter> f = toFilter(filter);
    if (!f) return nullptr;
    Store &store = *lib().store;
    Result<std::vector<uint32_t>> ids = store.findObjects(*f, m->id);
    if (!ids) {
      fail(ids.error());
      return nullptr;
    }
    std::vector<ObjectRow> rows;
    for (uint32_t id : *ids) {
      Result<std::optional<ObjectRow>> row = store.object(id, m->id);
      if (!row) {
        fail(row.error());
        return nullptr;
      }
      if (*row) rows.push_back(std::move(**row));
    }
    std::unique_ptr<ObjectListRecord> r = objectList(rows);
    OVwObjectList *handle = &r->list;
    return keep(std::move(r), Kind::kObjectList, handle);
  });
}

extern "C" void OVwFreeObjectList(OVwObjectList *list) { release(list, Kind::kObjectList); }

extern "C" OVwSymbolId OVwCreateSymbol(OVwMapInfo *map, OVwSubmapId submap, OVwObjectId object,
                                       const char *symbol_type, const char *label, int status,
                                       int variety, int position, int flags) {
  (void)position;  // symbols are always placed automatically
  return guarded<OVwSymbolId>(0, [&]() -> OVwSymbolId {
    if (injected("OVwCreateSymbol")) return 0;
    if (!requireSession()) return 0;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return 0;
    if (symbol_type == nullptr || label == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no symbol type or label");
      return 0;
    }
    Library &l = lib();
    Store &store = *l.store;
    Result<Txn> txn = store.begin();
    if (!txn) {
      fail(txn.error());
      return 0;
    }
    if (!submapOnMap(*m, submap)) return 0;
    Result<bool> exists = store.objectExists(object);
    if (!exists) {
      fail(exists.error());
      return 0;
    }
    if (!*exists) {
      fail(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
      return 0;
    }
    Result<uint32_t> id = store.createSymbol(submap, object, symbol_type, label, status, variety,
                                             flags, l.application);
    if (!id) {
      fail(id.error());
      return 0;
    }
    Status s = txn->commit();
    if (!s) {
      fail(s.error());
      return 0;
    }
    return *id;
  });
}

extern "C" int OVwSetSymbolBehavior(OVwMapInfo *map, OVwSymbolId symbol, int behavior,
                                    const char *application, const char *action,
                                    const OVwObjectIdList *targets) {
  return guarded(-1, [&] {
    if (injected("OVwSetSymbolBehavior")) return -1;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return -1;
    if (behavior != OVW_BEHAVIOR_NONE && behavior != OVW_BEHAVIOR_EXPLODE &&
        behavior != OVW_BEHAVIOR_ACTION) {
      fail(OVW_ERR_BAD_ARG, "unknown behaviour " + std::to_string(behavior));
      return -1;
    }
    std::vector<uint32_t> target_ids;
    if (targets != nullptr) {
      if (targets->count < 0 || static_cast<size_t>(targets->count) > kMaxListItems ||
          (targets->count > 0 && targets->object_ids == nullptr)) {
        fail(OVW_ERR_BAD_ARG, "invalid target list");
        return -1;
      }
      target_ids.assign(targets->object_ids, targets->object_ids + targets->count);
    }
    Store &store = *lib().store;
    std::optional<std::string_view> app;
    std::optional<std::string_view> act;
    if (behavior == OVW_BEHAVIOR_ACTION) {
      if (application == nullptr || action == nullptr) {
        fail(OVW_ERR_BAD_ARG, "an action needs an application and an action name");
        return -1;
      }
      Result<bool> registered = store.actionRegistered(application, action);
      if (!registered) {
        fail(registered.error());
        return -1;
      }
      if (!*registered) {
        fail(OVW_ERR_NOT_REGISTERED, std::string("application \"") + application +
                                         "\" with action \"" + action +
                                         "\" is not registered; run \"ovw -fields\"");
        return -1;
      }
      app = application;
      act = action;
    }
    Result<Txn> txn = store.begin();
    if (!txn) {
      fail(txn.error());
      return -1;
    }
    if (!symbolOnMap(*m, symbol)) return -1;
    for (uint32_t target : target_ids) {
      Result<bool> exists = store.objectExists(target);
      if (!exists) {
        fail(exists.error());
        return -1;
      }
      if (!*exists) {
        fail(OVW_ERR_NOT_FOUND, "no target object " + std::to_string(target));
        return -1;
      }
    }
    Status s = store.setSymbolBehavior(symbol, behavior, app, act, target_ids);
    if (s) s = txn->commit();
    if (!s) {
      fail(s.error());
      return -1;
    }
    return 0;
  });
}

extern "C" int OVwDeleteSymbol(OVwMapInfo *map, OVwSymbolId symbol) {
  return guarded(-1, [&] {
    if (injected("OVwDeleteSymbol")) return -1;
    std::optional<MapRow> m = knownMap(map);
    if (!m) return -1;
    Store &store = *lib().store;
    Result<Txn> txn = store.begin();
    if (!txn) {
      fail(txn.error());
      return -1;
    }
    if (!symbolOnMap(*m, symbol)) return -1;
    Status s = store.deleteSymbol(symbol);
    if (s) s = txn->commit();
    if (!s) {
      fail(s.error());
      return -1;
    }
    return 0;
  });
}

// --- Object database ------------------------------------------------------------------------

extern "C" OVwFieldId OVwDbFieldNameToFieldId(const char *name) {
  return guarded<OVwFieldId>(0, [&]() -> OVwFieldId {
    if (injected("OVwDbFieldNameToFieldId")) return 0;
    Store *store = database();
    if (store == nullptr) return 0;
    if (name == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no field name");
      return 0;
    }
    Result<std::optional<FieldRow>> f = store->fieldByName(name);
    if (!f) {
      fail(f.error());
      return 0;
    }
    if (!*f) {
      fail(OVW_ERR_NOT_FOUND, std::string("field \"") + name + "\" is not defined");
      return 0;
    }
    return (*f)->id;
  });
}

namespace {

// The boolean field `field` of an existing object; false (error set) otherwise.
bool checkBooleanField(Store &store, OVwObjectId object, OVwFieldId field) {
  Result<std::optional<FieldRow>> f = store.fieldById(field);
  if (!f) {
    fail(f.error());
    return false;
  }
  if (!*f) {
    fail(OVW_ERR_NOT_FOUND, "no field with id " + std::to_string(field));
    return false;
  }
  if ((*f)->type != OVW_FIELD_BOOLEAN) {
    fail(OVW_ERR_BAD_ARG, "field \"" + (*f)->name + "\" is not boolean");
    return false;
  }
  Result<bool> exists = store.objectExists(object);
  if (!exists) {
    fail(exists.error());
    return false;
  }
  if (!*exists) {
    fail(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
    return false;
  }
  return true;
}

}  // namespace

extern "C" int OVwDbGetFieldBooleanValue(OVwObjectId object, OVwFieldId field) {
  return guarded(-1, [&] {
    if (injected("OVwDbGetFieldBooleanValue")) return -1;
    Store *store = database();
    if (store == nullptr || !checkBooleanField(*store, object, field)) return -1;
    Result<std::optional<int64_t>> v = store->fieldValue(object, field);
    if (!v) {
      fail(v.error());
      return -1;
    }
    return *v && **v != 0 ? 1 : 0;
  });
}

extern "C" int OVwDbSetFieldBooleanValue(OVwObjectId object, OVwFieldId field, int value) {
  return guarded(-1, [&] {
    if (injected("OVwDbSetFieldBooleanValue")) return -1;
    Store *store = database();
    if (store == nullptr) return -1;
    Result<Txn> txn = store->begin();
    if (!txn) {
      fail(txn.error());
      return -1;
    }
    if (!checkBooleanField(*store, object, field)) return -1;
    Status s = store->setFieldValue(object, field, value != 0 ? 1 : 0);
    if (s) s = txn->commit();
    if (!s) {
      fail(s.error());
      return -1;
    }
    return 0;
  });
}

extern "C" int OVwDbBeginWriteGroup(void) {
  return guarded(-1, [&] {
    if (injected("OVwDbBeginWriteGroup")) return -1;
    Store *store = database();
    if (store == nullptr) return -1;
    if (Status s = store->beginGroup(); !s) {
      fail(s.error());
      return -1;
    }
    return 0;
  });
}

extern "C" int OVwDbEndWriteGroup(void) {
  return guarded(-1, [&] {
    if (injected("OVwDbEndWriteGroup")) {
      // It ends the group as a failed commit would: nothing of it is committed.
      Library &l = lib();
      if (l.store && l.store->db().inGroup()) {
        (void)l.store->db().exec("ROLLBACK");
        (void)l.store->endGroup();
      }
      return -1;
    }
    Store *store = database();
    if (store == nullptr) return -1;
    if (Status s = store->endGroup(); !s) {
      fail(s.error());
      return -1;
    }
    return 0;
  });
}

extern "C" OVwObjectIdList *OVwDbListObjectsByFieldValues(const OVwFieldBindList *filter) {
  return guarded<OVwObjectIdList *>(nullptr, [&]() -> OVwObjectIdList * {
    if (injected("OVwDbListObjectsByFieldValues")) return nullptr;
    Store *store = database();
    if (store == nullptr) return nullptr;
    if (filter == nullptr) {
      fail(OVW_ERR_BAD_ARG, "no field-value list");
      return nullptr;
    }
    std::optional<Filter> f = toFilter(filter);
    if (!f) return nullptr;
    Result<std::vector<uint32_t>> ids = store->findObjects(*f, 0);
    if (!ids) {
      fail(ids.error());
      return nullptr;
    }
    return idList(*ids);
  });
}

extern "C" void OVwDbFreeObjectIdList(OVwObjectIdList *list) { release(list, Kind::kIdList); }

namespace {

const char *objectText(const char *call, OVwObjectId object, bool hostname, std::string &out) {
  if (injected(call)) return nullptr;
  Store *store = database();
  if (store == nullptr) return nullptr;
  Result<std::optional<ObjectRow>> row = store->objectNames(object);
  if (!row) {
    fail(row.error());
    return nullptr;
  }
  if (!*row) {
    fail(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
    return nullptr;
  }
  const std::optional<std::string> &text = hostname ? (*row)->hostname : (*row)->selection_name;
  if (!text) {
    fail(OVW_ERR_NOT_FOUND, "object " + std::to_string(object) + " has no " +
                                (hostname ? "host name" : "selection name"));
    return nullptr;
  }
  out = *text;
  return out.c_str();
}

}  // namespace

extern "C" const char *OVwDbObjectIdToSelectionName(OVwObjectId object) {
  return guarded<const char *>(nullptr, [&] {
    return objectText("OVwDbObjectIdToSelectionName", object, false, lib().selection_name_text);
  });
}

extern "C" const char *OVwDbObjectIdToHostname(OVwObjectId object) {
  return guarded<const char *>(nullptr, [&] {
    return objectText("OVwDbObjectIdToHostname", object, true, lib().hostname_text);
  });
}

namespace {

OVwObjectId objectIdByName(const char *call, const char *name, bool hostname) {
  if (injected(call)) return 0;
  if (name == nullptr) {
    fail(OVW_ERR_BAD_ARG, "no name given");
    return 0;
  }
  Store *store = database();
  if (store == nullptr) return 0;
  Result<uint32_t> id = store->objectIdByName(hostname, name);
  if (!id) {
    fail(id.error());
    return 0;
  }
  if (*id == 0) fail(OVW_ERR_NOT_FOUND, std::string("no object named ") + name);
  return *id;
}

}  // namespace

extern "C" OVwObjectId OVwDbHostnameToObjectId(const char *name) {
  return guarded<OVwObjectId>(
      0, [&] { return objectIdByName("OVwDbHostnameToObjectId", name, true); });
}

extern "C" OVwObjectId OVwDbSelectionNameToObjectId(const char *name) {
  return guarded<OVwObjectId>(
      0, [&] { return objectIdByName("OVwDbSelectionNameToObjectId", name, false); });
}

extern "C" OVwObjectId OVwDbCreateObject(const OVwFieldBindList *fields) {
  return guarded<OVwObjectId>(0, [&]() -> OVwObjectId {
    if (injected("OVwDbCreateObject")) return 0;
    Store *store = database();
    if (store == nullptr) return 0;
    std::optional<Filter> values = toFilter(fields);
    if (!values) return 0;
    std::vector<std::pair<uint32_t, int64_t>> pairs;
    for (const FilterTerm &t : *values) pairs.emplace_back(t.field_id, t.value);
    Result<Txn> txn = store->begin();
    if (!txn) {
      fail(txn.error());
      return 0;
    }
    Wakes wakes;
    Result<uint32_t> id = store->createObject(std::nullopt, std::nullopt, pairs, wakes);
    if (!id) {
      fail(id.error());
      return 0;
    }
    if (!commitAndWake(*txn, wakes)) return 0;
    return *id;
  });
}

extern "C" int OVwDbDeleteObject(OVwObjectId object) {
  return guarded(-1, [&] {
    if (injected("OVwDbDeleteObject")) return -1;
    Store *store = database();
    if (store == nullptr) return -1;
    Result<Txn> txn = store->begin();
    if (!txn) {
      fail(txn.error());
      return -1;
    }
    Wakes wakes;
    const uint32_t ids[] = {object};
    Status s = store->deleteObjects(ids, wakes);
    if (!s) {
      fail(s.error());
      return -1;
    }
    return commitAndWake(*txn, wakes) ? 0 : -1;
  });
}

// --- Errors ---------------------------------------------------------------------------------

extern "C" int OVwError(void) { return lib().error; }

extern "C" const char *OVwErrorMsg(int code) {
  Library &l = lib();
  try {
    const char *base = baseMessage(code);
    std::string text = base != nullptr ? base : "unknown error " + std::to_string(code);
    if (code == l.error && code != OVW_ERR_NONE && !l.detail.empty()) text += ": " + l.detail;
    l.error_text = std::move(text);
    return l.error_text.c_str();
  } catch (...) {
    return "out of memory";
  }
}
