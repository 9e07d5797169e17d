#include "notes/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <functional>
#include <set>
#include <unordered_map>

#include "core/files.h"
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
    // Unicode white space (U+2028, no-break space, …) counts as blank here as
    // it does for the title itself, so naming and renaming agree on the line.
    std::string_view line =
        trimUnicodeWhitespace(text.substr(start, nl == std::string_view::npos ? text.npos : nl - start));
    if (!line.empty()) return line;
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return {};
}

// Where the note's own text starts: after a byte-order mark and a leading
// YAML front matter block ("---" up to the next "---" or "..." line). A block
// that never closes is text.
size_t contentStart(std::string_view text) {
  size_t at = startsWith(text, "\xEF\xBB\xBF") ? 3 : 0;
  auto lineAt = [&](size_t from, size_t* next) {
    size_t nl = text.find('\n', from);
    *next = nl == std::string_view::npos ? text.size() : nl + 1;
    return trimSpacesAndTabs(text.substr(from, (nl == std::string_view::npos ? text.size() : nl) - from));
  };
  size_t next = 0;
  if (lineAt(at, &next) != "---" || next >= text.size() || text[next - 1] != '\n') return at;
  for (size_t line = next; line < text.size();) {
    std::string_view l = lineAt(line, &next);
    if (l == "---" || l == "...") return next;
    line = next;
  }
  return at;
}

// A Markdown heading's text without its "#" marks ("## Plan ##" → "Plan").
std::string_view headingText(std::string_view line) {
  size_t hashes = line.find_first_not_of('#');
  if (hashes == std::string_view::npos) return line.size() <= 6 ? std::string_view() : line;
  if (hashes == 0 || hashes > 6) return line;
  if (line[hashes] != ' ' && line[hashes] != '\t') return line;  // "#tag" is text
  std::string_view rest = trimSpacesAndTabs(line.substr(hashes));
  size_t end = rest.find_last_not_of('#');
  if (end != std::string_view::npos && end + 1 < rest.size() && (rest[end] == ' ' || rest[end] == '\t'))
    rest = trimSpacesAndTabs(rest.substr(0, end + 1));
  return rest;
}

// The first line of `text` that has something to show, as a title, and the
// text after it.
std::pair<std::string_view, std::string_view> titleLine(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view title = headingText(trimSpacesAndTabs(text.substr(start, end - start)));
    std::string_view rest = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!title.empty()) return {title, rest};
    start = end + 1;
  }
  return {};
}

// The listing's name and preview of a file. The name is its first non-empty
// line (a heading without its marks); when that line is markup (a body saved
// by the tray as "<div>Title</div>…"), the first line of its plain text
// instead, so cards never show raw tags. The preview is the plain text after
// the title line.
Note listedNote(std::string id, std::string_view text) {
  Note note;
  std::string_view content = text.substr(contentStart(text));
  std::string plain = htmlToText(content);
  auto [plainTitle, plainRest] = titleLine(plain);
  std::string_view raw = firstNonEmptyLine(content);
  if (!raw.empty() && raw.front() != '<') {
    note.name = std::string(titleLine(content).first);
  } else {
    note.name = std::string(plainTitle);
  }
  if (note.name.empty()) note.name = id;
  note.preview = previewText(plainRest, "");
  note.id = std::move(id);
  return note;
}

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

// What this process last left at a note path: the file it wrote there
// (device, inode, size, modification time), or nothing after it deleted it.
struct FileIdentity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};

  static FileIdentity of(const struct stat& st) { return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }
  bool operator==(const FileIdentity& o) const {
    if (exists != o.exists) return false;
    return !exists || (dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
                       mtime.tv_nsec == o.mtime.tv_nsec);
  }
};

std::mutex& ownWritesMutex() {
  static std::mutex m;
  return m;
}
std::unordered_map<std::string, FileIdentity>& ownWrites() {
  static auto* writes = new std::unordered_map<std::string, FileIdentity>();
  return *writes;
}

void recordOwnWrite(const fs::path& file, const FileIdentity& identity) {
  std::lock_guard lock(ownWritesMutex());
  auto& writes = ownWrites();
  if (writes.size() > 4096) writes.clear();  // only recent writes matter
  writes[file.string()] = identity;
}

FileIdentity identityAt(const fs::path& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return {};
  return FileIdentity::of(st);
}

