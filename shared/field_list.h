// field_list.h - field-value lists: the OVw query and filter records naming boolean fields
// that must be true.
#ifndef KESTARA_SHARED_FIELD_LIST_H
#define KESTARA_SHARED_FIELD_LIST_H

#include "OVw.h"

// Builds a list of `count` (1 or 2) bindings, each asking that a boolean field be true
// ({0, OVW_FIELD_BOOLEAN, 1}): the field named `firstFieldName`, and when count is not 1 and
// `secondFieldName` is given, that one too. Field ids are looked up by name and not checked.
// The caller owns the list and releases it with freeFieldValueList. Returns null when memory
// can't be had.
[[nodiscard]] OVwFieldBindList *buildFieldValueList(int count, const char *firstFieldName,
                                                    const char *secondFieldName);

// Releases each binding's value record, the array of bindings and the list. Null is allowed.
void freeFieldValueList(OVwFieldBindList *list);

#endif  // KESTARA_SHARED_FIELD_LIST_H
