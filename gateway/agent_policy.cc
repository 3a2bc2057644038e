// agent_policy.cc - the agents to which the gateway opens SNMP sessions.
#include "agent_policy.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OVw.h"
#include "handles.h"
#include "protocol.h"

namespace {

constexpr size_t kMaxCachedNames = 65536;

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::optional<uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

std::optional<IpAddress> fromSockaddr(const sockaddr *sa) {
  IpAddress a;
  if (sa->sa_family == AF_INET) {
    a.family = AF_INET;
    std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
    return a;
  }
  if (sa->sa_family == AF_INET6) {
    const auto *in6 = &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(in6)) {  // the same host as its IPv4 address
      a.family = AF_INET;
      std::memcpy(a.bytes.data(), in6->s6_addr + 12, 4);
    } else {
      a.family = AF_INET6;
      std::memcpy(a.bytes.data(), in6->s6_addr, 16);
    }
    return a;
  }
  return std::nullopt;
}

bool inPrefix(const IpAddress &address, const IpAddress &base, int prefix) {
  if (address.family != base.family) return false;
  const int whole = prefix / 8;
  if (std::memcmp(address.bytes.data(), base.bytes.data(), static_cast<size_t>(whole)) != 0) {
    return false;
  }
  const int bits = prefix % 8;
  if (bits == 0) return true;
  const auto mask = static_cast<uint8_t>(0xff << (8 - bits));
  return (address.bytes[static_cast<size_t>(whole)] & mask) ==
         (base.bytes[static_cast<size_t>(whole)] & mask);
}

bool intersect(const std::vector<IpAddress> &a, const std::vector<IpAddress> &b) {
  return std::ranges::any_of(a, [&](const IpAddress &x) { return std::ranges::count(b, x) > 0; });
}

}  // namespace

std::optional<AgentName> splitAgentName(std::string_view name) {
  const size_t colon = name.find(':');
  if (colon != std::string_view::npos && !name.empty() && name.front() != '[') {
    static constexpr std::string_view kUdp[] = {"udp", "udp6", "udpv6", "udpipv6"};
    static constexpr std::string_view kOthers[] = {
        "tcp",    "tcp6",  "tcpv6",    "tcpipv6", "unix",      "tls",
        "tlstcp", "dtls",  "dtlsudp",  "ssh",     "ipx",       "aal5pvc",
        "pvc",    "alias", "callback", "std",     "udpshared", "udpshared6"};
    const std::string transport = lower(name.substr(0, colon));
    if (std::ranges::find(kUdp, transport) != std::end(kUdp)) {
      name.remove_prefix(colon + 1);
    } else if (std::ranges::find(kOthers, transport) != std::end(kOthers)) {
      return std::nullopt;
    }
  }
  AgentName agent;
  if (!name.empty() && name.front() == '[') {
    const size_t close = name.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    agent.host = std::string(name.substr(1, close - 1));
    std::string_view rest = name.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      agent.port = parsePort(rest.substr(1));
      if (!agent.port) return std::nullopt;
    }
  } else if (std::ranges::count(name, ':') == 1) {
    const size_t at = name.find(':');
    agent.host = std::string(name.substr(0, at));
    agent.port = parsePort(name.substr(at + 1));
    if (!agent.port) return std::nullopt;
  } else {
    agent.host = std::string(name);  // a name, or an IPv6 address without a port
  }
  if (agent.host.empty()) return std::nullopt;
  return agent;
}

std::vector<IpAddress> resolveHost(const std::string &host, bool numericOnly) {
  std::vector<IpAddress> out;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return out;
  AddrInfoPtr list(found);
  for (const addrinfo *a = list.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_addr == nullptr) continue;
    if (auto address = fromSockaddr(a->ai_addr);
        address && std::ranges::count(out, *address) == 0) {
      out.push_back(*address);
    }
  }
  return out;
}

AgentPolicy AgentPolicy::fromEnvironment(std::string &warning) {
  AgentPolicy policy;
  const char *list = std::getenv("TAVRIN_AGENT_NETWORKS");
  if (list != nullptr) {
    std::string bad;
    std::string_view rest(list);
    // Every good entry counts; each bad one is named.
    while (!policy.addNetworks(rest, bad)) {
      if (!warning.empty()) warning += ", ";
      warning += bad;
      const size_t at = rest.find(bad);
      rest.remove_prefix(at + bad.size());
    }
  }
  return policy;
}

bool AgentPolicy::addNetworks(std::string_view list, std::string &bad) {
  static constexpr std::string_view kSeparators = ", \t\n";
  while (!list.empty()) {
    const size_t start = list.find_first_not_of(kSeparators);
    if (start == std::string_view::npos) break;
    list.remove_prefix(start);
    const size_t end = std::min(list.find_first_of(kSeparators), list.size());
    const std::string_view entry = list.substr(0, end);
    list.remove_prefix(end);
    if (lower(entry) == "any") {
      networks_.push_back({IpAddress{AF_INET, {}}, 0});
      networks_.push_back({IpAddress{AF_INET6, {}}, 0});
      continue;
    }
    const size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    Network network;
    int maxPrefix = 0;
    if (inet_pton(AF_INET, address.c_str(), network.base.bytes.data()) == 1) {
      network.base.family = AF_INET;
      maxPrefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), network.base.bytes.data()) == 1) {
      network.base.family = AF_INET6;
      maxPrefix = 128;
    } else {
      bad = std::string(entry);
      return false;
    }
    network.prefix = maxPrefix;
    if (slash != std::string_view::npos) {
      const std::string_view length = entry.substr(slash + 1);
      int value = -1;
      auto [p, ec] = std::from_chars(length.data(), length.data() + length.size(), value);
      if (length.empty() || ec != std::errc() || p != length.data() + length.size() || value < 0 ||
          value > maxPrefix) {
        bad = std::string(entry);
        return false;
      }
      network.prefix = value;
    }
    networks_.push_back(network);
  }
  return true;
}

