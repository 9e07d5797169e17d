#include "capture/hotkey_manager.h"

#include <vector>

#include "capture/mouse_hook.h"
#include "core/queue.h"
#include "records/app_log.h"

namespace corvane::capture {

namespace {

std::mutex sharedMutex;
std::shared_ptr<HotkeyManager> sharedManager;

std::string bindingOr(const records::Settings& settings, const char* key, const char* fallback) {
  auto it = settings.bindings.find(key);
  return it != settings.bindings.end() ? it->second : fallback;
}

}  // namespace

std::string actionAccelerator(const records::Settings& s) { return bindingOr(s, "run_action", "Option+A"); }
std::string clipAccelerator(const records::Settings& s) { return bindingOr(s, "clip", "Option+C"); }
std::string followupAccelerator(const records::Settings& s) { return bindingOr(s, "clip_followup", "Option+X"); }
std::string shortlistAccelerator(const records::Settings& s) {
  auto it = s.bindings.find("shortlist");
  if (it != s.bindings.end()) return it->second;
  return followupAccelerator(s);
}

HotkeyManager& HotkeyManager::shared() {
  std::lock_guard lock(sharedMutex);
  if (!sharedManager) sharedManager = std::make_shared<HotkeyManager>();
  return *sharedManager;
}

void HotkeyManager::setSharedForTesting(std::shared_ptr<HotkeyManager> manager) {
  std::lock_guard lock(sharedMutex);
  sharedManager = std::move(manager);
}

void HotkeyManager::attach(std::shared_ptr<platform::InputService> service, MouseHook* hook) {
  if (service) service->setHotkeyHandler([this](int id, bool pressed) { handleHotkeyEvent(id, pressed); });
  std::lock_guard lock(mutex_);
  service_ = std::move(service);
  hook_ = hook;
  registered_.clear();
}

Result<void> HotkeyManager::registerHotkey(int id, const std::string& accelerator) {
  std::shared_ptr<platform::InputService> service;
  {
    std::lock_guard lock(mutex_);
    service = service_;
  }
  unregisterSlot(id);
  auto parsed = parseAccelerator(accelerator);
  if (!parsed) return fail("unparseable accelerator");
  if (!service) return fail("no input service");
  CORVANE_TRY(service->registerHotkey(id, parsed->keyCode, parsed->modifiers));
  registered_[id] = *parsed;
  return ok();
}

void HotkeyManager::unregisterSlot(int id) {
  std::shared_ptr<platform::InputService> service;
  {
    std::lock_guard lock(mutex_);
    service = service_;
  }
  if (registered_.erase(id) && service) service->unregisterHotkey(id);
}

void HotkeyManager::unregisterAll() {
  std::shared_ptr<platform::InputService> service;
  {
    std::lock_guard lock(mutex_);
    service = service_;
  }
  for (const auto& [id, accelerator] : registered_)
    if (service) service->unregisterHotkey(id);
  registered_.clear();
}

std::optional<std::string> HotkeyManager::registerAll() {
  auto settings = records::Settings::load();
  const std::string action = actionAccelerator(settings);
  const std::string shortlist = shortlistAccelerator(settings);
  const std::string clip = clipAccelerator(settings);
  const std::string followup = followupAccelerator(settings);

  std::vector<std::string> failures;
  std::vector<FallbackHotkey> fallbacks;
  auto record = [&](const char* label, const std::string& accelerator, const char* actionId) {
    failures.push_back(std::string(label) + " (" + accelerator + ")");
    if (auto parsed = parseAccelerator(accelerator))
      fallbacks.push_back({parsed->keyCode, modifiersToFlags(parsed->modifiers), actionId});
  };
  // Two texts for one combination ("Alt+C", "Option+C") are one hotkey: a
  // second grab of the same keys would silently replace the first.
  auto same = [](const std::string& a, const std::string& b) {
    auto pa = parseAccelerator(a), pb = parseAccelerator(b);
    return pa && pb ? *pa == *pb : a == b;
  };

  if (!registerHotkey(kActionHotkeyId, action)) record("Corvane Action", action, "run_action");
  if (same(shortlist, action)) {
    unregisterSlot(kShortlistHotkeyId);
    failures.push_back("Shortlist (" + shortlist + ")");
  } else if (!registerHotkey(kShortlistHotkeyId, shortlist)) {
    record("Shortlist", shortlist, "shortlist");
  }
  auto registerAlias = [&](int id, const std::string& accelerator, const char* label, const char* actionId) {
    if (same(accelerator, shortlist) || same(accelerator, action)) {
      unregisterSlot(id);
      return;
    }
    if (!registerHotkey(id, accelerator)) record(label, accelerator, actionId);
  };
  registerAlias(kClipHotkeyId, clip, "Shortlist (⌥C alias)", "clip");
  registerAlias(kFollowupHotkeyId, followup, "Follow-up (legacy)", "clip_followup");

  std::optional<uint16_t> triggerKey;
  if (auto parsed = parseAccelerator(shortlist)) triggerKey = parsed->keyCode;
  MouseHook* hook;
  {
    std::lock_guard lock(mutex_);
    shortlistTriggerKey_ = triggerKey;
    hook = hook_;
  }
  if (hook) hook->setFallbackHotkeys(fallbacks);

  std::optional<std::string> message;
  if (!failures.empty()) {
    std::string joined;
    for (const auto& f : failures) joined += (joined.empty() ? "" : ", ") + f;
    message = joined + " couldn't be registered — likely already used by another app. Pick a different shortcut.";
    records::appLog(records::LogLevel::Warn, "hotkeys", *message);
  } else {
    records::appLog(records::LogLevel::Info, "hotkeys",
                    "registered ok: action=" + action + " shortlist=" + shortlist + " clip=" + clip +
                        " followup=" + followup);
  }
  std::lock_guard lock(mutex_);
  lastFailure_ = message;
  return message;
}

void HotkeyManager::handleHotkeyEvent(int id, bool pressed) {
  mainQueue().post([this, id, pressed] { dispatch(id, pressed); });
}

void HotkeyManager::dispatch(int id, bool pressed) {
  MouseHook* hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook && !hook->actionsEnabled()) {
    records::appLog(records::LogLevel::Warn, "hotkeys",
                    "blocked hotkey id=" + std::to_string(id) +
                        " — actionsEnabled=false (Settings open or capture in progress?)");
    return;
  }
  const std::function<void()>* callback = nullptr;
  if (!pressed) {
    if (id == kShortlistHotkeyId) callback = &onShortlistUp;
  } else if (id == kActionHotkeyId) {
    callback = &onAction;
  } else if (id == kClipHotkeyId) {
    callback = &onClip;
  } else if (id == kFollowupHotkeyId) {
    callback = &onFollowup;
  } else if (id == kShortlistHotkeyId) {
    callback = &onShortlistDown;
  }
  if (callback && *callback) (*callback)();
}

std::optional<std::string> HotkeyManager::lastFailure() const {
  std::lock_guard lock(mutex_);
  return lastFailure_;
}

std::optional<uint16_t> HotkeyManager::shortlistTriggerKey() const {
  std::lock_guard lock(mutex_);
  return shortlistTriggerKey_;
}

}  // namespace corvane::capture
