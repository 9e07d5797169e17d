#pragma once
// The media library: images and other files kept by content in the private
// media folder, named by their media token, with a second copy of each in the
// backup folder and a manifest of what has been stored. A reconcile pass at
// start-up backs up new files, repairs the manifest and restores files that
// have gone missing from the media folder.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/json.h"
#include "core/queue.h"
#include "core/result.h"

namespace corvane::media {

namespace fs = std::filesystem;

// dataDirectory()/"Media": one file per token; "thumb" holds thumbnails.
fs::path mediaDirectory();
// applicationSupportDirectory(): the manifest, the backup folder and the
// attachment backup index.
fs::path mediaBaseDirectory();
fs::path mediaBackupDirectory();  // base/"MediaBackup"
fs::path mediaManifestPath();     // base/"media-manifest.json"

// A media token: [A-Za-z0-9._-]+, never containing "..".
bool isMediaToken(std::string_view token);
// A token whose text before its first "." is 32 lowercase hex digits; its
// file's bytes can be checked against it.
bool isHashedToken(std::string_view token);
// The 32 hex digits of the first 16 bytes of the SHA-256 digest.
std::string digestPrefix(std::string_view bytes);

// Copies through a temporary "<name>.tmp~<UUID>" beside the destination, made
// 0600 and renamed into place; the temporary is removed on failure.
Result<void> atomicCopy(const fs::path& source, const fs::path& destination);

struct ManifestEntry {
  std::string token;
  int64_t bytes = 0;
  std::string addedAt;  // ISO 8601 UTC, "2025-03-01T09:30:12Z"; never changes

  bool operator==(const ManifestEntry&) const = default;
};

struct MediaHealth {
  int64_t restored = 0;
  std::vector<std::string> missing;

  bool operator==(const MediaHealth&) const = default;
};

Json healthToJson(const MediaHealth& health);

// A missing or unreadable manifest reads as empty; entries that are not
// objects with a string token are skipped.
std::vector<ManifestEntry> readManifest(const fs::path& file);
// The same over the file's text.
std::vector<ManifestEntry> decodeManifest(std::string_view text);
Result<void> writeManifest(const fs::path& file, const std::vector<ManifestEntry>& entries);

class MediaLibrarian {
 public:
  // `queue` is the media queue: backups, manifest updates and reconcile run
  // there, one at a time.
  MediaLibrarian(std::shared_ptr<TaskQueue> queue, const Clock& clock);
  // Stops the queue first when the library owns it alone, so no queued task
  // outlives the state it works on.
  ~MediaLibrarian();
  MediaLibrarian(const MediaLibrarian&) = delete;
  MediaLibrarian& operator=(const MediaLibrarian&) = delete;

  // Stores bytes under H + "." + extension (runs on the caller's thread);
  // identical content is written once. Nothing when the write fails or the
  // extension would not make a valid token.
  std::optional<std::string> storeMedia(std::string_view bytes, std::string_view extension);
  // Queues a backup copy of one media file and its manifest record.
  void backupMedia(const fs::path& file, const std::string& token);
  // Queues the start-up pass.
  void reconcile();
  // The result of the last finished reconcile.
  MediaHealth health() const;

  TaskQueue& queue() { return *queue_; }

  // The process-wide library on its own serial queue; replaceable in tests.
  static std::shared_ptr<MediaLibrarian> shared();
  static void setSharedForTesting(std::shared_ptr<MediaLibrarian> librarian);

 private:
  void recordInManifest(const fs::path& manifest, const std::string& token, int64_t bytes);
  void runReconcile();
  std::string timestamp() const;

  std::shared_ptr<TaskQueue> queue_;
  const Clock& clock_;
  // Queued work checks this first, so a task left on a shared queue after the
  // library is gone does nothing.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
  mutable std::mutex healthMutex_;
  MediaHealth health_;
};

// Shorthand for MediaLibrarian::shared()->storeMedia(...).
std::optional<std::string> storeMedia(std::string_view bytes, std::string_view extension);

}  // namespace corvane::media
