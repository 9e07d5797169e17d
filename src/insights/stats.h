#pragma once
// Usage statistics: a private tally of what the user gets done (thoughts,
// words, clips, follow-ups, documents, AI builds, summons, focus sessions), in
// total and per local day for 90 days, the clip destinations of those days, and
// milestones announced once through the "stat:milestone" event.
//
// One process-wide instance owns the counters on the serial queue
// "com.corvane.stats" and persists them in dataDirectory()/"stats.json".
// Nothing here fails a caller: `record` and `recordDestination` only enqueue;
// the reading operations run synchronously on the queue and always answer.
//
// Counter range: every counter (totals and daily entries) stays within
// ±kMaxCounter (2^53 - 1, the largest integer the page's JavaScript holds
// exactly). Additions saturate at the bound; remote and on-disk values beyond it
// are clamped to it (fractional numbers are truncated toward zero), and the
// derived timeSavedSeconds saturates at it too. Nothing wraps around.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/queue.h"

namespace corvane::insights {

inline constexpr int64_t kMaxCounter = (int64_t{1} << 53) - 1;
// Days of history and destinations kept; days that count for the shortlist.
inline constexpr int kHistoryDays = 90;
inline constexpr int kDestinationWindowDays = 30;
// Seconds of focus time credited per focus session (23m 15s).
inline constexpr int64_t kSecondsPerFocusSession = 1395;

// The eight counters of one day; also the deltas of one `record` call, so
// callers can name only what they count: `record({.thoughts = 1, .words = n})`.
struct DailyStats {
  int64_t thoughts = 0;
  int64_t words = 0;
  int64_t clips = 0;
  int64_t followups = 0;
  int64_t documents = 0;
  int64_t builds = 0;
  int64_t summons = 0;
  int64_t focusSessions = 0;

  bool operator==(const DailyStats&) const = default;
};

// The persisted record ("stats.json").
struct StatsData {
  int64_t thoughts = 0;
  int64_t words = 0;
  int64_t clips = 0;
  int64_t followups = 0;
  int64_t documents = 0;
  int64_t builds = 0;
  int64_t summons = 0;
  int64_t focusSessions = 0;
  int64_t activeDays = 0;
  std::string lastActiveDay;
  std::vector<std::string> celebrated;  // "metric:threshold", only grows
  std::map<std::string, DailyStats> history;                          // day key -> counters
  std::map<std::string, std::map<std::string, int64_t>> destHistory;  // day key -> id -> clips
  std::map<std::string, std::string> destNames;                       // id -> display name
};

class Stats {
 public:
  // The answer of "get_stats" and the totals of the insights view.
  struct Totals {
    int64_t thoughts = 0, words = 0, clips = 0, followups = 0, documents = 0, builds = 0, summons = 0,
            focusSessions = 0, activeDays = 0, timeSavedSeconds = 0, focusKept = 0;
  };
  struct InsightsDay {
    std::string date;
    DailyStats counters;
  };
  struct InsightsView {
    Totals totals;
    std::vector<InsightsDay> days;  // oldest first
  };
  // One row of the milestone table.
  struct Milestone {
    std::string metric;
    std::string pillar;
    int64_t value = 0;
    std::vector<int64_t> thresholds;  // ascending
    std::function<std::string(int64_t)> msg;
  };
  // One entry of topDestinations.
  struct Destination {
    std::string id;
    std::string name;
    int64_t count = 0;
    bool operator==(const Destination&) const = default;
  };

  struct Options {
    // Defaults: a SerialQueue "com.corvane.stats", the system clock, the data
    // directory of the current HOME, and the process's current locale.
    std::shared_ptr<TaskQueue> queue;
    const Clock* clock = nullptr;
    std::filesystem::path directory;  // holds "stats.json"; made private (0700)
    std::string locale;               // ICU locale id for numbers in milestone messages
  };

  Stats();
  explicit Stats(Options options);
  // Runs whatever is still queued (so nothing counted is lost), then stops.
  ~Stats();
  Stats(const Stats&) = delete;
  Stats& operator=(const Stats&) = delete;

  // The process-wide instance, created on first use; replaceable in tests
  // (nullptr makes the next shared() create a fresh default one).
  static Stats& shared();
  static void setSharedForTesting(std::shared_ptr<Stats> stats);
  // flush() on the process-wide instance if one exists (creates none); the
  // shell and the CLI call it before exiting so no queued count is lost.
  static void flushShared();

  // Queued; the caller never waits. Deltas in the order thoughts, words, clips,
  // followups, documents, builds, summons, focusSessions.
  void record(const DailyStats& deltas);
  void record(int64_t thoughts, int64_t words, int64_t clips, int64_t followups, int64_t documents,
              int64_t builds, int64_t summons, int64_t focusSessions);
  // A clip went to this destination today. An empty id does nothing; an empty
  // name keeps the stored name.
  void recordDestination(std::string id, std::string name);

  // Synchronous on the statistics queue: they see everything queued before.
  std::vector<Destination> topDestinations(int limit);
  std::string totalsJSON();
  std::string insightsJSON();
  Totals totals();
  InsightsView insights();
  // Folds in totals and days pulled from the cloud; true when something changed.
  // Anything that is not a JSON object changes nothing.
  bool mergeRemote(std::string_view bytes);

  // Blocks until every operation queued before the call, and its file write,
  // is done. For tests and for the shell/CLI before exiting.
  void flush();
  // A copy of the current record (loads it if needed), for tests and tools.
  StatsData snapshot();

  const std::filesystem::path& filePath() const { return file_; }

 private:
  void post(std::function<void(StatsData&)> change);
  StatsData& load();  // on the queue
  void save();        // on the queue
  void scheduleSave();  // on the queue: one write after the changes queued so far
  void prune(StatsData& data) const;
  std::vector<std::string> checkMilestones(StatsData& data) const;

  std::shared_ptr<TaskQueue> queue_;
  const Clock* clock_;
  std::filesystem::path directory_;
  std::filesystem::path file_;
  std::string locale_;
  // Owned by the queue.
  std::unique_ptr<StatsData> cache_;
  bool fileUndecodable_ = false;
  bool savePending_ = false;
};

// ---- helpers (pure; exposed for the shortlist, the cloud sync and tests)

// The local calendar date of `t` as "yyyy-MM-dd" (current TZ).
std::string dayKey(WallTime t);
// The n day keys ending with the local day of `now`, oldest first.
std::vector<std::string> lastDays(WallTime now, int n);
// `value` with the decimal number format of `locale` (an ICU id; empty = the
// current locale; the C/POSIX locale formats as English), grouping included;
// plain decimal when the formatter gives nothing.
std::string formatCount(int64_t value, std::string_view locale = {});
// 1395 -> "23m 15s", 6975 -> "1h 56m 15s", 3600 -> "1h 0m", 60 -> "1m".
std::string formatDuration(int64_t seconds);
// Decodes a "stats.json" text; anything undecodable gives defaults and
// wrong-typed keys read as absent. `decoded` (optional) tells whether the text
// was a JSON object.
StatsData decodeStats(std::string_view text, bool* decoded = nullptr);
std::string encodeStats(const StatsData& data);

}  // namespace corvane::insights
