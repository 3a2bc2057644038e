// log_text.h - text from the network or the database, made safe for a console line or a log.
#ifndef KESTARA_SHARED_LOG_TEXT_H
#define KESTARA_SHARED_LOG_TEXT_H

#include <array>
#include <cstddef>
#include <string_view>

// An escaped copy of untrusted text, to print with "%s". Control bytes (below 0x20, and 0x7f)
// are written as \xNN, so that a received newline can't start a forged line and an escape
// sequence can't reach a terminal; every other byte is kept. Text longer than kMaxShown bytes
// is cut there and marked with "...".
class LogText {
 public:
  static constexpr size_t kMaxShown = 512;

  // Whether a newline that ends the text is kept as it is: the system's own reply texts
  // "gethostname failed\n" and "failed:OVwInitSession, ...\n" end in one.
  enum class LineEnd { kEscape, kKeep };

  explicit LogText(std::string_view text, LineEnd end = LineEnd::kEscape);
  // A NUL-terminated text: up to the first NUL of `text`, as C strings are.
  explicit LogText(const char *text, LineEnd end = LineEnd::kEscape);

  const char *c_str() const { return text_.data(); }
  std::string_view view() const { return {text_.data(), length_}; }

 private:
  std::array<char, kMaxShown * 4 + 5> text_;
  size_t length_ = 0;
};

#endif  // KESTARA_SHARED_LOG_TEXT_H
