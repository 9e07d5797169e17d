#include "bridge/window_commands.h"

#include <gtest/gtest.h>

#include "app/command_router.h"
#include "core/queue.h"

namespace corvane::bridge {
namespace {

Json sizes(Json w1, Json h1, Json w2, Json h2, Json w3, Json h3) {
  return Json{{"desiredWidth", w1}, {"desiredHeight", h1}, {"compactWidth", w2},
              {"compactHeight", h2}, {"singleWidth", w3}, {"singleHeight", h3}};
}

TEST(WindowCommands, AnswerNullAndReachTheHooksOnTheMainQueue) {
  mainQueue().bindToCurrentThread();
  int hides = 0;
  std::optional<GridWindowCandidates> fitted;
  std::optional<bool> hold;
  installShellHooks({});
  updateShellHooks([&](ShellHooks& h) {
    h.hideWindow = [&] { ++hides; };
    h.fitGridWindow = [&](const GridWindowCandidates& c) { fitted = c; };
    h.setNotificationHold = [&](bool a) { hold = a; };
  });
  const Router& router = app::commandRouter();
  auto r = router.route("hide_window", Json::object());
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, "null");
  EXPECT_EQ(hides, 0);  // replied before the window changed
  ASSERT_TRUE(router.route("fit_grid_window", sizes(1200, 800, 900, 700, 9007199254740991.0, 440)));
  ASSERT_TRUE(router.route("notif_hold", Json{{"active", true}}));
  mainQueue().runReady();
  EXPECT_EQ(hides, 1);
  ASSERT_TRUE(fitted);
  EXPECT_EQ(fitted->desiredWidth, 1200);
  EXPECT_EQ(fitted->singleWidth, kMaxGridWindowSide);  // clamped before the int
  EXPECT_EQ(hold, true);
  installShellHooks({});
  // Without hooks the commands still answer null.
  for (const char* cmd : {"hide_window", "set_grid_window_auto"}) EXPECT_EQ(*router.route(cmd, Json::object()), "null");
  EXPECT_EQ(*router.route("settings_window", Json{{"active", true}}), "null");
  EXPECT_EQ(*router.route("onboarding_window", Json{{"active", false}}), "null");
  mainQueue().runReady();
}

TEST(WindowCommands, FitGridWindowRejectsSizesNotAboveZero) {
  const Router& router = app::commandRouter();
  for (const Json& args : {sizes(0, 800, 900, 700, 600, 440), sizes(1200, 800, 900, 700, 600, -1)}) {
    auto r = router.route("fit_grid_window", args);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "positive grid window candidates required");
  }
}

}  // namespace
}  // namespace corvane::bridge
