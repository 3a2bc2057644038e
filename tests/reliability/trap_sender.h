// trap_sender.h - SNMP traps and informs at a high rate. Each distinct datagram is encoded once
// by net-snmp (sent to a capture socket of our own) and then replayed with plain sendto, which
// is what lets one thread send ten thousand a second.
#ifndef KESTARA_TESTS_RELIABILITY_TRAP_SENDER_H
#define KESTARA_TESTS_RELIABILITY_TRAP_SENDER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace rel {

using Datagram = std::vector<uint8_t>;

// One binding of an event: name, net-snmp type letter ('s', 'i', 'o', ...) and value text.
struct VarSpec {
  std::string name;
  char type;
  std::string value;
};

// An SNMPv1 trap of `enterprise` (dotted), generic 6 and `specific`, as net-snmp encodes it.
// Empty when it could not be encoded.
Datagram encodeV1Trap(const std::string &enterprise, long specific,
                      const std::vector<VarSpec> &vars);

// An SNMPv2c trap (or, with `inform`, an inform) of `trapOid`, as net-snmp encodes it.
Datagram encodeV2Notification(const std::string &trapOid, const std::vector<VarSpec> &vars,
                              bool inform = false);

// The node event that names database object `objectId`: enterprise 1.3.6.1.4.1.11.2.17.1,
// specific 58982403, and the object variable holding the id as text.
Datagram nodeEvent(uint32_t objectId, bool v2 = false);

struct FloodResult {
  int64_t sent = 0;
  int64_t failed = 0;  // sendto refused (a full socket buffer on the sending side)
  double seconds = 0;
};

// Sends `datagrams` round-robin to 127.0.0.1:`port` at `perSecond` for `duration`.
FloodResult flood(const std::vector<Datagram> &datagrams, uint16_t port, int64_t perSecond,
                  std::chrono::milliseconds duration);

// Sends one datagram to 127.0.0.1:`port`.
bool sendOnce(const Datagram &datagram, uint16_t port);

}  // namespace rel

#endif  // KESTARA_TESTS_RELIABILITY_TRAP_SENDER_H
