// ovsnmp.cc - the platform's SNMP library on net-snmp: sessions, requests and events.
//
// Client sessions are net-snmp single sessions (snmp_sess_*), so a blocking request on one
// session never reads another session's socket, and net-snmp's request ids keep a late reply
// from being taken as the answer to a later request. Asynchronous requests are net-snmp's
// asynchronous sends on the same sessions; each is known to net-snmp by a ticket number, never
// by a pointer, so whatever net-snmp reports about a request that is gone finds nothing. Event
// sessions are net-snmp server sessions on $OV_EVENT_ADDRESS. Handles are numbers looked up in
// a table on every call.
//
// SNMPv3: a client session is opened without sending anything; its first request discovers the
// agent's engine ID (blocking or asynchronously, as the request is sent) and sets its user up
// for that engine, then goes out. Event sessions accept only what the event configuration
// allows (event_access.h), and count what they drop.
#include "OVsnmp.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "PlatformFault.h"
#include "event_access.h"
#include "node_pool.h"
#include "oid_text.h"
#include "pdu_store.h"
#include "security.h"

int OVsnmpErrno = OVSNMP_ERR_NONE;

namespace ovsnmp {
namespace {

constexpr const char *kDefaultEventAddress = "udp:127.0.0.1:162";
// The library's name to net-snmp: its own configuration file is ovsnmp.conf.
constexpr const char *kConfigType = "ovsnmp";
constexpr size_t kMaxAgentNameLength = 300;
constexpr size_t kMaxCommunityLength = 255;
constexpr int kMaxTimeoutTenths = 36000;  // one hour
constexpr int kMaxRetries = 100;
constexpr long kMaxTimeoutMs = 3600000;
constexpr long kIdleWaitMicros = 1000000;  // how long an event loop may sleep between passes
// What an event socket asks the kernel for (capped by net.core.rmem_max): room for a burst of
// events that arrives while the program handles earlier ones.
constexpr int kEventReceiveBuffer = 1 << 20;

// Every failing call ends here.
template <typename T>
T fail(int error_number, T result) {
  OVsnmpErrno = error_number;
  return result;
}

// Reads net-snmp's configuration once (snmp.conf and the library's own ovsnmp.conf). No MIB is
// read (identifiers are numeric), no persistent state is loaded or saved, and nothing is logged:
// errors are results. What can't be used in ovsnmp.conf is kept for the event sessions.
void initNetSnmp() {
  static bool done = false;
  if (done) return;
  done = true;
  // net-snmp writes to standard error when no log handler is enabled; this one drops all.
  snmp_disable_log();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  netsnmp_set_mib_directory("");
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  registerEventConfig(kConfigType);
  {
    ConfigProblems problems(kConfigType);
    init_snmp(kConfigType);
  }
  setUpLocalEngine();
}

struct SessDeleter {
  void operator()(void *sessp) const { snmp_sess_close(sessp); }
};
using SessPtr = std::unique_ptr<void, SessDeleter>;

struct PduDeleter {
  void operator()(netsnmp_pdu *pdu) const { snmp_free_pdu(pdu); }
};
using NetSnmpPduPtr = std::unique_ptr<netsnmp_pdu, PduDeleter>;

struct Event {
  int code;
  PduPtr pdu;
};

// The number by which net-snmp knows an asynchronous request (its callback's argument).
using TicketId = uintptr_t;

// One asynchronous request, from its send until its completion has been called.
struct Ticket {
  OVsnmpCompletion completion = nullptr;
  void *context = nullptr;
  long reqid = 0;         // net-snmp's request id, the same for every try
  bool sent = false;      // net-snmp has taken it (anything it reports before is not final)
  bool finished = false;  // net-snmp is done with it; the outcome waits in State::finished
  int error = OVSNMP_ERR_NONE;
  PduPtr response;
  NetSnmpPduPtr held;  // SNMPv3: the request, while the agent's engine ID is being discovered
};

// The request tables' entries are kept for reuse: each request adds and removes a few.
template <class K, class V>
using Map = std::map<K, V, std::less<K>, NodeAllocator<std::pair<const K, V>>>;
template <class K, class V>
using HashMap =
    std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, NodeAllocator<std::pair<const K, V>>>;
template <class K>
using Set = std::set<K, std::less<K>, NodeAllocator<K>>;

// Where an SNMPv3 client session stands with its agent's engine ID.
enum class Engine {
  kKnown,        // known and the user set up for it (and every SNMPv1/v2c session)
  kUnknown,      // the next request discovers it
  kDiscovering,  // an asynchronous discovery is in flight; requests wait in `held` tickets
};

struct Session {
  OVsnmpSession handle = 0;
  bool event = false;
  uint32_t flags = 0;
  int fd = -1;
  // Event sessions only.
  OVsnmpCallback callback = nullptr;
  void *data = nullptr;
  std::vector<Oid> filter;
  std::deque<Event> pending;  // matched events read but not yet handed to the callback
  OVsnmpEventDrops drops{};
  std::array<char, sizeof(OVsnmpEventDrops::last_source)> source{};  // of the datagram being read
  // True while net-snmp parses a datagram: between the hooks before and after the parse. For
  // an SNMPv3 message that fails authentication, net-snmp's user-based security calls the
  // session's callback from inside the parse, with the message's unauthenticated contents;
  // the callback must ignore what it is given then.
  bool parsing = false;
  // Client sessions only: the requests not completed yet, in the order they were sent, and
  // how many of them net-snmp still holds (sent, neither answered nor timed out; an engine-ID
  // discovery in flight counts as one).
  Map<TicketId, Ticket> tickets;
  size_t in_flight = 0;
  // When net-snmp next has a retransmission or a time-out due on the session (none: nothing
  // due), as last asked. Only a send can bring it nearer; until one does, or it has come, the
  // event loop's passes need not ask net-snmp again.
  bool dueKnown = false;
  std::optional<std::chrono::steady_clock::time_point> dueAt;
  bool v3 = false;
  Engine engine = Engine::kKnown;
  int discovery = OVSNMP_ERR_NONE;  // the outcome of the discovery that just ended
  bool discoveryEnded = false;      // ... waiting for continueSessions()
  bool engineChanged = false;       // the agent no longer knows the engine ID: forget it
  // Declared last: the net-snmp session closes first, before what its callbacks use.
  SessPtr sessp;
};

struct State {
  State() { finished.reserve(OVSNMP_MAX_REQUESTS); }
  std::map<OVsnmpSession, std::unique_ptr<Session>> sessions;
  OVsnmpSession last_handle = 0;
  // Every request not completed yet, and the session it belongs to.
  HashMap<TicketId, OVsnmpSession> tickets;
  TicketId last_ticket = 0;
  // Requests whose outcome is known, in that order, until their completions run (a request
  // cancelled meanwhile is skipped). Room for every request that can be outstanding is taken
  // up front. `ready` counts those still to run.
  std::vector<TicketId> finished;
  size_t ready = 0;
  // The sessions whose sockets an event loop must watch: event sessions, and client sessions
  // with requests in flight.
  Set<OVsnmpSession> watched;
  std::unordered_map<int, OVsnmpSession> by_fd;
  // Client sessions with something to do once net-snmp has returned: an engine-ID discovery
  // that ended, or an engine ID to forget.
  std::vector<OVsnmpSession> to_continue;
};

// Never destroyed: sessions still open at exit are not closed behind the program's back.
State &state() {
  static State *s = new State;
  return *s;
}

Session *findSession(OVsnmpSession handle) {
  auto &sessions = state().sessions;
  auto it = sessions.find(handle);
  return it == sessions.end() ? nullptr : it->second.get();
}

// net-snmp's set of descriptors of any size, emptied on creation and released on every path.
class LargeFdSet {
 public:
  LargeFdSet() {
    netsnmp_large_fd_set_init(&set_, FD_SETSIZE);
    NETSNMP_LARGE_FD_ZERO(&set_);
  }
  ~LargeFdSet() { netsnmp_large_fd_set_cleanup(&set_); }
  LargeFdSet(const LargeFdSet &) = delete;
  LargeFdSet &operator=(const LargeFdSet &) = delete;
  netsnmp_large_fd_set *get() { return &set_; }

