// objects.h - the object database of the OVw library: fields, objects and their field values,
// and write groups. Each call checks its arguments and the open store, works in its own
// transaction, and returns what the entry point of the same name hands back.
#ifndef KESTARA_PLATFORM_OVW_OBJECTS_H
#define KESTARA_PLATFORM_OVW_OBJECTS_H

#include "OVw.h"
#include "result.h"

namespace kestara::ovw::library {

Result<OVwFieldId> fieldIdByName(const char *name);
// 1 or 0: the value of a boolean field of an existing object (absent: 0).
Result<int> booleanValue(OVwObjectId object, OVwFieldId field);
Status setBooleanValue(OVwObjectId object, OVwFieldId field, bool value);

Status beginWriteGroup();
// Asks the fault-injection seam itself: an injected failure ends the group as a failed commit
// would, committing nothing of it.
Status endWriteGroup();

// The ids of the objects that match every term, kept for the caller.
Result<OVwObjectIdList *> listObjectsByFieldValues(const OVwFieldBindList *filter);
// The object's host name (or selection name), in the library's text for that call.
Result<const char *> objectHostname(OVwObjectId object);
Result<const char *> objectSelectionName(OVwObjectId object);
// The lowest id of the objects with that host name (or selection name).
Result<OVwObjectId> objectIdByHostname(const char *name);
Result<OVwObjectId> objectIdBySelectionName(const char *name);

// Creates an object with the given field values and announces it (event 18).
Result<OVwObjectId> createObject(const OVwFieldBindList *fields);
// Deletes an object and announces it (event 15).
Status deleteObject(OVwObjectId object);

}  // namespace kestara::ovw::library

#endif  // KESTARA_PLATFORM_OVW_OBJECTS_H
