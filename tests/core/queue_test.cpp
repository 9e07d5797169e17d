#include "core/queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "core/crypto.h"
#include "core/regex.h"
#include "testing/fake_scheduler.h"

namespace corvane {
namespace {

using ::testing::ElementsAre;
using corvane::testing::FakeScheduler;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(SerialQueue, RunsTasksOneAtATimeInPostOrder) {
  SerialQueue queue("test.serial");
  std::vector<int> order;  // owned by the queue
  std::atomic<int> running{0}, overlaps{0};
  for (int i = 0; i < 1000; ++i)
    queue.post([&, i] {
      if (running.fetch_add(1) != 0) ++overlaps;
      order.push_back(i);
      running.fetch_sub(1);
    });
  queue.flush();
  ASSERT_EQ(order.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(SerialQueue, RunSyncFromInsideTheQueueRunsInline) {
  SerialQueue queue("test.serial");
  std::vector<std::string> steps;
  queue.runSync([&] {
    EXPECT_TRUE(queue.runsTasksInCurrentSequence());
    queue.runSync([&] { steps.push_back("inner"); });
    steps.push_back("outer");
  });
  EXPECT_THAT(steps, ElementsAre("inner", "outer"));
  EXPECT_FALSE(queue.runsTasksInCurrentSequence());
}

TEST(SerialQueue, DestroyingTheHandleCancelsADelayedTask) {
  SerialQueue queue("test.serial");
  std::atomic<bool> cancelledRan{false};
  std::promise<void> later;
  {
    TaskHandle handle = queue.postDelayed(milliseconds(1), [&] { cancelledRan = true; });
  }
  // Due after the cancelled one: once it ran, the cancelled one had its turn.
  queue.postDelayed(milliseconds(20), [&] { later.set_value(); }).detach();
  later.get_future().wait();
  EXPECT_FALSE(cancelledRan.load());
}

TEST(SerialQueue, DetachedAndKeptHandlesRunInDueOrder) {
  SerialQueue queue("test.serial");
  std::vector<int> order;
  std::promise<void> done;
  TaskHandle kept = queue.postDelayed(milliseconds(10), [&] { order.push_back(2); });
  queue.postDelayed(milliseconds(1), [&] { order.push_back(1); }).detach();
  queue.postDelayed(milliseconds(30), [&] {
         order.push_back(3);
         done.set_value();
       })
      .detach();
  done.get_future().wait();
  EXPECT_THAT(order, ElementsAre(1, 2, 3));
}

TEST(ConcurrentQueue, RunsTasksInParallel) {
  ConcurrentQueue queue("test.concurrent", 4);
  std::promise<void> firstStarted;
  auto started = firstStarted.get_future().share();
  std::atomic<bool> overlapped{false};
  queue.post([&] { firstStarted.set_value(); std::this_thread::sleep_for(milliseconds(50)); });
  queue.post([&] { overlapped = started.wait_for(seconds(10)) == std::future_status::ready; });
  queue.waitIdle();
  EXPECT_TRUE(overlapped.load());
}

TEST(MainQueue, RunsPostedWorkOnTheThreadThatDrivesIt) {
  MainQueue main("test.main");
  main.bindToCurrentThread();
  std::thread::id ranOn;
  std::thread other([&] {
    EXPECT_FALSE(main.runsTasksInCurrentSequence());
    main.post([&] { ranOn = std::this_thread::get_id(); });
    main.postDelayed(milliseconds(5), [&] { main.quit(); }).detach();
  });
  other.join();
  main.run();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  // runSync from the bound thread runs inline.
  bool inline_ = false;
  main.runSync([&] { inline_ = true; });
  EXPECT_TRUE(inline_);
}

TEST(FakeScheduler, FastForwardRunsDelayedTasksAtTheirTimes) {
  FakeScheduler scheduler;
  auto queue = scheduler.createQueue("test.fake");
  std::vector<std::pair<int, Duration>> ran;
  const MonoTime start = scheduler.monotonicNow();
  const WallTime wallStart = scheduler.now();
  auto record = [&](int id) { return [&, id] { ran.emplace_back(id, scheduler.monotonicNow() - start); }; };
  TaskHandle a = queue->postDelayed(seconds(10), record(1));
  TaskHandle b = queue->postDelayed(seconds(5), record(2));
  TaskHandle c = queue->postDelayed(seconds(7), record(3));
  queue->post(record(0));
  c.cancel();
  scheduler.fastForwardBy(seconds(9));
  EXPECT_THAT(ran, ElementsAre(std::make_pair(0, Duration(0)), std::make_pair(2, Duration(seconds(5)))));
  scheduler.fastForwardBy(seconds(1));
  EXPECT_EQ(ran.back(), std::make_pair(1, Duration(seconds(10))));
  EXPECT_EQ(scheduler.now() - wallStart, seconds(10));
  EXPECT_EQ(scheduler.pendingTaskCount(), 0u);
}

TEST(FakeScheduler, TasksPostedWhileRunningRunInTheSamePass) {
  FakeScheduler scheduler;
  auto queue = scheduler.createQueue("test.fake");
  int depth = 0;
  queue->post([&] {
    EXPECT_TRUE(queue->runsTasksInCurrentSequence());
    queue->post([&] { depth = 2; });
    depth = 1;
  });
  scheduler.runUntilIdle();
  EXPECT_EQ(depth, 2);
}

TEST(Crypto, KnownDigestsAndRandomIdentifiers) {
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 incremental;
  incremental.update("a");
  incremental.update("bc");
  EXPECT_EQ(incremental.finish(), sha256("abc"));
  std::string uuid = newUuid();
  EXPECT_TRUE(Regex("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$").matches(uuid))
      << uuid;
  EXPECT_NE(newUuid(), uuid);
  EXPECT_EQ(randomHex(16).size(), 32u);
}

}  // namespace
}  // namespace corvane
