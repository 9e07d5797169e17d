#include "core/paths.h"
#include "notes/note_store.h"

namespace corvane::notes {

std::filesystem::path defaultNotesFolder() { return dataDirectory() / "Notes"; }

std::shared_ptr<NoteStore> activeNoteStore(const std::string& noteSource,
                                           const std::string& obsidianVaultPath) {
  (void)noteSource;
  (void)obsidianVaultPath;
  return nullptr;  // filled in with the folder store
}

std::shared_ptr<NoteStore> activeNoteStore() { return activeNoteStore("", ""); }

}  // namespace corvane::notes
