#pragma once
// Media commands.
#include "bridge/command.h"

namespace corvane::media {
void installMediaCommands(bridge::Router& router);
}  // namespace corvane::media
