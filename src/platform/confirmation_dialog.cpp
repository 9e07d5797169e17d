#include "platform/confirmation_dialog.h"

#include <cstdlib>
#include <mutex>

namespace corvane::platform {
namespace {
std::mutex& slotMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<ConfirmationDialog>& slot() {
  static std::shared_ptr<ConfirmationDialog> dialog;
  return dialog;
}
}  // namespace

std::shared_ptr<ConfirmationDialog> confirmationDialog() {
  std::lock_guard lock(slotMutex());
  return slot();
}

void installConfirmationDialog(std::shared_ptr<ConfirmationDialog> dialog) {
  std::lock_guard lock(slotMutex());
  slot() = std::move(dialog);
}

bool askConfirmation(const ConfirmationRequest& request) {
  auto dialog = confirmationDialog();
  return dialog ? dialog->confirm(request) : false;
}

bool EnvironmentConfirmation::confirm(const ConfirmationRequest&) {
  const char* value = std::getenv(variable_.c_str());
  return value && std::string(value) == "allow";
}

}  // namespace corvane::platform
