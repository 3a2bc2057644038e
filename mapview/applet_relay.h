// applet_relay.h - the applet's side of the gateway protocol, spoken by the service for a page:
// one request text per datagram to the gateway (tavrin), one reply datagram back.
#ifndef KESTARA_MAPVIEW_APPLET_RELAY_H
#define KESTARA_MAPVIEW_APPLET_RELAY_H

#include <netinet/in.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace mapview {

// The probe variable of Kestara devices, and MIB-II ifPhysAddress (an interface's MAC address,
// followed by the interface's index).
inline constexpr const char *kProbeVariable = "1.3.6.1.4.1.32473.3.1.2.3.1.1.0";
inline constexpr const char *kIfPhysAddress = "1.3.6.1.2.1.2.2.1.6";
// sysName.0: the name the device gives itself.
inline constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";

// A request text built from a page's call, or why it can't be made.
struct AppletRequest {
  std::string text;
  std::string error;  // empty when `text` is the request
};

// Builds the request for a call given as JSON: {"command": C, ...} with C one of
// "openSnmpSession" ("node"), "getSnmpData" and "getIpAddress" ("session", "oid"),
// "closeSession" ("session") and "getHostName". Fields are checked so that each stays one field
// of the request: a node name of 1 to 127 bytes without '#' or control characters, a session
// number of up to 10 digits (at most 4294967295), an identifier in dotted decimal without a
// leading dot (at most 50 parts, 127 characters). The request never exceeds 256 bytes.
[[nodiscard]] AppletRequest buildAppletRequest(const nlohmann::json &call);

// Where the gateway listens: "ADDRESS:PORT" (IPv4), or nothing when `text` is not one.
[[nodiscard]] std::optional<sockaddr_in> parseIpv4Endpoint(std::string_view text);

struct GatewayExchange {
  bool answered = false;
  std::string reply;  // the reply datagram's bytes (at most 128)
  std::string error;  // why there is no reply
  std::chrono::milliseconds elapsed{0};
};

// Sends `request` to the gateway from a socket of its own, connected to the gateway (so that
// only the gateway's datagrams are read), and waits up to `timeout` for the reply.
[[nodiscard]] GatewayExchange askGateway(const sockaddr_in &gateway, std::string_view request,
                                         std::chrono::milliseconds timeout);

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_APPLET_RELAY_H
