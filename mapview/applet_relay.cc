// applet_relay.cc - the applet's side of the gateway protocol, spoken by the service for a page.
#include "applet_relay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "handles.h"
#include "protocol.h"

namespace mapview {

namespace {

using nlohmann::json;

constexpr size_t kMaxField = 127;
constexpr size_t kMaxOidParts = 50;

// The text of member `name` of `call`, or nothing when it is missing or not a string.
std::optional<std::string> member(const json &call, const char *name) {
  auto found = call.find(name);
  if (found == call.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

bool validNode(std::string_view node) {
  if (node.empty() || node.size() > kMaxField) return false;
  for (unsigned char c : node) {
    if (c == '#' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool validSession(std::string_view session) {
  if (session.empty() || session.size() > 10) return false;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(session.data(), session.data() + session.size(), value);
  return ec == std::errc() && end == session.data() + session.size() && value <= UINT32_MAX;
}

bool validOid(std::string_view oid) {
  if (oid.empty() || oid.size() > kMaxField) return false;
  size_t parts = 0;
  size_t digits = 0;
  for (char c : oid) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 10) return false;
    } else {
      return false;
    }
  }
  return digits > 0 && parts + 1 <= kMaxOidParts;
}

}  // namespace

AppletRequest buildAppletRequest(const json &call) {
  if (!call.is_object()) return {"", "the call must be a JSON object"};
  const std::optional<std::string> command = member(call, "command");
  if (!command) return {"", "\"command\" is missing"};
  std::string text = *command;
  if (*command == "getHostName") {
    // Nothing follows the command word.
  } else if (*command == "openSnmpSession") {
    const std::optional<std::string> node = member(call, "node");
    if (!node || !validNode(*node)) {
      return {"", "\"node\" must be 1 to 127 bytes without '#' or control characters"};
    }
    text += "#" + *node;
  } else if (*command == "getSnmpData" || *command == "getIpAddress" ||
             *command == "closeSession") {
    const std::optional<std::string> session = member(call, "session");
    if (!session || !validSession(*session)) {
      return {"", "\"session\" must be a session number (0 to 4294967295)"};
    }
    text += "#" + *session;
    if (*command != "closeSession") {
      const std::optional<std::string> oid = member(call, "oid");
      if (!oid || !validOid(*oid)) {
        return {
            "",
            "\"oid\" must be an object identifier in dotted decimal (such as 1.3.6.1.2.1.1.5.0)"};
      }
      text += "#" + *oid;
    }
  } else {
    return {"",
            "unknown command; one of openSnmpSession, getSnmpData, getIpAddress, "
            "closeSession, getHostName"};
  }
  if (text.size() > kRequestSize) return {"", "the request is longer than 256 bytes"};
  return {text, ""};
}

std::optional<sockaddr_in> parseIpv4Endpoint(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string host(text.substr(0, colon));
  const std::string_view portText = text.substr(colon + 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (ec != std::errc() || end != portText.data() + portText.size() || port > 65535 ||
      portText.empty()) {
    return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return std::nullopt;
  return address;
}

GatewayExchange askGateway(const sockaddr_in &gateway, std::string_view request,
                           std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  GatewayExchange out;
  const auto finish = [&](std::string error) {
    out.error = std::move(error);
    out.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return out;
  };
  const UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return finish(std::string("socket: ") + std::strerror(errno));
  if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&gateway), sizeof gateway) != 0) {
    return finish(std::string("connect: ") + std::strerror(errno));
  }
  if (send(fd.get(), request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    return finish(std::string("send: ") + std::strerror(errno));
  }
  const Clock::time_point deadline = start + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return finish("no reply from the gateway within " + std::to_string(timeout.count()) + " ms");
    }
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return finish(std::string("poll: ") + std::strerror(errno));
    if (ready == 0) continue;
    std::array<char, kReplySize> reply{};
    const ssize_t n = recv(fd.get(), reply.data(), reply.size(), MSG_TRUNC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      // A connected socket learns of an unreachable port: nothing listens there.
      return finish(errno == ECONNREFUSED ? "the gateway does not listen there"
                                          : std::string("recv: ") + std::strerror(errno));
    }
    out.answered = true;
    out.reply.assign(reply.data(), std::min(static_cast<size_t>(n), reply.size()));
    return finish("");
  }
}

}  // namespace mapview
