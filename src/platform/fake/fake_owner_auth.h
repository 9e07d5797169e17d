#pragma once
#include <atomic>
#include <optional>

#include "platform/owner_auth.h"

namespace corvane::platform {

// Accepts one password; `unavailable` set makes no method available.
class FakeOwnerAuthenticator final : public OwnerAuthenticator {
 public:
  explicit FakeOwnerAuthenticator(std::string password) : password_(std::move(password)) {}
  Result<void> available() const override {
    if (unavailable) return fail(*unavailable);
    return {};
  }
  bool verify(const std::string& password) override {
    ++attempts;
    return !unavailable && password == password_;
  }
  std::optional<std::string> unavailable;
  std::atomic<int> attempts{0};

 private:
  std::string password_;
};

}  // namespace corvane::platform
