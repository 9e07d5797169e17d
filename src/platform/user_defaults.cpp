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

namespace corvane::platform {

namespace {
std::mutex& damageHookMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& damageHook() {
  static auto* hook = new std::function<void(const std::string&)>();
  return *hook;
}
}  // namespace

void setUserDefaultsDamageHook(std::function<void(const std::string& message)> hook) {
  std::lock_guard lock(damageHookMutex());
  damageHook() = std::move(hook);
}

void reportDamagedUserDefaults(const std::string& message) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard lock(damageHookMutex());
    hook = damageHook();
  }
  if (hook) hook(message);
}

}  // namespace corvane::platform
