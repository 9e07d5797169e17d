#pragma once
#include <memory>
#include <string>

#include "platform/owner_auth.h"

namespace corvane::platform {

// Checks the current user's password with PAM, as screen lockers do. The
// service is the first of `services` that has a configuration (a service the
// system does not know falls back to "other", which usually denies everything).
std::shared_ptr<OwnerAuthenticator> makePamAuthenticator();

}  // namespace corvane::platform
