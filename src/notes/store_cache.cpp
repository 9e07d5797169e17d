#include "notes/store_cache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <unordered_set>

#include "bridge/shell_hooks.h"
#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/regex.h"
#include "core/text.h"
#include "notes/file_store.h"
#include "notes/markup.h"
#include "records/private_files.h"

namespace corvane::notes {

namespace fs = std::filesystem;

// ---- JSON of notes

namespace {

void appendJsonString(std::string& out, const std::string& s) {
  if (!isValidUtf8(s)) {
    out += dumpCompact(Json(s));  // the writer's own replacement of bad bytes
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t start = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size(); ++i) {
    // Eight bytes at a time while none needs escaping (most of a preview).
    while (i + 8 <= s.size()) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      constexpr uint64_t lo = 0x0101010101010101ULL, hi = 0x8080808080808080ULL;
      auto hasLess = [&](uint64_t x, uint64_t v) { return (x - lo * v) & ~x & hi; };
      auto hasByte = [&](uint64_t x, uint64_t v) { return hasLess(x ^ (lo * v), 1); };
      if (hasLess(w, 0x20) || hasByte(w, '"') || hasByte(w, '\\')) break;
      i += 8;
    }
    if (i >= s.size()) break;
    const auto c = p[i];
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, start, i - start);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    start = i + 1;
  }
  out.append(s, start, std::string::npos);
  out += '"';
}

void appendNoteJson(std::string& out, const Note& n) {
  out += "{\"id\":";
  appendJsonString(out, n.id);
  out += ",\"name\":";
  appendJsonString(out, n.name);
  out += ",\"preview\":";
  appendJsonString(out, n.preview);
  out += n.pinned ? ",\"pinned\":true" : ",\"pinned\":false";
  out += ",\"age\":";
  out += std::to_string(n.age);
  out += ",\"images\":[";
  for (size_t i = 0; i < n.images.size(); ++i) {
    if (i) out += ',';
    appendJsonString(out, n.images[i]);
  }
  out += "],\"previewHTML\":";
  appendJsonString(out, n.previewHTML);
  out += n.bodyHydrated ? ",\"bodyHydrated\":true" : ",\"bodyHydrated\":false";
  out += n.nativeAttachmentsHydrated ? ",\"nativeAttachmentsHydrated\":true}" : ",\"nativeAttachmentsHydrated\":false}";
}

}  // namespace

std::string encodeNotesJson(const std::vector<Note>& notes) {
  size_t estimate = 2;
  for (const auto& n : notes) estimate += 160 + n.id.size() + n.name.size() + n.preview.size() + n.previewHTML.size();
  std::string out;
  out.reserve(estimate);
  out += '[';
  for (size_t i = 0; i < notes.size(); ++i) {
    if (i) out += ',';
    appendNoteJson(out, notes[i]);
  }
  out += ']';
  return out;
}

// ---- grid

namespace {

struct GridKey {
  const Note* note;
  bool pinned;
  bool ranked;
  size_t rank;
};

// Splits the visible notes into front (pinned or project) and rest, orders
// each as far as the cap needs, and takes front first.
std::vector<Note> selectFromKeys(std::vector<GridKey>& front, std::vector<GridKey>& rest, bool ordered, int64_t cap) {
  auto before = [ordered](const GridKey& a, const GridKey& b) {
    if (a.pinned != b.pinned) return a.pinned;
    if (ordered) {
      if (a.ranked != b.ranked) return !a.ranked;  // notes not yet ordered come first
      if (a.ranked && a.rank != b.rank) return a.rank < b.rank;
    }
    if (a.note->age != b.note->age) return a.note->age < b.note->age;
    return a.note->id < b.note->id;
  };
  const size_t limit = static_cast<size_t>(cap);
  const size_t fromFront = std::min(limit, front.size());
  std::partial_sort(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(fromFront), front.end(), before);
  const size_t fromRest = std::min(limit - fromFront, rest.size());
  std::partial_sort(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(fromRest), rest.end(), before);

  std::vector<Note> out;
  out.reserve(fromFront + fromRest);
  auto take = [&out](const GridKey& k) {
    out.push_back(*k.note);
    out.back().pinned = k.pinned;
  };
  for (size_t i = 0; i < fromFront; ++i) take(front[i]);
  for (size_t i = 0; i < fromRest; ++i) take(rest[i]);
  return out;
}

bool isProjectNote(const Note& n, const records::Settings& s) { return !s.projects.empty() && s.projects.count(n.name) != 0; }

}  // namespace

std::vector<Note> selectGrid(const std::vector<const Note*>& notes, const records::Settings& s, int64_t cap) {
  if (cap <= 0 || notes.empty()) return {};
  std::unordered_set<std::string_view> hidden(s.hidden.begin(), s.hidden.end());
  std::unordered_set<std::string_view> pinned(s.pinned.begin(), s.pinned.end());
  std::unordered_map<std::string_view, size_t> rank;
  rank.reserve(s.cardOrder.size());
  for (size_t i = 0; i < s.cardOrder.size(); ++i) rank.emplace(s.cardOrder[i], i);
  const bool ordered = !s.cardOrder.empty();

  std::vector<GridKey> front, rest;
  for (const Note* n : notes) {
    if (!hidden.empty() && hidden.count(n->id) != 0) continue;
    GridKey k{n, !pinned.empty() && pinned.count(n->id) != 0, false, 0};
    if (ordered) {
      auto it = rank.find(n->id);
      if (it != rank.end()) {
        k.ranked = true;
        k.rank = it->second;
      }
    }
    (k.pinned || isProjectNote(*n, s) ? front : rest).push_back(k);
  }
  return selectFromKeys(front, rest, ordered, cap);
}

std::vector<Note> selectGrid(const CachedList& list, const records::Settings& s, int64_t cap) {
  if (cap <= 0 || list.size() == 0) return {};
  if (!list.idsUnique()) {
    std::vector<const Note*> ptrs;
    ptrs.reserve(list.size());
    for (const auto& n : list.notes()) ptrs.push_back(&n->note());
    return selectGrid(ptrs, s, cap);
  }
  // The settings lists are short next to a large cache: look their ids up in
  // the list instead of hashing every note against them.
  enum : uint8_t { kHidden = 1, kPinned = 2 };
  std::vector<uint8_t> flags(list.size(), 0);
  std::vector<uint32_t> ranks;
  for (const auto& id : s.hidden)
    if (auto i = list.indexOf(id)) flags[*i] |= kHidden;
  for (const auto& id : s.pinned)
    if (auto i = list.indexOf(id)) flags[*i] |= kPinned;
  const bool ordered = !s.cardOrder.empty();
  if (ordered) {
    ranks.assign(list.size(), UINT32_MAX);
    for (size_t r = 0; r < s.cardOrder.size(); ++r)
      if (auto i = list.indexOf(s.cardOrder[r]); i && ranks[*i] == UINT32_MAX) ranks[*i] = static_cast<uint32_t>(r);
  }
  std::vector<GridKey> front, rest;
  rest.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    if (flags[i] & kHidden) continue;
    const Note* n = &list.notes()[i]->note();
    GridKey k{n, (flags[i] & kPinned) != 0, ordered && ranks[i] != UINT32_MAX, ordered ? ranks[i] : 0};
    (k.pinned || isProjectNote(*n, s) ? front : rest).push_back(k);
  }
  return selectFromKeys(front, rest, ordered, cap);
}

std::vector<Note> StoreCache::grid(const std::vector<Note>& notes, const records::Settings& settings, int64_t cap) {
  std::vector<const Note*> ptrs;
  ptrs.reserve(notes.size());
  for (const auto& n : notes) ptrs.push_back(&n);
  return selectGrid(ptrs, settings, cap);
}

namespace {

std::vector<const Note*> notePointers(const CachedList& list) {
  std::vector<const Note*> ptrs;
  ptrs.reserve(list.size());
  for (const auto& n : list.notes()) ptrs.push_back(&n->note());
  return ptrs;
}

int64_t clampCap(int64_t n) { return std::clamp<int64_t>(n, 1, 60); }

bool agesClose(int64_t a, int64_t b, int64_t tolerance) {
  const __int128 d = static_cast<__int128>(a) - static_cast<__int128>(b);
  return d < tolerance && d > -tolerance;
}

bool ageIsRecent(int64_t age, int64_t nowAge, int64_t window) {
  return static_cast<__int128>(age) >= nowAge && static_cast<__int128>(age) <= static_cast<__int128>(nowAge) + window;
}

// ---- storage form

const Regex& localMediaSource() {
  static const Regex re("^app://local/__(?:media|thumb)/[A-Za-z0-9._-]{1,255}$");
  return re;
}
const Regex& imageTagPattern() {
  static const Regex re("<img\\b[^>]*>", Regex::CaseInsensitive);
  return re;
}
const Regex& imageSourcePattern() {
  static const Regex re("src\\s*=\\s*[\"']([^\"']+)[\"']", Regex::CaseInsensitive);
  return re;
}

}  // namespace

