#include "integration/commands.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "integration/login_item.h"
#include "integration/updates.h"
#include "platform/owner_auth.h"
#include "records/settings.h"
#include "records/settings_services.h"

extern char** environ;

namespace corvane::integration {
namespace {

namespace fs = std::filesystem;
using bridge::CommandResult;
using bridge::HandlerGroup;

bool onPathReal(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string_view rest = path;
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return false;
}

void launchReal(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return;
  // Collected in the background so no zombie is left.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

bool flag(const Json& args, const char* name, bool fallback) {
  auto it = args.is_object() ? args.find(name) : args.end();
  return it != args.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

}  // namespace

DesktopActions& desktopActions() {
  static DesktopActions actions{launchReal, onPathReal};
  return actions;
}

std::optional<std::vector<std::string>> accessibilityPanelCommand() {
  auto& d = desktopActions();
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  const std::string session = desktop ? desktop : "";
  const bool kde = session.find("KDE") != std::string::npos;
  if (kde && d.onPath("systemsettings")) return std::vector<std::string>{"systemsettings", "kcm_access"};
  if (d.onPath("gnome-control-center")) return std::vector<std::string>{"gnome-control-center", "universal-access"};
  if (d.onPath("cinnamon-settings")) return std::vector<std::string>{"cinnamon-settings", "universal-access"};
  if (d.onPath("systemsettings")) return std::vector<std::string>{"systemsettings", "kcm_access"};
  return std::nullopt;
}

void installIntegrationCommands(bridge::Router& router) {
  records::updateSettingsServices([](records::SettingsServices& s) {
    s.launchAtLogin = [] { return LoginItem().enabled(); };
  });

  const auto updates = HandlerGroup::WindowAndUpdates;
  router.add(updates, "get_update_status", [](const Json&) -> CommandResult {
    return bridge::replyJson(UpdateService::shared().status().toJson());
  });
  router.add(updates, "get_update_history", [](const Json&) -> CommandResult {
    auto entries = UpdateService::shared().history();
    if (!entries) return fail(entries.error());
    return bridge::replyJson(*entries);
  });
  router.add(updates, "check_for_updates", [](const Json&) -> CommandResult {
    UpdateService::shared().checkNow();
    return bridge::replyNull();
  });
  router.add(updates, "set_auto_update_checks", [](const Json& args) -> CommandResult {
    UpdateService::shared().setAutomaticChecks(flag(args, "on", true));
    return bridge::replyNull();
  });

  router.add(HandlerGroup::Settings, "set_launch_at_login", [](const Json& args) -> CommandResult {
    auto done = LoginItem().set(flag(args, "on", false));
    if (!done) return fail(done.error());
    return bridge::replyNull();
  });

  // The lock may only be switched on where a password can be checked; claimed
  // ahead of the plain settings write so an unusable lock is never stored.
  router.add(HandlerGroup::Capture, "set_biometric_unlock", [](const Json& args) -> CommandResult {
    auto it = args.is_object() ? args.find("on") : args.end();
    if (it == args.end()) return fail("missing argument");
    if (!it->is_boolean()) return fail("invalid on");
    const bool on = it->get<bool>();
    if (on) {
      auto auth = platform::OwnerAuthenticator::shared();
      if (!auth) return fail(std::string(platform::kLockUnavailable));
      if (auto ok = auth->available(); !ok) return fail(ok.error());
    }
    auto saved = records::SettingsStore::shared().update([&](records::Settings& s) { s.requireBiometricUnlock = on; });
    if (!saved) return fail(saved.error());
    return bridge::replyNull();
  });

  const auto permissions = HandlerGroup::Capture;
  // Linux has no accessibility grant to ask for: the desktop's accessibility
  // panel is opened where one exists.
  router.add(permissions, "open_accessibility_settings", [](const Json&) -> CommandResult {
    if (auto panel = accessibilityPanelCommand()) desktopActions().launch(*panel);
    return bridge::replyNull();
  });
  // Neither input monitoring nor automation is a permission on Linux.
  router.add(permissions, "open_input_monitoring_settings", [](const Json&) { return bridge::replyNull(); });
  router.add(permissions, "open_automation_settings", [](const Json&) { return bridge::replyNull(); });
  // Asking the notification server who it is starts it when it is activatable;
  // there is no grant to wait for, and the answer is not needed.
  router.add(permissions, "request_notification_access", [](const Json&) -> CommandResult {
    auto& d = desktopActions();
    if (d.onPath("gdbus"))
      d.launch({"gdbus", "call", "--session", "--dest", "org.freedesktop.Notifications", "--object-path",
                "/org/freedesktop/Notifications", "--method", "org.freedesktop.Notifications.GetServerInformation"});
    return bridge::replyNull();
  });
}

}  // namespace corvane::integration
