// HotkeyManager, MouseHook and the capture commands on the fake input service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "bridge/shell_hooks.h"
#include "capture/capture.h"
#include "capture/clip_pipeline.h"
#include "capture/commands.h"
#include "capture/hotkey_manager.h"
#include "capture/mouse_hook.h"
#include "core/paths.h"
#include "platform/fake/fake_input_service.h"
#include "platform/fake/memory_user_defaults.h"
#include "records/app_log.h"
#include "records/settings.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::capture {
namespace {

using namespace platform;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using corvane::testing::FailedWith;
using corvane::testing::HasValue;
using corvane::testing::IsOk;

class SilentHUD final : public ClipHUD {
 public:
  void show(const std::string&, bool) override {}
};

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)mainQueue();  // the test's thread is the main thread
    records::SettingsStore::setSharedForTesting(
        std::make_shared<records::SettingsStore>(scheduler.createQueue("com.corvane.settings")));
    logDir = home.path() / "logs";
    records::AppLog::setSharedForTesting(
        std::make_shared<records::AppLog>(scheduler, scheduler.createQueue("com.corvane.applog"), [this] { return logDir; }));
    defaults = makeMemoryUserDefaults();
    UserDefaults::setSharedForTesting(defaults);
    hook = std::make_shared<MouseHook>(scheduler);
    MouseHook::setSharedForTesting(hook);
    manager = std::make_shared<HotkeyManager>();
    HotkeyManager::setSharedForTesting(manager);
    service = std::make_shared<FakeInputService>(scheduler.createQueue("input"));
    bridge::ShellHooks hooks;
    hooks.emitEvent = [this](std::string_view name, std::string_view payload) {
      events.push_back(std::string(name) + " " + std::string(payload));
    };
    bridge::installShellHooks(hooks);
    installCaptureCommands(router);
    // Clips run on the test's scheduler and touch nothing beyond it.
    ClipPipeline::installShared(std::make_shared<ClipPipeline>(
        scheduler, scheduler.createQueue("com.corvane.clip"), nullptr, nullptr, std::make_shared<SilentHUD>(),
        ClipServices{}));
  }
  void TearDown() override {
    stopCapture();
    drain();
    ClipPipeline::installShared(nullptr);
    bridge::installShellHooks({});
    MouseHook::setSharedForTesting(nullptr);
    HotkeyManager::setSharedForTesting(nullptr);
    records::AppLog::setSharedForTesting(nullptr);
    records::SettingsStore::setSharedForTesting(nullptr);
    UserDefaults::setSharedForTesting(nullptr);
  }

  // Runs the fake event thread and the main queue until both are quiet.
  void drain() {
    for (int i = 0; i < 5; ++i) {
      scheduler.runUntilIdle();
      mainQueue().runReady();
    }
  }
  bridge::CommandResult run(std::string_view command, std::string_view args = "{}") {
    auto result = router.route(command, *parseJson(args));
    drain();
    return result;
  }
  void start() {
    ASSERT_THAT(startCapture(service), IsOk());
    drain();
  }
  Verdict inject(InputEventKind kind, uint16_t key, uint32_t flags, int64_t button = -1) {
    InputEvent e;
    e.kind = kind;
    e.keyCode = key;
    e.flags = flags;
    e.button = button;
    e.time = scheduler.monotonicNow();
    Verdict v = service->inject(e);
    drain();
    return v;
  }
  // The application log's lines for one activity.
  std::vector<std::string> logLines(std::string_view activity) {
    records::AppLog::shared().flush();
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(logDir)) {
      if (entry.path().filename() == records::kPendingUploadFileName) continue;
      std::ifstream in(entry.path());
      std::string line;
      while (std::getline(in, line)) {
        auto json = parseJson(line);
        if (json && json->value("activity", "") == activity) lines.push_back(json->value("message", ""));
      }
    }
    return lines;
  }

  corvane::testing::TempHome home;
  std::filesystem::path logDir;
  corvane::testing::FakeScheduler scheduler;
  std::shared_ptr<UserDefaults> defaults;
  std::shared_ptr<MouseHook> hook;
  std::shared_ptr<HotkeyManager> manager;
  std::shared_ptr<FakeInputService> service;
  std::vector<std::string> events;
  bridge::Router router;
};

