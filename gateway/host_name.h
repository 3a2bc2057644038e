// host_name.h - "getHostName": the selected node's name, from the station's map or a console's
// selection name server.
#ifndef KESTARA_GATEWAY_HOST_NAME_H
#define KESTARA_GATEWAY_HOST_NAME_H

#include <netinet/in.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "gateway.h"

// How long an answer of a console's selection name server is awaited.
inline constexpr int kQuenbyTimeoutSeconds = 10;

inline constexpr std::string_view kQuenbyNotResponding = "failed: Quenby not responding";
// The station's name (OVServerName) does not resolve: the gateway can't tell whether the
// applet runs on the station, so it neither answers from the station's map nor forwards.
inline constexpr std::string_view kServerNameUnresolved = "failed: Cannot resolve OVServerName";

// `reply` holds the command word "getHostName" (its first `length` bytes); on return it holds
// the reply text for the applet at `sender`: from the station's own map when the applet runs
// on the station, else the answer of the selection name server on the applet's host.
void serveGetHostName(std::span<char, kReplySize> reply, size_t length, const sockaddr_in &sender);

enum class ServerHost { kYes, kNo, kUnresolved };

// Whether `sender`'s IPv4 address is one of the addresses of the host that OVServerName()
// names. The name is resolved anew at every call.
[[nodiscard]] ServerHost isFromServerHost(const sockaddr_in &sender);

// Forwards the first `length` bytes of `reply` to port 8008 of the sender's host and leaves the
// answer (at most 127 bytes of it) in `reply`; "failed: Quenby not responding" after 10 seconds
// of silence; `reply` unchanged when the exchange can't be made. Only a datagram from that
// host's port 8008 is taken for the answer.
void sendToQuenby(std::span<char, kReplySize> reply, size_t length, const sockaddr_in &sender);

#endif  // KESTARA_GATEWAY_HOST_NAME_H
