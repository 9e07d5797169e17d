#include "testing/fake_scheduler.h"

namespace corvane::testing {

class FakeScheduler::FakeQueue final : public TaskQueue {
 public:
  FakeQueue(FakeScheduler& s, std::string label) : scheduler_(s), label_(std::move(label)) {}
  void post(Task task) override { scheduler_.enqueue(Duration(0), std::move(task), nullptr, this); }
  TaskHandle postDelayed(Duration delay, Task task) override {
    auto c = std::make_shared<std::atomic<bool>>(false);
    scheduler_.enqueue(delay, std::move(task), c, this);
    return TaskHandle(c);
  }
  bool runsTasksInCurrentSequence() const override {
    std::lock_guard lock(scheduler_.mutex_);
    return scheduler_.running_ == this;
  }
  const std::string& label() const override { return label_; }
  // Runs everything due first, so the task sees the queue's earlier work done.
  void runSync(Task task) override {
    if (runsTasksInCurrentSequence()) {
      task();
      return;
    }
    scheduler_.runUntilIdle();
    task();
  }

 private:
  FakeScheduler& scheduler_;
  std::string label_;
};

FakeScheduler::FakeScheduler(WallTime start) : wallStart_(start) {}

WallTime FakeScheduler::now() const {
  std::lock_guard lock(mutex_);
  return wallStart_ + std::chrono::duration_cast<WallTime::duration>(elapsed_);
}

MonoTime FakeScheduler::monotonicNow() const {
  std::lock_guard lock(mutex_);
  // A fixed origin far from zero so subtractions never underflow.
  return MonoTime(std::chrono::hours(24 * 365)) + elapsed_;
}

std::shared_ptr<TaskQueue> FakeScheduler::createQueue(std::string label) {
  return std::make_shared<FakeQueue>(*this, std::move(label));
}

void FakeScheduler::enqueue(Duration delay, Task task, std::shared_ptr<std::atomic<bool>> cancelled,
                            const FakeQueue* q) {
  std::lock_guard lock(mutex_);
  tasks_.emplace(std::make_pair(elapsed_ + delay, seq_++), Entry{std::move(task), std::move(cancelled), q});
}

bool FakeScheduler::runOneDue() {
  Entry entry;
  {
    std::lock_guard lock(mutex_);
    auto it = tasks_.begin();
    if (it == tasks_.end() || it->first.first > elapsed_) return false;
    entry = std::move(it->second);
    tasks_.erase(it);
    if (entry.cancelled && entry.cancelled->load()) return true;
    running_ = entry.queue;
  }
  entry.task();
  std::lock_guard lock(mutex_);
  running_ = nullptr;
  return true;
}

void FakeScheduler::runUntilIdle() {
  while (runOneDue()) {
  }
}

void FakeScheduler::fastForwardBy(Duration d) {
  Duration target;
  {
    std::lock_guard lock(mutex_);
    target = elapsed_ + d;
  }
  while (true) {
    runUntilIdle();
    std::lock_guard lock(mutex_);
    auto it = tasks_.begin();
    if (it == tasks_.end() || it->first.first > target) {
      elapsed_ = target;
      break;
    }
    elapsed_ = it->first.first;
  }
  runUntilIdle();
}

void FakeScheduler::setWallTime(WallTime t) {
  std::lock_guard lock(mutex_);
  wallStart_ = t - std::chrono::duration_cast<WallTime::duration>(elapsed_);
}

size_t FakeScheduler::pendingTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

}  // namespace corvane::testing