 private:
  netsnmp_large_fd_set set_;
};

// How long until the next retransmission or time-out of a client session's requests is due;
// nothing when net-snmp holds none of them.
std::optional<timeval> nextDue(Session &session) {
  if (session.event || session.in_flight == 0) return std::nullopt;
  LargeFdSet set;
  int count = 0;
  int block = 1;
  timeval due{};
  (void)snmp_sess_select_info2_flags(session.sessp.get(), &count, set.get(), &due, &block,
                                     NETSNMP_SELECT_NOALARMS);
  if (block != 0) return std::nullopt;
  if (due.tv_sec < 0) due = timeval{};
  return due;
}

void earliest(std::optional<timeval> &sooner, const std::optional<timeval> &other) {
  if (other && (!sooner || timercmp(&*other, &*sooner, <))) sooner = other;
}

// How long from `now` until something is due on the session (zero once it is due), asking
// net-snmp only when what it said last may have changed.
std::optional<timeval> dueIn(Session &session, std::chrono::steady_clock::time_point now) {
  using std::chrono::microseconds;
  if (!session.dueKnown) {
    session.dueKnown = true;
    session.dueAt.reset();
    if (const std::optional<timeval> in = nextDue(session)) {
      session.dueAt = now + std::chrono::seconds(in->tv_sec) + microseconds(in->tv_usec);
    }
  }
  if (!session.dueAt) return std::nullopt;
  if (*session.dueAt <= now) return timeval{};
  const long long left = std::chrono::ceil<microseconds>(*session.dueAt - now).count();
  return timeval{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
}

// True when `fd` has something to read (or a pending error, or is no open descriptor: the
// read then reports it). A read is never attempted on a socket that could block it.
bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && p.revents != 0;
}

// A client session's receive: one datagram and its sender, as net-snmp's UDP receive gives
// them, without the socket's own address, which that receive asks the kernel for after every
// datagram (one more system call per answer) and which a client never uses. The sender's
// address is allocated with malloc(): net-snmp frees it, whatever the outcome.
int clientReceive(netsnmp_transport *transport, void *buffer, int size, void **opaque,
                  int *opaque_length) {
  *opaque = nullptr;
  *opaque_length = 0;
  if (transport == nullptr || transport->sock < 0 || size < 0) return -1;
  auto *from =
      static_cast<netsnmp_indexed_addr_pair *>(std::calloc(1, sizeof(netsnmp_indexed_addr_pair)));
  if (from == nullptr) return -1;
  *opaque = from;
  *opaque_length = sizeof *from;
  ssize_t received;
  do {
    socklen_t length = sizeof from->remote_addr;
    received = recvfrom(transport->sock, buffer, static_cast<size_t>(size), MSG_DONTWAIT,
                        &from->remote_addr.sa, &length);
  } while (received < 0 && errno == EINTR);
  return static_cast<int>(received);
}

// Whether `transport` is one of net-snmp's UDP transports (IPv4 or IPv6), whose receive the
// library may replace.
bool isUdpTransport(const netsnmp_transport &transport) {
  static const oid kUdpIpv6[] = {TRANSPORT_DOMAIN_UDP_IPV6};
  const auto same = [&](const oid *domain, size_t length) {
    return transport.domain != nullptr && static_cast<size_t>(transport.domain_length) == length &&
           netsnmp_oid_equals(transport.domain, length, domain, length) == 0;
  };
  return same(netsnmpUDPDomain, netsnmpUDPDomain_len) || same(kUdpIpv6, std::size(kUdpIpv6));
}

// Reads one datagram from a session's socket; net-snmp's callbacks run inside.
int readOnce(Session &session) {
  if (session.fd < FD_SETSIZE) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(session.fd, &set);
    return snmp_sess_read(session.sessp.get(), &set);
  }
  LargeFdSet set;
  netsnmp_large_fd_setfd(session.fd, set.get());
  return snmp_sess_read2(session.sessp.get(), set.get());
}

void stopWatching(Session &session) {
  if (!session.event && session.in_flight == 0) state().watched.erase(session.handle);
}

// Issues the next handle; 0 once all 2^32 - 1 have been used.
OVsnmpSession nextHandle() {
  State &s = state();
  if (s.last_handle == UINT32_MAX) return 0;
  return ++s.last_handle;
}

// Agent names come from the network (the applet names the node). Only host names and
// addresses, with an optional port and UDP transport prefix, are let through: no path
// separator (net-snmp reads hosts/<name>.conf) and no other transport (TCP, Unix sockets).
bool acceptableAgentName(std::string_view name) {
  if (name.empty() || name.size() > kMaxAgentNameLength) return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']' ||
          c == '%')) {
      return false;
    }
  }
  size_t colon = name.find(':');
  if (colon == std::string_view::npos) return true;
  std::string prefix(name.substr(0, colon));
  std::ranges::transform(prefix, prefix.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static constexpr std::string_view kOtherTransports[] = {
      "tcp",     "tcp6",  "tcpv6",    "tcpipv6", "unix",      "ipx",
      "aal5pvc", "pvc",   "tls",      "tlstcp",  "dtls",      "dtlsudp",
      "ssh",     "alias", "callback", "std",     "udpshared", "udpshared6"};
  return std::ranges::find(kOtherTransports, prefix) == std::end(kOtherTransports);
}

