// Capture on a real X server (run under xvfb-run; skipped without $DISPLAY):
// - registerAll: the four hotkeys, each a grab per lock variant with a round
//   trip for the refusal check; goal ≤ 5 ms;
// - a hotkey press to its callback on the main queue; goal ≤ 2 ms p99;
// - a bound button's press to the decision that thaws the pointer; goal ≤ 1 ms
//   p99. Measured from the XTest injection on a second connection, so the
//   figures include the server's delivery and are an upper bound.
// Reference in the same run: an XSync round trip on the second connection.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "capture/hook_core.h"
#include "capture/hotkey_manager.h"
#include "capture/mouse_hook.h"
#include "core/queue.h"
#include "platform/linux/x11/x11_input_service.h"
#include "records/app_log.h"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }
int samples() {
  if (const char* n = std::getenv("CORVANE_BENCH_SAMPLES")) return std::max(1, std::atoi(n));
  return smoke() ? 5 : 300;
}

// A private home so settings and the log stay out of the user's.
void privateHome() {
  static bool done = [] {
    auto dir = std::filesystem::temp_directory_path() / ("corvane-capture-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("HOME", dir.c_str(), 1);
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(std::getenv("HOME"), ec);
    });
    return true;
  }();
  (void)done;
}

void report(benchmark::State& state, std::vector<double> micros) {
  if (micros.empty()) return state.SkipWithError("no sample arrived");
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = micros.back();
}

double since(Clock::time_point t) { return std::chrono::duration<double, std::micro>(Clock::now() - t).count(); }

void BM_RegisterAll(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no X display");
  privateHome();
  (void)mainQueue();
  auto service = platform::makeX11InputService();
  if (!service->start()) return state.SkipWithError("the X server has no XInput 2");
  capture::HotkeyManager manager;
  manager.attach(service, nullptr);
  std::vector<double> micros;
  for (auto _ : state) {
    for (int i = 0; i < samples(); ++i) {
      auto t = Clock::now();
      auto failure = manager.registerAll();
      micros.push_back(since(t));
      if (failure) return state.SkipWithError(failure->c_str());
    }
  }
  manager.unregisterAll();
  service->stop();
  records::flushAppLog();
  report(state, micros);
}
BENCHMARK(BM_RegisterAll)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HotkeyToMainQueue(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no X display");
  privateHome();
  auto& main = mainQueue();
  auto service = platform::makeX11InputService();
  if (!service->start()) return state.SkipWithError("the X server has no XInput 2");
  capture::HotkeyManager manager;
  manager.attach(service, nullptr);
  std::atomic<int> fired{0};
  manager.onClip = [&fired] { fired++; };
  (void)manager.registerAll();
  Display* injector = XOpenDisplay(nullptr);
  KeyCode alt = XKeysymToKeycode(injector, XK_Alt_L), c = XKeysymToKeycode(injector, XK_c);
  std::vector<double> micros;
  for (auto _ : state) {
    for (int i = 0; i < samples(); ++i) {
      XTestFakeKeyEvent(injector, alt, True, CurrentTime);
      XSync(injector, False);
      int before = fired;
      auto t = Clock::now();
      XTestFakeKeyEvent(injector, c, True, CurrentTime);
      XFlush(injector);
      auto limit = Clock::now() + std::chrono::seconds(1);
      while (fired == before && Clock::now() < limit) main.runReady();
      if (fired == before) {
        state.counters["lost"] += 1;
      } else {
        micros.push_back(since(t));
      }
      XTestFakeKeyEvent(injector, c, False, CurrentTime);
      XTestFakeKeyEvent(injector, alt, False, CurrentTime);
      XSync(injector, False);
      for (int k = 0; k < 3; ++k) main.runReady();
    }
  }
  XCloseDisplay(injector);
  manager.unregisterAll();
  service->stop();
  records::flushAppLog();
  report(state, micros);
}
BENCHMARK(BM_HotkeyToMainQueue)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_BoundButtonDecision(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no X display");
  privateHome();
  auto service = platform::makeX11InputService();
  capture::HookCore core;
  core.setMouseBinding(capture::parseMouseBinding("button3"));
  std::atomic<int64_t> decidedAt{0};
  std::atomic<int> decisions{0};
  service->setEventHandler([&](const platform::InputEvent& event) {
    capture::Effects effects;
    auto verdict = core.onEvent(event, effects);
    if (event.kind == platform::InputEventKind::OtherMouseDown && event.button == 3) {
      decidedAt = Clock::now().time_since_epoch().count();
      decisions++;
    }
    return verdict;
  });
  if (!service->start()) return state.SkipWithError("the X server has no XInput 2");
  service->setDecidedButtons({3});
  service->queue().runSync([] {});
  Display* injector = XOpenDisplay(nullptr);
  std::vector<double> micros;
  for (auto _ : state) {
    for (int i = 0; i < samples(); ++i) {
      int before = decisions;
      auto t = Clock::now();
      XTestFakeButtonEvent(injector, 8, True, CurrentTime);
      XFlush(injector);
      auto limit = Clock::now() + std::chrono::seconds(1);
      while (decisions == before && Clock::now() < limit) std::this_thread::yield();
      if (decisions == before) {
        state.counters["lost"] += 1;
      } else {
        micros.push_back(
            std::chrono::duration<double, std::micro>(Clock::duration(decidedAt.load()) - t.time_since_epoch()).count());
      }
      XTestFakeButtonEvent(injector, 8, False, CurrentTime);
      XSync(injector, False);
      // A fast user's pace: the next press comes after the release was handled.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  XCloseDisplay(injector);
  service->stop();
  report(state, micros);
}
BENCHMARK(BM_BoundButtonDecision)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RoundTripReference(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) return state.SkipWithError("no X display");
  Display* display = XOpenDisplay(nullptr);
  std::vector<double> micros;
  for (auto _ : state) {
    for (int i = 0; i < samples(); ++i) {
      auto t = Clock::now();
      XSync(display, False);
      micros.push_back(since(t));
    }
  }
  XCloseDisplay(display);
  report(state, micros);
}
BENCHMARK(BM_RoundTripReference)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
