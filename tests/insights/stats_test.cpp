#include "insights/stats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "bridge/shell_hooks.h"
#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "insights/commands.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::insights {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;
using corvane::testing::FakeScheduler;
using corvane::testing::modeOf;
using corvane::testing::TempHome;

// Sets TZ for one test and restores the previous zone afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (old) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (had_) ::setenv("TZ", saved_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

// Collects every event the code under test emits.
class EventLog {
 public:
  EventLog() {
    bridge::ShellHooks hooks;
    hooks.emitEvent = [this](std::string_view name, std::string_view payload) {
      std::lock_guard lock(mutex_);
      events_.emplace_back(name, payload);
    };
    bridge::installShellHooks(std::move(hooks));
  }
  ~EventLog() { bridge::installShellHooks({}); }
  std::vector<std::pair<std::string, std::string>> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }
  // Payloads of "stat:milestone", parsed.
  std::vector<Json> milestones() {
    std::vector<Json> out;
    for (auto& [name, payload] : take()) {
      EXPECT_EQ(name, "stat:milestone");
      auto parsed = parseJson(payload);
      EXPECT_TRUE(parsed.has_value()) << payload;
      if (parsed) out.push_back(*parsed);
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> events_;
};

WallTime utc(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return std::chrono::system_clock::from_time_t(::timegm(&tm));
}

constexpr auto kDay = std::chrono::hours(24);

class StatsTest : public ::testing::Test {
 protected:
  TempHome home;
  ScopedTimeZone tz{"UTC"};
  FakeScheduler scheduler{utc(2026, 1, 15)};
  EventLog events;
  std::unique_ptr<Stats> stats = make();

  std::unique_ptr<Stats> make() {
    Stats::Options options;
    options.queue = scheduler.createQueue("com.corvane.stats");
    options.clock = &scheduler;
    options.locale = "en_US";
    return std::make_unique<Stats>(std::move(options));
  }
  // Destroys the instance (flushing it) and starts a new one over the same file,
  // as a restart of the program would.
  void restart() {
    stats.reset();
    stats = make();
  }
  void at(WallTime t) { scheduler.setWallTime(t); }
  void writeFile(const std::string& text) { home.write("Corvane/stats.json", text); }
  std::string fileText() { return home.read("Corvane/stats.json"); }
  void thoughts(int n) {
    for (int i = 0; i < n; ++i) stats->record({.thoughts = 1});
    scheduler.runUntilIdle();
  }
};

// ---- day keys

TEST(DayKeys, FollowTheLocalZoneAcrossMidnightAndDst) {
  struct Case {
    const char* zone;
    WallTime t;
    const char* key;
  } cases[] = {
      {"UTC", utc(2026, 1, 15, 23, 59, 59), "2026-01-15"},
      {"UTC", utc(2026, 1, 16, 0, 0, 0), "2026-01-16"},
      // New York, the night before spring-forward (EST, UTC-5).
      {"America/New_York", utc(2026, 3, 8, 4, 59, 59), "2026-03-07"},
      {"America/New_York", utc(2026, 3, 8, 5, 0, 30), "2026-03-08"},
      // The 23-hour day ends at 04:00 UTC (EDT, UTC-4).
      {"America/New_York", utc(2026, 3, 9, 3, 59, 59), "2026-03-08"},
      {"America/New_York", utc(2026, 3, 9, 4, 0, 0), "2026-03-09"},
      // Fall-back: the 25-hour day 2026-11-01 runs 04:00 UTC to 05:00 UTC next day.
      {"America/New_York", utc(2026, 11, 2, 4, 59, 59), "2026-11-01"},
      {"America/New_York", utc(2026, 11, 2, 5, 0, 0), "2026-11-02"},
      {"Pacific/Kiritimati", utc(2025, 12, 31, 10, 0, 0), "2026-01-01"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone tz(c.zone);
    EXPECT_EQ(dayKey(c.t), c.key) << c.zone;
  }
}

TEST(DayKeys, LastDaysRunOldestFirstThroughDstMonthAndLeapDays) {
  ScopedTimeZone tz("America/New_York");
  // 00:30 local on the day after spring-forward.
  EXPECT_THAT(lastDays(utc(2026, 3, 9, 4, 30), 3), ElementsAre("2026-03-07", "2026-03-08", "2026-03-09"));
  EXPECT_THAT(lastDays(utc(2024, 3, 1, 17), 3), ElementsAre("2024-02-28", "2024-02-29", "2024-03-01"));
  EXPECT_THAT(lastDays(utc(2026, 1, 1, 17), 2), ElementsAre("2025-12-31", "2026-01-01"));
  auto ninety = lastDays(utc(2026, 11, 2, 4, 30), 90);  // 23:30 on the 25-hour day
  ASSERT_EQ(ninety.size(), 90u);
  EXPECT_EQ(ninety.back(), "2026-11-01");
  EXPECT_EQ(ninety.front(), "2026-08-04");
  EXPECT_THAT(lastDays(utc(2026, 1, 1), 0), IsEmpty());
}

// ---- formatting

TEST(Formatting, DurationsAndLocaleNumbers) {
  struct {
    int64_t seconds;
    const char* text;
  } durations[] = {{0, "0m"},           {60, "1m"},           {1395, "23m 15s"},       {3599, "59m 59s"},
                   {3600, "1h 0m"},     {6975, "1h 56m 15s"}, {13950, "3h 52m 30s"},   {34875, "9h 41m 15s"},
                   {90000, "25h 0m"}};
  for (const auto& d : durations) EXPECT_EQ(formatDuration(d.seconds), d.text) << d.seconds;

  EXPECT_EQ(formatCount(25, "en_US"), "25");
  EXPECT_EQ(formatCount(1000, "en_US"), "1,000");
  EXPECT_EQ(formatCount(1234567, "en_GB"), "1,234,567");
  EXPECT_EQ(formatCount(1000, "de_DE"), "1.000");
  // A bare C environment reads as English rather than losing the grouping.
  EXPECT_EQ(formatCount(1000, "en_US_POSIX"), "1,000");
  EXPECT_EQ(formatCount(1000, "C"), "1,000");
}

// ---- counting and active days

TEST_F(StatsTest, FirstThoughtOnAFreshHomeCountsOneActiveDayAndWritesAPrivateFile) {
  stats->record({.thoughts = 1, .words = 7});
  scheduler.runUntilIdle();

  StatsData data = stats->snapshot();
  EXPECT_EQ(data.thoughts, 1);
  EXPECT_EQ(data.words, 7);
  EXPECT_EQ(data.activeDays, 1);
  EXPECT_EQ(data.lastActiveDay, "2026-01-15");
  ASSERT_EQ(data.history.size(), 1u);
  EXPECT_EQ(data.history.at("2026-01-15"), (DailyStats{.thoughts = 1, .words = 7}));
  EXPECT_THAT(events.take(), IsEmpty());

  EXPECT_EQ(modeOf(dataDirectory()), 0700u);
  EXPECT_EQ(modeOf(dataDirectory() / "stats.json"), 0600u);
  auto onDisk = decodeStats(fileText());
  EXPECT_EQ(onDisk.thoughts, 1);
  EXPECT_EQ(onDisk.lastActiveDay, "2026-01-15");
}

TEST_F(StatsTest, RecordNeverWaitsAndAReaderSeesEverythingQueuedBefore) {
  stats->record(1, 2, 3, 4, 5, 6, 7, 8);
  EXPECT_GT(scheduler.pendingTaskCount(), 0u);
  EXPECT_FALSE(fileExists(stats->filePath()));
  EXPECT_EQ(stats->totalsJSON(),
            R"({"thoughts":1,"words":2,"clips":3,"followups":4,"documents":5,"builds":6,"summons":7,)"
            R"("focusSessions":8,"activeDays":1,"timeSavedSeconds":11160,"focusKept":7})");
}

TEST_F(StatsTest, ActiveDaysCountLocalDaysAcrossMidnightAndDst) {
  ScopedTimeZone ny("America/New_York");
  at(utc(2026, 3, 8, 4, 58));  // 23:58 EST, Saturday 7 March
  stats->record({.thoughts = 1});
  scheduler.fastForwardBy(std::chrono::minutes(1));  // 23:59, same day
  stats->record({.clips = 1});
  scheduler.runUntilIdle();
  EXPECT_EQ(stats->totals().activeDays, 1);

  scheduler.fastForwardBy(std::chrono::minutes(2));  // 00:01 on the 23-hour day
  stats->record({.thoughts = 1});
  scheduler.fastForwardBy(std::chrono::hours(22) + std::chrono::minutes(58));  // 23:59 EDT, same day
  stats->record({.summons = 1});
  scheduler.fastForwardBy(std::chrono::minutes(2));  // 00:01 EDT, Monday 9 March
  stats->record({.summons = 1});
  scheduler.runUntilIdle();

  StatsData data = stats->snapshot();
  EXPECT_EQ(data.activeDays, 3);
  EXPECT_EQ(data.lastActiveDay, "2026-03-09");
  EXPECT_EQ(data.history.at("2026-03-07"), (DailyStats{.thoughts = 1, .clips = 1}));
  EXPECT_EQ(data.history.at("2026-03-08"), (DailyStats{.thoughts = 1, .summons = 1}));
  EXPECT_EQ(data.history.at("2026-03-09"), (DailyStats{.summons = 1}));
}

TEST_F(StatsTest, CountersSaturateInsteadOfWrapping) {
  stats->record({.words = INT64_MAX, .focusSessions = INT64_MAX});
  stats->record({.words = INT64_MAX, .focusSessions = 1});
  stats->record({.clips = INT64_MIN});
  auto t = stats->totals();
  EXPECT_EQ(t.words, kMaxCounter);
  EXPECT_EQ(t.focusSessions, kMaxCounter);
  EXPECT_EQ(t.timeSavedSeconds, kMaxCounter);
  EXPECT_EQ(t.clips, -kMaxCounter);
  EXPECT_EQ(stats->snapshot().history.at("2026-01-15").words, kMaxCounter);
}

// ---- milestones

TEST_F(StatsTest, TwentyFifthThoughtAnnouncesOnceAndTheTwentySixthIsSilent) {
  thoughts(24);
  EXPECT_THAT(events.take(), IsEmpty());
  thoughts(1);
  auto got = events.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, "stat:milestone");
  EXPECT_EQ(got[0].second,
            R"({"pillar":"Thoughts cleared","metric":"thoughts","value":25,"threshold":25,)"
            R"("message":"25 thoughts cleared from your head — kept, not lost."})");
  // The announcement is on disk already.
  EXPECT_THAT(decodeStats(fileText()).celebrated, ElementsAre("thoughts:25"));
  thoughts(1);
  EXPECT_THAT(events.take(), IsEmpty());
}

TEST_F(StatsTest, MergeThenRecordAnnouncesOnlyTheHighestNewThreshold) {
  thoughts(10);
  EXPECT_TRUE(stats->mergeRemote(R"({"totals":{"thoughts":120}})"));
  scheduler.runUntilIdle();
  EXPECT_THAT(events.take(), IsEmpty());

  thoughts(1);
  auto got = events.milestones();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["metric"], "thoughts");
  EXPECT_EQ(got[0]["value"], 121);
  EXPECT_EQ(got[0]["threshold"], 100);
  EXPECT_THAT(got[0]["message"].get<std::string>(), StartsWith("121 thoughts cleared"));
  EXPECT_THAT(stats->snapshot().celebrated, ElementsAre("thoughts:25", "thoughts:100"));
  thoughts(1);
  EXPECT_THAT(events.take(), IsEmpty());
}

