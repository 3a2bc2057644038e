// ip_address.cc - "getIpAddress": walks ipAdEntIfIndex and compares ifPhysAddress.
#include "ip_address.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "snmp_ops.h"

namespace {

constexpr size_t kOidCapacity = 256;
constexpr int kMaxSteps = 16;
constexpr size_t kValueSize = 52;
constexpr size_t kMacSize = 6;

// The interface-index column of the MIB-II address table, ipAdEntIfIndex.
constexpr std::array<OVsnmpOid, 10> kIfIndexColumn = {1, 3, 6, 1, 2, 1, 4, 20, 1, 2};

struct ModuleOid {
  std::array<OVsnmpOid, kOidCapacity> oid;
  size_t count;
};
// The walk's position. Each answer of the walk is written back into it, so sub-identifiers 11
// to 14 hold the IPv4 address of the entry last answered. Its own count stays 10.
ModuleOid ipAdEntIfIndexOid = {{1, 3, 6, 1, 2, 1, 4, 20, 1, 2}, 10};
// ifPhysAddress, with one instance sub-identifier set to an interface index before each get.
ModuleOid ifPhysAddressOid = {{1, 3, 6, 1, 2, 1, 2, 2, 1, 6, 0}, 11};

void setText(std::span<char, kReplySize> output, const char *text) {
  std::snprintf(output.data(), output.size(), "%s", text);
}

// True while the name last answered lies in the ipAdEntIfIndex column. The whole prefix is
// compared: an agent whose address table is empty answers the first GetNext with whatever
// object follows the table (ipRouteTable, say), whose columns would otherwise be taken for
// interface indexes and their instances for addresses.
bool inIfIndexColumn() {
  return std::equal(kIfIndexColumn.begin(), kIfIndexColumn.end(), ipAdEntIfIndexOid.oid.begin());
}

// Reads the interface index from an answer text as "%d" does (blanks, sign, digits), wrapping
// to 32 bits instead of overflowing. Text without digits reads as 0.
int32_t readIndex(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

}  // namespace

void IpAddress(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier,
               std::span<char, kReplySize> output) {
  setText(output, "0.0.0.0");
  std::array<char, kValueSize> wanted{};
  if (!snmpGet(session, count, identifier, OVSNMP_GET_REQ, wanted)) return;
  if (traceInterface) {
    auto b = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(wanted[i])); };
    std::printf("   MAC Addr = %2x %2x %2x %2x %2x %2x\n", b(0), b(1), b(2), b(3), b(4), b(5));
  }

  // Every walk starts at the head of the column, whatever the previous one left behind (a
  // walk that strayed out of the table leaves another object's name here). The address part
  // is cleared too: it is not sent with the count of 10, and an answer that does not carry a
  // name (an OCTET STRING outside the table) must not be paired with a stale address.
  std::copy(kIfIndexColumn.begin(), kIfIndexColumn.end(), ipAdEntIfIndexOid.oid.begin());
  std::fill_n(ipAdEntIfIndexOid.oid.begin() + kIfIndexColumn.size(), 4, 0);
  std::array<char, kValueSize> answer{};
  for (int step = 0; step < kMaxSteps; ++step) {
    size_t n = step == 0 ? ipAdEntIfIndexOid.count : ipAdEntIfIndexOid.count + 4;
    if (!snmpGet(session, n, ipAdEntIfIndexOid.oid, OVSNMP_GETNEXT_REQ, answer) ||
        !inIfIndexColumn()) {
      // Back to the column, for the next lookup.
      std::copy(kIfIndexColumn.begin(), kIfIndexColumn.end(), ipAdEntIfIndexOid.oid.begin());
      if (traceInterface) std::printf("    Exhausted list of IfIndexes - non-IP interface ...\n");
      return;
    }
    int32_t ifIndex = readIndex(answer.data());
    ifPhysAddressOid.oid[10] = static_cast<OVsnmpOid>(ifIndex);
    // Cleared so that a physical address shorter than six bytes compares with zeros after
    // it, not with what an earlier answer left in the buffer.
    answer.fill('\0');
    if (snmpGet(session, ifPhysAddressOid.count, ifPhysAddressOid.oid, OVSNMP_GET_REQ, answer) &&
        std::memcmp(answer.data(), wanted.data(), kMacSize) == 0) {
      const auto &a = ipAdEntIfIndexOid.oid;
      std::snprintf(output.data(), output.size(), "%d.%d.%d.%d", static_cast<int>(a[10]),
                    static_cast<int>(a[11]), static_cast<int>(a[12]), static_cast<int>(a[13]));
      if (traceInterface) {
        std::printf("    IpAddress: %d.%d.%d.%d   on SNMP Interface %d\n", static_cast<int>(a[10]),
                    static_cast<int>(a[11]), static_cast<int>(a[12]), static_cast<int>(a[13]),
                    static_cast<int>(ifIndex));
      }
      return;
    }
  }
  if (traceInterface) std::printf("   Didn't find ipAddrIndex to match Interface\n");
}
