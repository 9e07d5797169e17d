// Media costs measured in one run:
// - the in-process thumbnail of a 6000x4000 JPEG against the JPEG decode floor
//   (`djpeg -scale 1/8`, goal: within 1.5x) and ImageMagick's
//   `convert -thumbnail` (goal: at least 8x faster);
// - storeMedia of a 40 MiB file: its hashing against OpenSSL's SHA-256 alone.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "ai/process_runner.h"
#include "core/crypto.h"
#include "core/files.h"
#include "media/image_codec.h"
#include "media/media_librarian.h"

namespace {

namespace fs = std::filesystem;
using corvane::ai::ProcessRunner;
using corvane::ai::RunOptions;

bool smoke() { return std::getenv("CORVANE_BENCH_SMOKE") != nullptr; }

// A private home for the run, removed at exit.
struct BenchHome {
  fs::path path;
  BenchHome() {
    std::string tmpl = (fs::temp_directory_path() / "corvane-media-bench-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
    ::setenv("HOME", path.c_str(), 1);
    ::unsetenv("XDG_DATA_HOME");
  }
  ~BenchHome() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

BenchHome& home() {
  static BenchHome h;
  return h;
}

// 6000x4000 JPEGs (quality 90) made with libvips once per run: arg 0 is
// photo-like (smooth gradients plus mild sensor noise, about 2 bits a pixel),
// arg 1 the same gradients without noise. Entropy decoding, which no decoder
// can skip, dominates the first; the ratio to ImageMagick depends on it.
fs::path makeJpeg(int kind);

const fs::path& testJpeg(int kind) {
  static const fs::path files[2] = {[] { return makeJpeg(0); }(), [] { return makeJpeg(1); }()};
  return files[kind];
}

void BM_ThumbnailInProcess(benchmark::State& state) {
  const fs::path& jpeg = testJpeg(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto thumb = corvane::media::makeJpegThumbnail(jpeg, 480, 72);
    if (!thumb) state.SkipWithError(thumb.message().c_str());
    benchmark::DoNotOptimize(thumb);
  }
  state.SetLabel(std::to_string(fs::file_size(jpeg) >> 10) + " KiB JPEG");
}
BENCHMARK(BM_ThumbnailInProcess)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void runTool(benchmark::State& state, std::string executable, std::vector<std::string> arguments) {
  if (::access(executable.c_str(), X_OK) != 0) {
    state.SkipWithError((executable + " is not installed").c_str());
    return;
  }
  RunOptions options;
  options.executable = std::move(executable);
  options.arguments = std::move(arguments);
  options.timeLimit = 120;
  for (auto _ : state) {
    auto result = ProcessRunner::run(options);
    if (result.status != 0) state.SkipWithError(result.stderrText.c_str());
  }
}

// The decode floor: libjpeg's own scaled decode, output discarded.
void BM_DjpegScaleEighth(benchmark::State& state) {
  runTool(state, "/usr/bin/djpeg",
          {"-scale", "1/8", "-outfile", "/dev/null", testJpeg(static_cast<int>(state.range(0))).string()});
}
BENCHMARK(BM_DjpegScaleEighth)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ImageMagickConvertThumbnail(benchmark::State& state) {
  std::string out = (home().path / "convert-thumb.jpg").string();
  runTool(state, "/usr/bin/convert",
          {testJpeg(static_cast<int>(state.range(0))).string(), "-thumbnail", "480x480", "-quality", "72", out});
}
BENCHMARK(BM_ImageMagickConvertThumbnail)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(smoke() ? 1 : 3);

fs::path makeJpeg(int kind) {
  int width = smoke() ? 1200 : 6000, height = smoke() ? 800 : 4000;
  fs::path p = home().path / (kind == 0 ? "photo.jpg" : "smooth.jpg");
  if (VIPS_INIT("media_bench") != 0) std::abort();
  VipsImage *xyz, *x, *y, *r, *g, *b, *bLinear, *noise, *joined, *mixed, *photo, *srgb;
  vips_xyz(&xyz, width, height, nullptr);
  vips_extract_band(xyz, &x, 0, nullptr);
  vips_extract_band(xyz, &y, 1, nullptr);
  vips_linear1(x, &r, 255.0 / width, 0, nullptr);
  vips_linear1(y, &g, 255.0 / height, 0, nullptr);
  vips_add(x, y, &b, nullptr);
  vips_linear1(b, &bLinear, 255.0 / (width + height), 0, nullptr);
  VipsImage* bands[3] = {r, g, bLinear};
  vips_bandjoin(bands, &joined, 3, nullptr);
  vips_gaussnoise(&noise, width, height, "sigma", kind == 0 ? 5.0 : 0.0, "mean", 0.0, nullptr);
  vips_add(joined, noise, &mixed, nullptr);
  vips_cast_uchar(mixed, &photo, nullptr);
  vips_copy(photo, &srgb, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
  if (vips_jpegsave(srgb, p.c_str(), "Q", 90, nullptr) != 0) std::abort();
  for (VipsImage* i : {xyz, x, y, r, g, b, bLinear, joined, noise, mixed, photo, srgb}) g_object_unref(i);
  return p;
}

// ---- storeMedia of 40 MiB

const std::string& payload() {
  static const std::string bytes = [] {
    std::string b(40u << 20, '\0');
    corvane::secureRandom(reinterpret_cast<uint8_t*>(b.data()), b.size());
    return b;
  }();
  return bytes;
}

// Drops what it is given: measures storeMedia on the caller's thread only.
class DiscardQueue final : public corvane::TaskQueue {
 public:
  void post(corvane::Task) override {}
  corvane::TaskHandle postDelayed(corvane::Duration, corvane::Task) override { return {}; }
  bool runsTasksInCurrentSequence() const override { return false; }
  const std::string& label() const override { return label_; }

 private:
  std::string label_ = "discard";
};

void BM_OpenSslSha256(benchmark::State& state) {
  const std::string& data = payload();
  unsigned char digest[32];
  for (auto _ : state) {
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_OpenSslSha256)->Unit(benchmark::kMillisecond);

// Storing bytes that are already there: the digest plus one size check.
void BM_StoreMediaExisting(benchmark::State& state) {
  home();
  corvane::media::MediaLibrarian library(std::make_shared<DiscardQueue>(), corvane::systemClock());
  const std::string& data = payload();
  if (!library.storeMedia(data, "bin")) state.SkipWithError("store failed");
  for (auto _ : state) benchmark::DoNotOptimize(library.storeMedia(data, "bin"));
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_StoreMediaExisting)->Unit(benchmark::kMillisecond);

// New content every time: the digest plus the atomic private write (with fsync).
void BM_StoreMediaNew(benchmark::State& state) {
  home();
  corvane::media::MediaLibrarian library(std::make_shared<DiscardQueue>(), corvane::systemClock());
  std::string data = payload();
  uint64_t n = 0;
  for (auto _ : state) {
    std::memcpy(data.data(), &++n, sizeof n);
    auto token = library.storeMedia(data, "bin");
    if (!token) {
      state.SkipWithError("store failed");
      break;
    }
    state.PauseTiming();
    fs::remove(corvane::media::mediaDirectory() / *token);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_StoreMediaNew)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
