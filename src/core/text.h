#pragma once
// UTF-8 helpers. Lengths are in bytes unless the name says code points.
#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

bool isValidUtf8(std::string_view text);

// Replaces every invalid sequence by U+FFFD so the text can be stored and shown.
std::string sanitizeUtf8(std::string_view text);

size_t codePointCount(std::string_view utf8);

// The first `count` code points (the whole text when it is shorter).
std::string_view prefixCodePoints(std::string_view utf8, size_t count);

// Longest prefix of at most `maxBytes` bytes that does not split a code point.
std::string_view prefixBytesAtBoundary(std::string_view utf8, size_t maxBytes);

// Decodes one code point at `i` (advancing it); invalid bytes decode as U+FFFD.
char32_t decodeCodePoint(std::string_view utf8, size_t& i);
void appendCodePoint(std::string& out, char32_t cp);

// Unicode white space (White_Space property) including newlines.
bool isUnicodeWhitespace(char32_t cp);
std::string_view trimUnicodeWhitespace(std::string_view utf8);

std::string toLowerAscii(std::string_view text);
bool equalsIgnoreCaseAscii(std::string_view a, std::string_view b);
bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);

// "&" -> "&amp;", then "<" -> "&lt;", then ">" -> "&gt;"; quotes stay.
std::string escapeHtmlText(std::string_view text);

}  // namespace corvane
