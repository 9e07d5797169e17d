#include "shell/window_controller.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "platform/fake/memory_user_defaults.h"
#include "testing/fake_scheduler.h"

namespace corvane::shell {
namespace {

using ::testing::ElementsAre;

// A window system that records what the controller does. Animations finish
// only when the test says so (finishAnimations), so generations can be seen.
class FakeWindowSystem : public WindowSystem {
 public:
  std::vector<Rect> screens{{0, 0, 1440, 900}};
  Rect current{100, 100, 900, 600};
  bool visible = false;
  std::optional<ForeignApp> front = ForeignApp{42, 4200};
  bool ownFront = false;
  bool previousRunning = true;
  std::vector<ForeignApp> activated;
  std::vector<std::string> scripts;
  std::vector<std::pair<Rect, double>> frameRequests;
  std::vector<std::function<void()>> pendingDone;
  Size minimum{620, 440};

  std::vector<Rect> visibleFrames() override { return screens; }
  std::optional<size_t> windowScreen() override { return bestScreen(current, screens); }
  Rect frame() override { return current; }
  void setFrame(const Rect& f, double seconds, std::function<void()> done) override {
    current = f;
    frameRequests.emplace_back(f, seconds);
    pendingDone.push_back(std::move(done));
  }
  void finishAnimations() {
    auto done = std::move(pendingDone);
    pendingDone.clear();
    for (auto& d : done)
      if (d) d();
  }
  void setMinimumSize(const Size& s) override { minimum = s; }
  bool isVisible() override { return visible; }
  void orderFront() override {
    visible = true;
    ownFront = true;
  }
  void orderOut() override { visible = false; }
  std::optional<ForeignApp> frontmostApp(bool& own) override {
    own = ownFront;
    return ownFront ? std::nullopt : front;
  }
  bool isRunning(const ForeignApp&) override { return previousRunning; }
  void activate(const ForeignApp& app) override {
    activated.push_back(app);
    ownFront = false;
  }
  void evaluateScript(const std::string& s) override { scripts.push_back(s); }
};

class WindowControllerTest : public ::testing::Test {
 protected:
  WindowControllerTest() : defaults(platform::makeMemoryUserDefaults()) {}

  std::shared_ptr<WindowController> make() {
    WindowServices s;
    s.emit = [this](std::string_view n, std::string_view p) { events.emplace_back(std::string(n), std::string(p)); };
    s.recordSummon = [this] { ++summons; };
    s.recordFocusSession = [this] { ++focusSessions; };
    s.onboardingActive = [this] { return onboarding; };
    s.endOnboarding = [this] { onboarding = false; };
    if (gate) {
      s.unlockRequired = [] { return true; };
      s.authenticate = [this](std::function<void(bool)> answer) { ++authAsked, pendingAuth = std::move(answer); };
    }
    auto c = WindowController::create(ws, *main, sched, *defaults, std::move(s));
    c->installHooks();
    return c;
  }
  std::vector<std::string> eventNames() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.first);
    return out;
  }
  std::optional<std::string> savedFrame() const { return defaults->getString(kWindowFrameKey); }

  testing::FakeScheduler sched;
  std::shared_ptr<TaskQueue> main = sched.createQueue("main");
  std::shared_ptr<platform::UserDefaults> defaults;
  FakeWindowSystem ws;
  std::vector<std::pair<std::string, std::string>> events;
  int summons = 0, focusSessions = 0, authAsked = 0;
  bool onboarding = false;
  bool gate = false;
  std::function<void(bool)> pendingAuth;
};

