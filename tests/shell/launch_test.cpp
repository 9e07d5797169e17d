#include "shell/launch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <thread>

#include "notes/memory_note_store.h"
#include "records/settings.h"
#include "shell/first_run.h"
#include "shell/geometry.h"
#include "shell/permission_poll.h"
#include "shell/status_item.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::shell {
namespace {

TEST(FrameText, RoundTripsAndRejectsBadShapes) {
  EXPECT_EQ(frameText({12.5, -3, 900, 600}), "{{12.5, -3}, {900, 600}}");
  EXPECT_EQ(parseFrameText("{{12.5, -3}, {900, 600}}"), (Rect{12.5, -3, 900, 600}));
  EXPECT_EQ(parseFrameText("{{1,2},{3,4}}"), (Rect{1, 2, 3, 4}));
  for (const char* bad : {"", "{{1, 2}, {3}}", "{{1, 2}, {3, 4}} x", "{{inf, 2}, {3, 4}}", "{{1, 2}, {0, 4}}",
                          "{{1, 2}, {3, -4}}", "{{1, 2}, {3e7, 4}}", "[[1,2],[3,4]]"})
    EXPECT_FALSE(parseFrameText(bad)) << bad;
}

TEST(LaunchArguments, EachFormAndItsRequestLine) {
  struct Case {
    std::vector<std::string> args;
    LaunchAction action;
    std::string line;
  };
  const Case cases[] = {
      {{}, LaunchAction::Run, "quit"},
      {{"--toggle"}, LaunchAction::Toggle, "toggle"},
      {{"--new-note"}, LaunchAction::NewNote, "new-note"},
      {{"--settings"}, LaunchAction::Settings, "settings"},
      {{"corvane://auth/email?link=x"}, LaunchAction::OpenUrl, "url corvane://auth/email?link=x"},
      {{"CORVANE://auth/x"}, LaunchAction::OpenUrl, "url CORVANE://auth/x"},
  };
  for (const auto& c : cases) {
    auto r = parseLaunchArguments(c.args);
    ASSERT_TRUE(r) << c.line;
    EXPECT_EQ(r->action, c.action);
    EXPECT_EQ(requestLine(*r), c.line);
    auto back = parseRequestLine(c.line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->action, c.action);
    EXPECT_EQ(back->url, r->url);
  }
  EXPECT_FALSE(parseLaunchArguments({"--bogus"}));
  EXPECT_FALSE(parseLaunchArguments({"https://example.com"}));
  EXPECT_FALSE(parseRequestLine("reboot"));
}

TEST(UrlRouting, OnlyCorvaneAuthUrlsAndTheEmailLink) {
  EXPECT_TRUE(isAuthUrl("corvane://auth/x"));
  EXPECT_TRUE(isAuthUrl("Corvane://AUTH/email?link=a"));
  for (const char* other : {"corvane://other/x", "https://auth/x", "corvane://user@auth/x", "corvane://auth:80/x",
                            "corvane:auth/x", "corvane://auth\n/x", "", "corvane://"})
    EXPECT_FALSE(isAuthUrl(other)) << other;
  EXPECT_EQ(emailSignInLink("corvane://auth/email?link=https%3A%2F%2Fa.b%2Fc%3Fd%3D1&x=2"), "https://a.b/c?d=1");
  EXPECT_EQ(emailSignInLink("corvane://auth/email"), "");
  EXPECT_FALSE(emailSignInLink("corvane://auth/emails?link=a"));
  EXPECT_FALSE(emailSignInLink("corvane://auth/x?link=a"));
}

TEST(ControlSocket, OneCopyListensAndAnswersALine) {
  testing::TempDir dir;
  auto path = dir.path() / "run" / "control.sock";
  auto server = ControlServer::listen(path);
  ASSERT_TRUE(server) << server.error();
  auto second = ControlServer::listen(path);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), "another copy is running");

  std::thread peer([&] {
    // The second listen's probe connected and left without a line: skipped.
    std::optional<std::pair<int, std::string>> got;
    for (int i = 0; i < 3 && !got; ++i) {
      pollfd p{(*server)->fd(), POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 5000), 1);
      got = (*server)->acceptOne();
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(got->second, "toggle");
    ControlServer::answer(got->first, "ok");
  });
  int pid = 0;
  auto reply = sendToRunningCopy(path, "toggle", 5000, &pid);
  peer.join();
  ASSERT_TRUE(reply) << reply.error();
  EXPECT_EQ(*reply, "ok");
  EXPECT_EQ(pid, ::getpid());

  // A stale socket file left by a crash is replaced.
  server->reset();
  EXPECT_FALSE(sendToRunningCopy(path, "toggle", 100));
  { std::ofstream(path.string()) << ""; }
  EXPECT_TRUE(ControlServer::listen(path));
}

