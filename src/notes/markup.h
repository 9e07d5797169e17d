#pragma once
// Pure text functions over note-body markup (Apple Notes style HTML: one
// <div> per line, the first line is the title). They hold no state, are safe
// on any thread and stay linear in the input, so multi-megabyte bodies are fine.
// Text that is not valid UTF-8 is repaired (U+FFFD) before it is processed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::notes {

// Plain text of a body: line ends from </div> and <br>, "\n⸻\n" for rules, all
// other tags dropped, the five basic entities decoded once, ends trimmed.
std::string htmlToText(std::string_view html);

// The card's plain preview: the plain text without a first line that repeats
// the title, lines joined by U+2028, at most 20000 code points.
std::string previewText(std::string_view plain, std::string_view title);

// The card's sanitised rich preview (only a small set of tags, attributes and
// style declarations survive), cut at 900 counted characters; empty when the
// body has no formatting worth showing.
std::string richPreview(std::string_view html);

// Whether one CSS declaration ("font-weight: bold") survives in a rich preview.
bool keepStyleDeclaration(std::string_view declaration);

// The markup cut after `limit` counted characters without splitting a tag or
// an entity; image tags count nothing, other tags their length.
std::string truncateMarkup(std::string_view html, int64_t limit);

// The sources of the first `max` image tags, in document order.
std::vector<std::string> imageSources(std::string_view html, int64_t max);

// Unicode lower-casing (root locale), as the stores and previews compare texts.
std::string lowerCaseText(std::string_view text);

// The form in which titles are compared: lower-cased, split at white space,
// empty pieces dropped, joined by single spaces.
std::string comparableTitle(std::string_view text);

namespace detail {
// richPreview without its prefix shortcut (always runs every step on the
// whole body); the two must agree on every input. For tests and benchmarks.
std::string richPreviewOfWholeBody(std::string_view html);
}  // namespace detail

// Longest plain preview kept for a card, in code points.
inline constexpr size_t kPreviewTextLimit = 20000;
// Counted characters kept by a rich preview.
inline constexpr int64_t kRichPreviewLimit = 900;

}  // namespace corvane::notes
