#pragma once
#include "platform/user_defaults.h"

namespace corvane::platform {
// In-memory user defaults for tests.
std::shared_ptr<UserDefaults> makeMemoryUserDefaults();
}  // namespace corvane::platform
