#pragma once
// The interface every note store implements, and the choice of the active one.
// Operations are listed in their fixed order; fallible ones return Result with
// the exact message the command layer passes on. Nothing throws.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/result.h"
#include "notes/note.h"

namespace corvane::notes {

class NoteStore {
 public:
  virtual ~NoteStore() = default;

  // 1. Up to `limit` notes (0 or less: all), most recently changed first;
  // each carries id, name and age (the folder store also fills preview).
  virtual Result<std::vector<Note>> listNotes(int64_t limit) = 0;
  // 2. The stored body (HTML for Apple Notes, the file text for a folder).
  virtual Result<std::string> body(const std::string& id) = 0;
  // 3. The note's plain text.
  virtual Result<std::string> plainText(const std::string& id) = 0;
  // 4. Best effort, never fails: (id, text) for the notes that could be read.
  virtual std::vector<std::pair<std::string, std::string>> plainTexts(const std::vector<std::string>& ids) = 0;
  // 5. Best effort, never fails: id -> body for the notes that could be read.
  virtual std::map<std::string, std::string> bodies(const std::vector<std::string>& ids) = 0;
  // 6. Native attachment count per note (0 for every id in the folder store).
  virtual std::map<std::string, int64_t> attachmentCounts(const std::vector<std::string>& ids) = 0;
  // 7. Copies each note's native attachments to the media store (the folder
  // store answers an empty map).
  virtual std::map<std::string, NativeAttachmentBackup> backupAttachments(const std::vector<std::string>& ids) = 0;
  // 8. Adds the markup at the end of the body.
  virtual Result<void> appendHTML(const std::string& id, const std::string& html) = 0;
  // 9. Replaces the body; `force` lets a save go ahead although native
  // attachments would be lost (ignored by the folder store).
  virtual Result<SetBodyOutcome> setBody(const std::string& id, const std::string& html, bool force) = 0;
  // 10. Creates a note titled `name` whose body continues with `html`; the new id.
  virtual Result<std::string> createNote(const std::string& name, const std::string& html) = 0;
  // 11. New title; the id stays the same.
  virtual Result<void> renameNote(const std::string& id, const std::string& name) = 0;
  // 12. Removes the note.
  virtual Result<void> deleteNote(const std::string& id) = 0;
  // 13. Notes whose title contains the query, case-insensitively.
  virtual Result<std::vector<Note>> searchNames(const std::string& query) = 0;
  // 14. Notes whose title or text contains the query, case-insensitively.
  virtual Result<std::vector<Note>> searchNotes(const std::string& query) = 0;
  // 15. Notes with one of the ids, plus notes whose title equals one of the names.
  virtual Result<std::vector<Note>> findNotes(const std::vector<std::string>& ids,
                                              const std::vector<std::string>& names) = 0;
};

// The folder that holds the built-in notes: "Notes" inside the data directory.
std::filesystem::path defaultNotesFolder();

// Chooses the store for one job from the given source and vault path: a
// folder store on the vault when the source is "obsidian" and the vault path
// is non-empty; the Apple Notes store when the source is "applenotes" and an
// osascript stand-in is configured (configuredOsascript); otherwise the
// built-in folder store on defaultNotesFolder() (created 0700), as this
// platform has no Notes application of its own.
std::shared_ptr<NoteStore> activeNoteStore(const std::string& noteSource,
                                           const std::string& obsidianVaultPath);
// Same, reading the note source and vault path from the current settings.
// Called afresh for every job, so a change of source needs no restart.
std::shared_ptr<NoteStore> activeNoteStore();

}  // namespace corvane::notes
