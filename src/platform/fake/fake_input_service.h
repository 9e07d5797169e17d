#pragma once
// An in-memory input service for tests: registrations are recorded (and
// refused for combinations marked as taken), events are injected by the test
// and answered by the installed handler, on a queue the test drives.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/input_service.h"

namespace corvane::platform {

class FakeInputService final : public InputService {
 public:
  // `queue` plays the event thread (a FakeScheduler queue in tests).
  explicit FakeInputService(std::shared_ptr<TaskQueue> queue);

  Result<void> start() override;
  void stop() override;
  bool running() const override;
  bool trusted() const override { return trusted_; }
  void setEventHandler(EventHandler handler) override;
  void setHotkeyHandler(HotkeyHandler handler) override;
  Result<void> registerHotkey(int id, uint16_t keyCode, uint32_t modifiers) override;
  void unregisterHotkey(int id) override;
  void setDecidedButtons(std::vector<int64_t> buttons) override;
  Result<void> grabKeyboard() override;
  void ungrabKeyboard() override;
  Result<void> sendKey(uint16_t keyCode, uint32_t flags) override;
  TaskQueue& queue() override { return *queue_; }

  // ---- Test controls.
  void setTrusted(bool trusted) { trusted_ = trusted; }
  void setStartFailure(std::optional<std::string> failure) { startFailure_ = std::move(failure); }
  // Another client holds this combination: registering it is refused.
  void takeCombination(uint16_t keyCode, uint32_t modifiers);
  // Runs the event handler (the caller stands on the event thread).
  Verdict inject(const InputEvent& event);
  void pressHotkey(int id, bool pressed);

  std::map<int, std::pair<uint16_t, uint32_t>> hotkeys() const;
  std::vector<int64_t> decidedButtons() const;
  bool keyboardGrabbed() const;
  std::vector<std::pair<uint16_t, uint32_t>> sentKeys() const;

 private:
  std::shared_ptr<TaskQueue> queue_;
  mutable std::mutex mutex_;
  bool running_ = false;
  bool trusted_ = true;
  std::optional<std::string> startFailure_;
  EventHandler eventHandler_;
  HotkeyHandler hotkeyHandler_;
  std::map<int, std::pair<uint16_t, uint32_t>> hotkeys_;
  std::set<std::pair<uint16_t, uint32_t>> taken_;
  std::vector<int64_t> decided_;
  bool grabbed_ = false;
  std::vector<std::pair<uint16_t, uint32_t>> sent_;
};

}  // namespace corvane::platform
