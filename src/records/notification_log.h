#pragma once
// The notification log: everything the system tells the user in a notice, and
// entries the page adds itself, kept in "notifications.json" in the data
// directory so the page can show recent messages. Entries older than 30 days
// are dropped and at most the newest 500 are kept. Every operation reads the
// file afresh under one process-wide lock; a missing or corrupt file is an
// empty log, and write failures are ignored.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/command.h"
#include "core/clock.h"
#include "core/json.h"

namespace corvane::records {

struct NotificationLogEntry {
  std::string id;    // upper-case UUID unless the caller gave one
  std::string text;
  std::string kind;  // "info"/"error" for native entries; the page may use any short text
  double ts = 0;     // milliseconds since 1970-01-01 UTC
  bool operator==(const NotificationLogEntry&) const = default;
};

inline constexpr double kNotificationMaxAgeMs = 2.592e9;  // 30 days
inline constexpr size_t kNotificationMaxEntries = 500;

// Entries at least `nowMs` minus 30 days old, oldest first (stable), the newest 500.
std::vector<NotificationLogEntry> pruneNotificationLog(std::vector<NotificationLogEntry> entries, double nowMs);
// The file's entries; a missing or undecodable file (or an entry of the wrong
// shape) reads as nothing.
std::vector<NotificationLogEntry> decodeNotificationLog(std::string_view text);
Json encodeNotificationLog(const std::vector<NotificationLogEntry>& entries);

class NotificationLog {
 public:
  // The real log: "notifications.json" in the data directory (looked up per call).
  NotificationLog();
  // For tests: a fixed file and clock.
  NotificationLog(std::filesystem::path file, const Clock& clock);

  // Adds one entry (replacing any with the same id) and returns its id. An
  // empty text logs nothing.
  std::string add(const std::optional<std::string>& id, const std::string& text, const std::string& kind);
  // The pruned entries, oldest first (not written back).
  std::vector<NotificationLogEntry> read();
  std::filesystem::path filePath() const;

  static NotificationLog& shared();
  static void setSharedForTesting(std::shared_ptr<NotificationLog> log);

 private:
  std::optional<std::filesystem::path> file_;
  const Clock* clock_;
};

// The shared log's operations.
std::string addLogEntry(const std::optional<std::string>& id, const std::string& text, const std::string& kind);
std::vector<NotificationLogEntry> readLog();

// A fresh identifier in canonical upper-case form.
std::string newUpperUuid();

// "get_notification_log" and "log_notification".
void installNotificationLogCommands(bridge::Router& router);

}  // namespace corvane::records
