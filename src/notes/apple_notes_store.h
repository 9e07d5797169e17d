#pragma once
// The note store over the Apple Notes application: every operation builds one
// script (apple_scripts.h), runs it through a ScriptRunner and reads the
// reply. Notes in Recently Deleted count as gone; an id Notes no longer knows
// is re-resolved by the note's title where that is unambiguous; a body save
// first makes sure no native attachment would be lost (backing attachments up
// into the media library when the user forces the save).
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "notes/attachment_backup_index.h"
#include "notes/note_store.h"
#include "notes/script_runner.h"

namespace corvane::notes {

// Messages the page shows or recognises.
inline constexpr std::string_view kNotesTimeoutMessage =
    "Apple Notes didn't respond in time \u2014 it may be syncing with iCloud. Please try again in a moment.";
inline constexpr std::string_view kAuthDeniedToken = "__notes_auth_denied__";
inline constexpr std::string_view kStaleIdToken = "__note_stale_id__";
inline constexpr std::string_view kLockedToken = "__note_locked_content__";
inline constexpr std::string_view kNonImageToken = "__note_nonimage_attachment__";
inline constexpr std::string_view kMovedOrDeletedMessage =
    "This note was moved or deleted in Apple Notes, so the save couldn't find it. Your edit is preserved \u2014 "
    "reopen the note from the tray to try again.";
inline constexpr std::string_view kUnreadableOutputMessage =
    "Apple Notes gave an answer Corvane couldn't read. Please try again.";

// What the store reaches outside Notes; the defaults use the process-wide note
// cache, settings, media library and backup index.
struct AppleNotesEnvironment {
  // The title the note cache knows for an id (name index, else cached list).
  std::function<std::optional<std::string>(const std::string& id)> titleForId;
  // After a stale id was recovered: remap pinned and hidden, refetch the grid.
  std::function<void(const std::string& oldId, const std::string& newId)> idReplaced;
  std::function<std::optional<std::string>(std::string_view bytes, std::string_view extension)> storeMedia;
  std::shared_ptr<AttachmentBackupIndex> index;
  // Warnings for the application log ("store").
  std::function<void(std::string_view message)> logWarning;

  static AppleNotesEnvironment defaults();
};

class AppleNotesStore final : public NoteStore {
 public:
  static constexpr double kScriptTimeLimit = 30;

  explicit AppleNotesStore(std::shared_ptr<ScriptRunner> runner,
                           AppleNotesEnvironment environment = AppleNotesEnvironment::defaults());

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

  // Runs one script; the exit mapping turns failures into the messages above.
  Result<std::string> runScript(const std::string& script, double timeLimit = kScriptTimeLimit);
  // The backup with the time limit a body save derives from its count.
  std::map<std::string, NativeAttachmentBackup> backupAttachments(const std::vector<std::string>& ids,
                                                                  double timeLimit);

 private:
  template <class T>
  Result<T> withRecovery(const std::string& id, const std::function<Result<T>(const std::string&)>& operation);
  Result<SetBodyOutcome> saveBody(const std::string& id, const std::string& html, bool force);
  Result<void> writeBody(const std::string& id, const std::string& html);
  void backupTable(const std::string& id, const std::string& html);
  std::string titleOrNote(const std::string& id);

  std::shared_ptr<ScriptRunner> runner_;
  AppleNotesEnvironment env_;
};

// Markup as written to Notes: every <hr…> becomes "<div>⸻</div>", then media
// references take their storage form. (Escaping happens in the script builders.)
std::string markupForNotes(std::string_view html);

}  // namespace corvane::notes
