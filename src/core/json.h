#pragma once
// JSON values are nlohmann's ordered_json: members keep their insertion order,
// which is the field order of the records we write.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/result.h"

namespace corvane {

using Json = nlohmann::ordered_json;

// Parses JSON text; never throws. The message names the failure position.
// Linear in the input (also for objects with very many members); nesting
// deeper than kMaxJsonDepth fails. A repeated member name keeps its first
// position and its last value.
Result<Json> parseJson(std::string_view text);

inline constexpr size_t kMaxJsonDepth = 1024;

// Compact serialisation that never throws: invalid UTF-8 in strings is replaced
// by U+FFFD rather than failing.
std::string dumpCompact(const Json& value);
// Indented (2 spaces) serialisation, same replacement rule.
std::string dumpPretty(const Json& value);

// The text serialised by the JSON writer as the only element of an array, with
// the brackets removed; `""` when it cannot be serialised (invalid UTF-8).
std::string jsonStringLiteral(std::string_view text);

// Replaces raw U+2028 and U+2029 by their six-character escapes: JSON allows
// them but a script parser treats them as line ends.
std::string escapeLineSeparators(std::string text);

// Byte length of dumpCompact(value) computed without building the text.
// Returns SIZE_MAX when the value cannot be serialised (invalid UTF-8).
size_t compactJsonSize(const Json& value);

// Typed readers for tolerant decoding: a missing key or a wrong type gives nullopt.
const Json* member(const Json& object, std::string_view key);

// A JSON number that is exactly an integer in the int64 range: an integer, or
// a float with no fraction within ±2^53 (9.0 is 9, 9.5 is nothing).
std::optional<int64_t> exactInteger(const Json& value);

}  // namespace corvane
