#pragma once
// What the settings commands need from subsystems that sit above this one
// (the note cache, the AI providers, system integration). Each subsystem fills
// in its own members at start-up with updateSettingsServices; a member left
// empty makes the commands behave as if that subsystem knew nothing:
//
// | member                | filled by            | used by                                  | when empty |
// |-----------------------|----------------------|------------------------------------------|------------|
// | noteNames             | note cache           | "get_settings" noteNames (first 40)      | []         |
// | hiddenNotes           | note cache           | "list_hidden"                            | fails "notes are not available" |
// | visibleCount          | note cache           | "count_notes"                            | fails "notes are not available" |
// | hasNoteNamed          | note cache           | "add_project" (create the project note?) | no note is created |
// | createNote            | note store           | "add_project" (empty note titled title)  | no note is created |
// | noteCreated           | note cache           | "add_project" (put it at the front)      | skipped    |
// | noteSourceChanged     | note cache           | "set_note_source" (invalidate + watch)   | skipped    |
// | locateAIExecutable    | AI providers         | "get_settings" aiExecutablePath          | absent     |
// | aiAvailable           | AI providers         | "get_settings" aiAvailable               | true (not yet determined) |
// | launchAtLogin         | system integration   | "get_settings" launchAtLogin             | false      |
// | revealInFileViewer    | system integration   | "open_export_backup_folder" (main thread)| nothing happens |
//
//   records::updateSettingsServices([&](records::SettingsServices& s) {
//     s.noteNames = [](size_t limit) { return StoreCache::shared().names(limit); };
//   });
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/result.h"

namespace corvane::records {

struct SettingsServices {
  // Note cache and store.
  // Names of the first `limit` notes of the cache, in grid order.
  std::function<std::vector<std::string>(size_t limit)> noteNames;
  // The hidden notes as the JSON array the page lists ("list_hidden").
  std::function<Result<Json>()> hiddenNotes;
  // Number of known notes that are not hidden ("count_notes").
  std::function<Result<int64_t>()> visibleCount;
  // Whether the cache holds a note whose name equals `name` exactly.
  std::function<bool(const std::string& name)> hasNoteNamed;
  // Creates a note titled `name` with an empty body in the active store; its id.
  std::function<Result<std::string>(const std::string& name)> createNote;
  // Puts a newly created note at the front of the cache (and publishes the grid).
  std::function<void(const std::string& id, const std::string& name)> noteCreated;
  // The note source changed: drop the cache's contents and watch the new source.
  std::function<void()> noteSourceChanged;

  // AI providers.
  // The located, trusted executable of a provider; nullopt when none is found.
  std::function<std::optional<std::string>(const std::string& provider)> locateAIExecutable;
  // Whether any provider is installed; nullopt while the check has not finished.
  std::function<std::optional<bool>()> aiAvailable;

  // System integration.
  std::function<bool()> launchAtLogin;
  // Shows the folder in the file viewer; called on the main thread.
  std::function<void(const std::filesystem::path& folder)> revealInFileViewer;
};

// A copy of the installed services (safe from any thread).
SettingsServices settingsServices();
// Changes some members, leaving the others as they are.
void updateSettingsServices(const std::function<void(SettingsServices&)>& edit);
// Replaces everything (tests reset with installSettingsServices({})).
void installSettingsServices(SettingsServices services);

}  // namespace corvane::records
