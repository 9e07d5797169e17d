#pragma once
#include "bridge/command.h"

namespace corvane::app {
// The process-wide router with every subsystem's commands installed.
const bridge::Router& commandRouter();
}  // namespace corvane::app
