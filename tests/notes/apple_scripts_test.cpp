// The script builders and reply readers, without any Notes behind them.
#include "notes/apple_scripts.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace corvane::notes::scripts {
namespace {

TEST(AppleScriptsTest, EscapesQuotesBackslashesAndDropsNul) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"a\\b", "a\\\\b"},
      {"\\\"", "\\\\\\\""},
      {std::string("a\0b", 3), "ab"},
      {"line\r\nbreak\x1e\x1f", "line\r\nbreak\x1e\x1f"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(escape(in), out) << in;
  EXPECT_EQ(quotedList({}), "{}");
  EXPECT_EQ(quotedList({"a", "b\"c"}), "{\"a\", \"b\\\"c\"}");
}

TEST(AppleScriptsTest, ScriptsHaveTheirExactText) {
  EXPECT_EQ(body("x\"1"), "tell application \"Notes\" to get body of note id \"x\\\"1\"");
  EXPECT_EQ(setBody("id", "<div>a</div>"),
            "tell application \"Notes\"\n    set body of note id \"id\" to \"<div>a</div>\"\nend tell");
  EXPECT_EQ(attachmentCounts({"a"}),
            "set RS to (ASCII character 30)\n"
            "tell application \"Notes\"\n"
            "    set ids to {\"a\"}\n"
            "    set out to \"\"\n"
            "    repeat with anId in ids\n"
            "        set c to \"-1\"\n"
            "        try\n"
            "            set c to (count of attachments of note id (anId as string)) as string\n"
            "        on error number errNum\n"
            "            if errNum is -1728 then set c to \"-2\"\n"
            "        end try\n"
            "        set out to out & c & RS\n"
            "    end repeat\n"
            "    return out\n"
            "end tell");
  // The cap line sits right after the count, and only for a positive limit.
  EXPECT_NE(listNotes(5).find("    set n to count of theIds\n    if n > 5 then set n to 5\n    set out to \"\""),
            std::string::npos);
  EXPECT_EQ(listNotes(0), listNotes(-3));
  EXPECT_EQ(listNotes(0).find("if n >"), std::string::npos);
}

TEST(AppleScriptsTest, SecondsAreReadWithoutTheLocale) {
  const std::pair<std::string, std::optional<double>> cases[] = {
      {"1712345678", 1712345678.0}, {"1.712345678E+9", 1712345678.0}, {" 1,5E+3 ", 1500.0},
      {"-3600.5", -3600.5},         {"+12", 12.0},                     {"", std::nullopt},
      {"abc", std::nullopt},        {"12abc", std::nullopt},           {"inf", std::nullopt},
      {"nan", std::nullopt},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(parseSeconds(in), out) << in;
}

TEST(AppleScriptsTest, NoteRecordsKeepSeparatorsInNames) {
  std::string reply = std::string("id1\x1fPlain\x1f") + "1.712345678E+9\x1e" +  // real in E notation
                      "id2\x1fWith\x1fUS\x1f" + "100\x1e" +                       // US inside the name
                      "id3\x1fWith\x1eRS\x1f" + "7\x1e" +                         // RS inside the name
                      "\x1fno id\x1f" + "1\x1e" +                                  // skipped
                      "id4\x1f\x1fnot a number\x1e";                              // age 0, empty name
  auto notes = parseNoteRecords(reply);
  ASSERT_TRUE(notes) << notes.error();
  ASSERT_EQ(notes->size(), 4u);
  EXPECT_EQ((*notes)[0].id, "id1");
  EXPECT_EQ((*notes)[0].age, -1712345678);
  EXPECT_EQ((*notes)[1].name, "With\x1fUS");
  EXPECT_EQ((*notes)[1].age, -100);
  EXPECT_EQ((*notes)[2].id, "id3");
  EXPECT_EQ((*notes)[2].name, "With\x1eRS");
  EXPECT_EQ((*notes)[3].name, "");
  EXPECT_EQ((*notes)[3].age, 0);

  EXPECT_TRUE(parseNoteRecords("")->empty());
  EXPECT_FALSE(parseNoteRecords("garbage from somewhere"));
  EXPECT_FALSE(parseNoteRecords("half\x1frecord\x1e"));
}

TEST(AppleScriptsTest, PiecesMustMatchTheIds) {
  EXPECT_EQ(*splitPieces("a\x1e" "b\x1e", 2), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(*splitPieces("\x1e\x1e", 2), (std::vector<std::string>{"", ""}));
  // One id: the whole reply is its text, separators and all.
  EXPECT_EQ(*splitPieces("a\x1e" "b\x1e", 1), (std::vector<std::string>{"a\x1e" "b"}));
  EXPECT_FALSE(splitPieces("a\x1e" "b\x1e" "c\x1e", 2));
  EXPECT_FALSE(splitPieces("a\x1e", 2));
  EXPECT_FALSE(splitPieces("", 1));
  EXPECT_FALSE(splitPieces("no framing", 1));

  EXPECT_EQ(parseCounts({"a", "b", "c"}, "2\x1e-2\x1ejunk\x1e"), (std::map<std::string, int64_t>{{"a", 2}, {"b", -2}}));
  EXPECT_TRUE(parseCounts({"a", "b"}, "1\x1e").empty());
  auto bodies = parseBodies({"a", "b"}, {"1\x1f<div>x\x1fy</div>", "0\x1f"});
  EXPECT_EQ(bodies, (std::map<std::string, std::string>{{"a", "<div>x\x1fy</div>"}}));
}

TEST(AppleScriptsTest, BackupRecordsSplitPathsOnlyBeforeTheFolder) {
  auto records = parseBackupRecords("1\x1f/tmp/a,b/att_1.dat,/tmp/a,b/att_2.dat\x1f" "1\x1e" "0\x1f\x1f" "0\x1e", 2,
                                    "/tmp/a,b");
  ASSERT_TRUE(records) << records.error();
  EXPECT_EQ((*records)[0].paths, (std::vector<std::string>{"/tmp/a,b/att_1.dat", "/tmp/a,b/att_2.dat"}));
  EXPECT_EQ((*records)[0].failCount, 1);
  EXPECT_FALSE((*records)[1].noteOk);
  EXPECT_TRUE((*records)[1].paths.empty());
  EXPECT_FALSE(parseBackupRecords("1\x1f\x1fx\x1e", 1, "/t"));
  EXPECT_FALSE(parseBackupRecords("1\x1f\x1f" "0\x1e", 2, "/t"));
}

TEST(AppleScriptsTest, RecognisesRefusedAutomation) {
  EXPECT_TRUE(isAutomationDenied("execution error: Not Authorized To Send Apple Events to Notes. (-1743)"));
  EXPECT_TRUE(isAutomationDenied("(-1743)"));
  EXPECT_TRUE(isAutomationDenied("errAEEventNotPermitted"));
  EXPECT_FALSE(isAutomationDenied("Can't get note id \"x\". (-1728)"));
}

}  // namespace
}  // namespace corvane::notes::scripts
