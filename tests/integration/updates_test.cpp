#include <gtest/gtest.h>

#include "integration/updates.h"
#include "platform/fake/memory_user_defaults.h"
#include "testing/fake_scheduler.h"

namespace corvane::integration {
namespace {

struct ScriptedFetcher : FeedFetcher {
  FetchOutcome next;
  std::vector<std::string> urls;
  std::chrono::milliseconds lastLimit{0};
  FetchOutcome get(const std::string& url, std::chrono::milliseconds limit, size_t) override {
    urls.push_back(url);
    lastLimit = limit;
    return next;
  }
};

constexpr const char* kFeed =
    "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
    "<item><title>Three</title><sparkle:version>300</sparkle:version><sparkle:shortVersionString>3.0"
    "</sparkle:shortVersionString><link>https://x.test/3</link></item>"
    "<item><title>Old</title><sparkle:version>0.1</sparkle:version></item></channel></rss>";

struct Fixture : ::testing::Test {
  std::shared_ptr<platform::UserDefaults> defaults = platform::makeMemoryUserDefaults();
  std::shared_ptr<ScriptedFetcher> fetcher = std::make_shared<ScriptedFetcher>();
  UpdateService make(std::optional<Json> feedURL = Json("https://updates.test/feed.xml")) {
    UpdateService::Options o;
    o.config.feedURL = std::move(feedURL);
    o.version = Json("1.0");
    o.defaults = defaults.get();
    o.fetcher = fetcher;
    return UpdateService(std::move(o));
  }
};

TEST_F(Fixture, HistoryFailuresHaveTheirExactTexts) {
  for (auto address : {std::optional<Json>(), std::optional<Json>(Json(42)), std::optional<Json>(Json("")),
                       std::optional<Json>(Json("not a url")), std::optional<Json>(Json("file:///etc/passwd"))}) {
    auto s = make(address);
    EXPECT_EQ(s.history().error(), kNoFeed);
  }
  EXPECT_TRUE(fetcher->urls.empty());

  auto s = make();
  fetcher->next = FetchOutcome{true, std::nullopt, 0, ""};
  EXPECT_EQ(s.history().error(), kTimedOut);
  EXPECT_EQ(fetcher->lastLimit, std::chrono::milliseconds(10000));
  fetcher->next = FetchOutcome{false, std::string("<html>Not Found</html>"), 404, ""};
  EXPECT_EQ(s.history().error(), kUnreachable);
  fetcher->next = FetchOutcome{false, std::nullopt, 0, "Could not resolve host: updates.test"};
  EXPECT_EQ(s.history().error(), "Could not resolve host: updates.test");
  fetcher->next = FetchOutcome{false, std::nullopt, 0, ""};
  EXPECT_EQ(s.history().error(), kUnreachable);
}

TEST_F(Fixture, HistoryListsTheFeedAndMalformedContentIsNoFailure) {
  auto s = make();
  fetcher->next = FetchOutcome{false, std::string(kFeed), 200, ""};
  auto h = s.history();
  ASSERT_TRUE(h) << h.error();
  ASSERT_EQ(h->size(), 2u);
  EXPECT_EQ((*h)[0]["version"], "3.0");
  EXPECT_EQ((*h)[1]["version"], "0.1");
  fetcher->next = FetchOutcome{false, std::string("garbage"), 200, ""};
  EXPECT_EQ(dumpCompact(*s.history()), "[]");
  // The user's own address wins over the build's.
  ASSERT_TRUE(defaults->set(kFeedUrlKey, "http://127.0.0.1:1/other.xml"));
  (void)s.history();
  EXPECT_EQ(fetcher->urls.back(), "http://127.0.0.1:1/other.xml");
}

TEST_F(Fixture, StatusDefaultsAndTheAutomaticSwitch) {
  UpdateService::Options o;
  o.defaults = defaults.get();
  o.fetcher = fetcher;
  o.config.checkIntervalSeconds = Json("daily");
  UpdateService bare(o);
  const Json st = bare.status().toJson();
  EXPECT_EQ(st["version"], "\u2014");
  EXPECT_EQ(st["build"], "\u2014");
  EXPECT_EQ(st["checkIntervalSeconds"], 86400);
  EXPECT_EQ(st["automaticChecks"], true);
  o.config.checkIntervalSeconds = Json(3600.7);
  o.version = Json("2.1");
  UpdateService configured(o);
  EXPECT_EQ(configured.status().checkIntervalSeconds, 3600);
  EXPECT_EQ(configured.status().version, "2.1");
  configured.setAutomaticChecks(false);
  EXPECT_FALSE(configured.status().automaticChecks);
  configured.setAutomaticChecks(true);
  EXPECT_TRUE(configured.status().automaticChecks);
}

TEST_F(Fixture, ChecksAnnounceOnlyNewerReleasesAndStopWhenSwitchedOff) {
  testing::FakeScheduler clock;
  auto queue = clock.createQueue("updates");
  auto s = make();
  fetcher->next = FetchOutcome{false, std::string(kFeed), 200, ""};
  std::vector<UpdateService::CheckReport> reports;
  s.startScheduler(queue, [&](const UpdateService::CheckReport& r) { reports.push_back(r); });
  clock.fastForwardBy(std::chrono::seconds(86399));
  EXPECT_TRUE(reports.empty());
  clock.fastForwardBy(std::chrono::seconds(1));
  ASSERT_EQ(reports.size(), 1u);
  ASSERT_TRUE(reports[0].newer);
  EXPECT_EQ(reports[0].newer->version, "3.0");
  EXPECT_EQ(reports[0].newer->link, "https://x.test/3");
  EXPECT_FALSE(reports[0].userInitiated);

  s.setAutomaticChecks(false);
  clock.fastForwardBy(std::chrono::seconds(86400 * 3));
  EXPECT_EQ(reports.size(), 1u);

  // Only the feed's first release counts: a later item numbered by build is not "newer".
  fetcher->next = FetchOutcome{false, std::string("<rss xmlns:s=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                                                  "<item><s:shortVersionString>0.9</s:shortVersionString></item>"
                                                  "<item><s:version>200</s:version></item></rss>"), 200, ""};
  s.checkNow();
  clock.runUntilIdle();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_FALSE(reports[1].newer);
  reports.pop_back();

  // A user check reports "nothing newer" and failures too.
  fetcher->next = FetchOutcome{false, std::string("<rss/>"), 200, ""};
  s.checkNow();
  clock.runUntilIdle();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[1].userInitiated);
  EXPECT_FALSE(reports[1].newer);
  EXPECT_FALSE(reports[1].failure);
  fetcher->next = FetchOutcome{true, std::nullopt, 0, ""};
  s.checkNow();
  clock.runUntilIdle();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[2].failure, std::string(kTimedOut));
}

