#pragma once
// The shell's side of system integration: the update checks' notices, the
// "Check for Updates…" action, and the tray lock's password dialog.
#include "shell/window_controller.h"

namespace corvane::shell {

// Fills the updater seams and installs the PAM owner authenticator.
void installSystemIntegrationSeams();

// The lock in front of show: asked whenever "requireBiometricUnlock" is on.
void installUnlockGate(WindowServices& services);

}  // namespace corvane::shell
