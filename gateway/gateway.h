// gateway.h - the applet gateway's request handling, shared by its main loop, tests and fuzzers.
#ifndef KESTARA_GATEWAY_GATEWAY_H
#define KESTARA_GATEWAY_GATEWAY_H

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

#include "OVsnmp.h"
#include "protocol.h"
#include "sessions.h"

// Trace switches, set only by the options -ds and -di.
extern bool traceServer;
extern bool traceInterface;

inline constexpr size_t kMaxIdentifier = 50;

// Whether the gateway may open a session to an agent name (see agent_policy.h).
enum class AgentVerdict {
  kNode,        // the name is, or resolves to, an SNMP node of the object database
  kNetwork,     // every address of the name lies in a network the operator listed
  kRefused,     // neither
  kNoDatabase,  // refused: the object database can't be read
};

// Request state that lives for the whole run.
struct GatewayState {
  explicit GatewayState(SessionLimits limits = {}) : sessions(limits) {}

  OVsnmpSession currentSession = 0;  // last opened, or last read from a request
  std::array<OVsnmpOid, kMaxIdentifier> identifier{};
  size_t identifierCount = 0;
  // The open sessions, each with the address that opened it.
  SessionTable sessions;
  // Decides whether a session may be opened to an agent name. Unset: every open is refused.
  std::function<AgentVerdict(std::string_view)> checkAgent;
};

// Handles one request (the datagram's bytes; it ends at its first NUL) from `sender`, and
// leaves the reply text, NUL-terminated, in `reply`. Returns the reply's length (at most 127).
size_t handleRequest(GatewayState &state, std::string_view request, const sockaddr_in &sender,
                     std::span<char, kReplySize> reply);

// Closes the sessions that have been idle for the limit, with a console line for each.
void expireSessions(GatewayState &state, SessionTable::Clock::time_point now);

// Reads a session number as "%u" would: optional blanks and sign, then digits (wrapping
// modulo 2^32). Returns false, leaving `value` alone, when there are no digits.
bool parseUnsigned(std::string_view text, OVsnmpSession &value);

// Parses dotted decimal into `identifier`: each component read as "%d" would (a component
// without digits takes a slot with the value 0). Returns the number of components, or
// identifier.size() + 1 when there are more than fit.
size_t parseIdentifier(std::string_view text, std::span<OVsnmpOid> identifier);

#endif  // KESTARA_GATEWAY_GATEWAY_H
