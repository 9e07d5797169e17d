#include "integration/updates.h"

#include <condition_variable>
#include <thread>

#include "core/files.h"
#include "core/text.h"

namespace corvane::integration {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDash = "\u2014";

fs::path bundleResources() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return fs::path("share") / "corvane";
  return (exe.parent_path().parent_path() / "share" / "corvane").lexically_normal();
}

std::string stringOrDash(const std::optional<Json>& v) {
  return v && v->is_string() ? v->get<std::string>() : std::string(kDash);
}

}  // namespace

UpdateConfig UpdateConfig::load(const fs::path& file) {
  UpdateConfig c;
  auto text = readFileLimited(file, 1 << 16);
  if (!text) return c;
  Json j = Json::parse(*text, nullptr, false);
  if (!j.is_object()) return c;
  auto take = [&](const char* key) -> std::optional<Json> {
    auto it = j.find(key);
    return it == j.end() ? std::nullopt : std::optional<Json>(*it);
  };
  c.feedURL = take("feedURL");
  c.checkIntervalSeconds = take("checkIntervalSeconds");
  c.automaticChecks = take("automaticChecks");
  c.build = take("build");
  return c;
}

Json UpdateStatus::toJson() const {
  Json j = Json::object();
  j["version"] = version;
  j["build"] = build;
  j["automaticChecks"] = automaticChecks;
  j["checkIntervalSeconds"] = checkIntervalSeconds;
  return j;
}

bool isFeedAddress(std::string_view text) {
  std::string_view rest;
  if (startsWith(toLowerAscii(text.substr(0, 8)), "https://")) rest = text.substr(8);
  else if (startsWith(toLowerAscii(text.substr(0, 7)), "http://")) rest = text.substr(7);
  else return false;
  if (rest.empty() || rest.front() == '/' || rest.front() == '?' || rest.front() == '#') return false;
  for (unsigned char ch : text)
    if (ch <= 0x20 || ch == 0x7f) return false;
  return true;
}

UpdateService::UpdateService(Options options) : options_(std::move(options)) {
  if (!options_.fetcher) options_.fetcher = makeCurlFeedFetcher();
}

UpdateStatus UpdateService::status() const {
  UpdateStatus s;
  s.version = stringOrDash(options_.version);
  s.build = stringOrDash(options_.config.build);
  const auto& interval = options_.config.checkIntervalSeconds;
  if (interval && interval->is_number()) {
    const double v = interval->get<double>();
    if (v >= -9.2e18 && v <= 9.2e18) s.checkIntervalSeconds = int64_t(v);
  }
  bool fallback = true;
  if (options_.config.automaticChecks && options_.config.automaticChecks->is_boolean())
    fallback = options_.config.automaticChecks->get<bool>();
  s.automaticChecks = options_.defaults ? options_.defaults->getBool(kAutomaticChecksKey, fallback) : fallback;
  return s;
}

void UpdateService::setAutomaticChecks(bool on) {
  if (options_.defaults) (void)options_.defaults->set(kAutomaticChecksKey, on);
  std::lock_guard lock(mutex_);
  if (!queue_) return;
  if (on) scheduleNext();
  else next_.cancel();
}

std::optional<std::string> UpdateService::feedAddress() const {
  std::optional<std::string> text;
  if (options_.defaults) text = options_.defaults->getString(kFeedUrlKey);
  if (!text && options_.config.feedURL && options_.config.feedURL->is_string())
    text = options_.config.feedURL->get<std::string>();
  if (!text || !isFeedAddress(*text)) return std::nullopt;
  return text;
}

Result<Json> UpdateService::history() {
  const auto address = feedAddress();
  if (!address) return fail(std::string(kNoFeed));
  FetchOutcome got = options_.fetcher->get(*address, options_.timeLimit, kMaxFeedBytes);
  if (got.timedOut) return fail(std::string(kTimedOut));
  // An error page is no feed: "[]" would read as "no releases".
  if (got.httpStatus >= 400) return fail(std::string(kUnreachable));
  if (!got.body) return fail(got.error.empty() ? std::string(kUnreachable) : got.error);
  // Expat hands over only valid UTF-8 and the serialiser replaces anything
  // else, so encoding the entries cannot fail.
  return historyEntries(parseAppcast(*got.body));
}

Result<std::optional<UpdateService::Newer>> UpdateService::check() {
  const auto address = feedAddress();
  if (!address) return fail(std::string(kNoFeed));
  FetchOutcome got = options_.fetcher->get(*address, options_.timeLimit, kMaxFeedBytes);
  if (got.timedOut) return fail(std::string(kTimedOut));
  if (got.httpStatus >= 400) return fail(std::string(kUnreachable));
  if (!got.body) return fail(got.error.empty() ? std::string(kUnreachable) : got.error);
  const std::string current = stringOrDash(options_.version);
  // The feed lists the newest release first; items may number themselves
  // differently (a short version on one, only a build number on another), so
  // only the first versioned item is compared with this version.
  for (const Release& r : parseAppcast(*got.body)) {
    const std::string& v = r.shortVersion.empty() ? r.version : r.shortVersion;
    if (v.empty()) continue;
    if (compareVersions(v, current) > 0) return std::optional<Newer>(Newer{v, r.title, r.link});
    break;
  }
  return std::optional<Newer>();
}

