// The scripts the simulator understands, typed from the description of the
// Notes scripting interface the tray uses. They are kept apart from the
// store's own builders on purpose: a script that differs by one character is
// an unknown script here, so the tests prove the store sends exactly these.
// Markers: {S} a double-quoted AppleScript string, {L} a list of such strings,
// {N} a whole number.
#include "templates.h"

namespace corvane::notesim {

namespace {

const char* const kTemplates[][2] = {
    {"list", R"(set US to (ASCII character 31)
set RS to (ASCII character 30)
tell application "Notes"
    set delIds to {}
    try
        set delIds to id of notes of folder "Recently Deleted"
    end try
    set theIds to id of notes
    set theNames to name of notes
    set theDates to modification date of notes
    set epoch to current date
    set time of epoch to 0
    set day of epoch to 1
    set month of epoch to January
    set year of epoch to 1970
    set n to count of theIds
    set out to ""
    repeat with i from 1 to n
        if delIds does not contain (item i of theIds) then
            set secs to ((item i of theDates) - epoch)
            set out to out & (item i of theIds) & US & (item i of theNames) & US & secs & RS
        end if
    end repeat
    return out
end tell)"},
    {"list-limit", R"(set US to (ASCII character 31)
set RS to (ASCII character 30)
tell application "Notes"
    set delIds to {}
    try
        set delIds to id of notes of folder "Recently Deleted"
    end try
    set theIds to id of notes
    set theNames to name of notes
    set theDates to modification date of notes
    set epoch to current date
    set time of epoch to 0
    set day of epoch to 1
    set month of epoch to January
    set year of epoch to 1970
    set n to count of theIds
    if n > {N} then set n to {N}
    set out to ""
    repeat with i from 1 to n
        if delIds does not contain (item i of theIds) then
            set secs to ((item i of theDates) - epoch)
            set out to out & (item i of theIds) & US & (item i of theNames) & US & secs & RS
        end if
    end repeat
    return out
end tell)"},
    {"body", R"(tell application "Notes" to get body of note id {S})"},
    {"plaintext", R"(tell application "Notes" to get plaintext of note id {S})"},
    {"plaintexts", R"(set RS to (ASCII character 30)
tell application "Notes"
    set ids to {L}
    set out to ""
    repeat with anId in ids
        set p to ""
        try
            set p to plaintext of note id (anId as string)
        end try
        set out to out & p & RS
    end repeat
    return out
end tell)"},
    {"bodies", R"(set RS to (ASCII character 30)
set US to (ASCII character 31)
tell application "Notes"
    set ids to {L}
    set out to ""
    repeat with anId in ids
        set b to ""
        set ok to "0"
        try
            set b to body of note id (anId as string)
            set ok to "1"
        end try
        set out to out & ok & US & b & RS
    end repeat
    return out
end tell)"},
    {"counts", R"(set RS to (ASCII character 30)
tell application "Notes"
    set ids to {L}
    set out to ""
    repeat with anId in ids
        set c to "-1"
        try
            set c to (count of attachments of note id (anId as string)) as string
        on error number errNum
            if errNum is -1728 then set c to "-2"
        end try
        set out to out & c & RS
    end repeat
    return out
end tell)"},
    {"append", R"(tell application "Notes"
    set theNote to note id {S}
    set body of theNote to ((body of theNote) & {S})
end tell)"},
    {"set-body", R"(tell application "Notes"
    set body of note id {S} to {S}
end tell)"},
    {"create", R"(tell application "Notes"
    set theNote to make new note with properties {body:{S}}
    return id of theNote as string
end tell)"},
    {"rename", R"(tell application "Notes" to set name of note id {S} to {S})"},
    {"delete", R"(tell application "Notes" to delete note id {S})"},
    // The name search leaves out Recently Deleted, like the text search.
    {"search-names", R"(set US to (ASCII character 31)
set RS to (ASCII character 30)
tell application "Notes"
    set delIds to {}
    try
        set delIds to id of notes of folder "Recently Deleted"
    end try
    set hits to notes of default account whose name contains {S}
    set epoch to current date
    set time of epoch to 0
    set day of epoch to 1
    set month of epoch to January
    set year of epoch to 1970
    set n to count of hits
    if n > 20 then set n to 20
    set out to ""
    repeat with i from 1 to n
        set t to item i of hits
        if delIds does not contain (id of t as string) then
            set out to out & (id of t as string) & US & (name of t as string) & US & ((modification date of t) - epoch) & RS
        end if
    end repeat
    return out
end tell)"},
    {"search-text", R"(set US to (ASCII character 31)
set RS to (ASCII character 30)
tell application "Notes"
    set delIds to {}
    try
        set delIds to id of notes of folder "Recently Deleted"
    end try
    set hits to notes whose (name contains {S} or plaintext contains {S})
    set epoch to current date
    set time of epoch to 0
    set day of epoch to 1
    set month of epoch to January
    set year of epoch to 1970
    set n to count of hits
    if n > 200 then set n to 200
    set out to ""
    repeat with i from 1 to n
        set t to item i of hits
        if delIds does not contain (id of t as string) then
            set out to out & (id of t as string) & US & (name of t as string) & US & ((modification date of t) - epoch) & RS
        end if
    end repeat
    return out
end tell)"},
    {"find", R"(set US to (ASCII character 31)
set RS to (ASCII character 30)
set wantIds to {L}
set wantNames to {L}
tell application "Notes"
    set delIds to {}
    try
        set delIds to id of notes of folder "Recently Deleted"
    end try
    set epoch to current date
    set time of epoch to 0
    set day of epoch to 1
    set month of epoch to January
    set year of epoch to 1970
    set out to ""
    repeat with wantedId in wantIds
        try
            set t to note id (wantedId as string)
            if delIds does not contain (id of t as string) then
                set out to out & (id of t as string) & US & (name of t as string) & US & ((modification date of t) - epoch) & RS
            end if
        end try
    end repeat
    repeat with wantedName in wantNames
        set hits to notes whose name is (wantedName as string)
        repeat with t in hits
            if delIds does not contain (id of t as string) then
                set out to out & (id of t as string) & US & (name of t as string) & US & ((modification date of t) - epoch) & RS
            end if
        end repeat
    end repeat
    return out
end tell)"},
    {"lookup-title", R"(tell application "Notes"
    set delIds to {}
    try
        set delIds to id of notes of folder "Recently Deleted"
    end try
    set hits to {}
    repeat with t in (notes whose name is {S})
        if delIds does not contain (id of t as string) then set end of hits to (id of t as string)
    end repeat
    if (count of hits) is not 1 then return ""
    return item 1 of hits
end tell)"},
    {"backup", R"(set RS to (ASCII character 30)
set US to (ASCII character 31)
set tmpBase to {S}
set fileCounter to 0
tell application "Notes"
    set ids to {L}
    set out to ""
    repeat with anId in ids
        set noteOk to "0"
        set savedPaths to {}
        set failCount to 0
        try
            set theNote to note id (anId as string)
            set noteOk to "1"
            set atts to attachments of theNote
            repeat with a in atts
                set fileCounter to fileCounter + 1
                set outPath to tmpBase & "/att_" & fileCounter & ".dat"
                try
                    save a in (POSIX file outPath)
                    set end of savedPaths to outPath
                on error
                    set failCount to failCount + 1
                end try
            end repeat
        end try
        set pathsJoined to ""
        repeat with p in savedPaths
            if pathsJoined is not "" then set pathsJoined to pathsJoined & ","
            set pathsJoined to pathsJoined & p
        end repeat
        set out to out & noteOk & US & pathsJoined & US & failCount & RS
    end repeat
    return out
end tell)"},
};

// An AppleScript string literal: \\ \" \n \r \t are the escapes it knows.
bool readString(std::string_view script, size_t& at, std::string& out) {
  if (at >= script.size() || script[at] != '"') return false;
  ++at;
  out.clear();
  while (at < script.size()) {
    char c = script[at++];
    if (c == '"') return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (at >= script.size()) return false;
    char e = script[at++];
    switch (e) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      default: return false;
    }
  }
  return false;
}

bool readList(std::string_view script, size_t& at, std::vector<std::string>& out) {
  if (at >= script.size() || script[at] != '{') return false;
  ++at;
  out.clear();
  if (at < script.size() && script[at] == '}') {
    ++at;
    return true;
  }
  while (true) {
    std::string item;
    if (!readString(script, at, item)) return false;
    out.push_back(std::move(item));
    if (script.substr(at, 2) == ", ") {
      at += 2;
      continue;
    }
    if (at < script.size() && script[at] == '}') {
      ++at;
      return true;
    }
    return false;
  }
}

std::optional<Match> matchOne(std::string_view name, std::string_view tmpl, std::string_view script) {
  Match match;
  match.name = std::string(name);
  size_t t = 0, s = 0;
  while (t < tmpl.size()) {
    if (tmpl.substr(t, 3) == "{S}") {
      std::string value;
      if (!readString(script, s, value)) return std::nullopt;
      match.strings.push_back(std::move(value));
      t += 3;
    } else if (tmpl.substr(t, 3) == "{L}") {
      std::vector<std::string> values;
      if (!readList(script, s, values)) return std::nullopt;
      match.lists.push_back(std::move(values));
      t += 3;
    } else if (tmpl.substr(t, 3) == "{N}") {
      size_t start = s;
      while (s < script.size() && script[s] >= '0' && script[s] <= '9') ++s;
      if (s == start || s - start > 12) return std::nullopt;
      match.numbers.push_back(std::stoll(std::string(script.substr(start, s - start))));
      t += 3;
    } else {
      if (s >= script.size() || script[s] != tmpl[t]) return std::nullopt;
      ++s;
      ++t;
    }
  }
  if (s != script.size()) return std::nullopt;
  return match;
}

}  // namespace

std::optional<Match> recognise(std::string_view script) {
  for (const auto& entry : kTemplates)
    if (auto match = matchOne(entry[0], entry[1], script)) return match;
  return std::nullopt;
}

}  // namespace corvane::notesim
