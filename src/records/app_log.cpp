#include "records/app_log.h"

#include <fmt/format.h>

#include <mutex>

#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/text.h"

namespace corvane::records {

namespace fs = std::filesystem;

std::string_view logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Warn: return "warn";
    case LogLevel::Error: return "error";
  }
  return "error";
}

std::string dayFileName(WallTime time) {
  auto day = std::chrono::floor<std::chrono::days>(time);
  std::chrono::year_month_day ymd{day};
  return fmt::format("{:04}-{:02}-{:02}.jsonl", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                     static_cast<unsigned>(ymd.day()));
}

std::optional<WallTime> parseDayStem(std::string_view stem) {
  if (stem.size() != 10 || stem[4] != '-' || stem[7] != '-') return std::nullopt;
  auto number = [&](size_t from, size_t count) -> std::optional<int> {
    int v = 0;
    for (size_t i = from; i < from + count; ++i) {
      if (stem[i] < '0' || stem[i] > '9') return std::nullopt;
      v = v * 10 + (stem[i] - '0');
    }
    return v;
  };
  auto y = number(0, 4), m = number(5, 2), d = number(8, 2);
  if (!y || !m || !d) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year(*y), std::chrono::month(static_cast<unsigned>(*m)),
                                  std::chrono::day(static_cast<unsigned>(*d))};
  if (!ymd.ok()) return std::nullopt;
  return WallTime(std::chrono::sys_days(ymd));
}

fs::path defaultLogDirectory() { return applicationSupportDirectory() / "logs"; }

struct AppLog::Entry {
  int64_t ts;
  LogLevel level;
  std::string activity;
  std::string message;
};

namespace {
std::string cut(std::string_view text, size_t characters) {
  // Cut on code points; bytes that are not UTF-8 become U+FFFD first so the
  // entry can be written (and counted) at all.
  if (isValidUtf8(text)) return std::string(prefixCodePoints(text, characters));
  std::string clean = sanitizeUtf8(text);
  return std::string(prefixCodePoints(clean, characters));
}

Result<void> ensureLogDirectory(const fs::path& dir) {
  // The application-support folder is private too; existing folders keep their mode.
  if (!dir.parent_path().empty()) CORVANE_TRY(ensureDirectory(dir.parent_path(), 0700));
  return ensureDirectory(dir, 0700);
}
}  // namespace

AppLog::AppLog(const Clock& clock, std::shared_ptr<TaskQueue> queue, std::function<fs::path()> directory)
    : clock_(clock), queue_(std::move(queue)), directory_(std::move(directory)) {}

AppLog::~AppLog() {
  // Drains what is queued and stops the timer on the queue that owns it.
  if (queue_->runsTasksInCurrentSequence()) uploadTimer_.cancel();
  else queue_->runSync([this] { uploadTimer_.cancel(); });
}

void AppLog::write(LogLevel level, std::string_view activity, std::string_view message) {
  Entry entry{unixMillis(clock_.now()), level, cut(activity, kMaxActivityCharacters),
              cut(message, kMaxMessageCharacters)};
  queue_->post([this, entry = std::move(entry)] { append(entry); });
}

void AppLog::append(const Entry& entry) {
  Json record = Json::object();
  record["ts"] = entry.ts;
  record["level"] = logLevelName(entry.level);
  record["activity"] = entry.activity;
  record["message"] = entry.message;
  std::string line = dumpCompact(record);
  line += '\n';

  fs::path dir = directory_();
  if (!ensureLogDirectory(dir)) return;
  // The entry's own time names its day, so a line never lands in the file of
  // a day it was not written on, even when the queue was busy at midnight.
  WallTime at{std::chrono::duration_cast<WallTime::duration>(std::chrono::milliseconds(entry.ts))};
  (void)appendToFile(dir / dayFileName(at), line, 0600);
  if (entry.level == LogLevel::Warn || entry.level == LogLevel::Error)
    (void)appendToFile(dir / std::string(kPendingUploadFileName), line, 0600);
}

