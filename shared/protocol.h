// protocol.h - where the station's programs meet: the two datagram protocols (the applet's
// requests to the gateway, the gateway's selection name requests to each console's selection
// name server), and the names under which they meet in the map and the object database.
#ifndef KESTARA_SHARED_PROTOCOL_H
#define KESTARA_SHARED_PROTOCOL_H

#include <cstddef>
#include <cstdint>

// The gateway (tavrin) serves applets on this UDP port of the management station.
inline constexpr uint16_t kGatewayPort = 8088;
// The selection name server (quenby) answers on this UDP port of every console.
inline constexpr uint16_t kQuenbyPort = 8008;

// A request is read into this many bytes; a longer datagram is a failed receive.
inline constexpr size_t kRequestSize = 256;
// A reply text is at most this many bytes, sent without a terminator.
inline constexpr size_t kReplySize = 128;

// The application under which the console map application joins the map session, and under
// which the selection lookup attaches to it.
inline constexpr const char *kApplicationName = "Varnis Console Application";
// The object database's boolean fields: the Kestara device flag, and what makes an object an
// SNMP node.
inline constexpr const char *kDeviceField = "isKestaraDevice";
inline constexpr const char *kNodeField = "isNode";
inline constexpr const char *kSnmpField = "isSNMPSupported";

#endif  // KESTARA_SHARED_PROTOCOL_H
