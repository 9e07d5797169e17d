#pragma once
// The tray window's behaviour, independent of the toolkit: its frame and
// where it sits, the temporary settings and onboarding sizes, grid fitting,
// the notification hold, visible and focus sessions, and the show/hide
// sequence that hands focus back to the application that was in front.
// Everything runs on the main queue; delayed work holds the controller weakly.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/shell_hooks.h"
#include "core/clock.h"
#include "core/queue.h"
#include "platform/user_defaults.h"
#include "shell/window_system.h"

namespace corvane::shell {

inline constexpr std::string_view kWindowFrameKey = "Corvane.mainWindowFrame.v1";
inline constexpr std::string_view kFocusScript =
    "window.focus(); (document.getElementById('search') || document.body).focus();";

// What the controller reaches outside the window; every member may be empty.
struct WindowServices {
  std::function<void(std::string_view name, std::string_view payload)> emit;
  std::function<void()> recordSummon;
  std::function<void()> recordFocusSession;
  // Onboarding in the input hook: whether it is active, and switching it off.
  std::function<bool()> onboardingActive;
  std::function<void()> endOnboarding;
  // The owner-authentication gate in front of show: whether it must be asked,
  // and asking (the answer arrives on the main thread).
  std::function<bool()> unlockRequired;
  std::function<void(std::function<void(bool passed)>)> authenticate;
};

class WindowController : public std::enable_shared_from_this<WindowController> {
 public:
  static constexpr double kGridFitSeconds = 0.2;
  static constexpr double kSettingsSeconds = 0.22;
  static constexpr double kOnboardingSeconds = 0.28;
  static constexpr auto kFrameSaveDebounce = std::chrono::milliseconds(300);
  static constexpr auto kNotificationHoldTimeout = std::chrono::seconds(6);
  static constexpr auto kFocusSessionLength = std::chrono::seconds(90);
  static constexpr auto kFocusSessionCheck = std::chrono::milliseconds(90010);

  static std::shared_ptr<WindowController> create(WindowSystem& ws, TaskQueue& main, const Clock& clock,
                                                  platform::UserDefaults& defaults, WindowServices services);

  // The frame to create the window with: the saved one placed on the screens,
  // else the default frame on the primary screen.
  Rect initialFrame();

  void show();  // through the unlock gate
  void hide();
  // Shows when hidden, else hides (deferred while a notification hold is on).
  void toggle();
  void setSettingsWindow(bool active);
  void setOnboardingWindow(bool active);
  void fitGridWindow(const bridge::GridWindowCandidates& candidates);
  void setGridWindowAuto();
  void setNotificationHold(bool active);
  void endVisibleSession();

  // Window events from the toolkit.
  void windowMoved(bool leftButtonDown);
  void liveResizeEnded();
  void screenChanged();
  void closeRequested() { hide(); }

  // The hooks this controller serves, holding it weakly.
  void installHooks();

  // For tests and the status of the shell.
  bool notificationHoldActive() const { return holdActive_; }
  bool pendingHide() const { return pendingHide_; }
  bool isSettingsSized() const { return settingsSized_; }
  bool isOnboardingSized() const { return onboardingSized_; }
  std::optional<Rect> settingsRestoreFrame() const { return settingsRestore_; }
  std::optional<ForeignApp> previousApp() const { return previousApp_; }
  Size minimumSize() const { return minimumSize_; }
  bool visibleSessionRunning() const { return sessionStart_.has_value(); }

 private:
  WindowController(WindowSystem& ws, TaskQueue& main, const Clock& clock, platform::UserDefaults& defaults,
                   WindowServices services);
  void showNow();
  Rect visibleFrame();
  void saveFrame();
  void saveFrameNow(const Rect& frame);
  void scheduleFrameSave();
  void emit(std::string_view name, std::string_view payload = "null");
  void applyFit(const std::vector<Size>& candidates);
  void scheduleFocusCheck(Duration delay);

  WindowSystem& ws_;
  TaskQueue& main_;
  const Clock& clock_;
  platform::UserDefaults& defaults_;
  WindowServices services_;

  std::optional<ForeignApp> previousApp_;
  bool holdActive_ = false;
  bool pendingHide_ = false;
  TaskHandle holdTimeout_;
  TaskHandle frameSave_;
  std::optional<Rect> onboardingRestore_;
  bool onboardingSized_ = false;
  std::optional<Rect> settingsRestore_;
  bool settingsSized_ = false;
  uint64_t settingsGeneration_ = 0;
  uint64_t onboardingGeneration_ = 0;
  std::optional<std::vector<Size>> fixedGridCandidates_;
  Size minimumSize_ = kMinimumWindowSize;
  std::optional<MonoTime> sessionStart_;
  bool sessionCounted_ = false;
  TaskHandle focusTask_;
  bool unlockedThisRun_ = false;
  std::optional<Rect> initialFrame_;
};

}  // namespace corvane::shell
