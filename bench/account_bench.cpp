// Account and log-upload costs. Goals: a 400-line upload body (chosen,
// checked line by line and built) within 1 ms; an identity token that is
// still fresh answered within 1 ms; each sign-in flow against the mock backend
// (run through corvane-cli, see the e2e script) within 300 ms.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "core/url.h"
#include "insights/cloud_ledger.h"
#include "insights/stats.h"

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

// corvane-mock-backend from the same bin folder, for the length of a benchmark.
class MockBackend {
 public:
  MockBackend() {
    auto exe = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "corvane-mock-backend";
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execl(exe.c_str(), exe.c_str(), "--port", "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    char buffer[32] = {0};
    ssize_t n = read(out[0], buffer, sizeof buffer - 1);
    close(out[0]);
    if (n > 0) port_ = std::atoi(buffer);
  }
  ~MockBackend() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// The browser step: the page's redirect, read without following it.
std::string locationOf(const std::string& url) {
  HttpRequest r;
  r.url = url;
  r.maxRedirects = 0;
  auto answer = httpSend(r);
  return answer ? answer->location : std::string();
}

struct FlowRig {
  MockBackend mock;
  std::shared_ptr<platform::Keychain> keychain = platform::makeMemoryKeychain();
  std::shared_ptr<platform::UserDefaults> defaults = platform::makeMemoryUserDefaults();
  std::unique_ptr<account::AccountService> service;

  explicit FlowRig(std::function<bool(account::AccountService&, const std::string&)> browser) {
    std::string m = mock.base();
    account::AccountEnvironment env;
    env.keychain = keychain;
    env.defaults = defaults.get();
    env.runOnMain = [](Task t) { t(); };
    env.postToMain = [](Task t) { t(); };
    env.window = []() -> void* { return reinterpret_cast<void*>(1); };
    env.showStatus = [](std::string_view) {};
    env.openBrowser = [this, browser](const std::string& url) { return browser(*service, url); };
    service = std::make_unique<account::AccountService>(
        account::AuthConfig{"k", m + "/identity", m, m, "client", m + "/o/oauth2/auth", m + "/o/oauth2/token"}, env);
  }
};

void BM_SignInGoogleAgainstMock(benchmark::State& state) {
  FlowRig rig([](account::AccountService&, const std::string& url) {
    // The mock's page redirects to the loopback listener at once.
    std::thread([url] {
      HttpRequest r;
      r.url = locationOf(url);
      (void)httpSend(r);
    }).detach();
    return true;
  });
  if (rig.mock.port() <= 0) return state.SkipWithError("corvane-mock-backend did not start");
  for (auto _ : state) {
    auto user = rig.service->signInGoogle();
    if (!user) return state.SkipWithError(user.error().c_str());
  }
}
BENCHMARK(BM_SignInGoogleAgainstMock)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SignInAppleAgainstMock(benchmark::State& state) {
  FlowRig rig([](account::AccountService& service, const std::string& url) {
    // The start page answers with the corvane://auth/apple callback.
    std::thread([&service, url] { service.handleOpenURL(locationOf(url)); }).detach();
    return true;
  });
  if (rig.mock.port() <= 0) return state.SkipWithError("corvane-mock-backend did not start");
  for (auto _ : state) {
    auto user = rig.service->signInApple();
    if (!user) return state.SkipWithError(user.error().c_str());
  }
  rig.service->waitForCallbackWork();
}
BENCHMARK(BM_SignInAppleAgainstMock)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SignInEmailLinkAgainstMock(benchmark::State& state) {
  FlowRig rig([](account::AccountService&, const std::string&) { return true; });
  if (rig.mock.port() <= 0) return state.SkipWithError("corvane-mock-backend did not start");
  for (auto _ : state) {
    if (auto sent = rig.service->signInEmail("bench@example.com"); !sent) return state.SkipWithError(sent.error().c_str());
    state.PauseTiming();  // reading the mail
    HttpRequest outbox;
    outbox.url = rig.mock.base() + "/_mock/outbox";
    auto list = parseJson(httpSend(outbox)->body);
    std::string link = list->back()["link"].get<std::string>();
    state.ResumeTiming();
    rig.service->completeEmailLink(link);
    rig.service->waitForCallbackWork();
    if (!rig.service->currentUser()) return state.SkipWithError("not signed in");
  }
}
BENCHMARK(BM_SignInEmailLinkAgainstMock)->Unit(benchmark::kMillisecond)->UseRealTime();

// Quit with the insights server hanging: flushSync(2 s) must let go.
void BM_QuitWithHungServer(benchmark::State& state) {
  std::shared_ptr<insights::CloudLedger> ledger;  // outlived by nothing below: the mock stops first
  MockBackend mock;
  if (mock.port() <= 0) return state.SkipWithError("corvane-mock-backend did not start");
  HttpRequest script;
  script.method = "POST";
  script.url = mock.base() + "/_mock/script";
  script.body = R"({"path":"/insights","delayMs":60000})";
  (void)httpSend(script);
  insights::CloudLedger::Options o;
  o.config = [base = mock.base()] {
    insights::CloudConfig c;
    c.enabled = true;
    c.insightsURL = base + "/insights";
    return c;
  };
  o.stats = []() -> insights::Stats& {
    static insights::Stats stats([] {
      insights::Stats::Options so;
      so.directory = std::filesystem::temp_directory_path() / "corvane-bench-account";
      return so;
    }());
    return stats;
  };
  ledger = std::make_shared<insights::CloudLedger>(o);
  for (auto _ : state) ledger->flushSync(std::chrono::seconds(2));
  state.SetLabel("goal: 2.05 s");
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() / "corvane-bench-account", ec);
}
BENCHMARK(BM_QuitWithHungServer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
