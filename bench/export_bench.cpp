// Export writers and auto-format against the tools a user could have used:
//  - PDF of a generated 245 KB sample (3,000 paragraphs, a heading every 20, a
//    bullet every 7; about 100 pages), auto-formatted: goal 0.5 s, linear to
//    200 pages (≤ 2.1×); reference: pango-view laying out the same text.
//  - Word document of the same sample: goal 80 ms and ≤ 3× `zip -q -6` of the
//    same parts; RTF of 1 MB: goal 30 ms.
//  - Auto-format (parse + Markdown) of 10 MB of mixed text: goal 200 ms and no
//    slower than `cmark` on the same input.
// CORVANE_BENCH_KEEP_SAMPLE=DIR copies the sample text there (for screenshots).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "export/auto_format.h"
#include "export/writers.h"

namespace {

namespace fs = std::filesystem;
using namespace corvane::exports;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

// CPU time (user + system) of finished children, in milliseconds. The
// references run as processes, so the wall time includes a fork and exec and
// the machine's load; this counter is their own work, comparable to our CPU column.
double childCpuMs() {
  rusage u{};
  ::getrusage(RUSAGE_CHILDREN, &u);
  return (static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Runs a reference command once per iteration and reports its CPU time.
void runReference(benchmark::State& state, const std::string& command) {
  const double before = childCpuMs();
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
  state.counters["child_cpu_ms"] =
      benchmark::Counter((childCpuMs() - before) / static_cast<double>(state.iterations()));
}

const char* kWords[] = {"the",    "notes",  "meeting", "project", "we",      "agreed", "to",     "ship",
                        "a",      "draft",  "before",  "friday",  "budget",  "review", "and",    "team",
                        "design", "update", "with",    "clear",   "numbers", "for",    "launch", "plan"};

// Paragraph i of the sample: about 80 bytes of lower-case words.
std::string paragraphText(std::mt19937& random, size_t bytes) {
  std::string p = "This";
  while (p.size() < bytes) {
    p += ' ';
    p += kWords[random() % std::size(kWords)];
  }
  return p + ".";
}

std::string sampleText(int paragraphs) {
  std::mt19937 random(11);
  std::string text = "Quarterly Planning Notes\n\n";
  for (int i = 0; i < paragraphs; ++i) {
    if (i % 20 == 0) text += "Section " + std::to_string(i / 20 + 1) + " Overview\n\n";
    if (i % 7 == 0) text += "- " + paragraphText(random, 40) + "\n\n";
    text += paragraphText(random, 70) + "\n\n";
  }
  return text;
}

std::string mixedText(size_t bytes) {
  std::mt19937 random(5);
  std::string text;
  int i = 0;
  while (text.size() < bytes) {
    switch (i++ % 8) {
      case 0: text += "## Heading number " + std::to_string(i) + "\n\n"; break;
      case 1: text += paragraphText(random, 200) + "\n" + paragraphText(random, 120) + "\n\n"; break;
      case 2: text += "- " + paragraphText(random, 30) + "\n- " + paragraphText(random, 30) + "\n  - nested item\n\n"; break;
      case 3: text += "1. first step\n2. " + paragraphText(random, 40) + "\n\n"; break;
      case 4: text += "> " + paragraphText(random, 60) + "\n> quoted again\n\n"; break;
      case 5: text += "```\nint x = " + std::to_string(i) + ";\n  return x;\n```\n\n"; break;
      case 6: text += "Summary Of Results\n\n"; break;
      default: text += "Underlined heading\n-----\n" + paragraphText(random, 90) + "\n\n"; break;
    }
  }
  return text;
}

struct TempFolder {
  fs::path path = fs::temp_directory_path() / ("corvane-bench-export-" + std::to_string(::getpid()));
  TempFolder() { fs::create_directories(path); }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

TempFolder& temp() {
  static TempFolder t;
  return t;
}

int samplePages() { return smoke() ? 2 : 100; }
int paragraphsFor(int pages) { return pages * 30; }

const std::string& sample(int pages) {
  static std::map<int, std::string> cache;
  auto& s = cache[pages];
  if (s.empty()) {
    s = sampleText(paragraphsFor(pages));
    std::ofstream(temp().path / ("sample-" + std::to_string(pages) + ".txt"), std::ios::binary) << s;
    if (const char* keep = std::getenv("CORVANE_BENCH_KEEP_SAMPLE"); keep && pages == 100)
      std::ofstream(fs::path(keep) / "export-sample.txt", std::ios::binary) << s;
  }
  return s;
}

void BM_PdfAutoFormatted(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0)) * samplePages() / 100;
  const std::string& text = sample(pages);
  size_t bytes = 0;
  for (auto _ : state) {
    auto pdf = encodePdf(AutoFormat::renderRichText(text));
    if (!pdf) state.SkipWithError("PDF failed");
    bytes = pdf ? pdf->size() : 0;
  }
  state.counters["input_KB"] = static_cast<double>(text.size()) / 1024;
  state.counters["pdf_KB"] = static_cast<double>(bytes) / 1024;
}
BENCHMARK(BM_PdfAutoFormatted)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PangoViewReference(benchmark::State& state) {
  if (smoke() || std::system("command -v pango-view >/dev/null 2>&1") != 0) {
    state.SkipWithError("pango-view skipped (smoke run or not installed)");
    return;
  }
  sample(100);
  const std::string command = "pango-view -q --font='DejaVu Sans 12' --width=451 --wrap=word-char -o " +
                              (temp().path / "pango.pdf").string() + " " + (temp().path / "sample-100.txt").string();
  runReference(state, command);
}
BENCHMARK(BM_PangoViewReference)->Unit(benchmark::kMillisecond)->Iterations(1);

const RichText& sampleRich() {
  static RichText rt = AutoFormat::renderRichText(sample(samplePages()));
  return rt;
}

void BM_Docx(benchmark::State& state) {
  for (auto _ : state) {
    auto docx = encodeDocx(sampleRich());
    if (!docx) state.SkipWithError("docx failed");
    benchmark::DoNotOptimize(docx);
  }
}
BENCHMARK(BM_Docx)->Unit(benchmark::kMillisecond);

void BM_ZipReference(benchmark::State& state) {
  if (std::system("command -v zip >/dev/null 2>&1") != 0) {
    state.SkipWithError("zip is not installed");
    return;
  }
  const fs::path parts = temp().path / "parts";
  for (const auto& [name, data] : docxParts(sampleRich())) {
    fs::create_directories((parts / name).parent_path());
    std::ofstream(parts / name, std::ios::binary) << data;
  }
  const std::string command = "cd " + parts.string() + " && rm -f ../ref.zip && zip -q -6 -r ../ref.zip .";
  runReference(state, command);
}
BENCHMARK(BM_ZipReference)->Unit(benchmark::kMillisecond);

void BM_Rtf1MB(benchmark::State& state) {
  static RichText rt = [] {
    std::string text = sampleText(smoke() ? 100 : 13000);
    return AutoFormat::renderRichText(text);
  }();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string rtf = encodeRtf(rt);
    bytes = rtf.size();
    benchmark::DoNotOptimize(rtf);
  }
  state.counters["text_KB"] = static_cast<double>(rt.string().size()) / 1024;
  state.counters["rtf_KB"] = static_cast<double>(bytes) / 1024;
}
BENCHMARK(BM_Rtf1MB)->Unit(benchmark::kMillisecond);

const std::string& mixed() {
  static std::string m = [] {
    std::string t = mixedText(smoke() ? 100 * 1024 : 10 * 1024 * 1024);
    std::ofstream(temp().path / "mixed.md", std::ios::binary) << t;
    return t;
  }();
  return m;
}

void BM_AutoFormatMarkdown10MB(benchmark::State& state) {
  const std::string& text = mixed();
  for (auto _ : state) {
    std::string md = AutoFormat::renderMarkdown(text);
    benchmark::DoNotOptimize(md);
  }
  state.counters["input_MB"] = static_cast<double>(text.size()) / (1024 * 1024);
}
BENCHMARK(BM_AutoFormatMarkdown10MB)->Unit(benchmark::kMillisecond);

void BM_CmarkReference(benchmark::State& state) {
  if (std::system("command -v cmark >/dev/null 2>&1") != 0) {
    state.SkipWithError("cmark is not installed (apt-get install cmark)");
    return;
  }
  mixed();
  const std::string command = "cmark " + (temp().path / "mixed.md").string() + " > /dev/null";
  runReference(state, command);
}
BENCHMARK(BM_CmarkReference)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
