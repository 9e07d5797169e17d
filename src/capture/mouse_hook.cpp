#include "capture/mouse_hook.h"

#include "bridge/shell_hooks.h"
#include "core/json.h"
#include "records/app_log.h"
#include "records/settings.h"

namespace corvane::capture {

using platform::InputEvent;
using platform::Verdict;

namespace {

std::mutex sharedMutex;
std::shared_ptr<MouseHook> sharedHook;

void emitOnMain(std::string name, std::string payload) {
  mainQueue().post([name = std::move(name), payload = std::move(payload)] { bridge::emitEvent(name, payload); });
}

void runOnMain(std::function<void()> callback) {
  if (callback) mainQueue().post(std::move(callback));
}

}  // namespace

std::string mouseBindingValue() {
  auto settings = records::Settings::load();
  if (auto it = settings.mouse.find("name_button"); it != settings.mouse.end()) return it->second;
  if (auto it = settings.mouse.find("clip_button"); it != settings.mouse.end()) return it->second;
  return "—";
}

MouseHook::MouseHook(const Clock& clock) : clock_(clock), trigger_(clock) {}

MouseHook::~MouseHook() = default;

MouseHook& MouseHook::shared() {
  std::lock_guard lock(sharedMutex);
  if (!sharedHook) sharedHook = std::make_shared<MouseHook>();
  return *sharedHook;
}

void MouseHook::setSharedForTesting(std::shared_ptr<MouseHook> hook) {
  std::lock_guard lock(sharedMutex);
  sharedHook = std::move(hook);
}

void MouseHook::attach(std::shared_ptr<platform::InputService> service) {
  {
    std::lock_guard lock(mutex_);
    service_ = service;
  }
  if (service) {
    service->setEventHandler([this](const InputEvent& event) { return handleEvent(event); });
    service->queue().post([this, service] {
      decided_ = core_.decidedButtons();  // a new service starts with none
      service->setDecidedButtons(decided_);
    });
  }
}

std::shared_ptr<platform::InputService> MouseHook::service() const {
  std::lock_guard lock(mutex_);
  return service_;
}

void MouseHook::setOnOpenTray(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onOpenTray_ = std::move(callback);
}

void MouseHook::setOnRunAction(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onRunAction_ = std::move(callback);
}

void MouseHook::setOnKeyCaptureTimedOut(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onKeyCaptureTimedOut_ = std::move(callback);
}

void MouseHook::onEventThread(std::function<void(HookCore&)> change) {
  auto service = this->service();
  auto apply = [this, change = std::move(change)] {
    change(core_);
    carryOut(effects_);
    armDeadline();
    applyDecidedButtons();
  };
  if (service) {
    service->queue().post(std::move(apply));
  } else {
    std::lock_guard lock(inlineMutex_);  // no event thread: commands apply in place
    apply();
  }
}

void MouseHook::sync() {
  if (auto service = this->service()) service->queue().runSync([] {});
}

Verdict MouseHook::handleEvent(const InputEvent& event) {
  Verdict verdict = core_.onEvent(event, effects_);
  if (!effects_.empty()) {
    carryOut(effects_);
    armDeadline();
    applyDecidedButtons();
  }
  return verdict;
}

void MouseHook::carryOut(Effects& effects) {
  auto service = this->service();
  for (auto& effect : effects) {
    switch (effect.kind) {
      case Effect::Kind::KeyCaptured:
        emitOnMain("key:captured", dumpCompact(Json{{"accelerator", effect.text}}));
        break;
      case Effect::Kind::KeyCaptureCancelled:
        emitOnMain("key:captured", R"({"cancelled":true})");
        break;
      case Effect::Kind::KeyCaptureEnded:
        if (service) service->ungrabKeyboard();
        break;
      case Effect::Kind::KeyCaptureTimedOut: {
        std::lock_guard lock(mutex_);
        runOnMain(onKeyCaptureTimedOut_);
        break;
      }
      case Effect::Kind::MouseCaptured:
        emitOnMain("mouse:captured", dumpCompact(Json{{"action", effect.text}, {"button", effect.button}}));
        break;
      case Effect::Kind::MouseCaptureEnded:
        break;  // the decided buttons are applied after every batch
      case Effect::Kind::OnboardTray:
        emitOnMain("onboard:tray", "null");
        break;
      case Effect::Kind::OnboardClip:
        emitOnMain("onboard:clip", dumpCompact(Json{{"source", "mouse"}, {"button", effect.button}}));
        break;
      case Effect::Kind::OpenTray: {
        std::lock_guard lock(mutex_);
        records::appLog(records::LogLevel::Info, "capture", "option tap: toggle tray");
        runOnMain(onOpenTray_);
        break;
      }
      case Effect::Kind::RunAction: {
        std::lock_guard lock(mutex_);
        runOnMain(onRunAction_);
        break;
      }
      case Effect::Kind::Clip: {
        auto target = effect.target == ClipTargetKind::Followup ? ClipTarget::followup() : ClipTarget::defaultNote();
        clip(target, effect.text);
        break;
      }
    }
  }
  effects.clear();
  actionsEnabled_ = core_.actionsEnabled();
}

void MouseHook::armDeadline() {
  auto service = this->service();
  auto next = core_.nextDeadline();
  if (!service || !next) {
    deadline_.cancel();
    return;
  }
  auto delay = std::max(Duration::zero(), *next - clock_.monotonicNow());
  deadline_ = service->queue().postDelayed(delay, [this] {
    core_.advance(clock_.monotonicNow(), effects_);
    carryOut(effects_);
    armDeadline();
    applyDecidedButtons();
  });
}

void MouseHook::applyDecidedButtons() {
  auto buttons = core_.decidedButtons();
  if (buttons == decided_) return;
  decided_ = buttons;
  if (auto service = this->service()) service->setDecidedButtons(std::move(buttons));
}

void MouseHook::beginKeyCapture() {
  auto service = this->service();
  onEventThread([this, service](HookCore& core) {
    core.beginKeyCapture(clock_.monotonicNow());
    if (service) {
      auto grabbed = service->grabKeyboard();
      if (!grabbed) records::appLog(records::LogLevel::Warn, "capture", "keyboard grab failed: " + grabbed.error());
    }
  });
}

void MouseHook::endKeyCapture() {
  auto service = this->service();
  onEventThread([service](HookCore& core) {
    core.endKeyCapture();
    if (service) service->ungrabKeyboard();
  });
}

void MouseHook::setKeyCaptureActive(bool active) {
  onEventThread([active](HookCore& core) { core.setKeyCaptureActive(active); });
}

void MouseHook::beginMouseCapture(std::string action) {
  onEventThread([this, action = std::move(action)](HookCore& core) mutable {
    core.beginMouseCapture(std::move(action), clock_.monotonicNow());
  });
}

void MouseHook::cancelMouseCapture() {
  onEventThread([](HookCore& core) { core.cancelMouseCapture(); });
}

void MouseHook::setActionsEnabled(bool enabled) {
  actionsEnabled_ = enabled;  // hotkey dispatch reads it before the core has it
  onEventThread([enabled](HookCore& core) { core.setActionsEnabled(enabled); });
}

void MouseHook::setOnboardingActive(bool active) {
  onboardingActive_ = active;
  onEventThread([active](HookCore& core) { core.setOnboardingActive(active); });
}

void MouseHook::setOnboardingStep(std::string step) {
  onEventThread([step = std::move(step)](HookCore& core) mutable { core.setOnboardingStep(std::move(step)); });
}

void MouseHook::setFallbackHotkeys(std::vector<FallbackHotkey> hotkeys) {
  onEventThread([hotkeys = std::move(hotkeys)](HookCore& core) mutable { core.setFallbackHotkeys(std::move(hotkeys)); });
}

void MouseHook::setMouseBinding(MouseBinding binding) {
  onEventThread([binding = std::move(binding)](HookCore& core) mutable { core.setMouseBinding(std::move(binding)); });
}

void MouseHook::reloadMouseBinding() { setMouseBinding(parseMouseBinding(mouseBindingValue())); }

void MouseHook::clip(const ClipTarget& target, const std::string& source) {
  trigger_.clip(target, source, onboardingActive_.load());
}

}  // namespace corvane::capture
