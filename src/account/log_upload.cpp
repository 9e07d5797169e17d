#include "account/log_upload.h"

#include <sys/utsname.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "account/account_service.h"
#include "core/crypto.h"
#include "core/json.h"
#include "platform/user_defaults.h"
#include "records/settings.h"

#ifndef CORVANE_APP_VERSION
#define CORVANE_APP_VERSION "0"
#endif

namespace corvane::account {

std::string deviceId() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  auto& defaults = platform::UserDefaults::shared();
  if (auto id = defaults.getString("corvane_device_id"); id && !id->empty()) return *id;
  std::string id = newUuid();
  (void)defaults.set("corvane_device_id", id);
  return id;
}

const std::string& sessionId() {
  static const std::string id = newUuid();
  return id;
}

std::string osVersionText() {
  struct utsname names {};
  int parts[3] = {0, 0, 0};
  if (uname(&names) == 0) {
    const char* p = names.release;
    for (int i = 0; i < 3 && *p; ++i) {
      while (*p >= '0' && *p <= '9') parts[i] = parts[i] * 10 + (*p++ - '0');
      if (*p != '.') break;
      ++p;
    }
  }
  return "Linux " + std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

namespace {
std::string bodyPrefix(const UploadHeader& h) {
  return "{\"appVersion\":" + jsonStringLiteral(h.appVersion) + ",\"osVersion\":" + jsonStringLiteral(h.osVersion) +
         ",\"deviceId\":" + jsonStringLiteral(h.deviceId) + ",\"sessionId\":" + jsonStringLiteral(h.sessionId) +
         ",\"entries\":[";
}
constexpr std::string_view kBodySuffix = "]}";

bool isJsonObjectLine(std::string_view line) {
  auto parsed = parseJson(line);
  return parsed && parsed->is_object();
}
}  // namespace

std::string buildUploadBody(const UploadHeader& header, const std::vector<std::string_view>& lines) {
  std::string body = bodyPrefix(header);
  size_t total = body.size() + kBodySuffix.size() + lines.size();
  for (auto l : lines) total += l.size();
  body.reserve(total);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) body += ',';
    body += lines[i];
  }
  body += kBodySuffix;
  return body;
}

UploadBatch selectUploadBatch(const UploadHeader& header, const std::vector<std::string>& pending) {
  UploadBatch batch;
  const size_t fixed = bodyPrefix(header).size() + kBodySuffix.size();
  size_t size = fixed;
  std::vector<std::string_view> chosen;
  for (size_t i = 0; i < pending.size() && chosen.size() < kUploadBatchLines; ++i) {
    const std::string& line = pending[i];
    if (!isJsonObjectLine(line) || fixed + line.size() > kUploadBodyLimit) {
      batch.dropped.push_back(i);
      continue;
    }
    size_t added = line.size() + (chosen.empty() ? 0 : 1);
    if (size + added > kUploadBodyLimit) break;  // the rest waits for the next firing
    size += added;
    chosen.push_back(line);
    batch.lines.push_back(i);
  }
  if (!chosen.empty()) batch.body = buildUploadBody(header, chosen);
  return batch;
}

namespace {

// Drops the oldest pending lines beyond the cap: with nobody signed in the
// file would otherwise grow for ever.
void capPendingFile(records::AppLog& log) {
  std::error_code ec;
  auto size = std::filesystem::file_size(log.directory() / std::string(records::kPendingUploadFileName), ec);
  if (ec || size <= kPendingFileCap) return;
  auto lines = log.readPendingLines();
  if (!lines) return;
  size_t total = 0;
  for (const auto& l : *lines) total += l.size() + 1;
  size_t first = 0;
  while (first < lines->size() && total > kPendingFileCap) total -= (*lines)[first++].size() + 1;
  std::vector<std::string> kept(lines->begin() + static_cast<std::ptrdiff_t>(first), lines->end());
  if (log.rewritePendingFile(kept))
    log.write(records::LogLevel::Warn, "applog",
                    "pending upload file over 10 MB: dropped the " + std::to_string(first) + " oldest entries");
}

void removeLines(records::AppLog& log, const std::vector<std::string>& pending, std::vector<size_t> indexes) {
  if (indexes.empty()) return;
  std::sort(indexes.begin(), indexes.end());
  std::vector<std::string> remaining;
  remaining.reserve(pending.size());
  size_t k = 0;
  for (size_t i = 0; i < pending.size(); ++i) {
    if (k < indexes.size() && indexes[k] == i) {
      ++k;
      continue;
    }
    remaining.push_back(pending[i]);
  }
  (void)log.rewritePendingFile(remaining);
}

}  // namespace

void runLogUploadAttempt(records::AppLog& log, const LogUploadContext& context) {
  capPendingFile(log);
  if (!context.telemetryAllowed || !context.telemetryAllowed()) return;
  std::string endpoint = context.endpoint ? context.endpoint() : std::string();
  if (endpoint.empty() || !context.identityToken) return;
  auto token = context.identityToken(std::chrono::seconds(10));
  if (!token || token->empty()) return;
  auto pending = log.readPendingLines();
  if (!pending || pending->empty()) return;

  UploadBatch batch = selectUploadBatch(context.header, *pending);
  if (batch.lines.empty()) {
    removeLines(log, *pending, batch.dropped);
    return;
  }
  HttpRequest request;
  request.method = "POST";
  request.url = endpoint;
  request.headers.emplace_back("Content-Type", "application/json");
  request.headers.emplace_back("Authorization", "Bearer " + *token);
  request.body = std::move(batch.body);
  request.timeout = std::chrono::seconds(30);
  request.maxResponseBytes = 64 * 1024;
  auto response = context.http(request, std::chrono::seconds(35));
  std::vector<size_t> remove = batch.dropped;
  if (response && (response->status == 200 || response->status == 400))
    remove.insert(remove.end(), batch.lines.begin(), batch.lines.end());
  removeLines(log, *pending, std::move(remove));
}

LogUploadContext defaultLogUploadContext() {
  LogUploadContext context;
  context.telemetryAllowed = [] { return records::Settings::load().betaTelemetry; };
  context.identityToken = [](Duration wait) { return AccountService::shared().identityToken(wait); };
  context.endpoint = []() -> std::string {
    auto config = loadAuthConfig();
    return config ? config->functionsURL + "/ingestClientLogs" : std::string();
  };
  context.http = defaultHttpSender();
  context.header = {CORVANE_APP_VERSION, osVersionText(), deviceId(), sessionId()};
  return context;
}

void installLogUpload() {
  records::AppLog::shared().setUploadAttempt(
      [context = defaultLogUploadContext()](records::AppLog& log) { runLogUploadAttempt(log, context); });
}

int runUploadLogsCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fputs("usage: corvane-cli upload-logs\n", stderr);
    return 2;
  }
  auto& log = records::AppLog::shared();
  auto context = defaultLogUploadContext();
  log.queue().runSync([&] { runLogUploadAttempt(log, context); });
  log.flush();
  return 0;
}

}  // namespace corvane::account
