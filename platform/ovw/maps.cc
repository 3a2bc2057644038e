// maps.cc - maps, submaps and symbols for the OVw library.
#include "maps.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "handles.h"
#include "library.h"
#include "store_backend.h"

namespace kestara::ovw::library {

namespace {

// The map behind a handle: it must exist.
Result<MapRow> knownMap(const OVwMapInfo *map) {
  if (map == nullptr) return makeError(OVW_ERR_BAD_ARG, "no map given");
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  OVW_TRY_ASSIGN(std::optional<MapRow> row, store->mapById(map->map_id));
  if (!row)
    return makeError(OVW_ERR_NO_MAP, "map " + std::to_string(map->map_id) + " does not exist");
  return std::move(*row);
}

// The submap, when it lies on the map (of a handle that knownMap() has checked).
Result<SubmapRow> submapOnMap(const MapRow &map, OVwSubmapId submap) {
  OVW_TRY_ASSIGN(std::optional<SubmapRow> row, lib().store->submap(submap));
  if (!row || row->map_id != map.id) {
    return makeError(OVW_ERR_NOT_FOUND,
                     "no submap " + std::to_string(submap) + " on map " + map.name);
  }
  return std::move(*row);
}

// The symbol, when it lies on the map.
Result<SymbolRow> symbolOnMap(const MapRow &map, OVwSymbolId symbol) {
  OVW_TRY_ASSIGN(std::optional<SymbolRow> row, lib().store->symbolOnMap(symbol, map.id));
  if (row) return std::move(*row);
  return makeError(OVW_ERR_NOT_FOUND,
                   "no symbol " + std::to_string(symbol) + " on map " + map.name);
}

Status requireObject(StoreBackend &store, OVwObjectId object, std::string_view what) {
  OVW_TRY_ASSIGN(bool exists, store.objectExists(object));
  if (!exists) return makeError(OVW_ERR_NOT_FOUND, std::string(what) + std::to_string(object));
  return Status::Ok();
}

}  // namespace

Result<OVwMapInfo *> openMapInfo() {
  OVW_TRY_ASSIGN(SessionRow s, currentSession());
  if (s.map_id == 0) {
    return makeError(OVW_ERR_NO_MAP, "no map is open in session \"" + s.name + "\"");
  }
  OVW_TRY_ASSIGN(std::optional<MapRow> m, lib().store->mapById(s.map_id));
  if (!m) return makeError(OVW_ERR_NO_MAP, "the open map no longer exists");
  std::unique_ptr<MapRecord> r = mapRecord(*m, s.name);
  OVwMapInfo *handle = &r->info;
  return keep(std::move(r), Kind::kMap, handle);
}

Status beginMapSync(OVwMapInfo *map) { return openMapSession(map).status(); }

Status endMapSync(OVwMapInfo *map) { return openMapSession(map).status(); }

Status ackMapClose(OVwMapInfo *map, const OVwMapCloseInfo *close_info) {
  if (map == nullptr || close_info == nullptr) {
    return makeError(OVW_ERR_BAD_ARG, "no map or no close event given");
  }
  if (close_info->map_id != map->map_id) {
    return makeError(OVW_ERR_BAD_ARG, "the close event is for another map");
  }
  OVW_TRY(requireSession());
  Library &l = lib();
  return l.store->ackMapClose(l.attachment.id, close_info->close_id);
}

Result<OVwSymbolList *> symbolsByObject(OVwMapInfo *map, OVwObjectId object) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  StoreBackend &store = *lib().store;
  OVW_TRY(requireObject(store, object, "no object "));
  OVW_TRY_ASSIGN(std::vector<SymbolRow> rows, store.symbolsOfObject(m.id, object));
  std::unique_ptr<SymbolListRecord> r = symbolList(rows);
  OVwSymbolList *handle = &r->list;
  return keep(std::move(r), Kind::kSymbolList, handle);
}

Result<OVwSymbolList *> listSymbols(OVwMapInfo *map, OVwSubmapId submap, int kind,
                                    const char *application) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  std::optional<std::string_view> app;
  if (kind == OVW_LIST_BY_APPLICATION) {
    if (application == nullptr) return makeError(OVW_ERR_BAD_ARG, "no application name");
    app = application;
  } else if (kind != OVW_LIST_ALL) {
    return makeError(OVW_ERR_BAD_ARG, "unknown kind of symbol list " + std::to_string(kind));
  }
  StoreBackend &store = *lib().store;
  OVW_TRY(submapOnMap(m, submap).status());
  OVW_TRY_ASSIGN(std::vector<SymbolRow> rows, store.symbolsOnSubmap(submap, app));
  std::unique_ptr<SymbolListRecord> r = symbolList(rows);
  OVwSymbolList *handle = &r->list;
  return keep(std::move(r), Kind::kSymbolList, handle);
}

