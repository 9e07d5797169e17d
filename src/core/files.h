#pragma once
// File helpers. Every file the system persists goes through writeFileAtomic:
// a temporary file in the same folder, fsync, rename, fsync of the folder, so a
// crash leaves either the old or the new content, never a torn file.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace corvane {

namespace fs = std::filesystem;

// The error text of errno, as the user sees it ("No such file or directory").
std::string errnoMessage(int error);

Result<std::string> readFile(const fs::path& path);
// Reads at most maxBytes; fails with "file too large" beyond.
Result<std::string> readFileLimited(const fs::path& path, size_t maxBytes);

// Reads at most maxBytes of a regular file; anything else (FIFO, device,
// socket, folder, and without `followLinks` a symbolic link) fails with "not
// a regular file" without blocking.
Result<std::string> readRegularFile(const fs::path& path, size_t maxBytes, bool followLinks);

// Writes data atomically with the given permission bits (applied to the
// temporary file before it is renamed into place).
Result<void> writeFileAtomic(const fs::path& path, std::string_view data, mode_t mode = 0600);

// Like writeFileAtomic, with a last look before the rename: `beforeRename`
// gets the written temporary's descriptor and returns false to give up (the
// temporary is removed, the file left as it is). True when the file was
// replaced.
using BeforeRename = std::function<bool(int tempFd)>;
Result<bool> writeFileAtomicChecked(const fs::path& path, std::string_view data, mode_t mode,
                                    const BeforeRename& beforeRename);

// The same through a temporary file of a fixed name (in the same folder), for
// files whose single writer is known; a failed write removes the temporary
// and leaves the former content in place.
Result<void> writeFileAtomicVia(const fs::path& path, const fs::path& temp, std::string_view data,
                                mode_t mode = 0600);

// Creates a file that must not exist yet, atomically: it appears with all of
// `data` or not at all (a crash never leaves it empty). False when the name
// is taken.
Result<bool> createFileAtomic(const fs::path& path, std::string_view data, mode_t mode = 0600);

// Appends to a file, creating it with `mode`; not atomic, for logs only.
Result<void> appendToFile(const fs::path& path, std::string_view data, mode_t mode = 0600);

// Creates the folder and missing parents; the last component gets `mode`.
Result<void> ensureDirectory(const fs::path& path, mode_t mode = 0700);

bool fileExists(const fs::path& path);

}  // namespace corvane
