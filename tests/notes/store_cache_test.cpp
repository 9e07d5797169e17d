#include "notes/store_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/files.h"
#include "core/json.h"
#include "notes/file_store.h"
#include "memory_note_store.h"
#include "platform/fake/fake_folder_watcher.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::MemoryNoteStore;

std::vector<std::string> idsOf(const std::vector<Note>& notes) {
  std::vector<std::string> out;
  for (const auto& n : notes) out.push_back(n.id);
  return out;
}

std::string pad(int i) { return (i < 10 ? "n0" : "n") + std::to_string(i); }

class CacheTest : public ::testing::Test {
 protected:
  CacheTest() {
    settings = std::make_shared<records::SettingsStore>(std::make_shared<SerialQueue>("test.settings"),
                                                        home.path() / "Corvane" / "settings.json");
    store = std::make_shared<MemoryNoteStore>();
    watcher = std::make_shared<platform::FakeFolderWatcher>();
    vault = home.path() / "vault";
    fs::create_directories(vault);
    fs::create_directories(home.path() / "Corvane");
    StoreCache::setEventSink([this](std::string_view name, std::string_view payload) {
      std::lock_guard lock(eventsMutex);
      events.emplace_back(std::string(name), std::string(payload));
    });
    cache = makeCache();
  }
  ~CacheTest() override {
    cache.reset();
    StoreCache::resetEventSink();
  }

  std::shared_ptr<StoreCache> makeCache() {
    StoreCache::Options o;
    o.clock = &sched;
    o.makeQueue = [this](const std::string& label) { return sched.createQueue(label); };
    o.store = [this]() -> std::shared_ptr<NoteStore> { return activeStore ? activeStore : store; };
    o.loadSettings = [this] { return settings->load(); };
    o.updateSettings = [this](const std::function<void(records::Settings&)>& m) { return settings->update(m); };
    o.notesFolder = [this] { return std::optional<fs::path>(vault); };
    o.watcher = watcher;
    o.cacheFile = cacheFile();
    return StoreCache::create(o);
  }
  fs::path cacheFile() const { return home.path() / "Corvane" / "cache.json"; }

  void fill(int count, int firstAge = 0) {
    for (int i = 0; i < count; ++i)
      store->put(pad(i), "Note " + std::to_string(i), "<div>Note " + std::to_string(i) + "</div><div>body " +
                                                         std::to_string(i) + "</div>",
                 firstAge + i);
  }
  void change(const std::function<void(records::Settings&)>& m) { ASSERT_TRUE(settings->update(m).has_value()); }
  int updates() {
    std::lock_guard lock(eventsMutex);
    int n = 0;
    for (const auto& e : events) n += e.first == "notes:updated";
    return n;
  }
  std::vector<std::string> lastGridIds() {
    std::lock_guard lock(eventsMutex);
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->first != "notes:updated") continue;
      std::vector<std::string> ids;
      for (const auto& n : notesFromJson(*parseJson(it->second))) ids.push_back(n.id);
      return ids;
    }
    return {};
  }
  std::optional<Note> cached(const std::string& id) {
    auto notes = cache->cachedNotes();
    if (!notes) return std::nullopt;
    for (auto& n : *notes)
      if (n.id == id) return n;
    return std::nullopt;
  }
  std::vector<std::string> listIds(std::optional<int64_t> limit = std::nullopt) {
    auto r = cache->list(limit);
    EXPECT_TRUE(r.has_value()) << r.error();
    return r ? idsOf(*r) : std::vector<std::string>{};
  }
  int refreshListings(int64_t fetch) {
    return static_cast<int>(std::count(store->listLimits.begin(), store->listLimits.end(), fetch));
  }

  corvane::testing::TempHome home;
  corvane::testing::FakeScheduler sched;
  std::shared_ptr<records::SettingsStore> settings;
  std::shared_ptr<MemoryNoteStore> store;
  std::shared_ptr<NoteStore> activeStore;  // overrides `store` when set
  std::shared_ptr<platform::FakeFolderWatcher> watcher;
  fs::path vault;
  std::mutex eventsMutex;
  std::vector<std::pair<std::string, std::string>> events;
  std::shared_ptr<StoreCache> cache;
};