// A whole decimal number from the environment within [low, high], or nothing.
std::optional<long> envNumber(const char *variable, long low, long high) {
  const char *text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::string_view view(text);
  long value = 0;
  auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (ec != std::errc() || end != view.data() + view.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// Replaces a session's community; net-snmp frees it with free().
bool setCommunity(netsnmp_session &ss, std::string_view community) {
  auto *copy = static_cast<u_char *>(std::malloc(community.size() + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, community.data(), community.size());
  copy[community.size()] = '\0';
  std::free(ss.community);
  ss.community = copy;
  ss.community_len = community.size();
  return true;
}

bool isRequestType(int type) {
  return type == OVSNMP_GET_REQ || type == OVSNMP_GETNEXT_REQ || type == OVSNMP_SET_REQ;
}

// ---- events ------------------------------------------------------------------------------

// The identifier value of the binding named `name`, if it has one.
std::optional<Oid> oidValueOf(const Pdu &pdu, std::span<const OVsnmpOid> name) {
  for (const auto &b : pdu.bindings) {
    if (sameOid(b->name, name) && b->pub.type == OVSNMP_OBJECTID) {
      const size_t count = b->pub.val_len / sizeof(OVsnmpOid);
      return Oid(b->storage.begin(), b->storage.begin() + static_cast<ptrdiff_t>(count));
    }
  }
  return std::nullopt;
}

// Turns a received trap or inform into the v1 form, and gives its notification identifier
// for the filter. Nothing when it can't be read (no snmpTrapOID.0 in a v2 notification).
std::optional<std::pair<PduPtr, Oid>> toV1Event(const netsnmp_pdu &in) {
  PduPtr pdu = fromNetSnmp(in);
  if (!pdu) return std::nullopt;
  if (in.command == SNMP_MSG_TRAP) {
    Oid id = notificationIdOfV1(pdu->enterprise, pdu->pub.generic_type, pdu->pub.specific_type);
    pdu->pub.command = OVSNMP_TRAP;
    return std::make_pair(std::move(pdu), std::move(id));
  }
  std::optional<Oid> trap_oid = oidValueOf(*pdu, kSnmpTrapOid0);
  if (!trap_oid) return std::nullopt;
  std::optional<Oid> trap_enterprise = oidValueOf(*pdu, kSnmpTrapEnterprise0);
  V1Form form = v1FormOf(*trap_oid, trap_enterprise ? *trap_enterprise : Oid{});
  pdu->enterprise = std::move(form.enterprise);
  pdu->pub.generic_type = form.generic;
  pdu->pub.specific_type = form.specific;
  pdu->pub.error_status = 0;
  pdu->pub.error_index = 0;
  pdu->pub.command = in.command == SNMP_MSG_INFORM ? OVSNMP_INFORM : OVSNMP_TRAP;
  std::erase_if(pdu->bindings, [](const std::unique_ptr<Binding> &b) {
    return sameOid(b->name, kSysUpTime0) || sameOid(b->name, kSnmpTrapOid0);
  });
  pdu->relink();
  return std::make_pair(std::move(pdu), std::move(*trap_oid));
}

// Counts an event dropped before any other work, with its reason and its source.
void countDrop(Session &session, Verdict verdict, int reason) {
  OVsnmpEventDrops &d = session.drops;
  if (verdict == Verdict::kUnauthenticated) ++d.unauthenticated;
  if (verdict == Verdict::kUnauthorised) ++d.unauthorised;
  d.last_reason = reason;
  std::memcpy(d.last_source, session.source.data(), sizeof d.last_source);
}

// net-snmp's hook of an event session before each datagram is parsed: notes where it came from,
// for the drop counts.
int eventArriving(netsnmp_session *ss, netsnmp_transport *, void *data, int length) {
  if (ss == nullptr || ss->callback_magic == nullptr) return 1;
  auto *session = static_cast<Session *>(ss->callback_magic);
  session->parsing = true;
  auto &source = session->source;
  source[0] = '\0';
  if (data == nullptr || length < static_cast<int>(sizeof(sockaddr))) return 1;
  // The transport's data starts with the sender's address (netsnmp_indexed_addr_pair).
  const auto *address = static_cast<const sockaddr *>(data);
  char text[INET6_ADDRSTRLEN] = "";
  unsigned port = 0;
  if (address->sa_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
    const auto *in4 = static_cast<const sockaddr_in *>(data);
    inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    port = ntohs(in4->sin_port);
  } else if (address->sa_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
    const auto *in6 = static_cast<const sockaddr_in6 *>(data);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else {
    return 1;
  }
  std::snprintf(source.data(), source.size(), "%s port %u", text, port);
  return 1;
}

// net-snmp's hook of an event session after each datagram is parsed, with the parse's result.
// Counts the SNMPv3 messages that its user-based security refused: unknown user (or a user of
// another engine), wrong digest, decryption error, a level the user does not have; and an
// authenticated, encrypted message whose contents can't be read once decrypted (a privacy pass
// phrase that differs). Engine-ID discovery and time synchronisation are the protocol's own
// exchanges and are not counted, nor are datagrams that are no SNMPv3 message.
int eventParsed(netsnmp_session *ss, netsnmp_pdu *pdu, int result) {
  if (ss == nullptr || ss->callback_magic == nullptr) return 1;
  static_cast<Session *>(ss->callback_magic)->parsing = false;
  if (result == SNMPERR_SUCCESS || pdu == nullptr || pdu->version != SNMP_VERSION_3) return 1;
  int reason = 0;
  switch (result) {
    case SNMPERR_USM_UNKNOWNSECURITYNAME:
      reason = OVSNMP_ERR_UNKNOWN_USER;
      break;
    case SNMPERR_USM_AUTHENTICATIONFAILURE:
      reason = OVSNMP_ERR_WRONG_DIGEST;
      break;
    case SNMPERR_USM_DECRYPTIONERROR:
      reason = OVSNMP_ERR_DECRYPTION;
      break;
    case SNMPERR_USM_UNSUPPORTEDSECURITYLEVEL:
      reason = OVSNMP_ERR_SECURITY_LEVEL;
      break;
    case SNMPERR_USM_UNKNOWNENGINEID:
    case SNMPERR_USM_NOTINTIMEWINDOW:
      return 1;
    default:
      if (pdu->securityLevel != SNMP_SEC_LEVEL_AUTHPRIV) return 1;
      reason = OVSNMP_ERR_DECRYPTION;
      break;
  }
  countDrop(*static_cast<Session *>(ss->callback_magic), Verdict::kUnauthenticated, reason);
  return 1;
}

// The event configuration's verdict on an event that net-snmp has parsed.
Decision decide(const netsnmp_pdu &in) {
  EventCredentials credentials;
  credentials.version = in.version;
  credentials.securityModel = in.securityModel;
  credentials.securityLevel = in.securityLevel;
  if (in.securityName != nullptr) credentials.user = {in.securityName, in.securityNameLen};
  if (in.community != nullptr) credentials.community = {in.community, in.community_len};
  return checkEvent(eventAccess(), credentials);
}

// net-snmp's callback of an event session, run inside snmp_sess_read. It drops (and counts)
// what the event configuration does not accept, acknowledges informs, and queues the events
// that match the filter; the program's callback runs only after snmp_sess_read has returned,
// so that it may close the session.
int eventReceived(int operation, netsnmp_session *, int, netsnmp_pdu *in, void *magic) {
  if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || in == nullptr || magic == nullptr) {
    return 1;
  }
  auto *session = static_cast<Session *>(magic);
  // Called from inside the parse: a message that failed authentication (an SNMPv3 inform with
  // a wrong digest, say, its command read from the plain part). eventParsed counts it; nothing
  // of it is used, since not even its command is authentic.
  if (session->parsing) return 1;
  if (in->command != SNMP_MSG_TRAP && in->command != SNMP_MSG_TRAP2 &&
      in->command != SNMP_MSG_INFORM) {
    return 1;
  }
  if (const Decision decision = decide(*in); decision.verdict != Verdict::kAccepted) {
    countDrop(*session, decision.verdict, decision.reason);
    return 1;
  }
  try {
    if (in->command == SNMP_MSG_INFORM && session->sessp) {
      netsnmp_pdu *reply = snmp_clone_pdu(in);
      if (reply != nullptr) {
        reply->command = SNMP_MSG_RESPONSE;
        reply->errstat = 0;
        reply->errindex = 0;
        if (snmp_sess_send(session->sessp.get(), reply) == 0) snmp_free_pdu(reply);
      }
    }
    auto event = toV1Event(*in);
    if (!event || !filterMatches(session->filter, event->second)) return 1;
    const int code = in->command == SNMP_MSG_INFORM ? OVSNMP_INFORM : OVSNMP_TRAP;
    session->pending.push_back(Event{code, std::move(event->first)});
  } catch (const std::bad_alloc &) {
    // The event is lost; the session goes on.
  }
  return 1;
}

// Hands the queued events of one session to its callback, one by one, for as long as the
// session stays open (the callback may close it).
void dispatch(OVsnmpSession handle) {
  for (;;) {
    Session *session = findSession(handle);
    if (session == nullptr || session->pending.empty()) return;
    Event event = std::move(session->pending.front());
    session->pending.pop_front();
    OVsnmpCallback callback = session->callback;
    void *data = session->data;
    callback(event.code, handle, issue(std::move(event.pdu)), data);
  }
}

// True when the socket itself has failed (rather than one datagram being unreadable).
bool socketFailed(int fd) {
  if (fcntl(fd, F_GETFD) == -1) return true;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return true;
  return error != 0 && error != EAGAIN && error != EINTR && error != ECONNREFUSED;
}

void reportSessionError(OVsnmpSession handle, int error_number) {
  Session *session = findSession(handle);
  if (session == nullptr) return;
  OVsnmpErrno = error_number;
  session->callback(OVSNMP_EVENT_SESSION_ERROR, handle, nullptr, session->data);
}

// ---- asynchronous requests ---------------------------------------------------------------

// Asks for continueSessions() on a session once net-snmp has returned.
void continueLater(OVsnmpSession handle) {
  try {
    state().to_continue.push_back(handle);
  } catch (const std::bad_alloc &) {
    // Without room the discovery's requests end when their session closes.
  }
}

// Records the outcome of request `id` for its completion, which runs once net-snmp has
// returned. A ticket that is gone (its session closed) or already finished is left alone.
void finishTicket(TicketId id, int error, const netsnmp_pdu *pdu) {
  State &st = state();
  auto owner = st.tickets.find(id);
  if (owner == st.tickets.end()) return;
  Session *session = findSession(owner->second);
  if (session == nullptr) return;
  auto it = session->tickets.find(id);
  if (it == session->tickets.end() || !it->second.sent || it->second.finished) return;
  Ticket &ticket = it->second;
  if (error == OVSNMP_ERR_NONE) {
    try {
      ticket.response = pdu != nullptr ? fromNetSnmp(*pdu) : nullptr;
      if (ticket.response) {
        ticket.response->pub.command = OVSNMP_GET_RSP;
      } else {
        error = OVSNMP_ERR_BAD_PDU;
      }
    } catch (const std::bad_alloc &) {
      error = OVSNMP_ERR_NOMEM;
    }
  }
  ticket.error = error;
  ticket.finished = true;
  ++st.ready;
  --session->in_flight;
  // An agent that came back with another engine ID refuses the old one with a report that
  // net-snmp drops: after a time-out (or its report, when it arrives) the next request
  // discovers the engine ID again.
  if ((error == OVSNMP_ERR_UNKNOWN_ENGINE || error == OVSNMP_ERR_TIMEOUT) && session->v3 &&
      !session->engineChanged) {
    session->engineChanged = true;
    continueLater(session->handle);
  }
  stopWatching(*session);
  try {
    st.finished.push_back(id);  // within the room reserved for every outstanding request
  } catch (const std::bad_alloc &) {
    // Not reachable within the bound; were it, the request would complete when its session
    // closes.
  }
}

// net-snmp's callback of an asynchronous request, run inside snmp_sess_read or
// snmp_sess_timeout: records the outcome for the completion, which runs once net-snmp has
// returned. A ticket that is gone (its session closed) or already finished is left alone. An
// SNMPv3 agent's report (matched by its message id) ends the request with its reason.
int requestDone(int operation, netsnmp_session *, int, netsnmp_pdu *pdu, void *magic) {
  int error = OVSNMP_ERR_NONE;
  switch (operation) {
    case NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE:
      if (pdu != nullptr && pdu->command == SNMP_MSG_REPORT) {
        error = errorOfSnmpError(snmpv3_get_report_type(pdu));
        if (!OVsnmpIsSecurityRefusal(error)) error = OVSNMP_ERR_REPORT;
        pdu = nullptr;
      }
      break;
    case NETSNMP_CALLBACK_OP_TIMED_OUT:
      error = OVSNMP_ERR_TIMEOUT;
      break;
    case NETSNMP_CALLBACK_OP_SEND_FAILED:
    case NETSNMP_CALLBACK_OP_DISCONNECT:
      error = OVSNMP_ERR_SEND;
      break;
    default:  // a retransmission on its way, or what only SNMPv3 reports
      return 1;
  }
  finishTicket(reinterpret_cast<TicketId>(magic), error, pdu);
  return 1;
}

// net-snmp's callback of an engine-ID discovery request (its argument is the session's
// handle). The agent's report carries its engine ID, which net-snmp has put into the session
// already; the requests waiting for it go out once net-snmp has returned.
int discoveryDone(int operation, netsnmp_session *ss, int, netsnmp_pdu *pdu, void *magic) {
  int outcome = OVSNMP_ERR_NONE;
  switch (operation) {
    case NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE:
      if (ss == nullptr || ss->securityEngineIDLen == 0) {
        outcome = pdu != nullptr && pdu->command == SNMP_MSG_REPORT
                      ? errorOfSnmpError(snmpv3_get_report_type(pdu))
                      : OVSNMP_ERR_UNKNOWN_ENGINE;
        if (outcome == OVSNMP_ERR_NONE || outcome == OVSNMP_ERR_SEND) {
          outcome = OVSNMP_ERR_UNKNOWN_ENGINE;
        }
      }
      break;
    case NETSNMP_CALLBACK_OP_TIMED_OUT:
      outcome = OVSNMP_ERR_TIMEOUT;
      break;
    case NETSNMP_CALLBACK_OP_SEND_FAILED:
    case NETSNMP_CALLBACK_OP_DISCONNECT:
      outcome = OVSNMP_ERR_SEND;
      break;
    default:  // a retransmission on its way, or a security error its report follows
      return 1;
  }
  const auto handle = static_cast<OVsnmpSession>(reinterpret_cast<uintptr_t>(magic));
  Session *session = findSession(handle);
  if (session == nullptr || session->engine != Engine::kDiscovering || session->discoveryEnded) {
    return 1;
  }
  session->discovery = outcome;
  session->discoveryEnded = true;
  --session->in_flight;
  continueLater(handle);
  return 1;
}

// Records the outcome of a request that waited for its engine ID and was never sent.
void finishHeld(TicketId id, Ticket &ticket, int error) {
  State &st = state();
  ticket.held.reset();
  ticket.error = error;
  ticket.finished = true;
  ticket.sent = true;
  ++st.ready;
  try {
    st.finished.push_back(id);  // within the room reserved for every outstanding request
  } catch (const std::bad_alloc &) {
    // Not reachable within the bound.
  }
}

// After a request went out on `session`: net-snmp times it out the session's time-out from
// now, which is when something is next due on the session unless something else is due sooner.
// Working that out here spares asking net-snmp again at the next wait. With other requests in
// flight whose times are not known, it is left to be asked.
void noteSent(Session &session) {
  const netsnmp_session *ss = snmp_sess_session(session.sessp.get());
  if (ss == nullptr || ss->timeout <= 0 || (!session.dueKnown && session.in_flight > 0)) {
    session.dueKnown = false;
    return;
  }
  // Taken after net-snmp's own clock reading: never earlier than its time-out.
  const auto due = std::chrono::steady_clock::now() + std::chrono::microseconds(ss->timeout);
  // Alone in flight, the request's time-out is what is due; otherwise the sooner one.
  if (session.in_flight == 0 || !session.dueAt || due < *session.dueAt) session.dueAt = due;
  session.dueKnown = true;
}

// Sends a request on its way with net-snmp; false when it could not be sent (the PDU is then
// freed).
bool sendTicket(Session &session, TicketId id, Ticket &ticket, netsnmp_pdu *out) {
  const int reqid =
      snmp_sess_async_send(session.sessp.get(), out, requestDone, reinterpret_cast<void *>(id));
  if (reqid == 0) {
    snmp_free_pdu(out);  // a failed send leaves the PDU with its sender
    return false;
  }
  ticket.reqid = reqid;
  ticket.sent = true;
  noteSent(session);
  ++session.in_flight;
  state().watched.insert(session.handle);
  return true;
}

// Starts the asynchronous discovery of a session's engine ID. False when it could not be sent.
bool startDiscovery(Session &session) {
  netsnmp_pdu *probe = makeDiscoveryRequest();
  if (probe == nullptr) return false;
  if (snmp_sess_async_send(session.sessp.get(), probe, discoveryDone,
                           reinterpret_cast<void *>(static_cast<uintptr_t>(session.handle))) == 0) {
    snmp_free_pdu(probe);
    return false;
  }
  session.engine = Engine::kDiscovering;
  session.discoveryEnded = false;
  ++session.in_flight;
  session.dueKnown = false;
  state().watched.insert(session.handle);
  return true;
}

// What waits for net-snmp to return on client sessions: the requests of a discovery that ended
// go out (or end with its error), and an engine ID the agent no longer knows is forgotten.
void continueSessions() {
  State &st = state();
  std::vector<OVsnmpSession> handles;
  handles.swap(st.to_continue);
  for (OVsnmpSession handle : handles) {
    Session *session = findSession(handle);
    if (session == nullptr || session->event) continue;
    netsnmp_session *ss = snmp_sess_session(session->sessp.get());
    if (session->engineChanged) {
      session->engineChanged = false;
      if (ss != nullptr && session->engine == Engine::kKnown) {
        forgetEngine(*ss);
        session->engine = Engine::kUnknown;
      }
    }
    if (!session->discoveryEnded) continue;
    session->discoveryEnded = false;
    int outcome = session->discovery;
    if (outcome == OVSNMP_ERR_NONE && (ss == nullptr || !setUpUser(*ss))) {
      outcome = OVSNMP_ERR_SECURITY_CONFIG;
    }
    // A failed discovery is tried again by the next request.
    session->engine = outcome == OVSNMP_ERR_NONE ? Engine::kKnown : Engine::kUnknown;
    if (outcome != OVSNMP_ERR_NONE && ss != nullptr) forgetEngine(*ss);
    for (auto &[id, ticket] : session->tickets) {
      if (!ticket.held) continue;
      if (outcome != OVSNMP_ERR_NONE) {
        finishHeld(id, ticket, outcome);
      } else if (!sendTicket(*session, id, ticket, ticket.held.release())) {
        finishHeld(id, ticket, OVSNMP_ERR_SEND);
      }
    }
    stopWatching(*session);
  }
}

// A client session's own callback: net-snmp hands it what arrived that is no answer it could
// match by id (a late answer, another id's answer, a message of another kind). A message that
// is not a response but carries a request's id ends that request as a failed one
// (OVSNMP_ERR_BAD_PDU), as it ends a blocking send; everything else is dropped.
int clientReceived(int operation, netsnmp_session *, int reqid, netsnmp_pdu *pdu, void *magic) {
  if (operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || pdu == nullptr) return 1;
  if (pdu->command == SNMP_MSG_RESPONSE || pdu->command == SNMP_MSG_REPORT) return 1;
  Session *session = findSession(static_cast<OVsnmpSession>(reinterpret_cast<uintptr_t>(magic)));
  if (session == nullptr) return 1;
  for (const auto &[id, ticket] : session->tickets) {
    if (ticket.reqid == reqid && ticket.sent && !ticket.finished) {
      // net-snmp still holds the request and drops it at its time-out; its id is done here.
      finishTicket(id, OVSNMP_ERR_BAD_PDU, nullptr);
      break;
    }
  }
  return 1;
}

// Runs the completions of the requests whose outcome is known, in that order. Each request
// leaves the tables before its completion runs, so a completion may close any session and
// send new requests.
void deliverCompletions() {
  State &st = state();
  for (size_t i = 0; i < st.finished.size(); ++i) {
    const TicketId id = st.finished[i];
    auto owner = st.tickets.find(id);
    if (owner == st.tickets.end()) continue;  // cancelled meanwhile
    const OVsnmpSession handle = owner->second;
    st.tickets.erase(owner);
    Session *session = findSession(handle);
    if (session == nullptr) continue;
    auto it = session->tickets.find(id);
    if (it == session->tickets.end()) continue;
    Ticket ticket = std::move(it->second);
    session->tickets.erase(it);
    --st.ready;
    int error = ticket.error;
    OVsnmpPdu *response = nullptr;
    if (ticket.response) {
      try {
        response = issue(std::move(ticket.response));
      } catch (const std::bad_alloc &) {
        error = OVSNMP_ERR_NOMEM;
      }
    }
    ticket.completion(handle, error, response, ticket.context);
  }
  st.finished.clear();
}

// Reads at most OVSNMP_READ_BATCH datagrams that wait on a session's socket, handing events
// to the session's callback after each one. `fault` (from the seam) fails an event session.
// A client session's socket is non-blocking and holds answers only: one datagram is read
// without asking first (the caller's wait said it is readable), and what else waits is read
// at the next pass, whose wait returns at once.
void readSession(OVsnmpSession handle, int fault) {
  if (Session *session = findSession(handle); session != nullptr && !session->event) {
    (void)readOnce(*session);
    return;
  }
  for (int n = 0; n < OVSNMP_READ_BATCH; ++n) {
    Session *session = findSession(handle);  // a callback may have closed it
    if (session == nullptr) return;
    if (session->event && fault != 0) {
      reportSessionError(handle, fault);
      return;
    }
    if (!readable(session->fd)) return;
    const int fd = session->fd;
    const bool event = session->event;
    const int rc = readOnce(*session);
    if (!event) continue;  // answers reach their requests through requestDone
    const bool failed = rc != 0 && socketFailed(fd);
    dispatch(handle);
    if (failed) {
      reportSessionError(handle, OVSNMP_ERR_SOCKET);
      return;
    }
  }
}

// The sessions found ready in one pass: the usual few in place, more on the heap.
class ReadyList {
 public:
  void push(OVsnmpSession handle) {
    if (more_.empty() && count_ < few_.size()) {
      few_[count_++] = handle;
      return;
    }
    if (more_.empty()) more_.assign(few_.begin(), few_.begin() + static_cast<ptrdiff_t>(count_));
    more_.push_back(handle);
  }
  [[nodiscard]] std::span<const OVsnmpSession> handles() const {
    if (more_.empty()) return std::span<const OVsnmpSession>(few_.data(), count_);
    return more_;
  }

 private:
  std::array<OVsnmpSession, 32> few_;
  size_t count_ = 0;
  std::vector<OVsnmpSession> more_;
};

void readSessions(std::span<const OVsnmpSession> ready, int fault) {
  for (OVsnmpSession handle : ready) readSession(handle, fault);
  continueSessions();
  deliverCompletions();
}

// Sends the request that `build` makes (a net-snmp PDU, null without memory) on client session
// `s`, asynchronously, with its completion. Returns OVSNMP_ERR_NONE when it is on its way, or
// why not; the completion is then never called.
template <class Build>
int sendRequest(Session &s, Build build, OVsnmpCompletion completion, void *context) {
  State &st = state();
  if (s.tickets.size() >= OVSNMP_MAX_SESSION_REQUESTS || st.tickets.size() >= OVSNMP_MAX_REQUESTS) {
    return OVSNMP_ERR_BUSY;
  }
  const TicketId id = ++st.last_ticket;
  // Undoes the bookkeeping of a request that is not sent after all.
  auto forget = [&] {
    st.tickets.erase(id);
    s.tickets.erase(id);
    stopWatching(s);
  };
  try {
    Ticket &ticket = s.tickets[id];
    ticket.completion = completion;
    ticket.context = context;
    st.tickets.emplace(id, s.handle);
    st.watched.insert(s.handle);
    netsnmp_pdu *out = build();
    if (out == nullptr) {
      forget();
      return OVSNMP_ERR_NOMEM;
    }
    if (s.engine != Engine::kKnown) {
      // The request waits for the agent's engine ID; the first one starts its discovery.
      ticket.held.reset(out);
      if (s.engine == Engine::kUnknown && !startDiscovery(s)) {
        forget();
        return OVSNMP_ERR_SEND;
      }
    } else if (!sendTicket(s, id, ticket, out)) {
      forget();
      return OVSNMP_ERR_SEND;
    }
  } catch (const std::bad_alloc &) {
    forget();
    return OVSNMP_ERR_NOMEM;
  }
  return OVSNMP_ERR_NONE;
}

// Discovers a session's engine ID with a blocking exchange and sets its user up for it.
// Returns OVSNMP_ERR_NONE, or why it failed.
int discoverEngine(Session &session) {
  netsnmp_session *ss = snmp_sess_session(session.sessp.get());
  if (ss == nullptr) return OVSNMP_ERR_INTERNAL;
  netsnmp_pdu *probe = makeDiscoveryRequest();
  if (probe == nullptr) return OVSNMP_ERR_NOMEM;
  netsnmp_pdu *raw_answer = nullptr;
  // net-snmp takes the request whatever the outcome; the agent answers with a report, whose
  // engine ID net-snmp puts into the session.
  const int status = snmp_sess_synch_response(session.sessp.get(), probe, &raw_answer);
  NetSnmpPduPtr answer(raw_answer);
  if (ss->securityEngineIDLen == 0) {
    if (status == STAT_TIMEOUT) return OVSNMP_ERR_TIMEOUT;
    if (status == STAT_SUCCESS) return OVSNMP_ERR_UNKNOWN_ENGINE;  // an answer without one
    return errorOfSnmpError(ss->s_snmp_errno);  // a report's reason, or a failed send
  }
  if (!setUpUser(*ss)) {
    forgetEngine(*ss);
    return OVSNMP_ERR_SECURITY_CONFIG;
  }
  session.engine = Engine::kKnown;
  return OVSNMP_ERR_NONE;
}

}  // namespace
}  // namespace ovsnmp

using namespace ovsnmp;

extern "C" {

OVsnmpSession OVsnmpOpen(const char *community, const char *peername, int retries, int timeout,
                         int local_port, int remote_port, OVsnmpCallback callback, void *data) {
  (void)data;
  if (int code = KestaraFaultCheck("OVsnmpOpen")) return fail(code, OVsnmpSession{0});
  if (peername == nullptr || callback != nullptr) return fail(OVSNMP_ERR_BAD_ARG, 0u);
  if (retries < OVSNMP_DEFAULT_RETRIES || retries > kMaxRetries ||
      (timeout != OVSNMP_DEFAULT_TIMEOUT && (timeout < 1 || timeout > kMaxTimeoutTenths))) {
    return fail(OVSNMP_ERR_BAD_ARG, 0u);
  }
  if (local_port != OVSNMP_DEFAULT_PORT && local_port != 0) return fail(OVSNMP_ERR_BAD_ARG, 0u);
  if (remote_port != OVSNMP_DEFAULT_PORT && (remote_port < 1 || remote_port > 0xffff)) {
    return fail(OVSNMP_ERR_BAD_ARG, 0u);
  }
  if (community != nullptr && std::strlen(community) > kMaxCommunityLength) {
    return fail(OVSNMP_ERR_BAD_ARG, 0u);
  }
  if (!acceptableAgentName(peername)) return fail(OVSNMP_ERR_OPEN, 0u);
  try {
    initNetSnmp();
    auto session = std::make_unique<Session>();
    std::string peer(peername);
    long version = SNMP_VERSION_2c;
    std::optional<std::string> ds_community;
    {
      LibraryDefaults saved;
      if (remote_port != OVSNMP_DEFAULT_PORT) {
        netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DEFAULT_PORT, remote_port);
      }
      // The transport first: making it reads the host's hosts/NAME.conf into the defaults, which
      // then decide the session's version and security settings.
      netsnmp_transport *transport =
          netsnmp_tdomain_transport_full("snmp", peer.c_str(), 0, "udp", nullptr);
      if (transport == nullptr) return fail(OVSNMP_ERR_OPEN, 0u);
      version = configuredVersion();
      netsnmp_session in;
      snmp_sess_init(&in);  // asks for no engine-ID discovery while opening
      in.peername = peer.data();
      in.version = version;
      if (version == SNMP_VERSION_3) in.securityModel = SNMP_SEC_MODEL_USM;
      if (community != nullptr) {
        in.community = reinterpret_cast<u_char *>(const_cast<char *>(community));
        in.community_len = std::strlen(community);
      }
      if (retries != OVSNMP_DEFAULT_RETRIES) in.retries = retries;
      if (timeout != OVSNMP_DEFAULT_TIMEOUT) in.timeout = static_cast<long>(timeout) * 100000L;
      // snmp_sess_add owns the transport from here on, and closes it when it fails. For SNMPv3
      // it makes the keys from the pass phrases, and fails when it can't.
      session->sessp.reset(snmp_sess_add(&in, transport, nullptr, nullptr));
      if (const char *c = netsnmp_ds_get_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_COMMUNITY)) {
        ds_community = c;
      }
    }
    if (!session->sessp) {
      return fail(version == SNMP_VERSION_3 ? OVSNMP_ERR_SECURITY_CONFIG : OVSNMP_ERR_OPEN, 0u);
    }
    netsnmp_session *ss = snmp_sess_session(session->sessp.get());
    if (ss == nullptr) return fail(OVSNMP_ERR_INTERNAL, 0u);
    if (version == SNMP_VERSION_3) {
      if (!usableSecurity(*ss)) return fail(OVSNMP_ERR_SECURITY_CONFIG, 0u);
      // net-snmp would discover the engine ID itself, blocking, inside the first send; the
      // library discovers it as the request is sent instead.
      ss->flags |= SNMP_FLAGS_DONT_PROBE;
      session->v3 = true;
      session->engine = engineKnown(*ss) ? Engine::kKnown : Engine::kUnknown;
    } else if (community == nullptr && !ds_community && !setCommunity(*ss, "public")) {
      return fail(OVSNMP_ERR_NOMEM, 0u);
    }
    if (auto ms = envNumber("OVSNMP_TIMEOUT_MS", 1, kMaxTimeoutMs)) ss->timeout = *ms * 1000L;
    if (auto n = envNumber("OVSNMP_RETRIES", 0, kMaxRetries)) ss->retries = static_cast<int>(*n);

    netsnmp_transport *transport = snmp_sess_transport(session->sessp.get());
    if (transport == nullptr || transport->sock < 0) return fail(OVSNMP_ERR_INTERNAL, 0u);
    session->fd = transport->sock;
    if (isUdpTransport(*transport)) transport->f_recv = clientReceive;
    // A read never blocks, even when a wait reported a datagram that the kernel then drops
    // (a bad checksum); the blocking send waits in select() before it reads.
    const int fdFlags = fcntl(session->fd, F_GETFL);
    if (fdFlags < 0 || fcntl(session->fd, F_SETFL, fdFlags | O_NONBLOCK) != 0) {
      return fail(OVSNMP_ERR_SOCKET, 0u);
    }

    const OVsnmpSession handle = nextHandle();
    if (handle == 0) return fail(OVSNMP_ERR_INTERNAL, 0u);
    session->handle = handle;
    // What arrives for no request of its own (the blocking send sets its own while it waits).
    ss->callback = clientReceived;
    ss->callback_magic = reinterpret_cast<void *>(static_cast<uintptr_t>(handle));
    State &st = state();
    st.by_fd[session->fd] = handle;
    st.sessions.emplace(handle, std::move(session));
    return handle;
  } catch (const std::bad_alloc &) {
    return fail(OVSNMP_ERR_NOMEM, 0u);
  }
}

