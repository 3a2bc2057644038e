// gateway.cc - the applet request protocol: requests in, one reply each, every one that waits
// for an agent or a console in flight at once.
#include "gateway.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "host_name.h"
#include "ip_address.h"
#include "log_text.h"
#include "snmp_ops.h"
#include "text.h"

bool parseUnsigned(std::string_view text, OVsnmpSession &value) {
  const std::optional<uint32_t> number = scanDecimal(text);
  if (!number) return false;
  value = static_cast<OVsnmpSession>(*number);
  return true;
}

size_t parseIdentifier(std::string_view text, std::span<OVsnmpOid> identifier) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    if (count == identifier.size()) return identifier.size() + 1;
    const std::string_view rest = text.substr(pos);
    size_t used = 0;
    identifier[count++] = static_cast<OVsnmpOid>(
        scanDecimal(std::span<const char>(rest.data(), rest.size()), used).value_or(0));
    // What a number is made of holds no dot: the next one is at or after its end.
    pos += used;
    const size_t dot = pos < text.size() && text[pos] == '.' ? pos : text.find('.', pos);
    pos = dot == std::string_view::npos ? text.size() + 1 : dot + 1;
  }
  return count;
}

namespace {

constexpr std::string_view kOpenFailed = "failed: Could not open SNMP session";
// A field as the splitter gives it: at most this many characters.
constexpr size_t kMaxField = kReplySize - 1;
// How often refused requests are reported while refusals go on.
constexpr std::chrono::seconds kRefusalReportInterval{60};
// Records of ended requests kept for the next ones, and addresses whose counts are kept once
// they have nothing in flight or waiting (beyond it, idle ones are forgotten).
constexpr size_t kSpareRecords = 64;
constexpr size_t kCountedAddresses = 4096;

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

const char *commandName(Command c) {
  switch (c) {
    case Command::kGetData:
      return "getSnmpData";
    case Command::kGetIpAddress:
      return "getIpAddress";
    case Command::kGetHostName:
      return "getHostName";
    default:
      return "request";
  }
}

}  // namespace

RequestLimits RequestLimits::fromEnvironment() {
  RequestLimits l;
  l.inFlightPerAddress = environmentNumber("TAVRIN_REQUESTS_PER_ADDRESS", 1,
                                           OVSNMP_MAX_SESSION_REQUESTS, l.inFlightPerAddress);
  l.inFlight = environmentNumber("TAVRIN_REQUESTS_MAX", 1, OVSNMP_MAX_REQUESTS, l.inFlight);
  return l;
}

ParsedRequest parseRequest(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::array<std::string_view, 3> fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    const size_t hash = text.find('#');
    fields[i] = text.substr(0, std::min(hash, kMaxField));
    if (hash == std::string_view::npos) break;
    text.remove_prefix(hash + 1);
  }
  ParsedRequest r;
  r.word = fields[0];
  r.first = fields[1];
  r.second = fields[2];
  if (r.word == "getHostName") {
    r.command = Command::kGetHostName;
  } else if (r.word == "openSnmpSession") {
    r.command = Command::kOpenSession;
  } else if (r.word == "getSnmpData") {
    r.command = Command::kGetData;
  } else if (r.word == "getIpAddress") {
    r.command = Command::kGetIpAddress;
  } else if (r.word == "closeSession") {
    r.command = Command::kCloseSession;
  }
  return r;
}

// A request that waits for an agent or a console, from its arrival to its reply.
struct Gateway::Pending {
  Gateway *gateway = nullptr;
  Command command = Command::kOther;
  UdpPeer from;
  OVsnmpSession session = 0;
  std::array<OVsnmpOid, kMaxIdentifier> identifier{};
  size_t count = 0;
  std::array<char, kReplySize> reply{};
  std::unique_ptr<IpAddressLookup> lookup;  // getIpAddress
  UniqueFd exchange;                        // getHostName, while it waits for the console
  Clock::time_point deadline{};
  PendingList::iterator self;  // its place in the in-flight list
};

Gateway::Gateway(Options options, CheckAgent checkAgent, SendReply sendReply)
    : options_(std::move(options)),
      checkAgent_(std::move(checkAgent)),
      sendReply_(std::move(sendReply)),
      sessions_(options_.sessions) {}

