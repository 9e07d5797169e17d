#pragma once
// The note cache: the one object between the note commands and the active
// note store. The store (a folder of files, or a scripted Notes application
// that answers in seconds) is consulted in the background; the tray's grid and
// the search answer from memory.
//
// It keeps the cached note list (persisted to "cache.json" so cards show at
// once after a restart), chooses and orders the grid, hydrates the grid's cards
// (previews, rich previews, images, the native attachment check), keeps the
// name and body-text indexes for search, watches the vault folder, and pushes
// "notes:updated" with a fresh grid.
//
// Threads: every field is guarded by one mutex, held only for in-memory work
// (never across a store call or a file write). Refresh, name refresh, body
// indexing, the attachment check and the watch debounce run on queues of their
// own; each job holds the cache weakly and has a busy flag, so a second start
// while one runs does nothing. invalidate() bumps a generation: a job that
// started before it discards its result and starts over.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/queue.h"
#include "core/result.h"
#include "notes/note.h"
#include "notes/note_store.h"
#include "notes/search_index.h"
#include "platform/folder_watcher.h"
#include "records/settings.h"

namespace corvane::notes {

// JSON array of notes, byte for byte what dumpCompact(notesToJson(notes))
// gives, written straight into one string (the grid goes out on every edit).
std::string encodeNotesJson(const std::vector<Note>& notes);

// The tray's selection and order (see StoreCache::grid).
std::vector<Note> selectGrid(const std::vector<const Note*>& notes, const records::Settings& settings, int64_t cap);
std::vector<Note> selectGrid(const CachedList& notes, const records::Settings& settings, int64_t cap);

// A note reduced for "cache.json": at most two local-media images, and a rich
// preview with at most two local image tags (pointing at thumbnails), no other
// image tags, cut to 900 counted characters.
Note reduceForStorage(const Note& note);

class StoreCache : public std::enable_shared_from_this<StoreCache> {
 public:
  static constexpr int64_t GRID_CAP = 6;
  static constexpr int64_t FIXED_GRID_WARM_CAP = 12;
  static constexpr size_t INDEX_CAP = 300;   // notes per body-indexing batch
  static constexpr size_t BODY_CAP = 4000;   // code points of body text kept per note
  static constexpr size_t PLAIN_CAP = 2000;  // notes in the body-text index at most

  static constexpr int64_t kRefreshThrottleMs = 2000;
  static constexpr int64_t kColdExtra = 12;
  static constexpr int64_t kRefreshExtra = 50;
  static constexpr int64_t kAgeTolerance = 16;
  static constexpr int64_t kRecentWindow = 120;
  static constexpr size_t kAttachmentChunk = 8;
  static constexpr size_t kPlainTextChunk = 80;
  static constexpr size_t kSearchLimit = 40;
  static constexpr size_t kHiddenPreviewChars = 140;
  static constexpr auto kWatchDebounce = std::chrono::milliseconds(800);
  static constexpr auto kIndexPause = std::chrono::milliseconds(400);
  // The folder store: whole texts, no note cap, bigger batches, short pauses.
  static constexpr size_t kWholeTextBatch = 2000;
  static constexpr size_t kListedPreviewBytes = 600;
  static constexpr auto kWholeTextPause = std::chrono::milliseconds(20);

  struct Options {
    const Clock* clock = nullptr;  // the system clock
    // Background queues by label; defaults to a SerialQueue each.
    std::function<std::shared_ptr<TaskQueue>(const std::string& label)> makeQueue;
    // The store for one job; defaults to activeNoteStore() (chosen afresh each time).
    std::function<std::shared_ptr<NoteStore>()> store;
    // The settings record; defaults to records::Settings::load / update.
    std::function<records::Settings()> loadSettings;
    std::function<Result<void>(const std::function<void(records::Settings&)>&)> updateSettings;
    // The folder the active store keeps its notes in (watched, and checked
    // before background listings); defaults to the vault of an "obsidian"
    // source, else the built-in notes folder.
    std::function<std::optional<std::filesystem::path>()> notesFolder;
    std::shared_ptr<platform::FolderWatcher> watcher;  // FolderWatcher::shared()
    std::filesystem::path cacheFile;                    // dataDirectory()/"cache.json"
    // Rewrites the images of a new body before its previews are computed
    // (pasted data images become media references); defaults to the
    // process-wide normalizer (setImageNormalizer).
    std::function<std::string(std::string_view html)> normalizeImages;
    // Whether the vault entry of note `id` is exactly what this process wrote
    // there last (its own change, seen again by the watch, needs no refetch);
    // defaults to asking the folder store about the watched folder.
    std::function<bool(const std::string& id)> isOwnWrite;
  };

