#pragma once
#include "platform/keychain.h"

namespace corvane::platform {
// The keyring through the Secret Service (libsecret). When no keyring answers
// (no session bus, no service, a locked collection that cannot be opened),
// each call uses `fallback` instead; a secret is read from the keyring first,
// then from the fallback.
std::shared_ptr<Keychain> makeSecretServiceKeychain(std::shared_ptr<Keychain> fallback);
}  // namespace corvane::platform
