#include "notes/apple_scripts.h"

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>

#include "core/text.h"

namespace corvane::notes::scripts {

namespace {

std::string lines(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) {
    if (!out.empty()) out += '\n';
    out += part;
  }
  return out;
}

std::string quotedText(std::string_view text) { return "\"" + escape(text) + "\""; }

constexpr std::string_view kFraming = "set US to (ASCII character 31)\nset RS to (ASCII character 30)";
constexpr std::string_view kDeletedIds =
    "    set delIds to {}\n"
    "    try\n"
    "        set delIds to id of notes of folder \"Recently Deleted\"\n"
    "    end try";
constexpr std::string_view kEpoch =
    "    set epoch to current date\n"
    "    set time of epoch to 0\n"
    "    set day of epoch to 1\n"
    "    set month of epoch to January\n"
    "    set year of epoch to 1970";
constexpr std::string_view kRecordOut =
    "set out to out & (id of t as string) & US & (name of t as string) & US & ((modification date of t) - epoch) & RS";

// Scripts N and S differ in the hit line and the cap; both leave out notes in
// Recently Deleted, so a title search never resolves into the trash.
std::string searchScript(const std::string& hitLine, int cap) {
  std::string capText = std::to_string(cap);
  return lines({kFraming, "tell application \"Notes\"", kDeletedIds, hitLine, kEpoch,
                "    set n to count of hits", "    if n > " + capText + " then set n to " + capText,
                "    set out to \"\"", "    repeat with i from 1 to n", "        set t to item i of hits",
                "        if delIds does not contain (id of t as string) then",
                "            " + std::string(kRecordOut), "        end if", "    end repeat", "    return out",
                "end tell"});
}

std::string_view trimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (true) {
    size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

size_t countOf(std::string_view text, char c) {
  size_t n = 0;
  for (char x : text) n += x == c;
  return n;
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\0') continue;
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else out += c;
  }
  return out;
}

std::string quotedList(const std::vector<std::string>& values) {
  std::string out = "{";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += quotedText(values[i]);
  }
  out += "}";
  return out;
}

std::string listNotes(int64_t limit) {
  std::string capLine;
  if (limit >= 1) capLine = "\n    if n > " + std::to_string(limit) + " then set n to " + std::to_string(limit);
  return lines({kFraming, "tell application \"Notes\"", kDeletedIds, "    set theIds to id of notes",
                "    set theNames to name of notes", "    set theDates to modification date of notes", kEpoch,
                "    set n to count of theIds" + capLine, "    set out to \"\"", "    repeat with i from 1 to n",
                "        if delIds does not contain (item i of theIds) then",
                "            set secs to ((item i of theDates) - epoch)",
                "            set out to out & (item i of theIds) & US & (item i of theNames) & US & secs & RS",
                "        end if", "    end repeat", "    return out", "end tell"});
}

std::string body(std::string_view id) { return "tell application \"Notes\" to get body of note id " + quotedText(id); }

std::string plainText(std::string_view id) {
  return "tell application \"Notes\" to get plaintext of note id " + quotedText(id);
}

std::string plainTexts(const std::vector<std::string>& ids) {
  return lines({"set RS to (ASCII character 30)", "tell application \"Notes\"", "    set ids to " + quotedList(ids),
                "    set out to \"\"", "    repeat with anId in ids", "        set p to \"\"", "        try",
                "            set p to plaintext of note id (anId as string)", "        end try",
                "        set out to out & p & RS", "    end repeat", "    return out", "end tell"});
}

std::string bodies(const std::vector<std::string>& ids) {
  return lines({"set RS to (ASCII character 30)", "set US to (ASCII character 31)", "tell application \"Notes\"",
                "    set ids to " + quotedList(ids), "    set out to \"\"", "    repeat with anId in ids",
                "        set b to \"\"", "        set ok to \"0\"", "        try",
                "            set b to body of note id (anId as string)", "            set ok to \"1\"",
                "        end try", "        set out to out & ok & US & b & RS", "    end repeat", "    return out",
                "end tell"});
}

std::string attachmentCounts(const std::vector<std::string>& ids) {
  return lines({"set RS to (ASCII character 30)", "tell application \"Notes\"", "    set ids to " + quotedList(ids),
                "    set out to \"\"", "    repeat with anId in ids", "        set c to \"-1\"", "        try",
                "            set c to (count of attachments of note id (anId as string)) as string",
                "        on error number errNum", "            if errNum is -1728 then set c to \"-2\"",
                "        end try", "        set out to out & c & RS", "    end repeat", "    return out",
                "end tell"});
}

