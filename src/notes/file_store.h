#pragma once
// The folder note store: one UTF-8 file "<id>.md" per note directly in one
// folder (an Obsidian vault, or the built-in "Notes" folder of the data
// directory). The first non-empty line is the title; bodies written through
// the tray are note-body markup. The store keeps nothing but its root: every
// operation goes to the file system, every write is atomic and private (0600).
//
// Ids are the file name stems real folders use: 1–128 bytes of valid UTF-8,
// not starting with "." (so never "." or ".."), without "/", "\\" or control
// characters; and the file "<id>.md" with links resolved must lie directly in
// the resolved root. Anything else is refused with "invalid note id" before a
// file is touched.
//
// The name of a note is its first non-empty line, past a byte-order mark and
// a leading YAML front matter block, without a Markdown heading's "#" marks.
//
// Writers: every change of an existing file is a locked read-modify-write
// (flock on the file read, identity re-checked before the atomic rename), so
// two processes, or an editor saving meanwhile, never undo each other.
//
// New ids come from the title: letters outside ASCII are first transliterated
// to ASCII with ICU ("Any-Latin; Latin-ASCII": "Café olé" → "cafe-ole",
// "日本語メモ" → "ri-ben-yu-memo"); every character that is then not an ASCII
// letter or digit becomes "-", hyphens at the ends are trimmed, the result is
// lower-cased and cut to 60 characters ("note" when nothing is left). The id
// is fixed when the note is created, so later renames never move the file.
#include <filesystem>
#include <string>
#include <string_view>

#include "notes/note_store.h"

namespace corvane::notes {

class FileStore final : public NoteStore {
 public:
  explicit FileStore(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  Result<std::vector<Note>> listNotes(int64_t limit) override;
  Result<std::string> body(const std::string& id) override;
  Result<std::string> plainText(const std::string& id) override;
  std::vector<std::pair<std::string, std::string>> plainTexts(const std::vector<std::string>& ids) override;
  std::map<std::string, std::string> bodies(const std::vector<std::string>& ids) override;
  std::map<std::string, int64_t> attachmentCounts(const std::vector<std::string>& ids) override;
  std::map<std::string, NativeAttachmentBackup> backupAttachments(const std::vector<std::string>& ids) override;
  Result<void> appendHTML(const std::string& id, const std::string& html) override;
  Result<SetBodyOutcome> setBody(const std::string& id, const std::string& html, bool force) override;
  Result<std::string> createNote(const std::string& name, const std::string& html) override;
  Result<void> renameNote(const std::string& id, const std::string& name) override;
  Result<void> deleteNote(const std::string& id) override;
  Result<std::vector<Note>> searchNames(const std::string& query) override;
  Result<std::vector<Note>> searchNotes(const std::string& query) override;
  Result<std::vector<Note>> findNotes(const std::vector<std::string>& ids,
                                      const std::vector<std::string>& names) override;

  // The id rule: the note's file (links resolved), or "invalid note id".
  Result<std::filesystem::path> noteFile(const std::string& id) const;

  // Files larger than this are listed from their first part only.
  static constexpr size_t kListingReadLimit = 16u << 20;
  // Bodies larger than this are refused ("file too large").
  static constexpr size_t kBodyReadLimit = 64u << 20;

 private:
  Result<void> ensureFolder() const;
  Result<std::string> readNote(const std::filesystem::path& file) const;

  std::filesystem::path root_;
};

constexpr size_t kMaxNoteIdBytes = 128;

// The textual part of the id rule.
bool isWellFormedNoteId(std::string_view id);

// The new file text after renaming a note to `newName`: front matter and a
// heading's marks are kept.
std::string renamedText(std::string_view text, std::string_view newName);

// True when the note file at `file` (links resolved) is exactly what this
// process last wrote there, or is gone after this process deleted it; the
// vault watch uses it to tell the system's own writes from everybody else's.
bool isOwnNoteWrite(const std::filesystem::path& file);

// The id a new note called `name` starts from, before "-2", "-3", … are tried.
std::string noteIdStem(std::string_view name);

// The file text after giving the note the title `newName`, where `oldTitle`
// is its current title (first non-empty line of its plain text).
std::string replaceTitle(std::string_view text, std::string_view oldTitle, std::string_view newName);

}  // namespace corvane::notes