TEST_F(CaptureTest, DefaultBindingsRegisterThreeHotkeysAndLogAllFour) {
  start();
  EXPECT_THAT(service->hotkeys(),
              ElementsAre(::testing::Pair(2, std::pair<uint16_t, uint32_t>{0, kModOption}),
                          ::testing::Pair(3, std::pair<uint16_t, uint32_t>{8, kModOption}),
                          ::testing::Pair(5, std::pair<uint16_t, uint32_t>{7, kModOption})));
  EXPECT_THAT(logLines("hotkeys"),
              ElementsAre("registered ok: action=Option+A shortlist=Option+X clip=Option+C followup=Option+X"));
  EXPECT_EQ(manager->shortlistTriggerKey(), 7);
}

TEST_F(CaptureTest, RefusedHotkeyIsReportedAndServedAsFallback) {
  service->takeCombination(0, kModOption);
  start();
  const std::string message =
      "Corvane Action (Option+A) couldn't be registered — likely already used by another app. Pick a different shortcut.";
  EXPECT_EQ(manager->lastFailure(), message);
  auto config = run("get_config");
  ASSERT_THAT(config, IsOk());
  EXPECT_EQ((*parseJson(*config))["hotkeyError"], message);
  bool ran = false;
  hook->setOnRunAction([&ran] { ran = true; });
  EXPECT_EQ(inject(InputEventKind::KeyDown, 0, kFlagOption), Verdict::Swallow);
  EXPECT_TRUE(ran);
}

TEST_F(CaptureTest, DuplicateShortcutsAreComparedByKeysNotText) {
  ASSERT_THAT(records::Settings::update([](records::Settings& s) {
    s.bindings["clip"] = "Alt+X";  // the shortlist's Option+X in other words
    s.bindings["clip_followup"] = "Option+Z";
    s.bindings["shortlist"] = "Option+X";
  }), IsOk());
  start();
  EXPECT_EQ(service->hotkeys().count(kClipHotkeyId), 0u);
  EXPECT_EQ(service->hotkeys().count(kFollowupHotkeyId), 1u);
  EXPECT_EQ(manager->lastFailure(), std::nullopt);
  EXPECT_THAT(run("set_binding", R"({"action":"shortlist","accelerator":"Alt+A"})"),
              FailedWith("That shortcut is already bound to Corvane Action — pick a different one."));
  EXPECT_THAT(run("set_binding", R"({"action":"run_action","accelerator":"Option+A"})"), HasValue("null"));
}

TEST_F(CaptureTest, OlderFollowupBindingServesTheShortlist) {
  ASSERT_THAT(records::Settings::update([](records::Settings& s) { s.bindings["clip_followup"] = "Ctrl+Alt+F"; }),
              IsOk());
  start();
  EXPECT_EQ(service->hotkeys().at(kShortlistHotkeyId), (std::pair<uint16_t, uint32_t>{3, kModControl | kModOption}));
  EXPECT_EQ(service->hotkeys().count(kFollowupHotkeyId), 0u) << "the same keys as the shortlist";
  auto config = *parseJson(*run("get_config"));
  EXPECT_EQ(config["keys"][1]["accelerator"], "Ctrl+Alt+F");
}

TEST_F(CaptureTest, SetBindingRefusesBadShortcutsBeforeStoring) {
  start();
  for (const char* bad : {"", "+", "++", "Option", "Option+Foo", "option+A", "Cmd+Cmd+A", "Option+é", "K", "Shift+K"}) {
    auto args = Json{{"action", "clip"}, {"accelerator", bad}};
    EXPECT_FALSE(router.route("set_binding", args).has_value()) << bad;
  }
  EXPECT_TRUE(records::Settings::load().bindings.empty());
  EXPECT_THAT(run("set_binding", R"({"action":"clip","accelerator":"K"})"),
              FailedWith("Choose a shortcut with Ctrl, Alt or Super — a plain key would be taken from every application."));
  EXPECT_THAT(run("set_binding", R"({"action":"clip","accelerator":"Ctrl+Alt+K"})"), HasValue("null"));
  EXPECT_EQ(service->hotkeys().at(kClipHotkeyId), (std::pair<uint16_t, uint32_t>{40, kModControl | kModOption}));
}