Note reduceForStorage(const Note& note) {
  Note out = note;
  out.images.clear();
  for (const auto& src : note.images) {
    if (out.images.size() == 2) break;
    if (localMediaSource().matches(src)) out.images.push_back(src);
  }
  if (note.previewHTML.find("<img") == std::string::npos && note.previewHTML.find("<IMG") == std::string::npos &&
      note.previewHTML.find("<Img") == std::string::npos) {
    out.previewHTML = truncateMarkup(note.previewHTML, kRichPreviewLimit);
    return out;
  }
  const Regex& imageTag = imageTagPattern();
  const Regex& sourceAttr = imageSourcePattern();
  std::string reduced;
  reduced.reserve(note.previewHTML.size());
  size_t kept = 0, last = 0;
  const std::string_view html = note.previewHTML;
  imageTag.forEach(html, [&](const Regex::Match& m) {
    reduced.append(html.substr(last, m.start() - last));
    last = m.end();
    if (kept < 2) {
      auto src = sourceAttr.firstMatch(m.text());
      if (src && localMediaSource().matches(src->group(1))) {
        std::string tag(m.text());
        for (size_t at = tag.find("/__media/"); at != std::string::npos; at = tag.find("/__media/", at + 9))
          tag.replace(at, 9, "/__thumb/");
        reduced += tag;
        ++kept;
      }
    }
    return true;
  });
  reduced.append(html.substr(last));
  out.previewHTML = truncateMarkup(reduced, kRichPreviewLimit);
  return out;
}

// ---- process-wide instance and event sink

namespace {

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<StoreCache>& sharedSlot() {
  static std::shared_ptr<StoreCache> slot;
  return slot;
}

struct SinkSlot {
  std::mutex mutex;
  bool useDefault = true;
  StoreCache::EventSink sink;
};
SinkSlot& sinkSlot() {
  static SinkSlot slot;
  return slot;
}

struct NormalizerSlot {
  std::mutex mutex;
  StoreCache::ImageNormalizer normalizer;
};
NormalizerSlot& normalizerSlot() {
  static NormalizerSlot slot;
  return slot;
}

std::string normalizeWithInstalled(std::string_view html) {
  StoreCache::ImageNormalizer normalizer;
  {
    auto& slot = normalizerSlot();
    std::lock_guard lock(slot.mutex);
    normalizer = slot.normalizer;
  }
  return normalizer ? normalizer(html) : std::string(html);
}

void emit(std::string_view name, std::string_view payload) {
  StoreCache::EventSink sink;
  bool useDefault;
  {
    auto& slot = sinkSlot();
    std::lock_guard lock(slot.mutex);
    useDefault = slot.useDefault;
    sink = slot.sink;
  }
  if (useDefault) bridge::emitEvent(name, payload);
  else if (sink) sink(name, payload);
}

}  // namespace

namespace {

// Background jobs may still run when the process exits. The first time one is
// started, everything with static storage that jobs touch has been created
// (the store's own by the command that came first, ours and the markup's
// here), so a hook registered now runs before any of it is destroyed: it
// stops the process-wide cache and waits for its running jobs.
void ensureExitHook() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)systemClock();
    (void)records::SettingsStore::shared();
    (void)platform::FolderWatcher::shared();
    (void)bridge::shellHooks();
    (void)reduceForStorage(Note{"", "", "", false, 0, {"x"}, "<img src=\"x\">", false, false});
    const std::string sample = "<div>T</div><div><b>b</b> &amp; <img src=\"x\"> - [ ] t</div><hr>";
    (void)richPreview(sample);
    (void)previewText(htmlToText(sample), "T");
    (void)imageSources(sample, 2);
    (void)truncateMarkup(sample, 10);
    (void)fold("\u00C9");
    std::atexit([] { StoreCache::shutdownShared(); });
  });
}

}  // namespace

void StoreCache::shutdownShared() {
  std::shared_ptr<StoreCache> cache;
  {
    std::lock_guard lock(sharedMutex());
    cache = sharedSlot();
  }
  if (cache) cache->shutdown();
}

std::shared_ptr<StoreCache> StoreCache::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) {
    slot = create();
  }
  return slot;
}

void StoreCache::setSharedForTesting(std::shared_ptr<StoreCache> cache) {
  std::shared_ptr<StoreCache> previous;
  {
    std::lock_guard lock(sharedMutex());
    previous = std::move(sharedSlot());
    sharedSlot() = std::move(cache);
  }
  // Released outside the lock: the old cache's jobs may still be finishing.
}

void StoreCache::setEventSink(EventSink sink) {
  auto& slot = sinkSlot();
  std::lock_guard lock(slot.mutex);
  slot.useDefault = false;
  slot.sink = std::move(sink);
}

void StoreCache::setImageNormalizer(ImageNormalizer normalizer) {
  auto& slot = normalizerSlot();
  std::lock_guard lock(slot.mutex);
  slot.normalizer = std::move(normalizer);
}

void StoreCache::resetEventSink() {
  auto& slot = sinkSlot();
  std::lock_guard lock(slot.mutex);
  slot.useDefault = true;
  slot.sink = nullptr;
}

// ---- construction

std::shared_ptr<StoreCache> StoreCache::create() { return create(Options{}); }

std::shared_ptr<StoreCache> StoreCache::create(Options options) {
  return std::shared_ptr<StoreCache>(new StoreCache(std::move(options)));
}

StoreCache::StoreCache(Options options)
    : options_(std::move(options)), clock_(options_.clock ? *options_.clock : systemClock()) {
  if (!options_.makeQueue)
    options_.makeQueue = [](const std::string& label) -> std::shared_ptr<TaskQueue> {
      return std::make_shared<SerialQueue>(label);
    };
  if (!options_.store) options_.store = [] { return activeNoteStore(); };
  if (!options_.loadSettings) options_.loadSettings = [] { return records::Settings::load(); };
  if (!options_.updateSettings)
    options_.updateSettings = [](const std::function<void(records::Settings&)>& m) {
      return records::Settings::update(m);
    };
  if (!options_.notesFolder)
    options_.notesFolder = [this]() -> std::optional<fs::path> {
      const auto s = settings();
      if (s.noteSource == "obsidian" && s.obsidianVaultPath && !s.obsidianVaultPath->empty())
        return fs::path(*s.obsidianVaultPath);
      return defaultNotesFolder();
    };
  if (!options_.watcher) options_.watcher = platform::FolderWatcher::shared();
  if (options_.cacheFile.empty()) options_.cacheFile = dataDirectory() / "cache.json";
  if (!options_.normalizeImages) options_.normalizeImages = normalizeWithInstalled;
  if (!options_.isOwnWrite)
    options_.isOwnWrite = [this](const std::string& id) {
      std::optional<fs::path> folder;
      {
        std::lock_guard lock(mutex_);
        folder = watchedFolder_;
      }
      if (!folder) return false;
      auto file = FileStore(*folder).noteFile(id);
      return file && isOwnNoteWrite(*file);
    };

  refreshQueue_ = options_.makeQueue("com.corvane.cache-refresh");
  nameQueue_ = options_.makeQueue("com.corvane.cache-names");
  indexQueue_ = options_.makeQueue("com.corvane.cache-index");
  attachmentQueue_ = options_.makeQueue("com.corvane.cache-attachments");
  watchQueue_ = options_.makeQueue("com.corvane.cache-watch");
}

StoreCache::~StoreCache() {
  // Stop the watch before the queues go; pending delayed tasks are cancelled
  // by their handles.
  std::unique_ptr<platform::FolderWatch> watch;
  {
    std::lock_guard lock(mutex_);
    watch = std::move(watch_);
    watchDebounce_.cancel();
    indexPause_.cancel();
  }
  watch.reset();
}

void StoreCache::shutdown() {
  stopping_.store(true);
  std::unique_ptr<platform::FolderWatch> watch;
  {
    std::lock_guard lock(mutex_);
    watch = std::move(watch_);
    watchDebounce_.cancel();
    indexPause_.cancel();
  }
  watch.reset();
  // Jobs already running finish; queued ones see the flag and return.
  for (const auto& q : {refreshQueue_, nameQueue_, indexQueue_, attachmentQueue_, watchQueue_})
    q->runSync([] {});
}

// ---- small helpers

std::shared_ptr<NoteStore> StoreCache::activeStore() { return options_.store(); }
records::Settings StoreCache::settings() { return options_.loadSettings(); }
int64_t StoreCache::nowMs() { return unixMillis(clock_.now()); }
int64_t StoreCache::ageNow() { return ageOfNow(clock_); }

