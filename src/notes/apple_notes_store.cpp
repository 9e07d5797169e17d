#include "notes/apple_notes_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/crypto.h"
#include "core/files.h"
#include "core/regex.h"
#include "core/text.h"
#include "media/image_codec.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "notes/apple_scripts.h"
#include "notes/store_cache.h"
#include "records/app_log.h"
#include "records/settings.h"

namespace corvane::notes {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kAttachmentCheckMissing =
    "Apple Notes didn't answer the attachment check \u2014 nothing was changed. Please try again.";
constexpr std::string_view kLockedText = "This note has an attachment that saving would remove.";
constexpr std::string_view kBackupFailedText =
    "Couldn't back up this note's attachment(s) \u2014 nothing was changed. Please try again.";
constexpr std::string_view kNonImageText =
    "This note has an attachment Corvane can't safely preserve \u2014 remove it in Apple Notes directly, or discard "
    "your changes here.";
constexpr std::string_view kNotDownloadedText =
    "One of this note's attachments isn't downloaded to this Mac yet \u2014 open the note in Apple Notes to "
    "download it, then save again. Nothing was changed.";

std::string sentinel(std::string_view token, std::string_view text) { return std::string(token) + std::string(text); }

std::string trimOutput(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string(text);
}

std::string expandBoth(std::string_view html) {
  std::string out = media::expandPlaceholders(html, media::kPlaceholderPrefix);
  return media::expandPlaceholders(out, media::kLegacyPlaceholderPrefix);
}

bool containsIgnoreCase(std::string_view text, std::string_view needle) {
  return toLowerAscii(text).find(needle) != std::string::npos;
}

// The image type by its first bytes; nothing for anything we do not keep.
std::optional<std::string> sniffImageExtension(std::string_view head) {
  auto starts = [&](std::string_view magic) { return head.substr(0, magic.size()) == magic; };
  if (starts("\xFF\xD8\xFF")) return "jpg";
  if (starts("\x89PNG\r\n\x1A\n")) return "png";
  if (starts("GIF87a") || starts("GIF89a")) return "gif";
  if (starts("RIFF") && head.size() >= 12 && head.substr(8, 4) == "WEBP") return "webp";
  if (starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4))) return "tiff";
  if (head.size() >= 12 && head.substr(4, 4) == "ftyp") {
    std::string_view brand = head.substr(8, 4);
    for (std::string_view b : {"heic", "heix", "heim", "heis", "mif1", "msf1", "hevc"})
      if (brand == b) return "heic";
  }
  return std::nullopt;
}

enum class FileCheck { Image, Empty, NotImage, Unreadable };

// Reads a saved attachment: only a regular file directly inside `folder`
// (no link), named as the script names them; the header decides before the
// whole file is read.
FileCheck readAttachment(const fs::path& folder, const std::string& pathText, std::string& bytes,
                         std::string& extension) {
  fs::path path = fs::path(pathText).lexically_normal();
  if (path.parent_path() != folder) return FileCheck::Unreadable;
  static const Regex kName("^att_[0-9]+\\.dat$");
  if (!kName.matches(path.filename().string())) return FileCheck::Unreadable;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return FileCheck::Unreadable;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FileCheck::Unreadable;
  }
  if (st.st_size == 0) {
    ::close(fd);
    return FileCheck::Empty;
  }
  char head[16];
  ssize_t got = ::pread(fd, head, sizeof head, 0);
  auto kind = got > 0 ? sniffImageExtension(std::string_view(head, size_t(got))) : std::nullopt;
  if (!kind || size_t(st.st_size) > media::kMaxImageBytes) {
    ::close(fd);
    return got > 0 ? FileCheck::NotImage : FileCheck::Unreadable;
  }
  bytes.resize(size_t(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(done));
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(fd);
  if (done != bytes.size()) return FileCheck::Unreadable;
  if (!media::isRecognisedImage(bytes)) return FileCheck::NotImage;
  extension = *kind;
  return FileCheck::Image;
}

// Splits ids for a failed batch: the first half has count / 2 ids.
template <class Attempt>
void runBatched(const std::vector<std::string>& ids, Attempt attempt) {
  if (ids.empty()) return;
  if (attempt(ids) || ids.size() < 2) return;
  size_t half = ids.size() / 2;
  (void)attempt(std::vector<std::string>(ids.begin(), ids.begin() + long(half)));
  (void)attempt(std::vector<std::string>(ids.begin() + long(half), ids.end()));
}

}  // namespace

