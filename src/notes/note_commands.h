#pragma once
// The ten note commands the page reads and edits notes with. Each handler
// takes validated arguments, works on the active store and the note cache,
// keeps the settings lists consistent and counts the user's writing; it
// answers JSON text, or the store's failure message unchanged.
//
// Nothing changes (cache, settings, counters) when the store call fails.
#include <cstdint>
#include <string_view>

#include "bridge/command.h"
#include "core/json.h"

namespace corvane::notes {

bridge::CommandResult listNotesCommand(const Json& args);
bridge::CommandResult getNoteBodyCommand(const Json& args);
bridge::CommandResult setNoteBodyCommand(const Json& args);
bridge::CommandResult appendNoteCommand(const Json& args);
bridge::CommandResult createNoteCommand(const Json& args);
bridge::CommandResult renameNoteCommand(const Json& args);
bridge::CommandResult deleteNoteCommand(const Json& args);
bridge::CommandResult searchNotesCommand(const Json& args);
bridge::CommandResult deepSearchNotesCommand(const Json& args);
bridge::CommandResult importFileCommand(const Json& args);

// Registers the ten commands in the notes group.
void registerNoteCommands(bridge::Router& router);
// Fills in what the settings commands need from the note cache ("list_hidden",
// "count_notes", the settings view's note names, the project note of
// "add_project", and the source switch).
void connectSettingsServices();

// Words in a text: pieces between white space, empty pieces not counted.
int64_t countWords(std::string_view text);
// An imported text file as note markup: one <div> per line, text escaped.
std::string importedBody(std::string_view text);

// Largest file "import_file" accepts, in bytes.
inline constexpr uint64_t kMaxImportBytes = 2'000'000;

}  // namespace corvane::notes
