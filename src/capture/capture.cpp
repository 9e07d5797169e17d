#include "capture/capture.h"

#include "capture/clip_pipeline.h"
#include "capture/hotkey_manager.h"
#include "capture/mouse_hook.h"
#include "core/queue.h"
#include "records/app_log.h"

namespace corvane::capture {

namespace {

void runOnMainAndWait(const std::function<void()>& task) {
  if (isMainThread()) {
    task();
  } else {
    mainQueue().runSync(task);
  }
}

void installDefaultCallbacks(HotkeyManager& hotkeys, MouseHook& hook) {
  // The clip and follow-up hotkeys clip at once; the shortlist key clips to the
  // default note on press (its hold gesture comes with the picker).
  if (!hotkeys.onClip) hotkeys.onClip = [&hook] { hook.clip(ClipTarget::defaultNote(), "keyboard"); };
  if (!hotkeys.onFollowup) hotkeys.onFollowup = [&hook] { hook.clip(ClipTarget::followup(), "keyboard"); };
  if (!hotkeys.onShortlistDown)
    hotkeys.onShortlistDown = [&hook] { hook.clip(ClipTarget::defaultNote(), "keyboard"); };
  if (!hotkeys.onAction)
    hotkeys.onAction = [] { records::appLog(records::LogLevel::Info, "capture", "action requested"); };
}

}  // namespace

Result<void> startCapture(std::shared_ptr<platform::InputService> service) {
  auto& hook = MouseHook::shared();
  auto& hotkeys = HotkeyManager::shared();
  installDefaultCallbacks(hotkeys, hook);
  // Clips that pass the trigger run the pipeline; what an earlier run could
  // not save is retried now.
  auto pipeline = ClipPipeline::shared();
  hook.clipTrigger().setSink([](const ClipTarget& target, const std::string& source) {
    ClipPipeline::shared()->submit(target, source);
  });
  pipeline->retryOutboxLater();
  hook.setOnKeyCaptureTimedOut([&hotkeys] { (void)hotkeys.registerAll(); });
  hook.attach(service);
  hotkeys.attach(service, &hook);
  auto started = service->start();
  if (!started) {
    records::appLog(records::LogLevel::Warn, "capture", "input hook not installed: " + started.error());
    return started;
  }
  hook.reloadMouseBinding();
  (void)hotkeys.registerAll();
  return ok();
}

void stopCapture() {
  auto& hook = MouseHook::shared();
  auto service = hook.service();
  HotkeyManager::shared().unregisterAll();
  if (service) {
    hook.endKeyCapture();
    hook.sync();
    service->stop();
  }
  HotkeyManager::shared().attach(nullptr, &hook);
  hook.attach(nullptr);
}

bool reinstallHook() {
  bool running = false;
  runOnMainAndWait([&running] {
    auto& hook = MouseHook::shared();
    auto service = hook.service();
    if (!service) return;
    if (!service->running()) {
      auto started = service->start();
      if (!started) records::appLog(records::LogLevel::Warn, "capture", "input hook not installed: " + started.error());
    }
    running = service->running();
    if (running) {
      (void)HotkeyManager::shared().registerAll();
      hook.reloadMouseBinding();
    }
  });
  return running;
}

void settingsScreenClosed() {
  runOnMainAndWait([] {
    auto& hook = MouseHook::shared();
    hook.endKeyCapture();
    hook.setKeyCaptureActive(false);
    hook.cancelMouseCapture();
    hook.setActionsEnabled(true);
    (void)HotkeyManager::shared().registerAll();
  });
}

}  // namespace corvane::capture
