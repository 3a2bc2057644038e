// snmp_value_fuzz.cc - snmpGet's value-to-text rendering over arbitrary responses, into the
// three buffer sizes the programs use, and the gateway's identifier parser.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fake_ovsnmp.h"
#include "gateway.h"
#include "snmp_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  // The identifier text parser: whatever the text, the count stays within the array or
  // reports the overflow.
  size_t text_len = std::min<size_t>(data[0], size - 1);
  std::array<OVsnmpOid, kMaxIdentifier> identifier{};
  std::string_view text(reinterpret_cast<const char *>(data + 1), text_len);
  size_t count = parseIdentifier(text, identifier);
  if (count > identifier.size() + 1) std::abort();
  if (count > identifier.size()) count = identifier.size();

  std::span<const uint8_t> script(data + 1 + text_len, size - 1 - text_len);
  OVsnmpSession session = OVsnmpOpen(nullptr, "node", -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  for (size_t capacity : {size_t{128}, size_t{52}, size_t{1}}) {
    fakeSnmpScript(script);
    // Guard bytes after the buffer catch any write past its end.
    std::vector<char> out(capacity + 8, '\x7e');
    size_t n = std::max<size_t>(count, 1);
    std::vector<OVsnmpOid> oid(n + 4, 0xabababab);
    std::copy_n(identifier.begin(), n, oid.begin());
    (void)snmpGet(session, n, std::span<OVsnmpOid>(oid.data(), n),
                  capacity == 1 ? OVSNMP_GETNEXT_REQ : OVSNMP_GET_REQ,
                  std::span<char>(out.data(), capacity));
    if (std::memchr(out.data(), '\0', capacity) == nullptr) std::abort();
    for (size_t i = capacity; i < out.size(); ++i) {
      if (out[i] != '\x7e') std::abort();
    }
    for (size_t i = n; i < oid.size(); ++i) {
      if (oid[i] != 0xabababab) std::abort();
    }
    if (fakeSnmpLivePdus() != 0) std::abort();
  }
  (void)OVsnmpClose(session);
  return 0;
}