bool StoreCache::folderVanished(bool haveNotes) {
  // A folder store recreates a missing folder and then lists nothing; with
  // notes in hand that would wipe the last good list, so a vanished (or
  // replaced) vault counts as a failed fetch instead.
  if (!haveNotes) return false;
  auto folder = options_.notesFolder();
  if (!folder) return false;
  std::error_code ec;
  return !fs::is_directory(*folder, ec);
}

StoreCache::PersistTicket StoreCache::ticketLocked(CachedListPtr list) { return PersistTicket{++persistSeq_, std::move(list)}; }

void StoreCache::persist(const PersistTicket& ticket) {
  if (!ticket.list) return;
  std::vector<Note> reduced;
  reduced.reserve(ticket.list->size());
  for (const auto& n : ticket.list->notes()) reduced.push_back(reduceForStorage(n->note()));
  const std::string json = encodeNotesJson(reduced);
  std::lock_guard lock(persistMutex_);
  if (ticket.seq <= persistedSeq_) return;  // a newer list is on disk already
  // A failed write is ignored: the next change writes again.
  (void)records::writePrivateFile(json, options_.cacheFile);
  persistedSeq_ = ticket.seq;
}

void StoreCache::applyMemosLocked(std::vector<Note>& notes) const {
  for (auto& n : notes) {
    if (n.images.empty()) {
      auto it = imageMemo_.find(n.id);
      if (it != imageMemo_.end()) n.images = it->second;
    }
    if (n.previewHTML.empty()) {
      auto it = richMemo_.find(n.id);
      if (it != richMemo_.end()) n.previewHTML = it->second;
    }
  }
}

void StoreCache::emitGrid(const CachedListPtr& list, const records::Settings& s, int64_t cap) {
  if (!list) return;
  std::vector<Note> grid = selectGrid(*list, s, cap);
  emit("notes:updated", encodeNotesJson(grid));
}

void StoreCache::markLocalChangeLocked(const std::string& id) { localChanges_[id] = ++changeSeq_; }

bool StoreCache::changedSinceLocked(const std::string& id, uint64_t seq) const {
  if (seq == changeSeq_) return false;
  auto it = localChanges_.find(id);
  return it != localChanges_.end() && it->second > seq;
}

// ---- grid size

int64_t StoreCache::gridFetchCap() { return gridFetchCapFor(settings()); }

int64_t StoreCache::gridFetchCapFor(const records::Settings& s) {
  std::optional<int64_t> requested;
  {
    std::lock_guard lock(mutex_);
    requested = lastRequestedGridCap_;
  }
  int64_t n;
  if (s.gridCountExplicit) n = std::min(requested.value_or(s.gridCount), s.gridCount);
  else n = requested.value_or(s.gridAutoCount);
  return clampCap(n);
}

void StoreCache::rememberRequestedCap(int64_t n) { rememberRequestedCap(n, settings()); }

void StoreCache::rememberRequestedCap(int64_t n, const records::Settings& s) {
  const int64_t value = clampCap(n);
  {
    std::lock_guard lock(mutex_);
    lastRequestedGridCap_ = value;
  }
  if (!s.gridCountExplicit && value != s.gridAutoCount) {
    (void)options_.updateSettings([value](records::Settings& r) {
      if (!r.gridCountExplicit) r.gridAutoCount = value;
    });
  }
}

// ---- start and list

void StoreCache::start() {
  bool absent;
  {
    std::lock_guard lock(mutex_);
    absent = !cache_;
  }
  if (absent) {
    // A missing, truncated or corrupt file leaves the cache absent; the
    // refresh below rebuilds it.
    auto text = readFile(options_.cacheFile);
    if (text) {
      auto json = parseJson(*text);
      if (json && json->is_array()) {
        auto list = makeCachedList(notesFromJson(*json));
        std::lock_guard lock(mutex_);
        if (!cache_) cache_ = std::move(list);
      }
    }
  }
  refresh(std::max(gridFetchCap(), FIXED_GRID_WARM_CAP));
  startNameRefresh();
  watchSource();
}

Result<std::vector<Note>> StoreCache::list(std::optional<int64_t> limit) {
  const int64_t cap = limit ? clampCap(*limit) : GRID_CAP;
  const auto s = settings();
  rememberRequestedCap(cap, s);
  CachedListPtr cached;
  {
    std::lock_guard lock(mutex_);
    cached = cache_;
  }
  if (cached) {
    refresh(cap);
    return selectGrid(*cached, s, cap);
  }

  // Cold start: the caller waits for one bounded listing.
  auto store = activeStore();
  if (!store) return fail("notes are not available");
  const int64_t fetch = std::max(cap, FIXED_GRID_WARM_CAP) + kColdExtra;
  uint64_t since;
  {
    std::lock_guard lock(mutex_);
    since = changeSeq_;
  }
  auto fresh = store->listNotes(fetch);
  if (!fresh) return fail(fresh.message());

  std::vector<std::string> missingIds, missingNames;
  {
    std::lock_guard lock(mutex_);
    (void)pinnedAndProjectExtrasLocked(*fresh, cache_.get(), s, &missingIds, &missingNames);
  }
  std::vector<Note> found;
  if (!missingIds.empty() || !missingNames.empty()) {
    if (auto r = store->findNotes(missingIds, missingNames)) found = std::move(*r);
  }
  CachedListPtr list;
  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    // Anything the system added meanwhile (a note created while we listed)
    // is kept by the same rules as a refresh.
    std::vector<Note> merged = mergeFreshLocked(*fresh, cache_.get(), ageNow(), since)->toNotes();
    std::vector<Note> extras = pinnedAndProjectExtrasLocked(merged, cache_.get(), s, nullptr, nullptr);
    std::unordered_set<std::string> ids;
    for (const auto& n : merged) ids.insert(n.id);
    for (auto& n : extras)
      if (ids.insert(n.id).second) merged.push_back(std::move(n));
    NameList stubs;
    for (const auto& n : found) {
      stubs.push_back(makeIndexedName(n));
      if (ids.insert(n.id).second) merged.push_back(n);
    }
    index_.upsertNames(stubs);
    list = makeCachedList(merged);
    cache_ = list;
    cacheFetchLimit_ = fetch;
    ticket = ticketLocked(list);
  }
  persist(ticket);
  refresh(cap);
  return selectGrid(*list, s, cap);
}

// ---- merging

CachedListPtr StoreCache::mergeFreshLocked(const std::vector<Note>& fresh, const CachedList* old,
                                           int64_t recentAge, uint64_t since) const {
  std::vector<CachedNotePtr> out;
  out.reserve(fresh.size() + 8);
  std::unordered_set<std::string_view> freshIds;
  freshIds.reserve(fresh.size());
  auto entryOf = [&](const CachedNote* o) -> CachedNotePtr {
    for (const auto& p : old->notes())
      if (p.get() == o) return p;
    return nullptr;
  };
  for (const auto& f : fresh) {
    if (!freshIds.insert(f.id).second) continue;
    const CachedNote* o = old ? old->find(f.id) : nullptr;
    if (changedSinceLocked(f.id, since)) {
      // Saved, renamed or deleted while the store was listing: what the
      // listing read is older than what the cache holds.
      if (o != nullptr) out.push_back(entryOf(o));
      continue;
    }
    if (o != nullptr && agesClose(f.age, o->note().age, kAgeTolerance)) {
      Note n = f;
      const Note& prev = o->note();
      if (n.preview.empty()) n.preview = prev.preview;
      if (n.previewHTML.empty()) n.previewHTML = prev.previewHTML;
      if (n.images.empty()) n.images = prev.images;
      n.bodyHydrated = prev.bodyHydrated;
      n.nativeAttachmentsHydrated = prev.nativeAttachmentsHydrated;
      n.pinned = prev.pinned;
      if (n == prev) {
        // Unchanged: keep the entry (and its folded preview).
        for (const auto& p : old->notes())
          if (p.get() == o) {
            out.push_back(p);
            break;
          }
        continue;
      }
      out.push_back(std::make_shared<const CachedNote>(std::move(n)));
    } else {
      out.push_back(std::make_shared<const CachedNote>(f));
    }
  }
  if (old != nullptr) {
    // Notes the system created or changed in the last two minutes that the
    // store does not list yet.
    for (const auto& p : old->notes()) {
      const Note& n = p->note();
      if (freshIds.count(n.id) == 0 && ageIsRecent(n.age, recentAge, kRecentWindow)) out.push_back(p);
    }
  }
  return std::make_shared<const CachedList>(std::move(out));
}

