#include "ai/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "core/files.h"
#include "core/text.h"

extern char** environ;

namespace corvane::ai {

using SteadyClock = std::chrono::steady_clock;

// ---- ProcessHandle

struct ProcessHandle::State {
  State(pid_t p, bool g) : pid(p), group(g) {}
  const pid_t pid;
  const bool group;  // the child leads its own process group
  std::mutex mutex;
  bool reaped = false;  // once set, the id may belong to someone else
};

pid_t ProcessHandle::pid() const { return state_ ? state_->pid : -1; }

bool ProcessHandle::signal(int signo) const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  if (state_->reaped) return false;
  // While the leader is not collected its id cannot be reused, so the group
  // id still names our child's group.
  if (state_->group && ::kill(-state_->pid, signo) == 0) return true;
  return ::kill(state_->pid, signo) == 0;
}

bool ProcessHandle::terminate() const { return signal(SIGTERM); }
bool ProcessHandle::kill() const { return signal(SIGKILL); }

namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
  posix_spawnattr_t attr;
  SpawnAttributes() { posix_spawnattr_init(&attr); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
};

ProcessResult launchFailure(const std::string& executable, int error) {
  ProcessResult r;
  r.status = -1;
  r.stderrText = "failed to launch " + executable + ": " + errnoMessage(error);
  return r;
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  // Closed on exec by default; not inherited by later children.
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// Drains both pipes and watches for the child's exit in one poll loop on the
// calling thread, so a child that fills a pipe never blocks and no thread is
// needed per run.
class Collector {
 public:
  Collector(pid_t pid, int outFd, int errFd) : pid_(pid), pidFd_(openPidFd(pid)) {
    pipes_[0].fd = outFd;
    pipes_[1].fd = errFd;
  }

  bool exited() const { return exited_; }
  bool drained() const { return pipes_[0].fd < 0 && pipes_[1].fd < 0; }

  // Pumps until `done()` holds (true) or the deadline passes (false).
  template <class Done>
  bool pumpUntil(Done done, std::optional<SteadyClock::time_point> deadline) {
    auto backoff = std::chrono::milliseconds(1);
    while (!done()) {
      pollfd fds[3];
      int count = 0;
      int pipeIndex[2] = {-1, -1};
      for (int i = 0; i < 2; ++i) {
        if (pipes_[i].fd < 0) continue;
        pipeIndex[i] = count;
        fds[count++] = pollfd{pipes_[i].fd, POLLIN, 0};
      }
      int pidIndex = -1;
      if (!exited_ && pidFd_.fd >= 0) {
        pidIndex = count;
        fds[count++] = pollfd{pidFd_.fd, POLLIN, 0};
      }
      int timeoutMs = -1;
      if (deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        timeoutMs = static_cast<int>(std::min<int64_t>(left.count(), 1 << 30));
      }
      // Without a process descriptor the exit is noticed by polling.
      bool pollingForExit = !exited_ && pidFd_.fd < 0;
      if (pollingForExit) {
        int cap = static_cast<int>(backoff.count());
        timeoutMs = timeoutMs < 0 ? cap : std::min(timeoutMs, cap);
        backoff = std::min(backoff * 2, std::chrono::milliseconds(50));
      }
      if (count == 0 && timeoutMs < 0) return false;  // nothing left to wait for
      int n = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
      if (n < 0 && errno != EINTR) return false;
      for (int i = 0; i < 2; ++i) {
        if (pipeIndex[i] >= 0 && n > 0 && fds[pipeIndex[i]].revents) readOnce(i);
      }
      if (pidIndex >= 0 && n > 0 && fds[pidIndex].revents) exited_ = true;
      if (pollingForExit) checkExitWithoutReaping();
    }
    return true;
  }

  std::string take(int i) { return std::move(buffers_[i]); }

 private:
  void readOnce(int i) {
    char chunk[65536];
    ssize_t n = ::read(pipes_[i].fd, chunk, sizeof chunk);
    if (n > 0) {
      buffers_[i].append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      pipes_[i].reset();
    }
  }

  void checkExitWithoutReaping() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      exited_ = true;  // ECHILD: someone else collected it
    } else if (info.si_pid == pid_) {
      exited_ = true;
    }
  }

  pid_t pid_;
  Fd pidFd_;
  Fd pipes_[2];
  std::string buffers_[2];
  bool exited_ = false;
};

