#include <sys/stat.h>

#include <cerrno>
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
  // A file that cannot be decoded is moved aside before the next write could
  // replace it, and reported.
  static Json load() {
    const fs::path file = configDirectory() / "defaults.json";
    auto text = readFileLimited(file, 1 << 20);
    if (!text && text.error() != "file too large") return Json::object();
    if (text) {
      auto parsed = parseJson(*text);
      if (parsed && parsed->is_object()) return std::move(*parsed);
    }
    fs::path aside = file;
    aside += ".corrupt";
    const bool moved = ::rename(file.c_str(), aside.c_str()) == 0;
    if (moved) ::chmod(aside.c_str(), 0600);
    reportDamagedUserDefaults(moved ? "defaults.json could not be decoded; kept as defaults.json.corrupt"
                                    : "defaults.json could not be decoded nor moved aside: " + errnoMessage(errno));
    return Json::object();
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
