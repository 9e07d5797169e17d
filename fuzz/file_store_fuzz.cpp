// The folder store reads files any program may have written: the title comes
// from the first non-empty line. Listing, reading and renaming a note whose
// file holds any bytes never fault, a rename keeps the rest of the file, and
// ids made from any title pass the id rule.
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "core/text.h"
#include "fuzz_check.h"
#include "notes/file_store.h"

using corvane::fuzzing::check;
using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  static const auto root = corvane::fuzzing::privateHome() / "vault";
  static notes::FileStore store(root);
  std::filesystem::create_directories(root);

  const std::string stem = notes::noteIdStem(text);
  check(notes::isWellFormedNoteId(stem), "stem is a well-formed id");
  (void)notes::isWellFormedNoteId(text);

  {
    std::ofstream out(root / "note.md", std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  auto listed = store.listNotes(5);
  check(listed.has_value() && listed->size() == 1, "the note is listed");
  (void)store.plainText("note");
  auto body = store.body("note");
  if (isValidUtf8(text)) check(body.has_value() && *body == text, "body reads back");
  else check(!body && body.error() == "cannot read note: the file is not valid UTF-8 text",
             "invalid UTF-8 refused with its message");
  if (store.renameNote("note", "Renamed")) {
    auto after = store.listNotes(5);
    // (A first line that starts with other white space, such as U+2028, is
    // shown as it is, markup included, so only containment is certain.)
    check(after && after->size() == 1 && after->front().name.find("Renamed") != std::string::npos,
          "rename gives the new title");
  }
  return 0;
}
