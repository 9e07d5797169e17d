// corvane-killtest: runs one writer of a persisted file in a child process,
// kills it with SIGKILL at a random moment, and checks what is left on disk:
// the file holds a whole version (never torn, never older than the last one
// seen), it parses, and everything in the data folders is 0700/0600.
//
//   corvane-killtest [--kills N] [--seed S] [--max-delay-us U] [WRITER...]
//   corvane-killtest --list
//
// Each writer is one row of kWriters: a `step` that writes version k and a
// `check` that reads the folder and returns the version it holds (0 when
// nothing was written yet) or why the folder is broken. A new persisted file
// joins with one row.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/queue.h"
#include "core/result.h"
#include "insights/stats.h"
#include "media/media_librarian.h"
#include "notes/file_store.h"
#include "notes/markup.h"
#include "notes/note.h"
#include "notes/store_cache.h"
#include "records/app_log.h"
#include "records/settings.h"

namespace fs = std::filesystem;
using namespace corvane;

namespace {

// ---- helpers shared by the rows

Result<Json> readJson(const fs::path& file) {
  auto text = readFile(file);
  if (!text) return fail(file.filename().string() + ": " + text.error());
  auto json = parseJson(*text);
  if (!json) return fail(file.filename().string() + " does not parse: " + json.error());
  return std::move(*json);
}

std::string versionText(int64_t k) { return "v" + std::to_string(k); }

// "v<k>" → k, else -1.
int64_t parseVersion(std::string_view s) {
  if (s.size() < 2 || s[0] != 'v') return -1;
  int64_t k = 0;
  for (char c : s.substr(1)) {
    if (c < '0' || c > '9') return -1;
    k = k * 10 + (c - '0');
  }
  return k;
}

fs::path notesFolder() { return dataDirectory() / "Notes"; }

// The one note the body writers work on, created once before the first kill.
std::string onlyNoteId(const char* title, const std::string& body) {
  notes::FileStore store(notesFolder());
  auto listed = store.listNotes(10);
  if (listed && !listed->empty()) return listed->front().id;
  auto id = store.createNote(title, body);
  if (!id) {
    std::fprintf(stderr, "setup: %s\n", id.error().c_str());
    std::exit(2);
  }
  return *id;
}

Result<std::string> onlyNoteText() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(notesFolder(), ec))
    if (e.path().extension() == ".md") files.push_back(e.path());
  if (files.size() != 1) return fail("expected one note file, found " + std::to_string(files.size()));
  return readFile(files.front());
}

