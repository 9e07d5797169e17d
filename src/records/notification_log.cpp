#include "records/notification_log.h"

#include <algorithm>

#include "core/crypto.h"
#include "core/files.h"
#include "core/paths.h"
#include "records/private_files.h"

namespace corvane::records {
namespace {

// One lock for every log file operation in the process, whichever log object.
std::mutex& fileMutex() {
  static std::mutex m;
  return m;
}

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<NotificationLog>& sharedSlot() {
  static std::shared_ptr<NotificationLog> slot;
  return slot;
}

}  // namespace

std::string newUpperUuid() {
  std::string id = newUuid();
  std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return id;
}

std::vector<NotificationLogEntry> pruneNotificationLog(std::vector<NotificationLogEntry> entries, double nowMs) {
  double oldest = nowMs - kNotificationMaxAgeMs;
  std::erase_if(entries, [&](const NotificationLogEntry& e) { return !(e.ts >= oldest); });
  std::stable_sort(entries.begin(), entries.end(),
                   [](const NotificationLogEntry& a, const NotificationLogEntry& b) { return a.ts < b.ts; });
  if (entries.size() > kNotificationMaxEntries)
    entries.erase(entries.begin(), entries.end() - static_cast<std::ptrdiff_t>(kNotificationMaxEntries));
  return entries;
}

std::vector<NotificationLogEntry> decodeNotificationLog(std::string_view text) {
  std::vector<NotificationLogEntry> out;
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_array()) return out;
  for (const auto& item : *parsed) {
    if (!item.is_object()) return {};
    const Json* id = member(item, "id");
    const Json* body = member(item, "text");
    const Json* kind = member(item, "kind");
    const Json* ts = member(item, "ts");
    if (!id || !id->is_string() || !body || !body->is_string() || !kind || !kind->is_string() || !ts ||
        !ts->is_number())
      return {};
    out.push_back({id->get<std::string>(), body->get<std::string>(), kind->get<std::string>(), ts->get<double>()});
  }
  return out;
}

Json encodeNotificationLog(const std::vector<NotificationLogEntry>& entries) {
  Json array = Json::array();
  for (const auto& e : entries) {
    Json item = Json::object();
    item["id"] = e.id;
    item["text"] = e.text;
    item["kind"] = e.kind;
    item["ts"] = e.ts;
    array.push_back(std::move(item));
  }
  return array;
}

NotificationLog::NotificationLog() : clock_(&systemClock()) {}
NotificationLog::NotificationLog(std::filesystem::path file, const Clock& clock)
    : file_(std::move(file)), clock_(&clock) {}

std::filesystem::path NotificationLog::filePath() const {
  return file_ ? *file_ : dataDirectory() / "notifications.json";
}

std::string NotificationLog::add(const std::optional<std::string>& id, const std::string& text,
                                 const std::string& kind) {
  std::string entryId = id ? *id : newUpperUuid();
  if (text.empty()) return entryId;
  std::lock_guard lock(fileMutex());
  auto path = filePath();
  auto current = readFile(path);
  auto entries = current ? decodeNotificationLog(*current) : std::vector<NotificationLogEntry>{};
  std::erase_if(entries, [&](const NotificationLogEntry& e) { return e.id == entryId; });
  double now = static_cast<double>(unixMillis(clock_->now()));
  entries.push_back({entryId, text, kind, now});
  entries = pruneNotificationLog(std::move(entries), now);
  (void)writePrivateFile(dumpCompact(encodeNotificationLog(entries)), path);
  return entryId;
}

std::vector<NotificationLogEntry> NotificationLog::read() {
  std::lock_guard lock(fileMutex());
  auto current = readFile(filePath());
  if (!current) return {};
  return pruneNotificationLog(decodeNotificationLog(*current), static_cast<double>(unixMillis(clock_->now())));
}

NotificationLog& NotificationLog::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<NotificationLog>();
  return *slot;
}

void NotificationLog::setSharedForTesting(std::shared_ptr<NotificationLog> log) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(log);
}

std::string addLogEntry(const std::optional<std::string>& id, const std::string& text, const std::string& kind) {
  return NotificationLog::shared().add(id, text, kind);
}

std::vector<NotificationLogEntry> readLog() { return NotificationLog::shared().read(); }

void installNotificationLogCommands(bridge::Router& router) {
  using bridge::CommandResult;
  router.add(bridge::HandlerGroup::Notes, "get_notification_log", [](const Json&) -> CommandResult {
    try {
      return dumpCompact(encodeNotificationLog(readLog()));
    } catch (...) {
      return std::string("null");  // text that cannot be encoded
    }
  });
  router.add(bridge::HandlerGroup::Notes, "log_notification", [](const Json& args) -> CommandResult {
    std::optional<std::string> id;
    if (const Json* v = member(args, "id"); v && v->is_string()) id = v->get<std::string>();
    std::string text;
    if (const Json* v = member(args, "text"); v && v->is_string()) text = v->get<std::string>();
    std::string kind = "info";
    if (const Json* v = member(args, "kind"); v && v->is_string()) kind = v->get<std::string>();
    return dumpCompact(Json(addLogEntry(id, text, kind)));
  });
}

}  // namespace corvane::records