bool AgentPolicy::inNetworks(const std::vector<IpAddress> &addresses) const {
  if (addresses.empty()) return false;
  return std::ranges::all_of(addresses, [&](const IpAddress &a) {
    return std::ranges::any_of(networks_,
                               [&](const Network &n) { return inPrefix(a, n.base, n.prefix); });
  });
}

bool AgentPolicy::isSnmpNode(uint32_t object) const {
  const OVwFieldId node = OVwDbFieldNameToFieldId(kNodeField);
  const OVwFieldId snmp = OVwDbFieldNameToFieldId(kSnmpField);
  return node != 0 && snmp != 0 && OVwDbGetFieldBooleanValue(object, node) > 0 &&
         OVwDbGetFieldBooleanValue(object, snmp) > 0;
}

bool AgentPolicy::namedNode(std::string_view name) const {
  const std::string text(name);
  for (OVwObjectId id :
       {OVwDbHostnameToObjectId(text.c_str()), OVwDbSelectionNameToObjectId(text.c_str())}) {
    if (id != 0 && isSnmpNode(id)) return true;
  }
  return false;
}

const std::vector<IpAddress> *AgentPolicy::cachedLookup(const std::string &host, int &lookupsLeft) {
  const auto now = Clock::now();
  auto it = cache_.find(host);
  if (it != cache_.end() && it->second.expires > now) return &it->second.addresses;
  if (lookupsLeft <= 0) return nullptr;
  --lookupsLeft;
  if (cache_.size() >= kMaxCachedNames) cache_.clear();
  Resolved &r = cache_[host];
  r.addresses = resolveHost(host, false);
  r.expires = now + kResolveTtl;
  return &r.addresses;
}

std::optional<bool> AgentPolicy::resolvesToNode(const AgentName &agent,
                                                const std::vector<IpAddress> &wanted) {
  // Names of the database are looked up only for a request that names an address: a request
  // by a name that is no node's name is not worth a lookup of every node's name.
  const bool askedByAddress = !resolveHost(agent.host, true).empty();
  FieldListPtr query(buildFieldValueList(2, kNodeField, kSnmpField));
  if (!query) return std::nullopt;
  ObjectIdListPtr nodes(OVwDbListObjectsByFieldValues(query.get()));
  if (!nodes) return std::nullopt;
  int lookupsLeft = kLookupsPerCheck;
  for (int i = 0; i < nodes->count && nodes->object_ids != nullptr; ++i) {
    const OVwObjectId id = nodes->object_ids[i];
    // Each text is copied at once: the library's texts last only until its next call.
    std::string names[2];
    if (const char *h = OVwDbObjectIdToHostname(id)) names[0] = h;
    if (const char *s = OVwDbObjectIdToSelectionName(id)) names[1] = s;
    for (const std::string &nodeName : names) {
      if (nodeName.empty()) continue;
      std::optional<AgentName> node = splitAgentName(nodeName);
      if (!node || node->port != agent.port) continue;
      std::vector<IpAddress> numeric = resolveHost(node->host, true);
      if (!numeric.empty()) {
        if (intersect(numeric, wanted)) return true;
        continue;
      }
      if (!askedByAddress) continue;
      const std::vector<IpAddress> *addresses = cachedLookup(node->host, lookupsLeft);
      if (addresses != nullptr && intersect(*addresses, wanted)) return true;
    }
  }
  return false;
}

AgentPolicy::Verdict AgentPolicy::check(std::string_view name) {
  std::optional<AgentName> agent = splitAgentName(name);
  if (!agent) return Verdict::kRefused;
  std::optional<std::vector<IpAddress>> wanted;
  if (!networks_.empty()) {
    wanted = resolveHost(agent->host, false);
    if (inNetworks(*wanted)) return Verdict::kNetwork;
  }
  if (!databaseOpen_) {
    if (OVwDbInit() < 0) {
      std::printf("Cannot open the object database: %s\n", OVwErrorMsg(OVwError()));
      return Verdict::kNoDatabase;
    }
    databaseOpen_ = true;
  }
  if (namedNode(name)) return Verdict::kNode;
  if (!wanted) wanted = resolveHost(agent->host, false);
  if (wanted->empty()) return Verdict::kRefused;
  std::optional<bool> node = resolvesToNode(*agent, *wanted);
  if (!node) return Verdict::kNoDatabase;
  return *node ? Verdict::kNode : Verdict::kRefused;
}
