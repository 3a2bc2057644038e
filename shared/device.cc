// device.cc - the device probe and the maintenance of the isKestaraDevice flag.
#include "device.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "snmp_ops.h"

namespace {

// The probe variable, held as the module's identifier record: room for 256 sub-identifiers
// and the count of those that name it.
struct IdentifierRecord {
  std::array<OVsnmpOid, 256> ids;
  uint32_t count;
};
constexpr IdentifierRecord kProbeVariable = {{1, 3, 6, 1, 4, 1, 32473, 3, 1, 2, 3, 1, 1, 0}, 14};

// The probe's value buffer: only the get's outcome matters, and the get never writes past it
// whatever the agent returns.
constexpr size_t kProbeBufferSize = 52;

// Closes the session on every way out of setDevice.
class SessionGuard {
 public:
  explicit SessionGuard(OVsnmpSession session) : session_(session) {}
  ~SessionGuard() {
    if (session_ != 0) (void)snmpClose(session_);
  }
  SessionGuard(const SessionGuard &) = delete;
  SessionGuard &operator=(const SessionGuard &) = delete;

 private:
  OVsnmpSession session_;
};

// The flag counts as set only when the database says so; a failed read (below 0) is not a
// set flag.
bool flagSet(OVwObjectId objectId, OVwFieldId fieldId) {
  return OVwDbGetFieldBooleanValue(objectId, fieldId) > 0;
}

}  // namespace

int probeDevice(OVsnmpSession session) {
  // The get copies the name the agent answered for over the identifier it is given. Each
  // probe works on a copy of the record, so an agent that answers for another variable can't
  // change what later probes ask for.
  IdentifierRecord probe = kProbeVariable;
  std::array<char, kProbeBufferSize> reply{};
  switch (snmpRead(session, probe.count, probe.ids, OVSNMP_GET_REQ, reply)) {
    case GetOutcome::kValue:
      return kProbeAnswered;
    case GetOutcome::kNoResponse:
      return kProbeNoResponse;
    case GetOutcome::kNoSuchObject:
      break;
  }
  return kProbeNonDevice;
}

int setDevice(OVwObjectId objectId, RemovalHook removalHook) {
  const OVwFieldId fieldId = OVwDbFieldNameToFieldId("isKestaraDevice");
  const char *hostText = OVwDbObjectIdToHostname(objectId);
  if (hostText == nullptr) {
    std::printf("  setDevice: OVwObjId %d has no hostname\n", static_cast<int>(objectId));
    return 0;
  }
  // The library's text lives only until its next call; the hook may make one.
  const std::string hostName(hostText);

  const OVsnmpSession session = snmpOpen(hostName.c_str());
  if (session == 0) {
    std::printf("Failed to open SNMP Session for %s\n", hostName.c_str());
    if (hostName == "REMOVED" && flagSet(objectId, fieldId)) {
      (void)OVwDbSetFieldBooleanValue(objectId, fieldId, 0);
      if (removalHook != nullptr) removalHook(objectId);
      std::printf("  removed isKestaraDevice flag and symbol from OVw\n");
    }
    return 0;
  }
  SessionGuard guard(session);

  const int outcome = probeDevice(session);
  // Read after the probe, so that a change made while the node was being asked is seen.
  const bool wasSet = flagSet(objectId, fieldId);

  if (outcome == kProbeAnswered) {
    if (wasSet) {
      std::printf("getOid succeeded for %s - but field already set\n", hostName.c_str());
      return 1;
    }
    if (OVwDbSetFieldBooleanValue(objectId, fieldId, 1) < 0) {
      std::printf("OVwDbSetFieldBooleanValue error\n");
    }
    std::printf("getOid succeeded for %s - field set\n", hostName.c_str());
    return 1;
  }
  if (!wasSet) {
    std::printf("%s non-Kestara Device\n", hostName.c_str());
  } else if (outcome == kProbeNonDevice) {
    std::printf("Found isKestaraDevice flag set on %s for non-device - will reset\n",
                hostName.c_str());
    if (OVwDbSetFieldBooleanValue(objectId, fieldId, 0) < 0) {
      std::printf("OVwDbSetFieldBooleanValue %s\n", OVwErrorMsg(OVwError()));
    }
  } else {
    std::printf("Found isKstrDev flag set on %s - not responding \n", hostName.c_str());
  }
  return 0;
}