// The lines of a note file, markup reduced to text.
std::vector<std::string> noteLines(const std::string& fileText) {
  std::string plain = notes::htmlToText(fileText);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= plain.size()) {
    size_t end = plain.find('\n', start);
    if (end == std::string::npos) end = plain.size();
    if (end > start) lines.push_back(plain.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// ---- the rows

struct Writer {
  const char* name;
  std::function<void()> setup;               // in the parent, before the first child
  std::function<void(int64_t k)> step;       // in the child: write version k
  std::function<Result<int64_t>()> check;    // in the parent: the version on disk
};

// Settings: every version moves several keys together, so a torn or mixed
// record shows.
void settingsStep(int64_t k) {
  records::SettingsStore store(std::make_shared<SerialQueue>("kill.settings"));
  auto r = store.update([k](records::Settings& s) {
    s.lastBuiltSpecs["kill"] = versionText(k);
    s.pinned.clear();
    for (int64_t i = 0; i < k % 40; ++i) s.pinned.push_back(versionText(k) + "-" + std::to_string(i));
    s.gridAutoCount = 1 + k % 60;
  });
  if (!r) std::exit(3);
}
Result<int64_t> settingsCheck() {
  fs::path file = dataDirectory() / "settings.json";
  if (!fileExists(file)) return int64_t{0};
  CORVANE_TRY_ASSIGN(json, readJson(file));
  if (!json.is_object()) return fail("settings.json is not an object");
  auto s = records::decodeSettings(dumpCompact(json));
  auto it = s.lastBuiltSpecs.find("kill");
  if (it == s.lastBuiltSpecs.end()) return fail("settings.json lost its record");
  int64_t k = parseVersion(it->second);
  if (k < 1) return fail("settings.json: bad version " + it->second);
  if (static_cast<int64_t>(s.pinned.size()) != k % 40 || s.gridAutoCount != 1 + k % 60)
    return fail("settings.json mixes versions");
  for (size_t i = 0; i < s.pinned.size(); ++i)
    if (s.pinned[i] != versionText(k) + "-" + std::to_string(i)) return fail("settings.json mixes versions");
  return k;
}

// Statistics: one thought per version, flushed; the day history must agree
// with the total.
void statsStep(int64_t) {
  static auto stats = std::make_shared<insights::Stats>();
  stats->record({.thoughts = 1, .words = 3});
  stats->flush();
}
Result<int64_t> statsCheck() {
  fs::path file = dataDirectory() / "stats.json";
  if (!fileExists(file)) return int64_t{0};
  CORVANE_TRY_ASSIGN(json, readJson(file));
  bool decoded = false;
  auto data = insights::decodeStats(dumpCompact(json), &decoded);
  if (!decoded) return fail("stats.json is not an object");
  int64_t days = 0;
  for (const auto& [_, d] : data.history) days += d.thoughts;
  if (data.words != 3 * data.thoughts || days != data.thoughts) return fail("stats.json mixes versions");
  return data.thoughts;
}

// The note cache: a list of k notes, each naming the version.
std::shared_ptr<notes::StoreCache> killCache() {
  notes::StoreCache::Options o;
  o.cacheFile = dataDirectory() / "cache.json";
  o.store = [] { return std::shared_ptr<notes::NoteStore>(); };
  o.loadSettings = [] { return records::Settings{}; };
  o.updateSettings = [](const std::function<void(records::Settings&)>&) { return ok(); };
  o.notesFolder = [] { return std::optional<fs::path>(); };
  return notes::StoreCache::create(std::move(o));
}
void cacheStep(int64_t k) {
  static auto cache = killCache();
  notes::StoreCache::setEventSink([](std::string_view, std::string_view) {});
  std::vector<notes::Note> list;
  for (int64_t i = 0; i < 1 + k % 30; ++i) {
    notes::Note n;
    n.id = "n" + std::to_string(i);
    n.name = versionText(k);
    n.preview = std::string(200, 'x');
    n.age = i;
    list.push_back(n);
  }
  cache->publish(list);
}
Result<int64_t> cacheCheck() {
  fs::path file = dataDirectory() / "cache.json";
  if (!fileExists(file)) return int64_t{0};
  CORVANE_TRY_ASSIGN(json, readJson(file));
  if (!json.is_array()) return fail("cache.json is not an array");
  auto list = notes::notesFromJson(json);
  if (list.empty()) return fail("cache.json is empty");
  int64_t k = parseVersion(list.front().name);
  if (k < 1 || static_cast<int64_t>(list.size()) != 1 + k % 30) return fail("cache.json mixes versions");
  for (const auto& n : list)
    if (n.name != list.front().name) return fail("cache.json mixes versions");
  return k;
}

// The media manifest: k entries.
void manifestStep(int64_t k) {
  std::vector<media::ManifestEntry> entries;
  for (int64_t i = 1; i <= k; ++i) entries.push_back({"t" + std::to_string(i) + ".png", i, "2026-01-01T00:00:00Z"});
  if (!media::writeManifest(media::mediaManifestPath(), entries)) std::exit(3);
}
Result<int64_t> manifestCheck() {
  fs::path file = media::mediaManifestPath();
  if (!fileExists(file)) return int64_t{0};
  CORVANE_TRY_ASSIGN(json, readJson(file));
  if (!json.is_array()) return fail("media manifest is not an array");
  auto entries = media::readManifest(file);
  if (entries.size() != json.size() || entries.empty()) return fail("media manifest lost entries");
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].bytes != static_cast<int64_t>(i + 1)) return fail("media manifest mixes versions");
  return static_cast<int64_t>(entries.size());
}

