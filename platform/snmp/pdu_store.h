// pdu_store.h - the library's own PDU records and their conversion to and from net-snmp.
//
// Every OVsnmpPdu handed out lives in a Pdu below, which owns the names and value storage
// that the public members point at. A registry maps the public pointer back to its record,
// so a pointer the library never issued (or already freed) is recognised, not followed.
#ifndef KESTARA_PLATFORM_SNMP_PDU_STORE_H
#define KESTARA_PLATFORM_SNMP_PDU_STORE_H

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "OVsnmp.h"
#include "oid_text.h"

struct snmp_pdu;  // net-snmp's PDU, known only inside the library

namespace ovsnmp {

struct Binding {
  OVsnmpVarBind pub{};
  Oid name;
  // Value storage in 32-bit words, so that numbers are read as aligned words. Byte values
  // get one zero word more than they need: the bytes are always followed by a NUL.
  std::vector<uint32_t> storage;

  void setNull(uint8_t type);
  void setWord(uint8_t type, uint32_t word);
  void setCounter64(uint32_t high, uint32_t low);
  void setBytes(uint8_t type, std::span<const uint8_t> bytes);
};

struct Pdu {
  OVsnmpPdu pub{};
  Oid enterprise;
  std::vector<std::unique_ptr<Binding>> bindings;
  // Bindings of an earlier use of the record, kept with their storage for the next ones.
  std::vector<std::unique_ptr<Binding>> spare;

  // Appends a binding named `name` with a NULL value.
  Binding &add(std::span<const OVsnmpOid> name);
  // Points the public members at the owned storage again after a change.
  void relink();
};

// Gives a record back: it is kept, emptied, for the next makePdu() while there is room among
// the few spare ones and it holds little storage; otherwise it is freed. A request and its
// answer then cost no allocation once the library has run for a while.
struct PduRecycler {
  void operator()(Pdu *pdu) const;
};
using PduPtr = std::unique_ptr<Pdu, PduRecycler>;

// An empty record for `command`: a spare one when there is one.
[[nodiscard]] PduPtr makePdu(int command);

// Hands a record out: its public pointer becomes valid for the calls below.
[[nodiscard]] OVsnmpPdu *issue(PduPtr pdu);
// The record behind a public pointer, or null when the library did not issue it (or it has
// been released).
[[nodiscard]] Pdu *lookup(const OVsnmpPdu *pdu);
// Takes a record back from the caller (consumed or freed). Null when unknown.
[[nodiscard]] PduPtr reclaim(const OVsnmpPdu *pdu);

// Builds a net-snmp request from a record: the command and the names of the bindings, each
// with a NULL value. Null without memory.
[[nodiscard]] snmp_pdu *toNetSnmpRequest(const Pdu &pdu);
// The same for a request of `command` with the one binding `name` (at most kMaxOidLength).
[[nodiscard]] snmp_pdu *toNetSnmpRequest(int command, std::span<const OVsnmpOid> name);

// Copies a net-snmp PDU (a response, a trap or an inform) into a record. Nothing when a name
// or an identifier value is longer than kMaxOidLength or the PDU is malformed.
[[nodiscard]] PduPtr fromNetSnmp(const snmp_pdu &pdu);

}  // namespace ovsnmp

#endif  // KESTARA_PLATFORM_SNMP_PDU_STORE_H
