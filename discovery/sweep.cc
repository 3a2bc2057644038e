// sweep.cc - the start-up sweep: every SNMP node of the object database is probed once and its
// isKestaraDevice field brought up to date.
#include <cstdio>
#include <span>
#include <string>

#include "device.h"
#include "discovery.h"
#include "field_list.h"
#include "handles.h"
#include "log_text.h"
#include "ovw_error.h"
#include "protocol.h"
#include "snmp_ops.h"

namespace {

// The ids of a list; empty when the list holds none (or claims a count without ids).
std::span<const OVwObjectId> idsOf(const OVwObjectIdList &list) {
  if (list.count <= 0 || list.object_ids == nullptr) return {};
  return {list.object_ids, static_cast<size_t>(list.count)};
}

struct Counters {
  int devices = 0;
  int nonDevices = 0;
};

// Probes one object over a session to its selection name and applies the sweep's table.
void sweepObject(OVwObjectId objectId, OVwFieldId fieldId, Counters &counters) {
  const char *selectionText = OVwDbObjectIdToSelectionName(objectId);
  if (selectionText == nullptr) {
    std::printf("Null Selection Name for OVwOid %d\n", static_cast<int>(objectId));
    return;
  }
  const std::string name(selectionText);
  const SnmpSession session(snmpOpen(name.c_str()));
  if (!session) {
    std::printf("Failed to open SNMP Session for %s\n", LogText(name).c_str());
    return;
  }
  switch (
      applyProbeOutcome(objectId, fieldId, name, probeDevice(session.get()), FlagTable::kSweep)) {
    case NodeVerdict::kDevice:
    case NodeVerdict::kSilentDevice:
      ++counters.devices;
      break;
    case NodeVerdict::kNonDevice:
      ++counters.nonDevices;
      break;
  }
}

// Stand-alone only: every object flagged after the sweep's writes.
void printFlagged() {
  FieldListPtr query(buildFieldValueList(1, kDeviceField, nullptr));
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

bool sweepDevices(SweepSummary summary) {
  FieldListPtr query(buildFieldValueList(2, kNodeField, kSnmpField));
  ObjectIdListPtr objects(query ? OVwDbListObjectsByFieldValues(query.get()) : nullptr);
  if (!objects) {
    printOVwError("OVwDbListObjectsByFieldValues");
    return false;
  }
  std::printf("Found %d objects that match isNode and isSNMPSupported\n\n", objects->count);

  const OVwFieldId fieldId = OVwDbFieldNameToFieldId(kDeviceField);
  if (fieldId == 0) {
    std::printf("isKestaraDevice not defined in ovwdb\n");
    return false;
  }

  Counters counters;
  for (OVwObjectId objectId : idsOf(*objects)) sweepObject(objectId, fieldId, counters);
  query.reset();
  objects.reset();

  if (summary == SweepSummary::kNone) return true;
  std::printf("\n***** Found %d Kestara devices, %d Non-Kestara devices *****\n", counters.devices,
              counters.nonDevices);
  printFlagged();
  return true;
}
