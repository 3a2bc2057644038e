// node_trap.h - the node events that the platform's network monitor sends when a node is added
// or changed: SNMPv1 traps of enterprise 1.3.6.1.4.1.11.2.17.1 that carry the object id, in
// decimal, in the OCTET STRING 1.3.6.1.4.1.11.2.17.2.3.0.
#ifndef KESTARA_PLATFORM_OVW_NODE_TRAP_H
#define KESTARA_PLATFORM_OVW_NODE_TRAP_H

#include <cstdint>
#include <string>

#include "result.h"

namespace kestara::ovw {

inline constexpr uint32_t kNodeAddedTrap = 58785794;
inline constexpr uint32_t kNodeChangedTrap = 40000016;
inline constexpr uint32_t kNodeEventTrap = 58982403;

// $OV_EVENT_ADDRESS, or udp:127.0.0.1:162.
std::string nodeEventAddress();

// $OV_EVENT_COMMUNITY (1 to 255 bytes; anything else is not taken), or "public": the community
// of node events, which a receiver with a list of accepted communities must accept.
std::string nodeEventCommunity();

// Sends one node event trap (community nodeEventCommunity()) to `address` (a net-snmp peer
// name).
Status sendNodeEvent(const std::string &address, uint32_t specific, uint32_t object_id);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_NODE_TRAP_H
