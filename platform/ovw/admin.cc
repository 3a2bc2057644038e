// admin.cc - the `ovw` tool's operations on the database.
#include "admin.h"

#include <unistd.h>

namespace kestara::ovw::admin {

namespace {

// The running session `name`, or OVW_ERR_NO_SESSION with a hint.
Result<SessionRow> running(StoreBackend &store, const std::string &name) {
  OVW_TRY_ASSIGN(std::optional<SessionRow> s, store.runningSession(name));
  if (!s) {
    return makeError(OVW_ERR_NO_SESSION, "session \"" + name +
                                             "\" is not running (start it with \"ovw start "
                                             "session\")");
  }
  return *s;
}

// The running session with a map open in it.
Result<SessionRow> withOpenMap(StoreBackend &store, const std::string &name) {
  Result<SessionRow> s = running(store, name);
  if (!s) return s;
  if (s->map_id == 0) {
    return makeError(OVW_ERR_NO_MAP,
                     "no map is open in session \"" + name + "\" (open one with \"ovw open map\")");
  }
  return s;
}

Status commitAndWake(StoreBackend &store, Transaction &txn, Wakes &wakes) {
  OVW_TRY(txn.commit());
  store.wake(wakes);
  return Status::Ok();
}

Result<uint32_t> booleanField(StoreBackend &store, const std::string &name) {
  OVW_TRY_ASSIGN(std::optional<FieldRow> f, store.fieldByName(name));
  if (!f) {
    return makeError(OVW_ERR_NOT_FOUND,
                     "field \"" + name + "\" is not defined (run \"ovw -fields\")");
  }
  if (f->type != OVW_FIELD_BOOLEAN) {
    return makeError(OVW_ERR_BAD_ARG, "field \"" + name + "\" is not boolean");
  }
  return f->id;
}

Status requireObject(StoreBackend &store, uint32_t object) {
  OVW_TRY_ASSIGN(bool exists, store.objectExists(object));
  if (!exists) return makeError(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
  return Status::Ok();
}

}  // namespace

std::string localSessionName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost:0";
  return std::string(host) + ":0";
}

Status startSession(StoreBackend &store, const std::string &name) {
  OVW_TRY(checkText("session name", name));
  (void)store.reclaimDeadAttachments();
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(std::optional<SessionRow> existing, store.runningSession(name));
  if (existing) return makeError(OVW_ERR_BAD_ARG, "session \"" + name + "\" is already running");
  OVW_TRY(store.startSession(name));
  return txn->commit();
}

Result<CloseReport> closeMap(StoreBackend &store, const std::string &session,
                             std::chrono::milliseconds timeout) {
  // Processes that have ended cannot acknowledge: don't wait for them.
  (void)store.reclaimDeadAttachments();
  OVW_TRY_ASSIGN(std::unique_ptr<WakeSource> closer, store.wakeSource());
  int64_t close_id = 0;
  CloseReport report;
  SessionRow s;
  {
    OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
    OVW_TRY_ASSIGN(SessionRow found, withOpenMap(store, session));
    s = found;
    OVW_TRY_ASSIGN(std::optional<MapRow> map, store.mapById(s.map_id));
    report.map = map ? map->name : std::to_string(s.map_id);
    Wakes wakes;
    OVW_TRY_ASSIGN(int64_t id, store.beginMapClose(s, closer->token(), wakes));
    close_id = id;
    OVW_TRY(commitAndWake(store, *txn, wakes));
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    closer->drain();
    using Pending = std::vector<std::pair<int64_t, std::string>>;  // attachment, application
    OVW_TRY_ASSIGN(Pending pending, store.pendingAcks(close_id));
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (pending.empty() || left.count() <= 0) {
      for (auto &p : pending) report.unacknowledged.push_back(std::move(p.second));
      break;
    }
    closer->wait(left);
  }
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY(store.finishMapClose(close_id, s));
  OVW_TRY(txn->commit());
  return report;
}

Result<std::optional<CloseReport>> endSession(StoreBackend &store, const std::string &name,
                                              std::chrono::milliseconds timeout) {
  OVW_TRY_ASSIGN(SessionRow s, running(store, name));
  std::optional<CloseReport> report;
  if (s.map_id != 0) {
    OVW_TRY_ASSIGN(CloseReport closed, closeMap(store, name, timeout));
    report = std::move(closed);
  }
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(SessionRow again, running(store, name));
  OVW_TRY(store.endSession(again.id));
  Wakes wakes;
  OVW_TRY(store.postEvent(OVW_EVENT_END_SESSION, again.id, 0, 0, {}, wakes).status());
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return report;
}

Result<MapRow> openMap(StoreBackend &store, const std::string &session, const std::string &map) {
  OVW_TRY(checkText("map name", map));
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(SessionRow s, running(store, session));
  if (s.map_id != 0) {
    OVW_TRY_ASSIGN(std::optional<MapRow> open, store.mapById(s.map_id));
    return makeError(OVW_ERR_BAD_ARG, "map \"" + (open ? open->name : std::string("?")) +
                                          "\" is already open in session \"" + session +
                                          "\" (close it with \"ovw close map\")");
  }
  OVW_TRY_ASSIGN(MapRow m, store.mapNamed(map));
  OVW_TRY(store.setSessionMap(s.id, m.id));
  Wakes wakes;
  OVW_TRY(store.postEvent(OVW_EVENT_MAP_OPEN, s.id, m.id, 0, {}, wakes).status());
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return m;
}

Result<NodeAdded> addNode(StoreBackend &store, const NodeSpec &spec) {
  OVW_TRY(checkText("host name", spec.hostname));
  std::string selection = spec.selection_name.value_or(spec.hostname);
  OVW_TRY(checkText("selection name", selection));
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(std::optional<uint32_t> existing, store.objectByHostname(spec.hostname));
  if (existing) {
    return makeError(OVW_ERR_BAD_ARG, "a node with host name \"" + spec.hostname +
                                          "\" already exists (object " + std::to_string(*existing) +
                                          ")");
  }
  // The map: the one named, else the one open in the session, else the default map.
  std::string map_name = kDefaultMap;
  if (spec.map) {
    map_name = *spec.map;
  } else {
    OVW_TRY_ASSIGN(std::optional<SessionRow> s, store.runningSession(spec.session));
    if (s && s->map_id != 0) {
      OVW_TRY_ASSIGN(std::optional<MapRow> open, store.mapById(s->map_id));
      if (open) map_name = open->name;
    }
  }
  OVW_TRY_ASSIGN(MapRow map, store.mapNamed(map_name));
  OVW_TRY_ASSIGN(uint32_t is_node, booleanField(store, "isNode"));
  OVW_TRY_ASSIGN(uint32_t is_snmp, booleanField(store, "isSNMPSupported"));
  const std::pair<uint32_t, int64_t> values[] = {{is_node, spec.is_node ? 1 : 0},
                                                 {is_snmp, spec.snmp_supported ? 1 : 0}};
  Wakes wakes;
  // Event 18 is delivered after the commit, when the symbol and the submap exist too.
  OVW_TRY_ASSIGN(uint32_t id, store.createObject(spec.hostname, selection, values, wakes));
  OVW_TRY_ASSIGN(uint32_t symbol, store.createSymbol(map.root_submap, id, "Computer:Generic",
                                                     selection, 1, 3, 2, std::nullopt));
  OVW_TRY(store.setSymbolBehavior(symbol, OVW_BEHAVIOR_EXPLODE, std::nullopt, std::nullopt, {}));
  OVW_TRY_ASSIGN(uint32_t submap, store.createSubmap(map.id, selection, id));
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return NodeAdded{id, map.name, symbol, submap};
}

Status changeNode(StoreBackend &store, uint32_t object, const NodeChange &change) {
  if (change.hostname) OVW_TRY(checkText("host name", *change.hostname));
  if (change.selection_name) OVW_TRY(checkText("selection name", *change.selection_name));
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY(requireObject(store, object));
  OVW_TRY(store.setObjectNames(object, change.hostname, change.selection_name));
  if (change.is_node) {
    OVW_TRY_ASSIGN(uint32_t f, booleanField(store, "isNode"));
    OVW_TRY(store.setFieldValue(object, f, *change.is_node ? 1 : 0));
  }
  if (change.snmp_supported) {
    OVW_TRY_ASSIGN(uint32_t f, booleanField(store, "isSNMPSupported"));
    OVW_TRY(store.setFieldValue(object, f, *change.snmp_supported ? 1 : 0));
  }
  return txn->commit();
}

Status deleteObjects(StoreBackend &store, const std::vector<uint32_t> &objects) {
  if (objects.empty()) return makeError(OVW_ERR_BAD_ARG, "no objects to delete");
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  Wakes wakes;
  OVW_TRY(store.deleteObjects(objects, wakes));
  return commitAndWake(store, *txn, wakes);
}

Status setBooleanField(StoreBackend &store, uint32_t object, const std::string &field, bool value) {
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(uint32_t f, booleanField(store, field));
  OVW_TRY(requireObject(store, object));
  OVW_TRY(store.setFieldValue(object, f, value ? 1 : 0));
  return txn->commit();
}

Result<bool> getBooleanField(StoreBackend &store, uint32_t object, const std::string &field) {
  OVW_TRY_ASSIGN(uint32_t f, booleanField(store, field));
  OVW_TRY(requireObject(store, object));
  OVW_TRY_ASSIGN(std::optional<int64_t> v, store.fieldValue(object, f));
  return v && *v != 0;
}

Status select(StoreBackend &store, const std::string &session,
              const std::vector<uint32_t> &objects) {
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(SessionRow s, withOpenMap(store, session));
  OVW_TRY(store.setSelection(s.id, objects));
  return txn->commit();
}

Result<uint32_t> openSubmap(StoreBackend &store, const std::string &session, uint32_t object) {
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY_ASSIGN(SessionRow s, withOpenMap(store, session));
  OVW_TRY(requireObject(store, object));
  OVW_TRY_ASSIGN(uint32_t submap, store.submapOfObject(s.map_id, object));
  if (submap == 0) {
    return makeError(OVW_ERR_NOT_FOUND,
                     "object " + std::to_string(object) + " has no submap on the open map");
  }
  Wakes wakes;
  OVW_TRY(store.postEvent(OVW_EVENT_SUBMAP_OPEN, s.id, s.map_id, submap, {}, wakes).status());
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return submap;
}

// --- Snapshot -------------------------------------------------------------------------------

Result<Snapshot> snapshot(StoreBackend &store) {
  (void)store.reclaimDeadAttachments();
  Snapshot snap;
  snap.database = store.location();
  // One read transaction: a consistent picture.
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> read, store.readTransaction());

