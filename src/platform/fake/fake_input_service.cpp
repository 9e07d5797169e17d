#include "platform/fake/fake_input_service.h"

namespace corvane::platform {

FakeInputService::FakeInputService(std::shared_ptr<TaskQueue> queue) : queue_(std::move(queue)) {}

Result<void> FakeInputService::start() {
  std::lock_guard lock(mutex_);
  if (startFailure_) return fail(*startFailure_);
  running_ = true;
  return ok();
}

void FakeInputService::stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
  hotkeys_.clear();
  decided_.clear();
  grabbed_ = false;
}

bool FakeInputService::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void FakeInputService::setEventHandler(EventHandler handler) {
  std::lock_guard lock(mutex_);
  eventHandler_ = std::move(handler);
}

void FakeInputService::setHotkeyHandler(HotkeyHandler handler) {
  std::lock_guard lock(mutex_);
  hotkeyHandler_ = std::move(handler);
}

Result<void> FakeInputService::registerHotkey(int id, uint16_t keyCode, uint32_t modifiers) {
  std::lock_guard lock(mutex_);
  hotkeys_.erase(id);
  if (!running_) return fail("not running");
  if (taken_.count({keyCode, modifiers})) return fail("refused");
  hotkeys_[id] = {keyCode, modifiers};
  return ok();
}

void FakeInputService::unregisterHotkey(int id) {
  std::lock_guard lock(mutex_);
  hotkeys_.erase(id);
}

void FakeInputService::setDecidedButtons(std::vector<int64_t> buttons) {
  std::lock_guard lock(mutex_);
  decided_ = std::move(buttons);
}

Result<void> FakeInputService::grabKeyboard() {
  std::lock_guard lock(mutex_);
  grabbed_ = true;
  return ok();
}

void FakeInputService::ungrabKeyboard() {
  std::lock_guard lock(mutex_);
  grabbed_ = false;
}

Result<void> FakeInputService::sendKey(uint16_t keyCode, uint32_t flags) {
  std::lock_guard lock(mutex_);
  sent_.emplace_back(keyCode, flags);
  return ok();
}

void FakeInputService::takeCombination(uint16_t keyCode, uint32_t modifiers) {
  std::lock_guard lock(mutex_);
  taken_.insert({keyCode, modifiers});
}

Verdict FakeInputService::inject(const InputEvent& event) {
  EventHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = eventHandler_;
  }
  return handler ? handler(event) : Verdict::Pass;
}

void FakeInputService::pressHotkey(int id, bool pressed) {
  HotkeyHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = hotkeyHandler_;
  }
  if (handler) handler(id, pressed);
}

std::map<int, std::pair<uint16_t, uint32_t>> FakeInputService::hotkeys() const {
  std::lock_guard lock(mutex_);
  return hotkeys_;
}

std::vector<int64_t> FakeInputService::decidedButtons() const {
  std::lock_guard lock(mutex_);
  return decided_;
}

bool FakeInputService::keyboardGrabbed() const {
  std::lock_guard lock(mutex_);
  return grabbed_;
}

std::vector<std::pair<uint16_t, uint32_t>> FakeInputService::sentKeys() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

}  // namespace corvane::platform
