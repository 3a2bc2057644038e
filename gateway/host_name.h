// host_name.h - "getHostName": the selected node's name, from the station's map or a console's
// selection name server.
#ifndef KESTARA_GATEWAY_HOST_NAME_H
#define KESTARA_GATEWAY_HOST_NAME_H

#include <netinet/in.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "handles.h"
#include "protocol.h"

// How long an answer of a console's selection name server is awaited.
inline constexpr int kQuenbyTimeoutSeconds = 10;

inline constexpr std::string_view kQuenbyNotResponding = "failed: Quenby not responding";
// The station's name (OVServerName) does not resolve: the gateway can't tell whether the
// applet runs on the station, so it neither answers from the station's map nor forwards.
inline constexpr std::string_view kServerNameUnresolved = "failed: Cannot resolve OVServerName";

enum class ServerHost { kYes, kNo, kUnresolved };

// Whether `sender`'s IPv4 address is one of the addresses of the host that OVServerName()
// names. The name is resolved anew at every call.
[[nodiscard]] ServerHost isFromServerHost(const sockaddr_in &sender);

// How a "getHostName" stands after startHostName.
enum class HostNameStep {
  kDone,     // the reply text is in the buffer
  kWaiting,  // asked the console's server: wait for `exchange` to be readable, 10 s at most
};

// Starts a "getHostName" from `sender`: `reply` holds the command word (its first `length`
// bytes). For an applet on the station, or when the exchange can't be made, the reply text is
// left in `reply` at once (kDone). Otherwise the word is sent to port 8008 of the sender's host
// from `exchange`, a socket connected to that server (so that only its datagrams reach it),
// and the caller waits (kWaiting).
[[nodiscard]] HostNameStep startHostName(std::span<char, kReplySize> reply, size_t length,
                                         const sockaddr_in &sender, bool trace, UniqueFd &exchange);

// Reads the answer once `exchange` is readable: kDone with the answer (at most 127 bytes of it)
// in `reply`, or with `reply` unchanged when the receive failed; kWaiting when what arrived is
// no answer (the console's "port unreachable"), and the wait goes on.
[[nodiscard]] HostNameStep readHostNameAnswer(std::span<char, kReplySize> reply, bool trace,
                                              const UniqueFd &exchange);

// The wait has lasted its 10 seconds: "failed: Quenby not responding".
void hostNameTimedOut(std::span<char, kReplySize> reply);

#endif  // KESTARA_GATEWAY_HOST_NAME_H
