// gateway.h - the applet gateway: each datagram is one request and gets one reply; every request
// that waits for an agent or a console is in flight at once, so that none waits behind another.
#ifndef KESTARA_GATEWAY_GATEWAY_H
#define KESTARA_GATEWAY_GATEWAY_H

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "OVsnmp.h"
#include "handles.h"
#include "protocol.h"
#include "sessions.h"
#include "udp_server.h"

inline constexpr size_t kMaxIdentifier = 50;

// Whether the gateway may open a session to an agent name (see agent_policy.h).
enum class AgentVerdict {
  kNode,        // the name is, or resolves to, an SNMP node of the object database
  kNetwork,     // every address of the name lies in a network the operator listed
  kRefused,     // neither
  kNoDatabase,  // refused: the object database can't be read
};

// The request words of the protocol.
enum class Command { kGetHostName, kOpenSession, kGetData, kGetIpAddress, kCloseSession, kOther };

// One request as it arrived: the command and its fields, each as the field splitter gives it
// (at most 127 characters; the text ends at its first NUL). Views into the datagram.
struct ParsedRequest {
  Command command = Command::kOther;
  std::string_view word;    // field 0
  std::string_view first;   // field 1: a node name or a session number
  std::string_view second;  // field 2: an object identifier
};
[[nodiscard]] ParsedRequest parseRequest(std::string_view text);

// How many requests that wait for an agent or a console run at once. Past the limits a request
// waits its turn in a bounded queue; past the queue it is refused at once with its command's
// failure text ("No Response", "0.0.0.0", "failed: Quenby not responding").
struct RequestLimits {
  size_t inFlightPerAddress = 8;  // TAVRIN_REQUESTS_PER_ADDRESS
  size_t inFlight = 256;          // TAVRIN_REQUESTS_MAX
  size_t waitingPerAddress = 32;
  size_t waiting = 1024;

  // The defaults above, with the two variables named from the environment where they hold a
  // number in range.
  static RequestLimits fromEnvironment();
};

class Gateway {
 public:
  using Clock = std::chrono::steady_clock;
  // Sends one reply: `text` (at most 127 bytes, no terminator) to the request's sender.
  using SendReply = std::function<void(const UdpPeer &to, std::string_view text)>;
  using CheckAgent = std::function<AgentVerdict(std::string_view name)>;

  struct Options {
    bool traceServer = false;     // -ds: each request and reply, and the console exchange
    bool traceInterface = false;  // -di: the interface address lookup
    SessionLimits sessions;
    RequestLimits requests;
  };

  Gateway(Options options, CheckAgent checkAgent, SendReply sendReply);
  // Requests still in flight end without a reply.
  ~Gateway();
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  // Handles one request datagram (its bytes; the text ends at its first NUL) from `from`. The
  // reply is sent now, or when the agent or console it waits for has answered.
  void handle(std::string_view datagram, const UdpPeer &from);

  // For the caller's wait: appends the descriptors the gateway waits on (console exchanges,
  // POLLIN) to `fds`, and gives the next time something is due (an exchange's time-out, a
  // session falling idle), if any.
  void pollInfo(std::vector<pollfd> &fds, std::optional<Clock::time_point> &due) const;
  // After the wait: reads the exchanges that are ready among `fds` (those pollInfo gave),
  // ends those whose time is up, and closes idle sessions.
  void service(std::span<const pollfd> fds, Clock::time_point now);

  size_t inFlight() const { return inFlight_.size(); }
  size_t waiting() const { return waiting_.size(); }
  OVsnmpSession currentSession() const { return currentSession_; }
  const SessionTable &sessions() const { return sessions_; }

 private:
  struct Pending;
  // A request's record travels in a list entry: between the lists it is spliced, so that a
  // request costs no allocation once records and entries are there to be used again.
  using PendingList = std::list<std::unique_ptr<Pending>>;
  struct Counts {
    size_t inFlight = 0;
    size_t waiting = 0;
  };

  static void snmpCompleted(OVsnmpSession session, int error, OVsnmpPdu *response, void *context);

  void openSession(ParsedRequest request, const UdpPeer &from, std::span<char, kReplySize> reply);
  void closeSession(ParsedRequest request, const UdpPeer &from, std::span<char, kReplySize> reply);
  // The session a request names, when its sender may use it; 0 (no session) otherwise, so
  // that a session of another address is answered as one that does not exist.
  OVsnmpSession usableSession(const sockaddr_in &sender);
  // Takes a request that waits for an agent or a console: starts it, queues it, or refuses it.
  void admit(PendingList one);
  // Starts the work of an admitted request; it may end at once.
  void start(PendingList::iterator it);
  // Starts waiting requests while there is room.
  void startWaiting();
  // Replies and forgets a request in flight.
  void finish(Pending &pending);
  void reply(const UdpPeer &to, std::string_view text);
  void expireSessions(Clock::time_point now);
  Counts &countsOf(in_addr address);
  // A request's record, taken from the spare ones when there is one.
  // A one-entry list with a request's record, taken from the spare ones when there is one.
  PendingList newPending();
  // Keeps the record of `it` (in `from`) for a later request, or frees it.
  void recycle(PendingList &from, PendingList::iterator it);

  Options options_;
  CheckAgent checkAgent_;
  SendReply sendReply_;
  SessionTable sessions_;
  // The session last opened or last read from a request; it keeps its value from one request
  // to the next, as the protocol says.
  OVsnmpSession currentSession_ = 0;
  PendingList inFlight_;
  PendingList waiting_;
  std::unordered_map<uint32_t, Counts> counts_;
  PendingList spare_;      // records of requests that have ended
  bool starting_ = false;  // inside startWaiting: finish() leaves the starting to it
  uint64_t refused_ = 0;
  Clock::time_point lastRefusalReport_{};
};

// Reads a session number as "%u" would: optional blanks and sign, then digits (wrapping
// modulo 2^32). Returns false, leaving `value` alone, when there are no digits.
bool parseUnsigned(std::string_view text, OVsnmpSession &value);

// Parses dotted decimal into `identifier`: each component read as "%d" would (a component
// without digits takes a slot with the value 0). Returns the number of components, or
// identifier.size() + 1 when there are more than fit.
size_t parseIdentifier(std::string_view text, std::span<OVsnmpOid> identifier);

#endif  // KESTARA_GATEWAY_GATEWAY_H