// Vault: note k is created titled "Kill k"; notes 1..k exist, each whole.
void createStep(int64_t k) {
  notes::FileStore store(notesFolder());
  if (!store.createNote("Kill " + std::to_string(k), "<div>body " + versionText(k) + "</div>")) std::exit(3);
}
Result<int64_t> createCheck() {
  std::error_code ec;
  if (!fs::exists(notesFolder(), ec)) return int64_t{0};
  int64_t count = 0, highest = 0;
  for (const auto& e : fs::directory_iterator(notesFolder(), ec)) {
    if (e.path().extension() != ".md") continue;
    ++count;
    auto text = readFile(e.path());
    if (!text) return fail(text.error());
    auto lines = noteLines(*text);
    if (lines.size() != 2 || lines[0].rfind("Kill ", 0) != 0)
      return fail("torn note " + e.path().filename().string() + ": \"" + *text + "\"");
    int64_t k = std::atoll(lines[0].c_str() + 5);
    if (lines[1] != "body " + versionText(k)) return fail("torn note " + e.path().filename().string());
    highest = std::max(highest, k);
  }
  if (count != highest) return fail("notes 1.." + std::to_string(highest) + " incomplete: " + std::to_string(count));
  return highest;
}

// Vault: the body becomes (k % 300 + 1) lines naming k.
void setBodyStep(int64_t k) {
  static std::string id = onlyNoteId("Body", "");
  notes::FileStore store(notesFolder());
  std::string html = "<div>Body</div>";
  for (int64_t i = 0; i <= k % 300; ++i) html += "<div>" + versionText(k) + "</div>";
  if (!store.setBody(id, html, true)) std::exit(3);
}
Result<int64_t> setBodyCheck() {
  CORVANE_TRY_ASSIGN(text, onlyNoteText());
  auto lines = noteLines(text);
  if (lines.empty() || lines[0] != "Body") return fail("note lost its title");
  if (lines.size() == 1) return int64_t{0};
  int64_t k = parseVersion(lines[1]);
  if (k < 1 || static_cast<int64_t>(lines.size()) != k % 300 + 2) return fail("torn body");
  for (size_t i = 1; i < lines.size(); ++i)
    if (lines[i] != lines[1]) return fail("body mixes versions");
  return k;
}

// Vault: line k appended; lines 1..k in order.
void appendStep(int64_t k) {
  static std::string id = onlyNoteId("Log", "");
  notes::FileStore store(notesFolder());
  if (!store.appendHTML(id, "<div>line " + std::to_string(k) + "</div>")) std::exit(3);
}
Result<int64_t> appendCheck() {
  CORVANE_TRY_ASSIGN(text, onlyNoteText());
  auto lines = noteLines(text);
  if (lines.empty() || lines[0] != "Log") return fail("note lost its title");
  for (size_t i = 1; i < lines.size(); ++i)
    if (lines[i] != "line " + std::to_string(i)) return fail("appended lines out of order: " + lines[i]);
  return static_cast<int64_t>(lines.size() - 1);
}

// Vault: the title becomes "Title k"; the body stays.
void renameStep(int64_t k) {
  static std::string id = onlyNoteId("Title 0", "<div>keep this body</div>");
  notes::FileStore store(notesFolder());
  if (!store.renameNote(id, "Title " + std::to_string(k))) std::exit(3);
}
Result<int64_t> renameCheck() {
  CORVANE_TRY_ASSIGN(text, onlyNoteText());
  auto lines = noteLines(text);
  if (lines.size() != 2 || lines[0].rfind("Title ", 0) != 0 || lines[1] != "keep this body")
    return fail("torn note: \"" + text + "\"");
  return std::atoll(lines[0].c_str() + 6);
}