int OVsnmpClose(OVsnmpSession session) {
  if (int code = KestaraFaultCheck("OVsnmpClose")) return fail(code, -1);
  State &st = state();
  auto it = st.sessions.find(session);
  if (it == st.sessions.end()) return fail(OVSNMP_ERR_BAD_SESSION, -1);
  std::unique_ptr<Session> closing = std::move(it->second);
  st.sessions.erase(it);
  st.watched.erase(session);
  auto fd = st.by_fd.find(closing->fd);
  if (fd != st.by_fd.end() && fd->second == session) st.by_fd.erase(fd);
  // The requests leave the table before net-snmp lets go of them, so that nothing it reports
  // while closing reaches them; then each is cancelled, in the order they were sent.
  for (const auto &[id, ticket] : closing->tickets) {
    st.tickets.erase(id);
    if (ticket.finished) --st.ready;
  }
  closing->sessp.reset();
  for (auto &[id, ticket] : closing->tickets) {
    ticket.completion(session, OVSNMP_ERR_CANCELLED, nullptr, ticket.context);
  }
  return 0;
}

int OVsnmpSetSessionFlags(OVsnmpSession session, uint32_t flags) {
  if (int code = KestaraFaultCheck("OVsnmpSetSessionFlags")) return fail(code, -1);
  Session *s = findSession(session);
  if (s == nullptr) return fail(OVSNMP_ERR_BAD_SESSION, -1);
  s->flags |= flags;
  return 0;
}

