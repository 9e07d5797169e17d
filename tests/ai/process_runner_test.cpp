#include "ai/process_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_home.h"

namespace corvane::ai {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using Seconds = std::chrono::duration<double>;

ProcessResult sh(const std::string& script, double limit = 10, bool unlimited = false) {
  RunOptions o;
  o.executable = "/bin/sh";
  o.arguments = {"-c", script};
  o.timeLimit = limit;
  o.waitWithoutLimit = unlimited;
  return ProcessRunner::run(o);
}

std::string readAll(const std::filesystem::path& p) {
  std::ifstream in(p);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

double elapsedSince(std::chrono::steady_clock::time_point start) {
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

std::set<int> openDescriptors() {
  std::set<int> fds;
  DIR* d = ::opendir("/proc/self/fd");
  int own = ::dirfd(d);
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    int fd = std::atoi(e->d_name);
    if (fd != own) fds.insert(fd);
  }
  ::closedir(d);
  return fds;
}

// Reaps any zombie child left behind; returns how many there were.
int collectZombies() {
  int count = 0;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) ++count;
  return count;
}

TEST(ProcessRunner, ReturnsExitStatusAndBothStreams) {
  auto r = sh("printf out; printf err >&2; exit 3");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.stdoutText, "out");
  EXPECT_EQ(r.stderrText, "err");

  // A child ended by a signal reports the signal number.
  EXPECT_EQ(sh("kill -9 $$").status, 9);
}

TEST(ProcessRunner, DrainsMoreThanAPipeBufferOnBothStreamsInEitherOrder) {
  // 3 MB on each stream, stderr first: a runner that read stdout to the end
  // before touching stderr would deadlock here.
  const char* script =
      "head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 3000000 /dev/zero | tr '\\0' o; "
      "head -c 100000 /dev/zero | tr '\\0' E >&2";
  auto r = sh(script, 60);
  ASSERT_EQ(r.status, 0) << r.stderrText.substr(0, 200);
  EXPECT_EQ(r.stdoutText, std::string(3000000, 'o'));
  EXPECT_EQ(r.stderrText, std::string(3000000, 'e') + std::string(100000, 'E'));
}

TEST(ProcessRunner, LaunchFailureIsStatusMinusOneWithMessage) {
  bool called = false;
  RunOptions o;
  o.executable = "/nonexistent/tool";
  o.timeLimit = 5;
  o.onLaunch = [&](const ProcessHandle&) { called = true; };
  auto r = ProcessRunner::run(o);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.stdoutText, "");
  EXPECT_EQ(r.stderrText, "failed to launch /nonexistent/tool: No such file or directory");
  EXPECT_FALSE(called);

  o.executable = "/bin/sh";
  o.workingDirectory = "/nonexistent-folder";
  EXPECT_THAT(ProcessRunner::run(o).stderrText, StartsWith("failed to launch /bin/sh: "));
}

TEST(ProcessRunner, TimeLimitStopsTheChildAndKeepsItsOutput) {
  auto start = std::chrono::steady_clock::now();
  auto r = sh("echo partial; exec sleep 30", 0.3);
  EXPECT_EQ(r.status, 124);
  EXPECT_EQ(r.stdoutText, "partial\n");
  EXPECT_EQ(r.stderrText, "timed out after 0s and was stopped");
  EXPECT_LT(elapsedSince(start), 1.2);

  EXPECT_EQ(sh("exec sleep 30", 1.9).stderrText, "timed out after 1s and was stopped");
}

TEST(ProcessRunner, ChildIgnoringTerminateIsKilledAfterOneSecond) {
  auto start = std::chrono::steady_clock::now();
  // An ignored disposition survives exec, so sleep itself ignores SIGTERM.
  auto r = sh("trap '' TERM; exec sleep 30", 0.3);
  double took = elapsedSince(start);
  EXPECT_EQ(r.status, 124);
  EXPECT_GE(took, 1.25);
  EXPECT_LT(took, 0.3 + 2.75);
}

TEST(ProcessRunner, ChildThatClosesItsPipesIsStillTimedOut) {
  auto start = std::chrono::steady_clock::now();
  auto r = sh("exec >&- 2>&-; exec sleep 30", 0.3);
  EXPECT_EQ(r.status, 124);
  EXPECT_LT(elapsedSince(start), 1.2);
}