// ---- listing and refreshing

TEST_F(CacheTest, ColdListFetchesAroundTheGridPersistsAndPassesFailuresOn) {
  fill(30);
  EXPECT_THAT(listIds(), ElementsAre("n00", "n01", "n02", "n03", "n04", "n05"));
  EXPECT_THAT(store->listLimits, ElementsAre(24));  // max(6, 12) + 12
  auto file = readFile(cacheFile());
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(notesFromJson(*parseJson(*file)).size(), 24u);
  EXPECT_EQ(corvane::testing::modeOf(cacheFile()), 0600u);

  auto failing = std::make_shared<MemoryNoteStore>();
  failing->failList = "__notes_auth_denied__";
  activeStore = failing;
  auto cold = makeCache();
  EXPECT_THAT(cold->list(std::nullopt), corvane::testing::FailedWith("__notes_auth_denied__"));
  EXPECT_FALSE(cold->cachedNotes().has_value());
}

TEST_F(CacheTest, GridSizeIsClampedAndRememberedForAutoMode) {
  fill(80);
  struct Case {
    int64_t limit;
    size_t shown;
    int64_t autoCount;
  };
  for (const Case& c : {Case{100, 60, 60}, Case{0, 1, 1}, Case{9, 9, 9}}) {
    EXPECT_EQ(listIds(c.limit).size(), c.shown) << c.limit;
    EXPECT_EQ(settings->load().gridAutoCount, c.autoCount) << c.limit;
  }
  change([](records::Settings& s) {
    s.gridCountExplicit = true;
    s.gridCount = 9;
  });
  (void)listIds(40);
  EXPECT_EQ(settings->load().gridAutoCount, 9);  // a fixed size is not overwritten
  EXPECT_EQ(cache->gridFetchCap(), 9);           // min(requested 40, fixed 9)
}

TEST_F(CacheTest, WarmListsComeFromMemoryAndRefreshAtMostEveryTwoSeconds) {
  fill(30);
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(refreshListings(62), 1);  // max(6, 12) + 50
  const int before = store->listCalls;

  EXPECT_THAT(listIds(), ElementsAre("n00", "n01", "n02", "n03", "n04", "n05"));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(refreshListings(62), 1);
  EXPECT_EQ(store->listCalls, before);

  sched.fastForwardBy(std::chrono::milliseconds(1999));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(refreshListings(62), 1);
  sched.fastForwardBy(std::chrono::milliseconds(1));
  (void)listIds();
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(refreshListings(62), 2);
}

TEST_F(CacheTest, RefreshKeepsHydratedCardsOnlyWhileTheAgeIsWithinTolerance) {
  Note a{"a", "A", "old preview a", false, 100, {"app://local/__thumb/a.jpg"}, "<b>a</b>", true, true};
  Note b{"b", "B", "old preview b", false, 200, {}, "<b>b</b>", true, true};
  ASSERT_TRUE(writeFileAtomic(cacheFile(), dumpCompact(notesToJson({a, b}))).has_value());
  store->put("a", "A", "<div>A</div><div>new a</div>", 115);  // 15 apart: same version
  store->put("b", "B", "<div>B</div><div>new b</div>", 216);  // 16 apart: changed
  cache->start();
  EXPECT_THAT(idsOf(*cache->cachedNotes()), ElementsAre("a", "b"));
  sched.runUntilIdle();
  auto na = cached("a"), nb = cached("b");
  ASSERT_TRUE(na && nb);
  EXPECT_EQ(na->age, 115);
  EXPECT_EQ(na->preview, "old preview a");
  EXPECT_EQ(na->images, a.images);
  EXPECT_EQ(na->previewHTML, "<b>a</b>");
  EXPECT_EQ(nb->preview, "new b");
  EXPECT_EQ(nb->previewHTML, "");  // the new body has no formatting
  EXPECT_TRUE(nb->bodyHydrated);
  // Only b needed its body read.
  ASSERT_EQ(store->bodyRequests.size(), 1u);
  EXPECT_THAT(store->bodyRequests[0], ElementsAre("b"));
}

