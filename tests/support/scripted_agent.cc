// scripted_agent.cc - test support: an SNMP agent on loopback that answers as its script says.
#include "scripted_agent.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

namespace kt {

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kGetRequest = 0xA0;
constexpr uint8_t kGetNextRequest = 0xA1;
constexpr uint8_t kGetResponse = 0xA2;

// One TLV read from a buffer.
struct Tlv {
  uint8_t tag = 0;
  std::span<const uint8_t> content;
};

// Reads the TLV at `pos` and moves `pos` past it. Nothing when it does not fit the buffer.
std::optional<Tlv> readTlv(std::span<const uint8_t> in, size_t &pos) {
  if (pos + 2 > in.size()) return std::nullopt;
  Tlv tlv;
  tlv.tag = in[pos++];
  size_t length = in[pos++];
  if (length & 0x80) {
    size_t octets = length & 0x7f;
    if (octets == 0 || octets > 4 || pos + octets > in.size()) return std::nullopt;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | in[pos++];
  }
  if (length > in.size() - pos) return std::nullopt;
  tlv.content = in.subspan(pos, length);
  pos += length;
  return tlv;
}

std::optional<int64_t> readInteger(std::span<const uint8_t> content) {
  if (content.empty() || content.size() > 8) return std::nullopt;
  int64_t value = (content[0] & 0x80) ? -1 : 0;
  for (uint8_t b : content) value = static_cast<int64_t>((static_cast<uint64_t>(value) << 8) | b);
  return value;
}

void append(Bytes &out, std::span<const uint8_t> more) {
  out.insert(out.end(), more.begin(), more.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) append(out, p);
  return out;
}

Bytes bytesOf(const std::string &text) { return Bytes(text.begin(), text.end()); }

// The value TLV of an answer.
Bytes valueOf(const Step &step) {
  switch (step.valueTag) {
    case 0x80:
    case 0x81:
    case 0x82:
    case kNull:
      return {step.valueTag, 0x00};
    case kInteger:
    case 0x41:
    case 0x42:
    case 0x43: {
      Bytes v = berInteger(std::strtoll(step.value.c_str(), nullptr, 10));
      v[0] = step.valueTag;
      return v;
    }
    case 0x46: {  // Counter64: unsigned, with a leading zero octet when the top bit is set
      uint64_t value = std::strtoull(step.value.c_str(), nullptr, 10);
      Bytes content;
      for (; value != 0; value >>= 8) content.insert(content.begin(), static_cast<uint8_t>(value));
      if (content.empty() || (content[0] & 0x80) != 0) content.insert(content.begin(), 0x00);
      return berTlv(step.valueTag, content);
    }
    default:
      return berTlv(step.valueTag, bytesOf(step.value));
  }
}

}  // namespace

Bytes berLength(size_t length) {
  if (length < 0x80) return {static_cast<uint8_t>(length)};
  Bytes octets;
  for (size_t l = length; l != 0; l >>= 8) octets.insert(octets.begin(), static_cast<uint8_t>(l));
  octets.insert(octets.begin(), static_cast<uint8_t>(0x80 | octets.size()));
  return octets;
}

Bytes berTlv(uint8_t tag, std::span<const uint8_t> content) {
  Bytes out{tag};
  append(out, berLength(content.size()));
  append(out, content);
  return out;
}

Bytes berInteger(int64_t value) {
  Bytes content;
  for (int shift = 56; shift >= 0; shift -= 8) {
    content.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> shift));
  }
  // Minimal form: drop leading octets that only repeat the sign.
  while (content.size() > 1 && ((content[0] == 0x00 && !(content[1] & 0x80)) ||
                                (content[0] == 0xff && (content[1] & 0x80)))) {
    content.erase(content.begin());
  }
  return berTlv(kInteger, content);
}

