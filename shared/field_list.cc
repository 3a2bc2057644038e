// field_list.cc - field-value lists: the OVw query and filter records naming boolean fields
// that must be true.
#include "field_list.h"

#include <memory>
#include <new>

#include "handles.h"

namespace {

// Fills one binding: the field id and a new value record {firstWord, typeCode, value}. The
// value is stored only for the type codes that carry one (boolean and enumeration). Returns
// false when the record can't be allocated; the binding then has no value record.
bool fillBinding(OVwFieldBinding &binding, OVwFieldId fieldId, int32_t firstWord, int32_t typeCode,
                 int32_t value) {
  binding.field_id = fieldId;
  binding.field_val = new (std::nothrow) OVwFieldValue{};
  if (binding.field_val == nullptr) return false;
  binding.field_val->is_list = firstWord;
  binding.field_val->field_type = typeCode;
  if (typeCode == OVW_FIELD_BOOLEAN || typeCode == OVW_FIELD_ENUM) {
    binding.field_val->value = value;
  }
  return true;
}

}  // namespace

OVwFieldBindList *buildFieldValueList(int count, const char *firstFieldName,
                                      const char *secondFieldName) {
  if (count < 1 || count > 2 || firstFieldName == nullptr) return nullptr;
  // A second binding exists only when it is asked for and named: the list never counts a
  // binding that holds no field.
  const int filled = (count != 1 && secondFieldName != nullptr) ? 2 : 1;

  FieldListPtr list(new (std::nothrow) OVwFieldBindList{});
  if (!list) return nullptr;
  list->fields = new (std::nothrow) OVwFieldBinding[filled]{};
  if (list->fields == nullptr) return nullptr;
  // Counted before filling, so that a failure part-way releases what was made (the
  // unfilled bindings hold null value records).
  list->count = filled;

  if (!fillBinding(list->fields[0], OVwDbFieldNameToFieldId(firstFieldName), 0, OVW_FIELD_BOOLEAN,
                   1)) {
    return nullptr;
  }
  if (filled == 2 && !fillBinding(list->fields[1], OVwDbFieldNameToFieldId(secondFieldName), 0,
                                  OVW_FIELD_BOOLEAN, 1)) {
    return nullptr;
  }
  return list.release();
}

void freeFieldValueList(OVwFieldBindList *list) {
  if (list == nullptr) return;
  if (list->fields != nullptr) {
    for (int32_t i = 0; i < list->count; ++i) delete list->fields[i].field_val;
    delete[] list->fields;
  }
  delete list;
}
