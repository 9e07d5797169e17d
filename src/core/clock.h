#pragma once
// Time is injected: code that expires, debounces or groups by day asks a Clock,
// so tests move time forward instead of sleeping.
#include <chrono>
#include <memory>

namespace corvane {

using WallTime = std::chrono::system_clock::time_point;
using MonoTime = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

class Clock {
 public:
  virtual ~Clock() = default;
  // Calendar time (for timestamps and day keys).
  virtual WallTime now() const = 0;
  // Monotonic time (for expiries, throttles and debounces).
  virtual MonoTime monotonicNow() const = 0;
};

// The real clocks of the machine.
Clock& systemClock();

// Milliseconds since 1970-01-01 UTC, truncated towards zero.
int64_t unixMillis(WallTime t);
double unixSeconds(WallTime t);
WallTime fromUnixSeconds(double seconds);

}  // namespace corvane