int64_t OVsnmpGetSessionFlags(OVsnmpSession session) {
  if (int code = KestaraFaultCheck("OVsnmpGetSessionFlags")) return fail(code, int64_t{-1});
  Session *s = findSession(session);
  if (s == nullptr) return fail(OVSNMP_ERR_BAD_SESSION, int64_t{-1});
  return s->flags;
}

OVsnmpPdu *OVsnmpCreatePdu(int type) {
  if (int code = KestaraFaultCheck("OVsnmpCreatePdu")) return fail(code, nullptr);
  if (!isRequestType(type)) return fail(OVSNMP_ERR_BAD_PDU, nullptr);
  try {
    return issue(makePdu(type));
  } catch (const std::bad_alloc &) {
    return fail(OVSNMP_ERR_NOMEM, nullptr);
  }
}

OVsnmpVarBind *OVsnmpAddNullVarBind(OVsnmpPdu *pdu, const OVsnmpOid *oid, size_t count) {
  if (int code = KestaraFaultCheck("OVsnmpAddNullVarBind")) return fail(code, nullptr);
  Pdu *record = lookup(pdu);
  if (record == nullptr || oid == nullptr || count == 0 || count > kMaxOidLength) {
    return fail(OVSNMP_ERR_BAD_ARG, nullptr);
  }
  try {
    return &record->add(std::span<const OVsnmpOid>(oid, count)).pub;
  } catch (const std::bad_alloc &) {
    return fail(OVSNMP_ERR_NOMEM, nullptr);
  }
}

