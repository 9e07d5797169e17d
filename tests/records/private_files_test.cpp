#include "records/private_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "core/paths.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::records {
namespace {

namespace fs = std::filesystem;
using corvane::testing::FailedWith;
using corvane::testing::IsOk;
using corvane::testing::modeOf;

class PrivateFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { previousUmask_ = ::umask(022); }
  void TearDown() override { ::umask(previousUmask_); }
  testing::TempHome home;
  mode_t previousUmask_ = 0;
};

TEST_F(PrivateFilesTest, EnsurePrivateDirectoryCreatesEveryMissingLevelPrivate) {
  fs::path deep = dataDirectory() / "Media" / "thumb";
  ASSERT_THAT(ensurePrivateDirectory(deep), IsOk());
  EXPECT_EQ(modeOf(dataDirectory()), 0700u);
  EXPECT_EQ(modeOf(dataDirectory() / "Media"), 0700u);
  EXPECT_EQ(modeOf(deep), 0700u);
  // The existing home is not touched.
  fs::permissions(home.path(), fs::perms(0755));
  ASSERT_THAT(ensurePrivateDirectory(dataDirectory() / "Other"), IsOk());
  EXPECT_EQ(modeOf(home.path()), 0755u);
}

TEST_F(PrivateFilesTest, EnsurePrivateDirectoryTightensAnExistingFolder) {
  fs::create_directories(dataDirectory());
  fs::permissions(dataDirectory(), fs::perms(0777));
  ASSERT_THAT(ensurePrivateDirectory(dataDirectory()), IsOk());
  EXPECT_EQ(modeOf(dataDirectory()), 0700u);
  ASSERT_THAT(ensurePrivateDirectory(dataDirectory().string() + "/"), IsOk());
}

TEST_F(PrivateFilesTest, EnsurePrivateDirectoryOverAFileFails) {
  home.write("Corvane", "x");
  EXPECT_THAT(ensurePrivateDirectory(dataDirectory()), FailedWith("Not a directory"));
  EXPECT_THAT(ensurePrivateDirectory(dataDirectory() / "Media"), FailedWith("Not a directory"));
}

TEST_F(PrivateFilesTest, WritePrivateFileReplacesAWideFile) {
  fs::path file = dataDirectory() / "notifications.json";
  home.write("Corvane/notifications.json", "old");
  fs::permissions(file, fs::perms(0666));
  fs::permissions(dataDirectory(), fs::perms(0755));
  ASSERT_THAT(writePrivateFile("new", file), IsOk());
  EXPECT_EQ(home.read("Corvane/notifications.json"), "new");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(dataDirectory()), 0700u);
}

TEST_F(PrivateFilesTest, MakeFilePrivate) {
  home.write("Corvane/REQUEST.md", "x");
  fs::permissions(dataDirectory() / "REQUEST.md", fs::perms(0644));
  ASSERT_THAT(makeFilePrivate(dataDirectory() / "REQUEST.md"), IsOk());
  EXPECT_EQ(modeOf(dataDirectory() / "REQUEST.md"), 0600u);
  EXPECT_THAT(makeFilePrivate(dataDirectory() / "missing"), FailedWith("No such file or directory"));
}

TEST_F(PrivateFilesTest, IsInsideDataDirectory) {
  const fs::path h = home.path();
  struct Case {
    fs::path location;
    bool inside;
  } cases[] = {
      {h / "Corvane", true},
      {h / "Corvane/", true},
      {h / "Corvane" / "runs" / "Plan", true},
      {h / "Corvane" / "." / "runs" / ".." / "x", true},
      {h / "Corvane" / ".." / "Documents", false},
      {h / "CorvaneOther" / "x", false},  // a shared text prefix is not enough
      {h / "Corv", false},
      {h, false},
      {"/", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isInsideDataDirectory(c.location), c.inside) << c.location;
}

TEST_F(PrivateFilesTest, HardeningWalkSkipsSymbolicLinks) {
  testing::TempDir outside;
  fs::path outsideFile = outside.path() / "shared.txt";
  { std::ofstream(outsideFile) << "x"; }
  fs::permissions(outsideFile, fs::perms(0644));
  fs::permissions(outside.path(), fs::perms(0755));

  fs::path data = dataDirectory();
  home.write("Corvane/settings.json", "{}");
  home.write("Corvane/Media/abc.png", "png");
  home.write("Corvane/runs/Plan/deep/RESULT.md", "r");
  fs::create_directories(data / "locked");
  fs::permissions(data, fs::perms(0755));
  fs::permissions(data / "settings.json", fs::perms(0644));
  fs::permissions(data / "Media" / "abc.png", fs::perms(0755));
  fs::permissions(data / "runs" / "Plan" / "deep" / "RESULT.md", fs::perms(0666));
  fs::permissions(data / "runs" / "Plan", fs::perms(0775));
  fs::create_directory_symlink(outside.path(), data / "linked-folder");
  fs::create_symlink(outsideFile, data / "linked-file");
  home.write("Corvane/locked/inner.txt", "i");
  fs::permissions(data / "locked" / "inner.txt", fs::perms(0644));
  fs::permissions(data / "locked", fs::perms(0));

  hardenDataDirectory();

  EXPECT_EQ(modeOf(data), 0700u);
  EXPECT_EQ(modeOf(data / "settings.json"), 0600u);
  EXPECT_EQ(modeOf(data / "Media"), 0700u);
  EXPECT_EQ(modeOf(data / "Media" / "abc.png"), 0600u);
  EXPECT_EQ(modeOf(data / "runs" / "Plan"), 0700u);
  EXPECT_EQ(modeOf(data / "runs" / "Plan" / "deep" / "RESULT.md"), 0600u);
  EXPECT_EQ(modeOf(data / "locked"), 0700u);
  EXPECT_EQ(modeOf(data / "locked" / "inner.txt"), 0600u);
  // What the links point to is not ours to change.
  EXPECT_EQ(modeOf(outside.path()), 0755u);
  EXPECT_EQ(modeOf(outsideFile), 0644u);
}

TEST_F(PrivateFilesTest, HardeningWithoutADataDirectoryCreatesNothing) {
  hardenDataDirectory();
  EXPECT_FALSE(fs::exists(dataDirectory()));
}

}  // namespace
}  // namespace corvane::records
