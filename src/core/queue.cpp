#include "core/queue.h"

#include <future>

namespace corvane {

void TaskQueue::runSync(Task task) {
  if (runsTasksInCurrentSequence()) {
    task();
    return;
  }
  // The waiter is released when the posted closure is destroyed: after it
  // ran, or when a queue that is shutting down drops it unrun.
  struct Release {
    std::promise<void> done;
    ~Release() { done.set_value(); }
  };
  auto release = std::make_shared<Release>();
  auto future = release->done.get_future();
  post([release, &task] { task(); });
  release.reset();
  future.wait();
}

namespace {
thread_local const TaskQueue* tlsCurrentQueue = nullptr;

struct CurrentQueueScope {
  const TaskQueue* saved;
  explicit CurrentQueueScope(const TaskQueue* q) : saved(tlsCurrentQueue) { tlsCurrentQueue = q; }
  ~CurrentQueueScope() { tlsCurrentQueue = saved; }
};
}  // namespace

// ---- SerialQueue

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
  }
}

void SerialQueue::ensureThread() {
  if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
}

void SerialQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    ready_.push_back(std::move(task));
    ensureThread();
  }
  cv_.notify_one();
}

TaskHandle SerialQueue::postDelayed(Duration delay, Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return TaskHandle();
    delayed_.emplace(std::chrono::steady_clock::now() + delay, std::make_pair(std::move(task), cancelled));
    ensureThread();
  }
  cv_.notify_one();
  return TaskHandle(cancelled);
}

bool SerialQueue::runsTasksInCurrentSequence() const { return tlsCurrentQueue == this; }

void SerialQueue::flush() {
  if (runsTasksInCurrentSequence()) return;
  runSync([] {});
}

void SerialQueue::loop() {
  CurrentQueueScope scope(this);
  std::unique_lock lock(mutex_);
  while (true) {
    auto now = std::chrono::steady_clock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      auto node = delayed_.extract(delayed_.begin());
      auto& [task, cancelled] = node.mapped();
      if (!cancelled->load()) {
        auto flag = cancelled;
        Task wrapped = [t = std::move(task), flag] {
          if (!flag->load()) t();
        };
        ready_.push_back(std::move(wrapped));
      }
    }
    if (stopping_) return;
    if (!ready_.empty()) {
      Task task = std::move(ready_.front());
      ready_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // destroy captures outside the lock
      lock.lock();
      continue;
    }
    if (delayed_.empty()) cv_.wait(lock);
    else cv_.wait_until(lock, delayed_.begin()->first);
  }
}

// ---- ConcurrentQueue

ConcurrentQueue::ConcurrentQueue(std::string label, size_t maxThreads)
    : label_(std::move(label)), maxThreads_(maxThreads) {}

ConcurrentQueue::~ConcurrentQueue() {
  timer_.reset();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) {
    if (t.get_id() == std::this_thread::get_id()) t.detach();
    else t.join();
  }
}

void ConcurrentQueue::post(Task task) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  ready_.push_back(std::move(task));
  if (idle_ < ready_.size() && threads_.size() < maxThreads_) {
    threads_.emplace_back([this] { worker(); });
    ids_.push_back(threads_.back().get_id());
  }
  cv_.notify_one();
}

TaskHandle ConcurrentQueue::postDelayed(Duration delay, Task task) {
  {
    std::lock_guard lock(mutex_);
    if (!timer_) timer_ = std::make_unique<SerialQueue>(label_ + ".timer");
  }
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto handle = timer_->postDelayed(delay, [this, cancelled, t = std::move(task)]() mutable {
    if (!cancelled->load()) post([cancelled, t = std::move(t)] {
      if (!cancelled->load()) t();
    });
  });
  handle.detach();
  return TaskHandle(cancelled);
}

bool ConcurrentQueue::runsTasksInCurrentSequence() const { return tlsCurrentQueue == this; }

void ConcurrentQueue::waitIdle() {
  std::unique_lock lock(mutex_);
  idleCv_.wait(lock, [&] { return ready_.empty() && running_ == 0; });
}

void ConcurrentQueue::worker() {
  CurrentQueueScope scope(this);
  std::unique_lock lock(mutex_);
  while (true) {
    ++idle_;
    cv_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
    --idle_;
    if (stopping_) return;
    Task task = std::move(ready_.front());
    ready_.pop_front();
    ++running_;
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
    --running_;
    if (ready_.empty() && running_ == 0) idleCv_.notify_all();
  }
}

// ---- MainQueue

MainQueue::MainQueue(std::string label) : label_(std::move(label)) {}

void MainQueue::post(Task task) {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(task));
    wake = wakeup_;
  }
  cv_.notify_all();
  if (wake) wake();
}

TaskHandle MainQueue::postDelayed(Duration delay, Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    delayed_.emplace(std::chrono::steady_clock::now() + delay, std::make_pair(std::move(task), cancelled));
    wake = wakeup_;
  }
  cv_.notify_all();
  if (wake) wake();
  return TaskHandle(cancelled);
}

bool MainQueue::runsTasksInCurrentSequence() const { return threadId_.load() == std::this_thread::get_id(); }

void MainQueue::bindToCurrentThread() { threadId_.store(std::this_thread::get_id()); }

void MainQueue::setWakeup(std::function<void()> wakeup) {
  std::lock_guard lock(mutex_);
  wakeup_ = std::move(wakeup);
}

Duration MainQueue::runReady() {
  std::deque<Task> batch;
  Duration next(-1);
  {
    std::lock_guard lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      auto node = delayed_.extract(delayed_.begin());
      auto& [task, cancelled] = node.mapped();
      if (!cancelled->load()) ready_.push_back([t = std::move(task), c = cancelled] {
        if (!c->load()) t();
      });
    }
    batch.swap(ready_);
    if (!delayed_.empty()) next = delayed_.begin()->first - now;
  }
  for (auto& task : batch) task();
  {
    std::lock_guard lock(mutex_);
    if (!ready_.empty()) next = Duration(0);
  }
  return next;
}

void MainQueue::run() {
  bindToCurrentThread();
  while (true) {
    Duration next = runReady();
    std::unique_lock lock(mutex_);
    if (quit_) {
      quit_ = false;
      return;
    }
    if (!ready_.empty()) continue;
    if (next < Duration(0) && delayed_.empty()) cv_.wait(lock);
    else if (!delayed_.empty()) cv_.wait_until(lock, delayed_.begin()->first);
  }
}

void MainQueue::quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
}

MainQueue& mainQueue() {
  static MainQueue* queue = [] {
    auto* q = new MainQueue();
    q->bindToCurrentThread();
    return q;
  }();
  return *queue;
}

bool isMainThread() { return mainQueue().runsTasksInCurrentSequence(); }

}  // namespace corvane
