#include "shell/window_controller.h"

#include <algorithm>
#include <cmath>

namespace corvane::shell {

std::shared_ptr<WindowController> WindowController::create(WindowSystem& ws, TaskQueue& main, const Clock& clock,
                                                           platform::UserDefaults& defaults,
                                                           WindowServices services) {
  return std::shared_ptr<WindowController>(new WindowController(ws, main, clock, defaults, std::move(services)));
}

WindowController::WindowController(WindowSystem& ws, TaskQueue& main, const Clock& clock,
                                   platform::UserDefaults& defaults, WindowServices services)
    : ws_(ws), main_(main), clock_(clock), defaults_(defaults), services_(std::move(services)) {}

void WindowController::emit(std::string_view name, std::string_view payload) {
  if (services_.emit) services_.emit(name, payload);
}

Rect WindowController::visibleFrame() {
  auto frames = ws_.visibleFrames();
  if (frames.empty()) return kFallbackVisibleFrame;
  auto screen = ws_.windowScreen();
  if (screen && *screen < frames.size()) return frames[*screen];
  return frames.front();
}

Rect WindowController::initialFrame() {
  if (initialFrame_) return *initialFrame_;
  auto frames = ws_.visibleFrames();
  std::optional<Rect> saved;
  if (auto text = defaults_.getString(kWindowFrameKey)) saved = parseFrameText(*text);
  Rect r = saved ? placeOnScreens(*saved, frames)
                 : defaultFrame(frames.empty() ? kFallbackVisibleFrame : frames.front());
  initialFrame_ = r;
  return r;
}

// ---- frame saving ----

void WindowController::saveFrameNow(const Rect& frame) {
  (void)defaults_.set(kWindowFrameKey, frameText(frame));
}

void WindowController::saveFrame() {
  if (onboardingSized_ || settingsSized_) return;
  frameSave_.cancel();
  saveFrameNow(ws_.frame());
}

void WindowController::scheduleFrameSave() {
  std::weak_ptr<WindowController> weak = weak_from_this();
  frameSave_ = main_.postDelayed(kFrameSaveDebounce, [weak] {
    if (auto self = weak.lock()) self->saveFrame();
  });
}

void WindowController::windowMoved(bool leftButtonDown) {
  if (leftButtonDown && (settingsSized_ || onboardingSized_)) {
    Rect now = ws_.frame();
    auto follow = [&](std::optional<Rect>& restore) {
      if (restore) {
        restore->x = now.x;
        restore->y = now.y;
      }
    };
    if (settingsSized_) follow(settingsRestore_);
    if (onboardingSized_) follow(onboardingRestore_);
  }
  scheduleFrameSave();
}

void WindowController::liveResizeEnded() {
  if (settingsSized_) settingsRestore_ = ws_.frame();
  if (onboardingSized_) onboardingRestore_ = ws_.frame();
  scheduleFrameSave();
}

// ---- show / hide ----

void WindowController::show() {
  bool gate = services_.unlockRequired && services_.authenticate && !unlockedThisRun_ && services_.unlockRequired();
  if (!gate) {
    showNow();
    return;
  }
  std::weak_ptr<WindowController> weak = weak_from_this();
  services_.authenticate([weak](bool passed) {
    auto self = weak.lock();
    if (!self || !passed) return;
    self->unlockedThisRun_ = true;
    self->showNow();
  });
}

void WindowController::showNow() {
  bool ownIsFront = false;
  auto front = ws_.frontmostApp(ownIsFront);
  if (!ownIsFront) previousApp_ = front;
  ws_.orderFront();
  if (!sessionStart_) {
    sessionStart_ = clock_.monotonicNow();
    sessionCounted_ = false;
    scheduleFocusCheck(kFocusSessionCheck);
  }
  emit("tauri://focus");
  if (services_.onboardingActive && services_.onboardingActive()) emit("onboard:tray");
  if (services_.recordSummon) services_.recordSummon();
  ws_.evaluateScript(std::string(kFocusScript));
}

// One check at a time, however often the tray is shown and hidden: a check
// that finds a younger session than it was scheduled for waits out the rest.
void WindowController::scheduleFocusCheck(Duration delay) {
  if (focusTask_.active()) return;
  std::weak_ptr<WindowController> weak = weak_from_this();
  focusTask_ = main_.postDelayed(delay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->focusTask_.detach();
    if (!self->sessionStart_ || self->sessionCounted_ || !self->ws_.isVisible()) return;
    Duration age = self->clock_.monotonicNow() - *self->sessionStart_;
    if (age < kFocusSessionCheck) {
      self->scheduleFocusCheck(kFocusSessionCheck - age);
      return;
    }
    self->sessionCounted_ = true;
    if (self->services_.recordFocusSession) self->services_.recordFocusSession();
  });
}

