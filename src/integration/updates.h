#pragma once
// Updates, report-only: the status record, the release history, checks (user
// and scheduled) that announce a newer release, and the relaunch gate.
//
// The feed address and the check interval are build configuration in
// share/corvane/update.json ({"feedURL": "...", "checkIntervalSeconds": 86400,
// "automaticChecks": true, "build": "..."}); the user-defaults key
// "Corvane.updates.feedURL" overrides the address, and
// "Corvane.updates.automaticChecks" holds the user's switch.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/json.h"
#include "core/queue.h"
#include "core/result.h"
#include "integration/appcast.h"
#include "integration/feed_fetcher.h"
#include "platform/user_defaults.h"

namespace corvane::integration {

inline constexpr std::string_view kNoFeed = "No update feed is configured in this build.";
inline constexpr std::string_view kTimedOut = "Couldn't reach the update server — check your connection and try again.";
inline constexpr std::string_view kUnreachable = "Couldn't reach the update server.";
inline constexpr std::string_view kUnreadable = "Couldn't read the update feed.";
inline constexpr auto kFeedTimeLimit = std::chrono::seconds(10);
inline constexpr size_t kMaxFeedBytes = 32u << 20;
inline constexpr int64_t kDefaultCheckInterval = 86400;
inline constexpr std::string_view kFeedUrlKey = "Corvane.updates.feedURL";
inline constexpr std::string_view kAutomaticChecksKey = "Corvane.updates.automaticChecks";

struct UpdateConfig {
  std::optional<Json> feedURL;  // as written: only a string counts
  std::optional<Json> checkIntervalSeconds;
  std::optional<Json> automaticChecks;
  std::optional<Json> build;

  // Reads the file; an absent or unreadable file is an empty configuration.
  static UpdateConfig load(const std::filesystem::path& file);
};

struct UpdateStatus {
  std::string version;
  std::string build;
  bool automaticChecks = true;
  int64_t checkIntervalSeconds = kDefaultCheckInterval;
  Json toJson() const;
};

// Whether `text` is an address the fetcher can use (http or https with a host).
bool isFeedAddress(std::string_view text);

class UpdateService {
 public:
  struct Options {
    UpdateConfig config;
    std::optional<Json> version;  // the application's version, "—" when not a string
    platform::UserDefaults* defaults = nullptr;
    std::shared_ptr<FeedFetcher> fetcher;
    std::chrono::milliseconds timeLimit = kFeedTimeLimit;
  };
  explicit UpdateService(Options options);

  UpdateStatus status() const;
  void setAutomaticChecks(bool on);
  // The feed's history as the page's JSON array, or the exact failure text.
  Result<Json> history();

  // One check: the feed's first versioned release when it is newer than this
  // version, else nullopt.
  struct Newer {
    std::string version;
    std::string title;
    std::string link;
  };
  Result<std::optional<Newer>> check();

  // Runs checks on `queue` (which may block on the network): automatic ones every
  // checkIntervalSeconds while the switch is on, user ones at once. `announce`
  // receives each finding (user checks also report "up to date" and failures).
  struct CheckReport {
    bool userInitiated = false;
    std::optional<Newer> newer;
    std::optional<std::string> failure;
  };
  void startScheduler(std::shared_ptr<TaskQueue> queue, std::function<void(const CheckReport&)> announce);
  void checkNow();

  // The shared service (created on first use from the bundle's update.json).
  static UpdateService& shared();
  static void setSharedForTesting(std::shared_ptr<UpdateService> service);

 private:
  void scheduleNext();
  void runCheck(bool userInitiated);
  std::optional<std::string> feedAddress() const;

  Options options_;
  mutable std::mutex mutex_;
  std::shared_ptr<TaskQueue> queue_;
  std::function<void(const CheckReport&)> announce_;
  TaskHandle next_;
};

// Holds an update's relaunch back while an AI run is in progress. The caller
// asks `shouldPostpone` with the action that continues the relaunch; when it
// says yes the gate shows its notice once and, after the notice is dismissed,
// polls every 2 s on the main queue, then runs the action exactly once.
class RelaunchGate {
 public:
  static constexpr auto kPollInterval = std::chrono::seconds(2);
  struct Hooks {
    std::function<bool()> aiRunActive;  // the whole run, not only the tool's process
    // Shows "Update ready — waiting for Corvane AI"; calls `dismissed` when closed.
    std::function<void(std::function<void()> dismissed)> showNotice;
  };
  RelaunchGate(TaskQueue& main, Hooks hooks);
  ~RelaunchGate();

  bool shouldPostpone(std::function<void()> relaunch);
  bool waiting() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

inline constexpr std::string_view kRelaunchNoticeTitle = "Update ready — waiting for Corvane AI";
inline constexpr std::string_view kRelaunchNoticeText =
    "An AI run is in progress. Corvane will install the update and relaunch as soon as it finishes.";

}  // namespace corvane::integration