TEST_F(StatsTest, OneEventPerMetricInTableOrderWithLocaleNumbersAndDurations) {
  stats->record({.words = 30000, .clips = 60, .builds = 5, .summons = 1000, .focusSessions = 1});
  scheduler.runUntilIdle();
  auto got = events.milestones();
  ASSERT_EQ(got.size(), 5u);
  auto row = [](const Json& j) {
    return j["metric"].get<std::string>() + "|" + j["pillar"].get<std::string>() + "|" +
           std::to_string(j["value"].get<int64_t>()) + "|" + std::to_string(j["threshold"].get<int64_t>()) + "|" +
           j["message"].get<std::string>();
  };
  EXPECT_EQ(row(got[0]), "words|Thoughts cleared|30000|25000|30,000 words kept here.");
  EXPECT_EQ(row(got[1]), "clips|Clips kept|60|50|60 clips saved from around the web.");
  EXPECT_EQ(row(got[2]), "builds|Shipped|5|5|5 Corvane AI runs from your notes.");
  EXPECT_EQ(row(got[3]),
            "focusKept|Tray helped you focus|1000|1000|Tray helped you focus — you brought it up 1,000 times.");
  EXPECT_EQ(row(got[4]), "timeSaved|Time saved|1395|1395|23m 15s of focus time protected.");
  EXPECT_THAT(stats->snapshot().celebrated,
              ElementsAre("words:5000", "words:25000", "clips:50", "builds:5", "focusKept:100", "focusKept:500",
                          "focusKept:1000", "timeSaved:1395"));
}