TEST_F(CacheTest, NotesTheStoreDoesNotListYetStayForTwoMinutes) {
  fill(3);
  (void)listIds();
  sched.runUntilIdle();
  cache->noteCreated("fresh", "Fresh", "Fresh\nhello", std::nullopt, true);
  EXPECT_EQ(listIds().front(), "fresh");

  sched.fastForwardBy(std::chrono::seconds(2));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_TRUE(cached("fresh").has_value());

  sched.fastForwardBy(std::chrono::seconds(119));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_FALSE(cached("fresh").has_value());
}

TEST_F(CacheTest, PinnedAndProjectNotesBeyondTheFetchAreFoundAndLeadTheGrid) {
  fill(100);
  store->put("n97", "Project X", "<div>Project X</div>", 97);
  change([](records::Settings& s) {
    s.pinned = {"n95"};
    s.projects = {{"Project X", "/tmp"}};
  });
  EXPECT_THAT(listIds(), ElementsAre("n95", "n97", "n00", "n01", "n02", "n03"));
  ASSERT_EQ(store->findRequests.size(), 1u);
  EXPECT_THAT(store->findRequests[0].first, ElementsAre("n95"));
  EXPECT_THAT(store->findRequests[0].second, ElementsAre("Project X"));
  // The refresh finds them in the name index or the old list, not the store.
  sched.runUntilIdle();
  EXPECT_EQ(store->findCalls, 1);
  auto grid = cache->list(std::nullopt);
  ASSERT_TRUE(grid.has_value());
  EXPECT_TRUE((*grid)[0].pinned);
  EXPECT_FALSE((*grid)[1].pinned);
}

TEST_F(CacheTest, GridOrderAndSelection) {
  auto note = [](std::string id, int64_t age, std::string name = "") {
    Note n;
    n.id = id;
    n.name = name.empty() ? id : name;
    n.age = age;
    return n;
  };
  struct Case {
    const char* what;
    std::vector<Note> notes;
    std::function<void(records::Settings&)> settings;
    int64_t cap;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"card order, unordered notes first", {note("a", 1), note("b", 2), note("c", 3)},
       [](records::Settings& s) { s.cardOrder = {"b", "a"}; }, 6, {"c", "b", "a"}},
      {"hidden never shows, even pinned", {note("a", 1), note("b", 2)},
       [](records::Settings& s) {
         s.pinned = {"a"};
         s.hidden = {"a"};
       },
       6, {"b"}},
      {"pinned first, then projects, then by age",
       {note("a", 1), note("b", 2), note("p", 9, "Proj"), note("z", 5)},
       [](records::Settings& s) {
         s.pinned = {"z"};
         s.projects = {{"Proj", "/x"}};
       },
       6, {"z", "p", "a", "b"}},
      {"front fills the cap first", {note("a", 1), note("b", 2), note("c", 3)},
       [](records::Settings& s) { s.pinned = {"c", "b"}; }, 2, {"b", "c"}},
      {"equal ages by id", {note("b", 1), note("a", 1), note("c", 0)}, [](records::Settings&) {}, 6,
       {"c", "a", "b"}},
      {"cap 1", {note("a", 1), note("b", 0)}, [](records::Settings&) {}, 1, {"b"}},
  };
  for (const auto& c : cases) {
    records::Settings s;
    c.settings(s);
    EXPECT_THAT(idsOf(StoreCache::grid(c.notes, s, c.cap)), ElementsAreArray(c.expected)) << c.what;
    // The cached list's path (lookups by id) orders the same way.
    EXPECT_THAT(idsOf(selectGrid(*makeCachedList(c.notes), s, c.cap)), ElementsAreArray(c.expected)) << c.what;
  }
}

// ---- hydration and the attachment check

