// ip_address.h - "getIpAddress": the IPv4 address of the interface with a given MAC address.
#ifndef KESTARA_GATEWAY_IP_ADDRESS_H
#define KESTARA_GATEWAY_IP_ADDRESS_H

#include <cstddef>
#include <span>

#include "OVsnmp.h"
#include "gateway.h"

// Reads the 6-byte physical address named by identifier[0..count) over `session`, walks the
// node's MIB-II address table (at most 16 entries) and writes the dotted IPv4 address of the
// first entry whose interface has that physical address into `output`, or "0.0.0.0" when
// there is none or anything fails.
void IpAddress(OVsnmpSession session, size_t count, std::span<OVsnmpOid> identifier,
               std::span<char, kReplySize> output);

#endif  // KESTARA_GATEWAY_IP_ADDRESS_H
