// protocol.h - the two datagram protocols of the station: the applet's requests to the gateway
// and the gateway's selection name requests to each console's selection name server.
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

#endif  // KESTARA_SHARED_PROTOCOL_H