TEST_F(CacheTest, OnlyGridCardsAreHydratedAndAttachmentsBackedUpInChunks) {
  fill(30);
  store->put("n00", "Note 0",
             "<div>Note 0</div><div><b>bold</b></div><img src=\"app://local/__media/a.png\"><img src=\"x.png\">"
             "<img src=\"y.png\">",
             0);
  for (int i = 1; i <= 9; ++i) store->setAttachments(pad(i), 2);
  NativeAttachmentBackup failed;
  failed.failedCount = 1;
  store->backups["n05"] = failed;

  (void)listIds(10);
  sched.runUntilIdle();
  ASSERT_EQ(store->bodyRequests.size(), 1u);
  EXPECT_EQ(store->bodyRequests[0].size(), 10u);  // the grid only
  auto n0 = cached("n00");
  ASSERT_TRUE(n0);
  EXPECT_TRUE(n0->bodyHydrated);
  EXPECT_THAT(n0->images, ElementsAre("app://local/__media/a.png", "x.png"));
  EXPECT_THAT(n0->previewHTML, ::testing::HasSubstr("<b>bold</b>"));
  EXPECT_TRUE(n0->nativeAttachmentsHydrated);  // counted 0
  EXPECT_FALSE(cached("n20")->bodyHydrated);

  // Nine notes with attachments: backed up 8 + 1.
  ASSERT_EQ(store->backupRequests.size(), 2u);
  EXPECT_EQ(store->backupRequests[0].size(), 8u);
  EXPECT_EQ(store->backupRequests[1].size(), 1u);
  auto n1 = cached("n01");
  EXPECT_TRUE(n1->nativeAttachmentsHydrated);
  EXPECT_THAT(n1->images, ElementsAre("app://local/__media/tok-n01-0", "app://local/__media/tok-n01-1"));
  EXPECT_FALSE(cached("n05")->nativeAttachmentsHydrated);  // its backup failed
  EXPECT_THAT(lastGridIds().size(), 10u);

  // A second check only retries what is left.
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)listIds(10);
  sched.runUntilIdle();
  EXPECT_THAT(store->backupRequests.back(), ElementsAre("n05"));
}

// ---- the cache file

TEST(CacheFileTest, StorageKeepsOnlyTwoLocalImagesAndThumbnailTags) {
  Note n;
  n.images = {"data:image/png;base64,AAAA", "app://local/__media/a.png", "https://example.com/x.png",
              "app://local/__thumb/b.jpg", "app://local/__media/c.png"};
  n.previewHTML =
      "<b>x</b><img src=\"data:image/png;base64,AA\"><IMG src=\"app://local/__media/a.png\" width=\"10\">"
      "<img alt=\"none\"><img src='app://local/__thumb/b.jpg'><img src=\"app://local/__media/c.png\">end";
  Note r = reduceForStorage(n);
  EXPECT_THAT(r.images, ElementsAre("app://local/__media/a.png", "app://local/__thumb/b.jpg"));
  EXPECT_EQ(r.previewHTML,
            "<b>x</b><IMG src=\"app://local/__thumb/a.png\" width=\"10\"><img src='app://local/__thumb/b.jpg'>end");

  Note longPreview;
  longPreview.previewHTML = std::string(1000, 'x');
  EXPECT_EQ(reduceForStorage(longPreview).previewHTML.size(), 900u);
}

TEST_F(CacheTest, CorruptCacheFileIsIgnoredAndRebuilt) {
  fill(3);
  for (const char* bad : {"[{\"id\":\"x\",\"name\":", "{\"id\":\"x\"}", "\xFF\xFE"}) {
    ASSERT_TRUE(writeFileAtomic(cacheFile(), bad).has_value());
    auto fresh = makeCache();
    fresh->start();
    EXPECT_FALSE(fresh->cachedNotes().has_value()) << bad;
    sched.runUntilIdle();
    auto rebuilt = parseJson(*readFile(cacheFile()));
    ASSERT_TRUE(rebuilt.has_value()) << bad;
    EXPECT_EQ(notesFromJson(*rebuilt).size(), 3u);
  }
  // Missing keys read as defaults.
  ASSERT_TRUE(writeFileAtomic(cacheFile(), "[{\"id\":\"a\",\"name\":\"A\"},7]").has_value());
  auto tolerant = makeCache();
  tolerant->start();
  ASSERT_TRUE(tolerant->cachedNotes().has_value());
  EXPECT_THAT(idsOf(*tolerant->cachedNotes()), ElementsAre("a"));
}

// ---- updates from the commands

