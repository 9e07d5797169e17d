#include "shell/launch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>


namespace corvane::shell {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view s, bool plusIsSpace) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 &&
        hexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
      i += 2;
    } else if (plusIsSpace && s[i] == '+') {
      out.push_back(' ');
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct UrlParts {
  std::string scheme, authority, path, query;
};

std::optional<UrlParts> splitUrl(std::string_view url) {
  auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  UrlParts p;
  p.scheme = lower(url.substr(0, colon));
  for (char c : p.scheme)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) return std::nullopt;
  std::string_view rest = url.substr(colon + 1);
  if (rest.substr(0, 2) != "//") return std::nullopt;
  rest.remove_prefix(2);
  auto end = rest.find_first_of("/?#");
  p.authority = std::string(rest.substr(0, end));
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  auto hash = rest.find('#');
  if (hash != std::string_view::npos) rest = rest.substr(0, hash);
  auto q = rest.find('?');
  p.path = std::string(rest.substr(0, q));
  if (q != std::string_view::npos) p.query = std::string(rest.substr(q + 1));
  for (unsigned char c : url)
    if (c < 0x21 || c == 0x7f) return std::nullopt;
  return p;
}

sockaddr_un socketAddress(const std::filesystem::path& path, bool& ok) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string s = path.string();
  ok = s.size() < sizeof(addr.sun_path);
  if (ok) std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
  return addr;
}

int connectTo(const std::filesystem::path& path) {
  bool ok = false;
  sockaddr_un addr = socketAddress(path, ok);
  if (!ok) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads up to a newline or end of stream, waiting at most timeoutMs in total.
std::optional<std::string> readLine(int fd, int timeoutMs) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (line.size() < 64 * 1024) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char buf[512];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    line.append(buf, static_cast<size_t>(n));
    auto nl = line.find('\n');
    if (nl != std::string::npos) return line.substr(0, nl);
  }
  return std::nullopt;
}

}  // namespace

Result<LaunchRequest> parseLaunchArguments(const std::vector<std::string>& args) {
  LaunchRequest req;
  for (const auto& a : args) {
    if (a == "--toggle") {
      req.action = LaunchAction::Toggle;
    } else if (a == "--new-note") {
      req.action = LaunchAction::NewNote;
    } else if (a == "--settings") {
      req.action = LaunchAction::Settings;
    } else if (a == "--help" || a == "-h") {
      req.action = LaunchAction::Help;
    } else if (!a.empty() && a[0] == '-') {
      return fail("unknown option: " + a);
    } else if (lower(a.substr(0, 9)) == "corvane:/") {
      req.action = LaunchAction::OpenUrl;
      req.url = a;
    } else {
      // Desktop environments may pass other files or URLs; they are not ours.
      return fail("not a corvane:// URL: " + a);
    }
  }
  return req;
}

std::string requestLine(const LaunchRequest& request) {
  switch (request.action) {
    case LaunchAction::Toggle: return "toggle";
    case LaunchAction::NewNote: return "new-note";
    case LaunchAction::Settings: return "settings";
    case LaunchAction::OpenUrl: return "url " + request.url;
    case LaunchAction::Run:
    case LaunchAction::Help: return "quit";
  }
  return "quit";
}

std::optional<LaunchRequest> parseRequestLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line == "quit") return LaunchRequest{LaunchAction::Run, {}};
  if (line == "toggle") return LaunchRequest{LaunchAction::Toggle, {}};
  if (line == "new-note") return LaunchRequest{LaunchAction::NewNote, {}};
  if (line == "settings") return LaunchRequest{LaunchAction::Settings, {}};
  if (line.substr(0, 4) == "url ") return LaunchRequest{LaunchAction::OpenUrl, std::string(line.substr(4))};
  return std::nullopt;
}

bool isAuthUrl(std::string_view url) {
  auto p = splitUrl(url);
  if (!p || p->scheme != "corvane") return false;
  // No user, password or port: the authority is the bare host.
  if (p->authority.find_first_of("@:") != std::string::npos) return false;
  return lower(p->authority) == "auth";
}

std::optional<std::string> emailSignInLink(std::string_view url) {
  if (!isAuthUrl(url)) return std::nullopt;
  auto p = splitUrl(url);
  if (p->path != "/email") return std::nullopt;
  std::string_view q = p->query;
  while (!q.empty()) {
    auto amp = q.find('&');
    std::string_view item = q.substr(0, amp);
    auto eq = item.find('=');
    if (percentDecode(item.substr(0, eq), true) == "link")
      return eq == std::string_view::npos ? std::string() : percentDecode(item.substr(eq + 1), true);
    if (amp == std::string_view::npos) break;
    q.remove_prefix(amp + 1);
  }
  return std::string();
}

std::string permissionText(bool accessibility, bool inputMonitoring, bool notes) {
  auto b = [](bool v) { return v ? "true" : "false"; };
  return std::string("{\"accessibility\":") + b(accessibility) + ",\"inputMonitoring\":" + b(inputMonitoring) +
         ",\"notes\":" + b(notes) + "}";
}

std::filesystem::path controlSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::filesystem::path dir;
  if (runtime && *runtime && std::filesystem::is_directory(runtime))
    dir = std::filesystem::path(runtime) / "corvane";
  else
    dir = std::filesystem::path("/tmp") / ("corvane-" + std::to_string(::getuid()));
  return dir / "control.sock";
}

ControlServer::~ControlServer() {
  if (fd_ >= 0) {
    ::close(fd_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
}

Result<std::unique_ptr<ControlServer>> ControlServer::listen(const std::filesystem::path& path) {
  std::error_code ec;
  auto dir = path.parent_path();
  std::filesystem::create_directories(dir, ec);
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
    return fail("control socket folder is not ours: " + dir.string());
  ::chmod(dir.c_str(), 0700);
  int probe = connectTo(path);
  if (probe >= 0) {
    ::close(probe);
    return fail("another copy is running");
  }
  std::filesystem::remove(path, ec);
  bool ok = false;
  sockaddr_un addr = socketAddress(path, ok);
  if (!ok) return fail("control socket path too long: " + path.string());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    std::string why = std::strerror(errno);
    ::close(fd);
    return fail("control socket: " + why);
  }
  ::chmod(path.c_str(), 0600);
  auto server = std::unique_ptr<ControlServer>(new ControlServer);
  server->fd_ = fd;
  server->path_ = path;
  return server;
}

std::optional<std::pair<int, std::string>> ControlServer::acceptOne() {
  int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return std::nullopt;
  // Only our own user may drive this copy.
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
    ::close(c);
    return std::nullopt;
  }
  auto line = readLine(c, 1000);
  if (!line) {
    ::close(c);
    return std::nullopt;
  }
  return std::make_pair(c, *line);
}

void ControlServer::answer(int connection, std::string_view reply) {
  writeAll(connection, std::string(reply) + "\n");
  ::close(connection);
}

Result<std::string> sendToRunningCopy(const std::filesystem::path& path, std::string_view line, int timeoutMs,
                                      int* peerPid) {
  int fd = connectTo(path);
  if (fd < 0) return fail("no running copy");
  if (peerPid) {
    ucred cred{};
    socklen_t len = sizeof cred;
    *peerPid = (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid()) ? cred.pid : 0;
  }
  if (!writeAll(fd, std::string(line) + "\n")) {
    ::close(fd);
    return fail("the running copy closed the connection");
  }
  auto reply = readLine(fd, timeoutMs);
  ::close(fd);
  if (!reply) return fail("the running copy did not answer");
  return *reply;
}

}  // namespace corvane::shell
