// A small stand-in for libFuzzer's driver, so every fuzz target also builds
// with GCC in the dev preset (AddressSanitizer + UndefinedBehaviorSanitizer)
// and CI can run it for a few seconds without a clang build of the whole
// tree. It runs each seed, then mutated seeds (bit flips, interesting bytes,
// inserted tokens, cut and repeated ranges, splices) until time is up. The
// real coverage-guided runs are scripts/fuzz.sh.
//
//   fuzzsmoke_NAME [-seconds=N] [-seed=S] CORPUS_DIR_OR_FILE...
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string readAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void run(const std::string& input) {
  // A copy of exactly `size` bytes, so reading past the end is caught.
  // (libFuzzer passes a valid pointer for an empty input too.)
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
  std::memcpy(bytes.get(), input.data(), input.size());
  LLVMFuzzerTestOneInput(bytes.get(), input.size());
}

const std::string_view kTokens[] = {
    "<div>", "</div>", "<br>", "<img src=\"", "\">", "&amp;", "&#x", ";", "\"", "'", "{", "}", "[", "]", ":", ",",
    "null", "true", "-1", "9007199254740993", "1e308", "\\u0000", "\\ud800", "..", "/", "%2e%2e%2f", "\n", "\r\n",
    "\xE2\x80\xA8", "\xF0\x9F\x93\xB7", "\xC3", "\xFF", "\xE2\x9F\xA6", "\xE2\x9F\xA7", "app://local/__media/",
    "data:image/png;base64,", "style=\"", "font-weight: bold", "---\n",
};

std::string mutate(std::string s, const std::vector<std::string>& seeds, std::mt19937_64& rng) {
  auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
  const int rounds = 1 + static_cast<int>(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    switch (rng() % 7) {
      case 0:
        if (!s.empty()) s[pick(s.size())] ^= static_cast<char>(1u << (rng() % 8));
        break;
      case 1:
        if (!s.empty()) s[pick(s.size())] = "\0\x7f\x80\xff\"<>&%\\"[rng() % 11];
        break;
      case 2: {
        auto t = kTokens[pick(std::size(kTokens))];
        s.insert(pick(s.size() + 1), t);
        break;
      }
      case 3:
        if (!s.empty()) {
          size_t at = pick(s.size());
          s.erase(at, 1 + pick(std::min<size_t>(s.size() - at, 64)));
        }
        break;
      case 4:
        if (!s.empty() && s.size() < (1u << 16)) {
          size_t at = pick(s.size());
          std::string part = s.substr(at, 1 + pick(std::min<size_t>(s.size() - at, 64)));
          for (int i = static_cast<int>(rng() % 16); i >= 0; --i) s.insert(at, part);
        }
        break;
      case 5:
        if (!seeds.empty()) {
          const std::string& other = seeds[pick(seeds.size())];
          s = s.substr(0, pick(s.size() + 1)) + other.substr(pick(other.size() + 1));
        }
        break;
      default:
        if (!s.empty()) s.resize(pick(s.size()));
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  uint64_t seed = 1;
  std::vector<std::string> seeds;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a.rfind("-seconds=", 0) == 0) seconds = std::atof(argv[i] + 9);
    else if (a.rfind("-seed=", 0) == 0) seed = std::strtoull(argv[i] + 6, nullptr, 10);
    else if (std::filesystem::is_directory(a)) {
      for (const auto& e : std::filesystem::directory_iterator(a))
        if (e.is_regular_file()) seeds.push_back(readAll(e.path()));
    } else {
      seeds.push_back(readAll(a));
    }
  }
  seeds.push_back("");
  for (const auto& s : seeds) run(s);
  std::mt19937_64 rng(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t runs = seeds.size();
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 64; ++i, ++runs) run(mutate(seeds[rng() % seeds.size()], seeds, rng));
  }
  std::printf("%llu inputs run (%zu seeds), no finding\n", static_cast<unsigned long long>(runs), seeds.size());
  return 0;
}