TEST_F(WindowControllerTest, InitialFrameIsDefaultOrTheSavedOnePlacedOnScreen) {
  struct Case {
    std::optional<std::string> saved;
    Rect expected;
  };
  const Case cases[] = {
      {std::nullopt, {172.8, 90, 1094.4, 720}},  // 0.76 × 1440, 0.8 × 900, centred
      {"{{10, 20}, {800, 500}}", {10, 20, 800, 500}},
      {"{{10, 20}, {300, 200}}", {10, 20, 620, 440}},      // grown to the minimum
      {"{{5000, 3000}, {800, 500}}", {0, 0, 800, 500}},    // a monitor that is gone
      {"{{1300, 800}, {800, 500}}", {640, 400, 800, 500}}, // clamped inside
      {"{{nan, 0}, {800, 500}}", {172.8, 90, 1094.4, 720}},
      {"{{0, 0}, {-800, 500}}", {172.8, 90, 1094.4, 720}},
      {"{{0, 0}, {1e300, 500}}", {172.8, 90, 1094.4, 720}},
      {"not a frame", {172.8, 90, 1094.4, 720}},
  };
  for (const auto& c : cases) {
    auto d = platform::makeMemoryUserDefaults();
    if (c.saved) ASSERT_TRUE(d->set(kWindowFrameKey, *c.saved));
    auto ctl = WindowController::create(ws, *main, sched, *d, {});
    Rect r = ctl->initialFrame();
    EXPECT_NEAR(r.x, c.expected.x, 1e-9) << c.saved.value_or("none");
    EXPECT_NEAR(r.y, c.expected.y, 1e-9) << c.saved.value_or("none");
    EXPECT_NEAR(r.width, c.expected.width, 1e-9) << c.saved.value_or("none");
    EXPECT_NEAR(r.height, c.expected.height, 1e-9) << c.saved.value_or("none");
  }
}

TEST_F(WindowControllerTest, SavedFrameGoesToTheMonitorItOverlapsMost) {
  ws.screens = {{0, 0, 1440, 900}, {1440, 0, 1920, 1080}};
  ASSERT_TRUE(defaults->set(kWindowFrameKey, "{{1300, 100}, {800, 500}}"));
  auto ctl = make();
  EXPECT_EQ(ctl->initialFrame(), (Rect{1440, 100, 800, 500}));
}

TEST_F(WindowControllerTest, ShowThenHideHandsFocusBackAndCountsASummon) {
  auto ctl = make();
  ctl->show();
  EXPECT_TRUE(ws.visible);
  EXPECT_EQ(summons, 1);
  EXPECT_THAT(eventNames(), ElementsAre("tauri://focus"));
  EXPECT_THAT(ws.scripts, ElementsAre(std::string(kFocusScript)));
  EXPECT_EQ(ctl->previousApp(), (ForeignApp{42, 4200}));
  // Showing again while the tray is in front keeps the other application.
  ctl->show();
  EXPECT_EQ(ctl->previousApp(), (ForeignApp{42, 4200}));
  ctl->hide();
  EXPECT_FALSE(ws.visible);
  EXPECT_THAT(ws.activated, ElementsAre(ForeignApp{42, 4200}));
  EXPECT_FALSE(ctl->previousApp());
  EXPECT_EQ(savedFrame(), "{{100, 100}, {900, 600}}");
}

TEST_F(WindowControllerTest, HideDoesNotActivateAGoneOrNoLongerFrontApplication) {
  auto ctl = make();
  ctl->show();
  ws.previousRunning = false;
  ctl->hide();
  EXPECT_TRUE(ws.activated.empty());
  ws.previousRunning = true;
  ctl->show();
  ws.ownFront = false;  // the user already went elsewhere
  ctl->hide();
  EXPECT_TRUE(ws.activated.empty());
}

TEST_F(WindowControllerTest, NotificationHoldDefersHideUntilItEndsOrSixSeconds) {
  auto ctl = make();
  ctl->show();
  ctl->setNotificationHold(true);
  bridge::shellHooks().hideWindow();
  EXPECT_TRUE(ws.visible);
  EXPECT_TRUE(ctl->pendingHide());
  ctl->setNotificationHold(false);
  EXPECT_FALSE(ws.visible);

  ctl->show();
  ctl->setNotificationHold(true);
  ctl->toggle();  // the toggle defers too
  sched.fastForwardBy(std::chrono::milliseconds(5999));
  EXPECT_TRUE(ws.visible);
  sched.fastForwardBy(std::chrono::milliseconds(1));
  EXPECT_FALSE(ws.visible);
  EXPECT_FALSE(ctl->notificationHoldActive());
}