TEST_F(CacheTest, CommandUpdatesChangeTheListAndPublish) {
  fill(3);
  (void)listIds();
  sched.runUntilIdle();
  int published = updates();

  cache->noteCreated("new", "New", "New\nfirst line", std::string("<div>New</div><div><b>b</b></div>"), true);
  EXPECT_EQ(updates(), ++published);
  EXPECT_EQ(lastGridIds().front(), "new");
  auto created = cached("new");
  EXPECT_EQ(created->preview, "first line");
  EXPECT_TRUE(created->bodyHydrated);
  EXPECT_TRUE(created->nativeAttachmentsHydrated);

  cache->bodyChanged("n02", std::string("appended words"), std::nullopt);
  EXPECT_EQ(updates(), ++published);
  EXPECT_EQ(lastGridIds().front(), "n02");
  EXPECT_EQ(cached("n02")->preview, "body 2\u2028appended words");
  EXPECT_FALSE(cached("n02")->bodyHydrated);

  cache->bodyChanged("n01", std::nullopt, std::string("<div>Note 1</div><div>replaced</div><img src=\"q.png\">"));
  EXPECT_EQ(cached("n01")->preview, "replaced");
  EXPECT_THAT(cached("n01")->images, ElementsAre("q.png"));
  EXPECT_TRUE(cached("n01")->bodyHydrated);

  cache->titleChanged("n00", "Renamed");
  EXPECT_EQ(cached("n00")->name, "Renamed");
  cache->noteDeleted("n00");
  EXPECT_FALSE(cached("n00").has_value());

  // An id the cache does not hold still publishes.
  published = updates();
  cache->bodyChanged("ghost", std::string("x"), std::nullopt);
  cache->titleChanged("ghost", "Ghost");
  EXPECT_EQ(updates(), published + 2);
  EXPECT_FALSE(cached("ghost").has_value());

  // Announce false: persisted, not published.
  cache->noteCreated("quiet", "Quiet", "", std::nullopt, false);
  EXPECT_EQ(updates(), published + 2);
  EXPECT_NE(readFile(cacheFile())->find("\"quiet\""), std::string::npos);
}

// ---- invalidation and the folder watch

TEST_F(CacheTest, InvalidateDiscardsWhatARunningRefreshFetchedFromTheOldSource) {
  fill(3);
  (void)listIds();
  sched.runUntilIdle();
  auto other = std::make_shared<MemoryNoteStore>();
  other->put("o1", "Other", "<div>Other</div><div>from the new source</div>", 0);
  // The source changes while a refresh is listing the old store.
  store->duringList = [&] {
    store->duringList = nullptr;
    activeStore = other;
    cache->invalidate();
  };
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_THAT(idsOf(*cache->cachedNotes()), ElementsAre("o1"));
  EXPECT_THAT(lastGridIds(), ElementsAre("o1"));
  EXPECT_THAT(idsOf(cache->search("new source")), ElementsAre("o1"));
  EXPECT_TRUE(cache->search("body").empty());
}

TEST_F(CacheTest, ABurstOfVaultChangesCausesOneRefetchAfterTheDebounce) {
  fill(3);
  cache->start();
  sched.runUntilIdle();
  EXPECT_THAT(watcher->watchedFolders(), ElementsAre(vault));
  const int listings = store->listCalls;
  const int published = updates();

  for (int i = 0; i < 100; ++i) {
    watcher->fire(vault, {"n0" + std::to_string(i % 3) + ".md"});
    sched.fastForwardBy(std::chrono::milliseconds(5));
  }
  sched.fastForwardBy(std::chrono::milliseconds(790));
  EXPECT_EQ(store->listCalls, listings);
  sched.fastForwardBy(std::chrono::milliseconds(10));
  sched.runUntilIdle();
  EXPECT_EQ(refreshListings(62), 2);  // the start refresh and this one
  EXPECT_EQ(updates(), published + 1);
}

