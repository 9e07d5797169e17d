#include "platform/user_notifier.h"

#include <mutex>

namespace corvane::platform {
namespace {
std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<UserNotifier>& slot() {
  static std::shared_ptr<UserNotifier> notifier;
  return notifier;
}
}  // namespace

std::shared_ptr<UserNotifier> userNotifier() {
  std::lock_guard lock(slotMutex());
  return slot();
}

void installUserNotifier(std::shared_ptr<UserNotifier> notifier) {
  std::lock_guard lock(slotMutex());
  slot() = std::move(notifier);
}

}  // namespace corvane::platform
