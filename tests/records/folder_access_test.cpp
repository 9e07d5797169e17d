#include "bridge/folder_access.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "core/regex.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::bridge {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvane::testing::FailedWith;
using corvane::testing::HasValue;

class FolderAccessTest : public ::testing::Test {
 protected:
  testing::FakeScheduler clock;
  FolderAccessBroker broker{clock};
  testing::TempDir dir;
  // TempDir may itself sit below a link (/tmp on some systems).
  fs::path real() const { return fs::canonical(dir.path()); }
};

TEST_F(FolderAccessTest, HandleIsALowerCaseUuidAndResolvesOnce) {
  auto grant = broker.grant(dir.path().string());
  ASSERT_TRUE(grant.has_value()) << grant.error();
  static const Regex kUuid("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
  EXPECT_TRUE(kUuid.matches(grant->folderHandle)) << grant->folderHandle;
  EXPECT_EQ(grant->displayPath, real().string());
  EXPECT_EQ(dumpCompact(grant->toJson()),
            R"({"folderHandle":")" + grant->folderHandle + R"(","displayPath":")" + real().string() + R"("})");

  EXPECT_THAT(broker.resolve(grant->folderHandle), HasValue(real().string()));
  EXPECT_THAT(broker.resolve(grant->folderHandle), FailedWith("folder authorization expired"));
}

TEST_F(FolderAccessTest, LifetimeIsSixHundredSeconds) {
  auto early = broker.grant(dir.path().string());
  auto late = broker.grant(dir.path().string());
  ASSERT_TRUE(early && late);
  EXPECT_NE(early->folderHandle, late->folderHandle);
  clock.fastForwardBy(599s);
  EXPECT_THAT(broker.resolve(early->folderHandle), HasValue(real().string()));
  clock.fastForwardBy(1s);  // exactly at the expiry: no longer later than now
  EXPECT_THAT(broker.resolve(late->folderHandle), FailedWith("folder authorization expired"));

  auto third = broker.grant(dir.path().string());
  ASSERT_TRUE(third);
  clock.fastForwardBy(601s);
  EXPECT_THAT(broker.resolve(third->folderHandle), FailedWith("folder authorization expired"));
}

TEST_F(FolderAccessTest, ExpiredEntriesGoAtTheNextGrant) {
  ASSERT_TRUE(broker.grant(dir.path().string()));
  ASSERT_TRUE(broker.grant(dir.path().string()));
  clock.fastForwardBy(700s);
  EXPECT_EQ(broker.entryCount(), 2u);  // not before
  ASSERT_TRUE(broker.grant(dir.path().string()));
  EXPECT_EQ(broker.entryCount(), 1u);
}

TEST_F(FolderAccessTest, UnknownHandlesFail) {
  EXPECT_THAT(broker.resolve(""), FailedWith("folder authorization expired"));
  EXPECT_THAT(broker.resolve("00000000-0000-4000-8000-000000000000"), FailedWith("folder authorization expired"));
  auto grant = broker.grant(dir.path().string());
  ASSERT_TRUE(grant);
  std::string upper = grant->folderHandle;
  for (auto& ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_THAT(broker.resolve(upper), FailedWith("folder authorization expired"));
}

TEST_F(FolderAccessTest, SymbolicLinksAreResolved) {
  fs::create_directories(dir.path() / "real" / "vault");
  fs::create_directory_symlink(dir.path() / "real", dir.path() / "link");
  fs::path expected = real() / "real" / "vault";

  auto viaLink = broker.grant((dir.path() / "link" / "vault").string());
  ASSERT_TRUE(viaLink.has_value()) << viaLink.error();
  EXPECT_EQ(viaLink->displayPath, expected.string());
  EXPECT_THAT(broker.resolve(viaLink->folderHandle), HasValue(expected.string()));

  auto dotted = broker.grant((dir.path() / "link" / "vault" / ".." / "vault" / "").string());
  ASSERT_TRUE(dotted.has_value());
  EXPECT_EQ(dotted->displayPath, expected.string());
}

TEST_F(FolderAccessTest, OnlyExistingFoldersAreGranted) {
  { std::ofstream(dir.path() / "file.txt") << "x"; }
  fs::create_symlink(dir.path() / "gone", dir.path() / "dangling");
  fs::create_symlink(dir.path() / "file.txt", dir.path() / "to-file");
  for (const std::string& path : {(dir.path() / "missing").string(), (dir.path() / "file.txt").string(),
                                  (dir.path() / "dangling").string(), (dir.path() / "to-file").string(),
                                  std::string(), std::string("a\0b", 3)}) {
    EXPECT_THAT(broker.grant(path), FailedWith("selected folder is unavailable")) << path;
  }
  EXPECT_EQ(broker.entryCount(), 0u);
}

TEST_F(FolderAccessTest, ConcurrentResolvesHandOutEachHandleOnce) {
  std::vector<std::string> handles;
  for (int i = 0; i < 50; ++i) handles.push_back(broker.grant(dir.path().string())->folderHandle);
  std::atomic<int> successes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (const auto& h : handles) {
        if (broker.resolve(h)) ++successes;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(successes.load(), 50);
}

}  // namespace
}  // namespace corvane::bridge