Bytes berOidContent(const std::string &dotted) {
  std::vector<uint32_t> ids;
  size_t pos = 0;
  while (pos < dotted.size()) {
    size_t dot = dotted.find('.', pos);
    if (dot == std::string::npos) dot = dotted.size();
    ids.push_back(
        static_cast<uint32_t>(std::strtoul(dotted.substr(pos, dot - pos).c_str(), nullptr, 10)));
    pos = dot + 1;
  }
  Bytes out;
  if (ids.size() < 2) return out;
  auto push = [&out](uint32_t v) {
    Bytes group{static_cast<uint8_t>(v & 0x7f)};
    for (v >>= 7; v != 0; v >>= 7)
      group.insert(group.begin(), static_cast<uint8_t>(0x80 | (v & 0x7f)));
    append(out, group);
  };
  push(ids[0] * 40 + ids[1]);
  for (size_t i = 2; i < ids.size(); ++i) push(ids[i]);
  return out;
}

std::optional<Request> parseRequest(std::span<const uint8_t> message) {
  size_t pos = 0;
  auto outer = readTlv(message, pos);
  if (!outer || outer->tag != kSequence) return std::nullopt;
  size_t at = 0;
  auto version = readTlv(outer->content, at);
  auto community = readTlv(outer->content, at);
  auto pdu = readTlv(outer->content, at);
  if (!version || version->tag != kInteger || !community || community->tag != kOctetString ||
      !pdu || (pdu->tag != kGetRequest && pdu->tag != kGetNextRequest)) {
    return std::nullopt;
  }
  Request r;
  auto v = readInteger(version->content);
  if (!v) return std::nullopt;
  r.version = *v;
  r.community.assign(community->content.begin(), community->content.end());
  r.pduType = pdu->tag;
  size_t in = 0;
  auto id = readTlv(pdu->content, in);
  auto status = readTlv(pdu->content, in);
  auto index = readTlv(pdu->content, in);
  auto bindings = readTlv(pdu->content, in);
  if (!id || !status || !index || !bindings || bindings->tag != kSequence) return std::nullopt;
  auto reqid = readInteger(id->content);
  if (!reqid) return std::nullopt;
  r.requestId = *reqid;
  size_t b = 0;
  auto first = readTlv(bindings->content, b);
  if (first && first->tag == kSequence) {
    size_t n = 0;
    auto name = readTlv(first->content, n);
    if (name && name->tag == kOid) r.firstName.assign(name->content.begin(), name->content.end());
  }
  return r;
}

Step genErr(int errorIndex) {
  Step step;
  step.act = Act::kErrorStatus;
  step.errorStatus = 5;
  step.errorIndex = errorIndex;
  return step;
}

Step otherVariable() {
  Step step;
  step.name = "1.3.6.1.2.1.1.1.0";
  step.valueTag = kInteger;
  step.value = "7";
  return step;
}