TEST(ProcessRunner, WaitWithoutLimitIgnoresTheTimeLimit) {
  auto r = sh("sleep 0.4; echo done", 0.05, /*unlimited=*/true);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stdoutText, "done\n");
}

TEST(ProcessRunner, SomethingLeftHoldingThePipesDoesNotHangTheRun) {
  // The child exits at once but its background job keeps stdout open.
  auto start = std::chrono::steady_clock::now();
  auto r = sh("sleep 3 & echo hi", 0.3);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stdoutText, "hi\n");
  EXPECT_LT(elapsedSince(start), 2.0);
}

TEST(ProcessRunner, OwnProcessGroupStopsWhatTheChildStartedAndDrainEndsSoonAfterExit) {
  testing::TempDir dir;
  auto pidFile = dir.path() / "bg.pid";
  auto alive = [](pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    return !text.empty() && text.find(") Z") == std::string::npos;
  };
  RunOptions o;
  o.executable = "/bin/sh";
  o.arguments = {"-c", "sleep 30 & echo $! > '" + pidFile.string() + "'; sleep 30"};
  o.timeLimit = 0.3;
  o.ownProcessGroup = true;
  EXPECT_EQ(ProcessRunner::run(o).status, 124);
  pid_t background = std::stoi(readAll(pidFile));
  EXPECT_FALSE(alive(background));

  // Without a group of its own, a long limit would keep reading from the
  // background job; the drain bound ends the run a fixed time after the exit.
  o.arguments = {"-c", "sleep 30 & echo $! > '" + pidFile.string() + "'; echo out; cat"};
  o.nullStandardInput = true;  // cat reads end of input at once
  o.timeLimit = 60;
  o.drainAfterExit = 0.2;
  auto start = std::chrono::steady_clock::now();
  auto r = ProcessRunner::run(o);
  EXPECT_LT(elapsedSince(start), 2.0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stdoutText, "out\n");
  ::kill(std::stoi(readAll(pidFile)), SIGKILL);
}

TEST(ProcessRunner, UsesWorkingFolderAndWholeEnvironment) {
  testing::TempDir dir;
  RunOptions o;
  o.executable = "/bin/sh";
  o.arguments = {"-c", "pwd; echo \"[$FOO]\"; echo \"[$HOME]\""};
  o.workingDirectory = dir.path();
  o.environment = std::map<std::string, std::string>{{"FOO", "bar baz"}};
  o.timeLimit = 5;
  auto r = ProcessRunner::run(o);
  EXPECT_EQ(r.stdoutText, std::filesystem::canonical(dir.path()).string() + "\n[bar baz]\n[]\n");

  // Without an environment the child inherits ours.
  ::setenv("CORVANE_RUNNER_PROBE", "inherited", 1);
  EXPECT_EQ(sh("printf %s \"$CORVANE_RUNNER_PROBE\"").stdoutText, "inherited");
  ::unsetenv("CORVANE_RUNNER_PROBE");
}

TEST(ProcessRunner, InvalidUtf8StreamIsEmptyButStatusKept) {
  auto r = sh("printf 'ok\\377'; printf 'fine' >&2; exit 2");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.stdoutText, "");
  EXPECT_EQ(r.stderrText, "fine");
}

TEST(ProcessRunner, LaunchCallbackHandleCancelsAndGoesInertAfterTheRun) {
  std::optional<ProcessHandle> kept;
  std::thread canceller;
  RunOptions o;
  o.executable = "/bin/sh";
  o.arguments = {"-c", "exec sleep 30"};
  o.timeLimit = 20;
  int calls = 0;
  o.onLaunch = [&](const ProcessHandle& h) {
    ++calls;
    EXPECT_GT(h.pid(), 0);
    kept = h;
    canceller = std::thread([h] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      h.terminate();
    });
  };
  auto start = std::chrono::steady_clock::now();
  auto r = ProcessRunner::run(o);
  canceller.join();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(r.status, SIGTERM);
  EXPECT_LT(elapsedSince(start), 5.0);
  // The child has been collected: its id may be reused, so the handle is inert.
  ASSERT_TRUE(kept);
  EXPECT_FALSE(kept->terminate());
  EXPECT_FALSE(kept->kill());
}

