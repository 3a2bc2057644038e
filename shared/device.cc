// device.cc - the device probe and the maintenance of the isKestaraDevice flag.
#include "device.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "handles.h"
#include "log_text.h"
#include "ovw_error.h"
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

// What the database says of a node's flag.
enum class Flag { kSet, kClear, kUnknown };

Flag readFlag(OVwObjectId objectId, OVwFieldId fieldId) {
  const int value = OVwDbGetFieldBooleanValue(objectId, fieldId);
  if (value < 0) return Flag::kUnknown;
  return value > 0 ? Flag::kSet : Flag::kClear;
}

// Writes the flag; a failed write is reported as the table's caller reports it.
void writeFlag(OVwObjectId objectId, OVwFieldId fieldId, bool value, FlagTable table) {
  if (OVwDbSetFieldBooleanValue(objectId, fieldId, value ? 1 : 0) >= 0) return;
  if (table == FlagTable::kSweep) {
    printOVwError("OVwDbSetFieldBooleanValue");
  } else if (value) {
    std::printf("OVwDbSetFieldBooleanValue error\n");
  } else {
    std::printf("OVwDbSetFieldBooleanValue %s\n", LogText(OVwErrorMsg(OVwError())).c_str());
  }
}

// No session could be opened to the host: the "REMOVED" path. Returns setDevice's result.
bool noSession(OVwObjectId objectId, OVwFieldId fieldId, const std::string &hostName,
               const RemovalHook &removalHook) {
  std::printf("Failed to open SNMP Session for %s\n", LogText(hostName).c_str());
  if (hostName == "REMOVED" && readFlag(objectId, fieldId) == Flag::kSet) {
    (void)OVwDbSetFieldBooleanValue(objectId, fieldId, 0);
    removalHook(objectId);
    std::printf("  removed isKestaraDevice flag and symbol from OVw\n");
  }
  return false;
}

bool applyForSetDevice(OVwObjectId objectId, OVwFieldId fieldId, const std::string &hostName,
                       ProbeOutcome outcome) {
  return applyProbeOutcome(objectId, fieldId, hostName, outcome, FlagTable::kSetDevice) ==
         NodeVerdict::kDevice;
}

// The probe's request as snmpRead builds it: a GetRequest for the probe variable, on a
// session that takes exceptions as values. Null (reported to snmpErrorHook) when it can't be
// built.
PduPtr probeRequest(OVsnmpSession session) {
  (void)OVsnmpSetSessionFlags(session, OVSNMP_FLAG_RAW_EXCEPTIONS);
  PduPtr request(OVsnmpCreatePdu(OVSNMP_GET_REQ));
  if (!request) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpCreatePdu failed");
    return nullptr;
  }
  if (OVsnmpAddNullVarBind(request.get(), kProbeVariable.ids.data(), kProbeVariable.count) ==
      nullptr) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpAddNullVarBind failed");
    return nullptr;
  }
  return request;
}

}  // namespace

ProbeOutcome probeOutcomeOf(GetOutcome outcome) {
  switch (outcome) {
    case GetOutcome::kValue:
      return ProbeOutcome::kAnswered;
    case GetOutcome::kNoResponse:
    case GetOutcome::kNotSent:  // no agent has said anything
      return ProbeOutcome::kNoResponse;
    case GetOutcome::kNoSuchObject:
      break;
  }
  return ProbeOutcome::kNonDevice;
}

std::span<const OVsnmpOid> probeVariable() {
  return {kProbeVariable.ids.data(), kProbeVariable.count};
}

NodeVerdict applyProbeOutcome(OVwObjectId objectId, OVwFieldId fieldId, std::string_view name,
                              ProbeOutcome outcome, FlagTable table) {
  const LogText shown(name);
  if (outcome == ProbeOutcome::kAnswered) {
    // setDevice reads the flag after the probe, so that a change made while the node was
    // being asked is seen; the sweep writes without reading.
    if (table == FlagTable::kSetDevice && readFlag(objectId, fieldId) == Flag::kSet) {
      std::printf("getOid succeeded for %s - but field already set\n", shown.c_str());
      return NodeVerdict::kDevice;
    }
    writeFlag(objectId, fieldId, true, table);
    std::printf("getOid succeeded for %s - field set\n", shown.c_str());
    return NodeVerdict::kDevice;
  }
  const Flag flag = readFlag(objectId, fieldId);
  if (flag == Flag::kSet && outcome == ProbeOutcome::kNonDevice) {
    std::printf("Found isKestaraDevice flag set on %s for non-device - will reset\n",
                shown.c_str());
    writeFlag(objectId, fieldId, false, table);
    return NodeVerdict::kNonDevice;
  }
  if (flag == Flag::kSet) {
    std::printf("Found isKstrDev flag set on %s - not responding \n", shown.c_str());
    return NodeVerdict::kSilentDevice;
  }
  std::printf("%s non-Kestara Device\n", shown.c_str());
  // A flag that can't be read may be set: a definite non-device has it cleared all the same.
  if (flag == Flag::kUnknown && outcome == ProbeOutcome::kNonDevice) {
    writeFlag(objectId, fieldId, false, table);
  }
  return NodeVerdict::kNonDevice;
}

