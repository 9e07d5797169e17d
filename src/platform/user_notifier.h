#pragma once
// Desktop notifications. The notice logic (records/notices.h) asks for the
// authorisation state, may request it once, and posts; whatever cannot be
// posted falls back to the status panel near the pointer.
#include <memory>
#include <string>

#include "core/result.h"

namespace corvane::platform {

enum class NotificationAuthorization { NotDetermined, Denied, Authorized, Provisional, Ephemeral };

class UserNotifier {
 public:
  virtual ~UserNotifier() = default;
  virtual NotificationAuthorization authorization() = 0;
  // Asks for alerts and sounds; true when granted.
  virtual bool requestAuthorization() = 0;
  // Shows one notification now, with the default sound.
  virtual Result<void> post(const std::string& title, const std::string& body, const std::string& identifier) = 0;
};

// The installed notifier; nullptr means no notification service (the status
// panel is used instead).
std::shared_ptr<UserNotifier> userNotifier();
void installUserNotifier(std::shared_ptr<UserNotifier> notifier);

}  // namespace corvane::platform
