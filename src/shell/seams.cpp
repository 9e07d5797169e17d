#include "shell/seams.h"

#include "account/commands.h"
#include "capture/capture.h"
#include "capture/clip_pipeline.h"
#include "capture/mouse_hook.h"
#include "core/clock.h"
#include "core/queue.h"
#ifdef CORVANE_HAVE_ATSPI
#include "platform/linux/atspi/atspi_access.h"
#endif
#include "platform/linux/x11/x11_input_service.h"
#include "platform/linux/x11/x11_selection.h"
#include "records/app_log.h"
#include "shell/system_integration.h"

namespace corvane::shell {

ShellSeams& seams() {
  static ShellSeams table;
  return table;
}

namespace {

// Clips read the selection through AT-SPI first, else by copying it on our own
// X connection; statuses go to the panel near the pointer.
void installClipPipeline() {
  std::shared_ptr<platform::SelectionSource> selection;
  if (auto made = platform::makeX11SelectionSource()) {
    selection = *made;
  } else {
    records::appLog(records::LogLevel::Warn, "capture", "clipboard unavailable: " + made.error());
  }
  std::shared_ptr<platform::SourceLinkLookup> lookup;
#ifdef CORVANE_HAVE_ATSPI
  if (auto access = platform::makeAtspiAccess()) {
    selection = platform::withAccessibility(selection, access);
    lookup = access;
  } else {
    records::appLog(records::LogLevel::Warn, "capture", "accessibility (AT-SPI) unavailable");
  }
#endif
  capture::ClipPipeline::installShared(std::make_shared<capture::ClipPipeline>(
      systemClock(), std::make_shared<SerialQueue>("com.corvane.clip"), selection, lookup,
      capture::statusPanelHUD(), capture::defaultClipServices()));
}

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
    installClipPipeline();
    (void)capture::startCapture(platform::makeX11InputService());
  };
  sm.startInputHook = [] { return capture::reinstallHook(); };
  sm.inputHookInstalled = [] {
    auto service = capture::MouseHook::shared().service();
    return service && service->running();
  };
  sm.mouseMonitoringActive = sm.inputHookInstalled;
  sm.restartMouseMonitoring = [] { (void)capture::reinstallHook(); };
  sm.stopInputHook = [] {
    capture::stopCapture();
    capture::ClipPipeline::shared()->flush();
  };
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
