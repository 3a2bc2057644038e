// peers.h - test support: the kinds of node a station meets, on loopback.
#ifndef KESTARA_TESTS_SUPPORT_PEERS_H
#define KESTARA_TESTS_SUPPORT_PEERS_H

#include <memory>

#include "process.h"
#include "scripted_agent.h"
#include "snmp_agent.h"

namespace kt {

// A device (snmpd answering the probe variable), an ordinary node (snmpd without it), an
// address that never answers, and an agent that answers every request with an error status at
// index 0: as definite a "not a device" as the ordinary node's missing variable.
struct Peers {
  Peers();
  // True when every one of them is up.
  bool ok() const { return device && plain && silent.ok() && failing.ok(); }

  std::unique_ptr<SnmpAgent> device;
  std::unique_ptr<SnmpAgent> plain;
  UdpClient silent{"127.0.0.1"};
  ScriptedAgent failing{{}, genErr(0)};
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_PEERS_H
