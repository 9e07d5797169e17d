#include "capture/clip_pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <thread>

#include "bridge/shell_hooks.h"
#include "capture/clip_source.h"
#include "capture/mouse_hook.h"
#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/text.h"
#include "insights/stats.h"
#include "notes/note_store.h"
#include "notes/store_cache.h"
#include "records/app_log.h"
#include "records/notices.h"

namespace corvane::capture {

namespace {

constexpr std::string_view kRawClips = "Raw Clips";
constexpr std::string_view kFollowup = "Followup";

class StatusPanelHUD final : public ClipHUD {
 public:
  void show(const std::string& text, bool success) override { records::showInStatusPanel(text, !success); }
};

std::string isoTime(WallTime at) {
  std::time_t t = std::chrono::system_clock::to_time_t(at);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// Writes all of `data` at the end of the file; never truncates or replaces
// what is there (a file we cannot read is still appended to, not rewritten).
Result<void> appendOnly(const std::filesystem::path& path, std::string_view data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail("couldn't open " + path.string() + ": " + errnoMessage(errno));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      return fail("couldn't write " + path.string() + ": " + errnoMessage(e));
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) return fail("couldn't write " + path.string() + ": " + errnoMessage(errno));
  return ok();
}

std::string displayName(const ClipTarget& target) {
  switch (target.kind) {
    case ClipTargetKind::Note: return target.name;
    case ClipTargetKind::NewNote: return std::string(trimUnicodeWhitespace(target.name));
    case ClipTargetKind::DefaultNote: return std::string(kRawClips);
    case ClipTargetKind::Followup: return std::string(kFollowup);
  }
  return std::string(kRawClips);
}

// The link lookup on a thread of its own, waited for at most `limit`; a lookup
// that overruns finishes later into a box nobody reads.
SourceLookupResult lookUpWithin(std::shared_ptr<SourceLinkLookup> lookup, const FrontAppSnapshot& app,
                                Duration limit) {
  struct Box {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    SourceLookupResult result;
  };
  if (!lookup) return {};
  auto box = std::make_shared<Box>();
  try {
    std::thread([box, lookup, app] {
      auto result = lookup->lookUp(app);
      std::lock_guard lock(box->mutex);
      box->result = std::move(result);
      box->done = true;
      box->cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return {};
  }
  std::unique_lock lock(box->mutex);
  if (!box->cv.wait_for(lock, limit, [&] { return box->done; })) return {};
  return box->result;
}

}  // namespace

std::shared_ptr<ClipHUD> statusPanelHUD() { return std::make_shared<StatusPanelHUD>(); }

ClipServices defaultClipServices() {
  ClipServices s;
  s.store = [] { return notes::activeNoteStore(); };
  s.knownNotes = [] { return notes::StoreCache::shared()->knownNotes(); };
  s.noteCreated = [](const std::string& id, const std::string& name) {
    notes::StoreCache::shared()->noteCreated(id, name, "", std::nullopt, true);
  };
  s.bodyChanged = [](const std::string& id, const std::string& text) {
    notes::StoreCache::shared()->bodyChanged(id, text, std::nullopt);
  };
  s.loadSettings = [] { return records::Settings::load(); };
  s.updateSettings = [](const std::function<void(records::Settings&)>& m) { return records::Settings::update(m); };
  s.recordStats = [](int64_t clips, int64_t followups, int64_t words) {
    insights::Stats::shared().record({.words = words, .clips = clips, .followups = followups});
  };
  s.recordDestination = [](const std::string& id, const std::string& name) {
    insights::Stats::shared().recordDestination(id, name);
  };
  s.emitEvent = [](std::string_view name, std::string_view payload) {
    mainQueue().post([n = std::string(name), p = std::string(payload)] { bridge::emitEvent(n, p); });
  };
  s.showWindow = [] {
    mainQueue().post([] {
      if (auto hook = bridge::shellHooks().showWindow) hook();
    });
  };
  s.onboardingActive = [] { return MouseHook::shared().onboardingActive(); };
  // Global input works when the input service runs (an X11 session with
  // XTEST and XInput2); a Wayland session is not trusted.
  s.trusted = [] {
    auto service = MouseHook::shared().service();
    return service && service->running();
  };
  s.fallbackFile = homeDirectory() / "Desktop" / "Corvane" / "clips-fallback.txt";
  s.outboxFile = dataDirectory() / "clips-outbox.jsonl";
  return s;
}

std::string normalizeClipText(std::string_view raw) {
  std::string valid = sanitizeUtf8(raw);
  std::string out;
  out.reserve(valid.size());
  bool pendingSpace = false;
  size_t i = 0;
  while (i < valid.size()) {
    size_t start = i;
    char32_t cp = decodeCodePoint(valid, i);
    if (i == start) ++i;  // never stall
    if (cp == 0) continue;
    if (isUnicodeWhitespace(cp)) {
      pendingSpace = true;
      continue;
    }
    if (pendingSpace && !out.empty()) out.push_back(' ');
    pendingSpace = false;
    out.append(valid, start, i - start);
  }
  return out;
}

int64_t countWords(std::string_view text) {
  int64_t words = 0;
  bool inWord = false;
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    char32_t cp = decodeCodePoint(text, i);
    if (i == start) ++i;
    if (isUnicodeWhitespace(cp)) {
      inWord = false;
    } else if (!inWord) {
      inWord = true;
      ++words;
    }
  }
  return words;
}

std::string fallbackEntry(WallTime at, std::string_view text, std::string_view source) {
  std::string entry = "[" + isoTime(at) + "] ";
  entry.append(text);
  if (!source.empty()) {
    entry += "\nSource: ";
    entry.append(source);
  }
  entry += "\n\n";
  return entry;
}

ClipPipeline::ClipPipeline(const Clock& clock, std::shared_ptr<TaskQueue> queue,
                           std::shared_ptr<SelectionSource> selection, std::shared_ptr<SourceLinkLookup> lookup,
                           std::shared_ptr<ClipHUD> hud, ClipServices services)
    : clock_(clock),
      queue_(std::move(queue)),
      selection_(std::move(selection)),
      lookup_(std::move(lookup)),
      hud_(hud ? std::move(hud) : statusPanelHUD()),
      services_(std::move(services)) {}

void ClipPipeline::submit(const ClipTarget& target, const std::string& source) {
  FrontAppSnapshot app;
  if (selection_) app = selection_->frontApp();
  queue_->post([this, target, source, app] { run(target, source, app); });
}

void ClipPipeline::retryOutboxLater() {
  queue_->post([this] { (void)retryOutbox(); });
}

void ClipPipeline::flush() {
  queue_->runSync([] {});
}

void ClipPipeline::emit(std::string_view name, std::string_view payload) {
  if (services_.emitEvent) services_.emitEvent(name, payload);
}

void ClipPipeline::run(const ClipTarget& target, const std::string& source, const FrontAppSnapshot& app) {
  const bool isFollowup = target.kind == ClipTargetKind::Followup;
  const char* onboardEvent = isFollowup ? "onboard:followup" : "onboard:clip";
  auto tutorial = [&] {
    hud_->show(isFollowup ? "✓ Saved to 'Followup'" : "✓ Saved to 'Raw Clips'", true);
    emit(onboardEvent, dumpCompact(Json{{"source", source}}));
  };

  // 1. The tutorial only shows what would happen.
  if (services_.onboardingActive && services_.onboardingActive()) return tutorial();

  // 2. Debounce on the monotonic clock.
  const auto key = targetKey(target);
  const auto now = clock_.monotonicNow();
  if (auto it = lastClipPerformedAt_.find(key);
      it != lastClipPerformedAt_.end() && now - it->second <= kPipelineDebounce)
    return;
  lastClipPerformedAt_[key] = now;
  if (services_.onboardingActive && services_.onboardingActive()) return tutorial();

  // 3. Without global input there is no selection to read.
  if (services_.trusted && !services_.trusted()) {
    hud_->show("✕ Grant Accessibility", false);
    if (services_.showWindow) services_.showWindow();
    emit("perm:needed", R"({"kind":"accessibility"})");
    return;
  }
  // (There is no notes-application permission to ask for on this platform.)

  // 5. The link lookup runs beside the selection.
  std::optional<SourceLookupResult> looked;
  std::mutex lookedMutex;
  std::condition_variable lookedCv;
  std::thread lookupThread([&] {
    auto result = lookUpWithin(lookup_, app, services_.linkWait);
    std::lock_guard lock(lookedMutex);
    looked = std::move(result);
    lookedCv.notify_all();
  });
  struct Joiner {
    std::thread& t;
    ~Joiner() { t.join(); }
  } joiner{lookupThread};

  // 6. Selection: accessibility, else the copy path.
  std::optional<std::string> rawText;
  std::optional<std::string> pasteboardLink, html;
  if (selection_) {
    auto read = selection_->readSelection(app);
    if (read && !read->empty()) {
      rawText = std::move(read);
    } else {
      auto copied = selection_->copySelection(app);
      rawText = std::move(copied.text);
      pasteboardLink = std::move(copied.pasteboardLink);
      html = std::move(copied.html);
    }
  }

  // 7. One line of text.
  std::string text = rawText ? normalizeClipText(*rawText) : std::string();
  if (text.empty()) {
    hud_->show("✕ Nothing selected", false);
    return;
  }

  // 8. A copied table keeps its structure.
  std::optional<std::string> richHTML;
  if (html) richHTML = sanitizeClipHTML(*html);
  if (!pasteboardLink && html) pasteboardLink = htmlSourceLink(*html);

  // 9. The lookup had its time (lookUpWithin bounds it).
  SourceLookupResult found;
  {
    std::unique_lock lock(lookedMutex);
    lookedCv.wait(lock, [&] { return looked.has_value(); });
    found = *looked;
  }

  // 10. Source.
  std::string sourceText;
  const auto accessibilityLink = validLink(found.accessibilityURL);
  const auto copiedLink = validLink(pasteboardLink);
  if (auto link = validLink(found.documentURL)) {
    sourceText = *link;
  } else if (accessibilityLink) {
    sourceText = *accessibilityLink;
  } else if (copiedLink) {
    sourceText = *copiedLink;
  } else {
    sourceText = std::string(trimUnicodeWhitespace(app.name));
    if (sourceText.empty()) sourceText = std::string(trimUnicodeWhitespace(app.appId));
  }
  const bool browserWarning = found.permissionDenied && !accessibilityLink && !copiedLink;

  // 11. Destination.
  auto store = services_.store ? services_.store() : nullptr;
  std::string id;
  std::string display = displayName(target);
  switch (target.kind) {
    case ClipTargetKind::Note: id = target.id; break;
    case ClipTargetKind::NewNote: {
      if (display.empty()) {
        hud_->show("✕ Give the note a name", false);
        return;
      }
      auto created = store ? store->createNote(display, "") : Result<std::string>(fail("no note store"));
      if (!created) {
        records::appLog(records::LogLevel::Warn, "capture", "couldn't create note: " + created.error());
        // The text is not dropped with the note: it waits in the fallback file.
        keepInFallback(text, sourceText, true);
        hud_->show("✕ Couldn't create note", false);
        return;
      }
      id = *created;
      (void)services_.updateSettings([&](records::Settings& s) {
        std::erase(s.hidden, id);
        std::erase(s.pinned, id);
      });
      if (services_.noteCreated) services_.noteCreated(id, display);
      break;
    }
    case ClipTargetKind::DefaultNote: id = resolveClipNote(std::string(kRawClips), Kind::RawClips); break;
    case ClipTargetKind::Followup: id = resolveClipNote(std::string(kFollowup), Kind::Followup); break;
  }

  // 12. Compose and append.
  const std::string block = composeClip(text, sourceText,
                                        richHTML ? std::optional<std::string_view>(*richHTML) : std::nullopt);
  Result<void> appended = fail("no note");
  if (store && !id.empty()) appended = store->appendHTML(id, block);

  // 13. Refused: the clip still lands somewhere.
  if (!appended) {
    if (appended.error() == kNotesAuthDenied) {
      hud_->show("✕ Allow Notes access", false);
      return;
    }
    records::appLog(records::LogLevel::Warn, "capture", "clip append failed: " + appended.error());
    keepInFallback(text, sourceText);
    return;
  }

  // 14. Done.
  hud_->show("✓ " + display + (browserWarning ? " · ⚠ allow browser access for the link" : ""), true);
  if (services_.bodyChanged) services_.bodyChanged(id, text);
  if (services_.recordStats) services_.recordStats(isFollowup ? 0 : 1, isFollowup ? 1 : 0, countWords(text));
  if (services_.recordDestination) services_.recordDestination(id, display);
  emit(onboardEvent, "null");
  (void)retryOutbox();
}

std::optional<std::string> ClipPipeline::findNoteByName(notes::NoteStore& store, const std::string& name) {
  if (auto all = store.listNotes(0))
    for (const auto& note : *all)
      if (note.name == name) return note.id;
  if (auto found = store.searchNames(name))
    for (const auto& note : *found)
      if (note.name == name) return note.id;
  return std::nullopt;
}

std::string ClipPipeline::resolveClipNote(const std::string& name, Kind kind) {
  auto settings = services_.loadSettings ? services_.loadSettings() : records::Settings{};
  std::optional<std::string> stored = kind == Kind::RawClips ? settings.rawClipsId : settings.followupId;
  if (stored && stored->empty()) stored.reset();
  auto store = services_.store ? services_.store() : nullptr;
  if (stored) {
    if (services_.knownNotes)
      for (const auto& note : services_.knownNotes())
        if (note.id == *stored) return *stored;
    if (store && store->body(*stored)) return *stored;
  }
  if (!store) return stored.value_or("");
  std::string id;
  if (auto found = findNoteByName(*store, name)) {
    id = *found;
  } else {
    auto created = store->createNote(name, "");
    if (!created) {
      records::appLog(records::LogLevel::Warn, "capture", "couldn't create \"" + name + "\": " + created.error());
      hud_->show("✕ Error", false);
      return stored.value_or("");
    }
    id = *created;
    if (services_.noteCreated) services_.noteCreated(id, name);
  }
  if (services_.updateSettings)
    (void)services_.updateSettings([&](records::Settings& s) {
      (kind == Kind::RawClips ? s.rawClipsId : s.followupId) = id;
    });
  return id;
}

void ClipPipeline::keepInFallback(const std::string& text, const std::string& source, bool quiet) {
  const auto at = clock_.now();
  std::error_code ec;
  std::filesystem::create_directories(services_.fallbackFile.parent_path(), ec);
  auto written = appendOnly(services_.fallbackFile, fallbackEntry(at, text, source));
  if (written) {
    if (!quiet) hud_->show("✓ Saved to file", true);
    (void)retryOutbox();
    return;
  }
  records::appLog(records::LogLevel::Error, "capture", "clip fallback failed: " + written.error());
  std::string line = dumpCompact(Json{{"at", isoTime(at)}, {"text", text}, {"source", source}}) + "\n";
  std::filesystem::create_directories(services_.outboxFile.parent_path(), ec);
  auto kept = appendOnly(services_.outboxFile, line);
  if (!kept) records::appLog(records::LogLevel::Error, "capture", "clip outbox failed: " + kept.error());
  if (!quiet) hud_->show("✕ Couldn't save the clip", false);
}

size_t ClipPipeline::retryOutbox() {
  if (!fileExists(services_.outboxFile)) return 0;
  auto content = readFile(services_.outboxFile);
  if (!content) return 0;
  std::string remaining;
  size_t left = 0;
  bool moved = false;
  std::error_code ec;
  std::filesystem::create_directories(services_.fallbackFile.parent_path(), ec);
  std::string_view all = *content;
  while (!all.empty()) {
    size_t nl = all.find('\n');
    std::string_view line = all.substr(0, nl);
    all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
    if (line.empty()) continue;
    auto parsed = parseJson(line);
    if (!parsed || !parsed->is_object() || !(*parsed)["text"].is_string()) {
      // Kept as is: someone may still want to read it.
      remaining.append(line).push_back('\n');
      ++left;
      continue;
    }
    const auto& j = *parsed;
    std::string at = j.value("at", "");
    std::string text = j.value("text", "");
    std::string source = j.value("source", "");
    std::string entry = "[" + at + "] " + text + (source.empty() ? "" : "\nSource: " + source) + "\n\n";
    if (left == 0 && appendOnly(services_.fallbackFile, entry)) {
      moved = true;
    } else {
      // Order is kept: once one entry fails, the rest wait too.
      remaining.append(line).push_back('\n');
      ++left;
    }
  }
  if (!moved) return left;
  if (remaining.empty()) {
    std::filesystem::remove(services_.outboxFile, ec);
  } else if (auto w = writeFileAtomic(services_.outboxFile, remaining, 0600); !w) {
    records::appLog(records::LogLevel::Error, "capture", "clip outbox rewrite failed: " + w.error());
  }
  return left;
}

namespace {
std::mutex gSharedMutex;
std::shared_ptr<ClipPipeline> gShared;
}  // namespace

std::shared_ptr<ClipPipeline> ClipPipeline::shared() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared)
    gShared = std::make_shared<ClipPipeline>(systemClock(), std::make_shared<SerialQueue>("com.corvane.clip"), nullptr,
                                             nullptr, statusPanelHUD(), defaultClipServices());
  return gShared;
}

void ClipPipeline::installShared(std::shared_ptr<ClipPipeline> pipeline) {
  std::lock_guard lock(gSharedMutex);
  gShared = std::move(pipeline);
}

}  // namespace corvane::capture
