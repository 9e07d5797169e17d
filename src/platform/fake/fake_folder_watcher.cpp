#include "platform/fake/fake_folder_watcher.h"

#include <atomic>

namespace corvane::platform {

struct FakeFolderWatcher::Entry {
  std::filesystem::path folder;
  std::function<void(const FolderChange&)> onChange;
  std::atomic<bool> alive{true};
};

class FakeWatch final : public FolderWatch {
 public:
  explicit FakeWatch(std::shared_ptr<FakeFolderWatcher::Entry> entry) : entry_(std::move(entry)) {}
  bool alive() const override { return entry_->alive.load(); }

 private:
  std::shared_ptr<FakeFolderWatcher::Entry> entry_;
};

Result<std::unique_ptr<FolderWatch>> FakeFolderWatcher::watch(const std::filesystem::path& folder,
                                                              std::function<void(const FolderChange&)> onChange) {
  std::lock_guard lock(mutex_);
  if (refused_.count(folder) != 0) return fail("cannot watch folder: No such file or directory");
  auto entry = std::make_shared<Entry>();
  entry->folder = folder;
  entry->onChange = std::move(onChange);
  entries_.push_back(entry);
  ++started_;
  return std::unique_ptr<FolderWatch>(std::make_unique<FakeWatch>(entry));
}

void FakeFolderWatcher::refuse(const std::filesystem::path& folder) {
  std::lock_guard lock(mutex_);
  refused_.insert(folder);
}

size_t FakeFolderWatcher::fire(const std::filesystem::path& folder, const FolderChange& change) {
  std::vector<std::shared_ptr<Entry>> targets;
  {
    std::lock_guard lock(mutex_);
    for (auto& weak : entries_)
      if (auto e = weak.lock(); e && e->folder == folder && e->alive.load()) targets.push_back(e);
  }
  for (auto& e : targets) {
    if (change.folderGone) e->alive.store(false);
    e->onChange(change);
  }
  return targets.size();
}

size_t FakeFolderWatcher::fire(const std::filesystem::path& folder, std::vector<std::string> names) {
  FolderChange change;
  change.names = std::move(names);
  return fire(folder, change);
}

std::vector<std::filesystem::path> FakeFolderWatcher::watchedFolders() const {
  std::lock_guard lock(mutex_);
  std::vector<std::filesystem::path> out;
  for (auto& weak : entries_)
    if (auto e = weak.lock(); e && e->alive.load()) out.push_back(e->folder);
  return out;
}

size_t FakeFolderWatcher::watchesStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

}  // namespace corvane::platform
