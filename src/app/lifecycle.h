#pragma once
// Start-up and exit work shared by every front end (the headless runner now,
// the desktop shell later).
namespace corvane::app {

// Connects subsystems that meet only here (the note cache stores pasted
// images through the media library). Cheap; every front end calls it first.
void installProcessHooks();

// The note cache as every front end must start it: "cache.json" loaded, a
// refresh and the full name listing begun, the vault watched. Without it the
// first commands would answer from whatever few notes they happened to touch.
void startNoteCache();

// The start-up work of a long-running front end: the data directory is made
// private again, the note cache is started (startNoteCache) and the media
// library checks its files against the backup.
void startBackgroundServices();

// Waits for the subsystems' queued writes (the note cache's jobs and file,
// counters and their milestone events) so nothing the user did is lost.
// Events emitted meanwhile are posted to the main queue; the caller drains it.
void finishPendingWork();

}  // namespace corvane::app
