// Cloud insights sync: configuration, back-off, the one pull and the merge.
#include "insights/cloud_ledger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/shell_hooks.h"
#include "core/json.h"
#include "insights/stats.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::insights {
namespace {

using corvane::testing::FakeScheduler;
using corvane::testing::TempHome;

TEST(CloudConfigTest, OnlyAWellTypedObjectEnablesTheSync) {
  auto c = decodeCloudConfig(R"({"enabled":true,"insightsURL":"https://h/p","getInsightsURL":"https://h/g"})");
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ(c.getInsightsURL, "https://h/g");
  EXPECT_TRUE(c.authToken.empty());
  for (const char* off : {R"({"enabled":"yes","insightsURL":"https://h/p"})", R"({"enabled":true,"insightsURL":5})",
                          "not json", "[true]", "{}"})
    EXPECT_FALSE(decodeCloudConfig(off).enabled) << off;
}

class CloudLedgerTest : public ::testing::Test {
 protected:
  CloudLedgerTest() {
    Stats::Options so;
    so.directory = home.path() / "Corvane";
    stats = std::make_shared<Stats>(so);
    makeLedger(queue, &systemClock());
    bridge::ShellHooks hooks;
    hooks.emitEvent = [this](std::string_view name, std::string_view payload) {
      events.push_back(std::string(name) + " " + std::string(payload));
    };
    bridge::installShellHooks(hooks);
    config.enabled = true;
    config.insightsURL = "http://127.0.0.1:1/insights";
    config.getInsightsURL = "http://127.0.0.1:1/insights";
  }
  ~CloudLedgerTest() override { bridge::installShellHooks({}); }

  void makeLedger(std::shared_ptr<TaskQueue> on, const Clock* clock) {
    CloudLedger::Options o;
    o.queue = std::move(on);
    o.clock = clock;
    o.config = [this] { return config; };
    o.stats = [this]() -> Stats& { return *stats; };
    o.random = [this] { return nextRandom; };
    o.http = [this](const HttpRequest& r, Duration) -> Result<HttpResponse> {
      sent.push_back(r);
      long s = r.method == "GET" ? pullStatus : pushStatus;
      if (s == 0) return fail(std::string(kHttpTimedOut));
      return HttpResponse{s, r.method == "GET" ? pullBody : "{}", ""};
    };
    ledger = std::make_shared<CloudLedger>(o);
    CloudAccountLink link;
    link.signedIn = [this] { return signedIn; };
    link.identityToken = [this](Duration) -> std::optional<std::string> {
      if (signedIn) return std::string("user-token");
      return std::nullopt;
    };
    link.accountObjectJson = [] { return std::string(R"({"enabled":true})"); };
    ledger->setAccountLink(link);
  }

  void tick() {
    queue->runSync([this] { ledger->syncTick(); });
  }
  size_t count(const char* method) {
    return std::count_if(sent.begin(), sent.end(), [&](auto& r) { return r.method == method; });
  }
  std::string authorization(const HttpRequest& r) {
    for (auto& [k, v] : r.headers)
      if (k == "Authorization") return v;
    return "";
  }

  TempHome home;
  FakeScheduler scheduler;
  std::shared_ptr<TaskQueue> queue = std::make_shared<SerialQueue>("com.corvane.cloudledger");
  std::shared_ptr<Stats> stats;
  std::shared_ptr<CloudLedger> ledger;
  CloudConfig config;
  bool signedIn = false;
  uint64_t nextRandom = 0;
  long pushStatus = 200, pullStatus = 200;
  std::string pullBody = R"({"totals":{"thoughts":120},"days":[]})";
  std::vector<HttpRequest> sent;
  std::vector<std::string> events;
};

TEST_F(CloudLedgerTest, DisabledSchedulesAndSendsNothing) {
  makeLedger(scheduler.createQueue("com.corvane.cloudledger"), &scheduler);
  config.enabled = false;
  ledger->startSync();
  ledger->flushSync(std::chrono::seconds(2));
  ledger->refreshNow(std::chrono::seconds(22));
  scheduler.fastForwardBy(std::chrono::hours(10));
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(scheduler.pendingTaskCount(), 0u);
}

TEST_F(CloudLedgerTest, TimerFirstFiresBetweenOneAndSixMinutesThenEveryFourAndAHalfHours) {
  makeLedger(scheduler.createQueue("com.corvane.cloudledger"), &scheduler);
  nextRandom = 300'000;  // the longest first delay
  ledger->startSync();
  scheduler.fastForwardBy(std::chrono::seconds(359));
  EXPECT_TRUE(sent.empty());
  scheduler.fastForwardBy(std::chrono::seconds(1));
  EXPECT_EQ(count("POST"), 1u);
  scheduler.fastForwardBy(kCloudSyncPeriod);
  EXPECT_EQ(count("POST"), 2u);
}

TEST_F(CloudLedgerTest, PushesWithTheFallbackTokenAndPullsOnlyOnceSignedIn) {
  config.authToken = "shipped";
  tick();
  ASSERT_EQ(count("POST"), 1u);
  EXPECT_EQ(count("GET"), 0u);
  EXPECT_EQ(authorization(sent[0]), "Bearer shipped");
  EXPECT_NE(sent[0].body.find("\"totals\""), std::string::npos);

  signedIn = true;
  tick();
  EXPECT_EQ(count("GET"), 1u);
  EXPECT_EQ(authorization(sent.back()), "Bearer user-token");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], R"(account:updated {"enabled":true})");

  tick();
  EXPECT_EQ(count("GET"), 1u) << "one automatic pull per run";
  ledger->refreshNow(std::chrono::seconds(22));
  EXPECT_EQ(count("GET"), 2u) << "an asked-for refresh pulls again";
  EXPECT_EQ(events.size(), 1u) << "a merge that changes nothing is not announced";
}

TEST_F(CloudLedgerTest, AFailedPullIsNotRepeatedAndFailedPushesThinOut) {
  signedIn = true;
  pullStatus = 500;
  pushStatus = 503;
  tick();
  tick();
  EXPECT_EQ(count("GET"), 1u);
  EXPECT_EQ(ledger->consecutiveFailures(), 2);
  EXPECT_TRUE(events.empty());

  nextRandom = 1;  // not a multiple of 4: this pass skips its push
  tick();
  EXPECT_EQ(count("POST"), 2u);
  nextRandom = 4;
  pushStatus = 200;
  tick();
  EXPECT_EQ(count("POST"), 3u);
  EXPECT_EQ(ledger->consecutiveFailures(), 0);
}

}  // namespace
}  // namespace corvane::insights
