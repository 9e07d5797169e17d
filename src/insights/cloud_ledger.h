#pragma once
// Cloud insights sync: copies the usage insights to the hosted backend on a
// slow timer (with a back-off after failed pushes) and pulls the stored ones
// back once per run, merging them into the local statistics. All sync work runs
// on one serial queue, "com.corvane.cloudledger". Whether it runs and where it
// sends are read from "cloud.json" among the application's resources, anew at
// every use; without that file (the default build) nothing is scheduled or sent.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "core/clock.h"
#include "core/http.h"
#include "core/queue.h"

namespace corvane::insights {

class Stats;

struct CloudConfig {
  bool enabled = false;
  std::string insightsURL;
  std::string getInsightsURL;
  std::string authToken;
};

// Decodes "cloud.json". A file that is not a JSON object, or holds a member of
// the wrong type (`"enabled":"yes"`), reads as disabled with empty texts, so a
// half-understood configuration never sends anything.
CloudConfig decodeCloudConfig(std::string_view text);
// bundledResourceDirectory()/"cloud.json"; disabled when missing or undecodable.
CloudConfig loadCloudConfig();

// What the sync needs from the account sign-in (installed by the account library).
struct CloudAccountLink {
  std::function<bool()> signedIn;
  // The signed-in user's identity token, only when the backend is configured;
  // waits at most `wait`.
  std::function<std::optional<std::string>(Duration wait)> identityToken;
  // The account object that "get_account" answers, as JSON text.
  std::function<std::string()> accountObjectJson;
};

inline constexpr std::chrono::seconds kCloudFirstSyncDelay{60};
inline constexpr std::chrono::seconds kCloudFirstSyncJitter{300};
inline constexpr std::chrono::seconds kCloudSyncPeriod{16200};
inline constexpr std::chrono::seconds kCloudRequestTimeout{15};
inline constexpr std::chrono::seconds kCloudRequestWait{20};
inline constexpr std::chrono::seconds kCloudTokenWait{10};

class CloudLedger : public std::enable_shared_from_this<CloudLedger> {
 public:
  struct Options {
    std::shared_ptr<TaskQueue> queue;                // default: SerialQueue "com.corvane.cloudledger"
    const Clock* clock = nullptr;                    // default: the system clock
    HttpSender http;                                 // default: defaultHttpSender()
    std::function<CloudConfig()> config;             // default: loadCloudConfig
    std::function<Stats&()> stats;                   // default: Stats::shared()
    std::function<uint64_t()> random;                // default: a seeded generator
  };

  CloudLedger();
  explicit CloudLedger(Options options);
  ~CloudLedger();

  // Reads the configuration; when enabled, installs the timer (replacing an
  // earlier one): first pass 60-360 s from now, then every 4.5 hours.
  void startSync();
  // When enabled, runs one sync pass and waits at most `wait` for it (quit).
  void flushSync(Duration wait);
  // When enabled, pulls now (also when this run has pulled already) and waits
  // at most `wait`.
  void refreshNow(Duration wait);

  void setAccountLink(CloudAccountLink link);

  // One pass (on the queue): push (thinned out after failures), then pull.
  void syncTick();

  // For tests (read on the queue).
  int consecutiveFailures();
  bool didPull();

  static CloudLedger& shared();
  static std::shared_ptr<CloudLedger> sharedPointer();
  static void setSharedForTesting(std::shared_ptr<CloudLedger> ledger);
  // flushSync on the process-wide ledger when one was started (creates none).
  static void flushShared(Duration wait);

 private:
  bool pushInsights(const CloudConfig& config);
  void pullInsights(const CloudConfig& config, bool force);
  std::optional<std::string> bearerToken(const CloudConfig& config);
  void runAndWait(Duration wait, std::function<void(CloudLedger&)> work);

  Options options_;
  // Owned by the queue.
  TaskHandle timer_;
  int consecutiveInsightsFailures_ = 0;
  bool didPullCloudInsights_ = false;
  std::shared_ptr<CloudAccountLink> link_;  // replaced whole, read under linkMutex_
  std::mutex linkMutex_;
  std::atomic<bool> started_{false};
};

}  // namespace corvane::insights
