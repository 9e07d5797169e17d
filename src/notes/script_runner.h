#pragma once
// How the Apple Notes store reaches the Notes application: one script in, exit
// status and both outputs back. The real runner calls an osascript-compatible
// executable through the process runner; tests put a scripted fake in its place.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvane::notes {

struct ScriptOutcome {
  int32_t status = -1;   // 124 when the time limit stopped the script
  std::string output;    // standard output as printed
  std::string error;     // standard error as printed
  bool outputIsUtf8 = true;  // false: output was not UTF-8 and is left empty
};

class ScriptRunner {
 public:
  virtual ~ScriptRunner() = default;
  virtual ScriptOutcome run(const std::string& script, double timeLimit) = 0;
};

// Runs `EXECUTABLE -e SCRIPT`; a script longer than one process argument may be
// (128 KiB on Linux) goes through a private temporary file, `EXECUTABLE FILE`.
class OsascriptRunner final : public ScriptRunner {
 public:
  static constexpr size_t kMaxArgumentBytes = 128 * 1024;

  explicit OsascriptRunner(std::string executable);
  ScriptOutcome run(const std::string& script, double timeLimit) override;
  const std::string& executable() const { return executable_; }

 private:
  std::string executable_;
};

// The osascript to use: CORVANE_OSASCRIPT, else the user default
// "corvane_osascript_path", when it names an executable regular file (an
// absolute path). Nothing otherwise: this platform then has no Notes to script.
std::optional<std::string> configuredOsascript();

// Whether this process may automate Notes, for "request_notes_access" and the
// permission poll. With a stand-in configured it is asked
// (`EXECUTABLE --corvane-permission query`, or `request`, which lets it prompt
// and still answers the state from before the prompt); true only for
// "granted". Without one there is no Notes to automate and nothing to refuse:
// true, so onboarding and clips into the folder store are not held up.
bool notesAutomationGranted(bool allowPrompt);

}  // namespace corvane::notes
