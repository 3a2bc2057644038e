// request.cc - the applet request protocol: one request in, one reply text out.
#include <arpa/inet.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "extract_field.h"
#include "gateway.h"
#include "host_name.h"
#include "ip_address.h"
#include "log_text.h"
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

namespace {

std::string addressText(in_addr address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

void printClosed(const SessionTable::Entry &e, SessionTable::Clock::time_point now,
                 const char *why) {
  const auto idle = std::chrono::duration_cast<std::chrono::seconds>(now - e.lastUse).count();
  std::printf("Session %u of %s closed after %lld s idle%s\n", e.handle,
              addressText(e.owner).c_str(), static_cast<long long>(idle), why);
}

// Opens a session to `node` for `sender`, when the agent policy and the session limits allow
// it. Returns the handle, or 0 with a console line saying why not.
OVsnmpSession openSession(GatewayState &state, const char *node, const sockaddr_in &sender) {
  const std::string from = addressText(sender.sin_addr);
  const AgentVerdict verdict = state.checkAgent ? state.checkAgent(node) : AgentVerdict::kRefused;
  if (verdict == AgentVerdict::kRefused) {
    std::printf("openSnmpSession from %s refused: %s is not an SNMP node of the object database\n",
                from.c_str(), LogText(node).c_str());
    return 0;
  }
  if (verdict == AgentVerdict::kNoDatabase) {
    std::printf("openSnmpSession from %s refused: the object database can't be read\n",
                from.c_str());
    return 0;
  }
  const auto now = SessionTable::Clock::now();
  std::optional<SessionTable::Entry> reclaimed;
  switch (state.sessions.admit(sender.sin_addr, now, reclaimed)) {
    case SessionTable::Admit::kAddressFull:
      std::printf("openSnmpSession from %s refused: %zu sessions open from this address\n",
                  from.c_str(), state.sessions.limits().perAddress);
      return 0;
    case SessionTable::Admit::kTableFull:
      std::printf("openSnmpSession from %s refused: %zu sessions open\n", from.c_str(),
                  state.sessions.limits().total);
      return 0;
    case SessionTable::Admit::kYes:
      break;
  }
  if (reclaimed) {
    printClosed(*reclaimed, now, " to make room");
    (void)snmpClose(reclaimed->handle);
  }
  const OVsnmpSession session = snmpOpen(node);
  if (session != 0) state.sessions.add(session, sender.sin_addr, now);
  return session;
}

// The session a request names, if the sender may use it; 0 (no session) otherwise, so that a
// session of another address is answered as one that does not exist.
OVsnmpSession usableSession(GatewayState &state, const sockaddr_in &sender) {
  const auto now = SessionTable::Clock::now();
  return state.sessions.use(state.currentSession, sender.sin_addr, now) ? state.currentSession : 0;
}

}  // namespace

void expireSessions(GatewayState &state, SessionTable::Clock::time_point now) {
  for (const SessionTable::Entry &e : state.sessions.expire(now)) {
    printClosed(e, now, "");
    (void)snmpClose(e.handle);
  }
}

size_t handleRequest(GatewayState &state, std::string_view request, const sockaddr_in &sender,
                     std::span<char, kReplySize> reply) {
  size_t length = extractField(reply, 0, request);
  std::string_view command(reply.data(), length);

  if (command == "getHostName") {
    serveGetHostName(reply, length, sender);
  } else if (command == "openSnmpSession") {
    extractField(reply, 1, request);
    if (traceServer) std::printf("Nodename from Applet: %s\n", LogText(reply.data()).c_str());
    state.currentSession = openSession(state, reply.data(), sender);
    std::printf("  SessionID = %d from %s\n", static_cast<int>(state.currentSession),
                addressText(sender.sin_addr).c_str());
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
    const OVsnmpSession session = usableSession(state, sender);
    if (state.identifierCount > state.identifier.size()) {
      // More components than the request identifier holds: nothing can be asked for it.
      state.identifierCount = 0;
      setReply(reply, get ? kNoSuchObject : "0.0.0.0");
    } else if (get) {
      (void)snmpGet(session, state.identifierCount, state.identifier, OVSNMP_GET_REQ, reply);
    } else {
      IpAddress(session, state.identifierCount, state.identifier, reply);
    }
  } else if (command == "closeSession") {
    size_t n = extractField(reply, 1, request);
    (void)parseUnsigned(std::string_view(reply.data(), n), state.currentSession);
    setReply(reply, "close");
    if (usableSession(state, sender) == 0) {
      // Not a session of this sender: refused as the library refuses an unknown one.
      std::printf("OVsnmpClose encountered bad SessionID %d\n",
                  static_cast<int>(state.currentSession));
    } else if (snmpClose(state.currentSession)) {
      state.sessions.remove(state.currentSession);
      std::printf("Successfully closed session %d\n", static_cast<int>(state.currentSession));
    }
  }
  // Any other word: the reply is the command word, already in the buffer.
  reply[reply.size() - 1] = '\0';
  return std::strlen(reply.data());
}
