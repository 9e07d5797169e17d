#include "shell/seams.h"

#include "account/commands.h"
#include "capture/capture.h"
#include "capture/mouse_hook.h"
#include "platform/linux/x11/x11_input_service.h"
#include "shell/system_integration.h"

namespace corvane::shell {

ShellSeams& seams() {
  static ShellSeams table;
  return table;
}

namespace {

// Global capture runs on its own X connection; the first registration starts
// it, later ones (the permission poll seeing XTEST/XInput2 appear) reinstall.
void installCaptureSeams() {
  auto& sm = seams();
  sm.registerHotkeys = [] {
    static bool started = false;
    if (started) {
      (void)capture::reinstallHook();
      return;
    }
    started = true;
    (void)capture::startCapture(platform::makeX11InputService());
  };
  sm.startInputHook = [] { return capture::reinstallHook(); };
  sm.inputHookInstalled = [] {
    auto service = capture::MouseHook::shared().service();
    return service && service->running();
  };
  sm.mouseMonitoringActive = sm.inputHookInstalled;
  sm.restartMouseMonitoring = [] { (void)capture::reinstallHook(); };
  sm.stopInputHook = [] { capture::stopCapture(); };
  sm.setOpenTrayAction = [](std::function<void()> toggle) {
    capture::MouseHook::shared().setOnOpenTray(std::move(toggle));
  };
  sm.onboardingActive = [] { return capture::MouseHook::shared().onboardingActive(); };
  sm.endOnboarding = [] { capture::MouseHook::shared().setOnboardingActive(false); };
}

}  // namespace

void installSeams() {
  // Hotkeys, the input hook, AI availability, cloud sync and the updater
  // install their members here as they land.
  installSystemIntegrationSeams();
  seams().handleSignInUrl = [](const std::string& url) { return account::handleOpenURL(url); };
  installCaptureSeams();
}

}  // namespace corvane::shell
