#pragma once
// Runs external executables (AI tools, shell probes) with both output pipes
// drained from launch on and a graded stop at the time limit: SIGTERM, then
// SIGKILL a second later. Also answers what the user's login shell sets up
// (PATH, where a command lives), which a desktop-started process lacks.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"

namespace corvane::ai {

// The shared home-folder rule (HOME, else USERPROFILE, else ".") lives in core.
using ::corvane::homeDirectory;

// Outcome of one run. `stdout`/`stderr` are macros in <cstdio>, hence the names.
struct ProcessResult {
  // Exit code, or the signal number when a signal ended the child; 124 when the
  // time limit stopped it; -1 when it could not be launched.
  int32_t status = -1;
  std::string stdoutText;  // empty when the output is not valid UTF-8
  bool stdoutWasUtf8 = true;  // false when stdoutText was emptied for that reason
  std::string stderrText;  // replaced by our message on timeout and launch failure
};

// A running child, handed to the launch callback so a caller can cancel it.
// Signals are only sent while the child has not been reaped, so a handle kept
// past the run can never hit an unrelated process that reused the id.
class ProcessHandle {
 public:
  pid_t pid() const;
  // SIGTERM; false when the child has already been collected.
  bool terminate() const;
  // SIGKILL; false when the child has already been collected.
  bool kill() const;
  bool signal(int signo) const;

  struct State;
  explicit ProcessHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

struct RunOptions {
  std::string executable;  // absolute path; not looked up on PATH
  std::vector<std::string> arguments;
  std::optional<std::filesystem::path> workingDirectory;  // absent: inherit
  // Absent: inherit this process's environment; present: the whole environment.
  std::optional<std::map<std::string, std::string>> environment;
  double timeLimit = 0;  // seconds; ignored with waitWithoutLimit
  bool waitWithoutLimit = false;
  // Called once on the calling thread right after a successful launch.
  std::function<void(const ProcessHandle&)> onLaunch;
};

// Answers about the user's login shell, cached for the life of the object.
class LoginShell {
 public:
  explicit LoginShell(std::string shellPath);

  const std::string& shell() const { return shell_; }
  // The PATH the login shell sets up; probed once, then cached. Falls back to
  // this process's PATH, then to a built-in list; never fails.
  std::string path();
  // Where the login shell finds `name`; positive answers are cached.
  std::optional<std::string> findExecutable(std::string_view name);

  // The process-wide instance (SHELL, else the account's shell, else /bin/sh);
  // replaceable in tests.
  static std::shared_ptr<LoginShell> shared();
  static void setSharedForTesting(std::shared_ptr<LoginShell> shell);

 private:
  std::string shell_;
  std::mutex mutex_;  // guards both caches
  std::optional<std::string> path_;
  std::map<std::string, std::string, std::less<>> executables_;
};

class ProcessRunner {
 public:
  static ProcessResult run(const RunOptions& options);

  static std::string loginShell();
  static std::string loginPath();
  static std::optional<std::string> findExecutable(std::string_view name);
  // The environment handed to AI tools: a short list of variables copied from
  // ours, every LC_* variable, and PATH set to the login PATH.
  static std::map<std::string, std::string> childEnvironment();
};

// The fallback when neither the login shell nor this process has a PATH.
inline constexpr std::string_view kFallbackPath = "/usr/local/bin:/opt/homebrew/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// The environment variables copied into AI tool environments, in order.
std::map<std::string, std::string> childEnvironmentWithPath(const std::string& path);

}  // namespace corvane::ai
