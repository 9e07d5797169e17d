#include "capture/hook_core.h"

#include <algorithm>
#include <charconv>

#include "capture/accelerator.h"

namespace corvane::capture {

using platform::InputEvent;
using platform::InputEventKind;
using platform::Verdict;

namespace {

// A decimal integer made only of digits; nothing on overflow or when empty.
std::optional<int64_t> readDecimal(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  int64_t value = 0;
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
  return value;
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string buttonId(int64_t n) { return "button" + std::to_string(n); }

}  // namespace

MouseBinding parseMouseBinding(std::string_view value) {
  MouseBinding binding;
  if (startsWith(value, "hid:")) {
    binding.hidId = std::string(value);
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start <= value.size()) {
      size_t colon = value.find(':', start);
      auto piece = value.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
      if (!piece.empty()) pieces.push_back(piece);
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
    if (pieces.size() == 3 && pieces[1] == "9") {
      bool digitsOnly = pieces[2].find_first_not_of("0123456789") == std::string_view::npos;
      auto n = digitsOnly ? readDecimal(pieces[2]) : std::nullopt;
      if (n && *n >= 1) binding.swallowButton = *n - 1;
    }
    return binding;
  }
  if (value.empty() || value == "—" || value == "none") return binding;
  std::string digits;
  for (char c : value)
    if (c >= '0' && c <= '9') digits += c;
  auto n = readDecimal(digits);
  if (!n) return binding;
  // The page numbers left, middle, right; the hook's pointer events left, right, middle.
  if (*n == 1) {
    binding.buttonNumber = 2;
  } else if (*n == 2) {
    binding.buttonNumber = 1;
  } else {
    binding.buttonNumber = *n;
  }
  return binding;
}

std::string hidButtonId(uint32_t usagePage, uint32_t usage, uint32_t elementType) {
  if (usage == 0 || usage == 0xFFFFFFFFu) return "";
  bool accepted = usagePage == 7 || usagePage == 12 || (usagePage == 9 && usage >= 4) ||
                  (usagePage >= 0xFF00 && usagePage <= 0xFFFF && elementType == 2);
  if (!accepted) return "";
  return "hid:" + std::to_string(usagePage) + ":" + std::to_string(usage);
}

Verdict HookCore::onEvent(const InputEvent& event, Effects& out) {
  if (event.synthetic) return Verdict::Pass;
  switch (event.kind) {
    case InputEventKind::LeftMouseDown:
    case InputEventKind::RightMouseDown:
      if (optionIsDown_) otherEventDuringOption_ = true;
      return Verdict::Pass;
    case InputEventKind::KeyDown:
      return keyDown(event, out);
    case InputEventKind::FlagsChanged:
      flagsChanged(event, out);
      return Verdict::Pass;
    case InputEventKind::OtherMouseDown:
      if (optionIsDown_) otherEventDuringOption_ = true;
      return otherMouseDown(event, out);
  }
  return Verdict::Pass;
}

Verdict HookCore::keyDown(const InputEvent& event, Effects& out) {
  if (keyCaptureArmed_) {
    if (event.keyCode == kKeyEscape) {
      endKeyCapture();
      out.push_back({Effect::Kind::KeyCaptureEnded});
      out.push_back({Effect::Kind::KeyCaptureCancelled});
      return Verdict::Swallow;
    }
    auto name = keyNameForCode(event.keyCode);
    // A key with no name, or with no modifier but Shift, is not offered as a
    // global shortcut; capture stays armed for the next key.
    uint32_t held = event.flags & platform::kFlagModifierMask;
    if (!name || (held & ~platform::kFlagShift) == 0) return Verdict::Swallow;
    std::string accelerator = acceleratorText(*name, held);
    endKeyCapture();
    out.push_back({Effect::Kind::KeyCaptureEnded});
    out.push_back({Effect::Kind::KeyCaptured, ClipTargetKind::DefaultNote, std::move(accelerator)});
    return Verdict::Swallow;
  }
  if (optionIsDown_) otherEventDuringOption_ = true;
  if (!actionsEnabled_ || fallbacks_.empty()) return Verdict::Pass;
  uint32_t held = event.flags & platform::kFlagModifierMask;
  for (const auto& hotkey : fallbacks_) {
    if (hotkey.keyCode != event.keyCode || hotkey.flags != held) continue;
    if (event.autoRepeat) return Verdict::Swallow;
    if (hotkey.action == "run_action") {
      out.push_back({Effect::Kind::RunAction});
    } else {
      auto target = hotkey.action == "clip_followup" ? ClipTargetKind::Followup : ClipTargetKind::DefaultNote;
      out.push_back({Effect::Kind::Clip, target, "keyboard"});
    }
    return Verdict::Swallow;
  }
  return Verdict::Pass;
}

void HookCore::flagsChanged(const InputEvent& event, Effects& out) {
  if (event.flags & platform::kFlagOption) {
    if (!optionIsDown_) {
      optionIsDown_ = true;
      otherEventDuringOption_ = false;
      optionDownAt_ = event.time;
    }
    return;
  }
  if (!optionIsDown_) return;
  optionIsDown_ = false;
  bool tap = event.time - optionDownAt_ < kOptionTapLimit && !otherEventDuringOption_;
  if (tap && actionsEnabled_ && !keyCaptureActive_)
    out.push_back({onboardingActive_ ? Effect::Kind::OnboardTray : Effect::Kind::OpenTray});
}

bool HookCore::buttonDebounce(MonoTime now) {
  if (lastClipAt_ && now - *lastClipAt_ <= kButtonDebounce) return false;
  lastClipAt_ = now;
  return true;
}

void HookCore::finishMouseCapture(std::string button, Effects& out) {
  std::string action = std::move(*captureAction_);
  captureAction_.reset();
  mouseCaptureDeadline_.reset();
  out.push_back({Effect::Kind::MouseCaptured, ClipTargetKind::DefaultNote, std::move(action), std::move(button)});
  out.push_back({Effect::Kind::MouseCaptureEnded});
}

Verdict HookCore::otherMouseDown(const InputEvent& event, Effects& out) {
  const int64_t n = event.button;
  if (captureAction_) {
    if (n < kFirstExtraButton) return Verdict::Pass;
    finishMouseCapture(buttonId(n), out);
    return Verdict::Swallow;
  }
  if (!actionsEnabled_) return Verdict::Pass;
  if (onboardingActive_ && onboardingStep_ == "clip") {
    if (n < kFirstExtraButton) return Verdict::Pass;
    if (buttonDebounce(event.time))
      out.push_back({Effect::Kind::OnboardClip, ClipTargetKind::DefaultNote, {}, buttonId(n)});
    return Verdict::Swallow;
  }
  if (onboardingActive_ && onboardingStep_ == "followup") return Verdict::Pass;
  if (n >= 0 && (n == binding_.buttonNumber || n == binding_.swallowButton)) {
    if (buttonDebounce(event.time)) out.push_back({Effect::Kind::Clip, ClipTargetKind::DefaultNote, "mouse"});
    return Verdict::Swallow;
  }
  return Verdict::Pass;
}

void HookCore::onHidButton(const std::string& id, MonoTime now, Effects& out) {
  if (id.empty()) return;
  if (captureAction_) {
    finishMouseCapture(id, out);
    return;
  }
  if (!actionsEnabled_) return;
  if (onboardingActive_ && onboardingStep_ == "clip") {
    if (buttonDebounce(now)) out.push_back({Effect::Kind::OnboardClip, ClipTargetKind::DefaultNote, {}, id});
    return;
  }
  if (onboardingActive_ && onboardingStep_ == "followup") return;
  if (id == binding_.hidId && buttonDebounce(now))
    out.push_back({Effect::Kind::Clip, ClipTargetKind::DefaultNote, "mouse"});
}

void HookCore::beginKeyCapture(MonoTime now) {
  keyCaptureArmed_ = true;
  keyCaptureDeadline_ = now + kKeyCaptureTimeout;
}

void HookCore::endKeyCapture() {
  keyCaptureArmed_ = false;
  keyCaptureDeadline_.reset();
}

void HookCore::beginMouseCapture(std::string action, MonoTime now) {
  captureAction_ = std::move(action);
  mouseCaptureDeadline_ = now + kMouseCaptureTimeout;
}

void HookCore::cancelMouseCapture() {
  captureAction_.reset();
  mouseCaptureDeadline_.reset();
}

void HookCore::advance(MonoTime now, Effects& out) {
  if (keyCaptureDeadline_ && now >= *keyCaptureDeadline_) {
    // An abandoned capture must not leave the shortcuts dead until a restart.
    endKeyCapture();
    keyCaptureActive_ = false;
    actionsEnabled_ = true;
    out.push_back({Effect::Kind::KeyCaptureEnded});
    out.push_back({Effect::Kind::KeyCaptureTimedOut});
  }
  if (mouseCaptureDeadline_ && now >= *mouseCaptureDeadline_) {
    cancelMouseCapture();
    out.push_back({Effect::Kind::MouseCaptureEnded});
  }
}

std::optional<MonoTime> HookCore::nextDeadline() const {
  std::optional<MonoTime> next = keyCaptureDeadline_;
  if (mouseCaptureDeadline_ && (!next || *mouseCaptureDeadline_ < *next)) next = mouseCaptureDeadline_;
  return next;
}

std::vector<int64_t> HookCore::decidedButtons() const {
  std::vector<int64_t> buttons;
  if (captureAction_ || (onboardingActive_ && onboardingStep_ == "clip"))
    for (int64_t n = kFirstExtraButton; n <= kLastCapturableButton; ++n) buttons.push_back(n);
  // Only buttons the rule can clip with are held: never the left button
  // (swallowing it would leave the desktop unusable), nor the right one, which
  // always passes.
  for (int64_t n : {binding_.buttonNumber, binding_.swallowButton})
    if (n >= 2 && std::find(buttons.begin(), buttons.end(), n) == buttons.end()) buttons.push_back(n);
  return buttons;
}

}  // namespace corvane::capture
