#pragma once
// Media commands: "persist_pasted_image", "get_media_data_uri" and
// "get_media_health" (handler group Notes).
#include <functional>

#include "bridge/command.h"

namespace corvane::media {

void installMediaCommands(bridge::Router& router);

// Whether the active note store keeps images as text placeholders, so a pasted
// image must be stored the moment it is pasted. The folder store, the only
// store this platform has, keeps the page's markup as it is and answers no.
// Replaceable in tests.
void setPlaceholderStoreCheckForTesting(std::function<bool()> check);

}  // namespace corvane::media
