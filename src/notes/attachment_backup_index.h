#pragma once
// The record of every item rescued into the media library so the user can find
// it again: native attachments and tables of Apple Notes bodies, and copies of
// exported documents. "attachment-backup-index.json" (a JSON array) in the
// media base folder; before each rewrite the previous readable file is kept as
// "attachment-backup-index.json.bak", and reading falls back to it when the
// main file cannot be decoded. All access runs on one serial queue.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/json.h"
#include "core/queue.h"

namespace corvane::notes {

class AttachmentBackupIndex {
 public:
  enum class Source { Export, Attachment, Table };
  struct Entry {
    std::string token;
    std::string label;
    Source source = Source::Attachment;
    std::string backedUpAt;  // "2025-03-01T09:30:12Z"
    bool operator==(const Entry&) const = default;
  };

  AttachmentBackupIndex(std::filesystem::path file, std::shared_ptr<TaskQueue> queue, const Clock& clock);
  ~AttachmentBackupIndex();

  // Queues one appended entry; write failures are ignored.
  void record(std::string token, std::string label, Source source);
  // Queues a task on the index's queue (the table backup runs there too).
  void post(std::function<void()> task);
  // The entries as stored now (waits for queued work).
  std::vector<Entry> entries();
  // Waits until every queued record has been written.
  void flush();

  const std::filesystem::path& file() const { return file_; }

  // The process-wide index in the media base folder; replaceable in tests.
  static std::shared_ptr<AttachmentBackupIndex> shared();
  static void setSharedForTesting(std::shared_ptr<AttachmentBackupIndex> index);
  static std::filesystem::path defaultFile();

 private:
  struct Cached;
  void append(const Entry& entry);
  std::optional<std::string> loadText();

  std::filesystem::path file_;
  std::shared_ptr<TaskQueue> queue_;
  const Clock& clock_;
  std::unique_ptr<Cached> cached_;  // touched only on queue_
};

std::string_view sourceName(AttachmentBackupIndex::Source source);
Json entryToJson(const AttachmentBackupIndex::Entry& entry);
// Nothing when the text is not a JSON array; elements that are not entries are skipped.
std::optional<std::vector<AttachmentBackupIndex::Entry>> decodeBackupIndex(std::string_view text);

}  // namespace corvane::notes