  OVW_TRY_ASSIGN(std::vector<FieldRow> fields, store.fields());
  for (const FieldRow &f : fields) snap.fields.push_back({f.id, f.name, f.type});

  OVW_TRY_ASSIGN(std::vector<ApplicationRow> applications, store.applications());
  for (ApplicationRow &a : applications) {
    Snapshot::Application app{std::move(a.name), std::move(a.description), {}};
    for (ActionRow &x : a.actions) app.actions.push_back({std::move(x.name), std::move(x.command)});
    snap.applications.push_back(std::move(app));
  }

  OVW_TRY_ASSIGN(std::vector<SessionRow> sessions, store.sessions());
  for (const SessionRow &row : sessions) {
    Snapshot::Session s{row.id, row.name, row.running, std::nullopt, {}, {}};
    if (row.map_id != 0) {
      OVW_TRY_ASSIGN(std::optional<MapRow> map, store.mapById(row.map_id));
      if (map) s.map = map->name;
    }
    OVW_TRY_ASSIGN(s.selection, store.selection(s.id));
    OVW_TRY_ASSIGN(std::vector<AttachmentRow> attachments, store.attachments(s.id));
    for (const AttachmentRow &a : attachments) {
      Snapshot::AttachmentInfo info{a.id, a.application, a.pid, {}};
      OVW_TRY_ASSIGN(info.events, store.registeredEvents(a.id));
      s.attachments.push_back(std::move(info));
    }
    snap.sessions.push_back(std::move(s));
  }