TEST(RelaunchGate, ProceedsAtOnceWhenNoRunIsActive) {
  testing::FakeScheduler clock;
  auto main = clock.createQueue("main");
  int notices = 0;
  RelaunchGate gate(*main, {[] { return false; }, [&](std::function<void()>) { ++notices; }});
  EXPECT_FALSE(gate.shouldPostpone([] {}));
  clock.runUntilIdle();
  EXPECT_EQ(notices, 0);
}

TEST(RelaunchGate, WaitsForTheWholeRunThenRelaunchesOnce) {
  testing::FakeScheduler clock;
  auto main = clock.createQueue("main");
  bool active = true;
  int notices = 0;
  std::function<void()> dismiss;
  RelaunchGate gate(*main, {[&] { return active; }, [&](std::function<void()> d) {
                              ++notices;
                              dismiss = std::move(d);
                            }});
  int first = 0, second = 0;
  EXPECT_TRUE(gate.shouldPostpone([&] { ++first; }));
  EXPECT_TRUE(gate.shouldPostpone([&] { ++second; }));  // replaces the held action
  clock.runUntilIdle();
  EXPECT_EQ(notices, 1);
  // Until the notice is dismissed nothing polls, even when the run ends.
  active = false;
  clock.fastForwardBy(std::chrono::seconds(10));
  EXPECT_EQ(second, 0);
  active = true;
  dismiss();
  clock.fastForwardBy(std::chrono::seconds(20));
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(gate.waiting());
  active = false;
  clock.fastForwardBy(std::chrono::milliseconds(1999));
  clock.fastForwardBy(std::chrono::milliseconds(1));
  EXPECT_EQ(second, 1);
  EXPECT_EQ(first, 0);
  EXPECT_FALSE(gate.waiting());
  clock.fastForwardBy(std::chrono::seconds(10));
  EXPECT_EQ(second, 1);
}

}  // namespace
}  // namespace corvane::integration
