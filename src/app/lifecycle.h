#pragma once
// Work that must happen before a front end exits: counters still queued are
// written (and their milestone events emitted) so nothing the user did is lost.
namespace corvane::app {
// Waits for the subsystems' queued writes. Events they emit meanwhile are
// posted to the main queue; the caller drains it afterwards.
void finishPendingWork();
}  // namespace corvane::app
