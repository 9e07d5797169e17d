#include "platform/owner_auth.h"

#include <mutex>

namespace corvane::platform {
namespace {
std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<OwnerAuthenticator>& slot() {
  static std::shared_ptr<OwnerAuthenticator> s;
  return s;
}
}  // namespace

std::shared_ptr<OwnerAuthenticator> OwnerAuthenticator::shared() {
  std::lock_guard lock(slotMutex());
  return slot();
}

void OwnerAuthenticator::setShared(std::shared_ptr<OwnerAuthenticator> authenticator) {
  std::lock_guard lock(slotMutex());
  slot() = std::move(authenticator);
}

}  // namespace corvane::platform