TEST_F(StatsTest, SeventhActiveDayAnnouncesShowingUp) {
  for (int day = 0; day < 7; ++day) {
    stats->record({.summons = 1});
    scheduler.fastForwardBy(kDay);
  }
  auto got = events.milestones();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["message"], "You've shown up 7 days.");
  EXPECT_EQ(got[0]["pillar"], "Showed up");
}

TEST_F(StatsTest, CelebratedSurvivesRestartEvenWhenTheCounterIsLoweredByHand) {
  thoughts(25);
  ASSERT_EQ(events.take().size(), 1u);
  stats.reset();
  auto data = decodeStats(fileText());
  data.thoughts = 3;
  writeFile(encodeStats(data));
  stats = make();
  thoughts(30);
  EXPECT_THAT(events.take(), IsEmpty());
  EXPECT_EQ(stats->totals().thoughts, 33);
}

// ---- insights view

TEST_F(StatsTest, InsightsStartAtTheFirstRecordedDayWithZerosForQuietDays) {
  EXPECT_EQ(stats->insightsJSON(),
            R"({"totals":{"thoughts":0,"words":0,"clips":0,"followups":0,"documents":0,"builds":0,"summons":0,)"
            R"("focusSessions":0,"activeDays":0,"timeSavedSeconds":0,"focusKept":0},"days":[]})");

  stats->record({.clips = 2});
  auto view = stats->insights();
  ASSERT_EQ(view.days.size(), 1u);
  EXPECT_EQ(view.days[0].date, "2026-01-15");
  EXPECT_EQ(view.days[0].counters.clips, 2);

  // A day ten days back makes eleven days, quiet ones in between as zeros.
  EXPECT_TRUE(stats->mergeRemote(R"({"days":[{"date":"2026-01-05","words":9}]})"));
  view = stats->insights();
  ASSERT_EQ(view.days.size(), 11u);
  EXPECT_EQ(view.days.front().date, "2026-01-05");
  EXPECT_EQ(view.days.front().counters, (DailyStats{.words = 9}));
  EXPECT_EQ(view.days[1].date, "2026-01-06");
  EXPECT_EQ(view.days[1].counters, DailyStats{});
  EXPECT_EQ(view.days.back().date, "2026-01-15");

  auto json = parseJson(stats->insightsJSON());
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ((*json)["days"].size(), 11u);
  EXPECT_EQ(dumpCompact((*json)["days"][0]),
            R"({"date":"2026-01-05","thoughts":0,"words":9,"clips":0,"followups":0,"documents":0,"builds":0,)"
            R"("summons":0,"focusSessions":0})");
  EXPECT_EQ((*json)["totals"]["clips"], 2);
}

