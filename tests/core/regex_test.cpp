#include "core/regex.h"

#include "core/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvane {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> texts(const std::vector<Regex::Match>& matches) {
  std::vector<std::string> out;
  for (const auto& m : matches) out.emplace_back(m.text());
  return out;
}

TEST(Regex, TemplatesInsertGroupsAndEscapes) {
  Regex date("(\\d{4})-(\\d{2})-(\\d{2})");
  EXPECT_EQ(date.replaceAll("on 2026-01-15 and 2025-12-31", "$3/$2/$1"), "on 15/01/2026 and 31/12/2025");
  EXPECT_EQ(date.replaceAll("2026-01-15", "[$0] \\$1 \\\\"), "[2026-01-15] $1 \\");
  // $10 is group 1 followed by "0" when there is no group 10; $ before a non-digit is literal.
  EXPECT_EQ(date.replaceAll("2026-01-15", "$10 $ $x"), "20260 $ $x");
  Regex eleven("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)");
  EXPECT_EQ(eleven.replaceAll("abcdefghijk", "$11$10$1"), "kja");
  // A group that did not take part inserts nothing.
  EXPECT_EQ(Regex("(x)?y").replaceAll("y", "[$1]"), "[]");
}

TEST(Regex, EmptyMatchesAdvanceOneCharacter) {
  Regex star("x*");
  EXPECT_EQ(star.replaceAll("abc", "-"), "-a-b-c-");
  EXPECT_EQ(star.replaceAll("aé", "-"), "-a-é-");
  EXPECT_EQ(star.replaceAll("xxa", "-"), "--a-");
  EXPECT_THAT(texts(Regex("\\b").allMatches("ab cd")), ElementsAre("", "", "", ""));
  EXPECT_EQ(Regex("").replaceAll("", "!"), "!");
}

TEST(Regex, CaseInsensitiveMatchingIsUnicodeAware) {
  Regex word("ÉTÉ", Regex::CaseInsensitive);
  EXPECT_TRUE(word.matches("un été chaud"));
  EXPECT_FALSE(Regex("ÉTÉ").matches("un été chaud"));
  EXPECT_THAT(texts(Regex("raw clips", Regex::CaseInsensitive).allMatches("Raw Clips / RAW CLIPS")),
              ElementsAre("Raw Clips", "RAW CLIPS"));
}

TEST(Regex, InvalidUtf8SubjectsNeverMatch) {
  Regex any(".");
  EXPECT_FALSE(any.matches("abc\xFF"));
  EXPECT_TRUE(any.allMatches("\xC3(").empty());
  EXPECT_EQ(any.replaceAll("a\xFF", "x"), "a\xFF");
}

TEST(Regex, BadPatternsFromInputAreFailures) {
  auto bad = Regex::compile("(unclosed");
  ASSERT_FALSE(bad.has_value());
  EXPECT_THAT(bad.error(), ::testing::HasSubstr("at offset"));
  EXPECT_TRUE(Regex::compile("ok+").has_value());
}

TEST(Regex, ForEachStopsWhenAsked) {
  int seen = 0;
  Regex("\\d").forEach("1 2 3 4", [&](const Regex::Match&) { return ++seen < 2; });
  EXPECT_EQ(seen, 2);
  auto m = Regex("(\\w+)@(\\w+)").firstMatch("mail: me@host.");
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->group(2), "host");
  EXPECT_EQ(m->start(), 6u);
  EXPECT_EQ(m->end(), 13u);
}

TEST(Regex, MatchLoopsOverLargeSubjectsStayLinear) {
  // Two mebibytes of short non-ASCII matches, empty matches included: a loop
  // that re-validated the subject at each match would take hours here and
  // fail on the test time-out.
  std::string subject;
  for (int i = 0; i < 300000; ++i) subject += "é,a;";
  EXPECT_EQ(Regex(",").allMatches(subject).size(), 300000u);
  std::string replaced = Regex("[,;]").replaceAll(subject, "$0$0");
  EXPECT_EQ(replaced.size(), subject.size() + 600000);
  EXPECT_EQ(Regex("z*").allMatches(subject).size(), corvane::codePointCount(subject) + 1);
}

}  // namespace
}  // namespace corvane
