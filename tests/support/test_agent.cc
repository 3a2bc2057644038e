// test_agent.cc - test support: a scripted SNMP agent on loopback.
#include "test_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

namespace kt {

namespace {

using Bytes = std::vector<uint8_t>;

// One BER element inside a message: its tag, and where its whole encoding and its value lie.
struct Element {
  uint8_t tag = 0;
  size_t begin = 0;  // first byte of the tag
  size_t value = 0;  // first byte of the value
  size_t end = 0;    // one past the value
};

std::optional<Element> readElement(const Bytes &m, size_t at, size_t limit) {
  Element e;
  e.begin = at;
  if (at + 2 > limit) return std::nullopt;
  e.tag = m[at++];
  size_t length = m[at++];
  if (length & 0x80) {
    size_t octets = length & 0x7f;
    if (octets == 0 || octets > 3 || at + octets > limit) return std::nullopt;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | m[at++];
  }
  if (at + length > limit) return std::nullopt;
  e.value = at;
  e.end = at + length;
  return e;
}

Bytes encode(uint8_t tag, const Bytes &value) {
  Bytes out{tag};
  size_t n = value.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  }
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes slice(const Bytes &m, size_t begin, size_t end) {
  return Bytes(m.begin() + static_cast<ptrdiff_t>(begin), m.begin() + static_cast<ptrdiff_t>(end));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

ScriptedAgent::ScriptedAgent(Script script) : script_(script) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(local.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedAgent::~ScriptedAgent() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

std::string ScriptedAgent::peer() const { return "127.0.0.1:" + std::to_string(port_); }

void ScriptedAgent::serve() {
  Bytes buffer(65536);
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from),
                         &fromLength);
    if (n <= 0) continue;
    ++requests_;
    Bytes reply = answer(slice(buffer, 0, static_cast<size_t>(n)));
    if (reply.empty()) continue;
    (void)sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from),
                 fromLength);
  }
}

Bytes ScriptedAgent::answer(const Bytes &m) const {
  if (script_ == Script::kGarbage) return {0xff, 0x01, 'g', 'a', 'r', 'b', 'a', 'g', 'e'};
  auto message = readElement(m, 0, m.size());
  if (!message || message->tag != 0x30) return {};
  auto version = readElement(m, message->value, message->end);
  if (!version) return {};
  auto community = readElement(m, version->end, message->end);
  if (!community) return {};
  auto pdu = readElement(m, community->end, message->end);
  if (!pdu || pdu->tag != 0xA0) return {};
  auto requestId = readElement(m, pdu->value, pdu->end);
  if (!requestId) return {};
  auto status = readElement(m, requestId->end, pdu->end);
  if (!status) return {};
  auto index = readElement(m, status->end, pdu->end);
  if (!index) return {};
  auto bindings = readElement(m, index->end, pdu->end);
  if (!bindings) return {};
  auto first = readElement(m, bindings->value, bindings->end);
  auto name = first ? readElement(m, first->value, first->end) : std::nullopt;
  if (!name) return {};

  Bytes errorStatus = {0x02, 0x01, 0x00};
  Bytes errorIndex = {0x02, 0x01, 0x00};
  Bytes answered;
  switch (script_) {
    case Script::kErrorIndexZero:
    case Script::kErrorIndexOne:
      errorStatus[2] = 5;  // genErr
      errorIndex[2] = script_ == Script::kErrorIndexOne ? 1 : 0;
      answered = slice(m, bindings->begin, bindings->end);
      break;
    case Script::kOtherVariable: {
      Bytes sysDescr = encode(0x06, {0x2b, 6, 1, 2, 1, 1, 1, 0});
      answered = encode(0x30, encode(0x30, concat({sysDescr, encode(0x02, {7})})));
      break;
    }
    case Script::kLongString:
      answered = encode(
          0x30,
          encode(0x30, concat({slice(m, name->begin, name->end), encode(0x04, Bytes(1000, 'S'))})));
      break;
    case Script::kNoBinding:
      answered = encode(0x30, {});
      break;
    case Script::kGarbage:
      return {};
  }
  Bytes response = encode(0xA2, concat({slice(m, requestId->begin, requestId->end), errorStatus,
                                        errorIndex, answered}));
  return encode(0x30, concat({slice(m, version->begin, version->end),
                              slice(m, community->begin, community->end), response}));
}

}  // namespace kt
