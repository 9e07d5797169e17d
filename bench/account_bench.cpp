// Account and log-upload costs. Goals: a 400-line upload body (chosen,
// checked line by line and built) within 1 ms; an identity token that is
// still fresh answered within 1 ms; each sign-in flow against the mock backend
// (run through corvane-cli, see the e2e script) within 300 ms.
#include <benchmark/benchmark.h>

#include "account/account_service.h"
#include "account/log_upload.h"
#include "core/json.h"
#include "platform/fake/memory_keychain.h"
#include "platform/fake/memory_user_defaults.h"

namespace {

using namespace corvane;

std::vector<std::string> pendingLines(size_t n) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < n; ++i)
    lines.push_back(dumpCompact(Json{{"ts", 1768478400000 + static_cast<int64_t>(i)},
                                     {"level", i % 3 ? "warn" : "error"},
                                     {"activity", "store"},
                                     {"message", "AppleScript failed for note x-coredata://" + std::to_string(i) +
                                                     ": the operation couldn't be completed (-1728)"}}));
  return lines;
}

void BM_UploadBatch400(benchmark::State& state) {
  auto lines = pendingLines(450);
  account::UploadHeader header{"0.1.0", "Linux 6.1.0", "6f1c0e0e-5b1a-4d0c-9d8e-1f2a3b4c5d6e",
                               "0b7c1a2e-3d4f-4a5b-8c9d-0e1f2a3b4c5d"};
  for (auto _ : state) {
    auto batch = account::selectUploadBatch(header, lines);
    benchmark::DoNotOptimize(batch.body.data());
  }
}
BENCHMARK(BM_UploadBatch400)->Unit(benchmark::kMicrosecond);

void BM_CachedIdentityToken(benchmark::State& state) {
  auto keychain = platform::makeMemoryKeychain();
  auto defaults = platform::makeMemoryUserDefaults();
  account::Session session{{"u", "e@x.test", "", "google"}, "token", "refresh",
                           unixMillis(systemClock().now()) + 3'600'000};
  (void)keychain->write(account::kSessionKeychainName, dumpCompact(account::sessionToJson(session)));
  account::AccountEnvironment env;
  env.keychain = keychain;
  env.defaults = defaults.get();
  env.http = [](const HttpRequest&, Duration) -> Result<HttpResponse> { return fail("no network in this benchmark"); };
  account::AccountService service(
      account::AuthConfig{"k", "https://id.invalid", "https://site.invalid", "https://fn.invalid", "", "", ""}, env);
  for (auto _ : state) benchmark::DoNotOptimize(service.identityToken(std::chrono::seconds(10)));
}
BENCHMARK(BM_CachedIdentityToken)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