void WindowController::endVisibleSession() {
  if (sessionStart_ && !sessionCounted_ && clock_.monotonicNow() - *sessionStart_ > kFocusSessionLength) {
    sessionCounted_ = true;
    if (services_.recordFocusSession) services_.recordFocusSession();
  }
  sessionStart_.reset();
  sessionCounted_ = false;
}

void WindowController::hide() {
  if (holdActive_) {
    pendingHide_ = true;
    return;
  }
  endVisibleSession();
  saveFrame();
  bool ownIsFront = false;
  (void)ws_.frontmostApp(ownIsFront);
  ws_.orderOut();
  if (ownIsFront && previousApp_ && ws_.isRunning(*previousApp_)) ws_.activate(*previousApp_);
  previousApp_.reset();
  if (services_.onboardingActive && services_.onboardingActive()) {
    if (services_.endOnboarding) services_.endOnboarding();
    setOnboardingWindow(false);
    emit("onboard:dismissed");
  }
}

void WindowController::toggle() {
  if (!ws_.isVisible()) {
    show();
  } else if (holdActive_) {
    pendingHide_ = true;
  } else {
    hide();
  }
}

// ---- notification hold ----

void WindowController::setNotificationHold(bool active) {
  holdTimeout_.cancel();
  if (active) {
    holdActive_ = true;
    std::weak_ptr<WindowController> weak = weak_from_this();
    holdTimeout_ = main_.postDelayed(kNotificationHoldTimeout, [weak] {
      if (auto self = weak.lock()) self->setNotificationHold(false);
    });
    return;
  }
  holdActive_ = false;
  if (pendingHide_) {
    pendingHide_ = false;
    hide();
  }
}

// ---- temporary sizes ----

void WindowController::setSettingsWindow(bool active) {
  Rect vis = visibleFrame();
  Rect target;
  if (active) {
    if (!settingsSized_) {
      settingsRestore_ = ws_.frame();
      saveFrame();
    }
    settingsSized_ = true;
    Rect cur = ws_.frame();
    Size s{std::min(vis.width, std::max(kSettingsMinimumSize.width, cur.width)),
           std::min(vis.height, std::max(kSettingsMinimumSize.height, cur.height))};
    target = centredIn(s, vis);
  } else {
    if (!settingsSized_) return;
    target = placeOnScreens(settingsRestore_ ? *settingsRestore_ : initialFrame(), ws_.visibleFrames());
  }
  uint64_t generation = ++settingsGeneration_;
  std::weak_ptr<WindowController> weak = weak_from_this();
  ws_.setFrame(target, kSettingsSeconds, [weak, generation, active] {
    auto self = weak.lock();
    if (!self || active || self->settingsGeneration_ != generation) return;
    self->settingsSized_ = false;
    self->settingsRestore_.reset();
    self->saveFrame();
  });
}

void WindowController::setOnboardingWindow(bool active) {
  Rect vis = visibleFrame();
  Rect target;
  if (active) {
    if (!onboardingSized_) {
      onboardingRestore_ = ws_.frame();
      saveFrame();
    }
    onboardingSized_ = true;
    Size s{std::min(0.9 * vis.width, 1120.0), std::min(0.9 * vis.height, 780.0)};
    target = centredIn(s, vis);
  } else {
    target = placeOnScreens(onboardingRestore_ ? *onboardingRestore_ : initialFrame(), ws_.visibleFrames());
  }
  uint64_t generation = ++onboardingGeneration_;
  std::weak_ptr<WindowController> weak = weak_from_this();
  ws_.setFrame(target, kOnboardingSeconds, [weak, generation, active] {
    auto self = weak.lock();
    if (!self || active || self->onboardingGeneration_ != generation) return;
    self->onboardingSized_ = false;
    self->onboardingRestore_.reset();
    self->saveFrame();
  });
}

