#include "integration/login_item.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/files.h"
#include "core/text.h"

namespace corvane::integration {
namespace fs = std::filesystem;

std::optional<std::string> quoteExecArgument(std::string_view argument) {
  if (!isValidUtf8(argument)) return std::nullopt;
  bool needsQuotes = argument.empty();
  std::string quoted;
  for (unsigned char c : argument) {
    // A key's value is one line: no control characters can be carried.
    if (c < 0x20 || c == 0x7f) return std::nullopt;
    switch (c) {
      case ' ': case '\'': case '>': case '<': case '~': case '|': case '&': case ';':
      case '*': case '?': case '#': case '(': case ')':
        needsQuotes = true;
        quoted += char(c);
        break;
      case '"': case '`': case '$': case '\\':
        needsQuotes = true;
        quoted += '\\';
        quoted += char(c);
        break;
      default:
        quoted += char(c);
    }
  }
  std::string arg = needsQuotes ? "\"" + quoted + "\"" : quoted;
  // Then the string-value escapes (backslash) and the field-code escape (%).
  std::string out;
  for (char c : arg) {
    if (c == '\\') out += "\\\\";
    else if (c == '%') out += "%%";
    else out += c;
  }
  return out;
}

std::optional<std::string> autostartEntry(const std::string& executable) {
  auto exec = quoteExecArgument(executable);
  if (!exec) return std::nullopt;
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Corvane\n"
         "Comment=Start Corvane when you log in\n"
         "Exec=" + *exec + "\n"
         "Icon=corvane\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

LoginItem::Environment LoginItem::systemEnvironment() {
  Environment env;
  env.autostartFolder = []() -> std::optional<fs::path> {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return fs::path(xdg) / "autostart";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return fs::path(home) / ".config" / "autostart";
    // HOME unset: the password database still knows the user's home.
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
      return fs::path(found->pw_dir) / ".config" / "autostart";
    return std::nullopt;
  };
  env.executable = []() -> std::optional<std::string> {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty() || !exe.is_absolute()) return std::nullopt;
    // The tray is started through its launcher, which hands a second launch over.
    fs::path launcher = exe.parent_path() / "corvane";
    if (exe.filename() != "corvane" && ::access(launcher.c_str(), X_OK) == 0) return launcher.string();
    return exe.string();
  };
  return env;
}

LoginItem::LoginItem(Environment env) : env_(std::move(env)) {}

bool LoginItem::enabled() const {
  auto folder = env_.autostartFolder ? env_.autostartFolder() : std::nullopt;
  return folder && fileExists(*folder / kAutostartFileName);
}

Result<void> LoginItem::set(bool on) const {
  auto folder = env_.autostartFolder ? env_.autostartFolder() : std::nullopt;
  if (!on) {
    if (!folder) return {};
    std::error_code ec;
    fs::remove(*folder / kAutostartFileName, ec);
    if (ec) return fail("Could not remove login item: " + errnoMessage(ec.value()));
    return {};
  }
  auto exe = env_.executable ? env_.executable() : std::nullopt;
  if (!exe) return fail("Could not locate the app executable.");
  if (!folder) return fail("Could not write login item: " + errnoMessage(ENOENT));
  auto entry = autostartEntry(*exe);
  if (!entry) return fail("Could not write login item: the app's path cannot be written into a desktop entry");
  if (auto made = ensureDirectory(*folder, 0755); !made) return fail("Could not write login item: " + made.error());
  if (auto written = writeFileAtomic(*folder / kAutostartFileName, *entry, 0644); !written)
    return fail("Could not write login item: " + written.error());
  return {};
}

}  // namespace corvane::integration
