#include "notes/script_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "ai/process_runner.h"
#include "core/crypto.h"
#include "core/files.h"
#include "platform/user_defaults.h"

namespace corvane::notes {

namespace fs = std::filesystem;

OsascriptRunner::OsascriptRunner(std::string executable) : executable_(std::move(executable)) {}

ScriptOutcome OsascriptRunner::run(const std::string& script, double timeLimit) {
  ai::RunOptions options;
  options.executable = executable_;
  options.timeLimit = timeLimit;
  std::optional<fs::path> scriptFile;
  if (script.size() > kMaxArgumentBytes) {
    std::error_code ec;
    fs::path file = fs::temp_directory_path(ec) / ("CorvaneScript-" + newUuid() + ".applescript");
    if (ec || !writeFileAtomic(file, script, 0600)) {
      ScriptOutcome outcome;
      outcome.error = "Couldn't prepare the script for Apple Notes.";
      return outcome;
    }
    scriptFile = file;
    options.arguments = {file.string()};
  } else {
    options.arguments = {"-e", script};
  }
  ai::ProcessResult result = ai::ProcessRunner::run(options);
  if (scriptFile) {
    std::error_code ec;
    fs::remove(*scriptFile, ec);
  }
  ScriptOutcome outcome;
  outcome.status = result.status;
  outcome.output = std::move(result.stdoutText);
  outcome.error = std::move(result.stderrText);
  outcome.outputIsUtf8 = !result.stdoutWasInvalid;
  return outcome;
}

namespace {

// The same trust as for tools found on the PATH: absolute, a regular
// executable file, not writable by group or others, owned by root or us.
bool isExecutableFile(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0) return false;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return false;
  return st.st_uid == 0 || st.st_uid == ::getuid();
}

}  // namespace

std::optional<std::string> configuredOsascript() {
  if (const char* env = std::getenv("CORVANE_OSASCRIPT"); env && isExecutableFile(env)) return std::string(env);
  if (auto path = platform::UserDefaults::shared().getString("corvane_osascript_path"))
    if (isExecutableFile(*path)) return *path;
  return std::nullopt;
}

bool notesAutomationGranted(bool allowPrompt) {
  auto executable = configuredOsascript();
  if (!executable) return true;
  ai::RunOptions options;
  options.executable = *executable;
  options.arguments = {"--corvane-permission", allowPrompt ? "request" : "query"};
  options.timeLimit = 5;
  ai::ProcessResult result = ai::ProcessRunner::run(options);
  std::string out = result.stdoutText;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return result.status == 0 && out == "granted";
}

}  // namespace corvane::notes