TEST_F(CacheTest, ChangesTheSystemMadeItselfAreNotRefetchedButAnEditRightAfterIs) {
  auto files = std::make_shared<FileStore>(vault);
  activeStore = files;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(files->createNote("Note " + std::to_string(i), "body").has_value());
  cache->start();
  sched.runUntilIdle();
  const int published = updates();
  ASSERT_TRUE(files->setBody("note-1", "<div>Note 1</div><div>edited</div>", false).has_value());
  cache->bodyChanged("note-1", std::nullopt, std::string("<div>Note 1</div><div>edited</div>"));
  EXPECT_EQ(updates(), published + 1);
  watcher->fire(vault, {".note-1.md.1a2b3c4d5e6f.tmp", "note-1.md", "notes.txt"});
  sched.fastForwardBy(std::chrono::seconds(2));
  sched.runUntilIdle();
  EXPECT_EQ(updates(), published + 1);  // nothing to refetch

  // Another program saves the note 0.3 s after the tray did: however close
  // in time, it is not the file the tray wrote.
  ASSERT_TRUE(files->appendHTML("note-2", "<div>tray</div>").has_value());
  cache->bodyChanged("note-2", std::string("tray"), std::nullopt);
  sched.fastForwardBy(std::chrono::milliseconds(300));
  std::ofstream(vault / "note-2.md", std::ios::binary) << "Note 2\nwalrus from outside\n";
  watcher->fire(vault, {"note-2.md"});
  sched.fastForwardBy(std::chrono::seconds(1));
  sched.runUntilIdle();
  EXPECT_EQ(updates(), published + 3);  // the tray's save, then one for the outside edit
  EXPECT_THAT(idsOf(cache->search("walrus")), ElementsAre("note-2"));
}

TEST_F(CacheTest, AListingThatStartedBeforeASaveNeverRevertsIt) {
  fill(3);
  cache->start();
  sched.runUntilIdle();
  // The tray saves and renames while the store is listing: the listing holds
  // the old text.
  store->afterList = [this](int64_t limit) {
    if (limit <= 0) return;
    store->afterList = nullptr;
    store->put("n01", "Renamed", "<div>Renamed</div><div>saved text</div>", -5);
    cache->titleChanged("n01", "Renamed");
    cache->bodyChanged("n01", std::nullopt, std::string("<div>Renamed</div><div>saved text</div>"));
  };
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)cache->list(6);  // starts the refresh
  sched.runUntilIdle();
  ASSERT_TRUE(cached("n01").has_value());
  EXPECT_EQ(cached("n01")->name, "Renamed");
  EXPECT_EQ(cached("n01")->preview, "saved text");
  EXPECT_EQ(lastGridIds().front(), "n01");

  // The same for the name index under a full listing.
  store->afterList = [this](int64_t limit) {
    if (limit > 0) return;
    store->afterList = nullptr;
    store->put("n02", "Also renamed", "<div>Also renamed</div>", -6);
    cache->titleChanged("n02", "Also renamed");
  };
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)cache->search("note");  // starts the name refresh
  sched.runUntilIdle();
  EXPECT_TRUE(cache->hasNoteNamed("Also renamed"));
  EXPECT_FALSE(cache->hasNoteNamed("Note 2"));
}

TEST_F(CacheTest, AVanishedVaultLeavesTheLastGoodListAndTheWatchReturnsWithIt) {
  fill(3);
  cache->start();
  sched.runUntilIdle();
  const auto before = *cache->cachedNotes();
  const size_t watches = watcher->watchesStarted();

  fs::remove_all(vault);
  platform::FolderChange gone;
  gone.folderGone = true;
  watcher->fire(vault, gone);
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(*cache->cachedNotes(), before);
  EXPECT_EQ(cache->knownNotes().size(), 3u);

  // Replaced by a file: the same.
  ASSERT_TRUE(writeFileAtomic(vault, "not a folder").has_value());
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(*cache->cachedNotes(), before);

  fs::remove(vault);
  fs::create_directories(vault);
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)listIds();
  sched.runUntilIdle();
  EXPECT_EQ(watcher->watchesStarted(), watches + 1);
  EXPECT_THAT(watcher->watchedFolders(), ElementsAre(vault));
}

