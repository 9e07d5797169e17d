#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/crypto.h"

namespace corvane {

std::string errnoMessage(int error) {
  char buffer[256];
  // GNU strerror_r returns the message pointer.
  return std::string(strerror_r(error, buffer, sizeof buffer));
}

namespace {
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

Result<void> writeAll(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errnoMessage(errno));
    }
    done += static_cast<size_t>(n);
  }
  return ok();
}

// Reads an open file; with `regularOnly`, anything but a regular file is
// refused and the descriptor (opened non-blocking) is made blocking first.
Result<std::string> readOpened(int fd, size_t maxBytes, bool regularOnly) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(errnoMessage(errno));
  if (S_ISDIR(st.st_mode)) return fail(errnoMessage(EISDIR));
  if (regularOnly && !S_ISREG(st.st_mode)) return fail("not a regular file");
  if (regularOnly) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  std::string out;
  if (S_ISREG(st.st_mode)) {
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return fail("file too large");
    out.reserve(static_cast<size_t>(st.st_size));
  }
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errnoMessage(errno));
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > maxBytes) return fail("file too large");
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

Result<std::string> readFileLimited(const fs::path& path, size_t maxBytes) {
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) return fail(errnoMessage(errno));
  return readOpened(f.fd, maxBytes, false);
}

Result<std::string> readRegularFile(const fs::path& path, size_t maxBytes, bool followLinks) {
  // Non-blocking open: a FIFO must not hang the reader before it is refused.
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW)));
  if (f.fd < 0) return fail(errno == ELOOP ? std::string("not a regular file") : errnoMessage(errno));
  return readOpened(f.fd, maxBytes, true);
}

Result<std::string> readFile(const fs::path& path) { return readFileLimited(path, SIZE_MAX); }

namespace {
Result<void> writeThroughTemp(const fs::path& path, const fs::path& temp, std::string_view data, mode_t mode,
                              int extraFlags, const BeforeRename& beforeRename = {}, bool* renamed = nullptr) {
  if (renamed) *renamed = false;
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  {
    Fd f(::open(temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | extraFlags, mode));
    if (f.fd < 0) return fail(errnoMessage(errno));
    // The umask may have narrowed the mode; set it exactly.
    if (::fchmod(f.fd, mode) != 0) {
      int e = errno;
      ::unlink(temp.c_str());
      return fail(errnoMessage(e));
    }
    auto written = writeAll(f.fd, data);
    if (!written) {
      ::unlink(temp.c_str());
      return fail(written.error());
    }
    if (::fsync(f.fd) != 0) {
      int e = errno;
      ::unlink(temp.c_str());
      return fail(errnoMessage(e));
    }
    if (beforeRename && !beforeRename(f.fd)) {
      ::unlink(temp.c_str());
      return ok();
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::unlink(temp.c_str());
    return fail(errnoMessage(e));
  }
  if (renamed) *renamed = true;
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.fd >= 0) ::fsync(d.fd);
  return ok();
}
}  // namespace

Result<bool> writeFileAtomicChecked(const fs::path& path, std::string_view data, mode_t mode,
                                    const BeforeRename& beforeRename) {
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  fs::path temp = dir / ("." + path.filename().string() + "." + randomHex(6) + ".tmp");
  bool renamed = false;
  CORVANE_TRY(writeThroughTemp(path, temp, data, mode, O_EXCL, beforeRename, &renamed));
  return renamed;
}

Result<void> writeFileAtomic(const fs::path& path, std::string_view data, mode_t mode) {
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  fs::path temp = dir / ("." + path.filename().string() + "." + randomHex(6) + ".tmp");
  return writeThroughTemp(path, temp, data, mode, O_EXCL);
}

Result<bool> createFileAtomic(const fs::path& path, std::string_view data, mode_t mode) {
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  fs::path temp = dir / ("." + path.filename().string() + "." + randomHex(6) + ".tmp");
  {
    Fd f(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (f.fd < 0) return fail(errnoMessage(errno));
    Result<void> written = ::fchmod(f.fd, mode) == 0 ? writeAll(f.fd, data) : fail(errnoMessage(errno));
    if (written && ::fsync(f.fd) != 0) written = fail(errnoMessage(errno));
    if (!written) {
      ::unlink(temp.c_str());
      return fail(written.error());
    }
  }
  // link() never replaces an existing name, so the file appears whole or not at all.
  if (::link(temp.c_str(), path.c_str()) == 0) {
    ::unlink(temp.c_str());
  } else if (errno == EEXIST) {
    ::unlink(temp.c_str());
    return false;
  } else if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOSYS) {
    // No hard links here (some FUSE and FAT folders): claim the name, then
    // replace the empty claim.
    int claim = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (claim < 0) {
      int e = errno;
      ::unlink(temp.c_str());
      if (e == EEXIST) return false;
      return fail(errnoMessage(e));
    }
    ::close(claim);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
      int e = errno;
      ::unlink(temp.c_str());
      ::unlink(path.c_str());
      return fail(errnoMessage(e));
    }
  } else {
    int e = errno;
    ::unlink(temp.c_str());
    return fail(errnoMessage(e));
  }
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.fd >= 0) ::fsync(d.fd);
  return true;
}

Result<void> writeFileAtomicVia(const fs::path& path, const fs::path& temp, std::string_view data, mode_t mode) {
  // A temporary left by a crash is simply overwritten.
  return writeThroughTemp(path, temp, data, mode, O_TRUNC);
}

Result<void> appendToFile(const fs::path& path, std::string_view data, mode_t mode) {
  Fd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
  if (f.fd < 0) return fail(errnoMessage(errno));
  return writeAll(f.fd, data);
}

Result<void> ensureDirectory(const fs::path& path, mode_t mode) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return ok();
  fs::path parent = path.parent_path();
  if (!parent.empty() && parent != path && !fs::exists(parent, ec)) {
    fs::create_directories(parent, ec);
    if (ec) return fail(ec.message());
  }
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return fail(errnoMessage(errno));
  if (!fs::is_directory(path, ec)) return fail(errnoMessage(ENOTDIR));
  ::chmod(path.c_str(), mode);
  return ok();
}

bool fileExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

}  // namespace corvane