void UpdateService::startScheduler(std::shared_ptr<TaskQueue> queue, std::function<void(const CheckReport&)> announce) {
  std::lock_guard lock(mutex_);
  queue_ = std::move(queue);
  announce_ = std::move(announce);
  if (status().automaticChecks) scheduleNext();
}

void UpdateService::checkNow() {
  std::lock_guard lock(mutex_);
  if (!queue_) return;
  queue_->post([this] { runCheck(true); });
}

void UpdateService::scheduleNext() {
  // Called with mutex_ held.
  const int64_t seconds = std::max<int64_t>(60, status().checkIntervalSeconds);
  next_ = queue_->postDelayed(std::chrono::seconds(seconds), [this] {
    runCheck(false);
    std::lock_guard lock(mutex_);
    if (status().automaticChecks) scheduleNext();
  });
}

void UpdateService::runCheck(bool userInitiated) {
  CheckReport report;
  report.userInitiated = userInitiated;
  auto found = check();
  if (found) report.newer = *found;
  else report.failure = found.error();
  // Automatic checks stay quiet unless there is something to install.
  if (!userInitiated && !report.newer) return;
  std::function<void(const CheckReport&)> announce;
  {
    std::lock_guard lock(mutex_);
    announce = announce_;
  }
  if (announce) announce(report);
}

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<UpdateService>& sharedSlot() {
  static std::shared_ptr<UpdateService> s;
  return s;
}
}  // namespace

UpdateService& UpdateService::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) {
    Options o;
    o.config = UpdateConfig::load(bundleResources() / "update.json");
    o.version = Json(CORVANE_APP_VERSION);
    o.defaults = &platform::UserDefaults::shared();
    slot = std::make_shared<UpdateService>(std::move(o));
  }
  return *slot;
}

void UpdateService::setSharedForTesting(std::shared_ptr<UpdateService> service) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(service);
}

// ---- the relaunch gate

struct RelaunchGate::State {
  TaskQueue* main = nullptr;
  Hooks hooks;
  std::mutex mutex;
  std::function<void()> pending;
  bool noticeShown = false;
  TaskHandle timer;
};

RelaunchGate::RelaunchGate(TaskQueue& main, Hooks hooks) : state_(std::make_shared<State>()) {
  state_->main = &main;
  state_->hooks = std::move(hooks);
}

RelaunchGate::~RelaunchGate() {
  std::lock_guard lock(state_->mutex);
  state_->timer.cancel();
}

bool RelaunchGate::waiting() const {
  std::lock_guard lock(state_->mutex);
  return bool(state_->pending);
}

namespace {

// One tick of the poll: re-armed while the run goes on, so it repeats every 2 s.
void pollRelaunch(const std::weak_ptr<RelaunchGate::State>& weak);

}  // namespace

bool RelaunchGate::shouldPostpone(std::function<void()> relaunch) {
  if (!state_->hooks.aiRunActive || !state_->hooks.aiRunActive()) return false;
  bool showNotice = false;
  {
    std::lock_guard lock(state_->mutex);
    state_->pending = std::move(relaunch);
    // A second update while one waits keeps the notice already on screen.
    showNotice = !state_->noticeShown;
    state_->noticeShown = true;
  }
  if (!showNotice) return true;
  std::weak_ptr<State> weak = state_;
  state_->main->post([weak] {
    auto s = weak.lock();
    if (!s) return;
    auto startPolling = [weak] {
      auto s = weak.lock();
      if (!s) return;
      std::lock_guard lock(s->mutex);
      s->timer = s->main->postDelayed(kPollInterval, [weak] { pollRelaunch(weak); });
    };
    if (s->hooks.showNotice) s->hooks.showNotice(startPolling);
    else startPolling();
  });
  return true;
}

namespace {

void pollRelaunch(const std::weak_ptr<RelaunchGate::State>& weak) {
  auto s = weak.lock();
  if (!s) return;
  if (s->hooks.aiRunActive && s->hooks.aiRunActive()) {
    std::lock_guard lock(s->mutex);
    s->timer = s->main->postDelayed(RelaunchGate::kPollInterval, [weak] { pollRelaunch(weak); });
    return;
  }
  std::function<void()> action;
  {
    std::lock_guard lock(s->mutex);
    s->timer.detach();
    action = std::move(s->pending);
    s->pending = nullptr;
    s->noticeShown = false;
  }
  if (action) action();
}

}  // namespace

}  // namespace corvane::integration
