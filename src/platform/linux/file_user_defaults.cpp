#include <mutex>

#include "core/files.h"
#include "core/paths.h"
#include "platform/user_defaults.h"

namespace corvane::platform {

namespace {
class FileUserDefaults final : public UserDefaults {
 public:
  std::optional<Json> get(std::string_view key) const override {
    std::lock_guard lock(mutex_);
    Json all = load();
    if (auto* v = member(all, key)) return *v;
    return std::nullopt;
  }
  Result<void> set(std::string_view key, Json value) override {
    std::lock_guard lock(mutex_);
    Json all = load();
    all[std::string(key)] = std::move(value);
    return save(all);
  }
  Result<void> remove(std::string_view key) override {
    std::lock_guard lock(mutex_);
    Json all = load();
    all.erase(std::string(key));
    return save(all);
  }

 private:
  // Read on every access: the file is tiny and another process may change it.
  static Json load() {
    auto text = readFileLimited(configDirectory() / "defaults.json", 1 << 20);
    if (!text) return Json::object();
    auto parsed = parseJson(*text);
    return (parsed && parsed->is_object()) ? *parsed : Json::object();
  }
  static Result<void> save(const Json& all) {
    CORVANE_TRY(ensureDirectory(configDirectory(), 0700));
    return writeFileAtomic(configDirectory() / "defaults.json", dumpPretty(all) + "\n", 0600);
  }
  mutable std::mutex mutex_;
};
}  // namespace

std::shared_ptr<UserDefaults> makeFileUserDefaults() { return std::make_shared<FileUserDefaults>(); }

}  // namespace corvane::platform
