#pragma once
// The three sample notes a new data directory starts with, and what they set.
#include <memory>
#include <string>
#include <vector>

#include "notes/note_store.h"

namespace corvane::notes {
class StoreCache;
}

namespace corvane::shell {

struct SampleNote {
  std::string name;
  std::string html;
  std::string plainText;
};

// "ToDo List", "Followup", "Raw Clips", in that order.
const std::vector<SampleNote>& sampleNotes();

struct SeedOutcome {
  std::vector<std::string> created;  // names created now
  std::string todoId, followupId, rawClipsId;  // empty when neither found nor created
  bool pinnedChanged = false;
};

// Finds or creates each sample in `store` (a created one is put at the front
// of `cache` without an event), then applies their settings in one update and
// lets the cache announce the grid when anything changed. Samples that cannot
// be created are skipped.
SeedOutcome seedSampleNotes(notes::NoteStore& store, notes::StoreCache* cache);

// Start-up's last step: on the first run of a data directory, marks it seeded
// (so seeding is tried once) and runs the seeding on a background queue.
void seedOnFirstRun();

}  // namespace corvane::shell