TEST(Permissions, TextAndPollEmitOnlyOnChange) {
  EXPECT_EQ(permissionText(true, false, true), R"({"accessibility":true,"inputMonitoring":false,"notes":true})");
  testing::FakeScheduler sched;
  auto main = sched.createQueue("main");
  PermissionState state{false, false, true};
  std::vector<std::string> emitted;
  auto poll = PermissionPoll::create(
      *main, [&] { return state; }, [&](const std::string& p) { emitted.push_back(p); });
  poll->start();
  sched.fastForwardBy(std::chrono::milliseconds(1499));
  EXPECT_TRUE(emitted.empty());
  sched.fastForwardBy(std::chrono::milliseconds(1));
  ASSERT_EQ(emitted.size(), 1u);
  sched.fastForwardBy(std::chrono::seconds(6));
  EXPECT_EQ(emitted.size(), 1u);
  state.accessibility = state.inputMonitoring = true;
  sched.fastForwardBy(std::chrono::milliseconds(1500));
  ASSERT_EQ(emitted.size(), 2u);
  EXPECT_EQ(emitted[1], R"({"accessibility":true,"inputMonitoring":true,"notes":true})");
  poll.reset();
  sched.fastForwardBy(std::chrono::seconds(10));
  EXPECT_EQ(emitted.size(), 2u);
}

class SeedingTest : public ::testing::Test {
 protected:
  SeedingTest() {
    records::SettingsStore::setSharedForTesting(std::make_shared<records::SettingsStore>(
        std::make_shared<SerialQueue>("test.settings"), home.path() / "Corvane" / "settings.json"));
  }
  ~SeedingTest() override { records::SettingsStore::setSharedForTesting(nullptr); }
  testing::TempHome home;
  notes::testing::MemoryNoteStore store;
};

TEST_F(SeedingTest, CreatesAllThreePinnedWithTheClipTargets) {
  auto out = seedSampleNotes(store, nullptr);
  EXPECT_THAT(out.created, ::testing::ElementsAre("ToDo List", "Followup", "Raw Clips"));
  auto s = records::Settings::load();
  EXPECT_THAT(s.pinned, ::testing::ElementsAre(out.todoId, out.followupId, out.rawClipsId));
  EXPECT_EQ(s.followupId, out.followupId);
  EXPECT_EQ(s.rawClipsId, out.rawClipsId);
  // A second run finds them all and changes nothing.
  auto again = seedSampleNotes(store, nullptr);
  EXPECT_TRUE(again.created.empty());
  EXPECT_FALSE(again.pinnedChanged);
  EXPECT_EQ(records::Settings::load().pinned.size(), 3u);
}

TEST_F(SeedingTest, AnExistingFollowupIsUsedAndNotPinned) {
  store.put("my-followups", "Followup", "<div>mine</div>", 1);
  auto out = seedSampleNotes(store, nullptr);
  EXPECT_THAT(out.created, ::testing::ElementsAre("ToDo List", "Raw Clips"));
  auto s = records::Settings::load();
  EXPECT_EQ(s.followupId, "my-followups");
  EXPECT_THAT(s.pinned, ::testing::ElementsAre(out.todoId, out.rawClipsId));
}

TEST_F(SeedingTest, FirstRunFlagIsSetBeforeSeedingSoItRunsOnce) {
  ASSERT_TRUE(records::Settings::update([](records::Settings& s) { s.initialNotesCreated = true; }));
  seedOnFirstRun();  // already seeded: nothing starts
  EXPECT_TRUE(store.listNotes(-1)->empty());
}

TEST(SampleNotes, PlainTextMatchesTheMarkup) {
  ASSERT_EQ(sampleNotes().size(), 3u);
  EXPECT_EQ(sampleNotes()[0].plainText, "- [ ] Pick up groceries\n- [ ] Review Stripe fix");
  for (const auto& s : sampleNotes()) EXPECT_FALSE(s.html.empty());
}

TEST(StatusMenu, EntriesInOrder) {
  std::vector<std::string> labels;
  for (const auto& e : statusMenuEntries()) labels.push_back(e.label);
  EXPECT_THAT(labels, ::testing::ElementsAre("Show / Hide Grid", "", "Check for Updates…", "", "Quit Corvane"));
}

}  // namespace
}  // namespace corvane::shell
