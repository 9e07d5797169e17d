// "cache.json" (the note list shown before the store answers): any text
// decodes to notes or to nothing, the fast encoder agrees with the JSON
// writer, and the reduction for storage holds on whatever was decoded.
#include <cstdint>
#include <string_view>

#include "core/json.h"
#include "core/text.h"
#include "fuzz_check.h"
#include "notes/note.h"
#include "notes/store_cache.h"

using corvane::fuzzing::check;
using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto json = parseJson(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!json) return 0;
  auto list = notes::notesFromJson(*json);
  const std::string encoded = notes::encodeNotesJson(list);
  check(encoded == dumpCompact(notes::notesToJson(list)), "fast encoder agrees");
  auto back = parseJson(encoded);
  check(back.has_value(), "encoded list parses");
  check(notes::notesFromJson(*back) == list, "list survives a save and a reload");
  for (const auto& n : list) {
    auto reduced = notes::reduceForStorage(n);
    check(reduced.images.size() <= 2, "at most two images kept");
    check(isValidUtf8(notes::encodeNotesJson({reduced})), "reduced note is UTF-8");
  }
  return 0;
}