// ---- grid fitting ----

void WindowController::fitGridWindow(const bridge::GridWindowCandidates& c) {
  std::vector<Size> all{{double(c.desiredWidth), double(c.desiredHeight)},
                        {double(c.compactWidth), double(c.compactHeight)},
                        {double(c.singleWidth), double(c.singleHeight)}};
  std::vector<Size> kept;
  for (const auto& s : all)
    if (std::isfinite(s.width) && std::isfinite(s.height) && s.width > 0 && s.height > 0) kept.push_back(s);
  if (kept.empty()) return;
  fixedGridCandidates_ = kept;
  applyFit(kept);
}

void WindowController::applyFit(const std::vector<Size>& candidates) {
  Rect vis = visibleFrame();
  Size chosen = vis.size();
  for (const auto& s : candidates) {
    if (s.width <= vis.width && s.height <= vis.height) {
      chosen = s;
      break;
    }
  }
  minimumSize_ = {std::min(vis.width, std::max(kMinimumWindowSize.width, chosen.width)),
                  std::min(vis.height, std::max(kMinimumWindowSize.height, chosen.height))};
  ws_.setMinimumSize(minimumSize_);
  auto grown = [&](const Rect& from) {
    Size s{std::min(vis.width, std::max(from.width, chosen.width)),
           std::min(vis.height, std::max(from.height, chosen.height))};
    double cx = from.x + from.width / 2, cy = from.y + from.height / 2;
    Rect r{cx - s.width / 2, cy - s.height / 2, s.width, s.height};
    r.x = std::min(std::max(r.x, vis.x), vis.maxX() - r.width);
    r.y = std::min(std::max(r.y, vis.y), vis.maxY() - r.height);
    return r;
  };
  if (settingsSized_ && settingsRestore_) settingsRestore_ = grown(*settingsRestore_);
  Rect cur = ws_.frame();
  Rect next = grown(cur);
  if (next == cur) return;
  std::weak_ptr<WindowController> weak = weak_from_this();
  ws_.setFrame(next, kGridFitSeconds, [weak] {
    if (auto self = weak.lock()) self->saveFrame();
  });
}

void WindowController::setGridWindowAuto() {
  fixedGridCandidates_.reset();
  minimumSize_ = kMinimumWindowSize;
  ws_.setMinimumSize(minimumSize_);
}

void WindowController::screenChanged() {
  if (fixedGridCandidates_) applyFit(*fixedGridCandidates_);
}

// ---- hooks ----

void WindowController::installHooks() {
  std::weak_ptr<WindowController> weak = weak_from_this();
  auto with = [weak](auto f) {
    return [weak, f](auto&&... a) {
      if (auto self = weak.lock()) f(*self, std::forward<decltype(a)>(a)...);
    };
  };
  bridge::updateShellHooks([&](bridge::ShellHooks& h) {
    h.hideWindow = with([](WindowController& c) { c.hide(); });
    h.showWindow = with([](WindowController& c) { c.show(); });
    h.openSettings = with([](WindowController& c) {
      c.show();
      c.emit("menu:settings");
    });
    h.setSettingsWindow = with([](WindowController& c, bool a) { c.setSettingsWindow(a); });
    h.fitGridWindow = with([](WindowController& c, const bridge::GridWindowCandidates& g) { c.fitGridWindow(g); });
    h.setGridWindowAuto = with([](WindowController& c) { c.setGridWindowAuto(); });
    h.setOnboardingWindow = with([](WindowController& c, bool a) { c.setOnboardingWindow(a); });
    h.setNotificationHold = with([](WindowController& c, bool a) { c.setNotificationHold(a); });
  });
}

}  // namespace corvane::shell
