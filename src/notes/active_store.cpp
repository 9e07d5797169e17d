#include "core/paths.h"
#include "notes/file_store.h"
#include "notes/note_store.h"
#include "records/settings.h"

namespace corvane::notes {

std::filesystem::path defaultNotesFolder() { return dataDirectory() / "Notes"; }

std::shared_ptr<NoteStore> activeNoteStore(const std::string& noteSource, const std::string& obsidianVaultPath) {
  if (noteSource == "obsidian" && !obsidianVaultPath.empty()) return std::make_shared<FileStore>(obsidianVaultPath);
  // There is no Notes application to script on this platform: every other
  // source uses the built-in folder, which the store creates 0700 on first use.
  return std::make_shared<FileStore>(defaultNotesFolder());
}

std::shared_ptr<NoteStore> activeNoteStore() {
  records::Settings settings = records::Settings::load();
  return activeNoteStore(settings.noteSource, settings.obsidianVaultPath.value_or(""));
}

}  // namespace corvane::notes
