#pragma once
// Where start-up reaches services that arrive later (global hotkeys, the
// input hook, AI availability, the cloud insights sync, the updater). Each
// member starts empty, which means "not available yet"; the owning subsystem
// fills its members in before the shell starts (see installSeams()).
#include <functional>
#include <string>

namespace corvane::shell {

struct ShellSeams {
  // Global hotkeys: register every binding from the settings.
  std::function<void()> registerHotkeys;
  // The input hook: install the event tap and mouse-button monitoring;
  // answers whether mouse-button monitoring started.
  std::function<bool()> startInputHook;
  std::function<bool()> inputHookInstalled;
  std::function<bool()> mouseMonitoringActive;
  std::function<void()> restartMouseMonitoring;
  // Releases every grab and registration before the program ends.
  std::function<void()> stopInputHook;
  // Whether onboarding runs in the input hook, and switching it off.
  std::function<bool()> onboardingActive;
  std::function<void()> endOnboarding;
  // The input hook's open-tray callback is given the window toggle.
  std::function<void(std::function<void()> toggle)> setOpenTrayAction;
  // AI provider availability flag.
  std::function<void()> refreshAiAvailability;
  // Cloud insights sync: start, and push pending data before exit.
  std::function<void()> startCloudSync;
  std::function<void()> pushCloudSync;
  // Updates: start the updater, and a check the user asked for.
  std::function<void()> startUpdater;
  std::function<void()> checkForUpdates;
  // URL open events offered to the account sign-in; true when claimed.
  std::function<bool(const std::string& url)> handleSignInUrl;
};

// The process-wide table (main thread).
ShellSeams& seams();

// Fills the seams from the subsystems linked into this program. Until those
// subsystems exist, every seam stays empty.
void installSeams();

}  // namespace corvane::shell
