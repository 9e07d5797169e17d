#include "records/app_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "core/json.h"
#include "core/paths.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::records {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using corvane::testing::FailedWith;
using corvane::testing::FakeScheduler;
using corvane::testing::IsOk;
using corvane::testing::TempHome;
using std::chrono::milliseconds;
using std::chrono::seconds;

WallTime utc(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0, int ms = 0) {
  auto day = std::chrono::sys_days(std::chrono::year_month_day{std::chrono::year(y), std::chrono::month(m),
                                                               std::chrono::day(d)});
  return WallTime(day) + std::chrono::hours(hh) + std::chrono::minutes(mm) + seconds(ss) + milliseconds(ms);
}

std::vector<Json> readLines(const std::filesystem::path& file) {
  std::vector<Json> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    auto parsed = parseJson(line);
    EXPECT_TRUE(parsed.has_value()) << line;
    if (parsed) out.push_back(*parsed);
  }
  return out;
}

class AppLogTest : public ::testing::Test {
 protected:
  std::filesystem::path logs() const { return home.path() / ".local/share/Corvane/logs"; }

  TempHome home;
  FakeScheduler scheduler{utc(2026, 1, 15, 12)};
  std::unique_ptr<AppLog> log = std::make_unique<AppLog>(scheduler, scheduler.createQueue("com.corvane.applog"));
};

TEST_F(AppLogTest, WritesOneCompactLinePerEntryIntoThePrivateDayFile) {
  scheduler.setWallTime(utc(2026, 1, 15, 12, 0, 0, 7));
  log->write(LogLevel::Info, "app", "started \"quoted\"\nline");
  EXPECT_FALSE(std::filesystem::exists(logs())) << "nothing is written before the queue runs";
  log->flush();

  auto lines = readLines(logs() / "2026-01-15.jsonl");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(dumpCompact(lines[0]),
            R"({"ts":1768478400007,"level":"info","activity":"app","message":"started \"quoted\"\nline"})");
  EXPECT_EQ(corvane::testing::modeOf(logs()), 0700u);
  EXPECT_EQ(corvane::testing::modeOf(logs() / "2026-01-15.jsonl"), 0600u);
  EXPECT_FALSE(std::filesystem::exists(logs() / "pending-upload.jsonl"));
}

TEST_F(AppLogTest, DayFilesFollowUtcMidnightWhateverTheLocalZone) {
  ::setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: local date differs all day
  ::tzset();
  scheduler.setWallTime(utc(2026, 1, 15, 23, 59, 59, 999));
  log->write(LogLevel::Info, "app", "last of the day");
  scheduler.fastForwardBy(milliseconds(1));
  log->write(LogLevel::Info, "app", "first of the next");
  log->flush();
  ::unsetenv("TZ");
  ::tzset();

  auto first = readLines(logs() / "2026-01-15.jsonl");
  auto second = readLines(logs() / "2026-01-16.jsonl");
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(first[0]["message"], "last of the day");
  EXPECT_EQ(first[0]["ts"], 1768521599999);
  EXPECT_EQ(second[0]["ts"], 1768521600000);
}

TEST_F(AppLogTest, OnlyWarnAndErrorEntriesArePendingForUpload) {
  log->write(LogLevel::Debug, "a", "debug");
  log->write(LogLevel::Info, "a", "info");
  log->write(LogLevel::Warn, "a", "warn");
  log->write(LogLevel::Error, "a", "error");
  log->flush();

  EXPECT_EQ(readLines(logs() / "2026-01-15.jsonl").size(), 4u);
  auto pending = readLines(logs() / "pending-upload.jsonl");
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0]["level"], "warn");
  EXPECT_EQ(pending[1]["level"], "error");
}

TEST_F(AppLogTest, CutsActivityAndMessageOnCharactersNotBytes) {
  std::string message;
  for (int i = 0; i < 5000; ++i) message += "é";
  std::string activity(60, 'x');
  log->write(LogLevel::Info, activity, message);
  // Invalid UTF-8 is kept (with replacement characters), not dropped.
  log->write(LogLevel::Info, "bad\xff", "path \xc3(");
  log->flush();

  auto lines = readLines(logs() / "2026-01-15.jsonl");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["activity"].get<std::string>(), std::string(48, 'x'));
  std::string expected;
  for (int i = 0; i < 4096; ++i) expected += "é";
  EXPECT_EQ(lines[0]["message"].get<std::string>(), expected);
  EXPECT_EQ(lines[1]["activity"], "bad\xEF\xBF\xBD");
  EXPECT_EQ(lines[1]["message"], "path \xEF\xBF\xBD(");
}

TEST_F(AppLogTest, PruningRemovesOnlyDayFilesMoreThanFourteenDaysOld) {
  scheduler.setWallTime(utc(2026, 1, 15));  // midnight
  for (const char* name : {"2026-01-01.jsonl", "2025-12-31.jsonl", "2026-01-02.jsonl", "notes.jsonl",
                           "2026-13-01.jsonl", "2025-02-30.jsonl", "pending-upload.jsonl", "2020-01-01.txt"})
    home.write(std::filesystem::path(".local/share/Corvane/logs") / name, "{}\n");
  std::filesystem::create_directories(logs() / "2019-01-01.jsonl");  // a folder is not a day file

  log->startMaintenance();
  scheduler.runUntilIdle();
  // Exactly fourteen days old at midnight: kept; older: removed.
  EXPECT_TRUE(std::filesystem::exists(logs() / "2026-01-01.jsonl"));
  EXPECT_FALSE(std::filesystem::exists(logs() / "2025-12-31.jsonl"));

  scheduler.setWallTime(utc(2026, 1, 15, 0, 0, 1));
  log->startMaintenance();
  scheduler.runUntilIdle();
  EXPECT_FALSE(std::filesystem::exists(logs() / "2026-01-01.jsonl"));
  for (const char* kept : {"2026-01-02.jsonl", "notes.jsonl", "2026-13-01.jsonl", "2025-02-30.jsonl",
                           "pending-upload.jsonl", "2020-01-01.txt", "2019-01-01.jsonl"})
    EXPECT_TRUE(std::filesystem::exists(logs() / kept)) << kept;
}

