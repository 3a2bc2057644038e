// Tests of the escaping of untrusted text for console lines, and of the reply limiter.
#include "log_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "udp_server.h"

namespace {

TEST(LogText, ControlBytesAreEscapedAndTheRestKept) {
  EXPECT_STREQ("plain text: Zürich #1", LogText("plain text: Zürich #1").c_str());
  EXPECT_STREQ("a\\x0ab\\x0dc\\x09d\\x1b[2Je\\x7f", LogText("a\nb\rc\td\x1b[2Je\x7f").c_str());
  EXPECT_STREQ("nul\\x00inside", LogText(std::string_view("nul\0inside", 10)).c_str());
  EXPECT_STREQ("up to the nul", LogText("up to the nul\0not this").c_str());
  EXPECT_STREQ("(null)", LogText(static_cast<const char *>(nullptr)).c_str());
  EXPECT_STREQ("", LogText("").c_str());
  // The system's own texts may end in a newline, which is kept when asked for; no other is.
  EXPECT_STREQ("gethostname failed\n",
               LogText("gethostname failed\n", LogText::LineEnd::kKeep).c_str());
  EXPECT_STREQ("a\\x0ab\n", LogText("a\nb\n", LogText::LineEnd::kKeep).c_str());
  EXPECT_STREQ("a\\x0a", LogText("a\n").c_str());
}

TEST(LogText, LongTextIsCutAndMarked) {
  const std::string controls(LogText::kMaxShown + 100, '\n');
  LogText shown(controls);
  EXPECT_EQ(LogText::kMaxShown * 4 + 3, shown.view().size());
  EXPECT_TRUE(shown.view().ends_with("\\x0a..."));
  const std::string unterminated(LogText::kMaxShown + 1, 'x');
  EXPECT_EQ(std::string(LogText::kMaxShown, 'x') + "...", LogText(unterminated.c_str()).view());
}

in_addr address(const char *text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

TEST(ReplyLimiter, BurstThenRatePerAddress) {
  ReplyLimiter limiter({10, 20, 4});
  auto t = ReplyLimiter::Clock::now();
  int allowed = 0;
  for (int i = 0; i < 100; ++i) allowed += limiter.allow(address("192.0.2.1"), t) ? 1 : 0;
  EXPECT_EQ(20, allowed);
  // Another address has its own budget.
  EXPECT_TRUE(limiter.allow(address("192.0.2.2"), t));
  // Tokens come back at the rate: 10 a second.
  t += std::chrono::milliseconds(500);
  allowed = 0;
  for (int i = 0; i < 100; ++i) allowed += limiter.allow(address("192.0.2.1"), t) ? 1 : 0;
  EXPECT_EQ(5, allowed);
  // Loopback sources are never limited.
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(limiter.allow(address("127.0.0.9"), t));
}

TEST(ReplyLimiter, AddressesBeyondTheTableShareOneBudget) {
  ReplyLimiter limiter({10, 5, 2});
  auto t = ReplyLimiter::Clock::now();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(limiter.allow(address("198.51.100.1"), t));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(limiter.allow(address("198.51.100.2"), t));
  // The table is full of busy addresses: newcomers share one bucket, so a flood of forged
  // sources can't get more than one budget between them.
  int allowed = 0;
  for (int i = 0; i < 100; ++i) {
    const std::string a = "203.0.113." + std::to_string(i + 1);
    allowed += limiter.allow(address(a.c_str()), t) ? 1 : 0;
  }
  EXPECT_EQ(5, allowed);
  // Once the first addresses have been idle long enough to be full again, they are forgotten
  // and a newcomer gets a bucket of its own.
  t += std::chrono::seconds(1);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(limiter.allow(address("203.0.113.200"), t));
}

}  // namespace