void AppLog::startMaintenance() {
  queue_->post([this] {
    prune();
    armUploadTimer(clock_.monotonicNow() + kFirstUploadDelay);
  });
}

void AppLog::armUploadTimer(MonoTime due) {
  // Due times advance by whole periods from the first firing, so the time an
  // attempt takes does not shift the later ones.
  auto delay = std::max(Duration(0), std::chrono::duration_cast<Duration>(due - clock_.monotonicNow()));
  uploadTimer_ = queue_->postDelayed(delay, [this, due] {
    if (uploadAttempt_) uploadAttempt_(*this);
    armUploadTimer(due + kUploadPeriod);
  });
}

void AppLog::setUploadAttempt(UploadAttempt attempt) {
  queue_->post([this, attempt = std::move(attempt)]() mutable { uploadAttempt_ = std::move(attempt); });
}

void AppLog::prune() {
  fs::path dir = directory_();
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return;
  const auto now = clock_.now();
  std::vector<fs::path> doomed;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const auto& path = it->path();
    std::string name = path.filename().string();
    if (!endsWith(name, ".jsonl") || name == kPendingUploadFileName) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    auto day = parseDayStem(std::string_view(name).substr(0, name.size() - 6));
    if (!day) continue;
    if (now - *day > kLogRetention) doomed.push_back(path);
  }
  for (const auto& path : doomed) fs::remove(path, ec);
}

void AppLog::flush() { queue_->runSync([] {}); }

std::optional<std::vector<std::string>> AppLog::readPendingLines() const {
  auto text = readFile(directory() / std::string(kPendingUploadFileName));
  if (!text) return std::nullopt;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text->size()) {
    size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    if (end > start) lines.emplace_back(*text, start, end - start);
    start = end + 1;
  }
  return lines;
}

Result<void> AppLog::rewritePendingFile(const std::vector<std::string>& remaining) const {
  std::string text;
  size_t total = 0;
  for (const auto& line : remaining) total += line.size() + 1;
  text.reserve(total);
  for (const auto& line : remaining) {
    text += line;
    text += '\n';
  }
  fs::path dir = directory();
  CORVANE_TRY(ensureLogDirectory(dir));
  return writeFileAtomicVia(dir / std::string(kPendingUploadFileName), dir / std::string(kPendingUploadTempName),
                            text, 0600);
}

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
// Never destroyed: queue threads may still log while the process exits.
std::shared_ptr<AppLog>& sharedSlot() {
  static auto* slot = new std::shared_ptr<AppLog>();
  return *slot;
}
}  // namespace

AppLog& AppLog::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<AppLog>(systemClock(), std::make_shared<SerialQueue>("com.corvane.applog"));
  return *slot;
}

void AppLog::setSharedForTesting(std::shared_ptr<AppLog> log) {
  std::shared_ptr<AppLog> previous;
  {
    std::lock_guard lock(sharedMutex());
    previous = std::exchange(sharedSlot(), std::move(log));
  }
  // `previous` is flushed and released outside the lock.
}

void appLog(LogLevel level, std::string_view activity, std::string_view message) {
  AppLog::shared().write(level, activity, message);
}

void startLogMaintenance() { AppLog::shared().startMaintenance(); }

void flushAppLog() { AppLog::shared().flush(); }

void logCommandFailure(std::string_view command, std::string_view message) {
  appLog(LogLevel::Error, command, message);
}

void installAppLogCommands(bridge::Router& router) {
  router.add(bridge::HandlerGroup::Settings, "log_client_event", [](const Json& args) -> bridge::CommandResult {
    const Json* level = member(args, "level");
    const Json* message = member(args, "message");
    bool warn = level && level->is_string() && level->get_ref<const std::string&>() == "warn";
    std::string_view text = (message && message->is_string()) ? std::string_view(message->get_ref<const std::string&>())
                                                               : std::string_view();
    appLog(warn ? LogLevel::Warn : LogLevel::Error, "web", text);
    return bridge::replyNull();
  });
}

}  // namespace corvane::records
