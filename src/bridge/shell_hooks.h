#pragma once
// Callbacks the desktop shell installs at start-up so handlers can act on the
// main window. A missing hook makes the call do nothing.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::bridge {

struct GridWindowCandidates {
  int desiredWidth, desiredHeight, compactWidth, compactHeight, singleWidth, singleHeight;
};

struct ShellHooks {
  std::function<void(std::string_view name, std::string_view payloadJson)> emitEvent;
  std::function<void()> hideWindow;
  std::function<void()> showWindow;
  std::function<void()> openSettings;
  std::function<void(bool active)> setSettingsWindow;
  std::function<void(const GridWindowCandidates&)> fitGridWindow;
  std::function<void()> setGridWindowAuto;
  std::function<void(bool active)> setOnboardingWindow;
  std::function<void(bool active)> setNotificationHold;
  std::function<void*()> panelHost;
  // Open panels: return the chosen path, or nullopt when the user cancelled.
  std::function<std::optional<std::string>()> chooseProjectFolder;
  std::function<std::optional<std::string>()> chooseImportFile;
};

// A copy of the installed hooks (safe from any thread).
ShellHooks shellHooks();
void installShellHooks(ShellHooks hooks);
// Changes some hooks and keeps the others, in one step.
void updateShellHooks(const std::function<void(ShellHooks&)>& change);

// Pushes a named event with a JSON payload text to the page; dropped when no
// window exists yet.
void emitEvent(std::string_view name, std::string_view payloadJson);

}  // namespace corvane::bridge
