#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "core/files.h"
#include "integration/login_item.h"
#include "testing/temp_home.h"

namespace corvane::integration {
namespace {

namespace fs = std::filesystem;

TEST(ExecQuoting, ReservedCharactersQuotedAndEscaped) {
  struct Case {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/usr/bin/corvane", "/usr/bin/corvane"},
      {"/opt/Cor vane/corvane", "\"/opt/Cor vane/corvane\""},
      {"/opt/100%/corvane", "/opt/100%%/corvane"},
      {"/opt/a b%c/corvane", "\"/opt/a b%%c/corvane\""},
      {"/opt/$HOME/x", "\"/opt/\\\\$HOME/x\""},
      {"/opt/say \"hi\"/x", "\"/opt/say \\\\\"hi\\\\\"/x\""},
      {"/opt/back\\slash/x", "\"/opt/back\\\\\\\\slash/x\""},
      {"/opt/`tick`/x", "\"/opt/\\\\`tick\\\\`/x\""},
      {"/opt/it's/x", "\"/opt/it's/x\""},
      {"/opt/ünï/x", "/opt/ünï/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoteExecArgument(c.path), std::string(c.exec)) << c.path;
  EXPECT_FALSE(quoteExecArgument("/opt/new\nline"));
  EXPECT_FALSE(quoteExecArgument("/opt/\xff"));
}

struct LoginItemTest : ::testing::Test {
  testing::TempHome home;
  fs::path folder() const { return home.path() / ".config" / "autostart"; }
  fs::path file() const { return folder() / kAutostartFileName; }
  LoginItem item(std::optional<std::string> exe) {
    return LoginItem({[this]() -> std::optional<fs::path> { return folder(); }, [exe] { return exe; }});
  }
};

TEST_F(LoginItemTest, EnableTwiceRewritesDisableRemovesNeverEnabledIsFine) {
  auto li = item("/opt/Corvane 100%/bin/corvane");
  EXPECT_TRUE(li.set(false));
  EXPECT_FALSE(li.enabled());
  ASSERT_TRUE(li.set(true));
  ASSERT_TRUE(li.set(true));
  EXPECT_TRUE(li.enabled());
  auto text = readFile(file());
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("\nExec=\"/opt/Corvane 100%%/bin/corvane\"\n"), std::string::npos);
  ASSERT_TRUE(li.set(false));
  EXPECT_FALSE(li.enabled());
  EXPECT_FALSE(fs::exists(file()));
}

TEST_F(LoginItemTest, FailuresHaveTheirExactMessagesAndLeaveNoFile) {
  EXPECT_EQ(item(std::nullopt).set(true).error(), "Could not locate the app executable.");
  EXPECT_EQ(item("/opt/a\nb").set(true).error(),
            "Could not write login item: the app's path cannot be written into a desktop entry");
  EXPECT_FALSE(fs::exists(file()));
  // A config folder that is a file cannot hold the entry.
  home.write(".config/autostart", "");
  EXPECT_EQ(item("/usr/bin/corvane").set(true).error(), "Could not write login item: Not a directory");
  fs::remove(folder());
}

TEST_F(LoginItemTest, ReadOnlyConfigFolderIsAWriteFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  fs::create_directories(folder());
  ::chmod(folder().c_str(), 0555);
  EXPECT_EQ(item("/usr/bin/corvane").set(true).error(), "Could not write login item: Permission denied");
  ::chmod(folder().c_str(), 0755);
}

TEST(LoginItemEnvironment, FollowsXdgConfigHomeThenHome) {
  testing::TempHome home;
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  std::optional<std::string> keep = saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("XDG_CONFIG_HOME", (home.path() / "cfg").c_str(), 1);
  EXPECT_EQ(LoginItem::systemEnvironment().autostartFolder(), home.path() / "cfg" / "autostart");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  EXPECT_EQ(LoginItem::systemEnvironment().autostartFolder(), fs::path(std::getenv("HOME")) / ".config" / "autostart");
  // HOME unset: the password database's home, never a folder relative to the
  // working directory.
  const std::string homeValue = std::getenv("HOME");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  auto fromPasswd = LoginItem::systemEnvironment().autostartFolder();
  setenv("HOME", homeValue.c_str(), 1);
  if (fromPasswd) {
    EXPECT_TRUE(fromPasswd->is_absolute());
    EXPECT_EQ(fromPasswd->filename(), "autostart");
  }
  if (keep) setenv("XDG_CONFIG_HOME", keep->c_str(), 1);
  else unsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(LoginItem::systemEnvironment().executable());
}

#ifdef DESKTOP_FILE_VALIDATE
TEST_F(LoginItemTest, EntriesForAwkwardPathsAreValid) {
  for (const char* path : {"/opt/Cor vane 100%/bin/corvane", "/opt/$x \"q\" `b` \\ ;&|<>~*?#()'=/corvane",
                           "/opt/ünïcödé/%%u/corvane"}) {
    ASSERT_TRUE(item(path).set(true)) << path;
    const std::string cmd = std::string(DESKTOP_FILE_VALIDATE) + " '" + file().string() + "' > " +
                            (home.path() / "out.txt").string() + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << path << "\n" << home.read("out.txt") << "\n" << *readFile(file());
  }
}
#endif

}  // namespace
}  // namespace corvane::integration