int32_t reap(ProcessHandle::State& state) {
  // Wait for the exit without collecting it, so the lock (which signalling
  // takes) is only held for a waitpid that returns at once.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::lock_guard lock(state.mutex);
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(state.pid, &raw, 0);
  } while (r < 0 && errno == EINTR);
  state.reaped = true;
  if (r != state.pid) return -1;
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return WTERMSIG(raw);
  return -1;
}

std::string decodeUtf8(std::string bytes) { return isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

std::string timeoutMessage(double limit) {
  double whole = std::trunc(limit);
  long long seconds = 0;
  if (whole >= 9.2e18) seconds = INT64_MAX;
  else if (whole > 0) seconds = static_cast<long long>(whole);
  return "timed out after " + std::to_string(seconds) + "s and was stopped";
}

}  // namespace

// ---- run

ProcessResult ProcessRunner::run(const RunOptions& options) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return launchFailure(options.executable, errno);
  Fd outRead(outPipe[0]), outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) return launchFailure(options.executable, errno);
  Fd errRead(errPipe[0]), errWrite(errPipe[1]);

  SpawnActions actions;
  // dup2 clears close-on-exec on the child's 1 and 2; every other descriptor
  // we own is close-on-exec, so concurrent runs never inherit each other's pipes.
  posix_spawn_file_actions_adddup2(&actions.actions, outWrite.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions.actions, errWrite.fd, STDERR_FILENO);
  if (options.nullStandardInput)
    posix_spawn_file_actions_addopen(&actions.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (options.workingDirectory)
    posix_spawn_file_actions_addchdir_np(&actions.actions, options.workingDirectory->c_str());

  // The child starts with no blocked signals and default dispositions, whatever
  // this process ignores (SIGPIPE in particular).
  SpawnAttributes attributes;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes.attr, &none);
  posix_spawnattr_setsigdefault(&attributes.attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.ownProcessGroup) {
    posix_spawnattr_setpgroup(&attributes.attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes.attr, flags);

  std::vector<char*> argv;
  argv.reserve(options.arguments.size() + 2);
  argv.push_back(const_cast<char*>(options.executable.c_str()));
  for (const auto& a : options.arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  std::vector<char*> envp;
  char** childEnv = environ;
  if (options.environment) {
    envStrings.reserve(options.environment->size());
    for (const auto& [k, v] : *options.environment) envStrings.push_back(k + "=" + v);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    childEnv = envp.data();
  }

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, options.executable.c_str(), &actions.actions, &attributes.attr, argv.data(), childEnv);
  outWrite.reset();
  errWrite.reset();
  if (rc != 0) return launchFailure(options.executable, rc);

  auto state = std::make_shared<ProcessHandle::State>(pid, options.ownProcessGroup);
  if (options.onLaunch) options.onLaunch(ProcessHandle(state));

  Collector collector(pid, outRead.fd, errRead.fd);
  outRead.fd = -1;  // owned by the collector now
  errRead.fd = -1;
  auto exited = [&] { return collector.exited(); };
  auto drained = [&] { return collector.drained(); };

  double limit = options.timeLimit;
  bool unlimited = options.waitWithoutLimit || (std::isinf(limit) && limit > 0);
  if (unlimited) {
    collector.pumpUntil([&] { return exited() && drained(); }, std::nullopt);
  } else {
    double seconds = std::isnan(limit) || limit < 0 ? 0 : std::min(limit, 1e9);
    auto start = SteadyClock::now();
    auto deadline = start + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
    if (collector.pumpUntil(exited, deadline)) {
      // Ended in time. What is still in the pipes comes at once; only something
      // the child left running can hold them open, and it gets no longer than
      // the limit (or a short grace after a late exit).
      auto now = SteadyClock::now();
      auto graceEnd = std::max(deadline, now + std::chrono::milliseconds(750));
      if (options.drainAfterExit) {
        double drain = std::clamp(*options.drainAfterExit, 0.0, 3600.0);
        graceEnd = now + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(drain));
      }
      collector.pumpUntil(drained, graceEnd);
    } else {
      ProcessHandle handle(state);
      handle.terminate();
      if (!collector.pumpUntil(exited, SteadyClock::now() + std::chrono::seconds(1))) {
        handle.kill();
        collector.pumpUntil(exited, SteadyClock::now() + std::chrono::seconds(1));
      }
      collector.pumpUntil(drained, SteadyClock::now() + std::chrono::milliseconds(750));
      if (collector.exited()) {
        (void)reap(*state);
      } else {
        // Still not gone after SIGKILL (stuck in the kernel): collect it in the
        // background so it never stays a zombie.
        std::thread([state] { (void)reap(*state); }).detach();
      }
      ProcessResult r;
      r.status = 124;
      std::string out = collector.take(0);
      r.stdoutBytes = out.size();
      r.stdoutWasInvalid = !isValidUtf8(out);
      r.stdoutText = decodeUtf8(std::move(out));
      r.stderrText = timeoutMessage(limit);
      return r;
    }
  }

  ProcessResult r;
  r.status = reap(*state);
  std::string out = collector.take(0);
  r.stdoutBytes = out.size();
  r.stdoutWasInvalid = !isValidUtf8(out);
  r.stdoutText = decodeUtf8(std::move(out));
  r.stderrText = decodeUtf8(collector.take(1));
  return r;
}