Gateway::~Gateway() = default;

void Gateway::reply(const UdpPeer &to, std::string_view text) {
  text = text.substr(0, std::min(text.find('\0'), kReplySize - 1));
  if (options_.traceServer) {
    std::printf("  Returning %s to Applet on port %d\n",
                LogText(text, LogText::LineEnd::kKeep).c_str(), ntohs(to.remote.sin_port));
  }
  sendReply_(to, text);
}

Gateway::Counts &Gateway::countsOf(in_addr address) {
  if (counts_.size() >= kCountedAddresses && !counts_.contains(address.s_addr)) {
    std::erase_if(counts_,
                  [](const auto &c) { return c.second.inFlight == 0 && c.second.waiting == 0; });
  }
  return counts_[address.s_addr];
}

Gateway::PendingList Gateway::newPending() {
  PendingList one;
  if (spare_.empty()) {
    one.push_back(std::make_unique<Pending>());
  } else {
    one.splice(one.end(), spare_, spare_.begin());
  }
  return one;
}

void Gateway::recycle(PendingList &from, PendingList::iterator it) {
  if (spare_.size() >= kSpareRecords) {
    from.erase(it);
    return;
  }
  // Only what a request reads before it writes is reset.
  Pending &p = **it;
  p.session = 0;
  p.count = 0;
  p.reply[0] = '\0';
  p.lookup.reset();
  p.exchange.reset();
  spare_.splice(spare_.end(), from, it);
}

OVsnmpSession Gateway::usableSession(const sockaddr_in &sender) {
  return sessions_.use(currentSession_, sender.sin_addr, Clock::now()) ? currentSession_ : 0;
}

void Gateway::handle(std::string_view datagram, const UdpPeer &from) {
  const std::string_view text = datagram.substr(0, datagram.find('\0'));
  if (options_.traceServer) std::printf("\tReceived: %s\n", LogText(text).c_str());
  const ParsedRequest request = parseRequest(text);
  std::array<char, kReplySize> buffer{};
  switch (request.command) {
    case Command::kOther:
      reply(from, request.word);
      return;
    case Command::kOpenSession:
      openSession(request, from, buffer);
      reply(from, buffer.data());
      return;
    case Command::kCloseSession:
      closeSession(request, from, buffer);
      reply(from, buffer.data());
      return;
    case Command::kGetData:
    case Command::kGetIpAddress:
    case Command::kGetHostName:
      break;
  }
  PendingList one = newPending();
  Pending *pending = one.front().get();
  pending->gateway = this;
  pending->command = request.command;
  pending->from = from;
  if (request.command == Command::kGetHostName) {
    copyText(pending->reply, request.word);
  } else {
    // The number and the identifier are read now, in the order the requests came, so that a
    // request without a number names the session its predecessor named.
    (void)parseUnsigned(request.first, currentSession_);
    pending->count = parseIdentifier(request.second, pending->identifier);
    if (pending->count > pending->identifier.size()) {
      // More components than the request identifier holds: nothing can be asked for it.
      recycle(one, one.begin());
      reply(from, request.command == Command::kGetData ? kNoSuchObject : "0.0.0.0");
      return;
    }
    pending->session = usableSession(from.remote);
  }
  admit(std::move(one));
}

