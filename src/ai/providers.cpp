#include "ai/providers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <mutex>

#include "ai/process_runner.h"
#include "core/crypto.h"
#include "core/json.h"
#include "core/queue.h"
#include "core/text.h"
#include "platform/confirmation_dialog.h"
#include "records/settings.h"
#include "records/settings_services.h"

namespace corvane::ai {
namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string_view text) { return std::string(trimUnicodeWhitespace(text)); }

// The file a path names, links resolved; nullopt when it does not exist.
std::optional<fs::path> resolved(const fs::path& path) {
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  if (ec || real.empty() || real.native().front() != '/') return std::nullopt;
  return real;
}

bool trustedStat(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return false;
  if ((st.st_mode & 022) != 0) return false;
  return st.st_uid == 0 || st.st_uid == ::geteuid();
}

// The JSON object that starts at the first "{" (or, when that is not one, at
// a later line that starts with "{": tools print log lines before it).
std::optional<Json> leadingJsonObject(std::string_view output) {
  std::string_view text = trimUnicodeWhitespace(output);
  size_t brace = text.find('{');
  for (int attempt = 0; brace != std::string_view::npos && attempt < 8; ++attempt) {
    auto parsed = parseJson(text.substr(brace));
    if (parsed && parsed->is_object()) return std::move(*parsed);
    brace = text.find("\n{", brace + 1);
    if (brace != std::string_view::npos) ++brace;
  }
  return std::nullopt;
}

const std::array<AIProvider, 3> kAllProviders = {AIProvider::Claude, AIProvider::Codex, AIProvider::Gemini};

std::mutex& availabilityMutex() {
  static std::mutex m;
  return m;
}
std::optional<bool>& availabilityFlag() {
  static std::optional<bool> flag;
  return flag;
}

}  // namespace

std::string_view providerName(AIProvider provider) {
  switch (provider) {
    case AIProvider::Claude: return "claude";
    case AIProvider::Codex: return "codex";
    case AIProvider::Gemini: return "gemini";
  }
  return "claude";
}

std::optional<AIProvider> providerFromName(std::string_view name) {
  for (auto p : kAllProviders)
    if (name == providerName(p)) return p;
  return std::nullopt;
}

bool isTrustedExecutable(const fs::path& path) {
  auto real = resolved(path);
  if (!real) return false;
  struct stat st {};
  if (::stat(real->c_str(), &st) != 0) return false;
  if (!trustedStat(st)) return false;
  return ::access(real->c_str(), X_OK) == 0 && (st.st_mode & 0111) != 0;
}

