#include "records/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/files.h"
#include "core/paths.h"

namespace corvane::records {

namespace fs = std::filesystem;

namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0600;

// Changes the mode of the item itself, never of what a symbolic link points to.
int chmodNoFollow(const fs::path& path, mode_t mode) {
  if (::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOTSUP) return -1;
  // Without /proc the C library cannot do a no-follow chmod; check by hand.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return -1;
  return ::chmod(path.c_str(), mode);
}

}  // namespace

Result<void> ensurePrivateDirectory(const fs::path& directory) {
  if (directory.empty()) return fail(errnoMessage(ENOENT));
  fs::path target = directory.lexically_normal();
  // Find the missing tail of the path, then create it top-down at 0700 so no
  // created parent is ever wider than the folder itself.
  std::vector<fs::path> missing;
  fs::path probe = target;
  while (!probe.empty()) {
    struct stat st {};
    if (::stat(probe.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return fail(errnoMessage(ENOTDIR));
      break;
    }
    if (errno != ENOENT) return fail(errnoMessage(errno));
    missing.push_back(probe);
    fs::path parent = probe.parent_path();
    if (parent == probe) break;
    probe = parent;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (it->filename().empty()) continue;  // trailing separator
    if (::mkdir(it->c_str(), kDirMode) != 0 && errno != EEXIST) return fail(errnoMessage(errno));
  }
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return fail(errnoMessage(errno));
  if (!S_ISDIR(st.st_mode)) return fail(errnoMessage(ENOTDIR));
  if ((st.st_mode & 07777) != kDirMode && ::chmod(target.c_str(), kDirMode) != 0) return fail(errnoMessage(errno));
  return ok();
}

Result<void> writePrivateFile(std::string_view data, const fs::path& file) {
  fs::path parent = file.parent_path();
  if (!parent.empty()) CORVANE_TRY(ensurePrivateDirectory(parent));
  // The temporary file is created 0600 and renamed over the old one, so the
  // final file has that mode whatever the old one had.
  return writeFileAtomic(file, data, kFileMode);
}

Result<void> makeFilePrivate(const fs::path& file) {
  if (::chmod(file.c_str(), kFileMode) != 0) return fail(errnoMessage(errno));
  return ok();
}

bool isInsideDataDirectory(const fs::path& location) {
  if (location.empty()) return false;
  auto standardise = [](const fs::path& p) {
    std::error_code ec;
    fs::path absolute = fs::absolute(p, ec);
    if (ec) absolute = p;
    std::vector<fs::path> parts;
    for (const auto& part : absolute.lexically_normal()) {
      if (!part.empty()) parts.push_back(part);  // a trailing "/" yields an empty part
    }
    return parts;
  };
  auto base = standardise(dataDirectory());
  auto candidate = standardise(location);
  if (candidate.size() < base.size()) return false;
  for (size_t i = 0; i < base.size(); ++i) {
    if (candidate[i] != base[i]) return false;
  }
  return true;
}

void hardenDirectoryTree(const fs::path& root) {
  // The root itself may be a link (a data directory moved to another disk);
  // chmod follows it on purpose. Below the root, links are left alone.
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  ::chmod(root.c_str(), kDirMode);
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    fs::path dir = std::move(pending.back());
    pending.pop_back();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) continue;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const fs::path& path = it->path();
      struct stat entry {};
      if (::lstat(path.c_str(), &entry) != 0 || S_ISLNK(entry.st_mode)) continue;
      if (S_ISDIR(entry.st_mode)) {
        // Opened up before it is listed, so a folder left at 0000 is walked too.
        chmodNoFollow(path, kDirMode);
        pending.push_back(path);
      } else {
        chmodNoFollow(path, kFileMode);
      }
    }
  }
}

void hardenDataDirectory() { hardenDirectoryTree(dataDirectory()); }

}  // namespace corvane::records