void Gateway::openSession(ParsedRequest request, const UdpPeer &from,
                          std::span<char, kReplySize> reply) {
  std::copy(request.first.begin(), request.first.end(), reply.begin());
  const char *node = reply.data();
  const sockaddr_in &sender = from.remote;
  if (options_.traceServer) std::printf("Nodename from Applet: %s\n", LogText(node).c_str());
  const std::string address = addressText(sender.sin_addr);
  OVsnmpSession session = 0;
  const AgentVerdict verdict = checkAgent_ ? checkAgent_(node) : AgentVerdict::kRefused;
  std::optional<SessionTable::Entry> reclaimed;
  const auto now = Clock::now();
  if (verdict == AgentVerdict::kRefused) {
    std::printf("openSnmpSession from %s refused: %s is not an SNMP node of the object database\n",
                address.c_str(), LogText(node).c_str());
  } else if (verdict == AgentVerdict::kNoDatabase) {
    std::printf("openSnmpSession from %s refused: the object database can't be read\n",
                address.c_str());
  } else {
    switch (sessions_.admit(sender.sin_addr, now, reclaimed)) {
      case SessionTable::Admit::kAddressFull:
        std::printf("openSnmpSession from %s refused: %zu sessions open from this address\n",
                    address.c_str(), sessions_.limits().perAddress);
        break;
      case SessionTable::Admit::kTableFull:
        std::printf("openSnmpSession from %s refused: %zu sessions open\n", address.c_str(),
                    sessions_.limits().total);
        break;
      case SessionTable::Admit::kYes:
        if (reclaimed) {
          printClosed(*reclaimed, now, " to make room");
          // Its requests in flight end now, answered as for a closed session.
          const bool holding = std::exchange(starting_, true);
          (void)snmpClose(reclaimed->handle);
          starting_ = holding;
        }
        session = snmpOpen(node);
        if (session != 0) sessions_.add(session, sender.sin_addr, now);
        break;
    }
  }
  currentSession_ = session;
  std::printf("  SessionID = %d from %s\n", static_cast<int>(session), address.c_str());
  if (session != 0) {
    std::snprintf(reply.data(), reply.size(), "%u", session);
  } else {
    std::snprintf(reply.data(), reply.size(), "%.*s", static_cast<int>(kOpenFailed.size()),
                  kOpenFailed.data());
  }
  if (reclaimed) startWaiting();
}

void Gateway::closeSession(ParsedRequest request, const UdpPeer &from,
                           std::span<char, kReplySize> reply) {
  (void)parseUnsigned(request.first, currentSession_);
  std::snprintf(reply.data(), reply.size(), "close");
  if (usableSession(from.remote) == 0) {
    // Not a session of this sender: refused as the library refuses an unknown one.
    std::printf("OVsnmpClose encountered bad SessionID %d\n", static_cast<int>(currentSession_));
    return;
  }
  // Requests in flight on the session end now, answered as for a closed session; waiting
  // requests start only once the close is done.
  const bool holding = std::exchange(starting_, true);
  const bool closed = snmpClose(currentSession_);
  starting_ = holding;
  if (closed) {
    sessions_.remove(currentSession_);
    std::printf("Successfully closed session %d\n", static_cast<int>(currentSession_));
  }
  startWaiting();
}

void Gateway::admit(PendingList one) {
  const Pending *pending = one.front().get();
  const RequestLimits &limits = options_.requests;
  Counts &counts = countsOf(pending->from.remote.sin_addr);
  if (counts.inFlight < limits.inFlightPerAddress && inFlight_.size() < limits.inFlight &&
      waiting_.empty()) {
    ++counts.inFlight;
    inFlight_.splice(inFlight_.end(), one);
    start(std::prev(inFlight_.end()));
    return;
  }
  if (counts.waiting < limits.waitingPerAddress && waiting_.size() < limits.waiting) {
    ++counts.waiting;
    waiting_.splice(waiting_.end(), one);
    startWaiting();
    return;
  }
  // No room even to wait: refused at once, with the command's failure text.
  ++refused_;
  const auto now = Clock::now();
  if (refused_ == 1 || now - lastRefusalReport_ >= kRefusalReportInterval) {
    lastRefusalReport_ = now;
    std::printf("Too many requests: %llu refused so far, the last a %s from %s\n",
                static_cast<unsigned long long>(refused_), commandName(pending->command),
                addressText(pending->from.remote.sin_addr).c_str());
  }
  const UdpPeer from = pending->from;
  const Command command = pending->command;
  recycle(one, one.begin());
  reply(from, command == Command::kGetData        ? kNoResponse
              : command == Command::kGetIpAddress ? std::string_view("0.0.0.0")
                                                  : kQuenbyNotResponding);
}