ProbeOutcome probeDevice(OVsnmpSession session) {
  // The get copies the name the agent answered for over the identifier it is given. Each
  // probe works on a copy of the record, so an agent that answers for another variable can't
  // change what later probes ask for.
  IdentifierRecord probe = kProbeVariable;
  std::array<char, kProbeBufferSize> reply{};
  return probeOutcomeOf(snmpRead(session, probe.count, probe.ids, OVSNMP_GET_REQ, reply));
}

bool setDevice(OVwObjectId objectId, RemovalHook removalHook) {
  const OVwFieldId fieldId = OVwDbFieldNameToFieldId("isKestaraDevice");
  const char *hostText = OVwDbObjectIdToHostname(objectId);
  if (hostText == nullptr) {
    std::printf("  setDevice: OVwObjId %d has no hostname\n", static_cast<int>(objectId));
    return false;
  }
  // The library's text lives only until its next call; the hook may make one.
  const std::string hostName(hostText);

  const SnmpSession session(snmpOpen(hostName.c_str()));
  if (!session) return noSession(objectId, fieldId, hostName, removalHook);
  return applyForSetDevice(objectId, fieldId, hostName, probeDevice(session.get()));
}

std::optional<bool> DeviceProbe::start(OVwObjectId objectId, RemovalHook removalHook, Done done,
                                       void *context) {
  objectId_ = objectId;
  fieldId_ = OVwDbFieldNameToFieldId("isKestaraDevice");
  removalHook_ = removalHook;
  done_ = done;
  context_ = context;
  const char *hostText = OVwDbObjectIdToHostname(objectId);
  if (hostText == nullptr) {
    std::printf("  setDevice: OVwObjId %d has no hostname\n", static_cast<int>(objectId));
    return false;
  }
  hostName_ = hostText;

  SnmpSession session(snmpOpen(hostName_.c_str()));  // closed unless the request goes out
  if (!session) return noSession(objectId, fieldId_, hostName_, removalHook);
  PduPtr request = probeRequest(session.get());
  // A request that fails here has asked no agent: it decides nothing.
  if (!request) return applyForSetDevice(objectId, fieldId_, hostName_, ProbeOutcome::kNoResponse);
  if (OVsnmpSendAsync(session.get(), request.get(), completed, this) != 0) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpSendAsync failed");
    return applyForSetDevice(objectId, fieldId_, hostName_, ProbeOutcome::kNoResponse);
  }
  (void)request.release();  // consumed by the send
  session_ = session.release();
  return std::nullopt;
}

void DeviceProbe::abandon() {
  if (session_ == 0) return;
  const OVsnmpSession session = session_;
  session_ = 0;
  (void)OVsnmpClose(session);  // cancels the request: completed() then does nothing
}

void DeviceProbe::completed(OVsnmpSession, int error, OVsnmpPdu *response, void *context) {
  auto *probe = static_cast<DeviceProbe *>(context);
  PduPtr owned(response);
  if (error == OVSNMP_ERR_CANCELLED) return;  // abandoned
  if (error != OVSNMP_ERR_NONE) {
    snmpErrorHook(error, "OVsnmpSendAsync failed");
    // An agent that refuses an SNMPv3 request's security has not answered it.
    const bool refused = OVsnmpIsSecurityRefusal(error) != 0;
    if (refused) {
      std::printf("SNMPv3 probe of %s refused: %s\n", LogText(probe->hostName_).c_str(),
                  OVsnmpErrString(error));
    }
    // Only an agent's answer decides: a time-out, a refusal and a failure of the request
    // itself leave the flag as it is.
    probe->finish(ProbeOutcome::kNoResponse);
    return;
  }
  // The answer is read as the blocking get reads it, into a copy of the probe variable's
  // record and a value buffer of the same size.
  IdentifierRecord answered = kProbeVariable;
  std::array<char, kProbeBufferSize> reply{};
  const std::span<const OVsnmpOid> requested(kProbeVariable.ids.data(), kProbeVariable.count);
  probe->finish(
      probeOutcomeOf(readResponse(requested, OVSNMP_GET_REQ, *owned, answered.ids, reply)));
}

void DeviceProbe::finish(ProbeOutcome outcome) {
  const bool answered = applyForSetDevice(objectId_, fieldId_, hostName_, outcome);
  const OVsnmpSession session = session_;
  session_ = 0;
  (void)snmpClose(session);  // closed before `done`, which may start the next probe
  done_(*this, answered, context_);
}
