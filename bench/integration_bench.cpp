// Updates and launch at login.
//   BM_ParseFeed      the appcast parser on a 1 MB feed (goal ≤ 10 ms);
//                     reference BM_ExpatOnly: expat over the same bytes with no handlers.
//   BM_History        parse plus the page's entries (dates, notes to text).
//   BM_FeedTimeLimit  the fetch against a server that never answers: the
//                     "overshoot_ms" counter is how late the limit fired (goal 10.0 ± 0.2 s).
//   BM_ToggleLogin    one launch-at-login switch (goal ≤ 5 ms); reference
//                     BM_AtomicWrite: the same-size atomic file write alone.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <expat.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "core/files.h"
#include "integration/appcast.h"
#include "integration/feed_fetcher.h"
#include "integration/login_item.h"

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::integration;

namespace {

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

const std::string& feed1MB() {
  static const std::string feed = [] {
    std::string s =
        "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/"
        "sparkle\"><channel><title>Corvane</title>";
    for (int i = 0; s.size() < (1u << 20); ++i) {
      s += "<item><title>Corvane 1." + std::to_string(i) + "</title><link>https://corvane.test/r/" +
           std::to_string(i) + "</link><pubDate>Tue, 02 Jan 2024 10:00:00 +0000</pubDate>"
           "<description><![CDATA[<h2>Changes</h2><ul><li>Faster search across every note in the vault</li>"
           "<li>Fixed a crash when a card was dragged onto itself</li><li>New export formats &amp; a "
           "cleaner grid</li></ul><p>Thanks to everyone who reported issues.</p>]]></description>"
           "<enclosure url=\"https://corvane.test/d/" + std::to_string(i) + ".tar.gz\" sparkle:version=\"" +
           std::to_string(100 + i) + "\" sparkle:shortVersionString=\"1." + std::to_string(i) +
           "\" length=\"1000\" type=\"application/octet-stream\"/></item>\n";
    }
    return s + "</channel></rss>";
  }();
  return feed;
}

void BM_ExpatOnly(benchmark::State& state) {
  const std::string& xml = feed1MB();
  for (auto _ : state) {
    XML_Parser p = XML_ParserCreateNS(nullptr, '\x01');
    benchmark::DoNotOptimize(XML_Parse(p, xml.data(), int(xml.size()), XML_TRUE));
    XML_ParserFree(p);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * xml.size()));
}
BENCHMARK(BM_ExpatOnly)->Unit(benchmark::kMillisecond);

void BM_ParseFeed(benchmark::State& state) {
  const std::string& xml = feed1MB();
  size_t n = 0;
  for (auto _ : state) n = parseAppcast(xml).size();
  state.counters["items"] = double(n);
  state.SetBytesProcessed(int64_t(state.iterations() * xml.size()));
}
BENCHMARK(BM_ParseFeed)->Unit(benchmark::kMillisecond);

void BM_History(benchmark::State& state) {
  const std::string& xml = feed1MB();
  for (auto _ : state) benchmark::DoNotOptimize(historyEntries(parseAppcast(xml)));
}
BENCHMARK(BM_History)->Unit(benchmark::kMillisecond);

// A listening socket that is never accepted from: the request is sent and no
// answer ever comes.
void BM_FeedTimeLimit(benchmark::State& state) {
  const auto limit = smoke() ? std::chrono::milliseconds(200) : std::chrono::milliseconds(10000);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::listen(fd, 4);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/feed.xml";
  auto fetcher = makeCurlFeedFetcher();
  double overshoot = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    FetchOutcome got = fetcher->get(url, limit, 1 << 20);
    const auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    overshoot = took - double(limit.count());
    if (!got.timedOut) state.SkipWithError("the fetch did not time out");
  }
  ::close(fd);
  state.counters["limit_ms"] = double(limit.count());
  state.counters["overshoot_ms"] = overshoot;
}
BENCHMARK(BM_FeedTimeLimit)->Iterations(1)->Unit(benchmark::kMillisecond);

struct BenchHome {
  fs::path root = fs::temp_directory_path() / ("corvane-bench-login-" + std::to_string(::getpid()));
  BenchHome() { fs::create_directories(root); }
  ~BenchHome() { fs::remove_all(root); }
};

void BM_ToggleLogin(benchmark::State& state) {
  BenchHome home;
  const fs::path folder = home.root / "autostart";
  LoginItem item({[&]() -> std::optional<fs::path> { return folder; },
                  [] { return std::optional<std::string>("/opt/Cor vane 100%/bin/corvane"); }});
  bool on = false;
  int64_t toggles = 0;
  for (auto _ : state) {
    on = !on;
    if (!item.set(on)) state.SkipWithError("toggle failed");
    ++toggles;
  }
  // After any number of toggles there is one whole entry or none.
  const bool present = fs::exists(folder / kAutostartFileName);
  size_t files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(folder)) ++files;
  if (present != on || files != (on ? 1u : 0u)) state.SkipWithError("stray or missing entry after toggling");
  if (on && *readFile(folder / kAutostartFileName) != *autostartEntry("/opt/Cor vane 100%/bin/corvane"))
    state.SkipWithError("entry differs after toggling");
  state.counters["toggles"] = double(toggles);
}
BENCHMARK(BM_ToggleLogin)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToggleLogin)->Iterations(1000)->Unit(benchmark::kMillisecond);

void BM_AtomicWrite(benchmark::State& state) {
  BenchHome home;
  const std::string entry = *autostartEntry("/opt/Cor vane 100%/bin/corvane");
  for (auto _ : state) (void)writeFileAtomic(home.root / "x.desktop", entry, 0644);
}
BENCHMARK(BM_AtomicWrite)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