std::string markupForNotes(std::string_view html) {
  static const Regex kRule("<hr[^>]*>", Regex::CaseInsensitive);
  return media::collapseImages(kRule.replaceAll(html, "<div>\u2E3B</div>"));
}

AppleNotesEnvironment AppleNotesEnvironment::defaults() {
  AppleNotesEnvironment env;
  env.titleForId = [](const std::string& id) -> std::optional<std::string> {
    for (const Note& note : StoreCache::shared()->knownNotes())
      if (note.id == id) return note.name;
    return std::nullopt;
  };
  env.idReplaced = [](const std::string& oldId, const std::string& newId) {
    (void)records::Settings::update([&](records::Settings& s) {
      std::replace(s.pinned.begin(), s.pinned.end(), oldId, newId);
      std::replace(s.hidden.begin(), s.hidden.end(), oldId, newId);
    });
    StoreCache::shared()->invalidate();
  };
  env.storeMedia = [](std::string_view bytes, std::string_view extension) {
    return media::storeMedia(bytes, extension);
  };
  env.index = AttachmentBackupIndex::shared();
  env.logWarning = [](std::string_view message) { records::appLog(records::LogLevel::Warn, "store", message); };
  return env;
}

AppleNotesStore::AppleNotesStore(std::shared_ptr<ScriptRunner> runner, AppleNotesEnvironment environment)
    : runner_(std::move(runner)), env_(std::move(environment)) {}

Result<std::string> AppleNotesStore::runScript(const std::string& script, double timeLimit) {
  ScriptOutcome outcome = runner_->run(script, timeLimit);
  if (outcome.status == 0) {
    if (!outcome.outputIsUtf8) {
      if (env_.logWarning) env_.logWarning("osascript answered with text that is not UTF-8");
      return fail(std::string(kUnreadableOutputMessage));
    }
    std::string out = std::move(outcome.output);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string error = trimOutput(outcome.error);
  std::string fallback = "osascript exit " + std::to_string(outcome.status);
  if (env_.logWarning) env_.logWarning(error.empty() ? fallback : error);
  if (outcome.status == 124) return fail(std::string(kNotesTimeoutMessage));
  if (scripts::isAutomationDenied(error)) return fail(std::string(kAuthDeniedToken));
  if (error.find("(-1728)") != std::string::npos) return fail(std::string(kStaleIdToken));
  // A crash prints nothing; an empty message would show the user nothing.
  return fail(error.empty() ? fallback : error);
}

Result<std::vector<Note>> AppleNotesStore::listNotes(int64_t limit) {
  CORVANE_TRY_ASSIGN(out, runScript(scripts::listNotes(limit)));
  return scripts::parseNoteRecords(out);
}

Result<std::string> AppleNotesStore::body(const std::string& id) {
  CORVANE_TRY_ASSIGN(out, runScript(scripts::body(id)));
  return expandBoth(out);
}

Result<std::string> AppleNotesStore::plainText(const std::string& id) {
  CORVANE_TRY_ASSIGN(out, runScript(scripts::plainText(id)));
  return media::stripPlaceholders(out);
}

std::vector<std::pair<std::string, std::string>> AppleNotesStore::plainTexts(const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, std::string>> result;
  runBatched(ids, [&](const std::vector<std::string>& batch) {
    auto out = runScript(scripts::plainTexts(batch));
    if (!out) return false;
    auto pieces = scripts::splitPieces(*out, batch.size());
    if (!pieces) {
      if (env_.logWarning) env_.logWarning("plain texts: " + pieces.error());
      return false;
    }
    for (size_t i = 0; i < batch.size(); ++i) result.emplace_back(batch[i], media::stripPlaceholders((*pieces)[i]));
    return true;
  });
  return result;
}

std::map<std::string, std::string> AppleNotesStore::bodies(const std::vector<std::string>& ids) {
  std::map<std::string, std::string> result;
  runBatched(ids, [&](const std::vector<std::string>& batch) {
    auto out = runScript(scripts::bodies(batch));
    if (!out) return false;
    auto pieces = scripts::splitPieces(*out, batch.size());
    if (!pieces) {
      if (env_.logWarning) env_.logWarning("bodies: " + pieces.error());
      return false;
    }
    for (auto& [id, html] : scripts::parseBodies(batch, *pieces)) result[id] = expandBoth(html);
    return true;
  });
  return result;
}

std::map<std::string, int64_t> AppleNotesStore::attachmentCounts(const std::vector<std::string>& ids) {
  if (ids.empty()) return {};
  auto out = runScript(scripts::attachmentCounts(ids));
  if (!out) return {};
  return scripts::parseCounts(ids, *out);
}

std::map<std::string, NativeAttachmentBackup> AppleNotesStore::backupAttachments(const std::vector<std::string>& ids) {
  return backupAttachments(ids, 60);
}

std::map<std::string, NativeAttachmentBackup> AppleNotesStore::backupAttachments(const std::vector<std::string>& ids,
                                                                                 double timeLimit) {
  std::map<std::string, NativeAttachmentBackup> result;
  if (ids.empty()) return result;
  auto everyIdFailed = [&] {
    for (const auto& id : ids) result[id] = NativeAttachmentBackup{{}, false, 1, false};
    return result;
  };
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) return everyIdFailed();
  fs::path folder = (fs::weakly_canonical(base, ec) / ("CorvaneAttachmentBackup-" + newUuid())).lexically_normal();
  if (ec || ::mkdir(folder.c_str(), 0700) != 0) return everyIdFailed();
  struct Cleanup {
    fs::path folder;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  } cleanup{folder};

  auto out = runScript(scripts::backupAttachments(folder.string(), ids), timeLimit);
  if (!out) return everyIdFailed();
  auto records = scripts::parseBackupRecords(*out, ids.size(), folder.string());
  if (!records) {
    if (env_.logWarning) env_.logWarning("attachment backup: " + records.error());
    return everyIdFailed();
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    const scripts::BackupRecord& record = (*records)[i];
    NativeAttachmentBackup backup;
    backup.failedCount = record.failCount;
    // A note Notes could not open cannot be vouched for.
    if (!record.noteOk) backup.failedCount = std::max<int64_t>(backup.failedCount, 1);
    for (const std::string& path : record.paths) {
      std::string bytes, extension;
      switch (readAttachment(folder, path, bytes, extension)) {
        case FileCheck::Empty: backup.hadEmptyExport = true; break;
        case FileCheck::NotImage: backup.blockedByNonImage = true; break;
        case FileCheck::Unreadable:
          if (env_.logWarning) env_.logWarning("attachment backup: unusable path from Notes");
          backup.failedCount += 1;
          break;
        case FileCheck::Image: {
          auto token = env_.storeMedia ? env_.storeMedia(bytes, extension) : std::nullopt;
          if (!token) {
            backup.failedCount += 1;
            break;
          }
          backup.savedTokens.push_back(*token);
          if (env_.index)
            env_.index->record(*token, titleOrNote(ids[i]) + " \u2014 attachment backup",
                               AttachmentBackupIndex::Source::Attachment);
          break;
        }
      }
    }
    result[ids[i]] = std::move(backup);
  }
  // The index knows every rescued attachment before a save may drop it.
  if (env_.index) env_.index->flush();
  return result;
}

