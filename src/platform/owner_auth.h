#pragma once
// Owner authentication for the tray lock: the user's own password checked by
// the system. The dialog that asks for it lives in the shell; this interface
// only says whether a method can run and checks a password.
#include <memory>
#include <string>

#include "core/result.h"

namespace corvane::platform {

class OwnerAuthenticator {
 public:
  virtual ~OwnerAuthenticator() = default;
  // Why no method can run (the lock is then unavailable), or success.
  virtual Result<void> available() const = 0;
  // Whether `password` is the current user's. Blocking; call off the main thread.
  virtual bool verify(const std::string& password) = 0;

  // The process-wide authenticator; nullptr until one is installed (the shell
  // installs PAM at start-up; tests install a fake).
  static std::shared_ptr<OwnerAuthenticator> shared();
  static void setShared(std::shared_ptr<OwnerAuthenticator> authenticator);
};

inline constexpr std::string_view kLockUnavailable =
    "The lock is unavailable: no way to check your password on this system.";

}  // namespace corvane::platform