TEST_F(StatsTest, WritesPruneHistoryAndDestinationsOlderThanNinetyDays) {
  const auto days = lastDays(scheduler.now() - 89 * kDay, 2);  // 90 and 89 days ago
  const std::string old = days[0], kept = days[1];
  writeFile(R"({"thoughts":5,"history":{")" + old + R"(":{"thoughts":2},")" + kept +
            R"(":{"thoughts":3},"2026-02-01":{"clips":1},"garbage":{"clips":1}},)"
            R"("destHistory":{")" + old + R"(":{"gone":4,"both":1},")" + kept + R"(":{"both":2}},)"
            R"("destNames":{"gone":"Gone","both":"Both","never":"Never"}})");
  EXPECT_EQ(stats->snapshot().history.size(), 4u);  // reading alone prunes nothing

  stats->record({.summons = 1});
  scheduler.runUntilIdle();
  StatsData data = decodeStats(fileText());
  std::vector<std::string> historyKeys, destKeys, names;
  for (auto& [k, v] : data.history) historyKeys.push_back(k);
  for (auto& [k, v] : data.destHistory) destKeys.push_back(k);
  for (auto& [k, v] : data.destNames) names.push_back(k);
  EXPECT_THAT(historyKeys, ElementsAre(kept, "2026-01-15"));
  EXPECT_THAT(destKeys, ElementsAre(kept));
  EXPECT_THAT(names, ElementsAre("both"));
  EXPECT_EQ(data.thoughts, 5);  // totals are never pruned
}

