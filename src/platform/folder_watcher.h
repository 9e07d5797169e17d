#pragma once
// A watch on the entries of one folder: files written, created, renamed or
// deleted in it (not in sub-folders). The note cache watches the vault with it
// and refetches when anything changes.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/result.h"

namespace corvane::platform {

// A running watch. Destroying it stops the watch and closes its descriptor;
// no callback runs after the destructor returns (unless it is called from the
// callback itself, which detaches instead of waiting).
class FolderWatch {
 public:
  virtual ~FolderWatch() = default;
  // False once the watched folder itself is gone (deleted, moved away,
  // unmounted): no further events will come.
  virtual bool alive() const = 0;
};

// One batch of events read together.
struct FolderChange {
  // Names of the entries written, created, renamed (both names) or deleted, in
  // event order; duplicates possible.
  std::vector<std::string> names;
  // Events were lost (the kernel queue overflowed): anything may have changed.
  bool overflow = false;
  // The watched folder itself was deleted, moved away or unmounted; this is
  // the last batch of the watch.
  bool folderGone = false;
};

class FolderWatcher {
 public:
  virtual ~FolderWatcher() = default;
  // Starts watching `folder`. `onChange` runs on the watcher's own thread once
  // per batch of events read together (a burst may give several calls); it
  // must only hand work off. Fails when the folder cannot be opened for
  // watching (missing, not a folder, no permission).
  virtual Result<std::unique_ptr<FolderWatch>> watch(const std::filesystem::path& folder,
                                                     std::function<void(const FolderChange&)> onChange) = 0;

  // The process-wide watcher, created on first use; replaceable in tests.
  static std::shared_ptr<FolderWatcher> shared();
  static void setSharedForTesting(std::shared_ptr<FolderWatcher> watcher);
};

// The Linux watcher: inotify on the folder, one thread per watch.
std::shared_ptr<FolderWatcher> makeInotifyFolderWatcher();

}  // namespace corvane::platform