TEST_F(WindowControllerTest, RenewedHoldRestartsTheTimeout) {
  auto ctl = make();
  ctl->show();
  ctl->setNotificationHold(true);
  sched.fastForwardBy(std::chrono::seconds(4));
  ctl->setNotificationHold(true);
  ctl->hide();
  sched.fastForwardBy(std::chrono::seconds(4));
  EXPECT_TRUE(ws.visible);
  sched.fastForwardBy(std::chrono::seconds(2));
  EXPECT_FALSE(ws.visible);
}

TEST_F(WindowControllerTest, FocusSessionsCountOncePastNinetySeconds) {
  auto ctl = make();
  // 95 s ended by the task: one session; hiding later adds none.
  ctl->show();
  sched.fastForwardBy(std::chrono::seconds(95));
  EXPECT_EQ(focusSessions, 1);
  ctl->hide();
  EXPECT_EQ(focusSessions, 1);
  // 80 s: none.
  ctl->show();
  sched.fastForwardBy(std::chrono::seconds(80));
  ctl->hide();
  EXPECT_EQ(focusSessions, 1);
  // A hide at 89 s and a new show: the old task must not count the new session.
  ctl->show();
  sched.fastForwardBy(std::chrono::seconds(89));
  ctl->hide();
  ctl->show();
  sched.fastForwardBy(std::chrono::seconds(10));
  EXPECT_EQ(focusSessions, 1);
  sched.fastForwardBy(std::chrono::seconds(81));
  EXPECT_EQ(focusSessions, 2);
}

TEST_F(WindowControllerTest, ManyShowHideCyclesCountExactly) {
  auto ctl = make();
  for (int i = 0; i < 10000; ++i) {
    ctl->toggle();
    ctl->toggle();
  }
  EXPECT_EQ(summons, 10000);
  EXPECT_EQ(focusSessions, 0);
  EXPECT_LE(sched.pendingTaskCount(), 1u);  // one focus check, not one per cycle
}

TEST_F(WindowControllerTest, SettingsSizeGrowsCentredAndRestores) {
  auto ctl = make();
  ctl->show();
  ctl->setSettingsWindow(true);
  EXPECT_EQ(ws.current, (Rect{230, 90, 980, 720}));
  EXPECT_EQ(ws.frameRequests.back().second, WindowController::kSettingsSeconds);
  ws.finishAnimations();
  EXPECT_TRUE(ctl->isSettingsSized());
  // The temporary size is never saved.
  ctl->hide();
  EXPECT_EQ(savedFrame(), "{{100, 100}, {900, 600}}");
  ctl->show();
  ctl->setSettingsWindow(false);
  ws.finishAnimations();
  EXPECT_EQ(ws.current, (Rect{100, 100, 900, 600}));
  EXPECT_FALSE(ctl->isSettingsSized());
  // Inactive when not settings-sized does nothing.
  size_t requests = ws.frameRequests.size();
  ctl->setSettingsWindow(false);
  EXPECT_EQ(ws.frameRequests.size(), requests);
}

TEST_F(WindowControllerTest, OnlyTheLastSettingsAnimationClearsTheState) {
  auto ctl = make();
  ctl->setSettingsWindow(true);
  ws.finishAnimations();
  ctl->setSettingsWindow(false);
  auto firstClose = std::move(ws.pendingDone.back());
  ws.pendingDone.clear();
  ctl->setSettingsWindow(true);  // reopened before the close finished
  firstClose();
  EXPECT_TRUE(ctl->isSettingsSized());
  EXPECT_TRUE(ctl->settingsRestoreFrame());
}

TEST_F(WindowControllerTest, MovingDuringSettingsMovesTheRestoreFrame) {
  auto ctl = make();
  ctl->setSettingsWindow(true);
  ws.finishAnimations();
  ws.current.x = 300;
  ws.current.y = 50;
  ctl->windowMoved(/*leftButtonDown=*/true);
  EXPECT_EQ(ctl->settingsRestoreFrame(), (Rect{300, 50, 900, 600}));
}

