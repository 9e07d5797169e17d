#pragma once
// Shortcut vocabulary: the accelerator text grammar ("Option+C", "Cmd+Shift+F12"),
// the key table that is capture's internal key-code space, and the masks.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "platform/input_service.h"

namespace corvane::capture {

struct Accelerator {
  uint16_t keyCode = 0;
  uint32_t modifiers = 0;  // platform::kMod… bits
  bool operator==(const Accelerator&) const = default;
};

// Lenient parse of stored text: pieces split on "+" (empty ones dropped),
// modifiers compared exactly and allowed to repeat, the last other piece is
// the key. Nothing when there is no key or the key is not in the table.
std::optional<Accelerator> parseAccelerator(std::string_view text);

// Exact name, else the upper-case form of a single ASCII character.
std::optional<uint16_t> keyCodeForName(std::string_view name);
// The first name with the code ("Return" for 36).
std::optional<std::string_view> keyNameForCode(uint16_t code);

// kMod… mask to kFlag… mask.
uint32_t modifiersToFlags(uint32_t modifiers);
// kFlag… mask to kMod… mask.
uint32_t flagsToModifiers(uint32_t flags);

// The accelerator text for a captured key: "Cmd", "Ctrl", "Option", "Shift"
// (in this order, those held), then the key name, joined by "+".
std::string acceleratorText(std::string_view keyName, uint32_t flags);

// What "set_binding" accepts as a global shortcut: well-formed text (no
// empty piece, no repeated modifier, exactly one key from the table) with
// Ctrl, Alt/Option or Super/Cmd. A bare key or Shift+key would be taken from
// every application.
Result<Accelerator> parseBindableAccelerator(std::string_view text);

inline constexpr std::string_view kPlainKeyRefusal =
    "Choose a shortcut with Ctrl, Alt or Super — a plain key would be taken from every application.";
inline constexpr std::string_view kNotAShortcut =
    "That is not a shortcut — use Ctrl, Alt or Super with one key, such as Alt+C.";

inline constexpr uint16_t kKeyEscape = 53;

}  // namespace corvane::capture
