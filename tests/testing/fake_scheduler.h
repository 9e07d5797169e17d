#pragma once
// A fake scheduler is both the clock and the queues of a test: time only moves
// when the test says so, and tasks run on the test's thread when it asks.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/queue.h"

namespace corvane::testing {

class FakeScheduler final : public Clock {
 public:
  // Starts at 2026-01-15 12:00:00 UTC unless told otherwise.
  explicit FakeScheduler(WallTime start = fromUnixSeconds(1768478400));

  WallTime now() const override;
  MonoTime monotonicNow() const override;

  // A serial queue whose tasks run only inside runUntilIdle/fastForwardBy.
  std::shared_ptr<TaskQueue> createQueue(std::string label);

  // Runs every task that is due, including ones posted meanwhile.
  void runUntilIdle();
  // Moves time forward, running each delayed task at its due time.
  void fastForwardBy(Duration d);
  void setWallTime(WallTime t);
  size_t pendingTaskCount() const;

 private:
  class FakeQueue;
  struct Entry {
    Task task;
    std::shared_ptr<std::atomic<bool>> cancelled;
    const FakeQueue* queue;
  };
  void enqueue(Duration delay, Task task, std::shared_ptr<std::atomic<bool>> cancelled, const FakeQueue* q);
  bool runOneDue();

  mutable std::mutex mutex_;
  Duration elapsed_{0};
  WallTime wallStart_;
  uint64_t seq_ = 0;
  std::map<std::pair<Duration, uint64_t>, Entry> tasks_;
  const FakeQueue* running_ = nullptr;
};

}  // namespace corvane::testing