namespace {

// What the login shell's "command -v" answers for a file: the first executable
// of that name along its PATH. The PATH is probed once per process, so this
// costs no shell start per run (misses stay uncached: a tool installed later
// is found next time).
std::optional<std::string> onLoginPath(const std::string& name) {
  std::string path = ProcessRunner::loginPath();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir.front() != '/') continue;
    std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> locateExecutable(AIProvider provider) {
  std::string name(providerName(provider));
  if (auto found = onLoginPath(name); found && isTrustedExecutable(*found)) return found;
  const char* home = std::getenv("HOME");
  for (std::string candidate : {std::string(home ? home : "") + "/.local/bin/" + name, "/opt/homebrew/bin/" + name,
                                "/usr/local/bin/" + name}) {
    if (isTrustedExecutable(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> executableDigest(const fs::path& path) {
  auto real = resolved(path);
  if (!real || !isTrustedExecutable(*real)) return std::nullopt;
  int fd = ::open(real->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  // Judge the file actually opened, so a swap after the check is not hashed.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !trustedStat(st)) {
    ::close(fd);
    return std::nullopt;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 hash;
  std::string buffer(1 << 20, '\0');
  bool failed = false;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = true;
      break;
    }
    hash.update(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
  ::close(fd);
  if (failed) return std::nullopt;
  auto digest = hash.finish();
  return toHex(digest.data(), digest.size());
}

bool ensureApproved(AIProvider provider, const std::string& path) {
  auto digest = executableDigest(path);
  if (!digest) return false;
  std::string name(providerName(provider));
  auto settings = records::Settings::load();
  if (auto it = settings.approvedAIBinaries.find(name); it != settings.approvedAIBinaries.end() && it->second == *digest)
    return true;
  platform::ConfirmationRequest request;
  request.message = "Allow this AI command-line tool?";
  request.informativeText = "Corvane will send the selected note to:\n\n" + path +
                            "\n\nVerify this is the CLI you installed. You will be asked again if the executable "
                            "changes.";
  request.confirmButton = "Allow and Run";
  request.cancelButton = "Cancel";
  if (!platform::askConfirmation(request)) return false;
  auto saved = records::Settings::update([&](records::Settings& s) { s.approvedAIBinaries[name] = *digest; });
  return saved.has_value();
}

std::vector<std::string> providerArguments(const std::string& prompt, AIProvider provider) {
  switch (provider) {
    case AIProvider::Claude: {
      auto settings = records::Settings::load();
      std::string model(kDefaultClaudeModel);
      if (auto it = settings.models.find("claude"); it != settings.models.end()) model = it->second;
      char budget[32];
      std::snprintf(budget, sizeof budget, "%.2f", kMaxBudgetUsd);
      return {"-p", "--model", model, "--permission-mode", "acceptEdits", "--allowedTools", "Read,Write,Edit,WebFetch",
              "--max-turns", std::to_string(kMaxTurns), "--max-budget-usd", budget, "--output-format", "json", prompt};
    }
    case AIProvider::Codex:
      return {"exec", "--sandbox", "workspace-write", "-c", "sandbox_workspace_write.network_access=true",
              "--skip-git-repo-check", prompt};
    case AIProvider::Gemini:
      return {"--approval-mode", "default", "-p", prompt};
  }
  return {prompt};
}

SummarySplit splitSummary(std::string_view output) {
  std::string_view text = trimUnicodeWhitespace(output);
  size_t marker = text.find("SUMMARY:\n");
  if (marker == std::string_view::npos) marker = text.find("SUMMARY:");
  if (marker == std::string_view::npos) {
    return {"", text.empty() ? std::string(kNoOutputText) : std::string(text)};
  }
  SummarySplit split;
  split.details = trimmed(text.substr(0, marker));
  split.summary = trimmed(text.substr(marker + std::string_view("SUMMARY:").size()));
  if (split.summary.empty()) split.summary = kNoSummaryText;
  return split;
}

JsonResult parseJSONResult(std::string_view output) {
  auto object = leadingJsonObject(output);
  if (!object) return {splitSummary(output).summary, std::nullopt};
  JsonResult result;
  if (const Json* r = member(*object, "result"); r && r->is_string()) result.summary = trimmed(r->get<std::string>());
  if (result.summary.empty()) result.summary = kNoSummaryText;
  if (const Json* c = member(*object, "total_cost_usd"); c && c->is_number()) result.cost = c->get<double>();
  return result;
}

std::string failureDetail(std::string_view stdoutText, std::string_view stderrText) {
  if (auto object = leadingJsonObject(stdoutText)) {
    std::vector<std::string> parts;
    if (const Json* v = member(*object, "subtype"); v && v->is_string()) {
      auto s = v->get<std::string>();
      if (!s.empty() && s != "success") parts.push_back(s);
    }
    if (const Json* v = member(*object, "api_error_status"); v && v->is_string() && !v->get<std::string>().empty())
      parts.push_back("API: " + v->get<std::string>());
    if (const Json* v = member(*object, "result"); v && v->is_string()) {
      auto s = trimmed(v->get<std::string>());
      if (!s.empty()) parts.push_back(s);
    }
    if (parts.empty()) {
      if (const Json* v = member(*object, "is_error"); v && v->is_boolean() && v->get<bool>())
        parts.push_back("the AI reported an error but gave no detail");
    }
    if (!parts.empty()) {
      std::string joined;
      for (size_t i = 0; i < parts.size(); ++i) joined += (i ? " — " : "") + parts[i];
      return joined;
    }
  }
  if (auto err = trimUnicodeWhitespace(stderrText); !err.empty()) return std::string(prefixCodePoints(err, 600));
  if (auto out = trimUnicodeWhitespace(stdoutText); !out.empty()) return std::string(prefixCodePoints(out, 600));
  return "no output from the CLI (it may have been blocked or killed before producing any)";
}

ProviderTest testProvider(AIProvider provider) {
  std::string name(providerName(provider));
  auto path = locateExecutable(provider);
  if (!path) return {name + " isn't installed / not on your PATH", true};
  RunOptions options;
  options.executable = *path;
  options.arguments = {"--version"};
  options.environment = ProcessRunner::childEnvironment();
  // A tool that never answers must not hold the test for ever.
  options.timeLimit = kVersionProbeLimitSeconds;
  options.ownProcessGroup = true;
  options.nullStandardInput = true;
  options.drainAfterExit = 0.5;
  ProcessResult r = ProcessRunner::run(options);
  if (r.status != 0) {
    std::string err = trimmed(r.stderrText);
    return {err.empty() ? "couldn't reach " + name : err, true};
  }
  std::string out = trimmed(r.stdoutText);
  std::string first = out.substr(0, out.find('\n'));
  first = trimmed(first);
  return {first.empty() ? "connected" : first, false};
}

bool checkAIAvailabilityNow() {
  bool found = false;
  for (auto p : kAllProviders) {
    if (locateExecutable(p)) {
      found = true;
      break;
    }
  }
  std::lock_guard lock(availabilityMutex());
  availabilityFlag() = found;
  return found;
}

void refreshAIAvailability() {
  // Never destroyed, so a check still running at exit finds its queue.
  static auto* queue = new SerialQueue("com.corvane.ai.availability");
  queue->post([] { (void)checkAIAvailabilityNow(); });
}

std::optional<bool> aiAvailability() {
  std::lock_guard lock(availabilityMutex());
  return availabilityFlag();
}

void installAiSettingsServices() {
  records::updateSettingsServices([](records::SettingsServices& s) {
    s.locateAIExecutable = [](const std::string& provider) -> std::optional<std::string> {
      auto p = providerFromName(provider);
      if (!p) return std::nullopt;
      return locateExecutable(*p);
    };
    s.aiAvailable = [] { return aiAvailability(); };
  });
}

}  // namespace corvane::ai
