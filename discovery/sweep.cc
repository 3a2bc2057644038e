// sweep.cc - the start-up sweep: every SNMP node of the object database is probed once and its
// isKestaraDevice field brought up to date.
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "device.h"
#include "discovery.h"
#include "field_list.h"
#include "log_text.h"
#include "ovw_error.h"
#include "snmp_ops.h"

bool standAloneMode = false;
bool loopForCallback = false;

namespace {

struct FieldListDeleter {
  void operator()(OVwFieldBindList *list) const { freeFieldValueList(list); }
};
using FieldListPtr = std::unique_ptr<OVwFieldBindList, FieldListDeleter>;

struct ObjectIdListDeleter {
  void operator()(OVwObjectIdList *list) const { OVwDbFreeObjectIdList(list); }
};
using ObjectIdListPtr = std::unique_ptr<OVwObjectIdList, ObjectIdListDeleter>;

// The ids of a list; empty when the list holds none (or claims a count without ids).
std::span<const OVwObjectId> idsOf(const OVwObjectIdList &list) {
  if (list.count <= 0 || list.object_ids == nullptr) return {};
  return {list.object_ids, static_cast<size_t>(list.count)};
}

struct Counters {
  int devices = 0;
  int nonDevices = 0;
};

// Probes one object over a session to its selection name and applies the sweep's table: an
// answer sets the field without reading it; the field is read only when there was none.
void sweepObject(OVwObjectId objectId, OVwFieldId fieldId, Counters &counters) {
  const char *selectionText = OVwDbObjectIdToSelectionName(objectId);
  if (selectionText == nullptr) {
    std::printf("Null Selection Name for OVwOid %d\n", static_cast<int>(objectId));
    return;
  }
  const std::string name(selectionText);
  const OVsnmpSession session = snmpOpen(name.c_str());
  if (session == 0) {
    std::printf("Failed to open SNMP Session for %s\n", LogText(name).c_str());
    return;
  }
  const int outcome = probeDevice(session);
  if (outcome == kProbeAnswered) {
    if (OVwDbSetFieldBooleanValue(objectId, fieldId, 1) < 0) {
      printOVwError("OVwDbSetFieldBooleanValue");
    }
    std::printf("getOid succeeded for %s - field set\n", LogText(name).c_str());
    ++counters.devices;
  } else if (OVwDbGetFieldBooleanValue(objectId, fieldId) <= 0) {
    std::printf("%s non-Kestara Device\n", LogText(name).c_str());
    ++counters.nonDevices;
  } else if (outcome == kProbeNonDevice) {
    std::printf("Found isKestaraDevice flag set on %s for non-device - will reset\n",
                LogText(name).c_str());
    if (OVwDbSetFieldBooleanValue(objectId, fieldId, 0) < 0) {
      printOVwError("OVwDbSetFieldBooleanValue");
    }
    ++counters.nonDevices;
  } else {
    std::printf("Found isKstrDev flag set on %s - not responding \n", LogText(name).c_str());
    ++counters.devices;
  }
  (void)snmpClose(session);
}

// Stand-alone only: every object flagged after the sweep's writes.
void printFlagged() {
  FieldListPtr query(buildFieldValueList(1, "isKestaraDevice", nullptr));
  ObjectIdListPtr flagged(query ? OVwDbListObjectsByFieldValues(query.get()) : nullptr);
  if (!flagged) {
    printOVwError("OVwDbListObjectsByFieldValues - 2");
    return;
  }
  std::printf("\n\nFound %d objects that match isKestaraDevice\n", flagged->count);
  for (OVwObjectId objectId : idsOf(*flagged)) {
    const char *name = OVwDbObjectIdToSelectionName(objectId);
    std::printf("%s\n", LogText(name != nullptr ? name : "(null)").c_str());
  }
}

}  // namespace

int sweepDevices() {
  FieldListPtr query(buildFieldValueList(2, "isNode", "isSNMPSupported"));
  ObjectIdListPtr objects(query ? OVwDbListObjectsByFieldValues(query.get()) : nullptr);
  if (!objects) {
    printOVwError("OVwDbListObjectsByFieldValues");
    return 0;
  }
  std::printf("Found %d objects that match isNode and isSNMPSupported\n\n", objects->count);

  const OVwFieldId fieldId = OVwDbFieldNameToFieldId("isKestaraDevice");
  if (fieldId == 0) {
    std::printf("isKestaraDevice not defined in ovwdb\n");
    return 0;
  }

  Counters counters;
  for (OVwObjectId objectId : idsOf(*objects)) sweepObject(objectId, fieldId, counters);
  query.reset();
  objects.reset();

  if (!standAloneMode) return 1;
  std::printf("\n***** Found %d Kestara devices, %d Non-Kestara devices *****\n", counters.devices,
              counters.nonDevices);
  printFlagged();
  return 1;
}
