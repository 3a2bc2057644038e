// handles.cc - records handed to the callers of the OVw library, and their release.
#include "handles.h"

#include <unordered_map>
#include <utility>

namespace kestara::ovw::library {

namespace {

// Records the callers hold, by address, so that Free calls can check what they are given.
std::unordered_map<const void *, std::pair<Kind, std::unique_ptr<Record>>> &records() {
  static std::unordered_map<const void *, std::pair<Kind, std::unique_ptr<Record>>> held;
  return held;
}

}  // namespace

void keepRecord(std::unique_ptr<Record> record, Kind kind, const void *handle) {
  records()[handle] = {kind, std::move(record)};
}

void release(const void *handle, Kind kind) {
  if (handle == nullptr) return;
  auto &held = records();
  auto it = held.find(handle);
  if (it != held.end() && it->second.first == kind) held.erase(it);
}

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

}  // namespace kestara::ovw::library