Bytes ScriptedAgent::encodeAnswer(const Request &request, const Step &step) {
  if (step.act == Act::kGarbage) return {0xff, 0x01, 'g', 'a', 'r', 'b', 'a', 'g', 'e'};
  const Bytes answeredName = step.name.empty() ? request.firstName : berOidContent(step.name);
  Bytes binding;
  if (step.act == Act::kErrorStatus) {
    binding = berTlv(kSequence, concat({berTlv(kOid, answeredName), Bytes{kNull, 0x00}}));
    // Bindings the request did not hold, named after the asked one (.1, .2, ...).
    for (int i = 1; i <= step.extraBindings; ++i) {
      Bytes name = answeredName;
      name.push_back(static_cast<uint8_t>(i));
      append(binding, berTlv(kSequence, concat({berTlv(kOid, name), Bytes{kNull, 0x00}})));
    }
  } else if (step.act == Act::kException) {
    binding = berTlv(kSequence, concat({berTlv(kOid, answeredName), Bytes{step.valueTag, 0x00}}));
  } else if (step.act == Act::kHugeLength) {
    // The value claims 0x7fffffff bytes; the datagram holds only the real ones. The enclosing
    // lengths count what is really there.
    Bytes value{kOctetString, 0x84, 0x7f, 0xff, 0xff, 0xff};
    append(value, bytesOf(step.value));
    binding = berTlv(kSequence, concat({berTlv(kOid, answeredName), value}));
  } else {
    binding = berTlv(kSequence, concat({berTlv(kOid, answeredName), valueOf(step)}));
  }
  Bytes bindings = step.act == Act::kNoBinding ? berTlv(kSequence, {}) : berTlv(kSequence, binding);
  int64_t id = step.act == Act::kWrongId ? request.requestId + 7919 : request.requestId;
  int status = step.act == Act::kErrorStatus ? step.errorStatus : 0;
  int index = step.act == Act::kErrorStatus ? step.errorIndex : 0;
  uint8_t tag = step.act == Act::kNotResponse ? kGetRequest : kGetResponse;
  Bytes pdu =
      berTlv(tag, concat({berInteger(id), berInteger(status), berInteger(index), bindings}));
  Bytes content =
      concat({berInteger(request.version), berTlv(kOctetString, bytesOf(request.community)), pdu});
  if (step.act == Act::kOverLength) {
    Bytes message{kSequence};
    append(message, berLength(content.size() + 40));
    append(message, content);
    return message;
  }
  Bytes message = berTlv(kSequence, content);
  if (step.act == Act::kTruncated) message.resize(message.size() / 2);
  return message;
}

ScriptedAgent::ScriptedAgent(std::vector<Step> script, Step fallback, const char *address)
    : script_(std::move(script)), fallback_(std::move(fallback)), address_(address) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sa.sin_addr);
  socklen_t len = sizeof sa;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedAgent::~ScriptedAgent() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

std::string ScriptedAgent::peer() const { return address_ + ":" + std::to_string(port_); }

void ScriptedAgent::setScript(std::vector<Step> script, Step fallback) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
  fallback_ = std::move(fallback);
  next_ = 0;
}

void ScriptedAgent::sendNow(const Bytes &bytes, const sockaddr_in &to) {
  (void)sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to);
}

void ScriptedAgent::handle(std::span<const uint8_t> message, const sockaddr_in &from) {
  std::optional<Request> request = parseRequest(message);
  if (!request) return;
  ++requests_;
  Step step;
  {
    std::lock_guard lock(mutex_);
    step = next_ < script_.size() ? script_[next_] : fallback_;
    ++next_;
  }
  if (step.act == Act::kSilent) return;
  Bytes answer = encodeAnswer(*request, step);
  auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  if (step.delay.count() > 0) {
    Pending p{now + step.delay, answer, from};
    auto at = std::upper_bound(pending_.begin(), pending_.end(), p.due,
                               [](auto due, const Pending &q) { return due < q.due; });
    pending_.insert(at, std::move(p));
    if (step.act == Act::kDuplicate) {
      Pending again{now + step.delay, answer, from};
      pending_.insert(std::upper_bound(pending_.begin(), pending_.end(), again.due,
                                       [](auto due, const Pending &q) { return due < q.due; }),
                      std::move(again));
    }
    return;
  }
  sendNow(answer, from);
  if (step.act == Act::kDuplicate) sendNow(answer, from);
}

void ScriptedAgent::serve() {
  std::array<uint8_t, 65536> buffer{};
  while (!stop_) {
    int wait_ms = 20;
    {
      std::lock_guard lock(mutex_);
      auto now = std::chrono::steady_clock::now();
      while (!pending_.empty() && pending_.front().due <= now) {
        sendNow(pending_.front().bytes, pending_.front().to);
        pending_.pop_front();
      }
      if (!pending_.empty()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(pending_.front().due - now);
        wait_ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 20));
      }
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n =
        recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n <= 0) continue;
    handle(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), from);
  }
}

}  // namespace kt
