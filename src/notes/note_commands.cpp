#include "notes/note_commands.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "bridge/shell_hooks.h"
#include "core/files.h"
#include "core/queue.h"
#include "core/text.h"
#include "insights/stats.h"
#include "notes/markup.h"
#include "notes/store_cache.h"
#include "records/settings.h"
#include "records/settings_services.h"

namespace corvane::notes {

namespace fs = std::filesystem;
using bridge::CommandResult;

namespace {

// A missing text argument reads as empty text.
std::string textArg(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

std::optional<std::string> optionalTextArg(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  if (v && v->is_string()) return v->get<std::string>();
  return std::nullopt;
}

std::optional<int64_t> limitArg(const Json& args) {
  const Json* v = member(args, "limit");
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) return static_cast<int64_t>(std::min<uint64_t>(v->get<uint64_t>(), INT64_MAX));
  if (v->is_number_integer()) return v->get<int64_t>();
  return std::nullopt;
}

bool forceArg(const Json& args) {
  const Json* v = member(args, "force");
  return v && v->is_boolean() && v->get<bool>();
}

std::shared_ptr<StoreCache> cache() {
  auto c = StoreCache::shared();
  c->ensureWatchOnce();
  return c;
}

Result<std::shared_ptr<NoteStore>> storeOf(const std::shared_ptr<StoreCache>& c) {
  auto store = c->store();
  if (!store) return fail("notes are not available");
  return store;
}

// Usage events are queued on the statistics queue and never fail a command.
void recordThought(int64_t words) { insights::Stats::shared().record(insights::DailyStats{.thoughts = 1, .words = words}); }

CommandResult notesReply(const std::vector<Note>& notes) { return encodeNotesJson(notes); }

// The shell's file panel: on the main thread, or by a synchronous hop to it.
std::optional<std::string> chooseImportFile() {
  auto hooks = bridge::shellHooks();
  if (!hooks.chooseImportFile) return std::nullopt;
  if (isMainThread()) return hooks.chooseImportFile();
  std::optional<std::string> chosen;
  mainQueue().runSync([&] { chosen = hooks.chooseImportFile(); });
  return chosen;
}

}  // namespace

int64_t countWords(std::string_view text) {
  int64_t words = 0;
  bool inWord = false;
  for (size_t i = 0; i < text.size();) {
    const bool space = isUnicodeWhitespace(decodeCodePoint(text, i));
    if (!space && !inWord) ++words;
    inWord = !space;
  }
  return words;
}

std::string importedBody(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 16);
  size_t start = 0;
  auto line = [&](std::string_view l) {
    out += "<div>";
    out += escapeHtmlText(l);
    out += "</div>";
  };
  for (size_t i = 0; i < text.size(); ++i) {
    // "\r\n", then a lone "\r", end a line like "\n".
    if (text[i] == '\n' || text[i] == '\r') {
      line(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  line(text.substr(start));
  return out;
}

CommandResult listNotesCommand(const Json& args) {
  CORVANE_TRY_ASSIGN(grid, cache()->list(limitArg(args)));
  return notesReply(grid);
}

CommandResult getNoteBodyCommand(const Json& args) {
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  CORVANE_TRY_ASSIGN(body, store->body(textArg(args, "id")));
  // Bytes that are not UTF-8 become U+FFFD rather than an empty reply that
  // the editor would then save over the note.
  return dumpCompact(Json(std::move(body)));
}

CommandResult setNoteBodyCommand(const Json& args) {
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  const std::string id = textArg(args, "id");
  const std::string html = textArg(args, "html");
  CORVANE_TRY_ASSIGN(outcome, store->setBody(id, html, forceArg(args)));
  c->bodyChanged(id, std::nullopt, html);
  std::string reply = dumpCompact(setBodyOutcomeToJson(outcome));
  recordThought(0);
  return reply;
}

CommandResult appendNoteCommand(const Json& args) {
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  const std::string id = textArg(args, "id");
  const std::string html = textArg(args, "html");
  CORVANE_TRY(store->appendHTML(id, html));
  const std::string text = htmlToText(html);
  c->bodyChanged(id, text, std::nullopt);
  recordThought(countWords(text));
  return bridge::replyNull();
}

CommandResult createNoteCommand(const Json& args) {
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  const std::string name = textArg(args, "name");
  const std::optional<std::string> html = optionalTextArg(args, "html");
  CORVANE_TRY_ASSIGN(id, store->createNote(name, html.value_or(std::string())));
  // A store may reuse ids: the new note must not come back hidden or pinned.
  (void)records::Settings::update([&id](records::Settings& s) {
    s.hidden.erase(std::remove(s.hidden.begin(), s.hidden.end(), id), s.hidden.end());
    s.pinned.erase(std::remove(s.pinned.begin(), s.pinned.end(), id), s.pinned.end());
  });
  const std::string plain = htmlToText(html.value_or(std::string()));
  c->noteCreated(id, name, plain, html, /*announce=*/true);
  std::string reply = jsonStringLiteral(id);
  recordThought(countWords(name + " " + plain));
  return reply;
}

CommandResult renameNoteCommand(const Json& args) {
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  const std::string id = textArg(args, "id");
  const std::string name = textArg(args, "name");
  std::optional<std::string> oldName;
  for (const auto& n : c->knownNotes())
    if (n.id == id) {
      oldName = n.name;
      break;
    }
  CORVANE_TRY(store->renameNote(id, name));
  c->titleChanged(id, name);
  if (oldName) (void)records::SettingsStore::shared().renameProjectKeys(*oldName, name);
  return bridge::replyNull();
}

CommandResult deleteNoteCommand(const Json& args) {
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  const std::string id = textArg(args, "id");
  CORVANE_TRY(store->deleteNote(id));
  (void)records::Settings::update([&id](records::Settings& s) {
    s.hidden.erase(std::remove(s.hidden.begin(), s.hidden.end(), id), s.hidden.end());
    s.pinned.erase(std::remove(s.pinned.begin(), s.pinned.end(), id), s.pinned.end());
    s.cardOrder.erase(std::remove(s.cardOrder.begin(), s.cardOrder.end(), id), s.cardOrder.end());
  });
  c->noteDeleted(id);
  return bridge::replyNull();
}

CommandResult searchNotesCommand(const Json& args) {
  const std::string query = textArg(args, "query");
  if (trimUnicodeWhitespace(query).empty()) return std::string("[]");
  return notesReply(cache()->search(query));
}

CommandResult deepSearchNotesCommand(const Json& args) {
  const std::string query = textArg(args, "query");
  if (trimUnicodeWhitespace(query).empty()) return std::string("[]");
  return notesReply(cache()->deepSearch(query));
}

CommandResult importFileCommand(const Json&) {
  const std::optional<std::string> chosen = chooseImportFile();
  if (!chosen) return bridge::replyNull();
  const fs::path path(*chosen);

  const std::string extension = toLowerAscii(path.has_extension() ? path.extension().string().substr(1) : "");
  static const char* const kAccepted[] = {"txt", "text", "md", "markdown", "log"};
  if (std::none_of(std::begin(kAccepted), std::end(kAccepted), [&](const char* e) { return extension == e; }))
    return fail("Only text or .md files can be imported (got ." + extension + ").");

  const std::string tooLarge = "That file is too large to import (over 2 MB).";
  // Only a regular file is read: a FIFO or device named like a text file
  // would block the command or never end.
  auto read = readRegularFile(path, kMaxImportBytes, true);
  const std::string unreadable = "Could not read the file as UTF-8 text. It may be binary.";
  if (!read) {
    if (read.message() == "file too large") return fail(tooLarge);
    if (read.message() == "not a regular file") return fail("Only regular files can be imported.");
    return fail(unreadable);
  }
  std::string text = std::move(*read);
  if (!isValidUtf8(text)) return fail(unreadable);
  if (startsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);  // a byte-order mark is not content

  const std::string name = path.stem().string();
  auto c = cache();
  CORVANE_TRY_ASSIGN(store, storeOf(c));
  CORVANE_TRY_ASSIGN(id, store->createNote(name, importedBody(text)));
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      plain += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      plain += text[i];
    }
  }
  c->noteCreated(id, name, plain, std::nullopt, /*announce=*/true);
  return jsonStringLiteral(id);
}

void registerNoteCommands(bridge::Router& router) {
  using bridge::HandlerGroup;
  router.add(HandlerGroup::Notes, "list_notes", listNotesCommand);
  router.add(HandlerGroup::Notes, "get_note_body", getNoteBodyCommand);
  router.add(HandlerGroup::Notes, "set_note_body", setNoteBodyCommand);
  router.add(HandlerGroup::Notes, "append_note", appendNoteCommand);
  router.add(HandlerGroup::Notes, "create_note", createNoteCommand);
  router.add(HandlerGroup::Notes, "rename_note", renameNoteCommand);
  router.add(HandlerGroup::Notes, "delete_note", deleteNoteCommand);
  router.add(HandlerGroup::Notes, "search_notes", searchNotesCommand);
  router.add(HandlerGroup::Notes, "deep_search_notes", deepSearchNotesCommand);
  router.add(HandlerGroup::Notes, "import_file", importFileCommand);
}

void connectSettingsServices() {
  records::updateSettingsServices([](records::SettingsServices& s) {
    s.noteNames = [](size_t limit) { return StoreCache::shared()->knownNames(limit); };
    s.hiddenNotes = []() -> Result<Json> { return notesToJson(StoreCache::shared()->hiddenNotes()); };
    s.visibleCount = []() -> Result<int64_t> { return StoreCache::shared()->visibleCount(); };
    s.hasNoteNamed = [](const std::string& name) { return StoreCache::shared()->hasNoteNamed(name); };
    s.createNote = [](const std::string& name) -> Result<std::string> {
      auto store = StoreCache::shared()->store();
      if (!store) return fail("notes are not available");
      return store->createNote(name, "");
    };
    s.noteCreated = [](const std::string& id, const std::string& name) {
      StoreCache::shared()->noteCreated(id, name, "", std::string(), /*announce=*/true);
    };
    s.noteSourceChanged = [] {
      auto c = StoreCache::shared();
      c->invalidate();
      c->watchSource();
    };
  });
}

}  // namespace corvane::notes
