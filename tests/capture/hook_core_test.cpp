#include "capture/hook_core.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvane::capture {
namespace {

using namespace platform;
using namespace std::chrono_literals;
using Kind = Effect::Kind;

// Drives a HookCore with a hand-moved clock and records effect kinds.
class HookCoreTest : public ::testing::Test {
 protected:
  MonoTime now{std::chrono::seconds(1000)};
  HookCore core;
  Effects effects;

  InputEvent at(InputEvent e) {
    e.time = now;
    return e;
  }
  Verdict key(uint16_t code, uint32_t flags = 0, bool repeat = false) {
    InputEvent e;
    e.kind = InputEventKind::KeyDown;
    e.keyCode = code;
    e.flags = flags;
    e.autoRepeat = repeat;
    return core.onEvent(at(e), effects);
  }
  void flags(uint32_t f) {
    InputEvent e;
    e.kind = InputEventKind::FlagsChanged;
    e.flags = f;
    EXPECT_EQ(core.onEvent(at(e), effects), Verdict::Pass);
  }
  Verdict button(int64_t n) {
    InputEvent e;
    e.kind = n == 0 ? InputEventKind::LeftMouseDown : n == 1 ? InputEventKind::RightMouseDown : InputEventKind::OtherMouseDown;
    e.button = n;
    return core.onEvent(at(e), effects);
  }
  std::vector<Kind> take() {
    std::vector<Kind> kinds;
    for (const auto& e : effects) kinds.push_back(e.kind);
    effects.clear();
    return kinds;
  }
};

TEST_F(HookCoreTest, OptionTapOpensTheTrayOnlyWhenShortAndAlone) {
  static const struct {
    const char* name;
    Duration held;
    int interruption;  // 0 none, 1 key, 2 left click, 3 extra button
    bool onboarding, enabled, keyCapture;
    std::vector<Kind> expected;
  } cases[] = {
      {"quick tap", 100ms, 0, false, true, false, {Kind::OpenTray}},
      {"just under the limit", 299ms, 0, false, true, false, {Kind::OpenTray}},
      {"held 0.3 s", 300ms, 0, false, true, false, {}},
      {"held 0.4 s", 400ms, 0, false, true, false, {}},
      {"key in between", 100ms, 1, false, true, false, {}},
      {"click in between", 100ms, 2, false, true, false, {}},
      {"extra button in between", 100ms, 3, false, true, false, {}},
      {"tutorial", 100ms, 0, true, true, false, {Kind::OnboardTray}},
      {"actions disabled", 100ms, 0, false, false, false, {}},
      {"key capture active", 100ms, 0, false, true, true, {}},
  };
  for (const auto& c : cases) {
    core = HookCore();
    core.setOnboardingActive(c.onboarding);
    core.setActionsEnabled(c.enabled);
    core.setKeyCaptureActive(c.keyCapture);
    flags(kFlagOption);
    now += c.held / 2;
    if (c.interruption == 1) key(8, kFlagOption);
    if (c.interruption == 2) button(0);
    if (c.interruption == 3) button(7);
    now += c.held - c.held / 2;
    flags(0);
    EXPECT_EQ(take(), c.expected) << c.name;
  }
}

TEST_F(HookCoreTest, OtherModifiersDoNotCancelTheTapAndRepeatedOptionFlagsKeepTheStart) {
  flags(kFlagOption);
  now += 200ms;
  flags(kFlagOption | kFlagShift);  // Shift joins; Option stays down since the first event
  now += 50ms;
  flags(kFlagShift);
  EXPECT_EQ(take(), std::vector<Kind>{Kind::OpenTray});
  now += 200ms;
  flags(kFlagOption);
  now += 200ms;
  flags(kFlagOption);
  now += 150ms;
  flags(0);
  EXPECT_TRUE(take().empty()) << "0.35 s since the first Option flag";
}

TEST_F(HookCoreTest, FallbackHotkeysFireOnceAndSwallowRepeats) {
  core.setFallbackHotkeys({{8, kFlagOption, "clip"}, {7, kFlagOption, "clip_followup"}, {0, kFlagOption, "run_action"}});
  EXPECT_EQ(key(8, kFlagOption), Verdict::Swallow);
  ASSERT_EQ(effects.size(), 1u);
  EXPECT_EQ(effects[0].kind, Kind::Clip);
  EXPECT_EQ(effects[0].target, ClipTargetKind::DefaultNote);
  EXPECT_EQ(effects[0].text, "keyboard");
  effects.clear();
  EXPECT_EQ(key(8, kFlagOption, true), Verdict::Swallow);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(key(7, kFlagOption), Verdict::Swallow);
  EXPECT_EQ(effects.at(0).target, ClipTargetKind::Followup);
  effects.clear();
  EXPECT_EQ(key(0, kFlagOption), Verdict::Swallow);
  EXPECT_EQ(take(), std::vector<Kind>{Kind::RunAction});
  // Different modifiers, another key, or actions disabled: the key is not ours.
  EXPECT_EQ(key(8, kFlagOption | kFlagShift), Verdict::Pass);
  EXPECT_EQ(key(9, kFlagOption), Verdict::Pass);
  core.setActionsEnabled(false);
  EXPECT_EQ(key(8, kFlagOption), Verdict::Pass);
  EXPECT_TRUE(take().empty());
}

TEST_F(HookCoreTest, KeyCaptureTakesTheFirstNamedShortcut) {
  core.beginKeyCapture(now);
  EXPECT_EQ(key(0xFFFF, kFlagControl), Verdict::Swallow);  // no name: capture goes on
  EXPECT_EQ(key(40), Verdict::Swallow);                     // a bare key is not offered
  EXPECT_EQ(key(40, kFlagShift), Verdict::Swallow);         // nor Shift alone
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(core.keyCaptureArmed());
  EXPECT_EQ(key(40, kFlagControl | kFlagOption | kFlagShift | kFlagCommand), Verdict::Swallow);
  ASSERT_EQ(effects.size(), 2u);
  EXPECT_EQ(effects[0].kind, Kind::KeyCaptureEnded);
  EXPECT_EQ(effects[1].kind, Kind::KeyCaptured);
  EXPECT_EQ(effects[1].text, "Cmd+Ctrl+Option+Shift+K");
  effects.clear();
  EXPECT_FALSE(core.keyCaptureArmed());
  EXPECT_EQ(key(40, kFlagControl), Verdict::Pass);

  core.beginKeyCapture(now);
  EXPECT_EQ(key(53), Verdict::Swallow);
  EXPECT_EQ(take(), (std::vector<Kind>{Kind::KeyCaptureEnded, Kind::KeyCaptureCancelled}));
}

TEST_F(HookCoreTest, AbandonedKeyCaptureRecoversAfterTwentySeconds) {
  core.setKeyCaptureActive(true);
  core.setActionsEnabled(false);
  core.beginKeyCapture(now);
  EXPECT_EQ(core.nextDeadline(), now + 20s);
  core.advance(now + 19s, effects);
  EXPECT_TRUE(take().empty());
  core.advance(now + 20s, effects);
  EXPECT_EQ(take(), (std::vector<Kind>{Kind::KeyCaptureEnded, Kind::KeyCaptureTimedOut}));
  EXPECT_FALSE(core.keyCaptureArmed());
  EXPECT_FALSE(core.keyCaptureActive());
  EXPECT_TRUE(core.actionsEnabled());
  EXPECT_EQ(core.nextDeadline(), std::nullopt);
}

TEST_F(HookCoreTest, BoundButtonClipsOncePerHalfSecondAndOthersPass) {
  core.setMouseBinding(parseMouseBinding("button4"));
  EXPECT_EQ(core.decidedButtons(), std::vector<int64_t>{4});
  EXPECT_EQ(button(4), Verdict::Swallow);
  EXPECT_EQ(take(), std::vector<Kind>{Kind::Clip});
  now += 200ms;
  EXPECT_EQ(button(4), Verdict::Swallow);
  now += 200ms;
  EXPECT_EQ(button(4), Verdict::Swallow);
  EXPECT_TRUE(take().empty()) << "three clicks within 0.5 s of the first give one clip";
  now += 101ms;
  EXPECT_EQ(button(4), Verdict::Swallow);
  EXPECT_EQ(take(), std::vector<Kind>{Kind::Clip});
  EXPECT_EQ(button(5), Verdict::Pass);
  core.setActionsEnabled(false);
  now += 1s;
  EXPECT_EQ(button(4), Verdict::Pass);
  EXPECT_TRUE(take().empty());
}

TEST_F(HookCoreTest, HidBindingClipsAndItsPointerTwinIsSwallowedWithoutASecondClip) {
  core.setMouseBinding(parseMouseBinding("hid:9:5"));
  core.onHidButton("hid:9:5", now, effects);
  EXPECT_EQ(take(), std::vector<Kind>{Kind::Clip});
  EXPECT_EQ(button(4), Verdict::Swallow);
  EXPECT_TRUE(take().empty());
  core.onHidButton("hid:9:6", now + 1s, effects);
  EXPECT_TRUE(take().empty());
}

TEST_F(HookCoreTest, MouseCaptureTakesTheFirstExtraButtonOrTimesOut) {
  core.beginMouseCapture("name_button", now);
  EXPECT_EQ(core.decidedButtons().front(), kFirstExtraButton);
  EXPECT_EQ(button(0), Verdict::Pass);
  EXPECT_EQ(button(2), Verdict::Pass);
  EXPECT_EQ(button(3), Verdict::Swallow);
  ASSERT_EQ(effects.size(), 2u);
  EXPECT_EQ(effects[0].kind, Kind::MouseCaptured);
  EXPECT_EQ(effects[0].text, "name_button");
  EXPECT_EQ(effects[0].button, "button3");
  effects.clear();
  EXPECT_TRUE(core.decidedButtons().empty());

  core.beginMouseCapture("name_button", now);
  core.onHidButton("hid:12:205", now, effects);
  EXPECT_EQ(effects.at(0).button, "hid:12:205");
  effects.clear();

  core.beginMouseCapture("name_button", now);
  core.advance(now + 15s, effects);
  EXPECT_EQ(take(), std::vector<Kind>{Kind::MouseCaptureEnded});
  EXPECT_EQ(core.captureAction(), std::nullopt);
  EXPECT_EQ(button(3), Verdict::Pass);
}

TEST_F(HookCoreTest, TutorialClipStepReportsButtonsInsteadOfClipping) {
  core.setMouseBinding(parseMouseBinding("button3"));
  core.setOnboardingActive(true);
  core.setOnboardingStep("clip");
  EXPECT_EQ(button(2), Verdict::Pass);
  EXPECT_EQ(button(6), Verdict::Swallow);
  ASSERT_EQ(effects.size(), 1u);
  EXPECT_EQ(effects[0].kind, Kind::OnboardClip);
  EXPECT_EQ(effects[0].button, "button6");
  effects.clear();
  EXPECT_EQ(button(3), Verdict::Swallow);
  EXPECT_TRUE(take().empty()) << "debounced";
  core.setOnboardingStep("followup");
  now += 1s;
  EXPECT_EQ(button(3), Verdict::Pass);
  EXPECT_TRUE(take().empty());
}

TEST_F(HookCoreTest, SyntheticEventsPassUntouched) {
  core.setFallbackHotkeys({{8, kFlagControl, "clip"}});
  core.beginKeyCapture(now);
  InputEvent e;
  e.kind = InputEventKind::KeyDown;
  e.keyCode = 8;
  e.flags = kFlagControl;
  e.synthetic = true;
  EXPECT_EQ(core.onEvent(at(e), effects), Verdict::Pass);
  EXPECT_TRUE(effects.empty());
  EXPECT_TRUE(core.keyCaptureArmed());
}

TEST(MouseBinding, ParsesButtonValues) {
  static const struct {
    const char* value;
    MouseBinding expected;
  } cases[] = {
      {"button4", {4, "", -1}},
      {"button3", {3, "", -1}},
      {"button0", {0, "", -1}},
      {"button1", {2, "", -1}},
      {"button2", {1, "", -1}},
      {"button-3", {3, "", -1}},  // only the digits count
      {"button99999999999999999999", {-1, "", -1}},
      {"button", {-1, "", -1}},
      {"", {-1, "", -1}},
      {"—", {-1, "", -1}},
      {"none", {-1, "", -1}},
      {"hid:9:5", {-1, "hid:9:5", 4}},
      {"hid::9:5", {-1, "hid::9:5", 4}},
      {"hid:9:0", {-1, "hid:9:0", -1}},
      {"hid:9:99999999999999999999", {-1, "hid:9:99999999999999999999", -1}},
      {"hid:12:205", {-1, "hid:12:205", -1}},
      {"hid:9:5:1", {-1, "hid:9:5:1", -1}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseMouseBinding(c.value), c.expected) << c.value;
}

TEST(MouseBinding, OnlyClippableButtonsAreHeld) {
  HookCore core;
  core.setMouseBinding(parseMouseBinding("button0"));  // left
  EXPECT_TRUE(core.decidedButtons().empty());
  core.setMouseBinding(parseMouseBinding("button2"));  // the page's right button
  EXPECT_TRUE(core.decidedButtons().empty());
  core.setMouseBinding(parseMouseBinding("button1"));  // middle
  EXPECT_EQ(core.decidedButtons(), std::vector<int64_t>{2});
}

TEST(HidButton, Ids) {
  EXPECT_EQ(hidButtonId(9, 4, 2), "hid:9:4");
  EXPECT_EQ(hidButtonId(9, 3, 2), "");
  EXPECT_EQ(hidButtonId(7, 4, 0), "hid:7:4");
  EXPECT_EQ(hidButtonId(12, 205, 0), "hid:12:205");
  EXPECT_EQ(hidButtonId(0xFF00, 1, 2), "hid:65280:1");
  EXPECT_EQ(hidButtonId(0xFF00, 1, 1), "");
  EXPECT_EQ(hidButtonId(12, 0, 0), "");
  EXPECT_EQ(hidButtonId(12, 0xFFFFFFFF, 0), "");
  EXPECT_EQ(hidButtonId(1, 48, 0), "");
}

}  // namespace
}  // namespace corvane::capture
