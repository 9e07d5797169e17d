#include "platform/fake/memory_keychain.h"

#include <map>
#include <mutex>

namespace corvane::platform {
namespace {
class MemoryKeychain final : public Keychain {
 public:
  explicit MemoryKeychain(bool failing) : failing_(failing) {}
  Result<std::optional<std::string>> read(std::string_view account) override {
    if (failing_) return fail("keyring unavailable");
    std::lock_guard lock(mutex_);
    auto it = values_.find(std::string(account));
    if (it == values_.end()) return std::optional<std::string>();
    return std::optional<std::string>(it->second);
  }
  Result<void> write(std::string_view account, std::string_view secret) override {
    if (failing_) return fail("keyring unavailable");
    std::lock_guard lock(mutex_);
    values_[std::string(account)] = std::string(secret);
    return ok();
  }
  Result<void> remove(std::string_view account) override {
    if (failing_) return fail("keyring unavailable");
    std::lock_guard lock(mutex_);
    values_.erase(std::string(account));
    return ok();
  }

 private:
  bool failing_;
  std::mutex mutex_;
  std::map<std::string, std::string> values_;
};
}  // namespace

std::shared_ptr<Keychain> makeMemoryKeychain(bool failing) { return std::make_shared<MemoryKeychain>(failing); }

}  // namespace corvane::platform
