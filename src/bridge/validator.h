#pragma once
// The argument validator: one schema per command the page may send. The table
// is also the authoritative list of command and argument names; nothing reaches
// a handler without passing here.
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "core/result.h"

namespace corvane::bridge {

// What one argument value must be.
struct Kind {
  enum Tag : uint8_t {
    String,          // text of 1..max bytes
    OptionalString,  // null, or text of 0..max bytes
    Strings,         // array of at most maxCount texts, each 1..max bytes
    Integer,         // finite number without fraction, |v| <= 2^53 - 1, not a boolean
    OptionalInteger, // null or Integer
    Boolean,         // true or false (not 0 or 1)
  };
  Tag tag;
  uint32_t max = 0;
  uint32_t maxCount = 0;

  bool accepts(const Json& value) const;
};

struct Field {
  std::string_view name;
  Kind kind;
  bool required;
};

struct Schema {
  std::string_view command;
  std::vector<Field> fields;  // in table order; also the order of the kind checks
  size_t sizeLimit;           // bytes of the arguments as compact JSON

  const Field* field(std::string_view name) const;
};

inline constexpr size_t kMaxCommandNameLength = 64;
inline constexpr int64_t kMaxSafeInteger = 9007199254740991;  // 2^53 - 1

class IPCValidator {
 public:
  // Success, or one of "unknown command", "unexpected argument", "missing
  // argument", "arguments too large", "invalid <name>". Pure and thread-safe.
  static Result<void> validate(std::string_view command, const Json& args);

  // The schema of a command, or nullptr when it is not in the table.
  static const Schema* schema(std::string_view command);
  // Every command name in the table, in catalogue order.
  static const std::vector<std::string_view>& commandNames();
};

}  // namespace corvane::bridge