TEST_F(WindowControllerTest, FrameSaveIsDebounced) {
  auto ctl = make();
  ws.current = {10, 10, 700, 500};
  ctl->windowMoved(false);
  sched.fastForwardBy(std::chrono::milliseconds(200));
  ws.current = {20, 20, 700, 500};
  ctl->windowMoved(false);
  sched.fastForwardBy(std::chrono::milliseconds(299));
  EXPECT_FALSE(savedFrame());
  sched.fastForwardBy(std::chrono::milliseconds(1));
  EXPECT_EQ(savedFrame(), "{{20, 20}, {700, 500}}");
}

TEST_F(WindowControllerTest, GridFitOnlyGrowsAndUsesTheFirstCandidateThatFits) {
  auto ctl = make();
  // Desired too large, compact fits.
  ctl->fitGridWindow({2000, 1000, 1000, 700, 500, 400});
  EXPECT_EQ(ws.current, (Rect{50, 50, 1000, 700}));  // centre kept
  EXPECT_EQ(ws.minimum, (Size{1000, 700}));
  ws.finishAnimations();
  // Smaller candidates never shrink the window.
  size_t requests = ws.frameRequests.size();
  ctl->fitGridWindow({700, 500, 650, 450, 620, 440});
  EXPECT_EQ(ws.frameRequests.size(), requests);
  EXPECT_EQ(ws.minimum, (Size{700, 500}));
  // All larger than the screen: the visible frame's size.
  ctl->fitGridWindow({5000, 5000, 4000, 4000, 3000, 3000});
  EXPECT_EQ(ws.current, (Rect{0, 0, 1440, 900}));
  ctl->setGridWindowAuto();
  EXPECT_EQ(ws.minimum, kMinimumWindowSize);
}

TEST_F(WindowControllerTest, OnboardingSizeAndDismissOnHide) {
  auto ctl = make();
  ctl->show();
  onboarding = true;
  bridge::shellHooks().setOnboardingWindow(true);
  EXPECT_EQ(ws.current, (Rect{160, 60, 1120, 780}));
  EXPECT_EQ(ws.current.size(), (Size{1120, 780}));
  ws.finishAnimations();
  EXPECT_TRUE(ctl->isOnboardingSized());
  ctl->hide();
  ws.finishAnimations();
  EXPECT_FALSE(onboarding);
  EXPECT_FALSE(ctl->isOnboardingSized());
  EXPECT_EQ(events.back().first, "onboard:dismissed");
  EXPECT_EQ(ws.current, (Rect{100, 100, 900, 600}));
}

TEST_F(WindowControllerTest, OpenSettingsHookShowsThenEmits) {
  auto ctl = make();
  bridge::shellHooks().openSettings();
  EXPECT_TRUE(ws.visible);
  EXPECT_THAT(eventNames(), ElementsAre("tauri://focus", "menu:settings"));
}

TEST_F(WindowControllerTest, UnlockGateAsksOnceAndAFailureLeavesTheWindowHidden) {
  gate = true;
  auto ctl = make();
  ctl->show();
  EXPECT_EQ(authAsked, 1);
  EXPECT_FALSE(ws.visible);
  pendingAuth(false);
  EXPECT_FALSE(ws.visible);
  ctl->show();
  pendingAuth(true);
  EXPECT_TRUE(ws.visible);
  ctl->hide();
  ctl->show();
  EXPECT_EQ(authAsked, 2);
  EXPECT_TRUE(ws.visible);
}

TEST_F(WindowControllerTest, HooksDoNothingOnceTheControllerIsGone) {
  make()->installHooks();  // dropped at once
  bridge::shellHooks().showWindow();
  bridge::shellHooks().hideWindow();
  EXPECT_FALSE(ws.visible);
}

}  // namespace
}  // namespace corvane::shell
