// The Linux folder watch on a real folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "core/files.h"
#include "platform/folder_watcher.h"
#include "testing/temp_home.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

class Recorder {
 public:
  void operator()(const FolderChange& change) {
    std::lock_guard lock(mutex_);
    for (const auto& n : change.names) names_.insert(n);
    gone_ = gone_ || change.folderGone;
    ++batches_;
    cv_.notify_all();
  }
  // Waits (up to 5 s) until `done` holds; returns whether it did.
  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(5), done);
  }
  bool saw(const std::string& name) { return names_.count(name) != 0; }
  bool gone() const { return gone_; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::set<std::string> names_;
  bool gone_ = false;
  int batches_ = 0;
};

TEST(InotifyFolderWatchTest, ReportsWritesCreationsRenamesAndDeletions) {
  corvane::testing::TempDir dir;
  auto recorder = std::make_shared<Recorder>();
  auto watch = makeInotifyFolderWatcher()->watch(dir.path(), [recorder](const FolderChange& c) { (*recorder)(c); });
  ASSERT_TRUE(watch.has_value()) << watch.error();

  ASSERT_TRUE(writeFileAtomic(dir.path() / "a.md", "A\n").has_value());
  EXPECT_TRUE(recorder->waitFor([&] { return recorder->saw("a.md"); }));
  { std::ofstream(dir.path() / "b.md", std::ios::app) << "more"; }
  EXPECT_TRUE(recorder->waitFor([&] { return recorder->saw("b.md"); }));
  fs::rename(dir.path() / "b.md", dir.path() / "c.md");
  EXPECT_TRUE(recorder->waitFor([&] { return recorder->saw("c.md"); }));
  fs::create_directories(dir.path() / "sub");
  fs::remove(dir.path() / "a.md");
  EXPECT_TRUE(recorder->waitFor([&] { return recorder->saw("sub"); }));
  EXPECT_TRUE((*watch)->alive());

  fs::remove_all(dir.path());
  EXPECT_TRUE(recorder->waitFor([&] { return recorder->gone(); }));
  EXPECT_FALSE((*watch)->alive());
}

TEST(InotifyFolderWatchTest, AMissingFolderOrAFileCannotBeWatched) {
  corvane::testing::TempDir dir;
  auto watcher = makeInotifyFolderWatcher();
  EXPECT_FALSE(watcher->watch(dir.path() / "missing", [](const FolderChange&) {}).has_value());
  ASSERT_TRUE(writeFileAtomic(dir.path() / "file", "x").has_value());
  EXPECT_FALSE(watcher->watch(dir.path() / "file", [](const FolderChange&) {}).has_value());
}

TEST(InotifyFolderWatchTest, AWatchCanBeStoppedFromItsOwnCallback) {
  corvane::testing::TempDir dir;
  std::mutex mutex;
  std::condition_variable cv;
  std::unique_ptr<FolderWatch> held;
  bool stopped = false;
  auto watch = makeInotifyFolderWatcher()->watch(dir.path(), [&](const FolderChange&) {
    std::unique_ptr<FolderWatch> self;
    {
      std::lock_guard lock(mutex);
      self = std::move(held);
    }
    self.reset();  // must neither deadlock nor crash
    std::lock_guard lock(mutex);
    stopped = true;
    cv.notify_all();
  });
  ASSERT_TRUE(watch.has_value());
  {
    std::lock_guard lock(mutex);
    held = std::move(*watch);
  }
  ASSERT_TRUE(writeFileAtomic(dir.path() / "x.md", "x").has_value());
  std::unique_lock lock(mutex);
  EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return stopped; }));
}

}  // namespace
}  // namespace corvane::platform
