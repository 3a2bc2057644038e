// objects.cc - fields, objects and field values for the OVw library.
#include "objects.h"

#include <string>
#include <utility>
#include <vector>

#include "handles.h"
#include "library.h"
#include "store_backend.h"

namespace kestara::ovw::library {

namespace {

// Commits a transaction, then wakes the parties of the events it posted.
Status commitAndWake(StoreBackend &store, Transaction &txn, Wakes &wakes) {
  OVW_TRY(txn.commit());
  store.wake(wakes);
  return Status::Ok();
}

Result<const char *> objectText(OVwObjectId object, bool hostname, std::string &out) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  OVW_TRY_ASSIGN(std::optional<ObjectRow> row, store->objectNames(object));
  if (!row) return makeError(OVW_ERR_NOT_FOUND, "no object " + std::to_string(object));
  const std::optional<std::string> &text = hostname ? row->hostname : row->selection_name;
  if (!text) {
    return makeError(OVW_ERR_NOT_FOUND, "object " + std::to_string(object) + " has no " +
                                            (hostname ? "host name" : "selection name"));
  }
  out = *text;
  return out.c_str();
}

Result<OVwObjectId> objectIdByName(const char *name, bool hostname) {
  if (name == nullptr) return makeError(OVW_ERR_BAD_ARG, "no name given");
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  OVW_TRY_ASSIGN(uint32_t id, store->objectIdByName(hostname, name));
  if (id == 0) return makeError(OVW_ERR_NOT_FOUND, std::string("no object named ") + name);
  return id;
}

}  // namespace

Result<OVwFieldId> fieldIdByName(const char *name) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  if (name == nullptr) return makeError(OVW_ERR_BAD_ARG, "no field name");
  OVW_TRY_ASSIGN(std::optional<FieldRow> f, store->fieldByName(name));
  if (!f) {
    return makeError(OVW_ERR_NOT_FOUND, std::string("field \"") + name + "\" is not defined");
  }
  return f->id;
}

Result<int> booleanValue(OVwObjectId object, OVwFieldId field) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  OVW_TRY_ASSIGN(bool value, store->booleanValue(object, field));
  return value ? 1 : 0;
}

Status setBooleanValue(OVwObjectId object, OVwFieldId field, bool value) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  return store->setBooleanValue(object, field, value);
}

Status beginWriteGroup() {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  return store->beginGroup();
}

Status endWriteGroup() {
  if (Status injected = checkFault("OVwDbEndWriteGroup"); !injected) {
    if (lib().store) lib().store->abandonGroup();
    return injected;
  }
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  return store->endGroup();
}

Result<OVwObjectIdList *> listObjectsByFieldValues(const OVwFieldBindList *filter) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  if (filter == nullptr) return makeError(OVW_ERR_BAD_ARG, "no field-value list");
  OVW_TRY_ASSIGN(Filter f, toFilter(filter));
  OVW_TRY_ASSIGN(std::vector<uint32_t> ids, store->findObjects(f, 0));
  return idList(ids);
}

Result<const char *> objectHostname(OVwObjectId object) {
  return objectText(object, true, lib().hostname_text);
}

Result<const char *> objectSelectionName(OVwObjectId object) {
  return objectText(object, false, lib().selection_name_text);
}

Result<OVwObjectId> objectIdByHostname(const char *name) { return objectIdByName(name, true); }

Result<OVwObjectId> objectIdBySelectionName(const char *name) {
  return objectIdByName(name, false);
}

Result<OVwObjectId> createObject(const OVwFieldBindList *fields) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  OVW_TRY_ASSIGN(Filter values, toFilter(fields));
  std::vector<std::pair<uint32_t, int64_t>> pairs;
  for (const FilterTerm &t : values) pairs.emplace_back(t.field_id, t.value);
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store->transaction());
  Wakes wakes;
  OVW_TRY_ASSIGN(uint32_t id, store->createObject(std::nullopt, std::nullopt, pairs, wakes));
  OVW_TRY(commitAndWake(*store, *txn, wakes));
  return id;
}

Status deleteObject(OVwObjectId object) {
  OVW_TRY_ASSIGN(StoreBackend * store, database());
  OVW_TRY_ASSIGN(std::unique_ptr<Transaction> txn, store->transaction());
  Wakes wakes;
  const uint32_t ids[] = {object};
  OVW_TRY(store->deleteObjects(ids, wakes));
  return commitAndWake(*store, *txn, wakes);
}

}  // namespace kestara::ovw::library
