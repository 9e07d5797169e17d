#pragma once
// Launch at login: an XDG autostart entry "com.corvane.app.desktop" in
// $XDG_CONFIG_HOME/autostart (else ~/.config/autostart). No state of its own:
// the entry's presence is the answer.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/result.h"

namespace corvane::integration {

inline constexpr std::string_view kAutostartFileName = "com.corvane.app.desktop";

// One argument of an Exec key: quoted when it holds a reserved character, then
// escaped as a string value, with "%" doubled. nullopt when the text cannot be
// written into a desktop entry at all (not UTF-8, control characters).
std::optional<std::string> quoteExecArgument(std::string_view argument);

// The whole entry for `executable`; nullopt as above.
std::optional<std::string> autostartEntry(const std::string& executable);

class LoginItem {
 public:
  struct Environment {
    // The autostart folder; nullopt when no home directory can be found.
    std::function<std::optional<std::filesystem::path>()> autostartFolder;
    // The program to start at login; nullopt when it cannot be found.
    std::function<std::optional<std::string>()> executable;
  };
  // The real environment: XDG_CONFIG_HOME, HOME or the password database, and
  // the running program (its "corvane" launcher when one sits beside it).
  static Environment systemEnvironment();

  explicit LoginItem(Environment env = systemEnvironment());
  bool enabled() const;
  // Failures: "Could not locate the app executable.", "Could not write login
  // item: …", "Could not remove login item: …".
  Result<void> set(bool on) const;

 private:
  Environment env_;
};

}  // namespace corvane::integration
