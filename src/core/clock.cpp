#include "core/clock.h"

namespace corvane {

namespace {
class SystemClock final : public Clock {
 public:
  WallTime now() const override { return std::chrono::system_clock::now(); }
  MonoTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
};
}  // namespace

Clock& systemClock() {
  // Never destroyed: work still running on background queues at exit may ask
  // for the time after static destructors have run.
  static SystemClock* clock = new SystemClock;
  return *clock;
}

int64_t unixMillis(WallTime t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

double unixSeconds(WallTime t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

WallTime fromUnixSeconds(double seconds) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace corvane
