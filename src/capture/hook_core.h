#pragma once
// HookCore: the decisions of the input hook as a pure state machine. It is fed
// the session's input events and commands with the time they happened
// (monotonic), answers Pass or Swallow for each event, and appends what should
// happen as effects for its owner to carry out (events to the page, clips, the
// tray). It does no I/O and never allocates on the common path, so it can run
// inside the input thread's callback. Not thread-safe: one thread owns it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "platform/input_service.h"

namespace corvane::capture {

struct FallbackHotkey {
  uint16_t keyCode = 0;
  uint32_t flags = 0;  // kFlag… bits of the required modifiers
  std::string action;  // "run_action", "shortlist", "clip", "clip_followup"
  bool operator==(const FallbackHotkey&) const = default;
};

enum class ClipTargetKind : uint8_t { Note, NewNote, DefaultNote, Followup };

struct Effect {
  enum class Kind : uint8_t {
    KeyCaptured,        // text = accelerator
    KeyCaptureCancelled,
    KeyCaptureEnded,    // capture disarmed (keyboard grab to be released)
    KeyCaptureTimedOut, // 20 s passed: recover hotkeys and actions
    MouseCaptured,      // text = action, button = button id
    MouseCaptureEnded,  // the decided buttons changed back
    OnboardTray,
    OnboardClip,        // button = button id
    OpenTray,
    RunAction,
    Clip,               // target, source "keyboard"/"mouse" in text
  };
  Effect(Kind k, ClipTargetKind t = ClipTargetKind::DefaultNote, std::string txt = {}, std::string btn = {})
      : kind(k), target(t), text(std::move(txt)), button(std::move(btn)) {}
  Kind kind;
  ClipTargetKind target = ClipTargetKind::DefaultNote;
  std::string text;
  std::string button;
};
using Effects = std::vector<Effect>;

// The bound button as the hook reads it from a binding value.
struct MouseBinding {
  int64_t buttonNumber = -1;  // pointer button, -1 for none
  std::string hidId;          // "hid:<page>:<usage>" or ""
  int64_t swallowButton = -1; // pointer button of the bound HID button, -1 for none
  bool operator==(const MouseBinding&) const = default;
};
MouseBinding parseMouseBinding(std::string_view value);

inline constexpr Duration kOptionTapLimit = std::chrono::milliseconds(300);
inline constexpr Duration kButtonDebounce = std::chrono::milliseconds(500);
inline constexpr Duration kKeyCaptureTimeout = std::chrono::seconds(20);
inline constexpr Duration kMouseCaptureTimeout = std::chrono::seconds(15);
// During mouse capture and the tutorial's clip step any extra button counts,
// so these are decided too (pointer buttons 3…10).
inline constexpr int64_t kFirstExtraButton = 3;
inline constexpr int64_t kLastCapturableButton = 10;

class HookCore {
 public:
  platform::Verdict onEvent(const platform::InputEvent& event, Effects& out);
  // A HID button press (usage page, usage, element type); see hidButtonId.
  void onHidButton(const std::string& id, MonoTime now, Effects& out);
  // Fires the time-outs that are due.
  void advance(MonoTime now, Effects& out);
  // The earliest pending time-out, if any (the owner schedules advance then).
  std::optional<MonoTime> nextDeadline() const;

  // Commands.
  void beginKeyCapture(MonoTime now);
  void endKeyCapture();
  void setKeyCaptureActive(bool active) { keyCaptureActive_ = active; }
  void beginMouseCapture(std::string action, MonoTime now);
  void cancelMouseCapture();
  void setActionsEnabled(bool enabled) { actionsEnabled_ = enabled; }
  void setOnboardingActive(bool active) { onboardingActive_ = active; }
  void setOnboardingStep(std::string step) { onboardingStep_ = std::move(step); }
  void setFallbackHotkeys(std::vector<FallbackHotkey> hotkeys) { fallbacks_ = std::move(hotkeys); }
  void setMouseBinding(MouseBinding binding) { binding_ = std::move(binding); }

  // Pointer buttons whose presses must be held for a decision now.
  std::vector<int64_t> decidedButtons() const;

  bool actionsEnabled() const { return actionsEnabled_; }
  bool keyCaptureArmed() const { return keyCaptureArmed_; }
  bool keyCaptureActive() const { return keyCaptureActive_; }
  const std::optional<std::string>& captureAction() const { return captureAction_; }
  const MouseBinding& mouseBinding() const { return binding_; }
  const std::vector<FallbackHotkey>& fallbackHotkeys() const { return fallbacks_; }

 private:
  platform::Verdict keyDown(const platform::InputEvent& event, Effects& out);
  void flagsChanged(const platform::InputEvent& event, Effects& out);
  platform::Verdict otherMouseDown(const platform::InputEvent& event, Effects& out);
  bool buttonDebounce(MonoTime now);
  void finishMouseCapture(std::string button, Effects& out);

  std::vector<FallbackHotkey> fallbacks_;
  std::optional<MonoTime> lastClipAt_;
  MonoTime optionDownAt_{};
  bool optionIsDown_ = false;
  bool otherEventDuringOption_ = false;
  bool actionsEnabled_ = true;
  bool keyCaptureActive_ = false;
  bool keyCaptureArmed_ = false;
  std::optional<MonoTime> keyCaptureDeadline_;
  MouseBinding binding_;
  bool onboardingActive_ = false;
  std::string onboardingStep_;
  std::optional<std::string> captureAction_;
  std::optional<MonoTime> mouseCaptureDeadline_;
};

// The id of a HID button press, or "" when the press does not count: usage 0
// or 0xFFFFFFFF never; keyboard (7) and consumer (12) pages always; the button
// page (9) from usage 4 on; vendor pages (0xFF00…0xFFFF) only for button-type
// elements (type 2).
std::string hidButtonId(uint32_t usagePage, uint32_t usage, uint32_t elementType);

}  // namespace corvane::capture
