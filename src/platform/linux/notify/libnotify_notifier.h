#pragma once
// Desktop notifications through libnotify (the freedesktop notification
// service on the session bus). "Authorised" means a notification server
// answers; there is no permission to ask for, so a request only asks again.
// Calls block on D-Bus, so callers post from a worker, never the main thread.
#include <memory>

#include "platform/user_notifier.h"

namespace corvane::platform {

std::shared_ptr<UserNotifier> makeLibnotifyNotifier(const char* applicationName = "Corvane");

}  // namespace corvane::platform
