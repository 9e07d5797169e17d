#pragma once
// The application log: the program's own diagnostic record. One JSON line per
// entry ({"ts","level","activity","message"}) in a file per UTC day
// ("yyyy-MM-dd.jsonl", kept 14 days) in applicationSupportDirectory()/"logs";
// "warn" and "error" entries are also queued in "pending-upload.jsonl" for the
// upload. Writing never blocks the caller and never fails towards it: all file
// work runs on one serial queue ("com.corvane.applog") and file errors are
// ignored.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/command.h"
#include "core/clock.h"
#include "core/queue.h"
#include "core/result.h"

namespace corvane::records {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// "debug", "info", "warn", "error".
std::string_view logLevelName(LogLevel level);

inline constexpr size_t kMaxActivityCharacters = 48;
inline constexpr size_t kMaxMessageCharacters = 4096;
inline constexpr std::string_view kPendingUploadFileName = "pending-upload.jsonl";
inline constexpr std::string_view kPendingUploadTempName = "pending-upload.jsonl.tmp";
// Day files older than this (from the midnight UTC that starts their day) are pruned.
inline constexpr std::chrono::seconds kLogRetention{14 * 24 * 3600};
// Upload timer: first firing after start-up, then the period.
inline constexpr std::chrono::seconds kFirstUploadDelay{20};
inline constexpr std::chrono::seconds kUploadPeriod{1800};

// "2026-01-15.jsonl" for any time on that UTC day.
std::string dayFileName(WallTime time);
// Midnight UTC of the day a "yyyy-MM-dd" stem names; nullopt when it is not a date.
std::optional<WallTime> parseDayStem(std::string_view stem);
// applicationSupportDirectory()/"logs" (follows HOME on every call).
std::filesystem::path defaultLogDirectory();

class AppLog {
 public:
  // Runs on the log queue, once per upload-timer firing; the hosted-backend
  // upload installs one (see setUploadAttempt).
  using UploadAttempt = std::function<void(AppLog& log)>;

  // `directory` is asked on the log queue for every write.
  AppLog(const Clock& clock, std::shared_ptr<TaskQueue> queue,
         std::function<std::filesystem::path()> directory = defaultLogDirectory);
  // Writes what is still queued first.
  ~AppLog();
  AppLog(const AppLog&) = delete;
  AppLog& operator=(const AppLog&) = delete;

  // Callable from any thread; returns at once. Activity and message are cut to
  // 48 and 4096 characters (invalid UTF-8 is replaced, not dropped).
  void write(LogLevel level, std::string_view activity, std::string_view message);

  // Prunes day files older than 14 days and (re)starts the upload timer; a
  // later call replaces the earlier timer.
  void startMaintenance();

  // Blocks until every entry written before the call is in its files.
  void flush();

  // The upload step run by the timer (none: the timer only keeps time).
  void setUploadAttempt(UploadAttempt attempt);

  // ---- For the upload step (call on the log queue only).
  TaskQueue& queue() { return *queue_; }
  std::filesystem::path directory() const { return directory_(); }
  // The non-empty lines of the pending file, oldest first (nullopt when it
  // cannot be read).
  std::optional<std::vector<std::string>> readPendingLines() const;
  // Replaces the pending file by `remaining` (joined by "\n", with a final "\n"
  // when any remain) through "pending-upload.jsonl.tmp" and one rename; on
  // failure the temporary is removed and the pending file keeps its content.
  Result<void> rewritePendingFile(const std::vector<std::string>& remaining) const;

  // The process-wide log: system clock, its own serial queue; replaceable in tests.
  static AppLog& shared();
  static void setSharedForTesting(std::shared_ptr<AppLog> log);

 private:
  struct Entry;
  void append(const Entry& entry);
  void prune();
  void armUploadTimer(MonoTime due);

  const Clock& clock_;
  std::shared_ptr<TaskQueue> queue_;
  std::function<std::filesystem::path()> directory_;
  // Owned by the log queue.
  UploadAttempt uploadAttempt_;
  TaskHandle uploadTimer_;
};

// The free functions use AppLog::shared().
void appLog(LogLevel level, std::string_view activity, std::string_view message);
void startLogMaintenance();
void flushAppLog();

// For the bridge: a failed command logged at "error" with the command as activity.
void logCommandFailure(std::string_view command, std::string_view message);

// Registers "log_client_event" (settings group).
void installAppLogCommands(bridge::Router& router);

}  // namespace corvane::records
