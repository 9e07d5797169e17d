#include "media/commands.h"

namespace corvane::media {
void installMediaCommands(bridge::Router& router) { (void)router; }
}  // namespace corvane::media