// The application log: appended lines, each whole JSON, in order. A kill may
// lose the line being written but never tears an earlier one.
void appLogStep(int64_t k) {
  static auto log = std::make_shared<records::AppLog>(systemClock(), std::make_shared<SerialQueue>("kill.log"));
  log->write(records::LogLevel::Warn, "kill", versionText(k));
  log->flush();
}
Result<int64_t> appLogCheck() {
  fs::path dir = records::defaultLogDirectory();
  std::error_code ec;
  if (!fs::exists(dir, ec)) return int64_t{0};
  int64_t last = 0;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir, ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    if (f.filename() == records::kPendingUploadFileName) continue;  // same lines, checked below
    CORVANE_TRY_ASSIGN(text, readFile(f));
    if (!text.empty() && text.back() != '\n') return fail(f.filename().string() + ": torn last line");
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      auto line = parseJson(std::string_view(text).substr(start, end - start));
      if (!line || !line->is_object()) return fail(f.filename().string() + ": a line does not parse");
      const Json* m = member(*line, "message");
      int64_t k = m && m->is_string() ? parseVersion(m->get<std::string>()) : -1;
      if (k != last + 1) return fail(f.filename().string() + ": lines out of order");
      last = k;
      start = end + 1;
    }
  }
  return last;
}

const std::vector<Writer>& writers() {
  static const std::vector<Writer> rows = {
      {"settings", nullptr, settingsStep, settingsCheck},
      {"stats", nullptr, statsStep, statsCheck},
      {"cache", nullptr, cacheStep, cacheCheck},
      {"media-manifest", nullptr, manifestStep, manifestCheck},
      {"note-create", nullptr, createStep, createCheck},
      {"note-set-body", [] { (void)onlyNoteId("Body", ""); }, setBodyStep, setBodyCheck},
      {"note-append", [] { (void)onlyNoteId("Log", ""); }, appendStep, appendCheck},
      {"note-rename", [] { (void)onlyNoteId("Title 0", "<div>keep this body</div>"); }, renameStep, renameCheck},
      {"app-log", nullptr, appLogStep, appLogCheck},
  };
  return rows;
}

const Writer* findWriter(std::string_view name) {
  for (const auto& w : writers())
    if (name == w.name) return &w;
  return nullptr;
}

// Everything below the folders the system writes is 0700 (folders) or 0600.
Result<void> checkModes(const fs::path& home) {
  for (const fs::path& root : {dataDirectory(), applicationSupportDirectory(), configDirectory()}) {
    std::error_code ec;
    if (!fs::exists(root, ec)) continue;
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0 || (st.st_mode & 07777) != 0700)
      return fail(root.string() + " is not 0700");
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (::lstat(it->path().c_str(), &st) != 0) continue;  // gone meanwhile
      unsigned want = S_ISDIR(st.st_mode) ? 0700 : 0600;
      if ((st.st_mode & 07777) != want) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%o", st.st_mode & 07777);
        return fail(fs::relative(it->path(), home).string() + " has mode " + buf);
      }
    }
  }
  return ok();
}

