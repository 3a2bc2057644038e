// snmp_ops.cc - open, close and single-variable get over the OVsnmp library.
#include "snmp_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct PduDeleter {
  void operator()(OVsnmpPdu *pdu) const { OVsnmpFreePdu(pdu); }
};
using PduPtr = std::unique_ptr<OVsnmpPdu, PduDeleter>;

// Writes `text` into `output`, cut to fit, always terminated.
void writeText(std::span<char> output, std::string_view text) {
  size_t n = std::min(text.size(), output.size() - 1);
  std::memcpy(output.data(), text.data(), n);
  output[n] = '\0';
}

// The first 32-bit word of a value as the library stores it; shorter values are zero-padded.
uint32_t firstWord(const OVsnmpVarBind &vb) {
  uint32_t word = 0;
  if (vb.val != nullptr) std::memcpy(&word, vb.val, std::min<size_t>(vb.val_len, sizeof word));
  return word;
}

// Renders the first binding of a good response. Returns the get's result.
bool renderValue(const OVsnmpVarBind *vb, std::span<OVsnmpOid> identifier, std::span<char> output) {
  if (vb == nullptr) return false;  // a response without a binding answers nothing
  switch (vb->type) {
    case OVSNMP_NOSUCHOBJECT:
    case OVSNMP_NOSUCHINSTANCE:
    case OVSNMP_ENDOFMIBVIEW:
    case OVSNMP_NULL:
      // The agent has no value here: the variable does not exist for this request.
      return false;
    case OVSNMP_OCTETSTRING: {
      size_t n = vb->val == nullptr ? 0 : std::min(vb->val_len, output.size() - 1);
      if (n > 0) std::memcpy(output.data(), vb->val, n);
      output[n] = '\0';
      return true;
    }
    default: {
      char number[16];
      std::snprintf(number, sizeof number, "%u", firstWord(*vb));
      writeText(output, number);
      size_t n = std::min(vb->oid_length, identifier.size());
      if (vb->oid != nullptr && n > 0) std::copy_n(vb->oid, n, identifier.begin());
      return true;
    }
  }
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

bool snmpGet(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier, int pduType,
             std::span<char> output) {
  if (output.empty()) return false;
  // The library checks the handle before it records the option; a bad handle fails again,
  // with its own error, at the send below.
  (void)OVsnmpSetSessionFlags(session, OVSNMP_FLAG_RAW_EXCEPTIONS);
  writeText(output, kNoSuchObject);
  if (count > identifier.size()) return false;

  PduPtr request(OVsnmpCreatePdu(pduType));
  if (!request) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpCreatePdu failed");
    return false;
  }
  if (OVsnmpAddNullVarBind(request.get(), identifier.data(), count) == nullptr) {
    snmpErrorHook(OVsnmpErrno, "OVsnmpAddNullVarBind failed");
    return false;
  }
  for (;;) {
    PduPtr response(OVsnmpBlockingSend(session, request.get()));
    if (!response) {
      snmpErrorHook(OVsnmpErrno, "OVsnmpBlockingSend failed");
      if (OVsnmpErrno == OVSNMP_ERR_TIMEOUT) writeText(output, kNoResponse);
      return false;  // the request is still ours and goes with `request`
    }
    (void)request.release();  // consumed by the successful send
    if (response->error_status == 0) {
      return renderValue(response->variables, identifier, output);
    }
    snmpErrorHook(response->error_status, "Received error response from agent");
    if (response->error_index == 0) return false;
    request.reset(OVsnmpFixPdu(response.get(), pduType));
    if (!request) {
      snmpErrorHook(OVsnmpErrno, "OVsnmpFixPdu failed");
      return false;
    }
    (void)response.release();  // consumed by the successful fix
  }
}
