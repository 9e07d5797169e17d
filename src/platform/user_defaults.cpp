#include "platform/user_defaults.h"

#include <mutex>

namespace corvane::platform {

bool UserDefaults::getBool(std::string_view key, bool fallback) const {
  auto v = get(key);
  return (v && v->is_boolean()) ? v->get<bool>() : fallback;
}

std::optional<std::string> UserDefaults::getString(std::string_view key) const {
  auto v = get(key);
  if (v && v->is_string()) return v->get<std::string>();
  return std::nullopt;
}

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<UserDefaults>& sharedSlot() {
  static std::shared_ptr<UserDefaults> slot;
  return slot;
}
}  // namespace

UserDefaults& UserDefaults::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = makeFileUserDefaults();
  return *slot;
}

void UserDefaults::setSharedForTesting(std::shared_ptr<UserDefaults> defaults) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(defaults);
}

}  // namespace corvane::platform
