#include "shell/geometry.h"

#include <algorithm>
#include <charconv>
#include <cmath>


namespace corvane::shell {
namespace {

std::string number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A frame larger than this on any side is no real window.
constexpr double kLargestSide = 1e6;

}  // namespace

double intersectionArea(const Rect& a, const Rect& b) {
  double w = std::min(a.maxX(), b.maxX()) - std::max(a.x, b.x);
  double h = std::min(a.maxY(), b.maxY()) - std::max(a.y, b.y);
  return (w > 0 && h > 0) ? w * h : 0;
}

std::string frameText(const Rect& r) {
  return "{{" + number(r.x) + ", " + number(r.y) + "}, {" + number(r.width) + ", " + number(r.height) + "}}";
}

std::optional<Rect> parseFrameText(std::string_view text) {
  // Four numbers in two brace pairs; spaces optional.
  double v[4];
  size_t i = 0, pos = 0;
  auto skipSpaces = [&] {
    while (pos < text.size() && text[pos] == ' ') ++pos;
  };
  auto expect = [&](char c) {
    skipSpaces();
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  };
  auto readNumber = [&]() -> bool {
    skipSpaces();
    if (pos < text.size() && text[pos] == '+') ++pos;
    auto r = std::from_chars(text.data() + pos, text.data() + text.size(), v[i]);
    if (r.ec != std::errc()) return false;
    pos = static_cast<size_t>(r.ptr - text.data());
    ++i;
    return true;
  };
  if (!(expect('{') && expect('{') && readNumber() && expect(',') && readNumber() && expect('}') && expect(',') &&
        expect('{') && readNumber() && expect(',') && readNumber() && expect('}') && expect('}')))
    return std::nullopt;
  skipSpaces();
  if (pos != text.size()) return std::nullopt;
  for (double x : v)
    if (!std::isfinite(x) || std::fabs(x) > kLargestSide) return std::nullopt;
  if (v[2] <= 0 || v[3] <= 0) return std::nullopt;
  return Rect{v[0], v[1], v[2], v[3]};
}

Rect centredIn(const Size& size, const Rect& visible) {
  return {visible.x + (visible.width - size.width) / 2, visible.y + (visible.height - size.height) / 2, size.width,
          size.height};
}

Rect defaultFrame(const Rect& visible) {
  Size s{std::min(0.76 * visible.width, 1180.0), std::min(0.8 * visible.height, 800.0)};
  return centredIn(s, visible);
}

std::optional<size_t> bestScreen(const Rect& frame, const std::vector<Rect>& visibleFrames) {
  if (visibleFrames.empty()) return std::nullopt;
  size_t best = 0;
  double bestArea = 0;
  for (size_t i = 0; i < visibleFrames.size(); ++i) {
    double a = intersectionArea(frame, visibleFrames[i]);
    if (a > bestArea) {
      bestArea = a;
      best = i;
    }
  }
  return best;
}

Rect placeOnScreens(const Rect& frame, const std::vector<Rect>& visibleFrames) {
  auto index = bestScreen(frame, visibleFrames);
  if (!index) return frame;
  const Rect& vis = visibleFrames[*index];
  Rect r = frame;
  r.width = std::min(std::max(r.width, kMinimumWindowSize.width), vis.width);
  r.height = std::min(std::max(r.height, kMinimumWindowSize.height), vis.height);
  if (intersectionArea(r, vis) <= 0) {
    r.x = vis.x;
    r.y = vis.y;
  }
  r.x = std::min(std::max(r.x, vis.x), vis.maxX() - r.width);
  r.y = std::min(std::max(r.y, vis.y), vis.maxY() - r.height);
  return r;
}

}  // namespace corvane::shell
