#include "platform/keychain.h"

#include <mutex>

namespace corvane::platform {
namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<Keychain>& sharedSlot() {
  static std::shared_ptr<Keychain> slot;
  return slot;
}
}  // namespace

std::shared_ptr<Keychain> Keychain::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = makeFileKeychain();
  return slot;
}

void Keychain::setShared(std::shared_ptr<Keychain> keychain) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(keychain);
}

}  // namespace corvane::platform
