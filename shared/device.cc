// device.cc - the device probe and the maintenance of the isKestaraDevice flag.
#include "device.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "log_text.h"
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

// Closes the session on every way out of setDevice, and of a probe's start until its request
// is on its way.
class SessionGuard {
 public:
  explicit SessionGuard(OVsnmpSession session) : session_(session) {}
  ~SessionGuard() {
    if (session_ != 0) (void)snmpClose(session_);
  }
  SessionGuard(const SessionGuard &) = delete;
  SessionGuard &operator=(const SessionGuard &) = delete;
  // Hands the session over, open.
  [[nodiscard]] OVsnmpSession release() {
    const OVsnmpSession session = session_;
    session_ = 0;
    return session;
  }

 private:
  OVsnmpSession session_;
};

struct PduDeleter {
  void operator()(OVsnmpPdu *pdu) const { OVsnmpFreePdu(pdu); }
};
using PduPtr = std::unique_ptr<OVsnmpPdu, PduDeleter>;

// The flag counts as set only when the database says so; a failed read (below 0) is not a
// set flag.
bool flagSet(OVwObjectId objectId, OVwFieldId fieldId) {
  return OVwDbGetFieldBooleanValue(objectId, fieldId) > 0;
}

int probeOutcomeOf(GetOutcome outcome) {
  switch (outcome) {
    case GetOutcome::kValue:
      return kProbeAnswered;
    case GetOutcome::kNoResponse:
      return kProbeNoResponse;
    case GetOutcome::kNoSuchObject:
      break;
  }
  return kProbeNonDevice;
}

// No session could be opened to the host: the "REMOVED" path. Returns setDevice's result.
int noSession(OVwObjectId objectId, OVwFieldId fieldId, const std::string &hostName,
              RemovalHook removalHook) {
  std::printf("Failed to open SNMP Session for %s\n", LogText(hostName).c_str());
  if (hostName == "REMOVED" && flagSet(objectId, fieldId)) {
    (void)OVwDbSetFieldBooleanValue(objectId, fieldId, 0);
    if (removalHook != nullptr) removalHook(objectId);
    std::printf("  removed isKestaraDevice flag and symbol from OVw\n");
  }
  return 0;
}

// Sets, keeps or clears the flag by the probe's outcome and prints the line that says so.
// Returns setDevice's result.
int applyOutcome(OVwObjectId objectId, OVwFieldId fieldId, const std::string &hostName,
                 int outcome) {
  // Read after the probe, so that a change made while the node was being asked is seen.
  const bool wasSet = flagSet(objectId, fieldId);

  if (outcome == kProbeAnswered) {
    if (wasSet) {
      std::printf("getOid succeeded for %s - but field already set\n", LogText(hostName).c_str());
      return 1;
    }
    if (OVwDbSetFieldBooleanValue(objectId, fieldId, 1) < 0) {
      std::printf("OVwDbSetFieldBooleanValue error\n");
    }
    std::printf("getOid succeeded for %s - field set\n", LogText(hostName).c_str());
    return 1;
  }
  if (!wasSet) {
    std::printf("%s non-Kestara Device\n", LogText(hostName).c_str());
  } else if (outcome == kProbeNonDevice) {
    std::printf("Found isKestaraDevice flag set on %s for non-device - will reset\n",
                LogText(hostName).c_str());
    if (OVwDbSetFieldBooleanValue(objectId, fieldId, 0) < 0) {
      std::printf("OVwDbSetFieldBooleanValue %s\n", LogText(OVwErrorMsg(OVwError())).c_str());
    }
  } else {
    std::printf("Found isKstrDev flag set on %s - not responding \n", LogText(hostName).c_str());
  }
  return 0;
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

int probeDevice(OVsnmpSession session) {
  // The get copies the name the agent answered for over the identifier it is given. Each
  // probe works on a copy of the record, so an agent that answers for another variable can't
  // change what later probes ask for.
  IdentifierRecord probe = kProbeVariable;
  std::array<char, kProbeBufferSize> reply{};
  return probeOutcomeOf(snmpRead(session, probe.count, probe.ids, OVSNMP_GET_REQ, reply));
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
  if (session == 0) return noSession(objectId, fieldId, hostName, removalHook);
  SessionGuard guard(session);
  return applyOutcome(objectId, fieldId, hostName, probeDevice(session));
}

std::optional<int> DeviceProbe::start(OVwObjectId objectId, RemovalHook removalHook, Done done,
                                      void *context) {
  objectId_ = objectId;
  fieldId_ = OVwDbFieldNameToFieldId("isKestaraDevice");
  removalHook_ = removalHook;
  done_ = done;
  context_ = context;
  const char *hostText = OVwDbObjectIdToHostname(objectId);
  if (hostText == nullptr) {
    std::printf("  setDevice: OVwObjId %d has no hostname\n", static_cast<int>(objectId));
    return 0;
  }
  hostName_ = hostText;

  const OVsnmpSession session = snmpOpen(hostName_.c_str());
  if (session == 0) return noSession(objectId, fieldId_, hostName_, removalHook);
  SessionGuard guard(session);  // until the request is on its way
  PduPtr request = probeRequest(session);
  if (!request) return applyOutcome(objectId, fieldId_, hostName_, kProbeNonDevice);
  if (OVsnmpSendAsync(session, request.get(), completed, this) != 0) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpSendAsync failed");
    return applyOutcome(objectId, fieldId_, hostName_, kProbeNonDevice);
  }
  (void)request.release();  // consumed by the send
  session_ = guard.release();
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
    probe->finish(error == OVSNMP_ERR_TIMEOUT || refused ? kProbeNoResponse : kProbeNonDevice);
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

void DeviceProbe::finish(int outcome) {
  const int result = applyOutcome(objectId_, fieldId_, hostName_, outcome);
  const OVsnmpSession session = session_;
  session_ = 0;
  (void)snmpClose(session);  // closed before `done`, which may start the next probe
  done_(*this, result, context_);
}
