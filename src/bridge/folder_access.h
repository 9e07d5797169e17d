#pragma once
// Folder grants. The page never hands the native side a folder path it
// trusts: the native side shows the folder panel itself and gives the page an
// opaque handle (a lower-case random UUID) that a later command trades back for
// the path. A handle lives 600 seconds and can be resolved once.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/json.h"
#include "core/result.h"

namespace corvane::bridge {

class FolderAccessBroker {
 public:
  struct Grant {
    std::string folderHandle;
    std::string displayPath;
    // {"folderHandle": …, "displayPath": …}, the reply of "choose_folder".
    Json toJson() const;
  };

  static constexpr auto kLifetime = std::chrono::seconds(600);

  explicit FolderAccessBroker(const Clock& clock = systemClock());

  // Grants a folder the native side chose itself. Symbolic links are resolved;
  // the real path must be an existing directory, else "selected folder is unavailable".
  // Expired grants are dropped here.
  Result<Grant> grant(const std::string& path);
  // Consumes the handle: an unknown, used or expired one fails with
  // "folder authorization expired".
  Result<std::string> resolve(const std::string& handle);

  // Number of stored grants, expired ones included (for tests).
  size_t entryCount() const;

  // The process-wide broker, created on first use; replaceable in tests.
  static FolderAccessBroker& shared();
  static void setSharedForTesting(std::shared_ptr<FolderAccessBroker> broker);

 private:
  struct Entry {
    std::string path;
    MonoTime expires;
  };
  const Clock& clock_;
  mutable std::mutex lock_;
  std::map<std::string, Entry> entries_;
};

}  // namespace corvane::bridge
