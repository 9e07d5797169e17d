// Clip source and composition on arbitrary bytes: the link checks, the clip
// block and the sanitiser must never crash, and what the sanitiser writes must
// hold no tag outside its list and no "<" that does not start one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "capture/clip_source.h"

namespace {

bool isKeptTagAt(std::string_view s, size_t lt) {
  static constexpr std::string_view kTags[] = {"table", "thead", "tbody", "tfoot", "tr", "td", "th", "br", "b",
                                               "strong", "i", "em", "span", "div", "p", "a", "ul", "ol", "li"};
  size_t i = lt + 1;
  if (i < s.size() && s[i] == '/') ++i;
  for (auto tag : kTags)
    if (s.substr(i, tag.size()) == tag && i + tag.size() < s.size() &&
        (s[i + tag.size()] == '>' || s[i + tag.size()] == ' '))
      return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  (void)corvane::capture::validLink(input);
  (void)corvane::capture::isWebLink(input);
  (void)corvane::capture::htmlSourceLink(input);
  size_t half = size / 2;
  (void)corvane::capture::composeClip(input.substr(0, half), input.substr(half), std::nullopt);
  if (auto clean = corvane::capture::sanitizeClipHTML(input)) {
    std::string_view out = *clean;
    for (size_t lt = out.find('<'); lt != std::string_view::npos; lt = out.find('<', lt + 1))
      if (!isKeptTagAt(out, lt)) std::abort();
  }
  return 0;
}
