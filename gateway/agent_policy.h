// agent_policy.h - the agents to which the gateway opens SNMP sessions.
//
// The gateway speaks for the station: its requests carry the station's community (or SNMPv3
// user), and it can reach networks the applet's host can't. So it opens sessions only to the
// agents of the object database's SNMP nodes (objects with isNode and isSNMPSupported set):
// named by a node's host name or selection name, or by an address that one of those names
// resolves to, with the same port. An operator may add networks in which any agent may be
// opened: TAVRIN_AGENT_NETWORKS, a list of addresses with an optional prefix length
// ("10.1.0.0/16 192.0.2.7 2001:db8::/32"), or "any".
#ifndef KESTARA_GATEWAY_AGENT_POLICY_H
#define KESTARA_GATEWAY_AGENT_POLICY_H

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway.h"

// One IPv4 or IPv6 address, for comparisons.
struct IpAddress {
  int family = 0;  // AF_INET or AF_INET6
  std::array<uint8_t, 16> bytes{};
  bool operator==(const IpAddress &) const = default;
  auto operator<=>(const IpAddress &) const = default;
};

// An agent name as net-snmp takes it: an optional "udp:" or "udp6:" transport, a host name or
// address ("[...]" around an IPv6 address with a port), and an optional ":port".
struct AgentName {
  std::string host;
  std::optional<uint16_t> port;
};
// Splits `name`; nothing when it is not such a name (another transport, a bad port).
[[nodiscard]] std::optional<AgentName> splitAgentName(std::string_view name);

class AgentPolicy {
 public:
  using Clock = std::chrono::steady_clock;

  using Verdict = AgentVerdict;

  // The policy with the networks of TAVRIN_AGENT_NETWORKS. Entries that can't be read are
  // named in `warning` and left out.
  static AgentPolicy fromEnvironment(std::string &warning);
  // Adds the networks of `list`; false (and `bad` set to the entry) at the first bad entry.
  bool addNetworks(std::string_view list, std::string &bad);

  // Whether a session may be opened to `name`.
  [[nodiscard]] Verdict check(std::string_view name);

  // How long resolved node names are remembered, and how many names not yet resolved one
  // check may look up (a bound on the time one request can take).
  static constexpr std::chrono::minutes kResolveTtl{5};
  static constexpr int kLookupsPerCheck = 16;

 private:
  struct Network {
    IpAddress base;
    int prefix = 0;
  };
  struct Resolved {
    std::vector<IpAddress> addresses;
    Clock::time_point expires;
  };

  bool inNetworks(const std::vector<IpAddress> &addresses) const;
  bool isSnmpNode(uint32_t object) const;
  bool namedNode(std::string_view name) const;
  std::optional<bool> resolvesToNode(const AgentName &agent, const std::vector<IpAddress> &wanted);
  const std::vector<IpAddress> *cachedLookup(const std::string &host, int &lookupsLeft);

  std::vector<Network> networks_;
  std::map<std::string, Resolved> cache_;
  bool databaseOpen_ = false;
};

// The addresses `host` resolves to (numeric, /etc/hosts or DNS); empty when none.
[[nodiscard]] std::vector<IpAddress> resolveHost(const std::string &host, bool numericOnly);

#endif  // KESTARA_GATEWAY_AGENT_POLICY_H