std::vector<Note> StoreCache::pinnedAndProjectExtrasLocked(const std::vector<Note>& list, const CachedList* old,
                                                           const records::Settings& s,
                                                           std::vector<std::string>* missingIds,
                                                           std::vector<std::string>* missingNames) const {
  std::unordered_set<std::string_view> pinned;
  for (const auto& id : s.pinned)
    if (!id.empty()) pinned.insert(id);
  std::unordered_set<std::string_view> titles;
  for (const auto& [title, path] : s.projects)
    if (!title.empty()) titles.insert(title);
  std::vector<Note> extras;
  if (pinned.empty() && titles.empty()) return extras;

  std::unordered_set<std::string> ids, names;
  for (const auto& n : list) {
    ids.insert(n.id);
    names.insert(n.name);
  }
  auto consider = [&](const Note& n) {
    if (!(pinned.count(n.id) != 0 || titles.count(n.name) != 0)) return;
    if (!ids.insert(n.id).second) return;
    names.insert(n.name);
    // The cached card carries previews; prefer it over a bare stub.
    const CachedNote* card = old ? old->find(n.id) : nullptr;
    extras.push_back(card ? card->note() : n);
  };
  for (const auto& e : *index_.names()) consider(e->stub);
  if (old != nullptr)
    for (const auto& p : old->notes()) consider(p->note());

  if (missingIds != nullptr)
    for (auto id : pinned)
      if (ids.count(std::string(id)) == 0) missingIds->emplace_back(id);
  if (missingNames != nullptr)
    for (auto title : titles)
      if (names.count(std::string(title)) == 0) missingNames->emplace_back(title);
  if (missingIds) std::sort(missingIds->begin(), missingIds->end());
  if (missingNames) std::sort(missingNames->begin(), missingNames->end());
  return extras;
}

// ---- refresh

void StoreCache::refresh(int64_t limit) {
  if (stopping_.load()) return;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    const int64_t now = nowMs();
    if (refreshing_) return;
    if (now >= lastRefreshMs_ && now - lastRefreshMs_ <= kRefreshThrottleMs - 1) return;
    refreshing_ = true;
    generation = generation_;
  }
  std::weak_ptr<StoreCache> weak = weak_from_this();
  ensureExitHook();
  refreshQueue_->post([weak, limit, generation] {
    if (auto self = weak.lock()) self->runRefresh(limit, generation);
  });
}

void StoreCache::runRefresh(int64_t limit, uint64_t generation) {
  bool stale = false;
  [&] {
    if (stopping_.load()) return;
    auto store = activeStore();
    if (!store) return;
    bool haveNotes;
    uint64_t since;
    {
      std::lock_guard lock(mutex_);
      haveNotes = cache_ && cache_->size() > 0;
      since = changeSeq_;
    }
    if (folderVanished(haveNotes)) return;
    const int64_t fetch = std::max(limit, FIXED_GRID_WARM_CAP) + kRefreshExtra;
    auto fresh = store->listNotes(fetch);
    if (!fresh) return;
    const auto s = settings();

    std::vector<std::string> missingIds, missingNames;
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) {
        stale = true;
        return;
      }
      (void)pinnedAndProjectExtrasLocked(*fresh, cache_.get(), s, &missingIds, &missingNames);
    }
    std::vector<Note> found;
    if (!missingIds.empty() || !missingNames.empty()) {
      if (auto r = store->findNotes(missingIds, missingNames)) found = std::move(*r);
    }

    CachedListPtr list;
    PersistTicket ticket;
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) {
        stale = true;
        return;
      }
      lastRefreshMs_ = nowMs();
      // Merged against the list as it is now, so edits made while the store
      // was listing are not lost.
      CachedListPtr merged = mergeFreshLocked(*fresh, cache_.get(), ageNow(), since);
      std::vector<CachedNotePtr> entries = merged->notes();
      std::vector<Note> current;
      current.reserve(entries.size());
      for (const auto& p : entries) current.push_back(p->note());
      std::vector<Note> extras = pinnedAndProjectExtrasLocked(current, cache_.get(), s, nullptr, nullptr);
      std::unordered_set<std::string> ids;
      for (const auto& n : current) ids.insert(n.id);
      for (auto& n : extras) {
        ids.insert(n.id);
        const CachedNote* card = cache_ ? cache_->find(n.id) : nullptr;
        bool reused = false;
        if (card != nullptr && card->note() == n)
          for (const auto& p : cache_->notes())
            if (p.get() == card) {
              entries.push_back(p);
              reused = true;
              break;
            }
        if (!reused) entries.push_back(std::make_shared<const CachedNote>(std::move(n)));
      }
      NameList stubs;
      for (const auto& n : found) {
        stubs.push_back(makeIndexedName(n));
        if (ids.insert(n.id).second) entries.push_back(std::make_shared<const CachedNote>(n));
      }
      index_.upsertNames(stubs);
      list = std::make_shared<const CachedList>(std::move(entries));
      cache_ = list;
      cacheFetchLimit_ = fetch;
      ticket = ticketLocked(list);
    }
    persist(ticket);

    // The fetched grid goes out at once only when filling previews and
    // reading bodies takes noticeable time; otherwise one event carries the
    // finished grid.
    std::weak_ptr<StoreCache> weak = weak_from_this();
    TaskHandle earlyEmit = watchQueue_->postDelayed(std::chrono::milliseconds(150), [weak, list, s, limit] {
      if (auto self = weak.lock()) self->emitGrid(list, s, limit);
    });
    CachedListPtr hydrated = fillPreviewsAndHydrate(list, s, limit, store, generation);
    earlyEmit.cancel();
    if (!hydrated) {
      stale = true;
      return;
    }
    emitGrid(hydrated, s, limit);
    startNameRefresh();
    startAttachmentCheck(limit);
  }();
  {
    std::lock_guard lock(mutex_);
    refreshing_ = false;
    if (generation != generation_) stale = true;
  }
  if (stopping_.load()) return;
  if (stale) refresh(limit);
  ensureWatch();
}

CachedListPtr StoreCache::fillPreviewsAndHydrate(CachedListPtr list, const records::Settings& s, int64_t cap,
                                                 const std::shared_ptr<NoteStore>& store, uint64_t generation) {
  const std::vector<Note> grid = selectGrid(*list, s, cap);
  std::vector<std::string> needPreview, needBody;
  std::unordered_map<std::string, int64_t> gridAges;
  for (const auto& n : grid) {
    gridAges[n.id] = n.age;
    if (n.preview.empty()) needPreview.push_back(n.id);
    if (!n.bodyHydrated) needBody.push_back(n.id);
  }
  std::unordered_map<std::string, std::string> texts;
  if (!needPreview.empty())
    for (auto& [id, text] : store->plainTexts(needPreview)) texts.emplace(id, std::move(text));
  struct Derived {
    std::vector<std::string> images;
    std::string rich;
  };
  std::unordered_map<std::string, Derived> derived;
  if (!needBody.empty())
    for (auto& [id, body] : store->bodies(needBody)) derived.emplace(id, Derived{imageSources(body, 2), richPreview(body)});

  CachedListPtr out;
  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return nullptr;
    for (auto& [id, d] : derived) {
      imageMemo_[id] = d.images;
      richMemo_[id] = d.rich;
    }
    if (!cache_) return nullptr;
    std::vector<CachedNotePtr> entries;
    entries.reserve(cache_->size());
    bool changed = false;
    for (const auto& p : cache_->notes()) {
      const Note& n = p->note();
      auto g = gridAges.find(n.id);
      if (g == gridAges.end()) {
        entries.push_back(p);
        continue;
      }
      Note next = n;
      if (next.preview.empty())
        if (auto t = texts.find(n.id); t != texts.end()) next.preview = previewText(t->second, next.name);
      // Bodies read for an older version of the note are not applied.
      if (!next.bodyHydrated && next.age == g->second)
        if (auto d = derived.find(n.id); d != derived.end()) {
          next.images = d->second.images;
          next.previewHTML = d->second.rich;
          next.bodyHydrated = true;
        }
      auto im = imageMemo_.find(n.id);
      auto rm = richMemo_.find(n.id);
      if (im != imageMemo_.end() && !im->second.empty()) next.images = im->second;
      if (rm != richMemo_.end() && !rm->second.empty()) next.previewHTML = rm->second;
      if (im != imageMemo_.end() && rm != richMemo_.end()) next.bodyHydrated = true;
      if (next == n) {
        entries.push_back(p);
      } else {
        entries.push_back(std::make_shared<const CachedNote>(std::move(next)));
        changed = true;
      }
    }
    if (!changed) return cache_;
    out = std::make_shared<const CachedList>(std::move(entries));
    cache_ = out;
    ticket = ticketLocked(out);
  }
  persist(ticket);
  return out;
}

// ---- attachment check