template <class T>
Result<T> AppleNotesStore::withRecovery(const std::string& id,
                                        const std::function<Result<T>(const std::string&)>& operation) {
  Result<T> first = operation(id);
  if (first || first.error() != kStaleIdToken) return first;
  std::optional<std::string> title = env_.titleForId ? env_.titleForId(id) : std::nullopt;
  if (!title) return fail(std::string(kMovedOrDeletedMessage));
  auto found = runScript(scripts::lookupTitle(*title));
  if (!found) return fail(std::string(kMovedOrDeletedMessage));
  std::string newId = trimOutput(*found);
  if (newId.empty() || newId == id) return fail(std::string(kMovedOrDeletedMessage));
  Result<T> again = operation(newId);
  if (!again) {
    if (again.error() == kStaleIdToken) return fail(std::string(kMovedOrDeletedMessage));
    return again;
  }
  if (env_.idReplaced) env_.idReplaced(id, newId);
  return again;
}

Result<void> AppleNotesStore::appendHTML(const std::string& id, const std::string& html) {
  std::string prepared = markupForNotes(html);
  return withRecovery<void>(id, [&](const std::string& target) -> Result<void> {
    CORVANE_TRY(runScript(scripts::appendHTML(target, prepared)));
    return ok();
  });
}

Result<void> AppleNotesStore::writeBody(const std::string& id, const std::string& html) {
  CORVANE_TRY(runScript(scripts::setBody(id, markupForNotes(html))));
  return ok();
}

Result<SetBodyOutcome> AppleNotesStore::setBody(const std::string& id, const std::string& html, bool force) {
  // Recovery re-runs the whole save, attachment checks included, under the new id.
  return withRecovery<SetBodyOutcome>(id, [&](const std::string& target) { return saveBody(target, html, force); });
}