TEST_F(CaptureTest, StoredBindingStaysWhenItsRegistrationFails) {
  start();
  service->takeCombination(40, kModControl);
  EXPECT_THAT(run("set_binding", R"({"action":"clip","accelerator":"Ctrl+K"})"),
              FailedWith("Shortlist (⌥C alias) (Ctrl+K) couldn't be registered — likely already used by another app. "
                         "Pick a different shortcut."));
  EXPECT_EQ(records::Settings::load().bindings.at("clip"), "Ctrl+K");
}

TEST_F(CaptureTest, HotkeysDispatchOnTheMainQueueUnlessActionsAreDisabled) {
  start();
  std::vector<std::string> calls;
  manager->onClip = [&] { calls.push_back("clip"); };
  manager->onShortlistDown = [&] { calls.push_back("down"); };
  manager->onShortlistUp = [&] { calls.push_back("up"); };
  service->pressHotkey(kClipHotkeyId, true);
  service->pressHotkey(kClipHotkeyId, false);
  service->pressHotkey(kShortlistHotkeyId, true);
  service->pressHotkey(kShortlistHotkeyId, false);
  EXPECT_TRUE(calls.empty()) << "nothing runs on the event thread";
  drain();
  EXPECT_THAT(calls, ElementsAre("clip", "down", "up"));
  ASSERT_THAT(run("set_actions_enabled", R"({"enabled":false})"), IsOk());
  service->pressHotkey(kShortlistHotkeyId, true);
  service->pressHotkey(kShortlistHotkeyId, false);
  drain();
  EXPECT_EQ(calls.size(), 3u);
  auto lines = logLines("hotkeys");
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "blocked hotkey id=5 — actionsEnabled=false (Settings open or capture in progress?)"),
            2);
}

TEST_F(CaptureTest, ClipTriggerDebouncesPerTarget) {
  start();
  service->pressHotkey(kClipHotkeyId, true);
  drain();
  scheduler.fastForwardBy(200ms);
  service->pressHotkey(kClipHotkeyId, true);
  drain();
  scheduler.fastForwardBy(400ms);  // 0.4 s after the previous trigger: still dropped
  service->pressHotkey(kClipHotkeyId, true);
  drain();
  hook->clip(ClipTarget::followup(), "keyboard");
  hook->clip(ClipTarget::newNote("Xmas"), "keyboard");
  scheduler.fastForwardBy(501ms);
  service->pressHotkey(kClipHotkeyId, true);
  drain();
  EXPECT_THAT(logLines("capture"), ElementsAre("clip target=.default source=keyboard",
                                               "clip target=.followup source=keyboard",
                                               "clip target=.new:Xmas source=keyboard",
                                               "clip target=.default source=keyboard"));
}

TEST_F(CaptureTest, KeyCaptureGrabsTheKeyboardAndReportsTheShortcut) {
  start();
  ASSERT_THAT(run("begin_key_capture"), HasValue("null"));
  EXPECT_TRUE(service->keyboardGrabbed());
  EXPECT_TRUE(service->hotkeys().empty());
  EXPECT_FALSE(hook->actionsEnabled());
  EXPECT_EQ(inject(InputEventKind::KeyDown, 40, kFlagControl | kFlagOption | kFlagShift | kFlagCommand), Verdict::Swallow);
  EXPECT_FALSE(service->keyboardGrabbed());
  EXPECT_THAT(events, ElementsAre(R"(key:captured {"accelerator":"Cmd+Ctrl+Option+Shift+K"})"));
  ASSERT_THAT(run("end_key_capture"), HasValue("null"));
  EXPECT_EQ(service->hotkeys().size(), 3u);
  EXPECT_FALSE(hook->actionsEnabled()) << "the page turns actions back on";

  ASSERT_THAT(run("begin_key_capture"), IsOk());
  inject(InputEventKind::KeyDown, 53, 0);
  EXPECT_EQ(events.back(), R"(key:captured {"cancelled":true})");
  EXPECT_FALSE(service->keyboardGrabbed());
}

TEST_F(CaptureTest, AbandonedKeyCaptureRestoresHotkeysAndActions) {
  start();
  ASSERT_THAT(run("begin_key_capture"), IsOk());
  scheduler.fastForwardBy(19s);
  drain();
  EXPECT_TRUE(service->keyboardGrabbed());
  scheduler.fastForwardBy(1s);
  drain();
  EXPECT_FALSE(service->keyboardGrabbed());
  EXPECT_EQ(service->hotkeys().size(), 3u);
  EXPECT_TRUE(hook->actionsEnabled());
  EXPECT_TRUE(events.empty()) << "the time-out disarms silently";

  ASSERT_THAT(run("begin_key_capture"), IsOk());
  settingsScreenClosed();
  drain();
  EXPECT_FALSE(service->keyboardGrabbed());
  EXPECT_EQ(service->hotkeys().size(), 3u);
  EXPECT_TRUE(hook->actionsEnabled());
}

