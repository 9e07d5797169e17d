#pragma once
// Capture's entry for the desktop shell: start it once the main loop exists,
// stop it before exit.
#include <memory>
#include <optional>
#include <string>

#include "core/result.h"
#include "platform/input_service.h"

namespace corvane::capture {

// Main thread. Attaches the hook and the hotkeys to the service, starts it,
// registers the hotkeys and reads the mouse binding. A session without global
// input (Wayland, no XInput2/XTEST) is not an error: the failure is logged and
// returned, and reinstallHook() retries when the permission poll sees it change.
Result<void> startCapture(std::shared_ptr<platform::InputService> service);
// Releases every registration and grab and stops the service.
void stopCapture();

// "reinstall_hook": starts the service when it is not running, re-registers the
// hotkeys and reloads the mouse binding; whether the hook runs now. Main thread
// (waits for it when called elsewhere).
bool reinstallHook();

// The settings screen closed: an abandoned shortcut capture ends, the hotkeys
// come back and actions are enabled again.
void settingsScreenClosed();

}  // namespace corvane::capture
