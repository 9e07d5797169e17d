#pragma once
#include "platform/keychain.h"

namespace corvane::platform {
// An in-memory keychain for tests; `failing` makes every call fail.
std::shared_ptr<Keychain> makeMemoryKeychain(bool failing = false);
}  // namespace corvane::platform
