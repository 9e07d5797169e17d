#include "shell/permission_poll.h"

#include "shell/launch.h"

namespace corvane::shell {

std::shared_ptr<PermissionPoll> PermissionPoll::create(TaskQueue& main, Check check, Emit emit,
                                                       std::function<void(const PermissionState&)> afterCheck) {
  return std::shared_ptr<PermissionPoll>(
      new PermissionPoll(main, std::move(check), std::move(emit), std::move(afterCheck)));
}

void PermissionPoll::start() { schedule(); }

void PermissionPoll::schedule() {
  std::weak_ptr<PermissionPoll> weak = weak_from_this();
  timer_ = main_.postDelayed(kInterval, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->poll();
    self->schedule();
  });
}

void PermissionPoll::poll() {
  PermissionState s = check_ ? check_() : PermissionState{};
  if (after_) after_(s);
  std::string text = permissionText(s.accessibility, s.inputMonitoring, s.notes);
  if (last_ == text) return;
  last_ = text;
  if (emit_) emit_(text);
}

}  // namespace corvane::shell
