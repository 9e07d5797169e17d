#include "insights/cloud_ledger.h"

#include <condition_variable>
#include <mutex>

#include "bridge/shell_hooks.h"
#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "insights/stats.h"

namespace corvane::insights {

CloudConfig decodeCloudConfig(std::string_view text) {
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_object()) return {};
  CloudConfig config;
  const Json& o = *parsed;
  auto readText = [&](const char* key, std::string& out) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
  };
  if (auto it = o.find("enabled"); it != o.end() && !it->is_null()) {
    if (!it->is_boolean()) return {};
    config.enabled = it->get<bool>();
  }
  if (!readText("insightsURL", config.insightsURL) || !readText("getInsightsURL", config.getInsightsURL) ||
      !readText("authToken", config.authToken))
    return {};
  return config;
}

CloudConfig loadCloudConfig() {
  auto text = readFileLimited(bundledResourceDirectory() / "cloud.json", 64 * 1024);
  if (!text) return {};
  return decodeCloudConfig(*text);
}

CloudLedger::CloudLedger() : CloudLedger(Options{}) {}

CloudLedger::CloudLedger(Options options) : options_(std::move(options)) {
  if (!options_.queue) options_.queue = std::make_shared<SerialQueue>("com.corvane.cloudledger");
  if (!options_.clock) options_.clock = &systemClock();
  if (!options_.http) options_.http = defaultHttpSender();
  if (!options_.config) options_.config = loadCloudConfig;
  if (!options_.stats) options_.stats = []() -> Stats& { return Stats::shared(); };
  if (!options_.random) {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    auto mutex = std::make_shared<std::mutex>();
    options_.random = [engine, mutex] {
      std::lock_guard lock(*mutex);
      return (*engine)();
    };
  }
}

CloudLedger::~CloudLedger() {
  if (options_.queue->runsTasksInCurrentSequence()) timer_.cancel();
  else options_.queue->runSync([this] { timer_.cancel(); });
}

void CloudLedger::setAccountLink(CloudAccountLink link) {
  std::lock_guard lock(linkMutex_);
  link_ = std::make_shared<CloudAccountLink>(std::move(link));
}

void CloudLedger::startSync() {
  if (!options_.config().enabled) return;
  started_ = true;
  // Uniform in [0, 300] seconds, to the millisecond.
  auto jitter = std::chrono::milliseconds(options_.random() % (kCloudFirstSyncJitter.count() * 1000 + 1));
  MonoTime due = options_.clock->monotonicNow() + kCloudFirstSyncDelay + jitter;
  std::weak_ptr<CloudLedger> weak = weak_from_this();
  options_.queue->post([weak, due] {
    auto self = weak.lock();
    if (!self) return;
    // Re-arms itself by whole periods, holding the ledger weakly.
    struct Arm {
      static void at(const std::weak_ptr<CloudLedger>& weak, MonoTime due) {
        auto self = weak.lock();
        if (!self) return;
        auto delay = std::max(Duration(0), std::chrono::duration_cast<Duration>(due - self->options_.clock->monotonicNow()));
        self->timer_ = self->options_.queue->postDelayed(delay, [weak, due] {
          if (auto ledger = weak.lock()) ledger->syncTick();
          at(weak, due + kCloudSyncPeriod);
        });
      }
    };
    Arm::at(weak, due);
  });
}

