// "search_notes" over a full index: 2,000 notes of 4,000 characters in mixed
// scripts with accents, through the router (validation, search, JSON reply),
// next to the floor it is measured against: one memmem pass per query word
// over the same folded text. Folding itself is measured once per text.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>

#include "bridge/command.h"
#include "core/queue.h"
#include "core/text.h"
#include "notes/markup.h"
#include "notes/note_commands.h"
#include "notes/search_index.h"
#include "notes/store_cache.h"
#include "platform/folder_watcher.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::notes;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

// Background jobs wait here until the benchmark drains them.
class ManualQueue final : public TaskQueue {
 public:
  explicit ManualQueue(std::string label) : label_(std::move(label)) {}
  void post(Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  TaskHandle postDelayed(Duration, Task task) override {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    tasks_.push_back([task = std::move(task), cancelled] {
      if (!cancelled->load()) task();
    });
    return TaskHandle(cancelled);
  }
  bool runsTasksInCurrentSequence() const override { return false; }
  const std::string& label() const override { return label_; }
  // Nobody else drives this queue (the cache's exit hook waits on it too):
  // run what is queued, then the task, on the caller's thread.
  void runSync(Task task) override {
    while (runOne()) {
    }
    task();
  }
  bool runOne() {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return false;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    return true;
  }

 private:
  std::string label_;
  std::mutex mutex_;
  std::deque<Task> tasks_;
};

class NoWatcher final : public platform::FolderWatcher {
 public:
  Result<std::unique_ptr<platform::FolderWatch>> watch(const fs::path&,
                                                       std::function<void(const platform::FolderChange&)>) override {
    return fail("not watched");
  }
};

// Notes held in memory: the listing, plain texts and bodies are all the
// index asks for.
class MemoryStore final : public NoteStore {
 public:
  struct Entry {
    Note note;
    std::string text;
  };
  std::vector<Entry> entries;  // most recent first
  std::map<std::string, size_t> byId;

  Result<std::vector<Note>> listNotes(int64_t limit) override {
    std::vector<Note> out;
    for (const auto& e : entries) {
      if (limit > 0 && out.size() == static_cast<size_t>(limit)) break;
      out.push_back(e.note);
    }
    return out;
  }
  Result<std::string> body(const std::string& id) override { return text(id); }
  Result<std::string> plainText(const std::string& id) override { return text(id); }
  std::vector<std::pair<std::string, std::string>> plainTexts(const std::vector<std::string>& ids) override {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& id : ids)
      if (auto t = text(id)) out.emplace_back(id, *t);
    return out;
  }
  std::map<std::string, std::string> bodies(const std::vector<std::string>& ids) override {
    std::map<std::string, std::string> out;
    for (const auto& id : ids)
      if (auto t = text(id)) out[id] = "<div>" + *t + "</div>";
    return out;
  }
  std::map<std::string, int64_t> attachmentCounts(const std::vector<std::string>& ids) override {
    std::map<std::string, int64_t> out;
    for (const auto& id : ids) out[id] = 0;
    return out;
  }
  std::map<std::string, NativeAttachmentBackup> backupAttachments(const std::vector<std::string>&) override { return {}; }
  Result<void> appendHTML(const std::string&, const std::string&) override { return ok(); }
  Result<SetBodyOutcome> setBody(const std::string&, const std::string&, bool) override { return SetBodyOutcome{}; }
  Result<std::string> createNote(const std::string&, const std::string&) override { return fail("read only"); }
  Result<void> renameNote(const std::string&, const std::string&) override { return ok(); }
  Result<void> deleteNote(const std::string&) override { return ok(); }
  Result<std::vector<Note>> searchNames(const std::string&) override { return std::vector<Note>{}; }
  Result<std::vector<Note>> searchNotes(const std::string&) override { return std::vector<Note>{}; }
  Result<std::vector<Note>> findNotes(const std::vector<std::string>&, const std::vector<std::string>&) override {
    return std::vector<Note>{};
  }

 private:
  Result<std::string> text(const std::string& id) {
    auto it = byId.find(id);
    if (it == byId.end()) return fail("cannot read note");
    return entries[it->second].text;
  }
};

// Mixed scripts, with accents and case: what folding has to handle.
const std::vector<std::string>& words() {
  static const std::vector<std::string> w = {
      "meeting", "Project", "budget", "roadmap", "design", "review", "client", "invoice", "travel", "ideas",
      "grocery", "draft", "launch", "schedule", "deadline", "the", "and", "with", "for", "notes",
      "Réunion", "café", "Über", "Straße", "naïve", "façade", "Señor", "jalapeño", "crème", "brûlée",
      "Ångström", "smörgåsbord", "déjà", "élève", "garçon", "Zürich", "Kraków", "São", "coração", "ação",
      "Встреча", "проект", "бюджет", "Москва", "ёлка", "задача", "Συνάντηση", "έργο", "Αθήνα", "προϋπολογισμός",
      "会議", "東京", "計画", "予算", "日本語", "बैठक", "परियोजना", "किताब", "اجتماع", "مشروع"};
  return w;
}