TEST(ProcessRunner, LeavesNoDescriptorOrZombieBehind) {
  collectZombies();
  auto before = openDescriptors();
  for (int i = 0; i < 5; ++i) {
    (void)sh("echo x; echo y >&2");
    (void)sh("exit 1");
  }
  (void)sh("exec sleep 30", 0.1);
  (void)sh("exec >&- 2>&-; exec sleep 30", 0.1);
  RunOptions missing;
  missing.executable = "/nonexistent";
  (void)ProcessRunner::run(missing);
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(collectZombies(), 0);
}

TEST(ProcessRunner, ChildSeesOnlyStandardDescriptorsOfOurs) {
  // Descriptors this process already lets children inherit are not ours to judge.
  std::set<int> inheritable = {0, 1, 2};
  for (int fd : openDescriptors()) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) inheritable.insert(fd);
  }
  // Another run in flight must not lend its pipes to this child either.
  std::thread other([] { (void)sh("sleep 0.5"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto r = sh("ls /proc/$$/fd");
  other.join();
  std::set<int> childFds;
  std::istringstream lines(r.stdoutText);
  for (std::string line; std::getline(lines, line);) childFds.insert(std::stoi(line));
  for (int fd : childFds) EXPECT_TRUE(inheritable.count(fd)) << "descriptor " << fd << " leaked into the child";
}

TEST(ProcessRunner, ConcurrentRunsKeepTheirOwnOutput) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i, &good] {
      for (int k = 0; k < 5; ++k) {
        auto r = sh("printf " + std::to_string(i * 100 + k) + "; printf e" + std::to_string(i) + " >&2");
        if (r.status == 0 && r.stdoutText == std::to_string(i * 100 + k) && r.stderrText == "e" + std::to_string(i))
          ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 40);
}

// ---- login shell

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (old) saved_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_, saved_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

// A stand-in login shell: logs each probe, then runs `body` with the command in $2.
class FakeShell {
 public:
  explicit FakeShell(const std::string& body) {
    path_ = dir_.path() / "fakeshell";
    log_ = dir_.path() / "probes.log";
    std::ofstream(path_) << "#!/bin/sh\necho \"$2\" >> '" << log_.string() << "'\n" << body << "\n";
    ::chmod(path_.c_str(), 0755);
  }
  std::string path() const { return path_.string(); }
  const std::filesystem::path& dir() const { return dir_.path(); }
  int probes() const {
    std::ifstream in(log_);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }

 private:
  testing::TempDir dir_;
  std::filesystem::path path_, log_;
};

TEST(LoginShell, PathIsProbedOnceAndTrimmed) {
  FakeShell fake("[ \"$1\" = -lc ] && [ \"$2\" = 'printf %s \"$PATH\"' ] && printf '  /opt/a:/usr/bin \\n\\n'");
  LoginShell shell(fake.path());
  std::vector<std::thread> threads;
  std::vector<std::string> answers(4);
  for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { answers[i] = shell.path(); });
  for (auto& t : threads) t.join();
  for (const auto& a : answers) EXPECT_EQ(a, "/opt/a:/usr/bin");
  EXPECT_EQ(shell.path(), "/opt/a:/usr/bin");
  EXPECT_EQ(fake.probes(), 1);
}

TEST(LoginShell, EmptyProbeFallsBackToOurPathThenTheConstant) {
  FakeShell fake("exit 1");
  {
    ScopedEnv path("PATH", "/from/process:/bin");
    LoginShell shell(fake.path());
    EXPECT_EQ(shell.path(), "/from/process:/bin");
  }
  {
    ScopedEnv path("PATH", nullptr);
    LoginShell shell(fake.path());
    EXPECT_EQ(shell.path(), kFallbackPath);
  }
  // A shell that cannot even be started falls back the same way.
  ScopedEnv path("PATH", "/p");
  LoginShell missing("/nonexistent/shell");
  EXPECT_EQ(missing.path(), "/p");
}

