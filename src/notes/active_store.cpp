#include "core/paths.h"
#include "notes/apple_notes_store.h"
#include "notes/file_store.h"
#include "notes/note_store.h"
#include "records/settings.h"

namespace corvane::notes {

std::filesystem::path defaultNotesFolder() { return dataDirectory() / "Notes"; }

std::shared_ptr<NoteStore> activeNoteStore(const std::string& noteSource, const std::string& obsidianVaultPath) {
  if (noteSource == "obsidian" && !obsidianVaultPath.empty()) return std::make_shared<FileStore>(obsidianVaultPath);
  // This platform has no Notes application; a stand-in that answers its
  // scripts can be configured. Without one every other source uses the
  // built-in folder, which the store creates 0700 on first use.
  if (noteSource == "applenotes")
    if (auto osascript = configuredOsascript())
      return std::make_shared<AppleNotesStore>(std::make_shared<OsascriptRunner>(*osascript));
  return std::make_shared<FileStore>(defaultNotesFolder());
}

std::shared_ptr<NoteStore> activeNoteStore() {
  records::Settings settings = records::Settings::load();
  return activeNoteStore(settings.noteSource, settings.obsidianVaultPath.value_or(""));
}

}  // namespace corvane::notes
