#include "notes/attachment_backup_index.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <mutex>

#include "core/crypto.h"
#include "core/files.h"
#include "media/media_librarian.h"
#include "records/private_files.h"

namespace corvane::notes {

namespace fs = std::filesystem;

namespace {

std::string isoTimestamp(WallTime time) {
  std::time_t t = static_cast<std::time_t>(unixMillis(time) / 1000);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

struct Signature {
  off_t size = -1;
  int64_t mtimeNs = 0;
  ino_t inode = 0;
  bool operator==(const Signature&) const = default;
};

std::optional<Signature> signatureOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return Signature{st.st_size, int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec, st.st_ino};
}

std::optional<AttachmentBackupIndex::Source> sourceFromName(std::string_view name) {
  if (name == "export") return AttachmentBackupIndex::Source::Export;
  if (name == "attachment") return AttachmentBackupIndex::Source::Attachment;
  if (name == "table") return AttachmentBackupIndex::Source::Table;
  return std::nullopt;
}

// The array text with one more element, keeping the text before it as it is.
void appendElement(std::string& arrayText, std::string_view element) {
  while (!arrayText.empty() && std::isspace(static_cast<unsigned char>(arrayText.back()))) arrayText.pop_back();
  arrayText.pop_back();  // the closing bracket
  while (!arrayText.empty() && std::isspace(static_cast<unsigned char>(arrayText.back()))) arrayText.pop_back();
  if (arrayText.back() != '[') arrayText += ',';
  arrayText += element;
  arrayText += ']';
}

// The readable main file becomes the ".bak" copy without copying its bytes:
// a hard link renamed over the old copy, while the main file stays in place
// until the new text replaces it atomically. Where links are not possible the
// text is written out instead.
void keepAsBackup(const fs::path& file, const fs::path& backup, const std::string& text) {
  fs::path link = backup;
  link += ".tmp~" + newUuid();
  if (::link(file.c_str(), link.c_str()) == 0) {
    if (::rename(link.c_str(), backup.c_str()) == 0) return;
    ::unlink(link.c_str());
  }
  (void)records::writePrivateFile(text, backup);
}

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<AttachmentBackupIndex>& sharedSlot() {
  static std::shared_ptr<AttachmentBackupIndex> slot;
  return slot;
}

}  // namespace

struct AttachmentBackupIndex::Cached {
  std::string text;
  Signature signature;
};

std::string_view sourceName(AttachmentBackupIndex::Source source) {
  switch (source) {
    case AttachmentBackupIndex::Source::Export: return "export";
    case AttachmentBackupIndex::Source::Attachment: return "attachment";
    case AttachmentBackupIndex::Source::Table: return "table";
  }
  return "attachment";
}

Json entryToJson(const AttachmentBackupIndex::Entry& entry) {
  Json json = Json::object();
  json["token"] = entry.token;
  json["label"] = entry.label;
  json["source"] = std::string(sourceName(entry.source));
  json["backedUpAt"] = entry.backedUpAt;
  return json;
}

std::optional<std::vector<AttachmentBackupIndex::Entry>> decodeBackupIndex(std::string_view text) {
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_array()) return std::nullopt;
  std::vector<AttachmentBackupIndex::Entry> entries;
  for (const Json& item : *parsed) {
    if (!item.is_object()) continue;
    auto token = item.find("token");
    auto label = item.find("label");
    auto source = item.find("source");
    auto at = item.find("backedUpAt");
    if (token == item.end() || !token->is_string() || source == item.end() || !source->is_string()) continue;
    auto kind = sourceFromName(source->get<std::string>());
    if (!kind) continue;
    AttachmentBackupIndex::Entry entry;
    entry.token = token->get<std::string>();
    if (label != item.end() && label->is_string()) entry.label = label->get<std::string>();
    entry.source = *kind;
    if (at != item.end() && at->is_string()) entry.backedUpAt = at->get<std::string>();
    entries.push_back(std::move(entry));
  }
  return entries;
}

