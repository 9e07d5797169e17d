#pragma once
// The AI command-line tools a run hands its prompt to (claude, codex, gemini):
// where each is found and whether it may be trusted, the approval of one exact
// executable by its SHA-256 digest, each tool's argument list, how its output
// is read, the connection test and the availability flag.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::ai {

enum class AIProvider { Claude = 0, Codex = 1, Gemini = 2 };

inline constexpr int kMaxTurns = 200;
inline constexpr double kMaxBudgetUsd = 10.0;
inline constexpr double kRunTimeLimitSeconds = 900;
inline constexpr double kVersionProbeLimitSeconds = 15;
inline constexpr std::string_view kDefaultClaudeModel = "claude-sonnet-4-6";
inline constexpr std::string_view kNoSummaryText = "(Corvane AI produced no summary text)";
inline constexpr std::string_view kNoOutputText = "⚠ The AI CLI returned no output.";

std::string_view providerName(AIProvider provider);  // also the executable name
// Exact match against "claude", "codex", "gemini"; nullopt for anything else.
std::optional<AIProvider> providerFromName(std::string_view name);

// Absolute, regular, executable, not group- or other-writable, owned by root or
// us — judged on the file the path resolves to.
bool isTrustedExecutable(const std::filesystem::path& path);
// The login shell's answer when trusted, else $HOME/.local/bin, /opt/homebrew/bin
// and /usr/local/bin in that order.
std::optional<std::string> locateExecutable(AIProvider provider);
// Lower-case hex SHA-256 of the resolved file; nullopt when untrusted or unreadable.
std::optional<std::string> executableDigest(const std::filesystem::path& path);
// True when the executable's digest is the approved one for the provider, or
// the user approves it now (the approval is then saved).
bool ensureApproved(AIProvider provider, const std::string& path);

std::vector<std::string> providerArguments(const std::string& prompt, AIProvider provider);

struct SummarySplit {
  std::string details;
  std::string summary;
};
SummarySplit splitSummary(std::string_view output);

struct JsonResult {
  std::string summary;
  std::optional<double> cost;
};
JsonResult parseJSONResult(std::string_view output);

// Why a run that exited non-zero failed, from what the tool printed.
std::string failureDetail(std::string_view stdoutText, std::string_view stderrText);

struct ProviderTest {
  std::string message;
  bool failed = false;
};
// Runs the tool's "--version" (bounded to 15 seconds).
ProviderTest testProvider(AIProvider provider);

// Schedules the availability check (is any tool installed?) and returns at once.
void refreshAIAvailability();
// The check's answer; nullopt until one has finished.
std::optional<bool> aiAvailability();
// Runs the check on the calling thread (tests, benchmarks).
bool checkAIAvailabilityNow();

// Fills the settings services with the executable location and availability.
void installAiSettingsServices();

}  // namespace corvane::ai
