#pragma once
// HotkeyManager: the shortcut bindings registered as global hotkeys. One
// process-wide instance; registration runs on the main thread, hotkey events
// are dispatched on the main queue.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/accelerator.h"
#include "capture/hook_core.h"
#include "platform/input_service.h"
#include "records/settings.h"

namespace corvane::capture {

class MouseHook;

inline constexpr int kActionHotkeyId = 2;
inline constexpr int kClipHotkeyId = 3;
inline constexpr int kFollowupHotkeyId = 4;
inline constexpr int kShortlistHotkeyId = 5;

// Effective accelerators (stored binding, else the older key, else the default).
std::string actionAccelerator(const records::Settings& settings);
std::string shortlistAccelerator(const records::Settings& settings);
std::string clipAccelerator(const records::Settings& settings);
std::string followupAccelerator(const records::Settings& settings);

class HotkeyManager {
 public:
  HotkeyManager() = default;
  HotkeyManager(const HotkeyManager&) = delete;
  HotkeyManager& operator=(const HotkeyManager&) = delete;

  // The service registrations go to and the hook that receives fallbacks.
  void attach(std::shared_ptr<platform::InputService> service, MouseHook* hook);

  std::function<void()> onAction, onClip, onFollowup, onShortlistDown, onShortlistUp;

  // Main thread. Registers the four hotkeys from the settings; returns the
  // failure message when any could not be registered.
  std::optional<std::string> registerAll();
  void unregisterAll();
  Result<void> registerHotkey(int id, const std::string& accelerator);

  // From the service's event thread: schedules the dispatch on the main queue.
  void handleHotkeyEvent(int id, bool pressed);
  // The dispatch itself (main queue).
  void dispatch(int id, bool pressed);

  std::optional<std::string> lastFailure() const;
  // Key code of the shortlist accelerator (the picker's trigger key).
  std::optional<uint16_t> shortlistTriggerKey() const;

  static HotkeyManager& shared();
  static void setSharedForTesting(std::shared_ptr<HotkeyManager> manager);

 private:
  void unregisterSlot(int id);
  mutable std::mutex mutex_;
  std::shared_ptr<platform::InputService> service_;
  MouseHook* hook_ = nullptr;
  std::map<int, Accelerator> registered_;  // main thread
  std::optional<std::string> lastFailure_;
  std::optional<uint16_t> shortlistTriggerKey_;
};

}  // namespace corvane::capture