// Writes `text` to `file` atomically, unless the file is no longer `expected`
// (false: someone replaced or changed it since it was read). The written file
// is remembered as this process's own.
Result<bool> replaceIfUnchanged(const fs::path& file, const std::string& text, const FileIdentity& expected) {
  FileIdentity written;
  auto replaced = writeFileAtomicChecked(file, text, 0600, [&](int tempFd) {
    struct stat st {};
    if (::fstat(tempFd, &st) != 0) return false;
    written = FileIdentity::of(st);
    return identityAt(file) == expected;
  });
  if (replaced && *replaced) {
    // When the file had changed since this process last wrote it, what is
    // there now also holds someone else's change: not ours alone.
    std::lock_guard lock(ownWritesMutex());
    auto& writes = ownWrites();
    auto it = writes.find(file.string());
    if (it != writes.end() && !(it->second == expected)) {
      writes.erase(it);
    } else {
      if (writes.size() > 4096) writes.clear();  // only recent writes matter
      writes[file.string()] = written;
    }
  }
  return replaced;
}

// Runs one read-modify-write of a note file, safe against other writers:
// an advisory lock on the file read keeps cooperating processes out, and the
// file must still be the one read when the new text is renamed over it
// (checked again under the lock, then just before the rename); otherwise the
// change is made again on what is there now. A missing file reads as empty
// text when `createMissing`; text that cannot be read is never replaced.
Result<void> modifyNoteFile(const fs::path& file, bool createMissing, const std::string& failure,
                            const std::function<std::string(const std::string& current)>& change) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    Fd f(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (f.fd < 0) {
      if (errno != ENOENT) return fail("cannot read note: " + errnoMessage(errno));
      if (!createMissing) return fail("cannot read note: " + errnoMessage(ENOENT));
      // Nothing to lock yet: the new file must appear only where none is.
      auto written = replaceIfUnchanged(file, change(std::string()), FileIdentity{});
      if (!written) return fail(failure + written.error());
      if (*written) return ok();
      continue;
    }
    while (::flock(f.fd, LOCK_EX) != 0) {
      if (errno != EINTR) return fail(failure + errnoMessage(errno));
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return fail("cannot read note: " + errnoMessage(errno));
    const FileIdentity read = FileIdentity::of(st);
    // Replaced while we waited for the lock: the lock is on an old file.
    if (!(identityAt(file) == read)) continue;
    ReadOutcome current = readOpenFile(f.fd, FileStore::kBodyReadLimit, false);
    if (!current.ok) return fail("cannot read note: " + current.message);
    // Changed by a writer that takes no lock while we read it.
    if (!(identityAt(file) == read)) continue;
    auto written = replaceIfUnchanged(file, change(current.text), read);
    if (!written) return fail(failure + written.error());
    if (*written) return ok();
  }
  return fail(failure + "the file keeps changing");
}

}  // namespace

