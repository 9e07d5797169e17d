#pragma once
// The note record every part of the system exchanges, the body-save outcome,
// and the "age of now" used to sort a note the system just created or changed.
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/json.h"

namespace corvane::notes {

// One note as the tray knows it. The JSON form writes all nine keys in this
// field order; decoding is tolerant (missing or mistyped keys give defaults).
struct Note {
  std::string id;
  std::string name;
  // Plain text without the title line, lines joined by U+2028, at most 20000
  // code points; empty when not yet known.
  std::string preview;
  bool pinned = false;
  // Recency sort key: smaller is more recently changed.
  int64_t age = 0;
  std::vector<std::string> images;
  std::string previewHTML;
  bool bodyHydrated = false;
  bool nativeAttachmentsHydrated = false;

  bool operator==(const Note&) const = default;
};

Json noteToJson(const Note& note);
// Never fails: anything that is not an object decodes as a default Note.
Note noteFromJson(const Json& json);

Json notesToJson(const std::vector<Note>& notes);
// Non-object elements of the array are skipped; a non-array gives no notes.
std::vector<Note> notesFromJson(const Json& json);

// Result of a body save: how many native attachments were backed up first
// (always 0 for the folder store).
struct SetBodyOutcome {
  int64_t nativeAttachmentsBackedUp = 0;

  bool operator==(const SetBodyOutcome&) const = default;
};

Json setBodyOutcomeToJson(const SetBodyOutcome& outcome);

// Result of backing up one note's native attachments (filled by the Apple
// Notes store; the folder store never produces one).
struct NativeAttachmentBackup {
  std::vector<std::string> savedTokens;
  bool blockedByNonImage = false;
  int64_t failedCount = 0;
  bool hadEmptyExport = false;

  bool operator==(const NativeAttachmentBackup&) const = default;
};

Json nativeAttachmentBackupToJson(const NativeAttachmentBackup& backup);

// The age of now: -(seconds since the Unix epoch + the current time zone's UTC
// offset at that moment), truncated towards zero. Same scale as Apple Notes
// modification ages, so a freshly changed note sorts before every stored one.
int64_t ageOfNow(const Clock& clock);
// The same computation for a given moment (current time zone rules).
int64_t ageAt(WallTime time);

}  // namespace corvane::notes
