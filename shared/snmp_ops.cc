// snmp_ops.cc - open, close and single-variable get over the OVsnmp library.
#include "snmp_ops.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "handles.h"
#include "text.h"

namespace {

// The i-th 32-bit word of a value as the library stores it; missing bytes read as zeros.
uint32_t wordAt(const OVsnmpVarBind &vb, size_t i) {
  uint32_t word = 0;
  const size_t offset = i * sizeof word;
  if (vb.val == nullptr || vb.val_len <= offset) return 0;
  std::memcpy(&word, static_cast<const unsigned char *>(vb.val) + offset,
              std::min<size_t>(vb.val_len - offset, sizeof word));
  return word;
}

size_t bindingCount(const OVsnmpPdu &pdu) {
  size_t n = 0;
  for (const OVsnmpVarBind *vb = pdu.variables; vb != nullptr; vb = vb->next_variable) ++n;
  return n;
}

bool isException(uint8_t type) {
  return type == OVSNMP_NOSUCHOBJECT || type == OVSNMP_NOSUCHINSTANCE ||
         type == OVSNMP_ENDOFMIBVIEW;
}

// True when `response` answers a request of `pduType` for the one variable `requested`: it
// holds exactly one binding, named as asked. An error response names what was asked; a good
// GetNext answer names a later variable, or the same one with an exception (end of the view).
bool answersRequest(std::span<const OVsnmpOid> requested, int pduType, const OVsnmpPdu &response) {
  const OVsnmpVarBind *vb = response.variables;
  if (vb == nullptr || vb->next_variable != nullptr || vb->oid == nullptr) return false;
  const int order =
      OVsnmpOidCompare(vb->oid, vb->oid_length, requested.data(), requested.size(), 0);
  if (response.error_status != 0 || pduType != OVSNMP_GETNEXT_REQ) return order == 0;
  return order > 0 || (order == 0 && isException(vb->type));
}

// Renders the one binding of a good response. Returns the get's outcome.
GetOutcome renderValue(const OVsnmpVarBind &vb, std::span<OVsnmpOid> identifier,
                       std::span<char> output) {
  char number[24];
  switch (vb.type) {
    case OVSNMP_NOSUCHOBJECT:
    case OVSNMP_NOSUCHINSTANCE:
    case OVSNMP_ENDOFMIBVIEW:
    case OVSNMP_NULL:
      // The agent has no value here: the variable does not exist for this request.
      return GetOutcome::kNoSuchObject;
    case OVSNMP_OCTETSTRING: {
      size_t n = vb.val == nullptr ? 0 : std::min(vb.val_len, output.size() - 1);
      if (n > 0) std::memcpy(output.data(), vb.val, n);
      output[n] = '\0';
      return GetOutcome::kValue;
    }
    case OVSNMP_COUNTER64: {
      // Held as two 32-bit words, the high one first.
      const uint64_t value = (uint64_t{wordAt(vb, 0)} << 32) | wordAt(vb, 1);
      std::snprintf(number, sizeof number, "%" PRIu64, value);
      break;
    }
    default:
      std::snprintf(number, sizeof number, "%u", wordAt(vb, 0));
      break;
  }
  copyText(output, number);
  size_t n = std::min(vb.oid_length, identifier.size());
  if (vb.oid != nullptr && n > 0) std::copy_n(vb.oid, n, identifier.begin());
  return GetOutcome::kValue;
}

}  // namespace

void snmpErrorHook(int errorNumber, const char *text) {
  (void)errorNumber;
  (void)text;
}

OVsnmpSession snmpOpen(const char *nodeName) {
  OVsnmpSession session =
      OVsnmpOpen(nullptr, nodeName, OVSNMP_DEFAULT_RETRIES, OVSNMP_DEFAULT_TIMEOUT,
                 OVSNMP_DEFAULT_PORT, OVSNMP_DEFAULT_PORT, nullptr, nullptr);
  if (session == 0) std::fprintf(stderr, "OVsnmpOpen failed: %s\n", OVsnmpErrString(OVsnmpErrno));
  return session;
}

bool snmpClose(OVsnmpSession session) {
  if (OVsnmpClose(session) == 0) return true;
  std::printf("OVsnmpClose encountered bad SessionID %d\n", static_cast<int>(session));
  return false;
}

GetOutcome readResponse(std::span<const OVsnmpOid> requested, int pduType,
                        const OVsnmpPdu &response, std::span<OVsnmpOid> identifier,
                        std::span<char> output) {
  if (output.empty()) return GetOutcome::kNoSuchObject;
  copyText(output, kNoSuchObject);
  if (!answersRequest(requested, pduType, response)) {
    snmpErrorHook(OVSNMP_ERR_BAD_PDU, "Response does not answer the request");
    return GetOutcome::kNoSuchObject;
  }
  if (response.error_status != 0) {
    snmpErrorHook(response.error_status, "Received error response from agent");
    return GetOutcome::kNoSuchObject;
  }
  return renderValue(*response.variables, identifier, output);
}

