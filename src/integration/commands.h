#pragma once
// The update, launch-at-login, lock and permission commands.
#include <functional>
#include <string>
#include <vector>

#include "bridge/command.h"

namespace corvane::integration {

// What the permission commands start on the desktop; replaceable in tests.
struct DesktopActions {
  // Starts a program (argv[0] looked up on PATH) without waiting for it.
  std::function<void(const std::vector<std::string>& argv)> launch;
  // Whether a program is on PATH.
  std::function<bool(const std::string& name)> onPath;
};
DesktopActions& desktopActions();

// The desktop's accessibility panel, if this desktop has one we know.
std::optional<std::vector<std::string>> accessibilityPanelCommand();

void installIntegrationCommands(bridge::Router& router);

}  // namespace corvane::integration