Result<OVwSymbolInfo *> symbolInfo(OVwMapInfo *map, OVwSymbolId symbol) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  OVW_TRY_ASSIGN(SymbolRow row, symbolOnMap(m, symbol));
  auto r = std::make_unique<SymbolInfoRecord>();
  fillSymbol(r->info, row, r->targets, r->texts);
  OVwSymbolInfo *handle = &r->info;
  return keep(std::move(r), Kind::kSymbolInfo, handle);
}

Result<OVwSubmapInfo *> submapInfo(OVwMapInfo *map, OVwSubmapId submap) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  OVW_TRY_ASSIGN(SubmapRow sm, submapOnMap(m, submap));
  auto r = std::make_unique<SubmapInfoRecord>();
  fillSubmap(r->info, sm, r->texts);
  OVwSubmapInfo *handle = &r->info;
  return keep(std::move(r), Kind::kSubmapInfo, handle);
}

Result<OVwObjectInfo *> objectInfo(OVwMapInfo *map, OVwObjectId object) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  OVW_TRY_ASSIGN(std::optional<ObjectRow> row, lib().store->object(object, m.id));
  if (!row) return makeError(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
  auto r = std::make_unique<ObjectInfoRecord>();
  fillObject(r->info, *row, r->texts);
  OVwObjectInfo *handle = &r->info;
  return keep(std::move(r), Kind::kObjectInfo, handle);
}

Result<OVwObjectList *> listObjectsOnMap(OVwMapInfo *map, const OVwFieldBindList *filter) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  OVW_TRY_ASSIGN(Filter f, toFilter(filter));
  StoreBackend &store = *lib().store;
  OVW_TRY_ASSIGN(std::vector<uint32_t> ids, store.findObjects(f, m.id));
  OVW_TRY_ASSIGN(std::vector<ObjectRow> rows, store.objects(ids, m.id));
  std::unique_ptr<ObjectListRecord> r = objectList(rows);
  OVwObjectList *handle = &r->list;
  return keep(std::move(r), Kind::kObjectList, handle);
}

Result<OVwSymbolId> createSymbol(OVwMapInfo *map, OVwSubmapId submap, OVwObjectId object,
                                 const char *symbol_type, const char *label, int status,
                                 int variety, int flags) {
  OVW_TRY(requireSession());
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  if (symbol_type == nullptr || label == nullptr) {
    return makeError(OVW_ERR_BAD_ARG, "no symbol type or label");
  }
  Library &l = lib();
  StoreBackend &store = *l.store;
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY(submapOnMap(m, submap).status());
  OVW_TRY(requireObject(store, object, "no object "));
  OVW_TRY_ASSIGN(uint32_t id, store.createSymbol(submap, object, symbol_type, label, status,
                                                 variety, flags, l.application));
  OVW_TRY(txn->commit());
  return id;
}

Status setSymbolBehavior(OVwMapInfo *map, OVwSymbolId symbol, int behavior, const char *application,
                         const char *action, const OVwObjectIdList *targets) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  if (behavior != OVW_BEHAVIOR_NONE && behavior != OVW_BEHAVIOR_EXPLODE &&
      behavior != OVW_BEHAVIOR_ACTION) {
    return makeError(OVW_ERR_BAD_ARG, "unknown behaviour " + std::to_string(behavior));
  }
  std::vector<uint32_t> target_ids;
  if (targets != nullptr) {
    if (targets->count < 0 || static_cast<size_t>(targets->count) > kMaxListItems ||
        (targets->count > 0 && targets->object_ids == nullptr)) {
      return makeError(OVW_ERR_BAD_ARG, "invalid target list");
    }
    target_ids.assign(targets->object_ids, targets->object_ids + targets->count);
  }
  StoreBackend &store = *lib().store;
  std::optional<std::string_view> app;
  std::optional<std::string_view> act;
  if (behavior == OVW_BEHAVIOR_ACTION) {
    if (application == nullptr || action == nullptr) {
      return makeError(OVW_ERR_BAD_ARG, "an action needs an application and an action name");
    }
    OVW_TRY_ASSIGN(bool registered, store.actionRegistered(application, action));
    if (!registered) {
      return makeError(OVW_ERR_NOT_REGISTERED, std::string("application \"") + application +
                                                   "\" with action \"" + action +
                                                   "\" is not registered; run \"ovw -fields\"");
    }
    app = application;
    act = action;
  }
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY(symbolOnMap(m, symbol).status());
  for (uint32_t target : target_ids) OVW_TRY(requireObject(store, target, "no target object "));
  OVW_TRY(store.setSymbolBehavior(symbol, behavior, app, act, target_ids));
  return txn->commit();
}

Status deleteSymbol(OVwMapInfo *map, OVwSymbolId symbol) {
  OVW_TRY_ASSIGN(MapRow m, knownMap(map));
  StoreBackend &store = *lib().store;
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store.transaction());
  OVW_TRY(symbolOnMap(m, symbol).status());
  OVW_TRY(store.deleteSymbol(symbol));
  return txn->commit();
}

}  // namespace kestara::ovw::library
