#include "core/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "core/paths.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane {
namespace {

using corvane::testing::FailedWith;
using corvane::testing::HasValue;
using corvane::testing::IsOk;
using corvane::testing::modeOf;
using corvane::testing::TempDir;

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(WriteFileAtomic, WritesExactlyTheModeAskedDespiteTheUmask) {
  TempDir dir;
  mode_t saved = ::umask(077);
  EXPECT_THAT(writeFileAtomic(dir.path() / "a.json", "one", 0644), IsOk());
  ::umask(saved);
  EXPECT_EQ(modeOf(dir.path() / "a.json"), 0644u);
  EXPECT_THAT(writeFileAtomic(dir.path() / "a.json", "two"), IsOk());
  EXPECT_EQ(modeOf(dir.path() / "a.json"), 0600u);
  EXPECT_THAT(readFile(dir.path() / "a.json"), HasValue(std::string("two")));
  EXPECT_THAT(namesIn(dir.path()), ::testing::ElementsAre("a.json")) << "no temporary is left behind";
}

TEST(WriteFileAtomic, FailsWithTheSystemMessageAndChangesNothing) {
  TempDir dir;
  EXPECT_THAT(writeFileAtomic(dir.path() / "missing" / "a.json", "x"), FailedWith("No such file or directory"));
  // Replacing a folder fails; the folder stays and no temporary remains.
  fs::create_directory(dir.path() / "folder");
  EXPECT_FALSE(writeFileAtomic(dir.path() / "folder", "x").has_value());
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
  EXPECT_THAT(namesIn(dir.path()), ::testing::ElementsAre("folder"));
}

TEST(WriteFileAtomicVia, UsesTheNamedTemporaryAndKeepsTheOldContentOnFailure) {
  TempDir dir;
  const auto target = dir.path() / "pending.jsonl", temp = dir.path() / "pending.jsonl.tmp";
  // A stale temporary from a crash is simply overwritten.
  std::ofstream(temp) << "stale stale stale";
  EXPECT_THAT(writeFileAtomicVia(target, temp, "new\n"), IsOk());
  EXPECT_THAT(readFile(target), HasValue(std::string("new\n")));
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(modeOf(target), 0600u);

  fs::create_directory(temp);  // the temporary cannot be opened
  EXPECT_FALSE(writeFileAtomicVia(target, temp, "newer\n").has_value());
  EXPECT_THAT(readFile(target), HasValue(std::string("new\n")));
}

TEST(Files, ReadingAndFolders) {
  TempDir dir;
  std::ofstream(dir.path() / "big") << std::string(100, 'x');
  EXPECT_THAT(readFileLimited(dir.path() / "big", 99), FailedWith("file too large"));
  EXPECT_THAT(readFileLimited(dir.path() / "big", 100), HasValue(std::string(100, 'x')));
  EXPECT_THAT(readFile(dir.path()), FailedWith("Is a directory"));
  EXPECT_THAT(readFile(dir.path() / "none"), FailedWith("No such file or directory"));

  EXPECT_THAT(ensureDirectory(dir.path() / "a" / "b", 0700), IsOk());
  EXPECT_EQ(modeOf(dir.path() / "a" / "b"), 0700u);
  EXPECT_THAT(ensureDirectory(dir.path() / "a" / "b", 0755), IsOk());
  EXPECT_EQ(modeOf(dir.path() / "a" / "b"), 0700u) << "an existing folder keeps its mode";
  EXPECT_THAT(appendToFile(dir.path() / "log", "a"), IsOk());
  EXPECT_THAT(appendToFile(dir.path() / "log", "b"), IsOk());
  EXPECT_THAT(readFile(dir.path() / "log"), HasValue(std::string("ab")));
  EXPECT_EQ(modeOf(dir.path() / "log"), 0600u);
}

TEST(Paths, FollowHomeAndTheXdgVariables) {
  corvane::testing::TempHome home;
  EXPECT_EQ(dataDirectory(), home.path() / "Corvane");
  EXPECT_EQ(applicationSupportDirectory(), home.path() / ".local/share/Corvane");
  EXPECT_EQ(configDirectory(), home.path() / ".config/corvane");
  ::setenv("XDG_DATA_HOME", "/xdg/data", 1);
  ::setenv("XDG_CONFIG_HOME", "", 1);  // empty counts as unset
  EXPECT_EQ(applicationSupportDirectory(), fs::path("/xdg/data/Corvane"));
  EXPECT_EQ(configDirectory(), home.path() / ".config/corvane");
  ::setenv("HOME", "", 1);
  ::setenv("USERPROFILE", "/profile", 1);
  EXPECT_EQ(dataDirectory(), fs::path("/profile/Corvane"));
  ::unsetenv("USERPROFILE");
  EXPECT_EQ(dataDirectory(), fs::path("./Corvane"));
}

}  // namespace
}  // namespace corvane
