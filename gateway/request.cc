// request.cc - the applet request protocol: one request in, one reply text out.
#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "extract_field.h"
#include "gateway.h"
#include "host_name.h"
#include "ip_address.h"
#include "snmp_ops.h"

bool traceServer = false;
bool traceInterface = false;

namespace {

void setReply(std::span<char, kReplySize> reply, std::string_view text) {
  size_t n = std::min(text.size(), reply.size() - 1);
  std::memcpy(reply.data(), text.data(), n);
  reply[n] = '\0';
}

// Reads an optionally signed decimal number at the front of `text`, as "%d" would.
bool parseSigned(std::string_view text, int32_t &value) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  uint32_t v = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    v = v * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  value = static_cast<int32_t>(negative ? 0u - v : v);
  return true;
}

}  // namespace

bool parseUnsigned(std::string_view text, OVsnmpSession &value) {
  int32_t v = 0;
  if (!parseSigned(text, v)) return false;
  value = static_cast<OVsnmpSession>(v);
  return true;
}

size_t parseIdentifier(std::string_view text, std::span<OVsnmpOid> identifier) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    if (count == identifier.size()) return identifier.size() + 1;
    int32_t v = 0;
    if (!parseSigned(text.substr(pos), v)) v = 0;
    identifier[count++] = static_cast<OVsnmpOid>(v);
    size_t dot = text.find('.', pos);
    pos = dot == std::string_view::npos ? text.size() + 1 : dot + 1;
  }
  return count;
}

size_t handleRequest(GatewayState &state, std::string_view request, const sockaddr_in &sender,
                     std::span<char, kReplySize> reply) {
  size_t length = extractField(reply, 0, request);
  std::string_view command(reply.data(), length);

  if (command == "getHostName") {
    serveGetHostName(reply, length, sender);
  } else if (command == "openSnmpSession") {
    extractField(reply, 1, request);
    if (traceServer) std::printf("Nodename from Applet: %s\n", reply.data());
    state.currentSession = snmpOpen(reply.data());
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
    std::printf("  SessionID = %d from %s\n", static_cast<int>(state.currentSession), address);
    if (state.currentSession != 0) {
      std::snprintf(reply.data(), reply.size(), "%u", state.currentSession);
    } else {
      setReply(reply, "failed: Could not open SNMP session");
    }
  } else if (command == "getSnmpData" || command == "getIpAddress") {
    bool get = command == "getSnmpData";
    size_t n = extractField(reply, 1, request);
    (void)parseUnsigned(std::string_view(reply.data(), n), state.currentSession);
    n = extractField(reply, 2, request);
    state.identifier.fill(0);
    state.identifierCount = parseIdentifier(std::string_view(reply.data(), n), state.identifier);
    if (state.identifierCount > state.identifier.size()) {
      // More components than the request identifier holds: nothing can be asked for it.
      state.identifierCount = 0;
      setReply(reply, get ? kNoSuchObject : "0.0.0.0");
    } else if (get) {
      (void)snmpGet(state.currentSession, state.identifierCount, state.identifier, OVSNMP_GET_REQ,
                    reply);
    } else {
      IpAddress(state.currentSession, state.identifierCount, state.identifier, reply);
    }
  } else if (command == "closeSession") {
    size_t n = extractField(reply, 1, request);
    (void)parseUnsigned(std::string_view(reply.data(), n), state.currentSession);
    setReply(reply, "close");
    if (snmpClose(state.currentSession)) {
      std::printf("Successfully closed session %d\n", static_cast<int>(state.currentSession));
    }
  }
  // Any other word: the reply is the command word, already in the buffer.
  reply[reply.size() - 1] = '\0';
  return std::strlen(reply.data());
}