// ---- destinations

TEST_F(StatsTest, TopDestinationsRankByCountThenRecencyWithinThirtyDays) {
  auto clip = [&](const std::string& id, int times) {
    for (int i = 0; i < times; ++i) stats->recordDestination(id, "Note " + id);
  };
  clip("stale", 9);  // 30 days before the last day below: outside the window
  scheduler.fastForwardBy(kDay);
  clip("edge", 1);  // 29 days before: inside
  clip("a", 3);
  scheduler.fastForwardBy(5 * kDay);
  clip("b", 3);  // same total as "a", used later
  for (int i = 0; i < 5; ++i) clip("x" + std::to_string(i), 1);
  scheduler.fastForwardBy(24 * kDay);
  stats->recordDestination("c", "");
  clip("c", 1);
  scheduler.runUntilIdle();

  auto top = stats->topDestinations(6);
  ASSERT_EQ(top.size(), 6u);
  EXPECT_EQ(top[0], (Stats::Destination{"b", "Note b", 3}));
  EXPECT_EQ(top[1], (Stats::Destination{"a", "Note a", 3}));
  EXPECT_EQ(top[2], (Stats::Destination{"c", "Note c", 2}));
  for (size_t i = 3; i < 6; ++i) EXPECT_EQ(top[i].count, 1);
  for (const auto& d : stats->topDestinations(100)) EXPECT_NE(d.id, "stale");
  EXPECT_EQ(stats->topDestinations(100).size(), 9u);  // a, b, c, edge, x0..x4
  EXPECT_THAT(stats->topDestinations(0), IsEmpty());
  EXPECT_THAT(stats->topDestinations(-1), IsEmpty());
}

TEST_F(StatsTest, DestinationNamesAndEmptyIds) {
  stats->recordDestination("n1", "Groceries");
  stats->recordDestination("n1", "");
  scheduler.runUntilIdle();
  EXPECT_THAT(stats->topDestinations(6), ElementsAre(Stats::Destination{"n1", "Groceries", 2}));

  stats->recordDestination("", "Nameless");
  EXPECT_EQ(scheduler.pendingTaskCount(), 0u);
  stats->recordDestination("n2", "");
  EXPECT_THAT(stats->topDestinations(6),
              ElementsAre(Stats::Destination{"n1", "Groceries", 2}, Stats::Destination{"n2", "", 1}));
  EXPECT_THAT(events.take(), IsEmpty());
}

// ---- the file

TEST_F(StatsTest, DamagedFilesLoadAsDefaults) {
  const char* damaged[] = {"", "not json", R"({"thoughts":12,"words":)", "[1,2]", "null", "\"text\""};
  for (const char* text : damaged) {
    stats.reset();
    writeFile(text);
    stats = make();
    EXPECT_EQ(stats->totalsJSON(),
              R"({"thoughts":0,"words":0,"clips":0,"followups":0,"documents":0,"builds":0,"summons":0,)"
              R"("focusSessions":0,"activeDays":0,"timeSavedSeconds":0,"focusKept":0})")
        << text;
  }
  // The damaged file is kept aside, not silently lost, when it is first replaced.
  stats->record({.thoughts = 1});
  scheduler.runUntilIdle();
  EXPECT_EQ(home.read("Corvane/stats.json.corrupt"), "\"text\"");
  EXPECT_EQ(modeOf(dataDirectory() / "stats.json.corrupt"), 0600u);
  EXPECT_EQ(decodeStats(fileText()).thoughts, 1);
}

