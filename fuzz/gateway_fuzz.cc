// gateway_fuzz.cc - the gateway's request handling, from datagram to reply text.
//
// Input: one byte that splits the rest into the datagram (at most 256 bytes, as the socket
// gives it) and the script of the fake SNMP layer, and one byte that picks the sender (one of
// four addresses, so that sessions meet other senders) and the agent policy's verdict. Checks:
// the reply is NUL-terminated within 128 bytes, its length is what handleRequest says, no PDU
// outlives a request, and no address holds more sessions than its limit.
#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "fake_ovsnmp.h"
#include "gateway.h"
#include "host_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint8_t choice = data[1];
  data += 1;
  size -= 1;
  size_t split = std::min<size_t>(data[0], size - 1);
  split = std::min<size_t>(split, kRequestSize);
  std::string_view datagram(reinterpret_cast<const char *>(data + 1), split);
  fakeSnmpScript(std::span<const uint8_t>(data + 1 + split, size - 1 - split));

  // Like the gateway's, the state lives across requests; small limits are reached quickly.
  static GatewayState state = [] {
    SessionLimits limits;
    limits.perAddress = 3;
    limits.total = 8;
    return GatewayState(limits);
  }();
  static AgentVerdict verdict = AgentVerdict::kNode;
  verdict = static_cast<AgentVerdict>((choice >> 2) % 4);
  state.checkAgent = [](std::string_view) { return verdict; };

  std::array<char, kReplySize> reply;
  reply.fill('\x5a');
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_addr.s_addr = htonl(0x0a000001u + (choice & 3u));
  sender.sin_port = htons(40000);
  size_t length = handleRequest(state, datagram.substr(0, datagram.find('\0')), sender, reply);
  const void *nul = std::memchr(reply.data(), '\0', reply.size());
  if (nul == nullptr || length != std::strlen(reply.data()) || length >= kReplySize) std::abort();
  if (fakeSnmpLivePdus() != 0) std::abort();
  if (state.sessions.countOf(sender.sin_addr) > 3 || state.sessions.size() > 8) std::abort();
  return 0;
}
