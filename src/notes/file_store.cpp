#include "notes/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <set>

#include "core/files.h"
#include "core/regex.h"
#include "core/text.h"
#include "notes/markup.h"
#include "records/private_files.h"

namespace corvane::notes {

namespace {

constexpr const char* kInvalidId = "invalid note id";

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// The outcome of reading one note file: its text, or why not.
struct ReadOutcome {
  bool ok = false;
  bool missing = false;  // there is no file at all
  std::string text;
  std::string message;   // the error's description when !ok
};

// Reads up to `limit` bytes of an open file. With `truncate`, a longer file
// gives its first `limit` bytes (cut at a character boundary) instead of
// failing.
ReadOutcome readOpenFile(int fd, size_t limit, bool truncate) {
  ReadOutcome out;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    out.message = errnoMessage(errno);
    return out;
  }
  if (S_ISDIR(st.st_mode)) {
    out.message = errnoMessage(EISDIR);
    return out;
  }
  // FIFOs, sockets and devices named like notes are never read (a FIFO
  // would block the reader forever).
  if (!S_ISREG(st.st_mode)) {
    out.message = "not a regular file";
    return out;
  }
  size_t expected = static_cast<size_t>(st.st_size);
  if (expected > limit && !truncate) {
    out.message = "file too large";
    return out;
  }
  std::string text;
  text.resize(std::min(expected, limit) + 1);
  size_t used = 0;
  while (true) {
    if (used == text.size()) {
      if (used > limit) break;
      text.resize(std::min(text.size() * 2, limit + 1));
    }
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      out.message = errnoMessage(errno);
      return out;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > limit) {
    if (!truncate) {
      out.message = "file too large";
      return out;
    }
    used = prefixBytesAtBoundary(std::string_view(text.data(), used), limit).size();
  }
  text.resize(used);
  if (!isValidUtf8(text)) {
    out.message = "the file is not valid UTF-8 text";
    return out;
  }
  out.ok = true;
  out.text = std::move(text);
  return out;
}

ReadOutcome readNoteFile(const fs::path& file, size_t limit) {
  Fd f(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (f.fd < 0) {
    ReadOutcome out;
    out.missing = errno == ENOENT;
    out.message = errnoMessage(errno);
    return out;
  }
  return readOpenFile(f.fd, limit, false);
}

std::string_view trimSpacesAndTabs(std::string_view line) {
  size_t b = 0, e = line.size();
  // A carriage return is trimmed too, so files with Windows line ends keep
  // clean titles.
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (b < e && blank(line[b])) ++b;
  while (e > b && blank(line[e - 1])) --e;
  return line.substr(b, e - b);
}

std::string_view firstNonEmptyLine(std::string_view text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    std::string_view line = trimSpacesAndTabs(text.substr(start, nl == std::string_view::npos ? text.npos : nl - start));
    if (!line.empty()) return line;
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return {};
}

// The listing's title of a file: its first non-empty line; when that line is
// markup (a body saved by the tray as "<div>Title</div>…"), the first line of
// its plain text instead, so cards never show raw tags.
std::string noteName(std::string_view text, std::string_view plain, const std::string& id) {
  std::string_view raw = firstNonEmptyLine(text);
  if (!raw.empty() && raw.front() != '<') return std::string(raw);
  std::string_view fromPlain = firstNonEmptyLine(plain);
  return fromPlain.empty() ? id : std::string(fromPlain);
}

Note listedNote(std::string id, std::string_view text) {
  Note note;
  std::string plain = htmlToText(text);
  note.name = noteName(text, plain, id);
  note.preview = previewText(plain, note.name);
  note.id = std::move(id);
  return note;
}

struct Listed {
  Note note;
  struct timespec modified {};
};

// Every character that is not an ASCII letter or digit gives one "-".
std::string asciiIdCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += c;
      ++i;
    } else {
      decodeCodePoint(text, i);
      out += '-';
    }
  }
  return out;
}

