// dispatch.cc - handlers and the event loop of the OVw library.
#include "dispatch.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "handles.h"
#include "library.h"
#include "store_backend.h"

namespace kestara::ovw::library {

namespace {

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

// The map an event concerns (0: none): that of the event, or for objects created and deleted
// the map open in the session now.
Result<int32_t> eventMapId(StoreBackend &store, const EventRow &event) {
  if (event.event == OVW_EVENT_END_SESSION) return 0;
  if (event.event == OVW_EVENT_OBJECT_CREATED || event.event == OVW_EVENT_OBJECTS_DELETED) {
    OVW_TRY_ASSIGN(std::optional<SessionRow> s, store.sessionById(lib().attachment.session_id));
    return s ? s->map_id : 0;
  }
  return event.map_id;
}

// The map as a record for the handler; null when there is none.
Result<std::unique_ptr<MapRecord>> mapArgument(StoreBackend &store, int32_t map_id) {
  if (map_id == 0) return std::unique_ptr<MapRecord>();
  OVW_TRY_ASSIGN(std::optional<MapRow> m, store.mapById(map_id));
  if (!m) return std::unique_ptr<MapRecord>();
  return mapRecord(*m, lib().attachment.session_name);
}

// Objects of event 18 as they are now, and only those that (still) match the handler's filter.
Result<std::vector<ObjectRow>> createdObjects(StoreBackend &store, const EventRow &event,
                                              int32_t map_id, const Handler &handler) {
  std::vector<ObjectRow> rows;
  for (const ObjectRow &posted : event.objects) {
    OVW_TRY_ASSIGN(std::optional<ObjectRow> o, store.object(posted.id, map_id));
    if (!o) continue;
    if (handler.filtered) {
      OVW_TRY_ASSIGN(bool match, store.objectMatches(posted.id, handler.filter));
      if (!match) continue;
    }
    rows.push_back(std::move(*o));
  }
  return rows;
}

Status dispatch(const EventRow &event) {
  Library &l = lib();
  auto it = l.handlers.find(event.event);
  if (it == l.handlers.end()) return Status::Ok();  // consumed without a handler
  Handler handler = it->second;                     // the handler may re-register or detach
  StoreBackend &store = *l.store;

  OVW_TRY_ASSIGN(int32_t map_id, eventMapId(store, event));
  OVW_TRY_ASSIGN(std::unique_ptr<MapRecord> map, mapArgument(store, map_id));
  OVwMapInfo *map_arg = map ? &map->info : nullptr;

  switch (event.event) {
    case OVW_EVENT_OBJECT_CREATED: {
      OVW_TRY_ASSIGN(std::vector<ObjectRow> rows, createdObjects(store, event, map_id, handler));
      if (rows.empty()) return Status::Ok();
      std::unique_ptr<ObjectListRecord> list = objectList(rows);
      handler.proc(handler.client_data, event.event, map_arg, &list->list);
      return Status::Ok();
    }
    case OVW_EVENT_OBJECTS_DELETED: {
      if (event.objects.empty()) return Status::Ok();
      std::unique_ptr<ObjectListRecord> list = objectList(event.objects);
      handler.proc(handler.client_data, event.event, map_arg, &list->list);
      return Status::Ok();
    }
    case OVW_EVENT_SUBMAP_OPEN: {
      OVW_TRY_ASSIGN(std::optional<SubmapRow> sm, store.submap(event.submap_id));
      if (!sm) {
        return makeError(OVW_ERR_NOT_FOUND, "the opened submap " + std::to_string(event.submap_id) +
                                                " no longer exists");
      }
      SubmapInfoRecord info;
      fillSubmap(info.info, *sm, info.texts);
      handler.proc(handler.client_data, event.event, map_arg, &info.info);
      return Status::Ok();
    }
    case OVW_EVENT_MAP_CLOSE: {
      OVwMapCloseInfo close{event.map_id, event.id};
      handler.proc(handler.client_data, event.event, map_arg, &close);
      return Status::Ok();
    }
    default:  // 1 and 3 carry no value
      handler.proc(handler.client_data, event.event, map_arg, nullptr);
      return Status::Ok();
  }
}

}  // namespace

Status addCallback(int event, const OVwFieldBindList *filter, OVwCallbackProc handler,
                   void *client_data) {
  OVW_TRY(requireSession());
  if (!knownEvent(event))
    return makeError(OVW_ERR_BAD_ARG, "no such event " + std::to_string(event));
  if (handler == nullptr) return makeError(OVW_ERR_BAD_ARG, "no handler");
  Handler h;
  h.proc = handler;
  h.client_data = client_data;
  if (event == OVW_EVENT_OBJECT_CREATED && filter != nullptr) {
    OVW_TRY_ASSIGN(Filter f, toFilter(filter));
    h.filtered = true;
    h.filter = std::move(f);
  }
  Library &l = lib();
  OVW_TRY(l.store->registerEvent(l.attachment.id, event));
  l.handlers[event] = std::move(h);
  return Status::Ok();
}

bool endOfMessages(const Error &error) { return error.code == OVW_ERR_NO_SESSION; }

Result<int> getMessage(OVwMessage *message) {
  if (message == nullptr) return makeError(OVW_ERR_BAD_ARG, "no message");
  *message = OVwMessage{};
  Library &l = lib();
  if (!l.attached || !l.store) return makeError(OVW_ERR_NO_SESSION, "not attached to a session");
  for (;;) {
    // Empty the FIFO first: a post after this point leaves a byte there, so the wait below
    // cannot miss it.
    l.wake->drain();
    OVW_TRY_ASSIGN(StoreBackend::Next next, l.store->takeNext(l.attachment.id));
    if (next.kind == StoreBackend::Next::kEvent) {
      message->event_id = next.event_id;
      message->event = next.event;
      l.taken_event = next.event_id;
      return 1;
    }
    if (next.kind == StoreBackend::Next::kEnded) {
      return makeError(OVW_ERR_NO_SESSION,
                       "session \"" + l.attachment.session_name + "\" has ended");
    }
    l.wake->wait(std::nullopt);
  }
}

Status dispatchMessage(const OVwMessage *message) {
  if (message == nullptr) return makeError(OVW_ERR_BAD_ARG, "no message");
  OVW_TRY(requireSession());
  Library &l = lib();
  if (message->event_id == 0 || message->event_id != l.taken_event) {
    return makeError(OVW_ERR_BAD_ARG, "not the message last taken by OVwGetMessage");
  }
  l.taken_event = 0;  // each message runs its handler once
  OVW_TRY_ASSIGN(std::optional<EventRow> event, l.store->event(message->event_id));
  if (!event) return makeError(OVW_ERR_NOT_FOUND, "the event's data are gone");
  return dispatch(*event);
}

int eventDescriptor() {
  Library &l = lib();
  return l.attached && l.wake ? l.wake->fd() : -1;
}

}  // namespace kestara::ovw::library
