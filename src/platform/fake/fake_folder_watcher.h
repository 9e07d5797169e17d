#pragma once
// A folder watcher for tests: nothing watches the disk; the test fires the
// changes itself, on its own thread.
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

#include "platform/folder_watcher.h"

namespace corvane::platform {

class FakeFolderWatcher final : public FolderWatcher {
 public:
  Result<std::unique_ptr<FolderWatch>> watch(const std::filesystem::path& folder,
                                             std::function<void(const FolderChange&)> onChange) override;

  // Folders whose watch fails, as a missing or unreadable folder would.
  void refuse(const std::filesystem::path& folder);
  // Delivers a change to every live watch on `folder`; returns how many got it.
  size_t fire(const std::filesystem::path& folder, const FolderChange& change);
  size_t fire(const std::filesystem::path& folder, std::vector<std::string> names);
  // Folders currently watched (one entry per live watch).
  std::vector<std::filesystem::path> watchedFolders() const;
  // How many watches were started in total (including stopped ones).
  size_t watchesStarted() const;

 private:
  struct Entry;
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<Entry>> entries_;
  std::set<std::filesystem::path> refused_;
  size_t started_ = 0;
  friend class FakeWatch;
};

}  // namespace corvane::platform