OVsnmpPdu *OVsnmpBlockingSend(OVsnmpSession session, OVsnmpPdu *pdu) {
  if (int code = KestaraFaultCheck("OVsnmpBlockingSend")) return fail(code, nullptr);
  Session *s = findSession(session);
  if (s == nullptr || s->event) return fail(OVSNMP_ERR_BAD_SESSION, nullptr);
  Pdu *request = lookup(pdu);
  if (request == nullptr) return fail(OVSNMP_ERR_BAD_ARG, nullptr);
  if (!isRequestType(request->pub.command)) return fail(OVSNMP_ERR_BAD_PDU, nullptr);
  // net-snmp's blocking wait would read (and time out) the asynchronous requests too.
  if (!s->tickets.empty()) return fail(OVSNMP_ERR_BUSY, nullptr);
  try {
    netsnmp_session *ss = snmp_sess_session(s->sessp.get());
    if (ss == nullptr) return fail(OVSNMP_ERR_INTERNAL, nullptr);
    if (s->engine == Engine::kUnknown) {
      if (const int error = discoverEngine(*s); error != OVSNMP_ERR_NONE) {
        return fail(error, nullptr);
      }
    }
    netsnmp_pdu *out = toNetSnmpRequest(*request);
    if (out == nullptr) return fail(OVSNMP_ERR_NOMEM, nullptr);
    netsnmp_pdu *raw_response = nullptr;
    // net-snmp takes `out` whatever the outcome.
    const int status = snmp_sess_synch_response(s->sessp.get(), out, &raw_response);
    NetSnmpPduPtr response(raw_response);
    if (status != STAT_SUCCESS || !response) {
      // An SNMPv3 agent's report (or a security setting net-snmp refused) says why.
      const int error = status == STAT_TIMEOUT ? OVSNMP_ERR_TIMEOUT
                        : s->v3                ? errorOfSnmpError(ss->s_snmp_errno)
                                               : OVSNMP_ERR_SEND;
      // See finishTicket: after a time-out the engine ID is discovered again.
      if (s->v3 && (error == OVSNMP_ERR_UNKNOWN_ENGINE || error == OVSNMP_ERR_TIMEOUT)) {
        forgetEngine(*ss);
        s->engine = Engine::kUnknown;
      }
      return fail(error, nullptr);
    }
    PduPtr converted = fromNetSnmp(*response);
    if (!converted) return fail(OVSNMP_ERR_BAD_PDU, nullptr);
    converted->pub.command = OVSNMP_GET_RSP;
    OVsnmpPdu *result = issue(std::move(converted));
    PduPtr consumed = reclaim(pdu);
    return result;
  } catch (const std::bad_alloc &) {
    return fail(OVSNMP_ERR_NOMEM, nullptr);
  }
}

