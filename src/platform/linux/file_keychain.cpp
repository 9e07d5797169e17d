// The keychain of last resort: a private file. Used when no keyring service
// answers (a bare session, a server, CI).
#include <sys/stat.h>

#include <mutex>

#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "platform/keychain.h"

namespace corvane::platform {
namespace {

class FileKeychain final : public Keychain {
 public:
  explicit FileKeychain(std::filesystem::path file) : file_(std::move(file)) {}

  Result<std::optional<std::string>> read(std::string_view account) override {
    std::lock_guard lock(mutex_);
    CORVANE_TRY_ASSIGN(all, load());
    auto it = all.find(std::string(account));
    if (it == all.end() || !it->is_string()) return std::optional<std::string>();
    return std::optional<std::string>(it->get<std::string>());
  }

  Result<void> write(std::string_view account, std::string_view secret) override {
    std::lock_guard lock(mutex_);
    CORVANE_TRY_ASSIGN(all, load());
    all[std::string(account)] = std::string(secret);
    return save(all);
  }

  Result<void> remove(std::string_view account) override {
    std::lock_guard lock(mutex_);
    CORVANE_TRY_ASSIGN(all, load());
    if (all.erase(std::string(account)) == 0) return ok();
    return save(all);
  }

 private:
  // Re-read every time: another process of the same user may have signed in.
  Result<Json> load() const {
    if (!fileExists(file_)) return Json::object();
    // Tighten a file that something loosened before trusting it again.
    ::chmod(file_.c_str(), 0600);
    auto text = readFileLimited(file_, 1 << 20);
    if (!text) return fail("The credentials file could not be read: " + text.error());
    auto parsed = parseJson(*text);
    if (!parsed || !parsed->is_object()) return Json::object();  // a torn file holds nothing usable
    return std::move(*parsed);
  }
  Result<void> save(const Json& all) const {
    CORVANE_TRY(ensureDirectory(file_.parent_path(), 0700));
    return writeFileAtomic(file_, dumpCompact(all), 0600);
  }

  std::filesystem::path file_;
  std::mutex mutex_;
};

}  // namespace

std::filesystem::path defaultKeychainFile() { return configDirectory() / "credentials.json"; }

std::shared_ptr<Keychain> makeFileKeychain(std::filesystem::path file) {
  return std::make_shared<FileKeychain>(std::move(file));
}

}  // namespace corvane::platform
