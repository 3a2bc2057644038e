// snmp_ops.h - open, close and single-variable get over the OVsnmp library.
//
// Linked into the gateway, the discovery daemon and the map application. The module keeps no
// state: no table of sessions, no cache of values.
#ifndef KESTARA_SHARED_SNMP_OPS_H
#define KESTARA_SHARED_SNMP_OPS_H

#include <cstddef>
#include <span>
#include <string_view>

#include "OVsnmp.h"
#include "handles.h"

// Reply texts of a failed get.
inline constexpr std::string_view kNoSuchObject = "No Such Object";
inline constexpr std::string_view kNoResponse = "No Response";

// What a single-variable get came to.
enum class GetOutcome {
  kValue,         // a value was written to the output text
  kNoSuchObject,  // no usable answer: no such variable, an error, a mismatched response, ...
  kNoResponse,    // the agent did not answer within the session's time-out and retries, or
                  // refused the SNMPv3 request's security (OVsnmpIsSecurityRefusal)
  kNotSent,       // the request failed on this side: it could not be built, or the library's
                  // send failed otherwise than by a time-out. No agent answered; the text is
                  // "No Such Object", as for a missing variable.
};

// Opens a session to `nodeName` with the configured defaults. On failure prints
// "OVsnmpOpen failed: %s\n" on standard error and returns 0 (no session).
[[nodiscard]] OVsnmpSession snmpOpen(const char *nodeName);

// Closes a session. On refusal prints "OVsnmpClose encountered bad SessionID %d\n" on standard
// output and returns false.
bool snmpClose(OVsnmpSession session);

// A session of snmpOpen (0: none), closed with snmpClose when its owner goes.
using SnmpSession = Handle<OVsnmpSession, snmpClose, OVsnmpSession{0}>;

// Reads one variable as text.
//
// `identifier` is the caller's whole identifier array; its first `count` sub-identifiers name
// the variable. `output` is the caller's whole text buffer: its size is the capacity, and
// nothing is ever written past it. The text is always NUL-terminated (an OCTET STRING that does
// not fit is cut to size() - 1 bytes).
//
// kValue: an OCTET STRING's bytes, a Counter64 as its whole unsigned 64-bit value, or for any
// other type its first 32-bit word as "%u"; in the last two cases the answered name is copied
// over the front of `identifier` (as many sub-identifiers as fit; `count` is the caller's and
// does not change), which is how a GetNext walk moves on. Otherwise `output` holds
// "No Such Object" or "No Response".
//
// An agent's answer counts only when it answers the request: one binding, named as asked (for
// a GetNext: named after the name asked for, or as asked with an exception). An error response
// may only take bindings away from the request, so the correction loop ends after at most as
// many sends as the request has bindings.
//
// An SNMPv3 agent that refuses the request's security (unknown user, wrong digest, decryption
// error, unsupported security level) answers as one that does not respond ("No Response"),
// and the reason is printed: "SNMPv3 request refused: %s\n" with OVsnmpErrString.
//
// `pduType` is OVSNMP_GET_REQ or OVSNMP_GETNEXT_REQ. REQUIRES: output.size() >= 1.
[[nodiscard]] GetOutcome snmpRead(OVsnmpSession session, size_t count,
                                  std::span<OVsnmpOid> identifier, int pduType,
                                  std::span<char> output);

// snmpRead as a yes-or-no: true when a value was written.
[[nodiscard]] bool snmpGet(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier,
                           int pduType, std::span<char> output);

// Interprets `response` as the answer to a request of `pduType` for the one variable
// `requested`, as snmpRead does with the response of its blocking send, for callers that send
// on their own (asynchronously). Writes the text and the answered name as snmpRead does and
// returns kValue or kNoSuchObject. The response stays the caller's.
[[nodiscard]] GetOutcome readResponse(std::span<const OVsnmpOid> requested, int pduType,
                                      const OVsnmpPdu &response, std::span<OVsnmpOid> identifier,
                                      std::span<char> output);

// The sending half of snmpRead, for callers that don't wait: sends a request of `pduType` for
// the variable `requested` on `session` with OVsnmpSendRequestAsync, `completion` and `context`.
// Returns true when the request is on its way: the completion is then called exactly once
// (see OVsnmp.h), and completeRead turns what it gets into snmpRead's outcome. Returns false
// when it could not be sent; `output` then holds "No Such Object", the outcome snmpRead gives
// for a request it can't send, and the completion is never called.
// REQUIRES: output.size() >= 1.
[[nodiscard]] bool sendRead(OVsnmpSession session, std::span<const OVsnmpOid> requested,
                            int pduType, std::span<char> output, OVsnmpCompletion completion,
                            void *context);

// The receiving half: what snmpRead gives for the completion's `error` and `response` (which
// this releases), with the text in `output` and, for a number, the answered name over the
// front of `identifier`. A request that failed without an answer, cancelled (its session
// closed) or otherwise than by a time-out, is kNotSent ("No Such Object"), as a get on a closed
// session is; a refused SNMPv3 request is "No Response" (the caller names the reason).
[[nodiscard]] GetOutcome completeRead(int error, OVsnmpPdu *response,
                                      std::span<const OVsnmpOid> requested, int pduType,
                                      std::span<OVsnmpOid> identifier, std::span<char> output);

// Called by snmpGet at each failure with the library's error number (or the agent's error
// status) and what failed. It has no effect; it is the place to attach a debugger or a trace.
void snmpErrorHook(int errorNumber, const char *text);

#endif  // KESTARA_SHARED_SNMP_OPS_H
