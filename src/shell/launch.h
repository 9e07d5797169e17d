#pragma once
// What a launch asks for, the single-instance protocol between a new launch
// and the running copy, URL routing and the permission text.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"

namespace corvane::shell {

enum class LaunchAction {
  Run,       // a plain launch: replace the running copy
  Toggle,    // --toggle
  NewNote,   // --new-note
  Settings,  // --settings
  OpenUrl,   // corvane://…
  Help,
};

struct LaunchRequest {
  LaunchAction action = LaunchAction::Run;
  std::string url;  // for OpenUrl
};

// Reads the command line (argv[0] excluded). Unknown options fail.
Result<LaunchRequest> parseLaunchArguments(const std::vector<std::string>& args);

// One line on the control socket: "quit", "toggle", "new-note", "settings",
// "url <text>". The copy that receives it answers "ok" (for "quit" after its
// queues are flushed).
std::string requestLine(const LaunchRequest& request);
std::optional<LaunchRequest> parseRequestLine(std::string_view line);

// Whether a URL is for this program's sign-in ("corvane://auth/…"; scheme and
// host compared case-insensitively, no user, password or port); others are
// ignored.
bool isAuthUrl(std::string_view url);
// The email sign-in link of a "corvane://auth/email?link=…" URL (decoded;
// empty when the query has none); nullopt for any other URL.
std::optional<std::string> emailSignInLink(std::string_view url);

// {"accessibility":A,"inputMonitoring":B,"notes":C}
std::string permissionText(bool accessibility, bool inputMonitoring, bool notes);

// The running copy's control socket: $XDG_RUNTIME_DIR/corvane/control.sock,
// else a private folder under /tmp named after the user id.
std::filesystem::path controlSocketPath();

// The listening side, owned by the running copy.
class ControlServer {
 public:
  ~ControlServer();
  // Binds the socket (replacing a stale one); fails when another copy answers.
  static Result<std::unique_ptr<ControlServer>> listen(const std::filesystem::path& path);
  int fd() const { return fd_; }
  // Accepts one connection, reads one line and returns it with the connection
  // to answer on (closed by answer()).
  std::optional<std::pair<int, std::string>> acceptOne();
  static void answer(int connection, std::string_view reply);

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

// Sends one line to the running copy and waits up to `timeoutMs` for its
// answer. Fails when no copy listens. `peerPid` receives the process id of
// the copy (0 when unknown), for the kill after a time-out.
Result<std::string> sendToRunningCopy(const std::filesystem::path& path, std::string_view line, int timeoutMs,
                                      int* peerPid = nullptr);

}  // namespace corvane::shell
