// "settings.json" is read at every start and may have been edited by hand or
// cut short: decoding never fails, and what it gives survives a save and a
// reload unchanged.
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "records/settings.h"

using corvane::fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto settings = corvane::records::decodeSettings(text);
  check(settings.gridAutoCount >= 1 && settings.gridAutoCount <= 60, "grid auto count clamped");
  check(settings.cardOrder.size() <= corvane::records::Settings::kMaxCardOrder, "card order capped");
  check(settings.cardOrder == corvane::records::cleanIds(settings.cardOrder), "card order clean");
  auto again = corvane::records::decodeSettings(corvane::records::encodeSettings(settings));
  check(again == settings, "save and reload keep the record");
  return 0;
}