  static std::shared_ptr<StoreCache> create();
  static std::shared_ptr<StoreCache> create(Options options);
  ~StoreCache();
  StoreCache(const StoreCache&) = delete;
  StoreCache& operator=(const StoreCache&) = delete;

  // The process-wide cache, created on first use; replaceable in tests
  // (nullptr makes the next shared() create a default one).
  static std::shared_ptr<StoreCache> shared();
  static void setSharedForTesting(std::shared_ptr<StoreCache> cache);
  // shutdown() of the process-wide cache, if one exists. Shells call it before
  // leaving main; an exit hook also calls it (see ensureExitHook).
  static void shutdownShared();

  // Where events go: (name, JSON payload). The default forwards to the
  // bridge's emitEvent (which drops events while no window exists); an empty
  // function emits nothing.
  using EventSink = std::function<void(std::string_view name, std::string_view payload)>;
  static void setEventSink(EventSink sink);
  static void resetEventSink();

  // The process-wide rewrite of images in new bodies (the media subsystem
  // installs media::normalizeImages at start-up); used by caches whose
  // Options leave normalizeImages empty. Without one, bodies are used as given.
  using ImageNormalizer = std::function<std::string(std::string_view html)>;
  static void setImageNormalizer(ImageNormalizer normalizer);

  // Loads "cache.json", starts a refresh, the name refresh and the folder watch.
  void start();
  // Stops starting jobs, waits for running ones and stops the watch (the
  // process-wide cache does this at exit, before the singletons it uses go).
  void shutdown();
  // The store for one job (the active one, chosen afresh).
  std::shared_ptr<NoteStore> store() { return activeStore(); }
  // Starts the folder watch if it is not running on the active store's folder.
  void ensureWatch();
  // ensureWatch() the first time only (the commands call it, so a process
  // that never ran the start-up sequence still follows the vault).
  void ensureWatchOnce();
  // The grid, from memory when a cached list exists (a refresh runs behind);
  // a cold cache lists the store and passes its failure on.
  Result<std::vector<Note>> list(std::optional<int64_t> limit);
  int64_t gridFetchCap();
  void rememberRequestedCap(int64_t n);
  // Hidden notes dropped, pinned marked, sorted (pinned first, then notes not
  // yet in the card order newest first, then the card order, then age, then
  // id); pinned and project notes fill the grid first, then the others.
  static std::vector<Note> grid(const std::vector<Note>& notes, const records::Settings& settings, int64_t cap);

  // Updates after the store changed a note (the store call already succeeded).
  void noteCreated(const std::string& id, const std::string& name, const std::string& plainText,
                   const std::optional<std::string>& html, bool announce);
  // Exactly one of appendedText (plain text added) and newHTML (the new body).
  void bodyChanged(const std::string& id, const std::optional<std::string>& appendedText,
                   const std::optional<std::string>& newHTML);
  void titleChanged(const std::string& id, const std::string& name);
  void noteDeleted(const std::string& id);
  // Forgets everything and refetches (source switch, stale ids, vault changes).
  void invalidate();

  // The name index, or the cached list while the index is empty (stubs:
  // id, name, age and, for cached notes, their card fields). These readers
  // and search() list the store's names first when nothing is in memory yet.
  std::vector<Note> knownNotes();
  // Names of the first `limit` known notes.
  std::vector<std::string> knownNames(size_t limit);
  bool hasNoteNamed(const std::string& name);
  // The hidden notes in the order of Settings.hidden, with short previews.
  std::vector<Note> hiddenNotes();
  // Known notes that are not hidden.
  int64_t visibleCount();
  // (Re)starts the watch on the active store's folder.
  void watchSource();
  // Persists the list and emits "notes:updated" with its grid.
  void publish(const std::vector<Note>& notes);

  // Search over the indexes (at most 40 notes, best first).
  std::vector<Note> search(std::string_view query);
  // Asks the store first, indexes its hits, then searches.
  std::vector<Note> deepSearch(std::string_view query);

  // For tests and tools.
  std::optional<std::vector<Note>> cachedNotes();
  bool busy();  // any job running or scheduled
  size_t bodyIndexCount();

 private:
  explicit StoreCache(Options options);

  struct PersistTicket {
    uint64_t seq = 0;
    CachedListPtr list;
  };

  std::shared_ptr<NoteStore> activeStore();
  records::Settings settings();
  int64_t nowMs();
  int64_t ageNow();
  bool folderVanished(bool haveNotes);