// Letters outside ASCII become their closest ASCII spelling (accents dropped,
// other scripts romanised), so ids stay within the id rule.
std::string transliterateToAscii(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return std::string(text);
  static std::mutex mutex;
  static std::unique_ptr<icu::Transliterator> transliterator;
  static bool tried = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (!tried) {
    tried = true;
    UErrorCode status = U_ZERO_ERROR;
    transliterator.reset(
        icu::Transliterator::createInstance(icu::UnicodeString::fromUTF8("Any-Latin; Latin-ASCII"), UTRANS_FORWARD, status));
    if (U_FAILURE(status)) transliterator.reset();
  }
  if (!transliterator) return std::string(text);
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  transliterator->transliterate(u);
  std::string out;
  u.toUTF8String(out);
  return out;
}

}  // namespace

bool isWellFormedNoteId(std::string_view id) {
  if (id.empty() || id.size() > 128) return false;
  if (id == "." || id == "..") return false;
  // "%" never belongs to an id: percent-decoding would change it or fail.
  if (id.find_first_of(std::string_view("/\\%\0", 4)) != std::string_view::npos) return false;
  static const Regex pattern(R"(^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$)");
  auto m = pattern.firstMatch(id);
  // "$" also matches before a final newline; the match must cover the id.
  return m && m->start() == 0 && m->end() == id.size();
}

std::string noteIdStem(std::string_view name) {
  std::string id = asciiIdCharacters(transliterateToAscii(sanitizeUtf8(name)));
  size_t b = id.find_first_not_of('-');
  if (b == std::string::npos) return "note";
  size_t e = id.find_last_not_of('-');
  id = toLowerAscii(std::string_view(id).substr(b, e - b + 1));
  if (id.size() > 60) id.resize(60);
  return id;
}

std::string replaceTitle(std::string_view text, std::string_view oldTitle, std::string_view newName) {
  std::string_view o = trimUnicodeWhitespace(oldTitle);
  // `s` is the text from its first character that is not white space.
  std::string_view trimmed = trimUnicodeWhitespace(text);
  size_t lead = trimmed.empty() ? text.size() : static_cast<size_t>(trimmed.data() - text.data());
  std::string_view s = text.substr(lead);
  // Titles inside markup are markup text: escape them.
  auto markupTitle = [&] { return "<div>" + escapeHtmlText(newName) + "</div>"; };

  if (!o.empty()) {
    if (startsWith(text, o)) {
      std::string_view rest = text.substr(o.size());
      if (startsWith(rest, "\n")) return std::string(newName) + "\n" + std::string(rest.substr(1));
      if (startsWith(rest, "\r\n")) return std::string(newName) + "\r\n" + std::string(rest.substr(2));
      if (rest.empty()) return std::string(newName) + "\n";
    }
    if (startsWith(s, "<div>")) {
      size_t close = s.find("</div>", 5);
      if (close != std::string_view::npos) {
        std::string inner = htmlToText(s.substr(5, close - 5));
        if (comparableTitle(inner) == comparableTitle(o))
          return std::string(text.substr(0, lead)) + markupTitle() + std::string(s.substr(close + 6));
      }
    }
  }
  if (startsWith(s, "<")) return markupTitle() + std::string(text);
  return std::string(newName) + "\n" + std::string(text);
}

FileStore::FileStore(std::filesystem::path root) : root_(std::move(root)) {}

Result<void> FileStore::ensureFolder() const {
  if (records::isInsideDataDirectory(root_)) {
    auto made = records::ensurePrivateDirectory(root_);
    if (!made) return fail("cannot create notes dir: " + made.error());
    return ok();
  }
  std::error_code ec;
  if (fs::is_directory(root_, ec)) return ok();
  fs::create_directories(root_, ec);
  if (ec) return fail("cannot create notes dir: " + ec.message());
  if (!fs::is_directory(root_, ec)) return fail("cannot create notes dir: " + errnoMessage(ENOTDIR));
  return ok();
}

Result<std::filesystem::path> FileStore::noteFile(const std::string& id) const {
  if (!isWellFormedNoteId(id)) return fail(kInvalidId);
  std::error_code ec;
  fs::path absoluteRoot = fs::absolute(root_, ec);
  if (ec) return fail(kInvalidId);
  fs::path resolvedRoot = fs::weakly_canonical(absoluteRoot, ec);
  if (ec) return fail(kInvalidId);
  // Follow links at the last component by hand: weakly_canonical leaves a
  // dangling link unresolved, and a write through it would land wherever it
  // points.
  fs::path candidate = resolvedRoot / (id + ".md");
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    if (hops == 40) return fail(kInvalidId);
    fs::path target = fs::read_symlink(candidate, ec);
    if (ec) return fail(kInvalidId);
    candidate = target.is_absolute() ? target : candidate.parent_path() / target;
    fs::path directory = fs::weakly_canonical(candidate.parent_path(), ec);
    if (ec) return fail(kInvalidId);
    candidate = directory / candidate.filename();
  }
  fs::path file = fs::weakly_canonical(candidate, ec);
  if (ec) return fail(kInvalidId);
  // Exactly one component below the root: links that lead elsewhere (out of
  // the folder or into a sub-folder) are refused.
  if (file.parent_path() != resolvedRoot || file.filename().empty()) return fail(kInvalidId);
  return file;
}