void StoreCache::startAttachmentCheck(int64_t limit) {
  if (stopping_.load()) return;
  const auto s = settings();
  std::vector<std::pair<std::string, int64_t>> candidates;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (nativeAttachmentRefreshing_ || !cache_) return;
    for (const auto& n : selectGrid(*cache_, s, limit))
      if (!n.nativeAttachmentsHydrated) candidates.emplace_back(n.id, n.age);
    if (candidates.empty()) return;
    nativeAttachmentRefreshing_ = true;
    generation = generation_;
  }
  std::weak_ptr<StoreCache> weak = weak_from_this();
  ensureExitHook();
  attachmentQueue_->post([weak, limit, candidates = std::move(candidates), generation]() mutable {
    if (auto self = weak.lock()) self->runAttachmentCheck(limit, std::move(candidates), generation);
  });
}

void StoreCache::runAttachmentCheck(int64_t limit, std::vector<std::pair<std::string, int64_t>> candidates,
                                    uint64_t generation) {
  bool changed = false, imagesChanged = false;
  if (stopping_.load()) {
    std::lock_guard lock(mutex_);
    nativeAttachmentRefreshing_ = false;
    return;
  }
  // Applies `edit` to the cached note with this id when it still has `age`.
  auto applyLocked = [this](const std::string& id, int64_t age, const std::function<void(Note&)>& edit) {
    if (!cache_) return false;
    const CachedNote* card = cache_->find(id);
    if (card == nullptr || card->note().age != age) return false;
    std::vector<CachedNotePtr> entries = cache_->notes();
    for (auto& p : entries)
      if (p.get() == card) {
        Note n = p->note();
        edit(n);
        p = std::make_shared<const CachedNote>(std::move(n));
      }
    cache_ = std::make_shared<const CachedList>(std::move(entries));
    return true;
  };

  if (auto store = activeStore()) {
    std::vector<std::string> ids;
    for (const auto& [id, age] : candidates) ids.push_back(id);
    const auto counts = store->attachmentCounts(ids);
    std::vector<std::pair<std::string, int64_t>> withAttachments;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, age] : candidates) {
        auto c = counts.find(id);
        if (c == counts.end()) continue;  // not counted: try again next time
        if (c->second > 0) {
          withAttachments.emplace_back(id, age);
          continue;
        }
        if (generation != generation_) continue;
        if (applyLocked(id, age, [](Note& n) { n.nativeAttachmentsHydrated = true; })) {
          nativeAttachmentMemo_[id] = {};
          changed = true;
        }
      }
    }
    for (size_t at = 0; at < withAttachments.size(); at += kAttachmentChunk) {
      auto chunkStore = activeStore();
      if (!chunkStore) break;
      std::vector<std::string> chunk;
      for (size_t k = at; k < std::min(at + kAttachmentChunk, withAttachments.size()); ++k)
        chunk.push_back(withAttachments[k].first);
      const auto backups = chunkStore->backupAttachments(chunk);
      std::lock_guard lock(mutex_);
      if (generation != generation_) break;
      for (size_t k = at; k < std::min(at + kAttachmentChunk, withAttachments.size()); ++k) {
        const auto& [id, age] = withAttachments[k];
        auto b = backups.find(id);
        if (b == backups.end() || b->second.failedCount != 0) continue;
        std::vector<std::string> urls;
        for (const auto& token : b->second.savedTokens) urls.push_back("app://local/__media/" + token);
        bool setImages = false;
        if (applyLocked(id, age, [&](Note& n) {
              n.nativeAttachmentsHydrated = true;
              if (!urls.empty() && n.images.empty()) {
                n.images = urls;
                setImages = true;
              }
            })) {
          nativeAttachmentMemo_[id] = urls;
          changed = true;
          imagesChanged = imagesChanged || setImages;
        }
      }
    }
  }

  CachedListPtr list;
  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    nativeAttachmentRefreshing_ = false;
    list = cache_;
    if (changed && list) ticket = ticketLocked(list);
  }
  if (changed) persist(ticket);
  if (imagesChanged) emitGrid(list, settings(), limit);
}

// ---- updates from the commands

void StoreCache::noteCreated(const std::string& id, const std::string& name, const std::string& plainText,
                             const std::optional<std::string>& html, bool announce) {
  if (announce) {
    bool absent;
    {
      std::lock_guard lock(mutex_);
      absent = !cache_;
    }
    // The grid that goes out must be the vault's, not this note alone: list
    // the store first (it holds the new note already).
    if (absent) (void)list(gridFetchCap());
  }
  std::vector<std::string> images;
  std::string rich;
  if (html) {
    const std::string normalized = options_.normalizeImages(*html);
    images = imageSources(normalized, 2);
    rich = richPreview(normalized);
  }
  Note note;
  note.id = id;
  note.name = name;
  note.preview = previewText(plainText, name);
  note.age = ageNow();
  note.images = images;
  note.previewHTML = rich;
  note.bodyHydrated = html.has_value();
  note.nativeAttachmentsHydrated = true;
  auto card = std::make_shared<const CachedNote>(note);
  Note stub;
  stub.id = id;
  stub.name = name;
  stub.age = note.age;
  auto nameEntry = std::make_shared<const IndexedName>(std::move(stub), fold(name), std::string());
  auto body = makeIndexedBody(plainText, note.age, name, bodyCap());

  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    // Into a cache that holds no list yet, one new note would stand for the
    // whole vault; the first listing finds it instead.
    if (cache_) {
      std::vector<CachedNotePtr> entries;
      entries.reserve(cache_->size() + 1);
      entries.push_back(card);
      for (const auto& p : cache_->notes())
        if (p->note().id != id) entries.push_back(p);
      cache_ = std::make_shared<const CachedList>(std::move(entries));
    }
    if (html) {
      imageMemo_[id] = images;
      richMemo_[id] = rich;
    }
    index_.putNameFront(nameEntry);
    index_.putBodies({{id, body}});
    unreadable_.erase(id);
    markLocalChangeLocked(id);
    ticket = ticketLocked(cache_);
  }
  if (announce) publishTicket(ticket);
  else persist(ticket);
  scheduleGramsCheck();
}

void StoreCache::bodyChanged(const std::string& id, const std::optional<std::string>& appendedText,
                             const std::optional<std::string>& newHTML) {
  std::vector<std::string> images;
  std::string rich, plain;
  if (newHTML) {
    const std::string normalized = options_.normalizeImages(*newHTML);
    images = imageSources(normalized, 2);
    rich = richPreview(normalized);
    plain = htmlToText(normalized);
  }
  // Body text for search: replaced by the new plain text, or extended by the
  // appended text (folded outside the lock; an append needs the old text).
  IndexedBodyPtr body;
  std::string appended;
  if (appendedText) appended = std::string(trimUnicodeWhitespace(*appendedText));

  PersistTicket ticket;
  for (int attempt = 0;; ++attempt) {
    std::string name;
    const IndexedBody* existing = nullptr;
    IndexedBodyPtr existingPtr;
    {
      std::lock_guard lock(mutex_);
      if (cache_)
        if (const CachedNote* c = cache_->find(id)) name = c->note().name;
      if (name.empty())
        if (const IndexedName* e = index_.name(id)) name = e->stub.name;
      auto bodies = index_.bodies();
      if (auto it = bodies->find(id); it != bodies->end()) existingPtr = it->second;
    }
    existing = existingPtr.get();
    const int64_t age = ageNow();
    if (newHTML) {
      body = makeIndexedBody(plain, age, name, bodyCap());
    } else if (!appended.empty()) {
      std::string text = existing ? existing->text() : std::string();
      text = text.empty() ? appended : text + "\n" + appended;
      body = makeIndexedBody(text, age, name, bodyCap());
    }

    std::lock_guard lock(mutex_);
    auto bodies = index_.bodies();
    auto it = bodies->find(id);
    IndexedBodyPtr now = it == bodies->end() ? nullptr : it->second;
    // Another append landed between the read and here: build on it instead.
    if (appendedText && now != existingPtr && attempt < 3) continue;

    if (cache_) {
      if (const CachedNote* card = cache_->find(id)) {
        Note n = card->note();
        n.age = age;
        if (appendedText) {
          std::string preview = n.preview;
          if (!preview.empty()) preview += "\u2028";
          preview += previewText(*appendedText, n.name);
          n.preview = std::string(prefixCodePoints(preview, kPreviewTextLimit));
        }
        if (newHTML) {
          n.preview = previewText(plain, n.name);
          n.images = images;
          n.previewHTML = rich;
        }
        n.bodyHydrated = newHTML.has_value();
        n.nativeAttachmentsHydrated = false;
        std::vector<CachedNotePtr> entries;
        entries.reserve(cache_->size());
        entries.push_back(std::make_shared<const CachedNote>(std::move(n)));
        for (const auto& p : cache_->notes())
          if (p.get() != card) entries.push_back(p);
        cache_ = std::make_shared<const CachedList>(std::move(entries));
      }
    }
    if (newHTML) {
      imageMemo_[id] = images;
      richMemo_[id] = rich;
    } else {
      imageMemo_.erase(id);
      richMemo_.erase(id);
    }
    if (body) index_.putBodies({{id, body}});
    unreadable_.erase(id);
    markLocalChangeLocked(id);
    ticket = ticketLocked(cache_);
    break;
  }
  publishTicket(ticket);
  if (body) scheduleGramsCheck();
}