Result<SetBodyOutcome> AppleNotesStore::saveBody(const std::string& id, const std::string& html, bool force) {
  SetBodyOutcome outcome;
  if (!force) {
    CORVANE_TRY_ASSIGN(current, body(id));
    if (current.find("<object") != std::string::npos || current.find("<embed") != std::string::npos)
      return fail(sentinel(kLockedToken, kLockedText));
    auto counts = attachmentCounts({id});
    auto it = counts.find(id);
    if (it == counts.end()) return fail(std::string(kAttachmentCheckMissing));
    if (it->second == -2) return fail(std::string(kStaleIdToken));
    if (it->second != 0) return fail(sentinel(kLockedToken, kLockedText));
  } else {
    auto counts = attachmentCounts({id});
    auto it = counts.find(id);
    // An unknown count (no answer, or -1) is not a count of zero: back up first.
    int64_t count = it == counts.end() ? -1 : it->second;
    if (count == -2) return fail(std::string(kStaleIdToken));
    if (count != 0) {
      double limit = count >= 1 ? std::clamp(20.0 * double(count), 60.0, 150.0) : 60.0;
      auto backups = backupAttachments({id}, limit);
      auto found = backups.find(id);
      if (found == backups.end() || found->second.failedCount > 0)
        return fail(sentinel(kLockedToken, kBackupFailedText));
      if (found->second.blockedByNonImage) return fail(sentinel(kNonImageToken, kNonImageText));
      if (found->second.hadEmptyExport) return fail(sentinel(kLockedToken, kNotDownloadedText));
      outcome.nativeAttachmentsBackedUp = int64_t(found->second.savedTokens.size());
    }
  }
  CORVANE_TRY(writeBody(id, html));
  backupTable(id, html);
  return outcome;
}

void AppleNotesStore::backupTable(const std::string& id, const std::string& html) {
  if (!env_.index || !containsIgnoreCase(html, "<table")) return;
  std::string label = titleOrNote(id) + " \u2014 table backup";
  auto index = env_.index;
  auto store = env_.storeMedia;
  index->post([index, store, label = std::move(label), html] {
    auto token = store ? store(html, "html") : std::nullopt;
    if (token) index->record(*token, label, AttachmentBackupIndex::Source::Table);
  });
}

std::string AppleNotesStore::titleOrNote(const std::string& id) {
  if (env_.titleForId)
    if (auto title = env_.titleForId(id)) return *title;
  return "note";
}

Result<std::string> AppleNotesStore::createNote(const std::string& name, const std::string& html) {
  // The title is text: "R&D <draft>" must stay that title, not become markup.
  std::string body = markupForNotes("<div>" + escapeHtmlText(name) + "</div>" + html);
  CORVANE_TRY_ASSIGN(out, runScript(scripts::createNote(body)));
  std::string id = trimOutput(out);
  if (id.empty() || id.find(scripts::kRS) != std::string::npos || id.find(scripts::kUS) != std::string::npos)
    return fail("Apple Notes didn't report the new note. Please check Apple Notes before trying again.");
  return id;
}

Result<void> AppleNotesStore::renameNote(const std::string& id, const std::string& name) {
  return withRecovery<void>(id, [&](const std::string& target) -> Result<void> {
    CORVANE_TRY(runScript(scripts::renameNote(target, name)));
    return ok();
  });
}

Result<void> AppleNotesStore::deleteNote(const std::string& id) {
  // No recovery by title here: "the one note with that title" may be another note.
  CORVANE_TRY(runScript(scripts::deleteNote(id)));
  return ok();
}

Result<std::vector<Note>> AppleNotesStore::searchNames(const std::string& query) {
  CORVANE_TRY_ASSIGN(out, runScript(scripts::searchNames(query)));
  return scripts::parseNoteRecords(out);
}

Result<std::vector<Note>> AppleNotesStore::searchNotes(const std::string& query) {
  CORVANE_TRY_ASSIGN(out, runScript(scripts::searchNotes(query)));
  return scripts::parseNoteRecords(out);
}

Result<std::vector<Note>> AppleNotesStore::findNotes(const std::vector<std::string>& ids,
                                                     const std::vector<std::string>& names) {
  if (ids.empty() && names.empty()) return std::vector<Note>{};
  CORVANE_TRY_ASSIGN(out, runScript(scripts::findNotes(ids, names)));
  return scripts::parseNoteRecords(out);
}

}  // namespace corvane::notes
