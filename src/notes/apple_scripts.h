#pragma once
// The AppleScript the Apple Notes store sends, and the readers of what those
// scripts print. Builders are pure: every inserted text is escaped for a
// double-quoted AppleScript string; the text and indentation of each script
// are fixed because the Notes side (and the simulator) matches them exactly.
// Replies are framed by RS (ASCII 30) between records and US (ASCII 31)
// between fields.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.h"
#include "notes/note.h"

namespace corvane::notes::scripts {

inline constexpr char kRS = '\x1e';
inline constexpr char kUS = '\x1f';

// "\" -> "\\", then "\"" -> "\\\"". NUL characters are dropped: a script is
// passed as one process argument, where NUL would cut it short.
std::string escape(std::string_view text);
// {"a", "b"} with each id escaped; "{}" for none.
std::string quotedList(const std::vector<std::string>& values);

// Script L; with limit >= 1 the cap line follows the count.
std::string listNotes(int64_t limit);
std::string body(std::string_view id);
std::string plainText(std::string_view id);
std::string plainTexts(const std::vector<std::string>& ids);  // Script P
std::string bodies(const std::vector<std::string>& ids);      // Script B
std::string attachmentCounts(const std::vector<std::string>& ids);  // Script C
// `html` is the markup already prepared for Notes; it is escaped here.
std::string appendHTML(std::string_view id, std::string_view html);
std::string setBody(std::string_view id, std::string_view html);
std::string createNote(std::string_view body);
std::string renameNote(std::string_view id, std::string_view name);
std::string deleteNote(std::string_view id);
std::string searchNames(std::string_view query);  // Script N
std::string searchNotes(std::string_view query);  // Script S
std::string findNotes(const std::vector<std::string>& ids, const std::vector<std::string>& names);  // Script F
// The single id of the one live note with this title, or "".
std::string lookupTitle(std::string_view title);
// Saves every attachment of each note into `folder` as att_N.dat.
std::string backupAttachments(std::string_view folder, const std::vector<std::string>& ids);

// Seconds as AppleScript prints a number ("1712345678", "1.712345678E+9",
// "-3600.5", a comma as decimal mark in some locales), read without the
// process locale. Nothing when the text is not such a number.
std::optional<double> parseSeconds(std::string_view text);

// Note records (id, name, seconds). A reply that is not empty must end with
// RS. A name holding US keeps it (the first and last fields are the id and the
// seconds); a name holding RS splits its record, and the pieces are joined
// again until a record has both separators. Fails when the reply is not in
// this framing at all.
Result<std::vector<Note>> parseNoteRecords(std::string_view output);

// Pieces of a reply split at RS, with the piece after the last RS dropped.
// Fails unless the reply has exactly `expected` pieces (a text that holds RS
// shifts every later piece, so a count that differs means nothing can be
// trusted) — except for a single expected piece, which is the whole reply
// before its final RS.
Result<std::vector<std::string>> splitPieces(std::string_view output, size_t expected);

// Script B pieces: "1" US body, or "0" US.
std::map<std::string, std::string> parseBodies(const std::vector<std::string>& ids,
                                               const std::vector<std::string>& pieces);
// Script C: counts per id; pieces that are not integers leave the id out.
std::map<std::string, int64_t> parseCounts(const std::vector<std::string>& ids, std::string_view output);

// One backup record: noteOk, saved paths, fail count.
struct BackupRecord {
  bool noteOk = false;
  std::vector<std::string> paths;
  int64_t failCount = 0;
};
// Paths are split at "," only where the next path starts with `folder` + "/",
// so a temporary folder whose path holds a comma still reads back.
Result<std::vector<BackupRecord>> parseBackupRecords(std::string_view output, size_t expected,
                                                     std::string_view folder);

// Whether a script's error output says the user refused automation of Notes.
bool isAutomationDenied(std::string_view message);

}  // namespace corvane::notes::scripts