void CloudLedger::runAndWait(Duration wait, std::function<void(CloudLedger&)> work) {
  struct Signal {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto signal = std::make_shared<Signal>();
  // The pass holds the ledger weakly (a ledger already gone runs nothing) and
  // lets go of it before signalling, so the last owner never ends up being
  // the ledger's own queue thread. A ledger no shared_ptr owns (a test's) is
  // used as it is: its owner waits.
  std::weak_ptr<CloudLedger> weak = weak_from_this();
  bool owned = !weak.expired();
  auto task = [weak, owned, raw = this, signal, work = std::move(work)] {
    {
      std::shared_ptr<CloudLedger> self = weak.lock();
      if (self) work(*self);
      else if (!owned) work(*raw);
    }
    std::lock_guard lock(signal->mutex);
    signal->done = true;
    signal->cv.notify_all();
  };
  if (options_.queue->runsTasksInCurrentSequence()) {
    task();
    return;
  }
  options_.queue->post(std::move(task));
  std::unique_lock lock(signal->mutex);
  signal->cv.wait_for(lock, wait, [&] { return signal->done; });
}

void CloudLedger::flushSync(Duration wait) {
  if (!options_.config().enabled) return;
  runAndWait(wait, [](CloudLedger& self) { self.syncTick(); });
}

void CloudLedger::refreshNow(Duration wait) {
  if (!options_.config().enabled) return;
  runAndWait(wait, [](CloudLedger& self) {
    CloudConfig config = self.options_.config();
    if (config.enabled) self.pullInsights(config, /*force=*/true);
  });
}

void CloudLedger::syncTick() {
  CloudConfig config = options_.config();
  if (!config.enabled) return;
  int n = consecutiveInsightsFailures_;
  bool push = n == 0 || options_.random() % (uint64_t{1} << std::min(n, 4)) == 0;
  if (push) {
    if (pushInsights(config)) consecutiveInsightsFailures_ = 0;
    else ++consecutiveInsightsFailures_;
  }
  pullInsights(config, /*force=*/false);
}

std::optional<std::string> CloudLedger::bearerToken(const CloudConfig& config) {
  std::shared_ptr<CloudAccountLink> link;
  {
    std::lock_guard lock(linkMutex_);
    link = link_;
  }
  if (link && link->identityToken) {
    if (auto token = link->identityToken(kCloudTokenWait); token && !token->empty()) return token;
  }
  if (!config.authToken.empty()) return config.authToken;
  return std::nullopt;
}

bool CloudLedger::pushInsights(const CloudConfig& config) {
  if (!checkRequestAddress(config.insightsURL)) return false;
  HttpRequest request;
  request.method = "POST";
  request.url = config.insightsURL;
  request.timeout = kCloudRequestTimeout;
  request.headers.emplace_back("Content-Type", "application/json");
  if (auto token = bearerToken(config)) request.headers.emplace_back("Authorization", "Bearer " + *token);
  request.body = options_.stats().insightsJSON();
  auto response = options_.http(request, kCloudRequestWait);
  return response && response->status >= 200 && response->status <= 299;
}

void CloudLedger::pullInsights(const CloudConfig& config, bool force) {
  if (didPullCloudInsights_ && !force) return;
  if (config.getInsightsURL.empty()) return;
  std::shared_ptr<CloudAccountLink> link;
  {
    std::lock_guard lock(linkMutex_);
    link = link_;
  }
  if (!link || !link->signedIn || !link->signedIn()) return;
  if (!checkRequestAddress(config.getInsightsURL)) return;
  didPullCloudInsights_ = true;  // before sending: a failed pull is not retried this run

  HttpRequest request;
  request.url = config.getInsightsURL;
  request.timeout = kCloudRequestTimeout;
  if (auto token = bearerToken(config)) request.headers.emplace_back("Authorization", "Bearer " + *token);
  auto response = options_.http(request, kCloudRequestWait);
  if (!response || response->body.empty() || response->status < 200 || response->status > 299) return;
  if (options_.stats().mergeRemote(response->body) && link->accountObjectJson)
    bridge::emitEvent("account:updated", link->accountObjectJson());
}

int CloudLedger::consecutiveFailures() {
  int value = 0;
  options_.queue->runSync([&] { value = consecutiveInsightsFailures_; });
  return value;
}

bool CloudLedger::didPull() {
  bool value = false;
  options_.queue->runSync([&] { value = didPullCloudInsights_; });
  return value;
}

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
// Never destroyed: a pass or a callback may still be running while the
// process exits (front ends wait for them, within their limits, beforehand).
std::shared_ptr<CloudLedger>& sharedSlot() {
  static auto* slot = new std::shared_ptr<CloudLedger>();
  return *slot;
}
}  // namespace

std::shared_ptr<CloudLedger> CloudLedger::sharedPointer() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<CloudLedger>();
  return slot;
}

CloudLedger& CloudLedger::shared() { return *sharedPointer(); }

void CloudLedger::setSharedForTesting(std::shared_ptr<CloudLedger> ledger) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(ledger);
}

void CloudLedger::flushShared(Duration wait) {
  std::shared_ptr<CloudLedger> ledger;
  {
    std::lock_guard lock(sharedMutex());
    ledger = sharedSlot();
  }
  if (ledger && ledger->started_) ledger->flushSync(wait);
}

}  // namespace corvane::insights
