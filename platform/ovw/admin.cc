// admin.cc - the `ovw` tool's operations on the database.
#include "admin.h"

#include <unistd.h>

#include "wake.h"

namespace kestara::ovw::admin {

namespace {

// The running session `name`, or OVW_ERR_NO_SESSION with a hint.
Result<SessionRow> running(Store &store, const std::string &name) {
  Result<std::optional<SessionRow>> s = store.runningSession(name);
  if (!s) return s.error();
  if (!*s) {
    return makeError(OVW_ERR_NO_SESSION, "session \"" + name +
                                             "\" is not running (start it with \"ovw start "
                                             "session\")");
  }
  return **s;
}

// The running session with a map open in it.
Result<SessionRow> withOpenMap(Store &store, const std::string &name) {
  Result<SessionRow> s = running(store, name);
  if (!s) return s;
  if (s->map_id == 0) {
    return makeError(OVW_ERR_NO_MAP,
                     "no map is open in session \"" + name + "\" (open one with \"ovw open map\")");
  }
  return s;
}

Status commitAndWake(Store &store, Txn &txn, Wakes &wakes) {
  OVW_TRY(txn.commit());
  store.wake(wakes);
  return Status::Ok();
}

Result<uint32_t> booleanField(Store &store, const std::string &name) {
  Result<std::optional<FieldRow>> f = store.fieldByName(name);
  if (!f) return f.error();
  if (!*f) {
    return makeError(OVW_ERR_NOT_FOUND,
                     "field \"" + name + "\" is not defined (run \"ovw -fields\")");
  }
  if ((*f)->type != OVW_FIELD_BOOLEAN) {
    return makeError(OVW_ERR_BAD_ARG, "field \"" + name + "\" is not boolean");
  }
  return (*f)->id;
}

Status requireObject(Store &store, uint32_t object) {
  Result<bool> exists = store.objectExists(object);
  if (!exists) return exists.error();
  if (!*exists) return makeError(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
  return Status::Ok();
}

}  // namespace

std::string localSessionName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost:0";
  return std::string(host) + ":0";
}

Status startSession(Store &store, const std::string &name) {
  OVW_TRY(checkText("session name", name));
  (void)store.reclaimDeadAttachments();
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<std::optional<SessionRow>> existing = store.runningSession(name);
  if (!existing) return existing.error();
  if (*existing) return makeError(OVW_ERR_BAD_ARG, "session \"" + name + "\" is already running");
  // Ended sessions that nobody is attached to any more are of no use.
  OVW_TRY(
      store.db().exec("DELETE FROM sessions WHERE running = 0 AND NOT EXISTS "
                      "(SELECT 1 FROM attachments a WHERE a.session_id = sessions.id)"));
  Result<Stmt> add =
      store.db().prepare("INSERT INTO sessions(name, running, started_at) VALUES (?, 1, ?)");
  if (!add) return add.error();
  add->bindText(1, name).bind(2, nowMicros() / 1000000);
  OVW_TRY(add->run());
  return txn->commit();
}

Result<CloseReport> closeMap(Store &store, const std::string &session,
                             std::chrono::milliseconds timeout) {
  // Processes that have ended cannot acknowledge: don't wait for them.
  (void)store.reclaimDeadAttachments();
  Result<WakeReceiver> closer = WakeReceiver::create(store.wakeDir(), store.group());
  if (!closer) return closer.error();
  int64_t close_id = 0;
  CloseReport report;
  SessionRow s;
  {
    Result<Txn> txn = store.begin();
    if (!txn) return txn.error();
    Result<SessionRow> found = withOpenMap(store, session);
    if (!found) return found.error();
    s = *found;
    Result<std::optional<MapRow>> map = store.mapById(s.map_id);
    if (!map) return map.error();
    report.map = *map ? (*map)->name : std::to_string(s.map_id);
    Wakes wakes;
    Result<int64_t> id = store.beginMapClose(s, closer->token(), wakes);
    if (!id) return id.error();
    close_id = *id;
    OVW_TRY(commitAndWake(store, *txn, wakes));
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    closer->drain();
    Result<std::vector<std::pair<int64_t, std::string>>> pending = store.pendingAcks(close_id);
    if (!pending) return pending.error();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (pending->empty() || left.count() <= 0) {
      for (auto &p : *pending) report.unacknowledged.push_back(std::move(p.second));
      break;
    }
    closer->wait(left);
  }
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  OVW_TRY(store.finishMapClose(close_id, s));
  OVW_TRY(txn->commit());
  return report;
}

Result<std::optional<CloseReport>> endSession(Store &store, const std::string &name,
                                              std::chrono::milliseconds timeout) {
  Result<SessionRow> s = running(store, name);
  if (!s) return s.error();
  std::optional<CloseReport> report;
  if (s->map_id != 0) {
    Result<CloseReport> closed = closeMap(store, name, timeout);
    if (!closed) return closed.error();
    report = std::move(*closed);
  }
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<SessionRow> again = running(store, name);
  if (!again) return again.error();
  Result<Stmt> end = store.db().prepare(
      "UPDATE sessions SET running = 0, map_id = NULL, ended_at = ? WHERE id = ?");
  if (!end) return end.error();
  end->bind(1, nowMicros() / 1000000).bind(2, again->id);
  OVW_TRY(end->run());
  Result<Stmt> unselect = store.db().prepare("DELETE FROM selections WHERE session_id = ?");
  if (!unselect) return unselect.error();
  unselect->bind(1, again->id);
  OVW_TRY(unselect->run());
  Wakes wakes;
  Result<int64_t> posted = store.postEvent(OVW_EVENT_END_SESSION, again->id, 0, 0, {}, wakes);
  if (!posted) return posted.error();
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return report;
}

Result<MapRow> openMap(Store &store, const std::string &session, const std::string &map) {
  OVW_TRY(checkText("map name", map));
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<SessionRow> s = running(store, session);
  if (!s) return s.error();
  if (s->map_id != 0) {
    Result<std::optional<MapRow>> open = store.mapById(s->map_id);
    if (!open) return open.error();
    return makeError(OVW_ERR_BAD_ARG, "map \"" + (*open ? (*open)->name : std::string("?")) +
                                          "\" is already open in session \"" + session +
                                          "\" (close it with \"ovw close map\")");
  }
  Result<MapRow> m = store.mapNamed(map);
  if (!m) return m.error();
  Result<Stmt> set = store.db().prepare("UPDATE sessions SET map_id = ? WHERE id = ?");
  if (!set) return set.error();
  set->bind(1, m->id).bind(2, s->id);
  OVW_TRY(set->run());
  Wakes wakes;
  Result<int64_t> posted = store.postEvent(OVW_EVENT_MAP_OPEN, s->id, m->id, 0, {}, wakes);
  if (!posted) return posted.error();
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return m;
}

Result<NodeAdded> addNode(Store &store, const NodeSpec &spec) {
  OVW_TRY(checkText("host name", spec.hostname));
  std::string selection = spec.selection_name.value_or(spec.hostname);
  OVW_TRY(checkText("selection name", selection));
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<std::optional<uint32_t>> existing = store.objectByHostname(spec.hostname);
  if (!existing) return existing.error();
  if (*existing) {
    return makeError(OVW_ERR_BAD_ARG, "a node with host name \"" + spec.hostname +
                                          "\" already exists (object " +
                                          std::to_string(**existing) + ")");
  }
  // The map: the one named, else the one open in the session, else the default map.
  std::string map_name = kDefaultMap;
  if (spec.map) {
    map_name = *spec.map;
  } else {
    Result<std::optional<SessionRow>> s = store.runningSession(spec.session);
    if (!s) return s.error();
    if (*s && (*s)->map_id != 0) {
      Result<std::optional<MapRow>> open = store.mapById((*s)->map_id);
      if (!open) return open.error();
      if (*open) map_name = (*open)->name;
    }
  }
  Result<MapRow> map = store.mapNamed(map_name);
  if (!map) return map.error();
  Result<uint32_t> is_node = booleanField(store, "isNode");
  if (!is_node) return is_node.error();
  Result<uint32_t> is_snmp = booleanField(store, "isSNMPSupported");
  if (!is_snmp) return is_snmp.error();
  const std::pair<uint32_t, int64_t> values[] = {{*is_node, spec.is_node ? 1 : 0},
                                                 {*is_snmp, spec.snmp_supported ? 1 : 0}};
  Wakes wakes;
  // Event 18 is delivered after the commit, when the symbol and the submap exist too.
  Result<uint32_t> id = store.createObject(spec.hostname, selection, values, wakes);
  if (!id) return id.error();
  Result<uint32_t> symbol = store.createSymbol(map->root_submap, *id, "Computer:Generic", selection,
                                               1, 3, 2, std::nullopt);
  if (!symbol) return symbol.error();
  OVW_TRY(store.setSymbolBehavior(*symbol, OVW_BEHAVIOR_EXPLODE, std::nullopt, std::nullopt, {}));
  Result<uint32_t> submap = store.createSubmap(map->id, selection, *id);
  if (!submap) return submap.error();
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return NodeAdded{*id, map->name, *symbol, *submap};
}

Status changeNode(Store &store, uint32_t object, const NodeChange &change) {
  if (change.hostname) OVW_TRY(checkText("host name", *change.hostname));
  if (change.selection_name) OVW_TRY(checkText("selection name", *change.selection_name));
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  OVW_TRY(requireObject(store, object));
  if (change.hostname) {
    Result<Stmt> set = store.db().prepare("UPDATE objects SET hostname = ? WHERE id = ?");
    if (!set) return set.error();
    set->bindText(1, *change.hostname).bind(2, object);
    OVW_TRY(set->run());
  }
  if (change.selection_name) {
    Result<Stmt> set = store.db().prepare("UPDATE objects SET selection_name = ? WHERE id = ?");
    if (!set) return set.error();
    set->bindText(1, *change.selection_name).bind(2, object);
    OVW_TRY(set->run());
  }
  if (change.is_node) {
    Result<uint32_t> f = booleanField(store, "isNode");
    if (!f) return f.error();
    OVW_TRY(store.setFieldValue(object, *f, *change.is_node ? 1 : 0));
  }
  if (change.snmp_supported) {
    Result<uint32_t> f = booleanField(store, "isSNMPSupported");
    if (!f) return f.error();
    OVW_TRY(store.setFieldValue(object, *f, *change.snmp_supported ? 1 : 0));
  }
  return txn->commit();
}

Status deleteObjects(Store &store, const std::vector<uint32_t> &objects) {
  if (objects.empty()) return makeError(OVW_ERR_BAD_ARG, "no objects to delete");
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Wakes wakes;
  OVW_TRY(store.deleteObjects(objects, wakes));
  return commitAndWake(store, *txn, wakes);
}

Status setBooleanField(Store &store, uint32_t object, const std::string &field, bool value) {
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<uint32_t> f = booleanField(store, field);
  if (!f) return f.error();
  OVW_TRY(requireObject(store, object));
  OVW_TRY(store.setFieldValue(object, *f, value ? 1 : 0));
  return txn->commit();
}

Result<bool> getBooleanField(Store &store, uint32_t object, const std::string &field) {
  Result<uint32_t> f = booleanField(store, field);
  if (!f) return f.error();
  OVW_TRY(requireObject(store, object));
  Result<std::optional<int64_t>> v = store.fieldValue(object, *f);
  if (!v) return v.error();
  return *v && **v != 0;
}

Status select(Store &store, const std::string &session, const std::vector<uint32_t> &objects) {
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<SessionRow> s = withOpenMap(store, session);
  if (!s) return s.error();
  OVW_TRY(store.setSelection(s->id, objects));
  return txn->commit();
}

Result<uint32_t> openSubmap(Store &store, const std::string &session, uint32_t object) {
  Result<Txn> txn = store.begin();
  if (!txn) return txn.error();
  Result<SessionRow> s = withOpenMap(store, session);
  if (!s) return s.error();
  OVW_TRY(requireObject(store, object));
  Result<uint32_t> submap = store.submapOfObject(s->map_id, object);
  if (!submap) return submap.error();
  if (*submap == 0) {
    return makeError(OVW_ERR_NOT_FOUND,
                     "object " + std::to_string(object) + " has no submap on the open map");
  }
  Wakes wakes;
  Result<int64_t> posted =
      store.postEvent(OVW_EVENT_SUBMAP_OPEN, s->id, s->map_id, *submap, {}, wakes);
  if (!posted) return posted.error();
  OVW_TRY(commitAndWake(store, *txn, wakes));
  return *submap;
}

// --- Snapshot -------------------------------------------------------------------------------

namespace {

// Runs `sql` (with `param` bound to its one parameter unless 0) and calls `row(stmt)` at each row.
template <typename F>
Status eachRow(Store &store, const char *sql, int64_t param, F &&row) {
  Result<Stmt> stmt = store.db().prepare(sql);
  if (!stmt) return stmt.error();
  if (param != 0) stmt->bind(1, param);
  return stmt->forEachRow([&] { row(*stmt); });
}

}  // namespace

Result<Snapshot> snapshot(Store &store) {
  (void)store.reclaimDeadAttachments();
  Snapshot snap;
  snap.database = store.path();
  // One read transaction: a consistent picture.
  OVW_TRY(store.db().exec("BEGIN"));
  struct EndRead {
    Store &store;
    ~EndRead() { (void)store.db().exec("COMMIT"); }
  } end_read{store};

  Result<std::vector<FieldRow>> fields = store.fields();
  if (!fields) return fields.error();
  for (const FieldRow &f : *fields) snap.fields.push_back({f.id, f.name, f.type});

  OVW_TRY(
      eachRow(store, "SELECT name, description FROM applications ORDER BY name", 0, [&](Stmt &s) {
        snap.applications.push_back({s.text(0).value_or(""), s.text(1), {}});
      }));
  for (Snapshot::Application &a : snap.applications) {
    Result<Stmt> stmt =
        store.db().prepare("SELECT name, command FROM actions WHERE application = ? ORDER BY name");
    if (!stmt) return stmt.error();
    stmt->bindText(1, a.name);
    OVW_TRY(stmt->forEachRow([&] {
      a.actions.push_back({stmt->text(0).value_or(""), stmt->text(1)});
    }));
  }

  OVW_TRY(eachRow(store,
                  "SELECT s.id, s.name, s.running, m.name FROM sessions s "
                  "LEFT JOIN maps m ON m.id = s.map_id ORDER BY s.id",
                  0, [&](Stmt &s) {
                    snap.sessions.push_back(
                        {s.int64(0), s.text(1).value_or(""), s.int64(2) != 0, s.text(3), {}, {}});
                  }));
  for (Snapshot::Session &s : snap.sessions) {
    Result<std::vector<uint32_t>> sel = store.selection(s.id);
    if (!sel) return sel.error();
    s.selection = *sel;
    OVW_TRY(eachRow(store,
                    "SELECT id, application, pid FROM attachments WHERE session_id = ? "
                    "ORDER BY id",
                    s.id, [&](Stmt &a) {
                      s.attachments.push_back({a.int64(0), a.text(1).value_or(""), a.int64(2), {}});
                    }));
    for (Snapshot::AttachmentInfo &a : s.attachments) {
      OVW_TRY(eachRow(store,
                      "SELECT event FROM registrations WHERE attachment_id = ? ORDER BY event",
                      a.id, [&](Stmt &r) { a.events.push_back(static_cast<int>(r.int64(0))); }));
    }
  }

  std::vector<int32_t> map_ids;
  OVW_TRY(eachRow(store, "SELECT id FROM maps ORDER BY id", 0,
                  [&](Stmt &s) { map_ids.push_back(static_cast<int32_t>(s.int64(0))); }));
  for (int32_t id : map_ids) {
    Result<std::optional<MapRow>> m = store.mapById(id);
    if (!m) return m.error();
    if (!*m) continue;
    Snapshot::Map map{**m, {}};
    std::vector<uint32_t> submap_ids;
    OVW_TRY(eachRow(store, "SELECT id FROM submaps WHERE map_id = ? ORDER BY id", id,
                    [&](Stmt &s) { submap_ids.push_back(static_cast<uint32_t>(s.int64(0))); }));
    for (uint32_t sid : submap_ids) {
      Result<std::optional<SubmapRow>> sm = store.submap(sid);
      if (!sm) return sm.error();
      if (!*sm) continue;
      Result<std::vector<SymbolRow>> symbols = store.symbolsOnSubmap(sid, std::nullopt);
      if (!symbols) return symbols.error();
      map.submaps.push_back({**sm, std::move(*symbols)});
    }
    snap.maps.push_back(std::move(map));
  }

  std::vector<uint32_t> object_ids;
  OVW_TRY(eachRow(store, "SELECT id FROM objects ORDER BY id", 0,
                  [&](Stmt &s) { object_ids.push_back(static_cast<uint32_t>(s.int64(0))); }));
  for (uint32_t id : object_ids) {
    Result<std::optional<ObjectRow>> o = store.object(id, 0);
    if (!o) return o.error();
    if (!*o) continue;
    Snapshot::Object obj{**o, {}};
    OVW_TRY(eachRow(store,
                    "SELECT f.name, v.value FROM field_values v JOIN fields f ON f.id = v.field_id "
                    "WHERE v.object_id = ? ORDER BY f.id",
                    id,
                    [&](Stmt &s) { obj.values.emplace_back(s.text(0).value_or(""), s.int64(1)); }));
    snap.objects.push_back(std::move(obj));
  }
  return snap;
}

}  // namespace kestara::ovw::admin
