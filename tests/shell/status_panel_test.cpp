#include "shell/status_panel.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "account/account_service.h"
#include "records/notices.h"
#include "shell/approval_dialog.h"

namespace corvane::shell {
namespace {

TEST(HudFrame, BesideThePointerOrAtTopAndAlwaysInsideTheScreen) {
  const Rect screen{100, 50, 1000, 800};  // x 100..1100, y 50..850
  const Size panel{200, 40};
  struct Case {
    double px, py;
    bool atTop;
    Rect want;
  } cases[] = {
      {500, 400, false, {514, 408, 200, 40}},   // right of and below the pointer
      {1090, 400, false, {892, 408, 200, 40}},  // pulled in from the right edge
      {500, 845, false, {514, 802, 200, 40}},   // and from the bottom
      {20, 10, false, {108, 58, 200, 40}},      // a pointer off this screen still lands inside
      {0, 0, true, {500, 94, 200, 40}},         // centred, 44 under the top
  };
  for (const auto& c : cases)
    EXPECT_EQ(hudFrame(screen, c.px, c.py, panel, c.atTop), c.want) << c.px << "," << c.py << " top " << c.atTop;
  // Wider than the screen: its start stays visible.
  EXPECT_EQ(hudFrame(screen, 500, 400, {1200, 40}, false).x, 108);
}

struct RecordingHud : platform::CursorHUD {
  std::mutex m;
  std::vector<std::tuple<std::string, bool, bool>> shown;
  void show(const std::string& text, bool success, bool atTop) override {
    std::lock_guard lock(m);
    shown.emplace_back(text, success, atTop);
  }
};

TEST(StatusPanels, NoticesAndAccountStatusesReachThePanelWithTheirStyle) {
  auto hud = std::make_shared<RecordingHud>();
  installStatusPanels(hud);
  EXPECT_EQ(platform::cursorHUD(), hud);
  records::showInStatusPanel("Run failed", true);
  account::showStatus("✓ Signed in");
  account::showStatus("✕ Sign-in link invalid — request a new one");
  records::showInStatusPanel("Saved", false);
  installStatusPanels(nullptr);
  records::showInStatusPanel("after", true);  // back to the log only
  account::showStatus("✓ later");
  EXPECT_EQ(platform::cursorHUD(), nullptr);
  using T = std::tuple<std::string, bool, bool>;
  EXPECT_EQ(hud->shown, (std::vector<T>{{"Run failed", false, false},
                                        {"✓ Signed in", true, false},
                                        {"✕ Sign-in link invalid — request a new one", false, false},
                                        {"Saved", true, false}}));
}

TEST(AskOnQueue, WorkerWaitsForTheAnswerGivenOnTheMainThread) {
  MainQueue main("test.main");
  main.bindToCurrentThread();
  // On the main thread itself the question runs at once.
  EXPECT_TRUE(askOnQueue(main, [] { return true; }));

  std::thread::id askedOn;
  bool answer = false;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    answer = askOnQueue(main, [&] {
      askedOn = std::this_thread::get_id();
      return true;
    });
    done = true;
    main.post([&] { main.quit(); });
  });
  main.run();
  worker.join();
  EXPECT_TRUE(done);
  EXPECT_TRUE(answer);
  EXPECT_EQ(askedOn, std::this_thread::get_id());
}

// A queue that is shutting down: every task is destroyed without running.
struct DiscardingQueue : TaskQueue {
  std::string name = "test.discarding";
  void post(Task task) override { Task dropped = std::move(task); }
  TaskHandle postDelayed(Duration, Task task) override {
    post(std::move(task));
    return {};
  }
  bool runsTasksInCurrentSequence() const override { return false; }
  const std::string& label() const override { return name; }
};

TEST(AskOnQueue, AQuestionDroppedUnrunIsDeclined) {
  DiscardingQueue queue;
  bool asked = false;
  EXPECT_FALSE(askOnQueue(queue, [&] { return asked = true; }));
  EXPECT_FALSE(asked);
}

}  // namespace
}  // namespace corvane::shell
