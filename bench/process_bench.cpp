// The process runner against a bare posix_spawn + waitpid loop (goal: the
// runner's own overhead per spawn of /bin/true within 1.5x of the bare loop),
// and a child writing 100 MB to each of its two pipes at once, which must
// complete without deadlock.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "ai/process_runner.h"

extern char** environ;

namespace {

using corvane::ai::ProcessRunner;
using corvane::ai::RunOptions;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

void BM_BarePosixSpawnTrue(benchmark::State& state) {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) state.SkipWithError("spawn failed");
    int status = 0;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BarePosixSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RunnerTrue(benchmark::State& state) {
  RunOptions options;
  options.executable = "/bin/true";
  options.timeLimit = 10;
  for (auto _ : state) {
    auto result = ProcessRunner::run(options);
    if (result.status != 0) state.SkipWithError("run failed");
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_RunnerTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RunnerTrueWithoutLimit(benchmark::State& state) {
  RunOptions options;
  options.executable = "/bin/true";
  options.waitWithoutLimit = true;
  for (auto _ : state) benchmark::DoNotOptimize(ProcessRunner::run(options));
}
BENCHMARK(BM_RunnerTrueWithoutLimit)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Both streams at once: a runner that drained one pipe before the other would
// hang here for good.
void BM_RunnerBothPipes(benchmark::State& state) {
  const long long perStream = smoke() ? 8'000'000 : 100'000'000;
  RunOptions options;
  options.executable = "/bin/sh";
  std::string n = std::to_string(perStream);
  options.arguments = {"-c", "head -c " + n + " /dev/zero >&2 & head -c " + n + " /dev/zero; wait"};
  options.timeLimit = 120;
  for (auto _ : state) {
    auto result = ProcessRunner::run(options);
    if (result.status != 0 || result.stdoutText.size() != static_cast<size_t>(perStream) ||
        result.stderrText.size() != static_cast<size_t>(perStream))
      state.SkipWithError("incomplete output");
  }
  state.SetBytesProcessed(state.iterations() * 2 * perStream);
}
BENCHMARK(BM_RunnerBothPipes)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