Result<std::string> FileStore::readNote(const std::filesystem::path& file) const {
  ReadOutcome read = readNoteFile(file, kBodyReadLimit);
  if (!read.ok) return fail("cannot read note: " + read.message);
  return std::move(read.text);
}

Result<std::vector<Note>> FileStore::listNotes(int64_t limit) {
  CORVANE_TRY(ensureFolder());
  std::error_code ec;
  fs::path resolvedRoot = fs::canonical(fs::absolute(root_, ec), ec);
  if (ec) return fail("cannot read notes dir");
  Fd dirFd(::open(resolvedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.fd < 0) return fail("cannot read notes dir");
  int streamFd = ::dup(dirFd.fd);
  DIR* dir = streamFd >= 0 ? ::fdopendir(streamFd) : nullptr;
  if (!dir) {
    if (streamFd >= 0) ::close(streamFd);
    return fail("cannot read notes dir");
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);

  std::vector<Listed> listed;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string_view fileName = entry->d_name;
    if (fileName.size() <= 3 || !endsWith(fileName, ".md")) continue;
    std::string id(fileName.substr(0, fileName.size() - 3));
    if (!isWellFormedNoteId(id)) continue;

    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(dirFd.fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_DIR;
    }
    int fd = -1;
    if (type == DT_REG) {
      fd = ::openat(dirFd.fd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    } else if (type == DT_LNK) {
      // A link is a note only when it resolves to a file directly in the
      // folder (the id rule's location check).
      fs::path resolved = fs::canonical(resolvedRoot / fileName, ec);
      if (ec || resolved.parent_path() != resolvedRoot) continue;
      fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    } else {
      continue;  // sub-folders, FIFOs, sockets, devices
    }

    Listed item;
    std::string text;
    if (fd >= 0) {
      Fd file(fd);
      struct stat st {};
      if (::fstat(fd, &st) != 0) continue;
      if (!S_ISREG(st.st_mode)) continue;
      item.modified = st.st_mtim;
      ReadOutcome read = readOpenFile(fd, kListingReadLimit, true);
      if (read.ok) text = std::move(read.text);
    } else {
      // Unreadable: listed under its id, dated when the date is known.
      struct stat st {};
      if (::fstatat(dirFd.fd, entry->d_name, &st, 0) == 0) {
        if (!S_ISREG(st.st_mode)) continue;
        item.modified = st.st_mtim;
      }
    }
    item.note = listedNote(std::move(id), text);
    listed.push_back(std::move(item));
  }

  std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec > b.modified.tv_nsec;
    return a.note.id < b.note.id;
  });
  size_t keep = listed.size();
  if (limit > 0 && static_cast<uint64_t>(limit) < keep) keep = static_cast<size_t>(limit);
  std::vector<Note> notes;
  notes.reserve(keep);
  for (size_t i = 0; i < keep; ++i) {
    listed[i].note.age = static_cast<int64_t>(i);
    notes.push_back(std::move(listed[i].note));
  }
  return notes;
}

Result<std::string> FileStore::body(const std::string& id) {
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  return readNote(file);
}

Result<std::string> FileStore::plainText(const std::string& id) {
  CORVANE_TRY_ASSIGN(text, body(id));
  return htmlToText(text);
}

std::vector<std::pair<std::string, std::string>> FileStore::plainTexts(const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& id : ids) {
    auto text = plainText(id);
    if (text) out.emplace_back(id, std::move(*text));
  }
  return out;
}

std::map<std::string, std::string> FileStore::bodies(const std::vector<std::string>& ids) {
  std::map<std::string, std::string> out;
  for (const std::string& id : ids) {
    auto text = body(id);
    if (text) out[id] = std::move(*text);
  }
  return out;
}

