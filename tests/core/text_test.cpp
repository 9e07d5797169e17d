#include "core/text.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(Utf8, ValidityFollowsTheStrictRules) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"é€😀", true},
      {std::string(100, 'a') + "é", true},
      {"\xC3", false},                       // truncated
      {"\xC0\xAF", false},                   // overlong
      {"\xE0\x80\xAF", false},               // overlong, three bytes
      {"\xED\xA0\x80", false},               // surrogate
      {"\xF4\x90\x80\x80", false},           // above U+10FFFF
      {"\xFF", false},
      {std::string(64, 'a') + "\x80", false}, // stray continuation after a long ASCII run
  };
  for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << c.text;
}

TEST(Utf8, SanitizeReplacesEachBadByte) {
  EXPECT_EQ(sanitizeUtf8("a\xFF" "b\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(sanitizeUtf8("ok é"), "ok é");
}

TEST(Utf8, CodePointCountsAndCuts) {
  EXPECT_EQ(codePointCount("aé€😀"), 4u);
  EXPECT_EQ(prefixCodePoints("aé€😀", 2), "aé");
  EXPECT_EQ(prefixCodePoints("aé€😀", 0), "");
  EXPECT_EQ(prefixCodePoints("aé", 10), "aé");
  // A byte cut never splits a character.
  EXPECT_EQ(prefixBytesAtBoundary("a€b", 2), "a");
  EXPECT_EQ(prefixBytesAtBoundary("a€b", 4), "a€");
  EXPECT_EQ(prefixBytesAtBoundary("a€b", 99), "a€b");
}

TEST(Utf8, DecodeAndAppendRoundTrip) {
  std::string text = "aé€😀";
  std::string rebuilt;
  for (size_t i = 0; i < text.size();) appendCodePoint(rebuilt, decodeCodePoint(text, i));
  EXPECT_EQ(rebuilt, text);
  size_t i = 0;
  EXPECT_EQ(decodeCodePoint("\xFF" "a", i), U'\uFFFD');
  EXPECT_EQ(i, 1u);
}

TEST(Utf8, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trimUnicodeWhitespace(" \t\n\u00A0\u3000 x y \u2029\r"), "x y");
  // A zero-width space is not white space.
  EXPECT_EQ(trimUnicodeWhitespace("\u200Bx"), "\u200Bx");
  EXPECT_EQ(trimUnicodeWhitespace(" \u00A0 "), "");
}

TEST(Text, SmallHelpers) {
  EXPECT_EQ(toLowerAscii("AbC-É"), "abc-É");
  EXPECT_TRUE(equalsIgnoreCaseAscii("APP", "app"));
  EXPECT_FALSE(equalsIgnoreCaseAscii("app", "apps"));
  EXPECT_TRUE(startsWith("corvane", "cor"));
  EXPECT_TRUE(endsWith("x.jsonl", ".jsonl"));
  EXPECT_FALSE(endsWith("l", ".jsonl"));
  EXPECT_EQ(escapeHtmlText("a<b>&\"c\""), "a&lt;b&gt;&amp;\"c\"");
}

}  // namespace
}  // namespace corvane
