#pragma once
// MouseHook: the process-wide input hook. Its HookCore lives on the input
// service's event thread (where pointer decisions must be made while the
// pointer is frozen); commands reach it by posting there. What the core asks
// for is carried out here: page events and the tray go to the main queue,
// grabs stay on the event thread, clips go through the clip trigger.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/clip_trigger.h"
#include "capture/hook_core.h"
#include "core/clock.h"
#include "core/queue.h"
#include "platform/input_service.h"

namespace corvane::capture {

class MouseHook {
 public:
  explicit MouseHook(const Clock& clock = systemClock());
  ~MouseHook();
  MouseHook(const MouseHook&) = delete;
  MouseHook& operator=(const MouseHook&) = delete;

  // Installs the event handler on the service (before its start). Detach with nullptr.
  void attach(std::shared_ptr<platform::InputService> service);
  std::shared_ptr<platform::InputService> service() const;

  // The shell's callbacks, run on the main queue.
  void setOnOpenTray(std::function<void()> callback);
  void setOnRunAction(std::function<void()> callback);

  // Commands (any thread; applied on the event thread in call order).
  void beginKeyCapture();
  void endKeyCapture();
  void setKeyCaptureActive(bool active);
  void beginMouseCapture(std::string action);
  void cancelMouseCapture();
  void setActionsEnabled(bool enabled);
  void setOnboardingActive(bool active);
  void setOnboardingStep(std::string step);
  void setFallbackHotkeys(std::vector<FallbackHotkey> hotkeys);
  // Reads the mouse binding from the settings ("name_button", else "clip_button").
  void reloadMouseBinding();
  void setMouseBinding(MouseBinding binding);

  // Read from any thread (mirrors of the core's state).
  bool actionsEnabled() const { return actionsEnabled_.load(); }
  bool onboardingActive() const { return onboardingActive_.load(); }

  // The clip trigger (any thread).
  void clip(const ClipTarget& target, const std::string& source);
  ClipTrigger& clipTrigger() { return trigger_; }

  // Runs on the event thread after every command posted before it (tests).
  void sync();
  // Called when the 20-s key capture time-out recovered the hotkeys.
  void setOnKeyCaptureTimedOut(std::function<void()> callback);

  // For the event thread: what the service calls for each event.
  platform::Verdict handleEvent(const platform::InputEvent& event);

  static MouseHook& shared();
  static void setSharedForTesting(std::shared_ptr<MouseHook> hook);

 private:
  void onEventThread(std::function<void(HookCore&)> change);
  void carryOut(Effects& effects);  // on the event thread
  void armDeadline();               // on the event thread
  void applyDecidedButtons();       // on the event thread

  const Clock& clock_;
  ClipTrigger trigger_;
  mutable std::mutex mutex_;
  std::mutex inlineMutex_;
  std::shared_ptr<platform::InputService> service_;
  std::function<void()> onOpenTray_, onRunAction_, onKeyCaptureTimedOut_;
  std::atomic<bool> actionsEnabled_{true};
  std::atomic<bool> onboardingActive_{false};
  // Owned by the event thread.
  HookCore core_;
  Effects effects_;
  TaskHandle deadline_;
  std::vector<int64_t> decided_;
};

// The mouse binding value from the settings: "name_button", else
// "clip_button", else "—".
std::string mouseBindingValue();

}  // namespace corvane::capture