// ---- login shell

namespace {

const char* envValue(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

std::string defaultShell() {
  if (const char* s = envValue("SHELL")) return s;
  // Without SHELL, the account's own shell, as a terminal would start it.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_shell &&
      *found->pw_shell == '/')
    return found->pw_shell;
  return "/bin/sh";
}

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<LoginShell>& sharedSlot() {
  static std::shared_ptr<LoginShell> slot;
  return slot;
}

std::string trimmed(const std::string& text) { return std::string(trimUnicodeWhitespace(text)); }

// Command names are appended to a shell command line, so only plain names pass.
bool isPlainCommandName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '-') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-' || c == '+';
    if (!ok) return false;
  }
  return true;
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

LoginShell::LoginShell(std::string shellPath) : shell_(std::move(shellPath)) {}

std::shared_ptr<LoginShell> LoginShell::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<LoginShell>(defaultShell());
  return slot;
}

void LoginShell::setSharedForTesting(std::shared_ptr<LoginShell> shell) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(shell);
}

std::string LoginShell::path() {
  // Held across the probe so concurrent callers wait for this one probe.
  std::lock_guard lock(mutex_);
  if (path_) return *path_;
  RunOptions probe;
  probe.executable = shell_;
  probe.arguments = {"-lc", "printf %s \"$PATH\""};
  probe.timeLimit = 5.0;
  std::string value = trimmed(ProcessRunner::run(probe).stdoutText);
  if (value.empty()) {
    if (const char* p = envValue("PATH")) value = p;
    else value = std::string(kFallbackPath);
  }
  path_ = value;
  return value;
}

std::optional<std::string> LoginShell::findExecutable(std::string_view name) {
  if (!isPlainCommandName(name)) return std::nullopt;
  {
    std::lock_guard lock(mutex_);
    auto it = executables_.find(name);
    if (it != executables_.end()) return it->second;
  }
  RunOptions probe;
  probe.executable = shell_;
  probe.arguments = {"-lc", "command -v " + std::string(name)};
  probe.timeLimit = 5.0;
  ProcessResult r = ProcessRunner::run(probe);
  std::string answer = trimmed(r.stdoutText);
  if (r.status != 0 || answer.empty() || answer.front() != '/' || !isExecutableFile(answer)) return std::nullopt;
  std::lock_guard lock(mutex_);
  executables_[std::string(name)] = answer;
  return answer;
}

std::map<std::string, std::string> childEnvironmentWithPath(const std::string& path) {
  std::map<std::string, std::string> env;
  for (const char* name : {"HOME", "USER", "LOGNAME", "SHELL", "TMPDIR", "LANG", "TERM", "XDG_CONFIG_HOME"}) {
    if (const char* v = std::getenv(name)) env[name] = v;
  }
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    if (!startsWith(entry, "LC_")) continue;
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    env[std::string(entry.substr(0, eq))] = std::string(entry.substr(eq + 1));
  }
  env["PATH"] = path;
  return env;
}

std::string ProcessRunner::loginShell() { return LoginShell::shared()->shell(); }
std::string ProcessRunner::loginPath() { return LoginShell::shared()->path(); }
std::optional<std::string> ProcessRunner::findExecutable(std::string_view name) {
  return LoginShell::shared()->findExecutable(name);
}
std::map<std::string, std::string> ProcessRunner::childEnvironment() { return childEnvironmentWithPath(loginPath()); }

}  // namespace corvane::ai
