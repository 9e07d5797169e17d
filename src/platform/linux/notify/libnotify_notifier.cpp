#include "platform/linux/notify/libnotify_notifier.h"

#include <libnotify/notify.h>

#include <mutex>
#include <string>

namespace corvane::platform {
namespace {

class LibnotifyNotifier final : public UserNotifier {
 public:
  explicit LibnotifyNotifier(std::string name) : name_(std::move(name)) {}

  NotificationAuthorization authorization() override {
    return serverAnswers() ? NotificationAuthorization::Authorized : NotificationAuthorization::Denied;
  }

  bool requestAuthorization() override { return serverAnswers(); }

  Result<void> post(const std::string& title, const std::string& body, const std::string& identifier) override {
    std::lock_guard lock(mutex_);
    if (!ensureInitialised()) return fail("no notification service");
    NotifyNotification* n = notify_notification_new(title.c_str(), body.empty() ? nullptr : body.c_str(), nullptr);
    if (!n) return fail("couldn't create the notification");
    notify_notification_set_hint(n, "sound-name", g_variant_new_string("message-new-instant"));
    notify_notification_set_hint(n, "x-corvane-id", g_variant_new_string(identifier.c_str()));
    GError* error = nullptr;
    bool shown = notify_notification_show(n, &error);
    std::string message;
    if (!shown) message = error && error->message ? error->message : "the notification server did not answer";
    if (error) g_error_free(error);
    g_object_unref(n);
    if (!shown) return fail(message);
    return ok();
  }

 private:
  bool ensureInitialised() {
    if (!notify_is_initted()) notify_init(name_.c_str());
    return notify_is_initted();
  }

  bool serverAnswers() {
    std::lock_guard lock(mutex_);
    if (!ensureInitialised()) return false;
    char *name = nullptr, *vendor = nullptr, *version = nullptr, *spec = nullptr;
    bool answered = notify_get_server_info(&name, &vendor, &version, &spec);
    g_free(name);
    g_free(vendor);
    g_free(version);
    g_free(spec);
    return answered;
  }

  std::string name_;
  std::mutex mutex_;  // libnotify's global state is not thread-safe
};

}  // namespace

std::shared_ptr<UserNotifier> makeLibnotifyNotifier(const char* applicationName) {
  return std::make_shared<LibnotifyNotifier>(applicationName ? applicationName : "Corvane");
}

}  // namespace corvane::platform
