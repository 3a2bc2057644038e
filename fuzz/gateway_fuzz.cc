// gateway_fuzz.cc - the gateway's request handling, from datagram to reply text.
//
// Input: one byte that picks the sender (one of four addresses, so that sessions meet other
// senders) and the agent policy's verdict, one byte that splits the rest into the datagram (at
// most 256 bytes, as the socket gives it) and the script of the fake SNMP layer, which answers
// the requests in flight one by one. Checks: each request gets exactly one reply, of at most 127
// bytes; no PDU outlives a request; no address holds more sessions than its limit.
#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "fake_ovsnmp.h"
#include "gateway.h"

namespace {

AgentVerdict g_verdict = AgentVerdict::kNode;
int g_replies = 0;

Gateway &gateway() {
  static Gateway *g = [] {
    Gateway::Options options;
    options.sessions.perAddress = 3;
    options.sessions.total = 8;
    return new Gateway(
        options, [](std::string_view) { return g_verdict; },
        [](const UdpPeer &, std::string_view text) {
          if (text.size() >= kReplySize || text.find('\0') != std::string_view::npos) {
            std::abort();
          }
          ++g_replies;
        });
  }();
  return *g;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint8_t choice = data[0];
  data += 1;
  size -= 1;
  size_t split = std::min<size_t>(data[0], size - 1);
  split = std::min<size_t>(split, kRequestSize);
  std::string_view datagram(reinterpret_cast<const char *>(data + 1), split);
  fakeSnmpScript(std::span<const uint8_t>(data + 1 + split, size - 1 - split));
  g_verdict = static_cast<AgentVerdict>((choice >> 2) % 4);

  UdpPeer sender;
  sender.remote.sin_family = AF_INET;
  sender.remote.sin_addr.s_addr = htonl(0x0a000001u + (choice & 3u));
  sender.remote.sin_port = htons(40000);
  g_replies = 0;
  Gateway &g = gateway();
  g.handle(datagram, sender);
  // The library's answers, one by one, until nothing is in flight (a lookup sends at most 33).
  for (int i = 0; i < 64 && fakeSnmpCompleteOne(); ++i) {
  }
  if (fakeSnmpOutstanding() != 0 || g.inFlight() != 0 || g_replies != 1) std::abort();
  if (fakeSnmpLivePdus() != 0) std::abort();
  if (g.sessions().countOf(sender.remote.sin_addr) > 3 || g.sessions().size() > 8) std::abort();
  return 0;
}