TEST(LoginShell, FindExecutableAcceptsOnlyAbsoluteExecutableFiles) {
  testing::TempDir bin;
  auto tool = bin.path() / "tool";
  auto plain = bin.path() / "plain";
  std::ofstream(tool) << "#!/bin/sh\n";
  std::ofstream(plain) << "data";
  ::chmod(tool.c_str(), 0755);
  ::chmod(plain.c_str(), 0644);
  FakeShell fake(
      "case \"$2\" in\n"
      "  'command -v tool') echo \"" + tool.string() + "\" ;;\n"
      "  'command -v ll') echo \"alias ll='ls -l'\" ;;\n"
      "  'command -v func') echo func ;;\n"
      "  'command -v plain') echo \"" + plain.string() + "\" ;;\n"
      "  'command -v folder') echo \"" + bin.path().string() + "\" ;;\n"
      "  'command -v failing') echo \"" + tool.string() + "\"; exit 1 ;;\n"
      "  *) exit 1 ;;\n"
      "esac");
  LoginShell shell(fake.path());

  EXPECT_EQ(shell.findExecutable("tool"), tool.string());
  EXPECT_EQ(shell.findExecutable("tool"), tool.string());
  EXPECT_EQ(fake.probes(), 1) << "a positive answer is cached";

  for (const char* name : {"ll", "func", "plain", "folder", "failing", "absent"})
    EXPECT_EQ(shell.findExecutable(name), std::nullopt) << name;
  int probes = fake.probes();
  EXPECT_EQ(shell.findExecutable("absent"), std::nullopt);
  EXPECT_EQ(fake.probes(), probes + 1) << "misses are asked again";

  // Names are put on a shell command line: anything but a plain name is refused unasked.
  probes = fake.probes();
  for (const char* name : {"", "tool; touch x", "$(id)", "a b", "-v", "tool\n"})
    EXPECT_EQ(shell.findExecutable(name), std::nullopt) << name;
  EXPECT_EQ(fake.probes(), probes);
}

TEST(LoginShell, SharedShellComesFromShellVariable) {
  {
    ScopedEnv shellVar("SHELL", "/usr/local/bin/fish");
    LoginShell::setSharedForTesting(nullptr);
    EXPECT_EQ(ProcessRunner::loginShell(), "/usr/local/bin/fish");
  }
  {
    ScopedEnv shellVar("SHELL", nullptr);
    LoginShell::setSharedForTesting(nullptr);
    EXPECT_THAT(ProcessRunner::loginShell(), StartsWith("/"));
  }
  LoginShell::setSharedForTesting(nullptr);
}

TEST(ChildEnvironment, CopiesOnlyTheListedVariablesAndLocaleOnes) {
  ScopedEnv home("HOME", "/home/u"), lang("LANG", "de_DE.UTF-8"), lcAll("LC_ALL", "C"),
      lcTime("LC_TIME", "en_GB"), key("OPENAI_API_KEY", "secret"), editor("EDITOR", "vi"),
      term("TERM", nullptr), path("PATH", "/process/path");
  FakeShell fake("printf /login/bin:/usr/bin");
  LoginShell::setSharedForTesting(std::make_shared<LoginShell>(fake.path()));
  auto env = ProcessRunner::childEnvironment();
  LoginShell::setSharedForTesting(nullptr);

  EXPECT_EQ(env["HOME"], "/home/u");
  EXPECT_EQ(env["LANG"], "de_DE.UTF-8");
  EXPECT_EQ(env["LC_ALL"], "C");
  EXPECT_EQ(env["LC_TIME"], "en_GB");
  EXPECT_EQ(env["PATH"], "/login/bin:/usr/bin");
  EXPECT_EQ(env.count("OPENAI_API_KEY"), 0u);
  EXPECT_EQ(env.count("EDITOR"), 0u);
  EXPECT_EQ(env.count("TERM"), 0u);
  std::set<std::string> allowed = {"HOME", "USER", "LOGNAME", "SHELL", "TMPDIR", "LANG", "TERM", "XDG_CONFIG_HOME", "PATH"};
  for (const auto& [name, value] : env)
    EXPECT_TRUE(allowed.count(name) || name.rfind("LC_", 0) == 0) << name;
}

TEST(HomeDirectory, FallsBackToUserProfileThenDot) {
  ScopedEnv profile("USERPROFILE", "/profile");
  {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(homeDirectory(), "/profile");
  }
  ScopedEnv home("HOME", nullptr), noProfile("USERPROFILE", nullptr);
  EXPECT_EQ(homeDirectory(), ".");
}

}  // namespace
}  // namespace corvane::ai
