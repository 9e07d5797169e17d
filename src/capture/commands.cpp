#include "capture/commands.h"

#include "capture/accelerator.h"
#include "capture/capture.h"
#include "capture/hotkey_manager.h"
#include "capture/mouse_hook.h"
#include "core/queue.h"
#include "platform/user_defaults.h"
#include "records/settings.h"

namespace corvane::capture {

namespace {

using bridge::CommandResult;
using bridge::HandlerGroup;
using bridge::replyNull;

void onMainAndWait(const std::function<void()>& task) {
  if (isMainThread()) {
    task();
  } else {
    mainQueue().runSync(task);
  }
}

Json bindingView(const char* action, const char* label, const char* hint, const std::string& accelerator) {
  return Json{{"action", action}, {"label", label}, {"hint", hint}, {"accelerator", accelerator}};
}

CommandResult getConfig() {
  auto settings = records::Settings::load();
  auto keys = Json::array();
  keys.push_back(bindingView("run_action", "Actions", "Save selected text as a file in ~/Desktop/CorvaneFiles.",
                             actionAccelerator(settings)));
  keys.push_back(bindingView(
      "shortlist", "Shortlist",
      "Tap: clip the selection (with its source link) to your Shortlist note. Hold: pick which note it lands in.",
      shortlistAccelerator(settings)));
  auto mouse = Json::array();
  mouse.push_back(bindingView("name_button", "Shortlist",
                              "Optionally assign an extra mouse button to clip the selection to your Shortlist note.",
                              mouseBindingValue()));
  auto service = MouseHook::shared().service();
  Json view{{"keys", keys},
            {"mouse", mouse},
            {"configured", platform::UserDefaults::shared().getBool("corvane_configured")},
            {"axTrusted", service && service->running() && service->trusted()},
            // Linux has no Notes application to authorise.
            {"notesAuthorized", false},
            {"hotkeyError", HotkeyManager::shared().lastFailure().value_or("")}};
  return bridge::replyJson(view);
}

CommandResult setBinding(const Json& args) {
  const std::string action = args.value("action", "");
  const std::string accelerator = args.value("accelerator", "");
  // Refused before anything is stored: a malformed shortcut, or one every
  // application would lose.
  auto requested = parseBindableAccelerator(accelerator);
  if (!requested) return fail(requested.error());
  auto settings = records::Settings::load();
  const std::pair<const char*, std::string> owners[] = {
      {"run_action", actionAccelerator(settings)},
      {"shortlist", shortlistAccelerator(settings)},
  };
  const char* labels[] = {"Corvane Action", "Shortlist"};
  for (size_t i = 0; i < 2; ++i) {
    if (action == owners[i].first) continue;
    auto current = parseAccelerator(owners[i].second);
    if (current && *current == *requested)
      return fail(std::string("That shortcut is already bound to ") + labels[i] + " — pick a different one.");
  }
  CORVANE_TRY(records::Settings::update([&](records::Settings& s) { s.bindings[action] = accelerator; }));
  std::optional<std::string> failure;
  onMainAndWait([&failure] { failure = HotkeyManager::shared().registerAll(); });
  if (failure) return fail(*failure);
  return replyNull();
}

CommandResult setMouse(const Json& args) {
  const std::string action = args.value("action", "");
  const std::string button = args.value("button", "");
  if ((action != "shortlist" && action != "clip_button" && action != "name_button") || button.empty())
    return fail("unsupported mouse binding");
  CORVANE_TRY(records::Settings::update([&](records::Settings& s) { s.mouse["name_button"] = button; }));
  mainQueue().post([] { MouseHook::shared().reloadMouseBinding(); });
  return replyNull();
}

CommandResult markFlag(const char* key, void (*apply)(records::Settings&)) {
  (void)platform::UserDefaults::shared().set(key, true);
  CORVANE_TRY(records::Settings::update(apply));
  return replyNull();
}

}  // namespace

void installCaptureCommands(bridge::Router& router) {
  router.add(HandlerGroup::Bindings, "get_config", [](const Json&) { return getConfig(); });
  router.add(HandlerGroup::Bindings, "set_binding", setBinding);
  router.add(HandlerGroup::Bindings, "set_mouse", setMouse);
  router.add(HandlerGroup::Bindings, "mark_configured", [](const Json&) {
    return markFlag("corvane_configured", [](records::Settings& s) { s.configured = true; });
  });
  router.add(HandlerGroup::Bindings, "mark_tutorial_seen", [](const Json&) {
    return markFlag("corvane_tutorial_seen", [](records::Settings& s) { s.tutorialSeen = true; });
  });

  router.add(HandlerGroup::Capture, "begin_key_capture", [](const Json&) -> CommandResult {
    onMainAndWait([] {
      auto& hook = MouseHook::shared();
      hook.setKeyCaptureActive(true);
      hook.beginKeyCapture();
      HotkeyManager::shared().unregisterAll();
      hook.setActionsEnabled(false);
    });
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "end_key_capture", [](const Json&) -> CommandResult {
    mainQueue().post([] {
      auto& hook = MouseHook::shared();
      hook.setKeyCaptureActive(false);
      hook.endKeyCapture();
      (void)HotkeyManager::shared().registerAll();
    });
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "set_onboarding", [](const Json& args) -> CommandResult {
    bool active = args.value("active", false);
    mainQueue().post([active] { MouseHook::shared().setOnboardingActive(active); });
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "set_onboarding_step", [](const Json& args) -> CommandResult {
    std::string step = args.value("step", "");
    mainQueue().post([step] { MouseHook::shared().setOnboardingStep(step); });
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "set_actions_enabled", [](const Json& args) -> CommandResult {
    bool enabled = args.value("enabled", true);
    mainQueue().post([enabled] { MouseHook::shared().setActionsEnabled(enabled); });
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "begin_mouse_capture", [](const Json& args) -> CommandResult {
    MouseHook::shared().beginMouseCapture(args.value("action", ""));
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "cancel_mouse_capture", [](const Json&) -> CommandResult {
    MouseHook::shared().cancelMouseCapture();
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "reinstall_hook",
             [](const Json&) -> CommandResult { return bridge::replyJson(Json(reinstallHook())); });
}

}  // namespace corvane::capture
