// The input hook's decision cost: HookCore over 1,000,000 mixed synthetic
// events (keys that are and are not fallback hotkeys, auto-repeats, modifier
// changes with Option taps, left clicks, bound and unbound extra buttons).
// Goal: the million under 50 ms, since every event of the session passes
// through it on the input thread. Reference in the same run: one pass over the
// same events that only reads each one (the floor of any decision).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "capture/clip_source.h"
#include "capture/hook_core.h"

namespace {

using namespace corvane;
using namespace corvane::capture;
using namespace corvane::platform;

std::vector<InputEvent> makeEvents(size_t n) {
  std::mt19937 rng(42);
  std::vector<InputEvent> events;
  events.reserve(n);
  MonoTime t{std::chrono::seconds(100)};
  const uint16_t keys[] = {0, 8, 7, 40, 49, 36, 12, 53, 111, kNoKeyCode};
  const uint32_t flags[] = {0, 0, 0, kFlagOption, kFlagControl, kFlagShift, kFlagCommand | kFlagShift};
  bool optionDown = false;
  for (size_t i = 0; i < n; ++i) {
    t += std::chrono::milliseconds(1 + rng() % 40);
    InputEvent e;
    e.time = t;
    unsigned pick = rng() % 100;
    if (pick < 60) {
      e.kind = InputEventKind::KeyDown;
      e.keyCode = keys[rng() % std::size(keys)];
      e.flags = flags[rng() % std::size(flags)];
      e.autoRepeat = rng() % 10 == 0;
    } else if (pick < 80) {
      e.kind = InputEventKind::FlagsChanged;
      optionDown = !optionDown;
      e.flags = optionDown ? kFlagOption : 0;
    } else if (pick < 90) {
      e.kind = InputEventKind::LeftMouseDown;
      e.button = 0;
    } else {
      e.kind = InputEventKind::OtherMouseDown;
      e.button = 2 + static_cast<int64_t>(rng() % 4);
    }
    events.push_back(e);
  }
  return events;
}

const std::vector<InputEvent>& events() {
  static const auto e = makeEvents(1'000'000);
  return e;
}

void BM_HookCoreMillionEvents(benchmark::State& state) {
  const auto& input = events();
  for (auto _ : state) {
    HookCore core;
    core.setFallbackHotkeys({{0, kFlagOption, "run_action"}, {8, kFlagControl, "clip"}, {7, kFlagControl, "clip_followup"}});
    core.setMouseBinding(parseMouseBinding("button3"));
    Effects effects;
    effects.reserve(8);
    size_t swallowed = 0, produced = 0;
    for (const auto& e : input) {
      swallowed += core.onEvent(e, effects) == Verdict::Swallow;
      produced += effects.size();
      effects.clear();  // the owner carries them out
    }
    benchmark::DoNotOptimize(swallowed);
    benchmark::DoNotOptimize(produced);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_HookCoreMillionEvents)->Unit(benchmark::kMillisecond);

void BM_ReadEventsReference(benchmark::State& state) {
  const auto& input = events();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const auto& e : input) sum += e.keyCode + e.flags + static_cast<uint64_t>(e.button) + static_cast<uint8_t>(e.kind);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_ReadEventsReference)->Unit(benchmark::kMillisecond);

// A copied 25,000-row table (about 2.2 MB) with the styling, comments and
// scripts a web page carries. Goal ≤ 40 ms. Reference: `xmllint --html
// --noout` on the same file (written to $CORVANE_BENCH_TABLE_FILE when set).
std::string makeTable() {
  std::string html = "<html><head><style>td{color:red}</style><script>var x=1;</script></head><body><table class=\"t\">";
  for (int i = 0; i < 25000; ++i) {
    std::string k = std::to_string(i);
    html += "<tr><td colspan=\"2\">r" + k + "</td><td style=\"c\"><a href=\"https://e.com/" + k +
            "\">l</a></td><td><b>" + k + "</b></td></tr>";
    if (i % 100 == 0) html += "<!-- group " + k + " -->";
  }
  html += "</table></body></html>";
  return html;
}

void BM_SanitizeLargeTable(benchmark::State& state) {
  static const std::string html = makeTable();
  if (const char* file = std::getenv("CORVANE_BENCH_TABLE_FILE")) {
    if (FILE* f = std::fopen(file, "w")) {
      std::fwrite(html.data(), 1, html.size(), f);
      std::fclose(f);
    }
  }
  for (auto _ : state) benchmark::DoNotOptimize(sanitizeClipHTML(html));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(html.size()));
}
BENCHMARK(BM_SanitizeLargeTable)->Unit(benchmark::kMillisecond);

// Many unclosed openers, the input that makes the pattern-based cleaning
// quadratic. Goal: 1 MB ≤ 20 ms, and 2 MB ≤ 2.2 × that.
void BM_SanitizeUnclosedOpeners(benchmark::State& state) {
  std::string html = "<table>";
  while (html.size() < static_cast<size_t>(state.range(0))) html += "<style";
  for (auto _ : state) benchmark::DoNotOptimize(sanitizeClipHTML(html));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(html.size()));
}
BENCHMARK(BM_SanitizeUnclosedOpeners)->Arg(1 << 20)->Arg(2 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
