// The note cache on real queues and threads (run these under ThreadSanitizer):
// commands, searches, refreshes and invalidations at the same time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "memory_note_store.h"
#include "notes/store_cache.h"
#include "platform/fake/fake_folder_watcher.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

namespace fs = std::filesystem;
using testing::MemoryNoteStore;

// A store whose full listing alternates between two sets of notes.
class FlippingStore final : public NoteStore {
 public:
  FlippingStore() {
    for (int i = 0; i < 60; ++i) {
      a_.put("a" + std::to_string(i), "common alpha " + std::to_string(i), "<div>x</div>", i);
      b_.put("b" + std::to_string(i), "common beta " + std::to_string(i), "<div>y</div>", i);
    }
  }
  Result<std::vector<Note>> listNotes(int64_t limit) override { return current().listNotes(limit); }
  Result<std::string> body(const std::string& id) override { return current().body(id); }
  Result<std::string> plainText(const std::string& id) override { return current().plainText(id); }
  std::vector<std::pair<std::string, std::string>> plainTexts(const std::vector<std::string>& ids) override {
    return current().plainTexts(ids);
  }
  std::map<std::string, std::string> bodies(const std::vector<std::string>& ids) override { return current().bodies(ids); }
  std::map<std::string, int64_t> attachmentCounts(const std::vector<std::string>& ids) override {
    return current().attachmentCounts(ids);
  }
  std::map<std::string, NativeAttachmentBackup> backupAttachments(const std::vector<std::string>& ids) override {
    return current().backupAttachments(ids);
  }
  Result<void> appendHTML(const std::string&, const std::string&) override { return ok(); }
  Result<SetBodyOutcome> setBody(const std::string&, const std::string&, bool) override { return SetBodyOutcome{}; }
  Result<std::string> createNote(const std::string&, const std::string&) override { return std::string("x"); }
  Result<void> renameNote(const std::string&, const std::string&) override { return ok(); }
  Result<void> deleteNote(const std::string&) override { return ok(); }
  Result<std::vector<Note>> searchNames(const std::string& q) override { return current().searchNames(q); }
  Result<std::vector<Note>> searchNotes(const std::string& q) override { return current().searchNotes(q); }
  Result<std::vector<Note>> findNotes(const std::vector<std::string>& ids, const std::vector<std::string>& names) override {
    return current().findNotes(ids, names);
  }
  std::atomic<bool> useB{false};

 private:
  MemoryNoteStore& current() { return useB.load() ? b_ : a_; }
  MemoryNoteStore a_, b_;
};

class ThreadedCacheTest : public ::testing::Test {
 protected:
  std::shared_ptr<StoreCache> makeCache(std::shared_ptr<NoteStore> store) {
    settings = std::make_shared<records::SettingsStore>(std::make_shared<SerialQueue>("test.settings"),
                                                        home.path() / "Corvane" / "settings.json");
    StoreCache::Options o;
    o.store = [store] { return store; };
    o.loadSettings = [this] { return settings->load(); };
    o.updateSettings = [this](const std::function<void(records::Settings&)>& m) { return settings->update(m); };
    o.notesFolder = [] { return std::optional<fs::path>(); };
    o.watcher = std::make_shared<platform::FakeFolderWatcher>();
    o.cacheFile = home.path() / "Corvane" / "cache.json";
    return StoreCache::create(o);
  }
  void SetUp() override { StoreCache::setEventSink(nullptr); }
  void TearDown() override { StoreCache::resetEventSink(); }

  corvane::testing::TempHome home;
  std::shared_ptr<records::SettingsStore> settings;
};

TEST_F(ThreadedCacheTest, ASearchDuringRefreshesSeesOneIndexNeverAMix) {
  auto store = std::make_shared<FlippingStore>();
  auto cache = makeCache(store);
  ASSERT_TRUE(cache->list(12).has_value());
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, nonEmpty{0};

  std::thread flipper([&] {
    for (int i = 0; i < 40; ++i) {
      store->useB = !store->useB;
      cache->invalidate();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    done = true;
  });
  std::thread searcher([&] {
    while (!done) {
      auto found = cache->search("common");
      bool sawA = false, sawB = false;
      for (const auto& n : found) (n.id[0] == 'a' ? sawA : sawB) = true;
      if (sawA && sawB) ++torn;
      if (!found.empty()) ++nonEmpty;
    }
  });
  std::thread lister([&] {
    while (!done) {
      (void)cache->list(6);
      (void)cache->visibleCount();
      (void)cache->hiddenNotes();
    }
  });
  flipper.join();
  searcher.join();
  lister.join();
  cache->shutdown();
  EXPECT_EQ(torn, 0);
  EXPECT_GT(nonEmpty, 0);
}

TEST_F(ThreadedCacheTest, EditsOfDifferentNotesInParallelAllLand) {
  auto store = std::make_shared<MemoryNoteStore>();
  constexpr int kThreads = 6, kEdits = 40;
  for (int t = 0; t < kThreads; ++t) store->put("t" + std::to_string(t), "Thread " + std::to_string(t), "", t);
  auto cache = makeCache(store);
  ASSERT_TRUE(cache->list(12).has_value());

  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      const std::string id = "t" + std::to_string(t);
      for (int e = 0; e < kEdits; ++e) {
        // One writer per note, as the bridge's write lanes guarantee; the
        // store first, then the cache, as the commands do.
        const std::string word = "w" + std::to_string(e) + "x" + std::to_string(t);
        ASSERT_TRUE(store->appendHTML(id, "<div>" + word + "</div>").has_value());
        cache->bodyChanged(id, word, std::nullopt);
        if (e % 8 == 0) (void)cache->search(word);
        if (e % 13 == 0) (void)cache->list(6);
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int i = 0; i < 1000 && cache->busy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  auto notes = cache->cachedNotes();
  ASSERT_TRUE(notes.has_value());
  for (int t = 0; t < kThreads; ++t) {
    const std::string id = "t" + std::to_string(t);
    EXPECT_TRUE(std::any_of(notes->begin(), notes->end(), [&](const Note& n) { return n.id == id; })) << id;
    auto hits = cache->search("w" + std::to_string(kEdits - 1) + "x" + std::to_string(t));
    ASSERT_EQ(hits.size(), 1u) << id;
    EXPECT_EQ(hits[0].id, id);
  }
  cache->shutdown();
}

}  // namespace
}  // namespace corvane::notes

// glibc's tzset and localtime_r share a lock that ThreadSanitizer cannot see
// (libc is not instrumented), so two threads asking for the local time look
// like a race inside tzset_internal.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