void StoreCache::titleChanged(const std::string& id, const std::string& name) {
  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    if (cache_ && cache_->find(id) != nullptr) {
      std::vector<CachedNotePtr> entries = cache_->notes();
      for (auto& p : entries)
        if (p->note().id == id) {
          Note n = p->note();
          n.name = name;
          p = std::make_shared<const CachedNote>(std::move(n));
        }
      cache_ = std::make_shared<const CachedList>(std::move(entries));
    }
    index_.rename(id, name);
    markLocalChangeLocked(id);
    ticket = ticketLocked(cache_);
  }
  publishTicket(ticket);
}

void StoreCache::noteDeleted(const std::string& id) {
  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    if (cache_ && cache_->find(id) != nullptr) {
      std::vector<CachedNotePtr> entries;
      for (const auto& p : cache_->notes())
        if (p->note().id != id) entries.push_back(p);
      cache_ = std::make_shared<const CachedList>(std::move(entries));
    }
    index_.remove(id);
    imageMemo_.erase(id);
    richMemo_.erase(id);
    nativeAttachmentMemo_.erase(id);
    unreadable_.erase(id);
    markLocalChangeLocked(id);
    ticket = ticketLocked(cache_);
  }
  publishTicket(ticket);
  scheduleGramsCheck();
}

void StoreCache::publishTicket(const PersistTicket& ticket) {
  persist(ticket);
  if (!ticket.list) return;
  const auto s = settings();
  std::vector<Note> grid = selectGrid(*ticket.list, s, gridFetchCapFor(s));
  {
    std::lock_guard lock(mutex_);
    applyMemosLocked(grid);
  }
  emit("notes:updated", encodeNotesJson(grid));
}

void StoreCache::publish(const std::vector<Note>& notes) {
  PersistTicket ticket;
  {
    std::lock_guard lock(mutex_);
    ticket = ticketLocked(makeCachedList(notes));
  }
  publishTicket(ticket);
}

void StoreCache::invalidate() {
  {
    std::lock_guard lock(mutex_);
    cache_.reset();
    lastRefreshMs_ = 0;
    index_.clear();
    imageMemo_.clear();
    richMemo_.clear();
    nativeAttachmentMemo_.clear();
    unreadable_.clear();
    indexPause_.cancel();
    namesLoaded_ = false;
    ++generation_;
  }
  refresh(gridFetchCap());
  startNameRefresh();
}

// ---- reading

std::vector<Note> StoreCache::knownNotes() {
  warmNamesIfCold();
  std::lock_guard lock(mutex_);
  std::vector<Note> out;
  if (!index_.namesEmpty()) {
    auto names = index_.names();
    out.reserve(names->size());
    for (const auto& e : *names) out.push_back(e->stub);
  } else if (cache_) {
    out = cache_->toNotes();
  }
  return out;
}

std::vector<std::string> StoreCache::knownNames(size_t limit) {
  warmNamesIfCold();
  const auto s = settings();
  std::shared_ptr<const NameList> names;
  CachedListPtr cached;
  {
    std::lock_guard lock(mutex_);
    names = index_.names();
    cached = cache_;
  }
  std::vector<const Note*> ptrs;
  if (!names->empty())
    for (const auto& e : *names) ptrs.push_back(&e->stub);
  else if (cached)
    ptrs = notePointers(*cached);
  std::vector<std::string> out;
  for (auto& n : selectGrid(ptrs, s, static_cast<int64_t>(limit))) out.push_back(std::move(n.name));
  return out;
}

bool StoreCache::hasNoteNamed(const std::string& name) {
  warmNamesIfCold();
  std::lock_guard lock(mutex_);
  if (cache_)
    for (const auto& p : cache_->notes())
      if (p->note().name == name) return true;
  for (const auto& e : *index_.names())
    if (e->stub.name == name) return true;
  return false;
}

std::vector<Note> StoreCache::hiddenNotes() {
  warmNamesIfCold();
  const auto s = settings();
  if (s.hidden.empty()) return {};
  struct Entry {
    std::optional<Note> note;
    std::string text;
    bool haveText = false;
    std::string image;
  };
  std::vector<Entry> entries(s.hidden.size());
  std::vector<std::string> fetch;
  {
    std::lock_guard lock(mutex_);
    std::unordered_map<std::string_view, const Note*> known;
    if (!index_.namesEmpty())
      for (const auto& e : *index_.names()) known.emplace(e->stub.id, &e->stub);
    else if (cache_)
      for (const auto& p : cache_->notes()) known.emplace(p->note().id, &p->note());
    for (size_t i = 0; i < s.hidden.size(); ++i) {
      const std::string& id = s.hidden[i];
      Entry& e = entries[i];
      if (auto k = known.find(id); k != known.end()) {
        e.note = *k->second;
        const CachedNote* card = cache_ ? cache_->find(id) : nullptr;
        if (const IndexedBody* b = index_.body(id)) {
          e.text = b->text();
          e.haveText = true;
        } else if (card != nullptr && !card->note().preview.empty()) {
          e.text = card->note().preview;
          e.haveText = true;
        } else if (const IndexedName* n = index_.name(id); n != nullptr && !n->listedPreview.empty()) {
          e.text = n->listedPreview;
          e.haveText = true;
        }
      }
      if (!e.haveText) fetch.push_back(id);
      if (auto im = imageMemo_.find(id); im != imageMemo_.end() && !im->second.empty()) e.image = im->second.front();
    }
  }
  if (!fetch.empty()) {
    if (auto store = activeStore()) {
      std::unordered_map<std::string, std::string> texts;
      for (auto& [id, text] : store->plainTexts(fetch)) texts.emplace(id, std::move(text));
      for (size_t i = 0; i < s.hidden.size(); ++i) {
        if (entries[i].haveText) continue;
        if (auto t = texts.find(s.hidden[i]); t != texts.end()) {
          entries[i].text = t->second;
          entries[i].haveText = true;
        }
      }
    }
  }
  std::vector<Note> out;
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < s.hidden.size(); ++i) {
    Entry& e = entries[i];
    if (!seen.insert(s.hidden[i]).second) continue;
    if (!e.note) {
      // Not known yet: the title is the text's first non-empty line. A note
      // that cannot be read at all is left out.
      if (!e.haveText) continue;
      Note n;
      n.id = s.hidden[i];
      std::string_view rest = e.text;
      while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = trimUnicodeWhitespace(rest.substr(0, nl));
        if (!line.empty()) {
          n.name = std::string(line);
          break;
        }
        if (nl == std::string_view::npos) break;
        rest.remove_prefix(nl + 1);
      }
      e.note = std::move(n);
    }
    Note n = *e.note;
    n.pinned = false;
    n.preview = std::string(prefixCodePoints(previewText(e.text, n.name), kHiddenPreviewChars));
    n.images.clear();
    if (!e.image.empty()) n.images.push_back(e.image);
    out.push_back(std::move(n));
  }
  return out;
}

int64_t StoreCache::visibleCount() {
  warmNamesIfCold();
  const auto s = settings();
  std::unordered_set<std::string_view> hidden(s.hidden.begin(), s.hidden.end());
  std::lock_guard lock(mutex_);
  int64_t count = 0;
  if (!index_.namesEmpty()) {
    for (const auto& e : *index_.names()) count += hidden.count(e->stub.id) == 0;
  } else if (cache_) {
    for (const auto& p : cache_->notes()) count += hidden.count(p->note().id) == 0;
  }
  return count;
}

std::optional<std::vector<Note>> StoreCache::cachedNotes() {
  std::lock_guard lock(mutex_);
  if (!cache_) return std::nullopt;
  return cache_->toNotes();
}

bool StoreCache::busy() {
  std::lock_guard lock(mutex_);
  return refreshing_ || nameRefreshing_ || indexing_ || gramsPending_ || nativeAttachmentRefreshing_ || indexPause_.active() ||
         watchDebounce_.active();
}

size_t StoreCache::bodyIndexCount() {
  std::lock_guard lock(mutex_);
  return index_.bodyCount();
}

// ---- search index jobs