TEST_F(CacheTest, SwitchingTheSourceMovesTheWatch) {
  cache->start();
  sched.runUntilIdle();
  vault = home.path() / "other-vault";
  fs::create_directories(vault);
  cache->watchSource();
  EXPECT_THAT(watcher->watchedFolders(), ElementsAre(vault));
  watcher->refuse(home.path() / "missing");
  vault = home.path() / "missing";
  cache->watchSource();
  EXPECT_TRUE(watcher->watchedFolders().empty());
}

// ---- what other parts read

TEST_F(CacheTest, HiddenNotesVisibleCountAndKnownNotes) {
  fill(40);
  store->put("n35", "Hidden far away", "<div>Hidden far away</div><div>" + std::string(300, 'h') + "</div>", 35);
  change([](records::Settings& s) { s.hidden = {"n35", "n01", "gone"}; });
  (void)listIds();  // 24 notes cached: counts still answer for the whole vault
  EXPECT_EQ(cache->knownNotes().size(), 40u);
  EXPECT_EQ(cache->visibleCount(), 38);

  auto hidden = cache->hiddenNotes();
  ASSERT_EQ(hidden.size(), 2u);  // "gone" cannot be read at all
  EXPECT_EQ(hidden[0].id, "n35");
  EXPECT_EQ(hidden[0].name, "Hidden far away");
  EXPECT_EQ(hidden[0].preview, std::string(140, 'h'));
  EXPECT_EQ(hidden[1].id, "n01");
  EXPECT_EQ(hidden[1].preview, "body 1");

  sched.runUntilIdle();  // the name index now knows all 40
  EXPECT_EQ(cache->knownNotes().size(), 40u);
  EXPECT_EQ(cache->visibleCount(), 38);
  EXPECT_TRUE(cache->hasNoteNamed("Hidden far away"));
  EXPECT_EQ(cache->knownNames(3), (std::vector<std::string>{"Note 0", "Note 2", "Note 3"}));
}

// ---- the search index inside the cache

TEST_F(CacheTest, BodyTextIsIndexedInBatchesWithPausesUpToTheCap) {
  fill(700);
  for (int i = 0; i < 50; ++i) store->unreadable.insert(pad(i));
  cache->start();
  sched.runUntilIdle();
  // First batch: 300 notes, read 80 at a time; unreadable ones are skipped.
  EXPECT_EQ(cache->bodyIndexCount(), 250u);
  std::vector<size_t> chunkSizes;
  for (const auto& r : store->plainTextRequests)
    if (r.size() >= 60) chunkSizes.push_back(r.size());
  EXPECT_THAT(chunkSizes, ElementsAre(80, 80, 80, 60));
  sched.fastForwardBy(std::chrono::milliseconds(399));
  EXPECT_EQ(cache->bodyIndexCount(), 250u);
  sched.fastForwardBy(std::chrono::milliseconds(1));
  EXPECT_EQ(cache->bodyIndexCount(), 550u);
  sched.fastForwardBy(std::chrono::seconds(2));
  EXPECT_EQ(cache->bodyIndexCount(), 650u);
  EXPECT_FALSE(cache->busy());
  EXPECT_THAT(idsOf(cache->search("body 699")), ElementsAre("n699"));
}

TEST_F(CacheTest, BodyTextIndexStopsAtTwoThousandNotes) {
  fill(2100);
  cache->start();
  sched.fastForwardBy(std::chrono::seconds(10));
  EXPECT_EQ(cache->bodyIndexCount(), StoreCache::PLAIN_CAP);
  EXPECT_FALSE(cache->busy());
}

TEST_F(CacheTest, EditsAreSearchableAtOnceAndOutsideChangesAreReindexed) {
  fill(5);
  cache->start();
  sched.runUntilIdle();
  cache->bodyChanged("n03", std::nullopt, std::string("<div>Note 3</div><div>zebra crossing</div>"));
  EXPECT_THAT(idsOf(cache->search("zebra")), ElementsAre("n03"));
  cache->bodyChanged("n03", std::string("giraffe"), std::nullopt);
  EXPECT_THAT(idsOf(cache->search("zebra giraffe")), ElementsAre("n03"));
  cache->noteCreated("c1", "Café", "Café\nau lait", std::nullopt, true);
  EXPECT_THAT(idsOf(cache->search("cafe")), ElementsAre("c1"));

  // Changed outside the tray: a new age drops the old body text at the next
  // name refresh, and a later batch reads the new one.
  store->put("n04", "Note 4", "<div>Note 4</div><div>walrus</div>", 44);
  EXPECT_TRUE(cache->search("walrus").empty());
  sched.fastForwardBy(std::chrono::seconds(3));
  (void)cache->search("anything");  // starts the name refresh
  sched.runUntilIdle();
  EXPECT_THAT(idsOf(cache->search("walrus")), ElementsAre("n04"));
}

