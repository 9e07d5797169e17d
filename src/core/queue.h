#pragma once
// Work queues. A serial queue runs its tasks one at a time in post order on one
// thread; state that a serial queue owns is touched only from its tasks (check
// with runsTasksInCurrentSequence()). A concurrent queue runs tasks in parallel.
// The main queue is driven by whichever thread calls run()/runReady() (the shell's
// event loop, or the headless runner).
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"

namespace corvane {

using Task = std::function<void()>;

// Handle to a delayed task. Destroying or resetting the handle cancels the task
// unless it has already started; detach() lets it run regardless.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
  TaskHandle(TaskHandle&&) noexcept = default;
  TaskHandle& operator=(TaskHandle&& other) noexcept {
    if (this != &other) {
      cancel();
      cancelled_ = std::move(other.cancelled_);
    }
    return *this;
  }
  TaskHandle(const TaskHandle&) = delete;
  TaskHandle& operator=(const TaskHandle&) = delete;
  ~TaskHandle() { cancel(); }

  void cancel() {
    if (cancelled_) cancelled_->store(true);
    cancelled_.reset();
  }
  void detach() { cancelled_.reset(); }
  bool active() const { return cancelled_ != nullptr; }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

class TaskQueue {
 public:
  virtual ~TaskQueue() = default;
  virtual void post(Task task) = 0;
  [[nodiscard]] virtual TaskHandle postDelayed(Duration delay, Task task) = 0;
  virtual bool runsTasksInCurrentSequence() const = 0;
  virtual const std::string& label() const = 0;
  // Runs the task on the queue and returns when it has run; runs it inline when
  // already on the queue (so a task may call runSync on its own queue).
  virtual void runSync(Task task);
};

// A serial queue with a thread of its own, started on first post.
class SerialQueue final : public TaskQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue() override;
  void post(Task task) override;
  TaskHandle postDelayed(Duration delay, Task task) override;
  bool runsTasksInCurrentSequence() const override;
  const std::string& label() const override { return label_; }
  // Blocks until every task posted before the call has run (delayed ones excluded).
  void flush();

 private:
  void loop();
  void ensureThread();
  std::string label_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> ready_;
  std::multimap<MonoTime, std::pair<Task, std::shared_ptr<std::atomic<bool>>>> delayed_;
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
  bool stopping_ = false;
};

// A concurrent queue: a pool that grows up to maxThreads while all workers are
// busy (long AI runs must not starve short imports). Workers stay for the
// queue's lifetime; the pool only ever holds as many as were busy at once.
class ConcurrentQueue final : public TaskQueue {
 public:
  explicit ConcurrentQueue(std::string label, size_t maxThreads = 32);
  ~ConcurrentQueue() override;
  void post(Task task) override;
  TaskHandle postDelayed(Duration delay, Task task) override;
  bool runsTasksInCurrentSequence() const override;
  const std::string& label() const override { return label_; }
  // Blocks until no task is queued or running.
  void waitIdle();

 private:
  void worker();
  std::string label_;
  size_t maxThreads_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable idleCv_;
  std::deque<Task> ready_;
  std::vector<std::thread> threads_;
  std::vector<std::thread::id> ids_;
  size_t idle_ = 0;
  size_t running_ = 0;
  bool stopping_ = false;
  std::unique_ptr<SerialQueue> timer_;  // delays, then hands the task over
};

// The main queue: tasks run on the thread that drives it. The desktop shell
// installs a wake-up callback that schedules runReady() in its event loop; the
// headless runner calls run() itself.
class MainQueue final : public TaskQueue {
 public:
  explicit MainQueue(std::string label = "com.corvane.main");
  void post(Task task) override;
  TaskHandle postDelayed(Duration delay, Task task) override;
  bool runsTasksInCurrentSequence() const override;
  const std::string& label() const override { return label_; }

  // Declares the calling thread the main thread.
  void bindToCurrentThread();
  void setWakeup(std::function<void()> wakeup);
  // Runs every task that is due now; returns the time until the next delayed
  // task, or a negative duration when there is none.
  Duration runReady();
  // Runs tasks until quit() is called.
  void run();
  void quit();

 private:
  std::string label_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> ready_;
  std::multimap<MonoTime, std::pair<Task, std::shared_ptr<std::atomic<bool>>>> delayed_;
  std::function<void()> wakeup_;
  std::atomic<std::thread::id> threadId_{};
  bool quit_ = false;
};

// The process-wide main queue, created on first use and bound to the first
// thread that asks (replaceable in tests).
MainQueue& mainQueue();
bool isMainThread();

}  // namespace corvane