void Gateway::start(PendingList::iterator it) {
  Pending &p = **it;
  p.self = it;
  switch (p.command) {
    case Command::kGetData:
      if (!sendRead(p.session, std::span(p.identifier).first(p.count), OVSNMP_GET_REQ, p.reply,
                    snmpCompleted, &p)) {
        finish(p);
      }
      return;
    case Command::kGetIpAddress:
      p.lookup = std::make_unique<IpAddressLookup>(
          p.session, std::span(p.identifier).first(p.count), options_.traceInterface, p.reply);
      if (p.lookup->start(snmpCompleted, &p) == IpAddressLookup::Step::kDone) finish(p);
      return;
    case Command::kGetHostName:
      if (startHostName(p.reply, std::strlen(p.reply.data()), p.from.remote, options_.traceServer,
                        p.exchange) == HostNameStep::kDone) {
        finish(p);
        return;
      }
      p.deadline = Clock::now() + std::chrono::seconds(kQuenbyTimeoutSeconds);
      return;
    default:
      finish(p);
      return;
  }
}

void Gateway::snmpCompleted(OVsnmpSession session, int error, OVsnmpPdu *response, void *context) {
  Pending &p = *static_cast<Pending *>(context);
  if (OVsnmpIsSecurityRefusal(error)) {
    std::printf("SNMPv3 request on session %u refused: %s\n", session, OVsnmpErrString(error));
  }
  if (p.command == Command::kGetData) {
    (void)completeRead(error, response, std::span(p.identifier).first(p.count), OVSNMP_GET_REQ,
                       p.identifier, p.reply);
    p.gateway->finish(p);
    return;
  }
  if (p.lookup->answered(error, response, snmpCompleted, &p) == IpAddressLookup::Step::kDone) {
    p.gateway->finish(p);
  }
}

void Gateway::finish(Pending &p) {
  // What the request held (its exchange socket) is given back before the reply goes out.
  const UdpPeer from = p.from;
  const std::array<char, kReplySize> text = p.reply;
  --countsOf(from.remote.sin_addr).inFlight;
  recycle(inFlight_, p.self);  // `p` is not to be used from here on
  reply(from, text.data());
  if (!starting_) startWaiting();
}

void Gateway::startWaiting() {
  if (starting_) return;
  starting_ = true;
  const RequestLimits &limits = options_.requests;
  for (auto it = waiting_.begin(); it != waiting_.end() && inFlight_.size() < limits.inFlight;) {
    const auto next = std::next(it);
    Counts &counts = countsOf((*it)->from.remote.sin_addr);
    if (counts.inFlight < limits.inFlightPerAddress) {
      --counts.waiting;
      ++counts.inFlight;
      inFlight_.splice(inFlight_.end(), waiting_, it);
      start(std::prev(inFlight_.end()));
    }
    it = next;
  }
  starting_ = false;
}

void Gateway::pollInfo(std::vector<pollfd> &fds, std::optional<Clock::time_point> &due) const {
  due = sessions_.nextExpiry();
  for (const auto &p : inFlight_) {
    if (p->exchange.get() < 0) continue;
    fds.push_back(pollfd{p->exchange.get(), POLLIN, 0});
    if (!due || p->deadline < *due) due = p->deadline;
  }
}

void Gateway::service(std::span<const pollfd> fds, Clock::time_point now) {
  std::vector<Pending *> answered;
  std::vector<Pending *> late;
  for (const auto &p : inFlight_) {
    if (p->exchange.get() < 0) continue;
    const bool ready = std::ranges::any_of(
        fds, [&](const pollfd &f) { return f.fd == p->exchange.get() && f.revents != 0; });
    if (ready) {
      answered.push_back(p.get());
    } else if (p->deadline <= now) {
      late.push_back(p.get());
    }
  }
  for (Pending *p : answered) {
    if (readHostNameAnswer(p->reply, options_.traceServer, p->exchange) == HostNameStep::kDone) {
      finish(*p);
    } else if (p->deadline <= now) {
      late.push_back(p);
    }
  }
  for (Pending *p : late) {
    hostNameTimedOut(p->reply);
    finish(*p);
  }
  expireSessions(now);
}

void Gateway::expireSessions(Clock::time_point now) {
  const bool holding = std::exchange(starting_, true);
  bool closed = false;
  for (const SessionTable::Entry &e : sessions_.expire(now)) {
    printClosed(e, now, "");
    (void)snmpClose(e.handle);
    closed = true;
  }
  starting_ = holding;
  if (closed) startWaiting();
}
