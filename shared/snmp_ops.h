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

// Reply texts of a failed get.
inline constexpr std::string_view kNoSuchObject = "No Such Object";
inline constexpr std::string_view kNoResponse = "No Response";

// Opens a session to `nodeName` with the configured defaults. On failure prints
// "OVsnmpOpen failed: %s\n" on standard error and returns 0 (no session).
[[nodiscard]] OVsnmpSession snmpOpen(const char *nodeName);

// Closes a session. On refusal prints "OVsnmpClose encountered bad SessionID %d\n" on standard
// output and returns false.
bool snmpClose(OVsnmpSession session);

// Reads one variable as text.
//
// `identifier` is the caller's whole identifier array; its first `count` sub-identifiers name
// the variable. `output` is the caller's whole text buffer: its size is the capacity, and
// nothing is ever written past it. The text is always NUL-terminated (an OCTET STRING that does
// not fit is cut to size() - 1 bytes).
//
// Returns true when a value was written: an OCTET STRING's bytes, or for any other type its
// first 32-bit word as "%u"; in the latter case the answered name is copied over the front of
// `identifier` (as many sub-identifiers as fit; `count` is the caller's and does not change),
// which is how a GetNext walk moves on. Returns false with "No Such Object" or "No Response"
// (the agent did not answer) in `output`.
//
// `pduType` is OVSNMP_GET_REQ or OVSNMP_GETNEXT_REQ. REQUIRES: output.size() >= 1.
[[nodiscard]] bool snmpGet(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier,
                           int pduType, std::span<char> output);

// Called by snmpGet at each failure with the library's error number (or the agent's error
// status) and what failed. It has no effect; it is the place to attach a debugger or a trace.
void snmpErrorHook(int errorNumber, const char *text);

#endif  // KESTARA_SHARED_SNMP_OPS_H