TEST_F(CacheTest, TheFolderStoreIsSearchedThroughTheWholeTextOfEveryNote) {
  activeStore = std::make_shared<FileStore>(vault);
  // More notes than the Notes application's cap, the sought one the oldest,
  // its word far past the Notes application's text cap.
  for (int i = 0; i < 2100; ++i)
    std::ofstream(vault / ("n" + std::to_string(i) + ".md")) << "Note " << i << "\nsome common words\n";
  // One word 9,000 characters in (within the listing's preview), one past
  // any preview.
  std::ofstream(vault / "deep.md") << "Deep\n"
                                   << std::string(9000, 'x') << " quetzalcoatl\n"
                                   << std::string(30000, 'y') << " axolotl\n";
  fs::last_write_time(vault / "deep.md", fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
  cache->start();
  sched.runUntilIdle();
  sched.fastForwardBy(std::chrono::seconds(1));  // the batches after the first
  sched.runUntilIdle();
  EXPECT_EQ(cache->bodyIndexCount(), 2101u);
  EXPECT_THAT(idsOf(cache->search("quetzalcoatl")), ElementsAre("deep"));
  EXPECT_THAT(idsOf(cache->search("axolotl")), ElementsAre("deep"));
  EXPECT_THAT(idsOf(cache->deepSearch("axolotl")), ElementsAre("deep"));
  auto hits = FileStore(vault).searchNotes("AXOLOTL");
  ASSERT_TRUE(hits.has_value());
  EXPECT_THAT(idsOf(*hits), ElementsAre("deep"));
}

TEST_F(CacheTest, AColdSearchReadsTheNamesFirst) {
  store->put("c", "Café crème", "<div>Café crème</div>", 1);
  store->put("t", "Tea", "<div>Tea</div>", 2);
  EXPECT_THAT(idsOf(cache->search("CAFE creme")), ElementsAre("c"));
  EXPECT_EQ(store->fullListCalls, 1);
  (void)cache->search("tea");  // the index is there now
  EXPECT_EQ(store->fullListCalls, 1);
}

TEST_F(CacheTest, DeepSearchIndexesTheStoresHitsFirst) {
  fill(3);
  store->put("deep", "Deep note", "<div>Deep note</div><div>the needle is here</div>", 50);
  EXPECT_TRUE(cache->search("needle").empty());  // nothing indexed yet
  EXPECT_THAT(idsOf(cache->deepSearch("  needle ")), ElementsAre("deep"));
  EXPECT_EQ(store->searchCalls, 1);
  store->failSearch = "timed out";
  EXPECT_THAT(idsOf(cache->deepSearch("needle")), ElementsAre("deep"));  // still answers from the index
}

}  // namespace
}  // namespace corvane::notes

namespace corvane::notes {
namespace {

TEST(NotesJsonTest, MatchesTheGeneralWriterByteForByte) {
  Note tricky{"id\"1", "Tab\there\\", "line\u2028sep \x01\x1f\x7f é 東", true, -1768478400,
              {"a\"b", "app://local/__media/x.png"}, "<b>\n</b>", true, false};
  Note invalid{"bad\xFF", "ok", "half \xE2\x80", false, INT64_MIN, {}, "", false, true};
  Note empty;
  for (const auto& notes : {std::vector<Note>{}, std::vector<Note>{tricky}, std::vector<Note>{tricky, invalid, empty}})
    EXPECT_EQ(encodeNotesJson(notes), dumpCompact(notesToJson(notes)));
}

}  // namespace
}  // namespace corvane::notes