int OVsnmpSendAsync(OVsnmpSession session, OVsnmpPdu *pdu, OVsnmpCompletion completion,
                    void *context) {
  if (int code = KestaraFaultCheck("OVsnmpSendAsync")) return fail(code, -1);
  Session *s = findSession(session);
  if (s == nullptr || s->event) return fail(OVSNMP_ERR_BAD_SESSION, -1);
  Pdu *request = lookup(pdu);
  if (request == nullptr || completion == nullptr) return fail(OVSNMP_ERR_BAD_ARG, -1);
  if (!isRequestType(request->pub.command)) return fail(OVSNMP_ERR_BAD_PDU, -1);
  if (const int error = sendRequest(
          *s, [&] { return toNetSnmpRequest(*request); }, completion, context);
      error != OVSNMP_ERR_NONE) {
    return fail(error, -1);
  }
  PduPtr consumed = reclaim(pdu);
  return 0;
}

int OVsnmpSendRequestAsync(OVsnmpSession session, int type, const OVsnmpOid *oid, size_t count,
                           OVsnmpCompletion completion, void *context) {
  if (int code = KestaraFaultCheck("OVsnmpSendRequestAsync")) return fail(code, -1);
  Session *s = findSession(session);
  if (s == nullptr || s->event) return fail(OVSNMP_ERR_BAD_SESSION, -1);
  if (oid == nullptr || count == 0 || count > kMaxOidLength || completion == nullptr) {
    return fail(OVSNMP_ERR_BAD_ARG, -1);
  }
  if (type != OVSNMP_GET_REQ && type != OVSNMP_GETNEXT_REQ) return fail(OVSNMP_ERR_BAD_PDU, -1);
  const std::span<const OVsnmpOid> name(oid, count);
  if (const int error = sendRequest(
          *s, [&] { return toNetSnmpRequest(type, name); }, completion, context);
      error != OVSNMP_ERR_NONE) {
    return fail(error, -1);
  }
  return 0;
}

OVsnmpPdu *OVsnmpFixPdu(OVsnmpPdu *response, int type) {
  if (int code = KestaraFaultCheck("OVsnmpFixPdu")) return fail(code, nullptr);
  Pdu *record = lookup(response);
  if (record == nullptr) return fail(OVSNMP_ERR_BAD_ARG, nullptr);
  if (!isRequestType(type) || record->pub.command != OVSNMP_GET_RSP) {
    return fail(OVSNMP_ERR_BAD_PDU, nullptr);
  }
  const int32_t index = record->pub.error_index;
  if (index < 1 || static_cast<size_t>(index) > record->bindings.size()) {
    return fail(OVSNMP_ERR_BAD_ARG, nullptr);
  }
  if (record->bindings.size() == 1) return fail(OVSNMP_ERR_NO_VARBIND, nullptr);
  try {
    PduPtr fixed = makePdu(type);
    for (size_t i = 0; i < record->bindings.size(); ++i) {
      if (i + 1 != static_cast<size_t>(index)) fixed->add(record->bindings[i]->name);
    }
    OVsnmpPdu *result = issue(std::move(fixed));
    PduPtr consumed = reclaim(response);
    return result;
  } catch (const std::bad_alloc &) {
    return fail(OVSNMP_ERR_NOMEM, nullptr);
  }
}

void OVsnmpFreePdu(OVsnmpPdu *pdu) { PduPtr released = reclaim(pdu); }

const char *OVsnmpErrString(int error_number) {
  switch (error_number) {
    case OVSNMP_ERR_NONE:
      return "No error";
    case OVSNMP_ERR_NOMEM:
      return "Out of memory";
    case OVSNMP_ERR_BAD_SESSION:
      return "Bad session handle";
    case OVSNMP_ERR_BAD_ARG:
      return "Bad argument";
    case OVSNMP_ERR_OPEN:
      return "Could not open the session (unknown host or transport)";
    case OVSNMP_ERR_SEND:
      return "Could not send the request";
    case OVSNMP_ERR_TIMEOUT:
      return "No response from the agent";
    case OVSNMP_ERR_NO_VARBIND:
      return "No variable binding would remain";
    case OVSNMP_ERR_BAD_PDU:
      return "Wrong kind of PDU";
    case OVSNMP_ERR_FILTER:
      return "Bad event filter";
    case OVSNMP_ERR_SOCKET:
      return "Socket error";
    case OVSNMP_ERR_INTERNAL:
      return "Internal SNMP library error";
    case OVSNMP_ERR_CANCELLED:
      return "The session was closed before the request completed";
    case OVSNMP_ERR_BUSY:
      return "Too many requests in flight";
    case OVSNMP_ERR_UNKNOWN_USER:
      return "SNMPv3: unknown user name (usmStatsUnknownUserNames)";
    case OVSNMP_ERR_WRONG_DIGEST:
      return "SNMPv3: authentication failed, wrong digest: the authentication pass phrase or type "
             "differs (usmStatsWrongDigests)";
    case OVSNMP_ERR_DECRYPTION:
      return "SNMPv3: decryption error: the privacy pass phrase or type differs "
             "(usmStatsDecryptionErrors)";
    case OVSNMP_ERR_SECURITY_LEVEL:
      return "SNMPv3: unsupported security level for the user (usmStatsUnsupportedSecLevels)";
    case OVSNMP_ERR_NOT_IN_TIME_WINDOW:
      return "SNMPv3: not in the time window (usmStatsNotInTimeWindows)";
    case OVSNMP_ERR_UNKNOWN_ENGINE:
      return "SNMPv3: unknown engine ID (usmStatsUnknownEngineIDs)";
    case OVSNMP_ERR_SECURITY_CONFIG:
      return "SNMPv3 settings can't be used (defSecurityName, defSecurityLevel, defAuthType, "
             "pass phrases of 8 characters or more, defPrivType AES, AES-192 or AES-256)";
    case OVSNMP_ERR_EVENT_CONFIG: {
      // The configuration is read once: the first problem found stays the same.
      static const std::string *text = nullptr;
      if (text == nullptr && !eventAccess().problem.empty()) {
        text = new std::string("Bad event configuration: " + eventAccess().problem);
      }
      return text != nullptr ? text->c_str() : "Bad event configuration (ovsnmp.conf)";
    }
    case OVSNMP_ERR_NOT_AUTHORISED:
      return "Not authorised: a community or SNMPv3 user that the event configuration does not "
             "accept";
    case OVSNMP_ERR_REPORT:
      return "SNMPv3: the agent refused the request (a report: unknown context, or another)";
    default:
      return "Unknown SNMP library error";
  }
}

int OVsnmpOidCompare(const OVsnmpOid *first, size_t first_count, const OVsnmpOid *second,
                     size_t second_count, int mode) {
  (void)mode;
  if (first == nullptr) first_count = 0;
  if (second == nullptr) second_count = 0;
  const size_t n = std::min(first_count, second_count);
  for (size_t i = 0; i < n; ++i) {
    if (first[i] != second[i]) return first[i] < second[i] ? -1 : 1;
  }
  if (first_count == second_count) return 0;
  return first_count < second_count ? -1 : 1;
}