  OVW_TRY_ASSIGN(std::vector<int32_t> map_ids, store.mapIds());
  for (int32_t id : map_ids) {
    OVW_TRY_ASSIGN(std::optional<MapRow> m, store.mapById(id));
    if (!m) continue;
    Snapshot::Map map{*m, {}};
    OVW_TRY_ASSIGN(std::vector<uint32_t> submap_ids, store.submapIds(id));
    for (uint32_t sid : submap_ids) {
      OVW_TRY_ASSIGN(std::optional<SubmapRow> sm, store.submap(sid));
      if (!sm) continue;
      OVW_TRY_ASSIGN(std::vector<SymbolRow> symbols, store.symbolsOnSubmap(sid, std::nullopt));
      map.submaps.push_back({*sm, std::move(symbols)});
    }
    snap.maps.push_back(std::move(map));
  }

  OVW_TRY_ASSIGN(std::vector<uint32_t> object_ids, store.objectIds());
  for (uint32_t id : object_ids) {
    OVW_TRY_ASSIGN(std::optional<ObjectRow> o, store.object(id, 0));
    if (!o) continue;
    Snapshot::Object obj{*o, {}};
    OVW_TRY_ASSIGN(obj.values, store.fieldValues(id));
    snap.objects.push_back(std::move(obj));
  }
  return snap;
}

}  // namespace kestara::ovw::admin
