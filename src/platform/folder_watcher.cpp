#include "platform/folder_watcher.h"

#include <mutex>

namespace corvane::platform {

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<FolderWatcher>& sharedSlot() {
  static std::shared_ptr<FolderWatcher> slot;
  return slot;
}
}  // namespace

std::shared_ptr<FolderWatcher> FolderWatcher::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = makeInotifyFolderWatcher();
  return slot;
}

void FolderWatcher::setSharedForTesting(std::shared_ptr<FolderWatcher> watcher) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(watcher);
}

}  // namespace corvane::platform