OVsnmpSession OVsnmpEventOpen(const char *host, const char *name, OVsnmpCallback callback,
                              void *data, const char *filter) {
  (void)name;
  if (int code = KestaraFaultCheck("OVsnmpEventOpen")) return fail(code, OVsnmpSession{0});
  if (host != nullptr || callback == nullptr) return fail(OVSNMP_ERR_BAD_ARG, 0u);
  if (filter == nullptr) return fail(OVSNMP_ERR_FILTER, 0u);
  try {
    std::optional<std::vector<Oid>> entries = parseFilter(filter);
    if (!entries) return fail(OVSNMP_ERR_FILTER, 0u);
    initNetSnmp();
    if (!eventAccess().problem.empty() || !createEventUsers()) {
      return fail(OVSNMP_ERR_EVENT_CONFIG, 0u);
    }
    const char *env = std::getenv("OV_EVENT_ADDRESS");
    std::string address = env != nullptr && *env != '\0' ? env : kDefaultEventAddress;

    auto session = std::make_unique<Session>();
    session->event = true;
    session->callback = callback;
    session->data = data;
    session->filter = std::move(*entries);

    netsnmp_transport *transport = netsnmp_tdomain_transport(address.c_str(), 1, "udp");
    if (transport == nullptr) return fail(OVSNMP_ERR_SOCKET, 0u);
    const int fd = transport->sock;
    if (fd < 0 || fd >= FD_SETSIZE) {  // select() could not watch it
      transport->f_close(transport);
      netsnmp_transport_free(transport);
      return fail(OVSNMP_ERR_SOCKET, 0u);
    }
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 &&
        size / 2 < kEventReceiveBuffer) {  // the kernel reports twice what was asked
      (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kEventReceiveBuffer, sizeof kEventReceiveBuffer);
    }
    netsnmp_session in;
    snmp_sess_init(&in);
    in.version = SNMP_DEFAULT_VERSION;
    in.callback = eventReceived;
    in.callback_magic = session.get();
    in.isAuthoritative = SNMP_SESS_UNKNOWNAUTH;
    // snmp_sess_add owns the transport from here on, and closes it when it fails.
    session->sessp.reset(snmp_sess_add(&in, transport, eventArriving, eventParsed));
    if (!session->sessp) return fail(OVSNMP_ERR_SOCKET, 0u);
    session->fd = fd;

    const OVsnmpSession handle = nextHandle();
    if (handle == 0) return fail(OVSNMP_ERR_INTERNAL, 0u);
    session->handle = handle;
    State &st = state();
    st.by_fd[fd] = handle;
    st.watched.insert(handle);
    st.sessions.emplace(handle, std::move(session));
    return handle;
  } catch (const std::bad_alloc &) {
    return fail(OVSNMP_ERR_NOMEM, 0u);
  }
}

int OVsnmpGetEventDrops(OVsnmpSession session, OVsnmpEventDrops *drops) {
  Session *s = findSession(session);
  if (s == nullptr || !s->event) return fail(OVSNMP_ERR_BAD_SESSION, -1);
  if (drops == nullptr) return fail(OVSNMP_ERR_BAD_ARG, -1);
  *drops = s->drops;
  return 0;
}

size_t OVsnmpGetLocalEngineId(uint8_t *buffer, size_t capacity) {
  if (buffer == nullptr) return 0;
  initNetSnmp();
  std::array<u_char, 64> id{};
  const size_t length = snmpv3_get_engineID(id.data(), id.size());
  if (length == 0 || length > capacity) return 0;
  std::memcpy(buffer, id.data(), length);
  return length;
}

int OVsnmpGetRetryInfo(fd_set *read_fds, struct timeval *timeout) {
  if (int code = KestaraFaultCheck("OVsnmpGetRetryInfo")) return fail(code, 0);
  if (read_fds == nullptr || timeout == nullptr) return fail(OVSNMP_ERR_BAD_ARG, 0);
  State &st = state();
  std::optional<timeval> due = timeval{kIdleWaitMicros / 1000000, kIdleWaitMicros % 1000000};
  int highest = -1;
  const auto now = std::chrono::steady_clock::now();
  for (OVsnmpSession handle : st.watched) {
    Session *session = findSession(handle);
    if (session == nullptr) continue;
    earliest(due, dueIn(*session, now));
    if (session->fd < 0 || session->fd >= FD_SETSIZE) continue;
    FD_SET(session->fd, read_fds);
    highest = std::max(highest, session->fd);
  }
  if (st.ready > 0) due = timeval{};
  *timeout = *due;
  return highest + 1;
}

void OVsnmpRead(fd_set *read_fds) {
  if (read_fds == nullptr) return;
  const int fault = KestaraFaultCheck("OVsnmpRead");
  try {
    ReadyList ready;
    for (OVsnmpSession handle : state().watched) {
      Session *session = findSession(handle);
      if (session != nullptr && session->fd >= 0 && session->fd < FD_SETSIZE &&
          FD_ISSET(session->fd, read_fds)) {
        ready.push(handle);
      }
    }
    readSessions(ready.handles(), fault);
  } catch (const std::bad_alloc &) {
    // Nothing read this time; what waits is read on the next pass.
  }
}

int OVsnmpGetPollInfo(struct pollfd *fds, size_t capacity, int *timeout_ms) {
  if (int code = KestaraFaultCheck("OVsnmpGetPollInfo")) return fail(code, -1);
  if (timeout_ms == nullptr || (fds == nullptr && capacity > 0)) {
    return fail(OVSNMP_ERR_BAD_ARG, -1);
  }
  State &st = state();
  std::optional<timeval> due;
  size_t count = 0;
  // The clock is read only when something is in flight (the loop asks at every pass).
  const auto now = st.watched.empty() ? std::chrono::steady_clock::time_point{}
                                      : std::chrono::steady_clock::now();
  for (OVsnmpSession handle : st.watched) {
    Session *session = findSession(handle);
    if (session == nullptr || session->fd < 0) continue;
    earliest(due, dueIn(*session, now));
    if (count < capacity) fds[count] = pollfd{session->fd, POLLIN, 0};
    ++count;
  }
  if (st.ready > 0) due = timeval{};
  if (!due) {
    *timeout_ms = -1;
  } else {
    // Rounded up, so that the loop does not wake just before the retransmission is due.
    const long long ms = static_cast<long long>(due->tv_sec) * 1000 + (due->tv_usec + 999) / 1000;
    *timeout_ms = static_cast<int>(std::min<long long>(ms, INT_MAX));
  }
  return static_cast<int>(std::min<size_t>(count, INT_MAX));
}

void OVsnmpReadPoll(const struct pollfd *fds, size_t count) {
  if (fds == nullptr) return;
  const int fault = KestaraFaultCheck("OVsnmpReadPoll");
  try {
    const State &st = state();
    ReadyList ready;
    for (size_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      auto it = st.by_fd.find(fds[i].fd);
      if (it != st.by_fd.end() && st.watched.contains(it->second)) ready.push(it->second);
    }
    readSessions(ready.handles(), fault);
  } catch (const std::bad_alloc &) {
    // Nothing read this time; what waits is read on the next pass.
  }
}

void OVsnmpDoRetry(void) {
  try {
    // net-snmp reports time-outs inside snmp_sess_timeout, which changes what is watched.
    // Only the sessions with something due (or not known) are handed to it.
    const State &st = state();
    const auto now = st.watched.empty() ? std::chrono::steady_clock::time_point{}
                                        : std::chrono::steady_clock::now();
    std::vector<void *> sessions;
    for (OVsnmpSession handle : st.watched) {
      Session *session = findSession(handle);
      if (session == nullptr) continue;
      const std::optional<timeval> due = dueIn(*session, now);
      if (!due || timerisset(&*due)) continue;
      session->dueKnown = false;  // net-snmp retransmits or gives up: ask again afterwards
      sessions.push_back(session->sessp.get());
    }
    for (void *sessp : sessions) snmp_sess_timeout(sessp);
  } catch (const std::bad_alloc &) {
    // The time-outs are handled on the next pass.
  }
  continueSessions();
  deliverCompletions();
}

}  // extern "C"
