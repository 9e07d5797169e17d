// Note bodies come from the page, other programs' files and the clipboard.
// Every markup function takes any bytes, answers valid UTF-8, and the rich
// preview's shortcut agrees with the full pass.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"
#include "fuzz_check.h"
#include "notes/markup.h"

using corvane::fuzzing::check;
using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int64_t limit = data[0] * 4;
  std::string_view html(reinterpret_cast<const char*>(data) + 1, size - 1);

  const std::string plain = notes::htmlToText(html);
  check(isValidUtf8(plain), "plain text is UTF-8");
  const std::string preview = notes::previewText(plain, notes::htmlToText(html.substr(0, html.find('\n'))));
  check(isValidUtf8(preview), "preview is UTF-8");
  const std::string rich = notes::richPreview(html);
  check(isValidUtf8(rich), "rich preview is UTF-8");
  check(rich == notes::detail::richPreviewOfWholeBody(html), "rich preview shortcut agrees");
  const std::string cut = notes::truncateMarkup(html, limit);
  check(cut.size() <= html.size() + 3 * html.size() / 2 + 16, "truncation does not grow the body");
  check(notes::truncateMarkup(cut, limit) == cut, "truncation is stable");
  for (const auto& src : notes::imageSources(html, 4)) check(isValidUtf8(src), "image source is UTF-8");
  (void)notes::keepStyleDeclaration(html.substr(0, 200));
  check(isValidUtf8(notes::lowerCaseText(html)), "lower case is UTF-8");
  const std::string title = notes::comparableTitle(html);
  check(notes::comparableTitle(title) == title, "comparable title is stable");
  return 0;
}