std::string appendHTML(std::string_view id, std::string_view html) {
  return lines({"tell application \"Notes\"", "    set theNote to note id " + quotedText(id),
                "    set body of theNote to ((body of theNote) & " + quotedText(html) + ")", "end tell"});
}

std::string setBody(std::string_view id, std::string_view html) {
  return lines({"tell application \"Notes\"", "    set body of note id " + quotedText(id) + " to " + quotedText(html),
                "end tell"});
}

std::string createNote(std::string_view body) {
  return lines({"tell application \"Notes\"",
                "    set theNote to make new note with properties {body:" + quotedText(body) + "}",
                "    return id of theNote as string", "end tell"});
}

std::string renameNote(std::string_view id, std::string_view name) {
  return "tell application \"Notes\" to set name of note id " + quotedText(id) + " to " + quotedText(name);
}

std::string deleteNote(std::string_view id) { return "tell application \"Notes\" to delete note id " + quotedText(id); }

std::string searchNames(std::string_view query) {
  return searchScript("    set hits to notes of default account whose name contains " + quotedText(query), 20);
}

std::string searchNotes(std::string_view query) {
  return searchScript(
      "    set hits to notes whose (name contains " + quotedText(query) + " or plaintext contains " + quotedText(query) + ")",
      200);
}

std::string findNotes(const std::vector<std::string>& ids, const std::vector<std::string>& names) {
  return lines({kFraming, "set wantIds to " + quotedList(ids), "set wantNames to " + quotedList(names),
                "tell application \"Notes\"", kDeletedIds, kEpoch, "    set out to \"\"",
                "    repeat with wantedId in wantIds", "        try",
                "            set t to note id (wantedId as string)",
                "            if delIds does not contain (id of t as string) then",
                "                " + std::string(kRecordOut), "            end if", "        end try", "    end repeat",
                "    repeat with wantedName in wantNames",
                "        set hits to notes whose name is (wantedName as string)", "        repeat with t in hits",
                "            if delIds does not contain (id of t as string) then",
                "                " + std::string(kRecordOut), "            end if", "        end repeat",
                "    end repeat", "    return out", "end tell"});
}

std::string lookupTitle(std::string_view title) {
  return lines({"tell application \"Notes\"", kDeletedIds, "    set hits to {}",
                "    repeat with t in (notes whose name is " + quotedText(title) + ")",
                "        if delIds does not contain (id of t as string) then set end of hits to (id of t as string)",
                "    end repeat", "    if (count of hits) is not 1 then return \"\"", "    return item 1 of hits",
                "end tell"});
}

std::string backupAttachments(std::string_view folder, const std::vector<std::string>& ids) {
  return lines({"set RS to (ASCII character 30)", "set US to (ASCII character 31)",
                "set tmpBase to " + quotedText(folder), "set fileCounter to 0", "tell application \"Notes\"",
                "    set ids to " + quotedList(ids), "    set out to \"\"", "    repeat with anId in ids",
                "        set noteOk to \"0\"", "        set savedPaths to {}", "        set failCount to 0",
                "        try", "            set theNote to note id (anId as string)", "            set noteOk to \"1\"",
                "            set atts to attachments of theNote", "            repeat with a in atts",
                "                set fileCounter to fileCounter + 1",
                "                set outPath to tmpBase & \"/att_\" & fileCounter & \".dat\"", "                try",
                "                    save a in (POSIX file outPath)",
                "                    set end of savedPaths to outPath", "                on error",
                "                    set failCount to failCount + 1", "                end try",
                "            end repeat", "        end try", "        set pathsJoined to \"\"",
                "        repeat with p in savedPaths",
                "            if pathsJoined is not \"\" then set pathsJoined to pathsJoined & \",\"",
                "            set pathsJoined to pathsJoined & p", "        end repeat",
                "        set out to out & noteOk & US & pathsJoined & US & failCount & RS", "    end repeat",
                "    return out", "end tell"});
}

