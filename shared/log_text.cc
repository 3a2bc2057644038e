// log_text.cc - text from the network or the database, made safe for a console line or a log.
#include "log_text.h"

#include <cstring>

LogText::LogText(std::string_view text, LineEnd end) {
  static constexpr char kHex[] = "0123456789abcdef";
  const bool lineEnd = end == LineEnd::kKeep && !text.empty() && text.back() == '\n';
  if (lineEnd) text.remove_suffix(1);
  const bool cut = text.size() > kMaxShown;
  if (cut) text = text.substr(0, kMaxShown);
  size_t n = 0;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) {
      text_[n++] = '\\';
      text_[n++] = 'x';
      text_[n++] = kHex[b >> 4];
      text_[n++] = kHex[b & 0xf];
    } else {
      text_[n++] = c;
    }
  }
  if (cut) {
    std::memcpy(text_.data() + n, "...", 3);
    n += 3;
  }
  if (lineEnd) text_[n++] = '\n';
  text_[n] = '\0';
  length_ = n;
}

LogText::LogText(const char *text, LineEnd end)
    : LogText(text == nullptr ? std::string_view("(null)")
                              : std::string_view(text, strnlen(text, kMaxShown + 2)),
              end) {}
