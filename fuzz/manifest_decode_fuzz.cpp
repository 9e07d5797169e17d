// "media-manifest.json": decoding skips what it cannot use and never fails;
// what it keeps survives a save and a reload.
#include <cstdint>
#include <string_view>

#include "core/files.h"
#include "fuzz_check.h"
#include "media/media_librarian.h"

using corvane::fuzzing::check;
using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto entries = media::decodeManifest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (entries.empty()) return 0;
  static const auto file = corvane::fuzzing::privateHome() / "manifest.json";
  check(media::writeManifest(file, entries).has_value(), "manifest written");
  check(media::readManifest(file) == entries, "manifest survives a save and a reload");
  return 0;
}