struct Corpus {
  std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
  std::vector<std::string> foldedNames, foldedBodies;  // for the memmem floor
  size_t foldedBytes = 0;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus out;
    const int notes = smoke() ? 200 : 2000;
    std::mt19937 rng(42);
    for (int i = 0; i < notes; ++i) {
      MemoryStore::Entry e;
      e.note.id = "note-" + std::to_string(i);
      e.note.name = "Note " + std::to_string(i) + " " + words()[rng() % words().size()];
      e.note.age = i;
      std::string text = e.note.name + "\n";
      size_t chars = codePointCount(text);
      // A rare word in a handful of notes, late in the text.
      const bool rare = i % 400 == 7;
      while (chars < 4000) {
        const std::string& w = (rare && chars > 3800) ? std::string("Zanzibar") : words()[rng() % words().size()];
        text += w;
        text += (rng() % 12 == 0) ? "\n" : " ";
        chars += codePointCount(w) + 1;
      }
      e.text = std::string(prefixCodePoints(text, 4000));
      out.foldedNames.push_back(fold(e.note.name));
      out.foldedBodies.push_back(fold(e.text));
      out.foldedBytes += out.foldedBodies.back().size() + out.foldedNames.back().size();
      out.store->byId[e.note.id] = out.store->entries.size();
      out.store->entries.push_back(std::move(e));
    }
    return out;
  }();
  return c;
}

struct Fixture {
  std::map<std::string, std::shared_ptr<ManualQueue>> queues;
  std::shared_ptr<StoreCache> cache;
  bridge::Router router;
};

Fixture& fixture() {
  static Fixture* f = [] {
    auto* fx = new Fixture;
    static char dir[] = "/tmp/corvane-search-bench-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    ::setenv("HOME", dir, 1);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(dir, ec);
    });
    auto store = corpus().store;
    StoreCache::Options o;
    o.makeQueue = [fx](const std::string& label) {
      auto q = std::make_shared<ManualQueue>(label);
      fx->queues[label] = q;
      return q;
    };
    o.store = [store] { return std::static_pointer_cast<NoteStore>(store); };
    o.loadSettings = [] { return records::Settings{}; };
    o.updateSettings = [](const std::function<void(records::Settings&)>&) { return ok(); };
    o.notesFolder = [] { return std::optional<fs::path>(); };
    o.watcher = std::make_shared<NoWatcher>();
    o.cacheFile = fs::path(dir) / "cache.json";
    fx->cache = StoreCache::create(o);
    StoreCache::setEventSink(nullptr);
    StoreCache::setSharedForTesting(fx->cache);
    registerNoteCommands(fx->router);
    // Build the whole index: listing, name refresh, every body batch.
    fx->cache->start();
    for (bool ran = true; ran;) {
      ran = false;
      for (auto& [label, q] : fx->queues)
        while (q->runOne()) ran = true;
    }
    if (fx->cache->bodyIndexCount() != corpus().store->entries.size()) std::abort();
    return fx;
  }();
  return *f;
}

const char* kQueries[] = {"Zanzibar", "budget Réunion zanzibar", "reunion", "проект 会議 cafe"};

void BM_SearchNotesCommand(benchmark::State& state) {
  Fixture& fx = fixture();
  const Json args = {{"query", kQueries[state.range(0)]}};
  size_t hits = 0;
  for (auto _ : state) {
    auto reply = fx.router.route("search_notes", args);
    if (!reply) state.SkipWithError(reply.error().c_str());
    hits = reply->size();
    benchmark::DoNotOptimize(reply);
  }
  state.SetLabel(std::string(kQueries[state.range(0)]) + ", reply " + std::to_string(hits) + " bytes");
}
BENCHMARK(BM_SearchNotesCommand)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The floor: memmem over each note's folded name and body, once per word.
void BM_MemmemPassPerWord(benchmark::State& state) {
  (void)fixture();
  const Corpus& c = corpus();
  const std::string folded = fold(kQueries[state.range(0)]);
  const std::vector<std::string_view> tokens = queryTokens(folded);
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (auto token : tokens)
      for (size_t i = 0; i < c.foldedBodies.size(); ++i) {
        found += ::memmem(c.foldedNames[i].data(), c.foldedNames[i].size(), token.data(), token.size()) != nullptr ||
                 ::memmem(c.foldedBodies[i].data(), c.foldedBodies[i].size(), token.data(), token.size()) != nullptr;
      }
    benchmark::DoNotOptimize(found);
  }
  state.SetLabel(std::string(kQueries[state.range(0)]) + ", " + std::to_string(c.foldedBytes >> 10) + " KiB folded");
}
BENCHMARK(BM_MemmemPassPerWord)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Folding as text enters the index (done once per text, not per query).
void BM_FoldCorpus(benchmark::State& state) {
  const Corpus& c = corpus();
  size_t bytes = 0;
  for (const auto& e : c.store->entries) bytes += e.text.size();
  for (auto _ : state)
    for (const auto& e : c.store->entries) benchmark::DoNotOptimize(fold(e.text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_FoldCorpus)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