std::optional<double> parseSeconds(std::string_view text) {
  text = trimSpaces(text);
  if (text.empty()) return std::nullopt;
  // A comma is the decimal mark in some locales; copy only then.
  std::string normalized;
  if (text.find(',') != std::string_view::npos) {
    normalized.assign(text);
    for (char& c : normalized)
      if (c == ',') c = '.';
    text = normalized;
  }
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (*begin == '+') ++begin;
  double value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

Result<std::vector<Note>> parseNoteRecords(std::string_view output) {
  std::vector<Note> notes;
  if (output.empty()) return notes;
  if (output.back() != kRS) return fail("Apple Notes gave an answer Corvane couldn't read. Please try again.");
  output.remove_suffix(1);
  notes.reserve(countOf(output, kRS) + 1);
  std::string joined;  // a record whose name held RS, put back together
  bool pending = false;
  size_t start = 0;
  while (start <= output.size()) {
    size_t end = output.find(kRS, start);
    if (end == std::string_view::npos) end = output.size();
    std::string_view piece = output.substr(start, end - start);
    start = end + 1;
    std::string_view record = piece;
    if (pending) {
      joined += kRS;
      joined += piece;
      record = joined;
    }
    // Every record the scripts print has two US; fewer means a name held RS.
    if (countOf(record, kUS) < 2) {
      if (!pending) joined.assign(piece);
      pending = true;
      continue;
    }
    pending = false;
    size_t firstUS = record.find(kUS);
    size_t lastUS = record.rfind(kUS);
    if (firstUS == 0) continue;
    Note& note = notes.emplace_back();
    note.id = record.substr(0, firstUS);
    note.name = record.substr(firstUS + 1, lastUS - firstUS - 1);
    if (auto seconds = parseSeconds(record.substr(lastUS + 1))) {
      double truncated = std::trunc(*seconds);
      if (std::fabs(truncated) < 9.2e18) note.age = -static_cast<int64_t>(truncated);
    }
  }
  if (pending) return fail("Apple Notes gave an answer Corvane couldn't read. Please try again.");
  return notes;
}

Result<std::vector<std::string>> splitPieces(std::string_view output, size_t expected) {
  if (expected == 0) return std::vector<std::string>{};
  if (output.empty() || output.back() != kRS) return fail("reply is not in record framing");
  output.remove_suffix(1);
  if (expected == 1) return std::vector<std::string>{std::string(output)};
  std::vector<std::string_view> pieces = split(output, kRS);
  if (pieces.size() != expected)
    return fail("reply has " + std::to_string(pieces.size()) + " records for " + std::to_string(expected) + " ids");
  return std::vector<std::string>(pieces.begin(), pieces.end());
}

std::map<std::string, std::string> parseBodies(const std::vector<std::string>& ids,
                                               const std::vector<std::string>& pieces) {
  std::map<std::string, std::string> out;
  for (size_t i = 0; i < ids.size() && i < pieces.size(); ++i) {
    std::string_view piece = pieces[i];
    if (piece.size() >= 2 && piece[0] == '1' && piece[1] == kUS) out[ids[i]] = std::string(piece.substr(2));
  }
  return out;
}

std::map<std::string, int64_t> parseCounts(const std::vector<std::string>& ids, std::string_view output) {
  std::map<std::string, int64_t> out;
  auto pieces = splitPieces(output, ids.size());
  if (!pieces) return out;
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string_view text = trimSpaces((*pieces)[i]);
    int64_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < -2) continue;
    out[ids[i]] = value;
  }
  return out;
}

Result<std::vector<BackupRecord>> parseBackupRecords(std::string_view output, size_t expected,
                                                     std::string_view folder) {
  if (expected == 0) return std::vector<BackupRecord>{};
  if (output.empty() || output.back() != kRS) return fail("reply is not in record framing");
  output.remove_suffix(1);
  std::vector<std::string_view> pieces = split(output, kRS);
  if (pieces.size() != expected) return fail("reply does not match the ids");
  std::vector<BackupRecord> records;
  for (std::string_view piece : pieces) {
    std::vector<std::string_view> fields = split(piece, kUS);
    if (fields.size() != 3) return fail("backup record is malformed");
    BackupRecord record;
    record.noteOk = fields[0] == "1";
    std::string_view joined = fields[1];
    std::string boundary = "," + std::string(folder) + "/";
    while (!joined.empty()) {
      size_t at = joined.find(boundary);
      record.paths.emplace_back(joined.substr(0, at));
      if (at == std::string_view::npos) break;
      joined.remove_prefix(at + 1);
    }
    std::string_view count = trimSpaces(fields[2]);
    auto [ptr, ec] = std::from_chars(count.data(), count.data() + count.size(), record.failCount);
    if (count.empty() || ec != std::errc() || ptr != count.data() + count.size() || record.failCount < 0)
      return fail("backup record is malformed");
    records.push_back(std::move(record));
  }
  return records;
}

bool isAutomationDenied(std::string_view message) {
  std::string lower = toLowerAscii(message);
  for (std::string_view needle : {"-1743", "not authorized to send apple events", "not allowed to send apple events",
                                  "erraeeventnotpermitted"})
    if (lower.find(needle) != std::string::npos) return true;
  return false;
}

}  // namespace corvane::notes::scripts
