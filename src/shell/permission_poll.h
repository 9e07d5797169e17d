#pragma once
// The permission poll: every 1.5 s the state of the three permissions is
// checked and "onboard:permissions" is emitted only when it changed.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/queue.h"

namespace corvane::shell {

struct PermissionState {
  bool accessibility = false;
  bool inputMonitoring = false;
  bool notes = true;
};

class PermissionPoll : public std::enable_shared_from_this<PermissionPoll> {
 public:
  static constexpr auto kInterval = std::chrono::milliseconds(1500);
  using Check = std::function<PermissionState()>;
  using Emit = std::function<void(const std::string& payload)>;
  // `afterCheck` runs after each check (reinstalling the hook when granted).
  static std::shared_ptr<PermissionPoll> create(TaskQueue& main, Check check, Emit emit,
                                                std::function<void(const PermissionState&)> afterCheck = {});
  void start();
  // One round now (the timer calls this).
  void poll();
  const std::optional<std::string>& lastState() const { return last_; }

 private:
  PermissionPoll(TaskQueue& main, Check check, Emit emit, std::function<void(const PermissionState&)> after)
      : main_(main), check_(std::move(check)), emit_(std::move(emit)), after_(std::move(after)) {}
  void schedule();
  TaskQueue& main_;
  Check check_;
  Emit emit_;
  std::function<void(const PermissionState&)> after_;
  std::optional<std::string> last_;
  TaskHandle timer_;
};

}  // namespace corvane::shell
