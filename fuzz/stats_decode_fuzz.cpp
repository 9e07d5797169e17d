// "stats.json": decoding never fails, counters stay within the range the page
// holds exactly, and a decoded record survives a save and a reload.
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "insights/stats.h"

using corvane::fuzzing::check;
using namespace corvane::insights;

namespace {
bool inRange(int64_t v) { return v >= -kMaxCounter && v <= kMaxCounter; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  bool decoded = false;
  StatsData d = decodeStats(text, &decoded);
  for (int64_t v : {d.thoughts, d.words, d.clips, d.followups, d.documents, d.builds, d.summons, d.focusSessions,
                    d.activeDays})
    check(inRange(v), "total within range");
  for (const auto& [_, day] : d.history)
    for (int64_t v : {day.thoughts, day.words, day.clips, day.followups, day.documents, day.builds, day.summons,
                      day.focusSessions})
      check(inRange(v), "day within range");
  const std::string once = encodeStats(d);
  bool again = false;
  StatsData e = decodeStats(once, &again);
  check(again, "encoded stats decode");
  check(encodeStats(e) == once, "save and reload keep the record");
  return 0;
}