StoreCache::IndexLimits StoreCache::indexLimits() {
  // A folder of files is cheap to read: every note is indexed whole, in large
  // batches. The caps spare a scripted Notes application, which answers slowly.
  auto store = activeStore();
  if (dynamic_cast<FileStore*>(store.get()) != nullptr)
    return IndexLimits{SIZE_MAX, SIZE_MAX, kWholeTextBatch, kWholeTextPause};
  return IndexLimits{PLAIN_CAP, BODY_CAP, INDEX_CAP, kIndexPause};
}

size_t StoreCache::bodyCap() { return indexLimits().text; }

void StoreCache::startNameRefresh(bool fromSearch) {
  if (stopping_.load()) return;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (nameRefreshing_) return;
    if (fromSearch) {
      // Typing starts a search per key; the listing is re-read at most once
      // per throttle period for them.
      const int64_t now = nowMs();
      if (now >= lastSearchNameRefreshMs_ && now - lastSearchNameRefreshMs_ < kRefreshThrottleMs) return;
      lastSearchNameRefreshMs_ = now;
    }
    nameRefreshing_ = true;
    generation = generation_;
  }
  std::weak_ptr<StoreCache> weak = weak_from_this();
  ensureExitHook();
  nameQueue_->post([weak, generation] {
    if (auto self = weak.lock()) self->runNameRefresh(generation);
  });
}

void StoreCache::runNameRefresh(uint64_t generation) {
  bool stale = false;
  [&] {
    if (stopping_.load()) return;
    auto store = activeStore();
    if (!store) return;
    std::shared_ptr<const NameList> old;
    bool haveNotes;
    uint64_t since;
    {
      std::lock_guard lock(mutex_);
      old = index_.names();
      haveNotes = !old->empty() || (cache_ && cache_->size() > 0);
      since = changeSeq_;
    }
    if (folderVanished(haveNotes)) return;
    auto listed = store->listNotes(0);
    if (!listed) return;

    // Unchanged entries are kept with their folded texts.
    std::unordered_map<std::string_view, const IndexedNamePtr*> previous;
    previous.reserve(old->size());
    for (const auto& e : *old) previous.emplace(e->stub.id, &e);
    NameList fresh;
    fresh.reserve(listed->size());
    std::vector<const IndexedName*> toWarm;
    // When every note's whole text is indexed, the listing's long previews
    // would be a second copy of it: the name index keeps their start only.
    const bool wholeText = indexLimits().text == SIZE_MAX;
    for (auto& n : *listed) {
      if (wholeText && n.preview.size() > kListedPreviewBytes)
        n.preview = std::string(prefixBytesAtBoundary(n.preview, kListedPreviewBytes));
      auto it = previous.find(n.id);
      if (it != previous.end()) {
        const IndexedName& e = **it->second;
        if (e.stub.name == n.name && e.stub.age == n.age && e.listedPreview == n.preview) {
          fresh.push_back(*it->second);
          continue;
        }
      }
      fresh.push_back(makeIndexedName(n));
      if (!n.preview.empty()) toWarm.push_back(fresh.back().get());
    }
    std::shared_ptr<const NameList> keep = std::make_shared<const NameList>(fresh);
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) {
        stale = true;
        return;
      }
      if (changeSeq_ != since) {
        // Local changes made while listing win over what the listing read.
        std::unordered_map<std::string_view, IndexedNamePtr> current;
        for (const auto& e : *index_.names())
          if (changedSinceLocked(e->stub.id, since)) current.emplace(e->stub.id, e);
        NameList kept;
        kept.reserve(fresh.size());
        for (auto& e : fresh) {
          if (!changedSinceLocked(e->stub.id, since)) kept.push_back(std::move(e));
          else if (auto it = current.find(e->stub.id); it != current.end()) kept.push_back(it->second);
        }
        fresh = std::move(kept);
      }
      index_.replaceNames(std::move(fresh), ageNow());
      namesLoaded_ = true;
      for (auto it = unreadable_.begin(); it != unreadable_.end();) {
        const IndexedName* e = index_.name(it->first);
        it = (e == nullptr || e->stub.age != it->second) ? unreadable_.erase(it) : std::next(it);
      }
    }
    // Fold listed previews here, in the background, not in the first search.
    for (const IndexedName* e : toWarm) (void)e->foldedPreview();
    scheduleBodyIndexing(Duration(0));
  }();
  {
    std::lock_guard lock(mutex_);
    nameRefreshing_ = false;
    if (generation != generation_) stale = true;
  }
  if (stale && !stopping_.load()) startNameRefresh();
}

void StoreCache::scheduleBodyIndexing(Duration delay) {
  if (stopping_.load()) return;
  ensureExitHook();
  std::weak_ptr<StoreCache> weak = weak_from_this();
  auto job = [weak] {
    if (auto self = weak.lock()) self->runBodyIndexing();
  };
  if (delay <= Duration(0)) {
    indexQueue_->post(job);
    return;
  }
  TaskHandle handle = indexQueue_->postDelayed(delay, job);
  std::lock_guard lock(mutex_);
  indexPause_ = std::move(handle);
}

void StoreCache::runBodyIndexing() {
  struct Item {
    std::string id;
    int64_t age;
    std::string name;
  };
  std::vector<Item> batch;
  uint64_t generation;
  if (stopping_.load()) return;
  const IndexLimits limits = indexLimits();
  {
    std::lock_guard lock(mutex_);
    indexPause_.detach();  // this is the scheduled run (or a newer one replaces it)
    if (indexing_) return;
    const size_t count = index_.bodyCount();
    if (count >= limits.notes) return;
    const size_t room = std::min(limits.notes - count, limits.batch);
    auto consider = [&](const Note& n) {
      if (batch.size() >= room) return;
      if (index_.body(n.id) != nullptr) return;
      if (auto u = unreadable_.find(n.id); u != unreadable_.end() && u->second == n.age) return;
      batch.push_back(Item{n.id, n.age, n.name});
    };
    if (!index_.namesEmpty()) {
      for (const auto& e : *index_.names()) consider(e->stub);
    } else if (cache_) {
      for (const auto& p : cache_->notes()) consider(p->note());
    }
    if (batch.empty()) return;
    indexing_ = true;
    generation = generation_;
  }

  bool current = true;
  for (size_t at = 0; at < batch.size() && current && !stopping_.load(); at += kPlainTextChunk) {
    auto store = activeStore();
    if (!store) break;
    const size_t end = std::min(at + kPlainTextChunk, batch.size());
    std::vector<std::string> ids;
    std::unordered_map<std::string, const Item*> byId;
    for (size_t k = at; k < end; ++k) {
      ids.push_back(batch[k].id);
      byId.emplace(batch[k].id, &batch[k]);
    }
    auto texts = store->plainTexts(ids);
    std::vector<std::pair<std::string, IndexedBodyPtr>> prepared;
    prepared.reserve(texts.size());
    for (auto& [id, text] : texts) {
      auto it = byId.find(id);
      if (it == byId.end()) continue;
      prepared.emplace_back(id, makeIndexedBody(text, it->second->age, it->second->name, limits.text));
    }
    std::lock_guard lock(mutex_);
    if (generation != generation_) {
      current = false;
      break;
    }
    // A body text stored meanwhile (the note was edited) is newer than ours.
    std::vector<std::pair<std::string, IndexedBodyPtr>> accepted;
    std::unordered_set<std::string> read;
    for (auto& [id, body] : prepared) {
      read.insert(id);
      if (index_.body(id) == nullptr) accepted.emplace_back(id, std::move(body));
    }
    index_.putBodies(accepted);
    for (size_t k = at; k < end; ++k)
      if (read.count(batch[k].id) == 0) unreadable_[batch[k].id] = batch[k].age;
  }

  bool more = false;
  {
    std::lock_guard lock(mutex_);
    indexing_ = false;
    if (current && generation == generation_ && index_.bodyCount() < limits.notes) {
      for (const auto& e : *index_.names()) {
        if (index_.body(e->stub.id) != nullptr) continue;
        if (auto u = unreadable_.find(e->stub.id); u != unreadable_.end() && u->second == e->stub.age) continue;
        more = true;
        break;
      }
    }
    // Busy until the trigram check below is done, so no one sees a gap.
    gramsPending_ = true;
  }
  if (more) scheduleBodyIndexing(limits.pause);
  buildGramsIfStale(/*settled=*/!more);
}

void StoreCache::scheduleGramsCheck() {
  if (stopping_.load()) return;
  {
    std::lock_guard lock(mutex_);
    if (gramsPending_) return;
    gramsPending_ = true;
  }
  std::weak_ptr<StoreCache> weak = weak_from_this();
  indexQueue_->post([weak] {
    if (auto self = weak.lock()) self->buildGramsIfStale(/*settled=*/true);
  });
}

