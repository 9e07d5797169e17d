#include "platform/fake/memory_user_defaults.h"

#include <map>
#include <mutex>

namespace corvane::platform {

namespace {
class MemoryUserDefaults final : public UserDefaults {
 public:
  std::optional<Json> get(std::string_view key) const override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(std::string(key));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  Result<void> set(std::string_view key, Json value) override {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = std::move(value);
    return ok();
  }
  Result<void> remove(std::string_view key) override {
    std::lock_guard lock(mutex_);
    values_.erase(std::string(key));
    return ok();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Json> values_;
};
}  // namespace

std::shared_ptr<UserDefaults> makeMemoryUserDefaults() { return std::make_shared<MemoryUserDefaults>(); }

}  // namespace corvane::platform
