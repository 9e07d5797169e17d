#include "core/json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace corvane {
namespace {

using ::testing::HasSubstr;

TEST(JsonStringLiteral, IsTheWritersTextWithoutBrackets) {
  EXPECT_EQ(jsonStringLiteral("plain"), "\"plain\"");
  EXPECT_EQ(jsonStringLiteral("a\"b\\c\nd\te\x01"), R"("a\"b\\c\nd\te\u0001")");
  EXPECT_EQ(jsonStringLiteral("é/"), "\"é/\"");
  EXPECT_EQ(jsonStringLiteral(""), "\"\"");
  EXPECT_EQ(jsonStringLiteral("bad \xff"), "\"\"");
}

TEST(EscapeLineSeparators, ReplacesOnlyTheTwoSeparators) {
  EXPECT_EQ(escapeLineSeparators("a\xE2\x80\xA8" "b\xE2\x80\xA9" "c"), "a\\u2028b\\u2029c");
  // U+2027 and U+202A share the lead bytes and stay.
  EXPECT_EQ(escapeLineSeparators("\xE2\x80\xA7\xE2\x80\xAA"), "\xE2\x80\xA7\xE2\x80\xAA");
  EXPECT_EQ(escapeLineSeparators("end\xE2\x80"), "end\xE2\x80");
  EXPECT_EQ(escapeLineSeparators(""), "");
}

TEST(CompactJsonSize, MatchesTheWriterOnEveryKindOfValue) {
  std::string allBytes;
  for (int c = 1; c < 0x80; ++c) allBytes += static_cast<char>(c);
  const Json cases[] = {
      nullptr,
      true,
      false,
      0,
      -1,
      INT64_MIN,
      INT64_MAX,
      UINT64_MAX,
      9.5,
      -0.0,
      1e300,
      0.1,
      9.0,
      "",
      allBytes,
      std::string("nul\0byte", 8),
      "é€😀\xE2\x80\xA8",
      std::string(40, '"') + std::string(17, '\\') + std::string(33, '\n') + std::string(5, '\x1f'),
      Json::array(),
      Json::object(),
      {{"a", {1, 2, {{"b", nullptr}}}}, {"quote\"key", "v"}, {"", Json::array({Json::object()})}},
  };
  for (const auto& value : cases) EXPECT_EQ(compactJsonSize(value), dumpCompact(value).size()) << dumpCompact(value);
  // Text the writer cannot write as it stands has no size.
  EXPECT_EQ(compactJsonSize(Json("bad\xff")), SIZE_MAX);
  EXPECT_EQ(compactJsonSize(Json{{"k\xc3", 1}}), SIZE_MAX);
}

TEST(ExactInteger, AcceptsOnlyNumbersThatAreWholeAndInRange) {
  const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
      {"9", 9},
      {"-3", -3},
      {"9.0", 9},
      {"9.5", std::nullopt},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"1e300", std::nullopt},
      {"9007199254740992.0", std::nullopt},
      {"\"9\"", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(exactInteger(*parseJson(text)), expected) << text;
}

TEST(ParseJson, ReadsNumbersBeyondSixtyFourBitsAndByteOrderMarks) {
  auto big = parseJson(R"({"n":123456789012345678901234567890})");
  ASSERT_TRUE(big.has_value());
  EXPECT_TRUE((*big)["n"].is_number_float());
  auto bom = parseJson("\xEF\xBB\xBF[1]");
  ASSERT_TRUE(bom.has_value());
  EXPECT_EQ(*bom, Json::array({1}));
  auto mixed = parseJson(R"([-3, 18446744073709551615, 2.5, true, null, "é\u00e9\ud83d\ude00"])");
  ASSERT_TRUE(mixed.has_value());
  EXPECT_EQ(dumpCompact(*mixed), "[-3,18446744073709551615,2.5,true,null,\"éé😀\"]");
}

TEST(ParseJson, RepeatedNamesKeepTheFirstPlaceAndTheLastValue) {
  auto parsed = parseJson(R"({"a":1,"b":2,"a":3})");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(dumpCompact(*parsed), R"({"a":3,"b":2})");
  // The same rule once the object is large enough to be indexed.
  std::string text = "{";
  for (int i = 0; i < 100; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  text += "\"k5\":\"last\"}";
  parsed = parseJson(text);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->size(), 100u);
  EXPECT_EQ((*parsed)["k5"], "last");
  EXPECT_EQ(std::distance(parsed->begin(), parsed->find("k5")), 5);
}

TEST(ParseJson, ManyMembersAndTheGeneralReaderStayLinear) {
  // 200,000 members: a quadratic insertion would not finish within the test's time-out.
  for (const char* tail : {"1", "1e999999"}) {
    std::string text = "{";
    for (int i = 0; i < 200000; ++i) text += "\"k" + std::to_string(i) + "\":0,";
    text += std::string("\"last\":") + tail + "}";
    auto parsed = parseJson(text);
    if (std::string(tail) == "1") {
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(parsed->size(), 200001u);
    } else {
      EXPECT_FALSE(parsed.has_value());
    }
  }
}

TEST(ParseJson, FailuresAreValues) {
  auto truncated = parseJson("{\"a\":");
  ASSERT_FALSE(truncated.has_value());
  EXPECT_THAT(truncated.error(), HasSubstr("column 6"));
  EXPECT_FALSE(parseJson("").has_value());
  EXPECT_FALSE(parseJson("[1] 2").has_value());
  EXPECT_FALSE(parseJson("\"\xff\"").has_value());
  EXPECT_FALSE(parseJson("\"\\ud800\"").has_value());
  auto deep = parseJson(std::string(2000, '[') + std::string(2000, ']'));
  EXPECT_THAT(deep, testing::FailedWith("JSON nesting deeper than 1024 levels"));
  // Also through the general reader (a number beyond 64 bits sends it there).
  deep = parseJson("[1e999999," + std::string(2000, '[') + std::string(2000, ']') + "]");
  EXPECT_FALSE(deep.has_value());
  EXPECT_TRUE(parseJson(std::string(1000, '[') + std::string(1000, ']')).has_value());
}

TEST(Member, FindsOnlyObjectMembers) {
  Json object = {{"a", 1}};
  ASSERT_NE(member(object, "a"), nullptr);
  EXPECT_EQ(*member(object, "a"), 1);
  EXPECT_EQ(member(object, "b"), nullptr);
  EXPECT_EQ(member(Json::array({1}), "a"), nullptr);
}

}  // namespace
}  // namespace corvane
