#include "capture/accelerator.h"

#include <array>
#include <utility>
#include <vector>

namespace corvane::capture {
namespace {

using namespace platform;

struct KeyName {
  std::string_view name;
  uint16_t code;
};

// Key names in table order; the reverse lookup takes the first name of a code.
constexpr std::array<KeyName, 68> kKeys = {{
    {"0", 29}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"5", 23}, {"6", 22}, {"7", 26}, {"8", 28}, {"9", 25},
    {"A", 0}, {"B", 11}, {"C", 8}, {"D", 2}, {"E", 14}, {"F", 3}, {"G", 5}, {"H", 4}, {"I", 34}, {"J", 38},
    {"K", 40}, {"L", 37}, {"M", 46},
    {"N", 45}, {"O", 31}, {"P", 35}, {"Q", 12}, {"R", 15}, {"S", 1}, {"T", 17}, {"U", 32}, {"V", 9}, {"W", 13},
    {"X", 7}, {"Y", 16}, {"Z", 6},
    {"Space", 49}, {"Enter", 36}, {"Return", 36}, {"Tab", 48}, {"Backspace", 51},
    {"Left", 123}, {"Right", 124}, {"Down", 125}, {"Up", 126},
    {"`", 50}, {"-", 27}, {"=", 24}, {"[", 33}, {"]", 30}, {"\\", 42}, {";", 41}, {"'", 39}, {",", 43}, {".", 47},
    {"/", 44},
    {"F1", 122}, {"F2", 120}, {"F3", 99}, {"F4", 118}, {"F5", 96}, {"F6", 97}, {"F7", 98}, {"F8", 100},
    {"F9", 101}, {"F10", 109}, {"F11", 103}, {"F12", 111},
}};

uint32_t modifierForPiece(std::string_view piece) {
  if (piece == "Cmd" || piece == "Command" || piece == "Super" || piece == "Meta") return kModCommand;
  if (piece == "Ctrl" || piece == "Control") return kModControl;
  if (piece == "Option" || piece == "Alt" || piece == "Opt") return kModOption;
  if (piece == "Shift") return kModShift;
  return 0;
}

// Splits on "+", keeping empty pieces (the strict reader refuses them).
std::vector<std::string_view> splitPlus(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (true) {
    size_t plus = text.find('+', start);
    pieces.push_back(text.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start));
    if (plus == std::string_view::npos) break;
    start = plus + 1;
  }
  return pieces;
}

}  // namespace

std::optional<uint16_t> keyCodeForName(std::string_view name) {
  for (const auto& key : kKeys)
    if (key.name == name) return key.code;
  if (name.size() == 1) {
    char c = name[0];
    if (c >= 'a' && c <= 'z') {
      char upper = static_cast<char>(c - 'a' + 'A');
      return keyCodeForName(std::string_view(&upper, 1));
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> keyNameForCode(uint16_t code) {
  if (code == 36) return "Return";
  for (const auto& key : kKeys)
    if (key.code == code) return key.name;
  return std::nullopt;
}

std::optional<Accelerator> parseAccelerator(std::string_view text) {
  uint32_t modifiers = 0;
  std::optional<std::string_view> key;
  for (auto piece : splitPlus(text)) {
    if (piece.empty()) continue;
    if (uint32_t m = modifierForPiece(piece)) {
      modifiers |= m;
    } else {
      key = piece;
    }
  }
  if (!key) return std::nullopt;
  auto code = keyCodeForName(*key);
  if (!code) return std::nullopt;
  return Accelerator{*code, modifiers};
}

uint32_t modifiersToFlags(uint32_t modifiers) {
  uint32_t flags = 0;
  if (modifiers & kModCommand) flags |= kFlagCommand;
  if (modifiers & kModShift) flags |= kFlagShift;
  if (modifiers & kModOption) flags |= kFlagOption;
  if (modifiers & kModControl) flags |= kFlagControl;
  return flags;
}

uint32_t flagsToModifiers(uint32_t flags) {
  uint32_t modifiers = 0;
  if (flags & kFlagCommand) modifiers |= kModCommand;
  if (flags & kFlagShift) modifiers |= kModShift;
  if (flags & kFlagOption) modifiers |= kModOption;
  if (flags & kFlagControl) modifiers |= kModControl;
  return modifiers;
}

std::string acceleratorText(std::string_view keyName, uint32_t flags) {
  std::string out;
  auto add = [&out](std::string_view piece) {
    if (!out.empty()) out += '+';
    out += piece;
  };
  if (flags & kFlagCommand) add("Cmd");
  if (flags & kFlagControl) add("Ctrl");
  if (flags & kFlagOption) add("Option");
  if (flags & kFlagShift) add("Shift");
  add(keyName);
  return out;
}

Result<Accelerator> parseBindableAccelerator(std::string_view text) {
  uint32_t modifiers = 0;
  std::optional<uint16_t> code;
  for (auto piece : splitPlus(text)) {
    if (piece.empty()) return fail(std::string(kNotAShortcut));
    if (uint32_t m = modifierForPiece(piece)) {
      if (modifiers & m) return fail(std::string(kNotAShortcut));
      modifiers |= m;
      continue;
    }
    if (code) return fail(std::string(kNotAShortcut));  // two keys
    code = keyCodeForName(piece);
    if (!code) return fail(std::string(kNotAShortcut));
  }
  if (!code) return fail(std::string(kNotAShortcut));
  if ((modifiers & ~kModShift) == 0) return fail(std::string(kPlainKeyRefusal));
  return Accelerator{*code, modifiers};
}

}  // namespace corvane::capture