TEST_F(CaptureTest, MouseBindingAndCapture) {
  start();
  EXPECT_THAT(run("set_mouse", R"({"action":"clip_button","button":"button3"})"), HasValue("null"));
  EXPECT_EQ(records::Settings::load().mouse.at("name_button"), "button3");
  EXPECT_THAT(service->decidedButtons(), ElementsAre(3));
  EXPECT_THAT(router.dispatch("set_mouse", Json{{"action", "clip_button"}, {"button", ""}}),
              FailedWith("unsupported mouse binding"));
  EXPECT_THAT(run("set_mouse", R"({"action":"run_action","button":"button3"})"), FailedWith("unsupported mouse binding"));
  EXPECT_EQ(inject(InputEventKind::OtherMouseDown, kNoKeyCode, 0, 3), Verdict::Swallow);
  EXPECT_EQ(inject(InputEventKind::OtherMouseDown, kNoKeyCode, 0, 4), Verdict::Pass);
  EXPECT_THAT(logLines("capture"), ElementsAre("clip target=.default source=mouse"));

  ASSERT_THAT(run("begin_mouse_capture", R"({"action":"name_button"})"), IsOk());
  EXPECT_EQ(service->decidedButtons().size(), 8u);
  EXPECT_EQ(inject(InputEventKind::OtherMouseDown, kNoKeyCode, 0, 5), Verdict::Swallow);
  EXPECT_THAT(events, ElementsAre(R"(mouse:captured {"action":"name_button","button":"button5"})"));
  EXPECT_THAT(service->decidedButtons(), ElementsAre(3));

  ASSERT_THAT(run("begin_mouse_capture", R"({"action":"name_button"})"), IsOk());
  scheduler.fastForwardBy(15s);
  drain();
  EXPECT_THAT(service->decidedButtons(), ElementsAre(3));
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(CaptureTest, OnboardingEventsAndFlags) {
  start();
  ASSERT_THAT(run("set_onboarding", R"({"active":true})"), IsOk());
  ASSERT_THAT(run("set_onboarding_step", R"({"step":"clip"})"), IsOk());
  inject(InputEventKind::FlagsChanged, kNoKeyCode, kFlagOption);
  scheduler.fastForwardBy(100ms);
  inject(InputEventKind::FlagsChanged, kNoKeyCode, 0);
  EXPECT_EQ(inject(InputEventKind::OtherMouseDown, kNoKeyCode, 0, 4), Verdict::Swallow);
  EXPECT_THAT(events, ElementsAre("onboard:tray null", R"(onboard:clip {"source":"mouse","button":"button4"})"));

  EXPECT_THAT(run("mark_configured"), HasValue("null"));
  EXPECT_THAT(run("mark_tutorial_seen"), HasValue("null"));
  EXPECT_TRUE(defaults->getBool("corvane_configured"));
  EXPECT_TRUE(defaults->getBool("corvane_tutorial_seen"));
  EXPECT_TRUE(records::Settings::load().configured);
  EXPECT_TRUE(records::Settings::load().tutorialSeen);
  auto config = *parseJson(*run("get_config"));
  EXPECT_EQ(config["configured"], true);
  EXPECT_EQ(config["axTrusted"], true);
  EXPECT_EQ(config["keys"][1]["accelerator"], "Option+X");
  EXPECT_EQ(config["mouse"][0]["accelerator"], "—");
}

TEST_F(CaptureTest, UnavailableSessionIsReportedAndReinstallRetries) {
  service->setStartFailure("no XInput2 on this display");
  EXPECT_THAT(startCapture(service), FailedWith("no XInput2 on this display"));
  drain();
  EXPECT_EQ((*parseJson(*run("get_config")))["axTrusted"], false);
  EXPECT_THAT(run("reinstall_hook"), HasValue("false"));
  service->setStartFailure(std::nullopt);
  EXPECT_THAT(run("reinstall_hook"), HasValue("true"));
  EXPECT_EQ(service->hotkeys().size(), 3u);
}

}  // namespace
}  // namespace corvane::capture
