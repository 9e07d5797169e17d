// The keychain: the private file, and the keyring falling back to it.
#include "platform/keychain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/files.h"
#include "platform/linux/secret/secret_keychain.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::platform {
namespace {

using corvane::testing::IsOk;
using corvane::testing::modeOf;
using corvane::testing::TempDir;

TEST(FileKeychainTest, KeepsSecretsInAPrivateFileAndSurvivesATornOne) {
  TempDir dir;
  auto file = dir.path() / "conf" / "credentials.json";
  auto keychain = makeFileKeychain(file);
  EXPECT_EQ(*keychain->read("session"), std::nullopt);
  ASSERT_THAT(keychain->write("session", "s3cret"), IsOk());
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  EXPECT_EQ(*makeFileKeychain(file)->read("session"), "s3cret") << "another process reads it";
  ASSERT_THAT(keychain->remove("session"), IsOk());
  EXPECT_EQ(*keychain->read("session"), std::nullopt);
  ASSERT_THAT(keychain->remove("session"), IsOk());

  ASSERT_TRUE(writeFileAtomic(file, "{\"sess", 0644));
  EXPECT_EQ(*keychain->read("session"), std::nullopt);
  EXPECT_EQ(modeOf(file), 0600u) << "a loosened file is tightened again";
  ASSERT_THAT(keychain->write("session", "again"), IsOk());
  EXPECT_EQ(*keychain->read("session"), "again");
}

TEST(SecretKeychainTest, WithoutAKeyringTheFileServes) {
  TempDir dir;
  const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string restore = saved ? saved : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir.path() / "no-bus").string()).c_str(), 1);
  auto file = dir.path() / "credentials.json";
  auto keychain = makeSecretServiceKeychain(makeFileKeychain(file));
  ASSERT_THAT(keychain->write("session", "fallback"), IsOk());
  EXPECT_TRUE(fileExists(file));
  EXPECT_EQ(*keychain->read("session"), "fallback");
  ASSERT_THAT(keychain->remove("session"), IsOk());
  EXPECT_EQ(*keychain->read("session"), std::nullopt);
  if (saved) setenv("DBUS_SESSION_BUS_ADDRESS", restore.c_str(), 1);
  else unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace corvane::platform