void StoreCache::buildGramsIfStale(bool settled) {
  std::vector<IndexedBodyPtr> bodies;
  size_t staleAtStart;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    gramsPending_ = false;
    if (stopping_.load()) return;
    const size_t covered = index_.grams() ? index_.grams()->size() : 0;
    staleAtStart = index_.gramsStale();
    // While the vault is being indexed, rebuild each time the uncovered part
    // reaches the covered one (a whole-vault build costs a second or so);
    // afterwards once edits leave more than a small share to be scanned.
    const bool due = settled ? staleAtStart > 0 && (covered == 0 || staleAtStart >= 16 + covered / 64)
                             : staleAtStart >= std::max<size_t>(256, covered);
    if (!due) return;
    auto snapshot = index_.bodies();
    bodies.reserve(snapshot->size());
    for (const auto& entry : *snapshot) bodies.push_back(entry.second);
    generation = generation_;
    gramsPending_ = true;  // counted as busy while it builds
  }
  auto grams = std::make_shared<const TrigramIndex>(std::move(bodies));
  std::lock_guard lock(mutex_);
  gramsPending_ = false;
  if (generation == generation_) index_.setGrams(std::move(grams), staleAtStart);
}

// ---- search

void StoreCache::warmNamesIfCold() {
  // Counts, name checks and searches answer for the whole vault: until one
  // full name listing is in the index (a note created meanwhile, or the grid's
  // cards, are not the vault), they read the names here or wait for the
  // listing that is running; later calls use the index.
  for (int round = 0; round < 3; ++round) {
    std::optional<uint64_t> coldGeneration;
    bool running;
    {
      std::lock_guard lock(mutex_);
      if (namesLoaded_ || stopping_.load()) return;
      running = nameRefreshing_;
      if (!running) {
        nameRefreshing_ = true;
        coldGeneration = generation_;
      }
    }
    if (coldGeneration) {
      runNameRefresh(*coldGeneration);
      return;
    }
    if (nameQueue_->runsTasksInCurrentSequence()) return;
    nameQueue_->runSync([] {});
  }
}

std::vector<Note> StoreCache::search(std::string_view query) {
  warmNamesIfCold();
  SearchSnapshot snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot = SearchSnapshot{index_.names(), index_.bodies(), cache_, index_.grams()};
  }
  std::vector<Note> result = searchNotes(snapshot, query, kSearchLimit);
  startNameRefresh(/*fromSearch=*/true);
  return result;
}

std::vector<Note> StoreCache::deepSearch(std::string_view query) {
  const std::string q(trimUnicodeWhitespace(query));
  if (q.empty()) return search(query);
  if (auto store = activeStore()) {
    if (auto hits = store->searchNotes(q)) {
      NameList entries;
      entries.reserve(hits->size());
      for (const auto& h : *hits) entries.push_back(makeIndexedName(h));
      std::vector<const Note*> unindexed;
      {
        std::lock_guard lock(mutex_);
        index_.addNames(entries);
        for (const auto& h : *hits)
          if (index_.body(h.id) == nullptr) unindexed.push_back(&h);
      }
      if (!unindexed.empty()) {
        std::vector<std::string> ids;
        std::unordered_map<std::string, const Note*> byId;
        for (const Note* h : unindexed) {
          ids.push_back(h->id);
          byId.emplace(h->id, h);
        }
        std::vector<std::pair<std::string, IndexedBodyPtr>> prepared;
        for (auto& [id, text] : store->plainTexts(ids)) {
          auto it = byId.find(id);
          if (it == byId.end()) continue;
          prepared.emplace_back(id, makeIndexedBody(text, it->second->age, it->second->name, bodyCap()));
        }
        std::lock_guard lock(mutex_);
        std::vector<std::pair<std::string, IndexedBodyPtr>> accepted;
        for (auto& [id, body] : prepared)
          if (index_.body(id) == nullptr) accepted.emplace_back(id, std::move(body));
        index_.putBodies(accepted);
      }
    }
  }
  return search(query);
}

// ---- the folder watch

namespace {

// The note a vault entry is: "<id>.md". Other entries (the temporaries
// atomic writes go through, hidden files) are not notes.
std::optional<std::string> noteIdOfEntry(std::string_view name) {
  if (endsWith(name, ".md") && !startsWith(name, ".")) return std::string(name.substr(0, name.size() - 3));
  return std::nullopt;
}

}  // namespace

void StoreCache::watchSource() {
  if (stopping_.load()) return;
  auto folder = options_.notesFolder();
  std::unique_ptr<platform::FolderWatch> old;
  uint64_t serial;
  {
    std::lock_guard lock(mutex_);
    old = std::move(watch_);
    watchDebounce_.cancel();
    pendingNames_.clear();
    pendingOverflow_ = pendingGone_ = false;
    watchedFolder_ = folder;
    serial = ++watchSerial_;
  }
  old.reset();  // outside the lock: stopping waits for a callback that may be taking it
  if (!folder) return;
  // The built-in folder of a fresh home is ours to create, so it is watched
  // from the start (one that vanished under known notes is left alone).
  std::error_code ec;
  if (!fs::exists(*folder, ec) && records::isInsideDataDirectory(*folder)) {
    bool haveNotes;
    {
      std::lock_guard lock(mutex_);
      haveNotes = (cache_ && cache_->size() > 0) || !index_.namesEmpty();
    }
    if (!haveNotes) (void)records::ensurePrivateDirectory(*folder);
  }
  std::weak_ptr<StoreCache> weak = weak_from_this();
  auto watch = options_.watcher->watch(*folder, [weak](const platform::FolderChange& change) {
    if (auto self = weak.lock()) self->onFolderChange(change);
  });
  if (!watch) return;  // a folder that cannot be opened has no watch
  std::unique_ptr<platform::FolderWatch> discard;
  {
    std::lock_guard lock(mutex_);
    if (serial == watchSerial_) watch_ = std::move(*watch);
    else discard = std::move(*watch);  // a newer watchSource() won
  }
}

void StoreCache::ensureWatch() {
  auto folder = options_.notesFolder();
  if (!folder) return;
  bool needed, haveNotes;
  {
    std::lock_guard lock(mutex_);
    needed = !watch_ || !watch_->alive() || watchedFolder_ != folder;
    haveNotes = (cache_ && cache_->size() > 0) || !index_.namesEmpty();
  }
  if (!needed) return;
  // The built-in folder of a fresh home does not exist yet; watchSource makes
  // it. One that vanished under known notes is not recreated here.
  std::error_code ec;
  if (fs::is_directory(*folder, ec) || (!haveNotes && records::isInsideDataDirectory(*folder))) watchSource();
}

void StoreCache::ensureWatchOnce() {
  if (!watchChecked_.exchange(true)) ensureWatch();
}

void StoreCache::onFolderChange(const platform::FolderChange& change) {
  ensureExitHook();
  std::weak_ptr<StoreCache> weak = weak_from_this();
  std::lock_guard lock(mutex_);
  const MonoTime seen = clock_.monotonicNow();
  if (pendingNames_.size() + change.names.size() > 4096) pendingOverflow_ = true;
  else
    for (const auto& name : change.names) pendingNames_.emplace_back(name, seen);
  pendingOverflow_ = pendingOverflow_ || change.overflow;
  pendingGone_ = pendingGone_ || change.folderGone;
  // Every event restarts the wait: a burst ends in one refetch.
  watchDebounce_ = watchQueue_->postDelayed(kWatchDebounce, [weak] {
    if (auto self = weak.lock()) self->onWatchSettled();
  });
}

void StoreCache::onWatchSettled() {
  if (stopping_.load()) return;
  std::vector<std::pair<std::string, MonoTime>> names;
  bool overflow, gone;
  std::optional<fs::path> folder;
  bool external = false;
  std::vector<std::string> ids;
  {
    std::lock_guard lock(mutex_);
    names.swap(pendingNames_);
    overflow = pendingOverflow_;
    gone = pendingGone_;
    pendingOverflow_ = pendingGone_ = false;
    folder = watchedFolder_;
    watchDebounce_.detach();
    external = overflow;
    for (const auto& entry : names)
      if (auto id = noteIdOfEntry(entry.first)) ids.push_back(std::move(*id));
  }
  // Ours when the entry is exactly what this process wrote there (an
  // outside edit a moment later is a different file); the atomic writes'
  // temporaries are followed by an event for the note itself.
  for (const auto& id : ids) {
    if (external) break;
    if (!options_.isOwnWrite(id)) external = true;
  }
  if (gone) {
    std::error_code ec;
    // The vault is gone: keep the last good list; the watch comes back with
    // the folder (ensureWatch after a refresh).
    if (!folder || !fs::is_directory(*folder, ec)) return;
    invalidate();
    watchSource();
    return;
  }
  if (external) invalidate();
}

}  // namespace corvane::notes