TEST_F(AppLogTest, PruningWithoutALogFolderDoesNothing) {
  log->startMaintenance();
  scheduler.runUntilIdle();
  EXPECT_FALSE(std::filesystem::exists(logs()));
}

TEST_F(AppLogTest, RewritingThePendingFileGoesThroughTheTemporary) {
  for (int i = 0; i < 3; ++i) log->write(LogLevel::Error, "a", "e" + std::to_string(i));
  log->flush();
  auto lines = log->readPendingLines();
  ASSERT_TRUE(lines.has_value());
  ASSERT_EQ(lines->size(), 3u);

  ASSERT_THAT(log->rewritePendingFile({(*lines)[1], (*lines)[2]}), IsOk());
  EXPECT_EQ(home.read(".local/share/Corvane/logs/pending-upload.jsonl"), (*lines)[1] + "\n" + (*lines)[2] + "\n");
  EXPECT_FALSE(std::filesystem::exists(logs() / "pending-upload.jsonl.tmp"));
  EXPECT_EQ(corvane::testing::modeOf(logs() / "pending-upload.jsonl"), 0600u);

  ASSERT_THAT(log->rewritePendingFile({}), IsOk());
  EXPECT_EQ(home.read(".local/share/Corvane/logs/pending-upload.jsonl"), "");
  EXPECT_THAT(log->readPendingLines().value(), IsEmpty());
}

TEST_F(AppLogTest, AFailedRewriteKeepsThePendingFile) {
  log->write(LogLevel::Warn, "a", "kept");
  log->flush();
  std::string before = home.read(".local/share/Corvane/logs/pending-upload.jsonl");
  // A folder in the temporary's place makes the write fail (even for root).
  std::filesystem::create_directories(logs() / "pending-upload.jsonl.tmp");
  EXPECT_FALSE(log->rewritePendingFile({}).has_value());
  EXPECT_EQ(home.read(".local/share/Corvane/logs/pending-upload.jsonl"), before);
}

TEST_F(AppLogTest, ReadingPendingLinesDropsEmptyLines) {
  home.write(".local/share/Corvane/logs/pending-upload.jsonl", "a\n\n\nb\nc");
  EXPECT_THAT(log->readPendingLines().value(), ElementsAre("a", "b", "c"));
}

TEST_F(AppLogTest, UploadTimerFiresAfterTwentySecondsThenEveryHalfHour) {
  std::vector<MonoTime> firings;
  log->setUploadAttempt([&](AppLog& l) {
    EXPECT_TRUE(l.queue().runsTasksInCurrentSequence());
    firings.push_back(scheduler.monotonicNow());
  });
  MonoTime start = scheduler.monotonicNow();
  log->startMaintenance();
  scheduler.fastForwardBy(seconds(19));
  EXPECT_THAT(firings, IsEmpty());
  scheduler.fastForwardBy(seconds(1));
  ASSERT_EQ(firings.size(), 1u);
  // A second start replaces the timer rather than adding one.
  log->startMaintenance();
  scheduler.fastForwardBy(seconds(3619));
  ASSERT_EQ(firings.size(), 3u);
  EXPECT_EQ(firings[0] - start, seconds(20));
  EXPECT_EQ(firings[1] - start, seconds(40));
  EXPECT_EQ(firings[2] - start, seconds(40 + 1800));
}

TEST_F(AppLogTest, EntriesFromManyThreadsAreAllWrittenWhole) {
  auto real = std::make_unique<AppLog>(systemClock(), std::make_shared<SerialQueue>("com.corvane.applog"));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) real->write(LogLevel::Warn, "thread", std::to_string(t) + ":" + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  real->flush();
  auto pending = readLines(logs() / "pending-upload.jsonl");
  EXPECT_EQ(pending.size(), 200u);
}

class LogClientEventTest : public AppLogTest {
 protected:
  void SetUp() override {
    AppLog::setSharedForTesting(std::shared_ptr<AppLog>(std::move(log)));
    installAppLogCommands(router);
  }
  void TearDown() override { AppLog::setSharedForTesting(nullptr); }
  bridge::Router router;
};

TEST_F(LogClientEventTest, RecordsWarnOnlyWhenAskedElseError) {
  struct Case {
    Json args;
    const char* level;
  } cases[] = {
      {{{"level", "warn"}, {"message", "w"}}, "warn"},
      {{{"level", "info"}, {"message", "i"}}, "error"},
      {{{"level", "WARN"}, {"message", "u"}}, "error"},
      {{{"message", "m"}}, "error"},
  };
  for (const auto& c : cases) ASSERT_THAT(router.route("log_client_event", c.args), corvane::testing::HasValue(std::string("null")));
  flushAppLog();
  auto lines = readLines(logs() / "2026-01-15.jsonl");
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[i]["level"], cases[i].level) << i;
    EXPECT_EQ(lines[i]["activity"], "web");
    EXPECT_EQ(lines[i]["message"], cases[i].args["message"]);
  }
  EXPECT_THAT(router.route("log_client_event", {{"level", "warning!!"}, {"message", "x"}}), FailedWith("invalid level"));
}

}  // namespace
}  // namespace corvane::records
