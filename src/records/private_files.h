#pragma once
// Private files: everything the system keeps about the user is readable by the
// user alone. Folders are 0700, files 0600; every file is written atomically.
#include <filesystem>
#include <string_view>

#include "core/result.h"

namespace corvane::records {

// Creates the folder and its missing parents with mode 0700, then sets the
// folder itself to 0700 (also when it already existed). Existing parents are
// left as they are.
Result<void> ensurePrivateDirectory(const std::filesystem::path& directory);

// ensurePrivateDirectory on the parent, then an atomic write with mode 0600.
Result<void> writePrivateFile(std::string_view data, const std::filesystem::path& file);

// Sets the file's mode to 0600.
Result<void> makeFilePrivate(const std::filesystem::path& file);

// True when the lexically normalised absolute path lies in the data directory
// (or is it). Symbolic links are not resolved.
bool isInsideDataDirectory(const std::filesystem::path& location);

// Start-up hardening: when the data directory exists, set it to 0700 and walk
// everything below it; directories become 0700, other items 0600. Symbolic
// links are neither changed nor followed. Errors are ignored.
void hardenDataDirectory();
// The same walk for any folder (tests, or a data directory elsewhere).
void hardenDirectoryTree(const std::filesystem::path& root);

}  // namespace corvane::records