bool isWellFormedNoteId(std::string_view id) {
  if (id.empty() || id.size() > kMaxNoteIdBytes) return false;
  if (id.front() == '.') return false;  // also ".", ".." and hidden files
  if (!isValidUtf8(id)) return false;
  for (size_t i = 0; i < id.size();) {
    const char32_t c = decodeCodePoint(id, i);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return false;
  }
  return true;
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

std::string renamedText(std::string_view text, std::string_view newName) {
  // Front matter and a byte-order mark stay where they are; a heading keeps
  // its marks.
  const size_t start = contentStart(text);
  std::string_view head = text.substr(0, start), content = text.substr(start);
  // Front matter that closes at the very end of the file has no line end of
  // its own: the title must not be glued onto its closing fence.
  std::string fence;
  if (!head.empty() && head.back() != '\n' && content.empty()) fence = "\n";
  std::string_view raw = firstNonEmptyLine(content);
  if (!raw.empty() && raw.front() == '#' && headingText(raw) != raw) {
    size_t marks = raw.find_first_not_of('#');
    const size_t at = static_cast<size_t>(raw.data() - content.data());
    size_t lineEnd = content.find('\n', at);
    if (lineEnd == std::string_view::npos) lineEnd = content.size();
    else if (lineEnd > at && content[lineEnd - 1] == '\r') --lineEnd;
    return std::string(head) + std::string(content.substr(0, at)) + std::string(raw.substr(0, marks)) + " " +
           std::string(newName) + std::string(content.substr(lineEnd));
  }
  std::string plain = htmlToText(content);
  std::string oldTitle(titleLine(plain).first);
  return std::string(head) + fence + replaceTitle(content, oldTitle, newName);
}

bool isOwnNoteWrite(const std::filesystem::path& file) {
  const FileIdentity now = identityAt(file);
  std::lock_guard lock(ownWritesMutex());
  auto it = ownWrites().find(file.string());
  return it != ownWrites().end() && it->second == now;
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

  // First the dates only (one stat per entry), then the texts of the notes
  // that are kept: a grid of 12 from a vault of 40,000 reads 12 files.
  struct Entry {
    std::string id;
    std::string fileName;
    fs::path resolved;  // for links: the file they lead to
    bool link = false;
    struct timespec modified {};
  };
  std::vector<Entry> entries;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string_view fileName = entry->d_name;
    if (fileName.size() <= 3 || !endsWith(fileName, ".md")) continue;
    std::string id(fileName.substr(0, fileName.size() - 3));
    if (!isWellFormedNoteId(id)) continue;

    unsigned char type = entry->d_type;
    struct stat st {};
    if (type == DT_UNKNOWN || type == DT_REG) {
      if (::fstatat(dirFd.fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_DIR;
    }
    Entry e;
    e.id = std::move(id);
    e.fileName = std::string(fileName);
    if (type == DT_REG) {
      e.modified = st.st_mtim;
    } else if (type == DT_LNK) {
      // A link is a note only when it resolves to a file directly in the
      // folder (the id rule's location check).
      fs::path resolved = fs::canonical(resolvedRoot / fileName, ec);
      if (ec || resolved.parent_path() != resolvedRoot) continue;
      if (::stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      e.link = true;
      e.resolved = std::move(resolved);
      e.modified = st.st_mtim;
    } else {
      continue;  // sub-folders, FIFOs, sockets, devices
    }
    entries.push_back(std::move(e));
  }

  auto newer = [](const Entry& a, const Entry& b) {
    if (a.modified.tv_sec != b.modified.tv_sec) return a.modified.tv_sec > b.modified.tv_sec;
    if (a.modified.tv_nsec != b.modified.tv_nsec) return a.modified.tv_nsec > b.modified.tv_nsec;
    return a.id < b.id;
  };
  size_t keep = entries.size();
  if (limit > 0 && static_cast<uint64_t>(limit) < keep) {
    keep = static_cast<size_t>(limit);
    std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keep), entries.end(), newer);
  } else {
    std::sort(entries.begin(), entries.end(), newer);
  }
  std::vector<Note> notes;
  notes.reserve(keep);
  for (size_t i = 0; i < keep; ++i) {
    Entry& e = entries[i];
    int fd = e.link ? ::open(e.resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)
                    : ::openat(dirFd.fd, e.fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    std::string text;
    if (fd >= 0) {
      // Unreadable (or replaced by something else meanwhile): listed under its id.
      Fd file(fd);
      ReadOutcome read = readOpenFile(fd, kListingReadLimit, true);
      if (read.ok) text = std::move(read.text);
    }
    Note note = listedNote(std::move(e.id), text);
    note.age = static_cast<int64_t>(i);
    notes.push_back(std::move(note));
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
  return modifyNoteFile(file, true, "cannot append to note: ",
                        [&](const std::string& current) { return current + html; });
}

Result<SetBodyOutcome> FileStore::setBody(const std::string& id, const std::string& html, bool force) {
  CORVANE_TRY(ensureFolder());
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  // Goes through the same read as an edit: a file that cannot be read as
  // text is left alone instead of being replaced unseen.
  CORVANE_TRY(modifyNoteFile(file, true, "cannot write note: ", [&](const std::string&) { return html; }));
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
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) recordOwnWrite(file, FileIdentity::of(st));
    return id;
  }
  return fail(errnoMessage(EEXIST));
}

Result<void> FileStore::renameNote(const std::string& id, const std::string& name) {
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  return modifyNoteFile(file, true, "", [&](const std::string& current) { return renamedText(current, name); });
}

Result<void> FileStore::deleteNote(const std::string& id) {
  CORVANE_TRY_ASSIGN(file, noteFile(id));
  // The folder entry itself goes: when it is a link to another note in the
  // folder, that note stays.
  fs::path entry = file.parent_path() / (id + ".md");
  if (::unlink(entry.c_str()) != 0) return fail("cannot delete note: " + errnoMessage(errno));
  recordOwnWrite(entry, FileIdentity{});
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
    bool hit = lowerCaseText(note.name).find(q) != std::string::npos ||
               lowerCaseText(note.preview).find(q) != std::string::npos;
    // The preview is cut: a longer note is searched through its whole text.
    if (!hit && note.preview.size() >= kPreviewTextLimit) {
      auto text = plainText(note.id);
      hit = text && lowerCaseText(*text).find(q) != std::string::npos;
    }
    if (hit) out.push_back(std::move(note));
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
