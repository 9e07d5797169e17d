#include "bridge/folder_access.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "core/crypto.h"

namespace corvane::bridge {

namespace {
constexpr const char* kUnavailable = "selected folder is unavailable";
constexpr const char* kExpired = "folder authorization expired";

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<FolderAccessBroker>& sharedSlot() {
  static std::shared_ptr<FolderAccessBroker> slot;
  return slot;
}
}  // namespace

Json FolderAccessBroker::Grant::toJson() const {
  Json out = Json::object();
  out["folderHandle"] = folderHandle;
  out["displayPath"] = displayPath;
  return out;
}

FolderAccessBroker::FolderAccessBroker(const Clock& clock) : clock_(clock) {}

Result<FolderAccessBroker::Grant> FolderAccessBroker::grant(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return fail(kUnavailable);
  // realpath resolves every link and "."/".." and makes the path absolute.
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return fail(kUnavailable);
  std::string real(resolved);
  std::free(resolved);
  struct stat st {};
  if (real.empty() || real.front() != '/' || ::stat(real.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return fail(kUnavailable);
  }
  Grant grant{newUuid(), real};
  MonoTime now = clock_.monotonicNow();
  std::lock_guard lock(lock_);
  std::erase_if(entries_, [&](const auto& item) { return item.second.expires <= now; });
  entries_[grant.folderHandle] = Entry{real, now + kLifetime};
  return grant;
}

Result<std::string> FolderAccessBroker::resolve(const std::string& handle) {
  MonoTime now = clock_.monotonicNow();
  std::lock_guard lock(lock_);
  auto it = entries_.find(handle);
  if (it == entries_.end()) return fail(kExpired);
  Entry entry = std::move(it->second);
  entries_.erase(it);
  if (entry.expires <= now) return fail(kExpired);
  return entry.path;
}

size_t FolderAccessBroker::entryCount() const {
  std::lock_guard lock(lock_);
  return entries_.size();
}

FolderAccessBroker& FolderAccessBroker::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<FolderAccessBroker>();
  return *slot;
}

void FolderAccessBroker::setSharedForTesting(std::shared_ptr<FolderAccessBroker> broker) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(broker);
}

}  // namespace corvane::bridge
