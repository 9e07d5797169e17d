// Listing a vault of 10,000 notes (4 KB on average) with FileStore::listNotes(0),
// against the floor of reading the same files: plain open/read/close, and
// `cat` over all of them. Goal: the listing within twice the time of `cat`.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "notes/file_store.h"

namespace {

namespace fs = std::filesystem;

struct Vault {
  fs::path root;
  std::vector<fs::path> files;

  Vault() {
    // The smoke run under ctest uses a small vault.
    const bool smoke = std::getenv("CORVANE_BENCH_SMOKE") != nullptr;
    const int count = smoke ? 300 : 10000;
    root = fs::temp_directory_path() / ("corvane-bench-vault-" + std::to_string(::getpid()));
    fs::create_directories(root);
    std::mt19937 random(7);
    const std::string line = "<div>Some words of a note line, with <b>bold</b> and an entity &amp; more text.</div>";
    for (int i = 0; i < count; ++i) {
      std::string text = "Note title " + std::to_string(i) + "\n";
      size_t target = 1024 + random() % 6144;  // 1–7 KB, 4 KB on average
      while (text.size() < target) text += line;
      fs::path file = root / ("note-" + std::to_string(i) + ".md");
      std::ofstream(file, std::ios::binary) << text;
      files.push_back(file);
    }
  }
  ~Vault() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Vault& vault() {
  static Vault v;
  return v;
}

void BM_ListNotes(benchmark::State& state) {
  corvane::notes::FileStore store(vault().root);
  for (auto _ : state) {
    auto notes = store.listNotes(0);
    if (!notes || notes->size() != vault().files.size()) state.SkipWithError("listing failed");
    benchmark::DoNotOptimize(notes);
  }
  state.counters["notes"] = static_cast<double>(vault().files.size());
}
BENCHMARK(BM_ListNotes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadFilesFloor(benchmark::State& state) {
  std::vector<char> buffer(1 << 16);
  for (auto _ : state) {
    size_t total = 0;
    for (const fs::path& file : vault().files) {
      int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ssize_t n;
      while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) total += static_cast<size_t>(n);
      ::close(fd);
    }
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_ReadFilesFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatAllFiles(benchmark::State& state) {
  const std::string command = "cat " + vault().root.string() + "/*.md > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
  }
}
BENCHMARK(BM_CatAllFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
