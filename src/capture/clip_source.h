#pragma once
// Where a clip came from and how it is written into the note: link checks,
// the clip block, and the cleaning of copied HTML that carries a table. Pure
// text functions, linear in their input.
#include <optional>
#include <string>
#include <string_view>

namespace corvane::capture {

// The trimmed text when it is a usable link: no control character, a scheme
// that is not "javascript", "data" or "vbscript", and a host for http(s).
std::optional<std::string> validLink(std::optional<std::string_view> text);
// An http or https address (not trimmed).
bool isWebLink(std::string_view text);

// The markup appended to the note for a clip of `text` from `source`
// (an address, an application name or a file location; may be empty), or
// the sanitised `richHTML` when there is some.
std::string composeClip(std::string_view text, std::string_view source, std::optional<std::string_view> richHTML);

// Copied HTML reduced to a safe table (structure, emphasis, web links, numeric
// colspan/rowspan); nothing when the HTML has no table. A stray "<" (a tag
// left open at the end included) comes out escaped.
std::optional<std::string> sanitizeClipHTML(std::string_view html);

// The value of attribute `name` in a tag's attribute text (double or single
// quoted, name matched without regard to case).
std::optional<std::string> attributeValue(std::string_view name, std::string_view attributes);

// The source address carried by copied HTML: a "SourceURL:" header line, else
// a <base href>.
std::optional<std::string> htmlSourceLink(std::string_view html);

}  // namespace corvane::capture
