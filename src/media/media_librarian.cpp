#include "media/media_librarian.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "core/crypto.h"
#include "core/files.h"
#include "core/paths.h"
#include "records/private_files.h"

namespace corvane::media {

fs::path mediaDirectory() { return dataDirectory() / "Media"; }
fs::path mediaBaseDirectory() { return applicationSupportDirectory(); }
fs::path mediaBackupDirectory() { return mediaBaseDirectory() / "MediaBackup"; }
fs::path mediaManifestPath() { return mediaBaseDirectory() / "media-manifest.json"; }

namespace {

bool isTokenChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// Size of a regular file (symbolic links followed); nothing when unreadable.
std::optional<int64_t> sizeOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

// The digest prefix of a file's content, read in pieces; nothing when unreadable.
std::optional<std::string> fileDigestPrefix(const fs::path& file) {
  Fd f(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) return std::nullopt;
  Sha256 hash;
  std::string buffer(1 << 20, '\0');
  while (true) {
    ssize_t n = ::read(f.fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    hash.update(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
  auto digest = hash.finish();
  return toHex(digest.data(), 16);
}

// True when the file can be read and its content matches its hashed token.
bool contentMatchesToken(const fs::path& file, std::string_view token) {
  auto prefix = fileDigestPrefix(file);
  return prefix && *prefix == token.substr(0, token.find('.'));
}

// Names of the regular files in a folder (no folders, no symbolic links),
// sorted; a folder that cannot be listed counts as empty.
std::vector<std::string> listFiles(const fs::path& folder, bool includeAll = false) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!includeAll) {
      struct stat st {};
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    }
    names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// A media file that the reconcile pass looks after: a token name that is not
// hidden (hidden names are atomic writes in progress).
bool isLibraryFileName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), isTokenChar);
}

std::string upperUuid() {
  std::string id = newUuid();
  for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return id;
}

Result<void> copyContents(int in, int out) {
  std::string buffer(1 << 20, '\0');
  while (true) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errnoMessage(errno));
    }
    if (n == 0) return ok();
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n) - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return fail(errnoMessage(errno));
      }
      done += static_cast<size_t>(w);
    }
  }
}

}  // namespace

bool isMediaToken(std::string_view token) {
  if (token.empty() || token.find("..") != std::string_view::npos) return false;
  return std::all_of(token.begin(), token.end(), isTokenChar);
}