// Temporaries left by killed writers (reported, not failed: they never
// replace a file and are private).
int countTemporaries() {
  int n = 0;
  for (const fs::path& root : {dataDirectory(), applicationSupportDirectory()}) {
    std::error_code ec;
    if (!fs::exists(root, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const std::string f = it->path().filename().string();
      if (f.find(".tmp") != std::string::npos) ++n;
    }
  }
  return n;
}

void pointHomeAt(const fs::path& home) {
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
}

// The child: continue from what is on disk, write versions until killed.
// One byte on the ready descriptor after the first version.
[[noreturn]] void runChild(const Writer& w, int readyFd) {
  auto start = w.check();
  int64_t k = start ? *start : 0;
  bool told = false;
  for (;;) {
    w.step(++k);
    if (!told && readyFd >= 0) {
      (void)!::write(readyFd, "r", 1);
      ::close(readyFd);
      told = true;
    }
  }
}

struct Outcome {
  int kills = 0;
  int64_t version = 0;
  int temporaries = 0;
  std::string failure;
};

Outcome runWriter(const Writer& w, const char* self, int kills, unsigned delayUs, std::mt19937_64& rng) {
  Outcome out;
  char pattern[] = "/tmp/corvane-kill-XXXXXX";
  if (!::mkdtemp(pattern)) {
    out.failure = "mkdtemp failed";
    return out;
  }
  const fs::path home = pattern;
  pointHomeAt(home);
  if (w.setup) w.setup();
  std::uniform_int_distribution<unsigned> delay(0, delayUs);
  for (int i = 0; i < kills; ++i) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
      out.failure = "pipe failed";
      break;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(pipeFds[0]);
      // A fresh process image, so no thread or lock of the parent carries over.
      std::string fd = std::to_string(pipeFds[1]);
      ::fcntl(pipeFds[1], F_SETFD, 0);
      ::execl("/proc/self/exe", self, "--child", w.name, fd.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    char byte;
    ssize_t got = ::read(pipeFds[0], &byte, 1);  // the first version is on disk
    ::close(pipeFds[0]);
    if (got == 1) std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
      out.failure = "writer ended by itself (status " + std::to_string(status) + ")";
      break;
    }
    ++out.kills;
    auto v = w.check();
    if (!v) {
      out.failure = "after kill " + std::to_string(i + 1) + ": " + v.error();
      break;
    }
    if (*v < out.version) {
      out.failure = "after kill " + std::to_string(i + 1) + ": went back from version " +
                    std::to_string(out.version) + " to " + std::to_string(*v);
      break;
    }
    out.version = *v;
    if (auto m = checkModes(home); !m) {
      out.failure = "after kill " + std::to_string(i + 1) + ": " + m.error();
      break;
    }
  }
  out.temporaries = countTemporaries();
  std::error_code ec;
  if (out.failure.empty()) fs::remove_all(home, ec);
  else std::fprintf(stderr, "  (folder kept: %s)\n", home.c_str());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--child") {
    const Writer* w = findWriter(argv[2]);
    if (!w) return 2;
    runChild(*w, std::atoi(argv[3]));
  }
  int kills = 20;
  unsigned delayUs = 20000;
  uint64_t seed = std::random_device{}();
  std::vector<const Writer*> chosen;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--kills" && i + 1 < argc) kills = std::atoi(argv[++i]);
    else if (a == "--seed" && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--max-delay-us" && i + 1 < argc) delayUs = static_cast<unsigned>(std::atoi(argv[++i]));
    else if (a == "--list") {
      for (const auto& w : writers()) std::printf("%s\n", w.name);
      return 0;
    } else if (const Writer* w = findWriter(a)) chosen.push_back(w);
    else {
      std::fprintf(stderr, "unknown writer or option: %s (--list shows the writers)\n", argv[i]);
      return 2;
    }
  }
  if (chosen.empty())
    for (const auto& w : writers()) chosen.push_back(&w);
  std::printf("seed %llu, %d kills per writer, delay up to %u us\n", static_cast<unsigned long long>(seed), kills,
              delayUs);
  std::mt19937_64 rng(seed);
  int failures = 0;
  for (const Writer* w : chosen) {
    auto started = std::chrono::steady_clock::now();
    Outcome o = runWriter(*w, argv[0], kills, delayUs, rng);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%-16s %5d kills survived, version %lld, %d leftover temporaries, %.1f s%s%s\n", w->name, o.kills,
                static_cast<long long>(o.version), o.temporaries, secs, o.failure.empty() ? "" : "  FAILED: ",
                o.failure.c_str());
    std::fflush(stdout);
    if (!o.failure.empty()) ++failures;
  }
  return failures ? 1 : 0;
}
