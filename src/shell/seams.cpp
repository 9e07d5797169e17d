#include "shell/seams.h"

#include "account/commands.h"
#include "shell/system_integration.h"

namespace corvane::shell {

ShellSeams& seams() {
  static ShellSeams table;
  return table;
}

void installSeams() {
  // Hotkeys, the input hook, AI availability, cloud sync and the updater
  // install their members here as they land.
  installSystemIntegrationSeams();
  seams().handleSignInUrl = [](const std::string& url) { return account::handleOpenURL(url); };
}

}  // namespace corvane::shell