TEST_F(StatsTest, WrongTypedKeysReadAsAbsentAndAbsurdNumbersClamp) {
  writeFile(R"({"thoughts":"12","words":7,"clips":1.9,"builds":1e300,"summons":18446744073709551615,)"
            R"("focusSessions":true,"activeDays":-3,"lastActiveDay":5,"celebrated":[1,"clips:50",null],)"
            R"("history":{"2026-01-14":{"thoughts":"x","words":4},"2026-01-13":[]},)"
            R"("destHistory":{"2026-01-14":{"a":2,"b":"3"},"2026-01-13":7},"destNames":{"a":"A","b":9}})");
  StatsData data = stats->snapshot();
  EXPECT_EQ(data.thoughts, 0);
  EXPECT_EQ(data.words, 7);
  EXPECT_EQ(data.clips, 1);
  EXPECT_EQ(data.builds, kMaxCounter);
  EXPECT_EQ(data.summons, kMaxCounter);
  EXPECT_EQ(data.focusSessions, 0);
  EXPECT_EQ(data.activeDays, -3);
  EXPECT_EQ(data.lastActiveDay, "");
  EXPECT_THAT(data.celebrated, ElementsAre("clips:50"));
  ASSERT_EQ(data.history.size(), 1u);
  EXPECT_EQ(data.history.at("2026-01-14"), (DailyStats{.words = 4}));
  ASSERT_EQ(data.destHistory.size(), 1u);
  EXPECT_THAT(data.destHistory.at("2026-01-14"), ElementsAre(std::pair<const std::string, int64_t>{"a", 2}));
  EXPECT_EQ(data.destNames.size(), 1u);
  // A valid object is not "damaged": nothing is kept aside.
  stats->record({.thoughts = 1});
  scheduler.runUntilIdle();
  EXPECT_FALSE(fileExists(dataDirectory() / "stats.json.corrupt"));
}

TEST_F(StatsTest, AnOlderFileWithoutDestinationsLoads) {
  writeFile(R"({"thoughts":3,"words":40,"activeDays":2,"lastActiveDay":"2026-01-15",)"
            R"("history":{"2026-01-15":{"thoughts":3,"words":40}}})");
  stats->recordDestination("n", "Inbox");
  stats->record({.thoughts = 1});
  EXPECT_EQ(stats->totals().activeDays, 2);  // same day as the stored one
  EXPECT_THAT(stats->topDestinations(6), ElementsAre(Stats::Destination{"n", "Inbox", 1}));
  restart();
  StatsData data = stats->snapshot();
  EXPECT_EQ(data.thoughts, 4);
  EXPECT_EQ(data.destNames.at("n"), "Inbox");
}

// ---- remote merge

TEST_F(StatsTest, MergeIgnoresAnythingButAnObject) {
  const char* inputs[] = {"", "[]", "42", "null", "{", "\"{}\"", "{}", R"({"totals":[1],"days":{"a":1}})",
                          R"({"totals":{"thoughts":-5},"days":[{"words":3},{"date":7,"words":3},5]})"};
  for (const char* input : inputs) EXPECT_FALSE(stats->mergeRemote(input)) << input;
  EXPECT_FALSE(fileExists(stats->filePath()));
  EXPECT_EQ(stats->totals().thoughts, 0);
}

