#include "records/notification_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/command.h"
#include "core/files.h"
#include "platform/fake/fake_notifications.h"
#include "records/notices.h"
#include "records/private_files.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::records {
namespace {

using ::testing::ElementsAre;

std::string toUpperCopy(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class NotificationLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = std::make_shared<NotificationLog>(home.path() / "Corvane" / "notifications.json", scheduler);
    NotificationLog::setSharedForTesting(log);
    setNoticeQueueForTesting(scheduler.createQueue("com.corvane.notices"));
    installStatusPanel([this](const std::string& text, bool failure) { panel.emplace_back(text, failure); });
  }
  void TearDown() override {
    installStatusPanel(nullptr);
    platform::installUserNotifier(nullptr);
    setNoticeQueueForTesting(nullptr);
    NotificationLog::setSharedForTesting(nullptr);
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& e : readLog()) out.push_back(e.text);
    return out;
  }

  testing::TempHome home;
  testing::FakeScheduler scheduler;
  std::shared_ptr<NotificationLog> log;
  std::vector<std::pair<std::string, bool>> panel;
};

TEST_F(NotificationLogTest, SameIdReplacesAndFileIsPrivate) {
  std::string id = addLogEntry(std::nullopt, "first", "info");
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id, toUpperCopy(id));
  scheduler.fastForwardBy(std::chrono::seconds(1));
  addLogEntry("page-1", "from page", "custom-kind");
  scheduler.fastForwardBy(std::chrono::seconds(1));
  addLogEntry(id, "first, again", "info");
  auto entries = readLog();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].kind, "custom-kind");
  EXPECT_EQ(entries[1].id, id);
  EXPECT_EQ(entries[1].text, "first, again");
  EXPECT_EQ(entries[1].ts, static_cast<double>(unixMillis(scheduler.now())));
  EXPECT_EQ(testing::modeOf(log->filePath()), 0600u);
  // The file keeps the keys in order.
  EXPECT_THAT(readFile(log->filePath()).value(), ::testing::StartsWith("[{\"id\":\"page-1\",\"text\":\"from page\",\"kind\""));
  // Empty text logs nothing but answers an id.
  EXPECT_EQ(addLogEntry("x", "", "info"), "x");
  EXPECT_EQ(readLog().size(), 2u);
}

TEST_F(NotificationLogTest, PrunesByAgeAndCount) {
  addLogEntry("old", "old one", "info");
  scheduler.fastForwardBy(std::chrono::hours(24 * 31));
  EXPECT_TRUE(readLog().empty());
  // 500 entries on file, then one more add.
  std::vector<NotificationLogEntry> full;
  double now = static_cast<double>(unixMillis(scheduler.now()));
  for (int i = 0; i < 500; ++i) full.push_back({"id" + std::to_string(i), "n" + std::to_string(i), "info", now - 500 + i});
  ASSERT_TRUE(writePrivateFile(dumpCompact(encodeNotificationLog(full)), log->filePath()));
  addLogEntry(std::nullopt, "n500", "info");
  auto entries = readLog();
  ASSERT_EQ(entries.size(), 500u);
  EXPECT_EQ(entries.front().text, "n1");
  EXPECT_EQ(entries.back().text, "n500");
}

TEST_F(NotificationLogTest, CorruptFileIsAnEmptyLog) {
  for (const char* text : {"not json", "{}", "[{\"id\":1}]", "[1,2]"}) {
    ASSERT_TRUE(writePrivateFile(text, log->filePath()));
    EXPECT_TRUE(readLog().empty()) << text;
  }
  addLogEntry(std::nullopt, "fresh", "info");
  EXPECT_THAT(texts(), ElementsAre("fresh"));
}

TEST_F(NotificationLogTest, Commands) {
  bridge::Router router;
  installNotificationLogCommands(router);
  auto id = router.route("log_notification", Json{{"text", "hello"}});
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 38u);  // a quoted UUID
  ASSERT_TRUE(router.route("log_notification", Json{{"id", "k"}, {"text", "t"}, {"kind", "warning"}}));
  ASSERT_TRUE(router.route("log_notification", Json{{"id", "n"}, {"text", "u"}, {"kind", nullptr}}));
  auto listed = router.route("get_notification_log", Json::object());
  ASSERT_TRUE(listed);
  auto parsed = parseJson(*listed).value();
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0]["kind"], "info");
  EXPECT_EQ(parsed[1]["kind"], "warning");
  EXPECT_EQ(parsed[2]["kind"], "info");
}

TEST_F(NotificationLogTest, NoticesLogThenPostOrFallBack) {
  using platform::NotificationAuthorization;
  // No notification service: the status panel, as a failure for "fail".
  postUserNotice("Export failed", "disk full");
  scheduler.runUntilIdle();
  ASSERT_EQ(readLog().size(), 1u);
  EXPECT_EQ(readLog()[0].text, "Export failed — disk full");
  EXPECT_EQ(readLog()[0].kind, "error");
  EXPECT_THAT(panel, ElementsAre(std::pair<std::string, bool>{"Export failed", true}));

  auto notifier = std::make_shared<platform::FakeNotifier>(NotificationAuthorization::Authorized);
  platform::installUserNotifier(notifier);
  postRunNotice("Trip", true, "line one\nline two\nline three");
  scheduler.runUntilIdle();
  ASSERT_EQ(notifier->posted().size(), 1u);
  EXPECT_EQ(notifier->posted()[0].title, "✦ Trip — Corvane AI done");
  EXPECT_EQ(notifier->posted()[0].body, "line one line two");
  EXPECT_EQ(readLog().back().text, "✦ Trip — Corvane AI done — line one line two");
  EXPECT_EQ(readLog().back().kind, "info");

  postRunNotice("Trip", false, "");
  scheduler.runUntilIdle();
  EXPECT_EQ(notifier->posted().back().title, "✗ Trip — Corvane AI failed");
  EXPECT_EQ(notifier->posted().back().body, "See the note for details.");
  EXPECT_EQ(readLog().back().kind, "error");
  EXPECT_EQ(runNoticeBody(true, ""), "Your results are on the note.");

  // Posting fails: the panel, as a success.
  notifier->setPostFailure("server gone");
  postUserNotice("Saved", "");
  scheduler.runUntilIdle();
  EXPECT_EQ(panel.back(), (std::pair<std::string, bool>{"Saved", false}));

  // Not yet determined: asked once; refused means the panel.
  auto undecided = std::make_shared<platform::FakeNotifier>(NotificationAuthorization::NotDetermined);
  undecided->setGrantOnRequest(false);
  platform::installUserNotifier(undecided);
  postUserNotice("✗ Clip", "");
  scheduler.runUntilIdle();
  EXPECT_EQ(undecided->authorizationRequests(), 1);
  EXPECT_TRUE(undecided->posted().empty());
  EXPECT_EQ(panel.back(), (std::pair<std::string, bool>{"✗ Clip", true}));

  // Denied: never posted.
  platform::installUserNotifier(std::make_shared<platform::FakeNotifier>(NotificationAuthorization::Denied));
  postUserNotice("Hello", "world");
  scheduler.runUntilIdle();
  EXPECT_EQ(panel.back(), (std::pair<std::string, bool>{"Hello", false}));
}

}  // namespace
}  // namespace corvane::records
