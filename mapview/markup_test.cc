// Tests of the one escaping of names placed in HTML and SVG.
#include "markup.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Markup, HostileNamesCannotMakeMarkup) {
  EXPECT_EQ("&lt;script&gt;alert(1)&lt;/script&gt;", escapeMarkup("<script>alert(1)</script>"));
  // Attribute values in either quote stay closed; references are never taken as written.
  EXPECT_EQ("x&quot; onload=&quot;alert(1)", escapeMarkup("x\" onload=\"alert(1)"));
  EXPECT_EQ("&#39;&gt;&lt;svg/onload=alert(1)&gt;", escapeMarkup("'><svg/onload=alert(1)>"));
  EXPECT_EQ("AT&amp;T &amp;amp; &amp;lt;", escapeMarkup("AT&T &amp; &lt;"));
  EXPECT_EQ("]]&gt;&lt;!--", escapeMarkup("]]><!--"));
  EXPECT_EQ("", escapeMarkup(""));
}

TEST(Markup, OrdinaryTextIsKept) {
  EXPECT_EQ("router7.example.com", escapeMarkup("router7.example.com"));
  EXPECT_EQ("127.0.0.1:1161 (Varnis Console)", escapeMarkup("127.0.0.1:1161 (Varnis Console)"));
  // Well-formed UTF-8 of every length passes unchanged.
  EXPECT_EQ("Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80",
            escapeMarkup("Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80"));
}

// Bytes that would make an SVG document ill-formed, or a page show something else, become
// U+FFFD one by one.
TEST(Markup, ControlCharactersAndBrokenUtf8AreReplaced) {
  EXPECT_EQ("a" + kReplacement + "b" + kReplacement + kReplacement,
            escapeMarkup(std::string("a\nb\x01\x7f")));
  EXPECT_EQ(kReplacement + "x", escapeMarkup(std::string("\0x", 2)));
  EXPECT_EQ(kReplacement, escapeMarkup("\xC2\x85"));      // C1 control NEL
  EXPECT_EQ(kReplacement, escapeMarkup("\xEF\xBF\xBE"));  // U+FFFE
  EXPECT_EQ(kReplacement + "a", escapeMarkup("\xFF"
                                             "a"));                  // no lead byte
  EXPECT_EQ(kReplacement + kReplacement, escapeMarkup("\xC0\xBC"));  // overlong '<'
  EXPECT_EQ(kReplacement + kReplacement + kReplacement, escapeMarkup("\xED\xA0\x80"));  // surrogate
  EXPECT_EQ(kReplacement + kReplacement, escapeMarkup("\xE2\x82"));  // cut short at the end
  EXPECT_EQ(kReplacement + "&lt;", escapeMarkup("\xE2<"));           // cut short by markup
  EXPECT_EQ(kReplacement + kReplacement + kReplacement + kReplacement,
            escapeMarkup("\xF4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
