#pragma once
// A blocking yes/no question put to the user (the AI tool approval). The
// desktop shell installs a modal dialog that runs on the main thread; the
// headless runner answers from the environment. Callers are worker threads and
// wait for the answer; with nothing installed every question is declined.
#include <functional>
#include <memory>
#include <string>

namespace corvane::platform {

struct ConfirmationRequest {
  std::string message;          // the bold first line
  std::string informativeText;  // the explanation below it
  std::string confirmButton;    // the default button
  std::string cancelButton;
};

class ConfirmationDialog {
 public:
  virtual ~ConfirmationDialog() = default;
  // True when the user chose the confirm button. Blocks the calling thread.
  virtual bool confirm(const ConfirmationRequest& request) = 0;
};

// The installed dialog (nullptr when none is).
std::shared_ptr<ConfirmationDialog> confirmationDialog();
void installConfirmationDialog(std::shared_ptr<ConfirmationDialog> dialog);
// Asks the installed dialog; false when none is installed.
bool askConfirmation(const ConfirmationRequest& request);

// The dialog of the headless runner: the answer is the environment variable
// `variable` ("allow" confirms; anything else, or unset, cancels).
class EnvironmentConfirmation final : public ConfirmationDialog {
 public:
  explicit EnvironmentConfirmation(std::string variable) : variable_(std::move(variable)) {}
  bool confirm(const ConfirmationRequest& request) override;

 private:
  std::string variable_;
};

// Adapts a function (the shell's main-thread dialog) to the interface.
class FunctionConfirmation final : public ConfirmationDialog {
 public:
  explicit FunctionConfirmation(std::function<bool(const ConfirmationRequest&)> ask) : ask_(std::move(ask)) {}
  bool confirm(const ConfirmationRequest& request) override { return ask_ ? ask_(request) : false; }

 private:
  std::function<bool(const ConfirmationRequest&)> ask_;
};

}  // namespace corvane::platform
