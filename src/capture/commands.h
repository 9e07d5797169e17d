#pragma once
// Capture's commands: bindings ("get_config", "set_binding", "set_mouse",
// "mark_configured", "mark_tutorial_seen") and the hook ("begin_key_capture",
// "end_key_capture", "set_onboarding", "set_onboarding_step",
// "set_actions_enabled", "begin_mouse_capture", "cancel_mouse_capture",
// "reinstall_hook").
#include "bridge/command.h"

namespace corvane::capture {
void installCaptureCommands(bridge::Router& router);
}  // namespace corvane::capture