  // Jobs.
  void refresh(int64_t limit);
  void runRefresh(int64_t limit, uint64_t generation);
  bool waitForNames();
  void startNameRefresh(bool fromSearch = false);
  void runNameRefresh(uint64_t generation);
  struct IndexLimits {
    size_t notes;  // notes with body text at most
    size_t text;   // code points kept per note
    size_t batch;  // notes per indexing batch
    Duration pause;
  };
  IndexLimits indexLimits();
  size_t bodyCap();
  void scheduleBodyIndexing(Duration delay);
  void runBodyIndexing();
  // Rebuilds the trigram index over the current body texts once enough of them
  // are not covered; `settled` when no indexing batch is due soon.
  void buildGramsIfStale(bool settled);
  void scheduleGramsCheck();
  void startAttachmentCheck(int64_t limit);
  void runAttachmentCheck(int64_t limit, std::vector<std::pair<std::string, int64_t>> candidates,
                          uint64_t generation);
  void onFolderChange(const platform::FolderChange& change);
  void onWatchSettled();
  void warmNamesIfCold();

  // Helpers (the *Locked ones need mutex_).
  // `since`: the change sequence when the listing started (later local
  // changes win over what it read).
  CachedListPtr mergeFreshLocked(const std::vector<Note>& fresh, const CachedList* old, int64_t recentAge,
                                 uint64_t since) const;
  std::vector<Note> pinnedAndProjectExtrasLocked(const std::vector<Note>& list, const CachedList* old,
                                                 const records::Settings& s, std::vector<std::string>* missingIds,
                                                 std::vector<std::string>* missingNames) const;
  CachedListPtr fillPreviewsAndHydrate(CachedListPtr list, const records::Settings& s, int64_t cap,
                                       const std::shared_ptr<NoteStore>& store, uint64_t generation);
  void applyMemosLocked(std::vector<Note>& notes) const;
  PersistTicket ticketLocked(CachedListPtr list);
  void persist(const PersistTicket& ticket);
  // Persists, then emits the grid with the image and rich-preview memos filled in.
  void publishTicket(const PersistTicket& ticket);
  int64_t gridFetchCapFor(const records::Settings& s);
  void rememberRequestedCap(int64_t n, const records::Settings& s);
  void emitGrid(const CachedListPtr& list, const records::Settings& s, int64_t cap);
  // Records a change the commands made, so a listing that started before it
  // cannot undo it.
  void markLocalChangeLocked(const std::string& id);
  bool changedSinceLocked(const std::string& id, uint64_t seq) const;

  Options options_;
  const Clock& clock_;
  std::shared_ptr<TaskQueue> refreshQueue_, nameQueue_, indexQueue_, attachmentQueue_, watchQueue_;

  std::mutex mutex_;
  // --- guarded by mutex_
  std::optional<int64_t> lastRequestedGridCap_;
  int64_t cacheFetchLimit_ = 0;
  CachedListPtr cache_;  // null: absent
  bool refreshing_ = false;
  int64_t lastRefreshMs_ = 0;
  std::unordered_map<std::string, std::vector<std::string>> imageMemo_;
  std::unordered_map<std::string, std::string> richMemo_;
  std::unordered_map<std::string, std::vector<std::string>> nativeAttachmentMemo_;
  bool nativeAttachmentRefreshing_ = false;
  SearchIndex index_;  // nameIndex, foldedName, plainMemo, plainAge, foldedBody
  bool indexing_ = false;
  bool gramsPending_ = false;  // a check is posted or a build is running
  bool nameRefreshing_ = false;
  int64_t lastSearchNameRefreshMs_ = 0;
  std::unordered_map<std::string, int64_t> unreadable_;  // id -> age whose plain text could not be read
  TaskHandle indexPause_;
  uint64_t generation_ = 0;
  // The folder watch.
  std::unique_ptr<platform::FolderWatch> watch_;
  std::optional<std::filesystem::path> watchedFolder_;
  uint64_t watchSerial_ = 0;
  TaskHandle watchDebounce_;
  std::vector<std::pair<std::string, MonoTime>> pendingNames_;  // entry name, when seen
  bool pendingOverflow_ = false, pendingGone_ = false;
  uint64_t changeSeq_ = 0;
  std::unordered_map<std::string, uint64_t> localChanges_;  // id -> changeSeq_ of its last change
  bool namesLoaded_ = false;  // a full name listing of this generation is in the index
  uint64_t persistSeq_ = 0;
  // --- end of guarded fields

  std::atomic<bool> stopping_{false};
  std::atomic<bool> watchChecked_{false};
  std::mutex persistMutex_;  // serialises cache file writes
  uint64_t persistedSeq_ = 0;  // guarded by persistMutex_
};

}  // namespace corvane::notes
