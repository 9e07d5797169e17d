// corvane-notes-sim: a simulated Notes application, called like osascript.
//   corvane-notes-sim -e SCRIPT          run one script (also: corvane-notes-sim FILE)
//   corvane-notes-sim --corvane-permission query|request
//   corvane-notes-sim --admin COMMAND …  set up and inspect the state (see README.md)
// State: the JSON file named by CORVANE_NOTES_SIM_STATE (default
// $HOME/.corvane-notes-sim/state.json), locked for the whole call; every script
// received is appended to the journal, the state path + ".journal.jsonl".
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <variant>

#include "core/files.h"
#include "core/json.h"
#include "templates.h"

namespace fs = std::filesystem;
using corvane::Json;

namespace {

constexpr char RS = '\x1e';
constexpr char US = '\x1f';
constexpr const char* kDeleted = "Recently Deleted";

struct Failure {
  int number;
  std::string text;
};

fs::path statePath() {
  if (const char* p = std::getenv("CORVANE_NOTES_SIM_STATE"); p && *p) return p;
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".corvane-notes-sim" / "state.json";
}

fs::path journalPath() {
  if (const char* p = std::getenv("CORVANE_NOTES_SIM_JOURNAL"); p && *p) return p;
  fs::path p = statePath();
  p += ".journal.jsonl";
  return p;
}

Json freshState() {
  Json s = Json::object();
  s["nextId"] = 1;
  s["defaultAccount"] = "iCloud";
  s["permission"] = "granted";
  s["promptAnswer"] = "granted";
  s["faults"] = Json::object();
  s["notes"] = Json::array();
  return s;
}

Json loadState() {
  auto text = corvane::readFile(statePath());
  if (!text) return freshState();
  auto parsed = corvane::parseJson(*text);
  if (!parsed || !parsed->is_object()) return freshState();
  Json s = freshState();
  for (auto it = parsed->begin(); it != parsed->end(); ++it) s[it.key()] = it.value();
  return s;
}

void saveState(const Json& state) {
  std::error_code ec;
  fs::create_directories(statePath().parent_path(), ec);
  (void)corvane::writeFileAtomic(statePath(), corvane::dumpPretty(state) + "\n", 0600);
}

void journal(const std::string& script, const std::optional<corvane::notesim::Match>& match) {
  Json line = Json::object();
  line["template"] = match ? Json(match->name) : Json(nullptr);
  line["script"] = script;
  (void)corvane::appendToFile(journalPath(), corvane::dumpCompact(line) + "\n", 0600);
}

double nowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Seconds since 1970-01-01 00:00 local time, as the scripts compute them.
double localSeconds(double unixSeconds) {
  std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return std::floor(unixSeconds) + double(tm.tm_gmtoff);
}

// How AppleScript writes a number into text: integers up to 2^29 as they are,
// larger values as reals in E notation ("1.712345678E+9").
std::string appleNumber(double value) {
  double whole = std::trunc(value);
  if (std::fabs(whole) <= 536870911.0) return std::to_string(static_cast<long long>(whole));
  int exponent = static_cast<int>(std::floor(std::log10(std::fabs(whole))));
  double mantissa = whole / std::pow(10.0, exponent);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.11f", mantissa);
  std::string m = buffer;
  while (!m.empty() && m.back() == '0') m.pop_back();
  if (!m.empty() && m.back() == '.') m.pop_back();
  return m + "E+" + std::to_string(exponent);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// AppleScript compares text ignoring case unless told otherwise.
bool containsText(const std::string& haystack, const std::string& needle) {
  return lower(haystack).find(lower(needle)) != std::string::npos;
}
bool sameText(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string unescapeEntities(std::string text) {
  const std::pair<const char*, const char*> table[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
  for (auto [from, to] : table) {
    size_t at = 0;
    std::string f = from;
    while ((at = text.find(f, at)) != std::string::npos) {
      text.replace(at, f.size(), to);
      at += std::string(to).size();
    }
  }
  return text;
}

// Plain text of a body: block ends and <br> become line breaks, tags go.
std::string plainOf(const std::string& html) {
  std::string out;
  for (size_t i = 0; i < html.size();) {
    if (html[i] == '<') {
      size_t end = html.find('>', i);
      if (end == std::string::npos) break;
      std::string tag = lower(html.substr(i, end - i + 1));
      if (tag.rfind("<br", 0) == 0 || tag == "</div>" || tag == "</p>" || tag.rfind("</h", 0) == 0 ||
          tag == "</li>")
        out += '\n';
      i = end + 1;
    } else {
      out += html[i++];
    }
  }
  out = unescapeEntities(out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Notes titles a note by the first line of its body.
std::string titleOf(const std::string& html) {
  std::string plain = plainOf(html);
  std::istringstream lines(plain);
  std::string line;
  while (std::getline(lines, line)) {
    size_t a = line.find_first_not_of(" \t\r");
    if (a == std::string::npos) continue;
    size_t b = line.find_last_not_of(" \t\r");
    return line.substr(a, b - a + 1);
  }
  return "New Note";
}

std::string escapeHtml(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

Json* findNote(Json& state, const std::string& id) {
  for (Json& note : state["notes"])
    if (note.value("id", "") == id) return &note;
  return nullptr;
}

Failure cantGet(const std::string& id) {
  return {-1728, "execution error: Notes got an error: Can\u2019t get note id \"" + id + "\". (-1728)"};
}

bool isDeleted(const Json& note) { return note.value("folder", "") == kDeleted; }

// Notes lists the most recently modified first.
std::vector<Json*> orderedNotes(Json& state) {
  std::vector<Json*> notes;
  for (Json& note : state["notes"]) notes.push_back(&note);
  std::stable_sort(notes.begin(), notes.end(), [](const Json* a, const Json* b) {
    return a->value("modified", 0.0) > b->value("modified", 0.0);
  });
  return notes;
}

std::string record(const Json& note) {
  return note.value("id", "") + US + note.value("name", "") + US + appleNumber(localSeconds(note.value("modified", 0.0))) +
         RS;
}

void touch(Json& note, const std::string& body) {
  note["body"] = body;
  note["name"] = titleOf(body);
  note["modified"] = nowSeconds();
}

std::string newId(Json& state) {
  int64_t n = state.value("nextId", int64_t(1));
  state["nextId"] = n + 1;
  return "x-coredata://5B7F1E2A-0C3D-4E5F-8A9B-C0D1E2F3A4B5/ICNote/p" + std::to_string(n);
}

bool writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out);
}

// Writes one attachment as Notes' save command would; false when it cannot.
bool saveAttachment(const Json& attachment, const fs::path& path) {
  std::string kind = attachment.value("kind", "image");
  if (kind == "unsaveable") return false;
  if (kind == "empty") return writeBytes(path, "");
  if (kind == "pdf") return writeBytes(path, "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << >>\n%%EOF\n");
  std::string file = attachment.value("file", "");
  auto bytes = corvane::readFile(file);
  if (!bytes) return false;
  return writeBytes(path, *bytes);
}

size_t idCount(const corvane::notesim::Match& m) {
  size_t n = 0;
  for (const auto& list : m.lists) n = std::max(n, list.size());
  return n;
}

std::variant<std::string, Failure> execute(Json& state, const corvane::notesim::Match& m, bool& changed) {
  const std::string& t = m.name;
  std::string out;
  if (t == "list" || t == "list-limit") {
    if (t == "list-limit" && m.numbers[0] != m.numbers[1]) return Failure{-2741, "syntax error: cap mismatch (-2741)"};
    auto notes = orderedNotes(state);
    size_t n = notes.size();
    if (t == "list-limit") n = std::min<size_t>(n, size_t(m.numbers[0]));
    for (size_t i = 0; i < n; ++i)
      if (!isDeleted(*notes[i])) out += record(*notes[i]);
    return out;
  }
  if (t == "body" || t == "plaintext") {
    Json* note = findNote(state, m.strings[0]);
    if (!note) return cantGet(m.strings[0]);
    std::string body = note->value("body", "");
    return t == "body" ? body : plainOf(body);
  }
  if (t == "plaintexts" || t == "bodies" || t == "counts") {
    for (const std::string& id : m.lists[0]) {
      Json* note = findNote(state, id);
      if (t == "plaintexts") {
        out += (note ? plainOf(note->value("body", "")) : std::string()) + RS;
      } else if (t == "bodies") {
        out += note ? std::string("1") + US + note->value("body", "") + RS : std::string("0") + US + RS;
      } else if (!note) {
        out += std::string("-2") + RS;
      } else if (note->value("countFails", false)) {
        out += std::string("-1") + RS;
      } else {
        out += std::to_string(note->contains("attachments") ? (*note)["attachments"].size() : 0) + RS;
      }
    }
    return out;
  }
  if (t == "append" || t == "set-body" || t == "rename" || t == "delete") {
    Json* note = findNote(state, m.strings[0]);
    if (!note) return cantGet(m.strings[0]);
    changed = true;
    if (t == "append") {
      touch(*note, note->value("body", "") + m.strings[1]);
    } else if (t == "set-body") {
      touch(*note, m.strings[1]);
    } else if (t == "rename") {
      // The title is the body's first line: renaming rewrites that line.
      std::string body = note->value("body", "");
      std::string line = "<div>" + escapeHtml(m.strings[1]) + "</div>";
      size_t end = body.rfind("<div>", 0) == 0 ? body.find("</div>") : std::string::npos;
      body = end == std::string::npos ? line + body : line + body.substr(end + 6);
      note->operator[]("body") = body;
      note->operator[]("name") = m.strings[1];
      note->operator[]("modified") = nowSeconds();
    } else if (isDeleted(*note)) {
      auto& notes = state["notes"];
      for (size_t i = 0; i < notes.size(); ++i)
        if (notes[i].value("id", "") == m.strings[0]) {
          notes.erase(notes.begin() + long(i));
          break;
        }
    } else {
      (*note)["folder"] = kDeleted;  // the id stays the same in the trash
    }
    return out;
  }
  if (t == "create") {
    Json note = Json::object();
    note["id"] = newId(state);
    note["folder"] = "Notes";
    note["account"] = state.value("defaultAccount", "iCloud");
    note["attachments"] = Json::array();
    touch(note, m.strings[0]);
    out = note["id"].get<std::string>();
    state["notes"].push_back(std::move(note));
    changed = true;
    return out;
  }
  if (t == "search-names" || t == "search-text") {
    size_t cap = t == "search-names" ? 20 : 200;
    std::vector<Json*> hits;
    for (Json* note : orderedNotes(state)) {
      if (t == "search-names") {
        if (note->value("account", "iCloud") != state.value("defaultAccount", "iCloud")) continue;
        if (containsText(note->value("name", ""), m.strings[0])) hits.push_back(note);
      } else if (containsText(note->value("name", ""), m.strings[0]) ||
                 containsText(plainOf(note->value("body", "")), m.strings[1])) {
        hits.push_back(note);
      }
    }
    for (size_t i = 0; i < hits.size() && i < cap; ++i)
      if (!isDeleted(*hits[i])) out += record(*hits[i]);
    return out;
  }
  if (t == "find") {
    for (const std::string& id : m.lists[0])
      if (Json* note = findNote(state, id); note && !isDeleted(*note)) out += record(*note);
    for (const std::string& name : m.lists[1])
      for (Json* note : orderedNotes(state))
        if (sameText(note->value("name", ""), name) && !isDeleted(*note)) out += record(*note);
    return out;
  }
  if (t == "lookup-title") {
    std::vector<std::string> hits;
    for (Json* note : orderedNotes(state))
      if (sameText(note->value("name", ""), m.strings[0]) && !isDeleted(*note)) hits.push_back(note->value("id", ""));
    return hits.size() == 1 ? hits[0] : std::string();
  }
  if (t == "backup") {
    fs::path base = m.strings[0];
    int counter = 0;
    for (const std::string& id : m.lists[0]) {
      Json* note = findNote(state, id);
      std::string paths;
      int failCount = 0;
      if (note && note->contains("attachments")) {
        for (const Json& attachment : (*note)["attachments"]) {
          ++counter;
          std::string path = base.string() + "/att_" + std::to_string(counter) + ".dat";
          if (saveAttachment(attachment, path)) {
            if (!paths.empty()) paths += ",";
            paths += path;
          } else {
            ++failCount;
          }
        }
      }
      out += std::string(note ? "1" : "0") + US + paths + US + std::to_string(failCount) + RS;
    }
    return out;
  }
  return Failure{-2741, "syntax error: unhandled template (-2741)"};
}

int runScript(const std::string& script) {
  fs::path lockPath = statePath();
  lockPath += ".lock";
  std::error_code ec;
  fs::create_directories(lockPath.parent_path(), ec);
  int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd >= 0) ::flock(lockFd, LOCK_EX);

  auto match = corvane::notesim::recognise(script);
  journal(script, match);
  Json state = loadState();
  const Json faults = state.value("faults", Json::object());

  if (double delay = faults.value("delaySeconds", 0.0); delay > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(delay * 1000)));
  if (faults.value("crash", false)) std::abort();
  if (!match) {
    std::cerr << "syntax error: Expected end of line but found unknown token. (-2741)\n";
    return 1;
  }
  if (state.value("permission", "granted") != "granted") {
    std::cerr << "execution error: Not authorized to send Apple events to Notes. (-1743)\n";
    return 1;
  }
  if (faults.value("garbage", false)) {
    std::cout << "\x01garbage from Notes\x02";
    return 0;
  }
  if (faults.value("nonUtf8", false)) {
    std::cout << "\xff\xfe\xfd" << RS;
    return 0;
  }
  if (int64_t over = faults.value("batchFailOver", int64_t(0)); over > 0 && int64_t(idCount(*match)) > over) {
    std::cerr << "execution error: Notes got an error: AppleEvent timed out. (-1712)\n";
    return 1;
  }
  bool changed = false;
  auto result = execute(state, *match, changed);
  if (changed) saveState(state);
  if (auto* failure = std::get_if<Failure>(&result)) {
    std::cerr << failure->text << "\n";
    return 1;
  }
  // osascript ends what the script returns with a line break.
  std::cout << std::get<std::string>(result) << "\n";
  return 0;
}

int permission(const std::string& mode) {
  Json state = loadState();
  std::string now = state.value("permission", "granted");
  if (mode == "request" && now == "undetermined") {
    // The answer tells the state before the user has answered the prompt.
    state["permission"] = state.value("promptAnswer", "granted");
    saveState(state);
  }
  std::cout << now << "\n";
  return 0;
}

int admin(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  Json state = loadState();
  const std::string& cmd = args[0];
  if (cmd == "reset") {
    saveState(freshState());
    return 0;
  }
  if (cmd == "add" && args.size() >= 2) {
    // add BODY_HTML [folder=F] [account=A] [attach=KIND[:FILE]]… [age=SECONDS] [countFails]
    Json note = Json::object();
    note["id"] = newId(state);
    note["folder"] = "Notes";
    note["account"] = state.value("defaultAccount", "iCloud");
    note["attachments"] = Json::array();
    touch(note, args[1]);
    for (size_t i = 2; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.rfind("folder=", 0) == 0) note["folder"] = a.substr(7);
      else if (a.rfind("account=", 0) == 0) note["account"] = a.substr(8);
      else if (a.rfind("age=", 0) == 0) note["modified"] = nowSeconds() - std::stod(a.substr(4));
      else if (a == "countFails") note["countFails"] = true;
      else if (a.rfind("attach=", 0) == 0) {
        std::string kindAndFile = a.substr(7);
        Json attachment = Json::object();
        size_t colon = kindAndFile.find(':');
        attachment["kind"] = kindAndFile.substr(0, colon);
        if (colon != std::string::npos) attachment["file"] = kindAndFile.substr(colon + 1);
        note["attachments"].push_back(attachment);
      } else {
        std::cerr << "unknown option " << a << "\n";
        return 2;
      }
    }
    std::cout << note["id"].get<std::string>() << "\n";
    state["notes"].push_back(std::move(note));
    saveState(state);
    return 0;
  }
  if (cmd == "move" && args.size() == 2) {
    // Moving a note to another account gives it a new id; the old one is gone.
    Json* note = findNote(state, args[1]);
    if (!note) return 1;
    std::string id = newId(state);
    (*note)["id"] = id;
    std::cout << id << "\n";
    saveState(state);
    return 0;
  }
  if (cmd == "fault" && args.size() == 3) {
    auto value = corvane::parseJson(args[2]);
    if (!value) return 2;
    state["faults"][args[1]] = *value;
    saveState(state);
    return 0;
  }
  if (cmd == "set" && args.size() == 3) {
    auto value = corvane::parseJson(args[2]);
    state[args[1]] = value ? *value : Json(args[2]);
    saveState(state);
    return 0;
  }
  if (cmd == "dump") {
    std::cout << corvane::dumpPretty(state) << "\n";
    return 0;
  }
  std::cerr << "unknown admin command\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "-e") return runScript(args[1]);
  if (args.size() == 2 && args[0] == "--corvane-permission") return permission(args[1]);
  if (!args.empty() && args[0] == "--admin") return admin(std::vector<std::string>(args.begin() + 1, args.end()));
  if (args.size() == 1 && args[0].rfind("-", 0) != 0) {
    auto text = corvane::readFile(args[0]);
    if (!text) {
      std::cerr << "osascript: " << args[0] << ": No such file or directory\n";
      return 1;
    }
    return runScript(*text);
  }
  std::cerr << "usage: corvane-notes-sim -e SCRIPT | FILE | --corvane-permission query|request | --admin …\n";
  return 2;
}
