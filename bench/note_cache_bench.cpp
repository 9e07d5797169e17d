// The note cache's two user-visible waits: "list_notes" answered from a warm
// cache of 5,000 notes (through the router, JSON reply included), and the
// first grid of a cold start on a vault of 10,000 notes, both with and
// without the cache file of a previous run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>

#include "bench_support.h"
#include "bridge/command.h"
#include "core/files.h"
#include "core/queue.h"
#include "notes/note_commands.h"
#include "notes/store_cache.h"
#include "platform/folder_watcher.h"
#include "records/settings.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::notes;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

// Background jobs are queued and dropped: the benchmarks time the caller.
using benchsupport::IdleQueue;
using benchsupport::NoWatcher;

const fs::path& home() {
  static char dir[] = "/tmp/corvane-cache-bench-XXXXXX";
  static const fs::path h = benchsupport::makeBenchHome(dir);
  return h;
}

StoreCache::Options options(const fs::path& cacheFile) {
  StoreCache::Options o;
  o.makeQueue = [](const std::string& label) { return std::make_shared<IdleQueue>(label); };
  o.watcher = std::make_shared<NoWatcher>();
  o.cacheFile = cacheFile;
  return o;  // settings and the store are the real ones
}

std::string words(std::mt19937& rng, size_t count) {
  static const char* kWords[] = {"meeting", "café", "budget", "Réunion", "проект", "会議", "roadmap", "idea",
                                 "draft", "review", "über", "notes", "plan", "client", "launch", "travel"};
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ' ';
    out += kWords[rng() % std::size(kWords)];
  }
  return out;
}

// ---- list_notes from a warm cache of 5,000 notes

void BM_ListNotesWarm(benchmark::State& state) {
  (void)home();
  static bridge::Router router;
  static std::shared_ptr<StoreCache> cache = [] {
    const int count = smoke() ? 500 : 5000;
    std::mt19937 rng(3);
    std::vector<Note> notes;
    for (int i = 0; i < count; ++i) {
      Note n;
      n.id = "note-" + std::to_string(i);
      n.name = "Note " + std::to_string(i);
      n.preview = words(rng, 40);
      n.age = i;
      if (i % 3 == 0) {
        n.previewHTML = "<b>" + words(rng, 30) + "</b><br><img src=\"app://local/__thumb/t" + std::to_string(i) + ".jpg\">";
        n.images = {"app://local/__media/t" + std::to_string(i) + ".jpg"};
      }
      n.bodyHydrated = n.nativeAttachmentsHydrated = true;
      notes.push_back(std::move(n));
    }
    const fs::path file = home() / "warm-cache.json";
    if (!writeFileAtomic(file, dumpCompact(notesToJson(notes)))) std::abort();
    auto c = StoreCache::create(options(file));
    StoreCache::setEventSink(nullptr);
    StoreCache::setSharedForTesting(c);
    registerNoteCommands(router);
    c->start();
    if (c->cachedNotes()->size() != notes.size()) std::abort();
    return c;
  }();
  // Some pinned, hidden and ordered notes, as a user has them.
  (void)records::Settings::update([](records::Settings& s) {
    s.pinned = {"note-4000", "note-17"};
    s.hidden = {"note-2", "note-3"};
    s.cardOrder.clear();
    for (int i = 0; i < 300; ++i) s.cardOrder.push_back("note-" + std::to_string(i * 7));
  });
  const Json args = {{"limit", state.range(0)}};
  (void)router.route("list_notes", args);  // settles the remembered grid size
  size_t bytes = 0;
  for (auto _ : state) {
    auto reply = router.route("list_notes", args);
    if (!reply) state.SkipWithError(reply.error().c_str());
    bytes = reply->size();
    benchmark::DoNotOptimize(reply);
  }
  state.SetLabel(std::to_string(cache->cachedNotes()->size()) + " cached, reply " + std::to_string(bytes >> 10) +
                 " KiB");
}
BENCHMARK(BM_ListNotesWarm)->Arg(12)->Arg(60)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- cold start on a 10,000-note vault

const fs::path& vault() {
  static const fs::path v = [] {
    fs::path dir = home() / "vault";
    fs::create_directories(dir);
    const int count = smoke() ? 300 : 10000;
    std::mt19937 rng(9);
    for (int i = 0; i < count; ++i) {
      std::string id = "note-" + std::to_string(i);
      std::string text = "Note " + std::to_string(i) + "\n";
      for (int line = 0; line < 12; ++line) text += "<div>" + words(rng, 25) + "</div>";
      if (!writeFileAtomic(dir / (id + ".md"), text)) std::abort();
    }
    if (!records::Settings::update([&](records::Settings& s) {
          s.noteSource = "obsidian";
          s.obsidianVaultPath = dir.string();
          s.pinned.clear();
          s.hidden.clear();
          s.cardOrder.clear();
        }))
      std::abort();
    return dir;
  }();
  return v;
}

// No cache file: the grid waits for one bounded listing of the vault.
void BM_ColdStartFirstGrid(benchmark::State& state) {
  (void)vault();
  for (auto _ : state) {
    auto cache = StoreCache::create(options(home() / "cold-cache.json"));
    auto grid = cache->list(12);
    if (!grid) state.SkipWithError(grid.error().c_str());
    benchmark::DoNotOptimize(encodeNotesJson(*grid));
    state.PauseTiming();
    cache.reset();
    fs::remove(home() / "cold-cache.json");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ColdStartFirstGrid)->Unit(benchmark::kMillisecond)->UseRealTime();

// A restart: the cache file of the previous run answers the first grid.
void BM_RestartFirstGrid(benchmark::State& state) {
  (void)vault();
  const fs::path file = home() / "restart-cache.json";
  {
    auto cache = StoreCache::create(options(file));
    if (!cache->list(12)) std::abort();
  }
  for (auto _ : state) {
    auto cache = StoreCache::create(options(file));
    cache->start();
    auto grid = cache->list(12);
    if (!grid) state.SkipWithError(grid.error().c_str());
    benchmark::DoNotOptimize(encodeNotesJson(*grid));
  }
}
BENCHMARK(BM_RestartFirstGrid)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
