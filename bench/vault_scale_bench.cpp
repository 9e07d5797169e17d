// The notes core at the scale real users have: a generated vault of
// CORVANE_VAULT_NOTES notes (10,000 by default; 200 in the smoke run) of mixed
// scripts and 4 KB on average. Measures the first grid with and without
// "cache.json", the background build of the whole search index (time and
// resident memory after it), and "search_notes" through the router (JSON
// reply included) over 20 queries in several scripts, some found nowhere.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "bench_support.h"
#include "bridge/command.h"
#include "notes/note_commands.h"
#include "notes/store_cache.h"
#include "platform/folder_watcher.h"
#include "records/settings.h"
#include "vault_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::notes;
using Clock = std::chrono::steady_clock;

size_t noteCount() {
  if (std::getenv("CORVANE_BENCH_SMOKE")) return 200;
  if (const char* n = std::getenv("CORVANE_VAULT_NOTES")) return static_cast<size_t>(std::atol(n));
  return 10000;
}

double residentMiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

// Background jobs are dropped: the first-grid benchmarks time the caller.
using benchsupport::IdleQueue;
using benchsupport::NoWatcher;

const fs::path& home() {
  static char dir[] = "/tmp/corvane-vault-bench-XXXXXX";
  static const fs::path h = benchsupport::makeBenchHome(dir);
  return h;
}

const fs::path& vault() {
  static const fs::path v = [] {
    fs::path dir = home() / "vault";
    auto generated = bench::generateVault(dir, noteCount());
    std::fprintf(stderr, "vault: %zu notes, %.1f MB of text\n", generated.ids.size(), generated.bytes / 1e6);
    if (!records::Settings::update([&](records::Settings& s) {
          s.noteSource = "obsidian";
          s.obsidianVaultPath = dir.string();
        }))
      std::abort();
    return dir;
  }();
  return v;
}

StoreCache::Options idleOptions(const fs::path& cacheFile) {
  StoreCache::Options o;
  o.makeQueue = [](const std::string& label) { return std::make_shared<IdleQueue>(label); };
  o.watcher = std::make_shared<NoWatcher>();
  o.cacheFile = cacheFile;
  return o;
}

void BM_FirstGridWithoutCacheFile(benchmark::State& state) {
  (void)vault();
  for (auto _ : state) {
    auto cache = StoreCache::create(idleOptions(home() / "none.json"));
    auto grid = cache->list(12);
    if (!grid) state.SkipWithError(grid.error().c_str());
    benchmark::DoNotOptimize(encodeNotesJson(*grid));
    state.PauseTiming();
    cache.reset();
    fs::remove(home() / "none.json");
    state.ResumeTiming();
  }
  state.SetLabel(std::to_string(noteCount()) + " notes");
}
BENCHMARK(BM_FirstGridWithoutCacheFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_FirstGridWithCacheFile(benchmark::State& state) {
  (void)vault();
  const fs::path file = home() / "restart.json";
  {
    auto cache = StoreCache::create(idleOptions(file));
    if (!cache->list(12)) std::abort();
  }
  for (auto _ : state) {
    auto cache = StoreCache::create(idleOptions(file));
    cache->start();
    auto grid = cache->list(12);
    if (!grid) state.SkipWithError(grid.error().c_str());
    benchmark::DoNotOptimize(encodeNotesJson(*grid));
  }
  state.SetLabel(std::to_string(noteCount()) + " notes");
}
BENCHMARK(BM_FirstGridWithCacheFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The real cache (its own queues), started as the front ends start it.
void BM_IndexThenSearch(benchmark::State& state) {
  (void)vault();
  const double before = residentMiB();
  StoreCache::Options o;
  o.watcher = std::make_shared<NoWatcher>();
  o.cacheFile = home() / "index.json";
  auto cache = StoreCache::create(o);
  StoreCache::setEventSink(nullptr);
  StoreCache::setSharedForTesting(cache);
  static bridge::Router router;
  static bool registered = false;
  if (!registered) registerNoteCommands(router);
  registered = true;

  const auto started = Clock::now();
  cache->start();
  while (cache->bodyIndexCount() < noteCount() || cache->busy()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (Clock::now() - started > std::chrono::minutes(10)) {
      state.SkipWithError("index not built in 10 minutes");
      return;
    }
  }
  const double indexSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  const double after = residentMiB();

  const char* queries[] = {"budget",        "会議",         "проект встреча", "σχέδιο",      "مشروع",
                           "café review",   "🚀",           "zebra",          "xylophone quartz", "nowhere found here",
                           "launch 17",     "Réunion",      "naïve façade",   "議事録 予定",  "회의",
                           "sprint garden recipe", "unmatchedword", "invoice", "über",          "qqqq"};
  std::vector<double> ms;
  for (auto _ : state) {
    ms.clear();
    for (const char* q : queries) {
      const auto t0 = Clock::now();
      auto reply = router.route("search_notes", Json{{"query", q}});
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      if (!reply) state.SkipWithError(reply.error().c_str());
    }
  }
  std::sort(ms.begin(), ms.end());
  state.counters["index_s"] = indexSeconds;
  state.counters["rss_MiB"] = after;
  state.counters["rss_grew_MiB"] = after - before;
  state.counters["search_median_ms"] = (ms[9] + ms[10]) / 2;
  state.counters["search_max_ms"] = ms.back();
  state.SetLabel(std::to_string(noteCount()) + " notes");
  cache->shutdown();
  StoreCache::setSharedForTesting(nullptr);
}
BENCHMARK(BM_IndexThenSearch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
