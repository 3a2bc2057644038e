// oid_text.h - identifier helpers of the SNMP library: event filters and the v1 form of traps.
//
// Pure functions over sub-identifier vectors, kept apart from net-snmp so that they can be
// tested on their own.
#ifndef KESTARA_PLATFORM_SNMP_OID_TEXT_H
#define KESTARA_PLATFORM_SNMP_OID_TEXT_H

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "OVsnmp.h"

namespace ovsnmp {

using Oid = std::vector<OVsnmpOid>;

// Longest identifier the library accepts anywhere (names, values, filter entries).
inline constexpr size_t kMaxOidLength = 128;

// Parses one dotted identifier ("1.3.6.1" or ".1.3.6.1"). Each sub-identifier must fit in 32
// bits; the count must be 1..kMaxOidLength. Surrounding blanks are allowed.
[[nodiscard]] std::optional<Oid> parseOid(std::string_view text);

// Parses an event filter: identifiers separated by ';' (empty entries are skipped). Nothing
// when an entry is malformed or no entry is left.
[[nodiscard]] std::optional<std::vector<Oid>> parseFilter(std::string_view text);

// The SNMPv2 notification identifier of an SNMPv1 trap (RFC 3584 section 3.1):
// enterprise.0.specific for enterprise-specific traps (generic 6), snmpTraps.(generic+1)
// for the standard ones.
[[nodiscard]] Oid notificationIdOfV1(std::span<const OVsnmpOid> enterprise, int32_t generic,
                                     int32_t specific);

// The v1 fields of an SNMPv2 notification (RFC 3584 section 3.2).
struct V1Form {
  Oid enterprise;
  int32_t generic = 6;
  int32_t specific = 0;
};

// Maps a notification identifier to its v1 form. A standard trap snmpTraps.N (N = 1..6)
// becomes generic N-1 with the enterprise `trap_enterprise` when given, else snmpTraps.
// Any other identifier E.0.S or E.S becomes enterprise E, generic 6, specific S.
[[nodiscard]] V1Form v1FormOf(std::span<const OVsnmpOid> trap_oid,
                              std::span<const OVsnmpOid> trap_enterprise);

// True when `id` equals one of the filter entries.
[[nodiscard]] bool filterMatches(std::span<const Oid> filter, std::span<const OVsnmpOid> id);

// Well-known names.
inline constexpr OVsnmpOid kSysUpTime0[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
inline constexpr OVsnmpOid kSnmpTrapOid0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
inline constexpr OVsnmpOid kSnmpTrapEnterprise0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
inline constexpr OVsnmpOid kSnmpTraps[] = {1, 3, 6, 1, 6, 3, 1, 1, 5};

[[nodiscard]] bool sameOid(std::span<const OVsnmpOid> a, std::span<const OVsnmpOid> b);

}  // namespace ovsnmp

#endif  // KESTARA_PLATFORM_SNMP_OID_TEXT_H