std::map<std::string, int64_t> FileStore::attachmentCounts(const std::vector<std::string>& ids) {
  std::map<std::string, int64_t> out;
  for (const std::string& id : ids) out[id] = 0;
  return out;
}

std::map<std::string, NativeAttachmentBackup> FileStore::backupAttachments(const std::vector<std::string>& ids) {
  return {};
}

Result<void> FileStore::appendHTML(const std::string& id, const std::string& html) {
  CORVANE_TRY(ensureFolder());
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  ReadOutcome current = readNoteFile(file, kBodyReadLimit);
  if (!current.ok && !current.missing) return fail("cannot read note: " + current.message);
  auto written = writeFileAtomic(file, current.text + html, 0600);
  if (!written) return fail("cannot append to note: " + written.error());
  return ok();
}

Result<SetBodyOutcome> FileStore::setBody(const std::string& id, const std::string& html, bool force) {
  CORVANE_TRY(ensureFolder());
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  auto written = writeFileAtomic(file, html, 0600);
  if (!written) return fail("cannot write note: " + written.error());
  return SetBodyOutcome{};
}

Result<std::string> FileStore::createNote(const std::string& name, const std::string& html) {
  CORVANE_TRY(ensureFolder());
  const std::string stem = noteIdStem(name);
  const std::string text = name + "\n" + html;
  for (int n = 1; n <= 100000; ++n) {
    std::string id = n == 1 ? stem : stem + "-" + std::to_string(n);
    CORVANE_TRY_ASSIGN(file, noteFile(id));
    // Two notes created at once with the same title must not overwrite each
    // other, and a crash must not leave an empty note behind.
    CORVANE_TRY_ASSIGN(created, createFileAtomic(file, text, 0600));
    if (!created) continue;
    return id;
  }
  return fail(errnoMessage(EEXIST));
}

Result<void> FileStore::renameNote(const std::string& id, const std::string& name) {
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  ReadOutcome current = readNoteFile(file, kBodyReadLimit);
  if (!current.ok && !current.missing) return fail("cannot read note: " + current.message);
  std::string oldTitle;
  std::string plain = htmlToText(current.text);
  size_t start = 0;
  while (start <= plain.size()) {
    size_t nl = plain.find('\n', start);
    std::string_view line = trimUnicodeWhitespace(
        std::string_view(plain).substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (!line.empty()) {
      oldTitle = line;
      break;
    }
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  auto written = writeFileAtomic(file, replaceTitle(current.text, oldTitle, name), 0600);
  if (!written) return fail(written.error());
  return ok();
}

Result<void> FileStore::deleteNote(const std::string& id) {
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  // The folder entry itself goes: when it is a link to another note in the
  // folder, that note stays.
  fs::path entry = file.parent_path() / (id + ".md");
  if (::unlink(entry.c_str()) != 0) return fail("cannot delete note: " + errnoMessage(errno));
  return ok();
}

Result<std::vector<Note>> FileStore::searchNames(const std::string& query) {
  CORVANE_TRY_ASSIGN(all, listNotes(0));
  std::string q = lowerCaseText(query);
  std::vector<Note> out;
  for (Note& note : all)
    if (lowerCaseText(note.name).find(q) != std::string::npos) out.push_back(std::move(note));
  return out;
}

Result<std::vector<Note>> FileStore::searchNotes(const std::string& query) {
  CORVANE_TRY_ASSIGN(all, listNotes(0));
  std::string q = lowerCaseText(query);
  std::vector<Note> out;
  for (Note& note : all) {
    if (lowerCaseText(note.name).find(q) != std::string::npos ||
        lowerCaseText(note.preview).find(q) != std::string::npos)
      out.push_back(std::move(note));
  }
  return out;
}

Result<std::vector<Note>> FileStore::findNotes(const std::vector<std::string>& ids,
                                               const std::vector<std::string>& names) {
  CORVANE_TRY_ASSIGN(all, listNotes(0));
  std::set<std::string> idSet(ids.begin(), ids.end());
  std::set<std::string> nameSet(names.begin(), names.end());
  std::vector<Note> out;
  for (Note& note : all)
    if (idSet.count(note.id) || nameSet.count(note.name)) out.push_back(std::move(note));
  return out;
}

}  // namespace corvane::notes