AttachmentBackupIndex::AttachmentBackupIndex(fs::path file, std::shared_ptr<TaskQueue> queue, const Clock& clock)
    : file_(std::move(file)), queue_(std::move(queue)), clock_(clock) {}

AttachmentBackupIndex::~AttachmentBackupIndex() = default;

fs::path AttachmentBackupIndex::defaultFile() {
  return media::mediaBaseDirectory() / "attachment-backup-index.json";
}

// Table backups are queued without waiting; a short-lived process (the
// command-line front end) would drop them when its queues stop at exit. The
// hook writes what is queued first; what those tasks use is created before
// the hook is registered, so it is still there when the hook runs.
static void ensureExitFlush() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)systemClock();
    (void)newUuid();  // the crypto library registers its own exit cleanup
    (void)media::digestPrefix("");
    (void)media::MediaLibrarian::shared();
    (void)sharedMutex();
    (void)sharedSlot();
    std::atexit([] {
      std::shared_ptr<AttachmentBackupIndex> index;
      {
        std::lock_guard lock(sharedMutex());
        index = sharedSlot();
      }
      if (index) index->flush();
    });
  });
}

std::shared_ptr<AttachmentBackupIndex> AttachmentBackupIndex::shared() {
  ensureExitFlush();
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot)
    slot = std::make_shared<AttachmentBackupIndex>(defaultFile(), std::make_shared<SerialQueue>("com.corvane.attachments"),
                                                   systemClock());
  return slot;
}

void AttachmentBackupIndex::setSharedForTesting(std::shared_ptr<AttachmentBackupIndex> index) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(index);
}

void AttachmentBackupIndex::record(std::string token, std::string label, Source source) {
  Entry entry{std::move(token), std::move(label), source, isoTimestamp(clock_.now())};
  queue_->post([this, entry = std::move(entry)] { append(entry); });
}

void AttachmentBackupIndex::post(std::function<void()> task) { queue_->post(std::move(task)); }

void AttachmentBackupIndex::flush() {
  queue_->runSync([] {});
}

std::vector<AttachmentBackupIndex::Entry> AttachmentBackupIndex::entries() {
  std::vector<Entry> out;
  queue_->runSync([&] {
    if (auto text = loadText())
      if (auto decoded = decodeBackupIndex(*text)) out = std::move(*decoded);
  });
  return out;
}

// The readable index text: the main file, else its ".bak" copy. The text last
// written is kept, so a large index is not parsed again while the file is ours.
std::optional<std::string> AttachmentBackupIndex::loadText() {
  auto signature = signatureOf(file_);
  if (cached_ && signature && *signature == cached_->signature) return cached_->text;
  if (auto text = readFile(file_); text && decodeBackupIndex(*text)) {
    if (signature) cached_ = std::make_unique<Cached>(Cached{*text, *signature});
    return *text;
  }
  fs::path backup = file_;
  backup += ".bak";
  if (auto text = readFile(backup); text && decodeBackupIndex(*text)) return *text;
  return std::nullopt;
}

void AttachmentBackupIndex::append(const Entry& entry) {
  auto signature = signatureOf(file_);
  bool mainReadable = false;
  std::string text;
  if (cached_ && signature && *signature == cached_->signature) {
    mainReadable = true;
    text = std::move(cached_->text);
  } else if (auto read = readFile(file_); read && decodeBackupIndex(*read)) {
    mainReadable = true;
    text = std::move(*read);
  } else {
    text = loadText().value_or("[]");
  }
  cached_.reset();
  fs::path backup = file_;
  backup += ".bak";
  if (mainReadable) keepAsBackup(file_, backup, text);
  appendElement(text, dumpCompact(entryToJson(entry)));
  if (!records::writePrivateFile(text, file_)) return;
  if (auto written = signatureOf(file_)) cached_ = std::make_unique<Cached>(Cached{std::move(text), *written});
}

}  // namespace corvane::notes