GetOutcome snmpRead(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier,
                    int pduType, std::span<char> output) {
  if (output.empty()) return GetOutcome::kNoSuchObject;
  // The library checks the handle before it records the option; a bad handle fails again,
  // with its own error, at the send below.
  (void)OVsnmpSetSessionFlags(session, OVSNMP_FLAG_RAW_EXCEPTIONS);
  copyText(output, kNoSuchObject);
  if (count > identifier.size()) return GetOutcome::kNoSuchObject;
  // The name asked for; the identifier itself changes only once a value is written.
  const std::span<const OVsnmpOid> requested = identifier.first(count);

  PduPtr request(OVsnmpCreatePdu(pduType));
  if (!request) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpCreatePdu failed");
    return GetOutcome::kNotSent;
  }
  if (OVsnmpAddNullVarBind(request.get(), identifier.data(), count) == nullptr) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpAddNullVarBind failed");
    return GetOutcome::kNotSent;
  }
  size_t bindings = bindingCount(*request);
  for (;;) {
    PduPtr response(OVsnmpBlockingSend(session, request.get()));
    if (!response) {
      const int error = OVsnmpErrno;
      snmpErrorHook(error, "OVsnmpBlockingSend failed");
      // An agent that refuses an SNMPv3 request's security has not answered it.
      if (OVsnmpIsSecurityRefusal(error)) {
        std::printf("SNMPv3 request refused: %s\n", OVsnmpErrString(error));
      } else if (error != OVSNMP_ERR_TIMEOUT) {
        return GetOutcome::kNotSent;
      }
      copyText(output, kNoResponse);
      return GetOutcome::kNoResponse;  // the request is still ours and goes with `request`
    }
    (void)request.release();  // consumed by the successful send
    // Only an answer to what was asked counts: an agent that answers with other or more
    // bindings answers nothing, and can't steer the correction below.
    if (bindingCount(*response) != bindings || !answersRequest(requested, pduType, *response)) {
      snmpErrorHook(OVSNMP_ERR_BAD_PDU, "Response does not answer the request");
      return GetOutcome::kNoSuchObject;
    }
    if (response->error_status == 0) return renderValue(*response->variables, identifier, output);
    snmpErrorHook(response->error_status, "Received error response from agent");
    if (response->error_index == 0) return GetOutcome::kNoSuchObject;
    request.reset(OVsnmpFixPdu(response.get(), pduType));
    if (!request) {
      snmpErrorHook(OVsnmpErrno, "OVsnmpFixPdu failed");
      return GetOutcome::kNoSuchObject;
    }
    (void)response.release();  // consumed by the successful fix
    // A correction only ever takes bindings away; one that does not is refused, so the loop
    // ends after at most as many sends as the first request had bindings.
    const size_t left = bindingCount(*request);
    if (left == 0 || left >= bindings) {
      snmpErrorHook(OVSNMP_ERR_NO_VARBIND, "OVsnmpFixPdu failed");
      return GetOutcome::kNoSuchObject;
    }
    bindings = left;
  }
}

bool sendRead(OVsnmpSession session, std::span<const OVsnmpOid> requested, int pduType,
              std::span<char> output, OVsnmpCompletion completion, void *context) {
  if (output.empty()) return false;
  (void)OVsnmpSetSessionFlags(session, OVSNMP_FLAG_RAW_EXCEPTIONS);
  copyText(output, kNoSuchObject);
  if (OVsnmpSendRequestAsync(session, pduType, requested.data(), requested.size(), completion,
                             context) != 0) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpSendRequestAsync failed");
    return false;
  }
  return true;
}

GetOutcome completeRead(int error, OVsnmpPdu *response, std::span<const OVsnmpOid> requested,
                        int pduType, std::span<OVsnmpOid> identifier, std::span<char> output) {
  PduPtr owned(response);
  if (output.empty()) return GetOutcome::kNoSuchObject;
  if (error == OVSNMP_ERR_TIMEOUT || OVsnmpIsSecurityRefusal(error)) {
    snmpErrorHook(error, "OVsnmpSendAsync failed");
    copyText(output, kNoResponse);
    return GetOutcome::kNoResponse;
  }
  if (error != OVSNMP_ERR_NONE || !owned) {
    snmpErrorHook(error, "OVsnmpSendAsync failed");
    copyText(output, kNoSuchObject);
    return GetOutcome::kNotSent;
  }
  return readResponse(requested, pduType, *owned, identifier, output);
}

bool snmpGet(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier, int pduType,
             std::span<char> output) {
  return snmpRead(session, count, identifier, pduType, output) == GetOutcome::kValue;
}