bool isHashedToken(std::string_view token) {
  std::string_view head = token.substr(0, token.find('.'));
  if (head.size() != 32) return false;
  return std::all_of(head.begin(), head.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string digestPrefix(std::string_view bytes) {
  auto digest = sha256(bytes);
  return toHex(digest.data(), 16);
}

Result<void> atomicCopy(const fs::path& source, const fs::path& destination) {
  fs::path temporary = destination.parent_path() / (destination.filename().string() + ".tmp~" + upperUuid());
  auto failWith = [&](int error) -> Result<void> {
    ::unlink(temporary.c_str());
    return fail(errnoMessage(error));
  };
  Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return fail(errnoMessage(errno));
  {
    Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0) return fail(errnoMessage(errno));
    auto copied = copyContents(in.fd, out.fd);
    if (!copied) {
      ::unlink(temporary.c_str());
      return copied;
    }
    // A backup is only worth having once it is on disk.
    if (::fchmod(out.fd, 0600) != 0 || ::fsync(out.fd) != 0) return failWith(errno);
  }
  // rename replaces an existing destination in one step, so there is never a
  // moment without either copy.
  if (::rename(temporary.c_str(), destination.c_str()) != 0) return failWith(errno);
  return ok();
}

Json healthToJson(const MediaHealth& health) {
  Json j = Json::object();
  j["restored"] = health.restored;
  j["missing"] = health.missing;
  return j;
}

std::vector<ManifestEntry> readManifest(const fs::path& file) {
  auto text = readFile(file);
  if (!text) return {};
  return decodeManifest(*text);
}

std::vector<ManifestEntry> decodeManifest(std::string_view text) {
  std::vector<ManifestEntry> entries;
  auto json = parseJson(text);
  if (!json || !json->is_array()) return entries;
  for (const auto& item : *json) {
    if (!item.is_object()) continue;
    const Json* token = member(item, "token");
    if (!token || !token->is_string()) continue;
    ManifestEntry e;
    e.token = token->get<std::string>();
    if (const Json* b = member(item, "bytes"); b && b->is_number_integer()) e.bytes = b->get<int64_t>();
    if (const Json* a = member(item, "addedAt"); a && a->is_string()) e.addedAt = a->get<std::string>();
    entries.push_back(std::move(e));
  }
  return entries;
}

Result<void> writeManifest(const fs::path& file, const std::vector<ManifestEntry>& entries) {
  Json array = Json::array();
  for (const auto& e : entries) {
    Json j = Json::object();
    j["token"] = e.token;
    j["bytes"] = e.bytes;
    j["addedAt"] = e.addedAt;
    array.push_back(std::move(j));
  }
  return records::writePrivateFile(dumpCompact(array), file);
}

// ---- MediaLibrarian

MediaLibrarian::MediaLibrarian(std::shared_ptr<TaskQueue> queue, const Clock& clock)
    : queue_(std::move(queue)), clock_(clock) {}

MediaLibrarian::~MediaLibrarian() {
  lifetime_.reset();
  queue_.reset();
}

std::string MediaLibrarian::timestamp() const {
  std::time_t t = static_cast<std::time_t>(unixMillis(clock_.now()) / 1000);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

std::optional<std::string> MediaLibrarian::storeMedia(std::string_view bytes, std::string_view extension) {
  std::string token = digestPrefix(bytes) + "." + std::string(extension);
  if (!isMediaToken(token)) return std::nullopt;
  fs::path file = mediaDirectory() / token;
  auto existing = sizeOf(file);
  if (!existing || *existing != static_cast<int64_t>(bytes.size())) {
    if (!records::writePrivateFile(bytes, file)) return std::nullopt;
  }
  backupMedia(file, token);
  return token;
}

void MediaLibrarian::backupMedia(const fs::path& file, const std::string& token) {
  fs::path backupFolder = mediaBackupDirectory();
  fs::path manifest = mediaManifestPath();
  queue_->post([this, alive = std::weak_ptr<int>(lifetime_), file, token, backupFolder, manifest] {
    if (alive.expired()) return;
    auto size = sizeOf(file);
    if (!size) return;
    fs::path backup = backupFolder / token;
    if (sizeOf(backup) != size) {
      (void)records::ensurePrivateDirectory(backupFolder);
      (void)atomicCopy(file, backup);
    }
    recordInManifest(manifest, token, *size);
  });
}

void MediaLibrarian::recordInManifest(const fs::path& manifest, const std::string& token, int64_t bytes) {
  auto entries = readManifest(manifest);
  auto it = std::find_if(entries.begin(), entries.end(), [&](const ManifestEntry& e) { return e.token == token; });
  if (it == entries.end()) {
    entries.push_back(ManifestEntry{token, bytes, timestamp()});
  } else if (it->bytes != bytes) {
    it->bytes = bytes;
  } else {
    return;
  }
  (void)writeManifest(manifest, entries);
}

void MediaLibrarian::reconcile() {
  queue_->post([this, alive = std::weak_ptr<int>(lifetime_)] {
    if (!alive.expired()) runReconcile();
  });
}

MediaHealth MediaLibrarian::health() const {
  std::lock_guard lock(healthMutex_);
  return health_;
}

void MediaLibrarian::runReconcile() {
  const fs::path mediaFolder = mediaDirectory();
  const fs::path backupFolder = mediaBackupDirectory();
  const fs::path manifestFile = mediaManifestPath();

  // 1. The manifest; the first entry of a token counts.
  auto manifest = readManifest(manifestFile);
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < manifest.size(); ++i) index.emplace(manifest[i].token, i);

  // 2. Leftovers of interrupted copies.
  for (const fs::path& folder : {mediaFolder, backupFolder}) {
    for (const auto& name : listFiles(folder, /*includeAll=*/true)) {
      if (name.find(".tmp~") == std::string::npos) continue;
      std::error_code ec;
      fs::remove_all(folder / name, ec);
    }
  }

  int64_t restored = 0;
  std::vector<std::string> missing;
  std::unordered_set<std::string> listed;

  // 3. Every media file: back it up and record it.
  for (const auto& name : listFiles(mediaFolder)) {
    if (!isLibraryFileName(name)) continue;
    fs::path file = mediaFolder / name;
    auto size = sizeOf(file);
    if (!size || *size <= 0) continue;
    listed.insert(name);
    fs::path backup = backupFolder / name;
    const bool hashed = isHashedToken(name);
    std::optional<bool> matches;  // content check, done at most once
    auto contentMatches = [&] {
      if (!matches) matches = contentMatchesToken(file, name);
      return *matches;
    };
    auto entry = index.find(name);
    auto backupSize = sizeOf(backup);
    // An older (unhashed) file can only be judged by size: when its backup
    // still has the recorded size, a media file of another size is damaged and
    // must not replace the backup or the record.
    const bool suspectUnhashed = !hashed && entry != index.end() && backupSize && *backupSize > 0 &&
                                 manifest[entry->second].bytes == *backupSize && *size != *backupSize;

    // a. Backup.
    if (backupSize != size && !suspectUnhashed) {
      if (!hashed || contentMatches()) {
        (void)records::ensurePrivateDirectory(backupFolder);
        (void)atomicCopy(file, backup);
      } else if (backupSize && contentMatchesToken(backup, name)) {
        // The media file is damaged but its backup is good: put it back.
        if (atomicCopy(backup, file)) {
          ++restored;
          size = backupSize;
          matches = true;
        }
      }
    }

    // b. Manifest.
    if (entry == index.end()) {
      manifest.push_back(ManifestEntry{name, *size, timestamp()});
      index.emplace(name, manifest.size() - 1);
    } else if (manifest[entry->second].bytes != *size && !suspectUnhashed) {
      if (!hashed || contentMatches()) manifest[entry->second].bytes = *size;
    }
  }

  // A backup without a manifest entry (the manifest was lost or unreadable)
  // would otherwise never be restored: give it an entry.
  for (const auto& name : listFiles(backupFolder)) {
    if (!isLibraryFileName(name) || listed.count(name) || index.count(name)) continue;
    if (name.find("..") != std::string::npos) continue;
    auto size = sizeOf(backupFolder / name);
    if (!size || *size <= 0) continue;
    manifest.push_back(ManifestEntry{name, *size, timestamp()});
    index.emplace(name, manifest.size() - 1);
  }

  // 4. Entries whose file is gone: restore from a good backup.
  for (size_t i = 0; i < manifest.size(); ++i) {
    ManifestEntry& e = manifest[i];
    if (index[e.token] != i || listed.count(e.token)) continue;
    if (!isMediaToken(e.token)) {
      missing.push_back(e.token);  // never a file name of ours
      continue;
    }
    fs::path backup = backupFolder / e.token;
    bool good;
    if (isHashedToken(e.token)) {
      good = contentMatchesToken(backup, e.token);
    } else {
      auto size = sizeOf(backup);
      good = size && *size >= 1 && (e.bytes <= 0 || *size == e.bytes);
    }
    bool copied = false;
    if (good) {
      (void)records::ensurePrivateDirectory(mediaFolder);
      copied = atomicCopy(backup, mediaFolder / e.token).has_value();
    }
    if (copied) {
      ++restored;
      auto size = sizeOf(mediaFolder / e.token);
      if (size && *size != e.bytes) e.bytes = *size;
    } else {
      missing.push_back(e.token);
    }
  }

  // 5. and 6.
  (void)writeManifest(manifestFile, manifest);
  std::lock_guard lock(healthMutex_);
  health_ = MediaHealth{restored, std::move(missing)};
}

// ---- shared instance

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<MediaLibrarian>& sharedSlot() {
  static std::shared_ptr<MediaLibrarian> slot;
  return slot;
}
}  // namespace

std::shared_ptr<MediaLibrarian> MediaLibrarian::shared() {
  // The media queue's thread uses the crypto library (digests, temporary
  // names). Initialised before the slot below exists, its exit-time clean-up
  // runs after the library and its thread are gone, so per-thread state is
  // released rather than leaked.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot)
    slot = std::make_shared<MediaLibrarian>(std::make_shared<SerialQueue>("com.corvane.medialibrarian"), systemClock());
  return slot;
}

void MediaLibrarian::setSharedForTesting(std::shared_ptr<MediaLibrarian> librarian) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(librarian);
}

std::optional<std::string> storeMedia(std::string_view bytes, std::string_view extension) {
  return MediaLibrarian::shared()->storeMedia(bytes, extension);
}

}  // namespace corvane::media
