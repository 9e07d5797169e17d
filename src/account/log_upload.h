#pragma once
// The application log's upload: warnings and errors waiting in
// "pending-upload.jsonl" are sent in batches to the log-ingestion function of
// the hosted backend, with the user's consent (betaTelemetry) and identity token.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http.h"
#include "records/app_log.h"

namespace corvane::account {

inline constexpr size_t kUploadBatchLines = 400;
inline constexpr size_t kUploadBodyLimit = 900'000;
inline constexpr size_t kPendingFileCap = 10'000'000;

// "corvane_device_id" in the user defaults, created on first use.
std::string deviceId();
// Made once per run.
const std::string& sessionId();
// "Linux 6.1.0": the kernel's major, minor and patch numbers.
std::string osVersionText();

struct UploadHeader {
  std::string appVersion;
  std::string osVersion;
  std::string deviceId;
  std::string sessionId;
};

// The batch the next attempt sends: at most 400 lines, each a JSON object,
// whose body stays within 900,000 bytes. `dropped` lists lines (indexes) that
// can never be sent: not JSON (a torn write) or too big on their own.
struct UploadBatch {
  std::vector<size_t> lines;
  std::vector<size_t> dropped;
  std::string body;
};
UploadBatch selectUploadBatch(const UploadHeader& header, const std::vector<std::string>& pending);

// {"appVersion":…,"osVersion":…,"deviceId":…,"sessionId":…,"entries":[…]} with
// the values escaped as JSON strings and the lines as they stand.
std::string buildUploadBody(const UploadHeader& header, const std::vector<std::string_view>& lines);

struct LogUploadContext {
  std::function<bool()> telemetryAllowed;                                  // settings' betaTelemetry
  std::function<std::optional<std::string>(Duration wait)> identityToken;  // signed-in user's token
  std::function<std::string()> endpoint;                                   // …/ingestClientLogs; empty: none
  HttpSender http;
  UploadHeader header;
};

// One upload-timer firing (on the log queue).
void runLogUploadAttempt(records::AppLog& log, const LogUploadContext& context);

// The attempt wired to the shared account service, settings and auth.json.
LogUploadContext defaultLogUploadContext();
// Installs it into the shared application log's upload timer.
void installLogUpload();

// corvane-cli upload-logs: one upload attempt now, as the timer would run it.
int runUploadLogsCommand(const std::vector<std::string>& args);

}  // namespace corvane::account
