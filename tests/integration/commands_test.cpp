#include <gtest/gtest.h>

#include "app/command_router.h"
#include "integration/commands.h"
#include "platform/fake/fake_owner_auth.h"
#include "records/settings.h"
#include "testing/temp_home.h"

namespace corvane::integration {
namespace {

// Through the application's router, as the page sends them.
struct CommandsTest : ::testing::Test {
  testing::TempHome home;
  const bridge::Router& router = app::commandRouter();
  std::vector<std::vector<std::string>> launched;
  DesktopActions saved = desktopActions();
  void SetUp() override {
    records::SettingsStore::setSharedForTesting(std::make_shared<records::SettingsStore>());
    desktopActions().launch = [this](const std::vector<std::string>& argv) { launched.push_back(argv); };
  }
  void TearDown() override {
    desktopActions() = saved;
    platform::OwnerAuthenticator::setShared(nullptr);
    records::SettingsStore::setSharedForTesting(nullptr);
  }
};

TEST_F(CommandsTest, LockSwitchesOnOnlyWhereAPasswordCanBeChecked) {
  EXPECT_EQ(router.route("set_biometric_unlock", {{"on", true}}).error(), platform::kLockUnavailable);
  auto fake = std::make_shared<platform::FakeOwnerAuthenticator>("pw");
  fake->unavailable = "The lock is unavailable: no way to check your password on this system.";
  platform::OwnerAuthenticator::setShared(fake);
  EXPECT_EQ(router.route("set_biometric_unlock", {{"on", true}}).error(), *fake->unavailable);
  EXPECT_FALSE(records::SettingsStore::shared().load().requireBiometricUnlock);
  // Switching off always works.
  EXPECT_EQ(*router.route("set_biometric_unlock", {{"on", false}}), "null");
  fake->unavailable.reset();
  EXPECT_EQ(*router.route("set_biometric_unlock", {{"on", true}}), "null");
  EXPECT_TRUE(records::SettingsStore::shared().load().requireBiometricUnlock);
}

TEST_F(CommandsTest, LaunchAtLoginRoundTripsThroughSettings) {
  const auto entry = home.path() / ".config" / "autostart" / "com.corvane.app.desktop";
  EXPECT_EQ(*router.route("set_launch_at_login", {{"on", true}}), "null");
  EXPECT_TRUE(std::filesystem::exists(entry));
  EXPECT_NE(router.route("get_settings", Json::object())->find("\"launchAtLogin\":true"), std::string::npos);
  EXPECT_EQ(*router.route("set_launch_at_login", {{"on", false}}), "null");
  EXPECT_FALSE(std::filesystem::exists(entry));
}

TEST_F(CommandsTest, PermissionCommandsAnswerNullAndOpenOnlyWhatExists) {
  desktopActions().onPath = [](const std::string& name) { return name == "gnome-control-center" || name == "gdbus"; };
  for (const char* cmd : {"open_accessibility_settings", "open_input_monitoring_settings", "open_automation_settings",
                          "request_notification_access"})
    EXPECT_EQ(*router.route(cmd, Json::object()), "null") << cmd;
  ASSERT_EQ(launched.size(), 2u);
  EXPECT_EQ(launched[0], (std::vector<std::string>{"gnome-control-center", "universal-access"}));
  EXPECT_EQ(launched[1][0], "gdbus");
  launched.clear();
  desktopActions().onPath = [](const std::string&) { return false; };
  EXPECT_EQ(*router.route("open_accessibility_settings", Json::object()), "null");
  EXPECT_EQ(*router.route("request_notification_access", Json::object()), "null");
  EXPECT_TRUE(launched.empty());
}

}  // namespace
}  // namespace corvane::integration
