// `corvane`: hands a launch to the running copy, or starts the tray.
// Kept free of the toolkit so `corvane --toggle` (bound to a desktop shortcut)
// costs a process start and one socket round trip, not loading WebKit; only
// when the tray must start does it exec corvane-tray, which does the rest.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "shell/launch.h"

namespace {

constexpr int kReplaceTimeoutMs = 2000;

std::filesystem::path trayProgram() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "corvane-tray";
  return exe.parent_path() / "corvane-tray";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane::shell;
  auto parsed = parseLaunchArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed && parsed->action != LaunchAction::Help) {
    const auto socket = controlSocketPath();
    int pid = 0;
    auto reply = sendToRunningCopy(socket, requestLine(*parsed), kReplaceTimeoutMs, &pid);
    if (parsed->action != LaunchAction::Run && reply) return 0;
    if (parsed->action == LaunchAction::Run && !reply && pid > 0 && pid != ::getpid()) {
      // Asked to quit and silent for 2 s: stop it so this launch can run.
      std::fprintf(stderr, "corvane: the running copy (pid %d) did not quit in time; stopping it\n", pid);
      ::kill(pid, SIGKILL);
      for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // Help, a bad argument, or a tray to start: corvane-tray answers them all.
  const std::string tray = trayProgram().string();
  std::vector<char*> args{const_cast<char*>(tray.c_str())};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(tray.c_str(), args.data());
  std::perror(("corvane: cannot start " + tray).c_str());
  return 1;
}
