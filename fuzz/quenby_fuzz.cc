// quenby_fuzz.cc - the selection name server's request handling, from datagram to reply.
//
// Input: one byte that splits the rest into the datagram (at most 256 bytes) and the text
// that the fake map lookup answers with. Checks: the reply is at most 128 bytes without a NUL,
// and a request other than getHostName is answered with its first field.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "request.h"
#include "selection.h"

namespace {
std::string_view g_answer;
}

// The map lookup, without a map: the fuzzer's bytes are the selection name.
void getSelectionName(std::span<char, 128> text) {
  size_t n = std::min(g_answer.size(), text.size() - 1);
  std::memcpy(text.data(), g_answer.data(), n);
  text[n] = '\0';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  size_t split = std::min<size_t>({data[0], size - 1, kQuenbyReceiveSize});
  std::string_view datagram(reinterpret_cast<const char *>(data + 1), split);
  g_answer = std::string_view(reinterpret_cast<const char *>(data + 1 + split), size - 1 - split);

  NameBuffer name;
  name.bytes.fill('\x5a');
  answerFromMap(datagram, name);
  std::string_view reply = replyText(name);
  if (reply.size() > kQuenbyNameSize || reply.find('\0') != std::string_view::npos) std::abort();
  std::string_view field = datagram.substr(0, datagram.find('\0'));
  field = field.substr(0, field.find('#'));
  if (field != "getHostName" && reply != field.substr(0, kQuenbyNameSize - 1)) std::abort();
  return 0;
}