TEST_F(StatsTest, MergeRaisesTotalsKeepsLocalDaysAndSkipsEmptyOrStaleDays) {
  stats->record({.thoughts = 4, .words = 50});
  const auto old = lastDays(scheduler.now() - 90 * kDay, 1)[0];
  EXPECT_TRUE(stats->mergeRemote(
      R"({"totals":{"thoughts":2,"words":80,"clips":"9","activeDays":12,"timeSavedSeconds":99999,)"
      R"("builds":1e308,"focusSessions":9007199254740993},)"
      R"("days":[{"date":"2026-01-15","thoughts":100},{"date":"2026-01-14","thoughts":0},)"
      R"({"date":"2026-01-13","clips":1.5,"summons":-4},{"date":")" +
      old + R"(","clips":3},{"date":"2026-01-13","clips":7},{"date":"someday","clips":3}]})"));
  StatsData data = stats->snapshot();
  EXPECT_EQ(data.thoughts, 4);  // local is higher: totals never go down
  EXPECT_EQ(data.words, 80);
  EXPECT_EQ(data.clips, 0);
  EXPECT_EQ(data.builds, kMaxCounter);
  EXPECT_EQ(data.focusSessions, kMaxCounter);
  EXPECT_EQ(stats->totals().timeSavedSeconds, kMaxCounter);
  EXPECT_EQ(data.activeDays, 12);
  EXPECT_EQ(data.lastActiveDay, "2026-01-15");
  EXPECT_EQ(data.history.at("2026-01-15"), (DailyStats{.thoughts = 4, .words = 50}));  // local day wins
  EXPECT_EQ(data.history.at("2026-01-13"), (DailyStats{.clips = 1}));                  // first copy wins
  EXPECT_EQ(data.history.size(), 2u);
  EXPECT_THAT(data.celebrated, IsEmpty());
  EXPECT_EQ(decodeStats(fileText()).words, 80);

  // The same body again changes nothing and writes nothing.
  std::filesystem::remove(stats->filePath());
  EXPECT_FALSE(stats->mergeRemote(R"({"totals":{"words":80},"days":[{"date":"2026-01-13","clips":5}]})"));
  EXPECT_FALSE(fileExists(stats->filePath()));
  EXPECT_THAT(events.take(), IsEmpty());
}

// ---- commands and the process-wide instance

TEST(StatsCommands, FreshHomeAnswersZerosAndInsightsWithNoDays) {
  TempHome home;
  Stats::setSharedForTesting(nullptr);  // the next shared() lives in this home
  bridge::Router router;
  installInsightsCommands(router);
  EXPECT_EQ(*router.route("get_stats", Json::object()),
            R"({"thoughts":0,"words":0,"clips":0,"followups":0,"documents":0,"builds":0,"summons":0,)"
            R"("focusSessions":0,"activeDays":0,"timeSavedSeconds":0,"focusKept":0})");
  auto insights = parseJson(*router.route("get_insights", Json::object()));
  ASSERT_TRUE(insights.has_value());
  EXPECT_EQ((*insights)["days"], Json::array());
  EXPECT_EQ((*insights)["totals"]["focusKept"], 0);
  EXPECT_EQ(Stats::shared().filePath(), home.path() / "Corvane" / "stats.json");
  Stats::setSharedForTesting(nullptr);
}

TEST(StatsQueue, RecordsFromManyThreadsAllLandOnTheRealQueue) {
  TempHome home;
  EventLog events;
  auto stats = std::make_shared<Stats>();
  Stats::setSharedForTesting(stats);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        Stats::shared().record({.thoughts = 1, .words = 2});
        Stats::shared().recordDestination("n" + std::to_string(i % 3), "Note");
      }
    });
  for (auto& t : threads) t.join();
  stats->flush();
  auto onDisk = decodeStats(*readFile(dataDirectory() / "stats.json"));
  EXPECT_EQ(onDisk.thoughts, 200);
  EXPECT_EQ(onDisk.words, 400);
  int64_t clips = 0;
  for (auto& [day, counts] : onDisk.destHistory)
    for (auto& [id, n] : counts) clips += n;
  EXPECT_EQ(clips, 200);
  auto got = events.milestones();  // thoughts 25 and 100; words none yet
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["threshold"], 25);
  EXPECT_EQ(got[1]["threshold"], 100);
  Stats::setSharedForTesting(nullptr);
}

}  // namespace
}  // namespace corvane::insights
