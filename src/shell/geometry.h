#pragma once
// Window geometry in screen coordinates (top-left origin, y grows downwards),
// and the text form of a frame kept in the user defaults.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::shell {

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  Size size() const { return {width, height}; }
};

inline constexpr Size kMinimumWindowSize{620, 440};
inline constexpr Size kSettingsMinimumSize{980, 720};
inline constexpr Rect kFallbackVisibleFrame{0, 0, 1440, 900};

// Area of the intersection (0 when they do not overlap).
double intersectionArea(const Rect& a, const Rect& b);

// "{{x, y}, {w, h}}" with the shortest decimal forms.
std::string frameText(const Rect& r);
// The four numbers of a frame text; nullopt when it is not of that shape, a
// number is not finite, or the size is not positive (or absurdly large).
std::optional<Rect> parseFrameText(std::string_view text);

// The default frame: min(0.76 w, 1180) × min(0.8 h, 800), centred in `visible`.
Rect defaultFrame(const Rect& visible);

// Moves a frame onto the screen it overlaps most (the first one when none or a
// tie), sizes it at least the minimum and at most the screen, and clamps it in.
// With no screens the frame is returned unchanged.
Rect placeOnScreens(const Rect& frame, const std::vector<Rect>& visibleFrames);

// The index of the screen whose visible frame overlaps `frame` most (first on
// ties and when none overlaps); nullopt with no screens.
std::optional<size_t> bestScreen(const Rect& frame, const std::vector<Rect>& visibleFrames);

Rect centredIn(const Size& size, const Rect& visible);

}  // namespace corvane::shell
