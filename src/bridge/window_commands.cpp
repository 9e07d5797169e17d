#include "bridge/window_commands.h"

#include <algorithm>
#include <cmath>

#include "core/queue.h"

namespace corvane::bridge {
namespace {

// A validated integer as a positive side length, or nullopt when it is not > 0.
std::optional<int> side(const Json& v) {
  double x = 0;
  if (v.is_number_unsigned()) {
    x = static_cast<double>(v.get<uint64_t>());
  } else if (v.is_number_integer()) {
    x = static_cast<double>(v.get<int64_t>());
  } else if (v.is_number_float()) {
    x = v.get<double>();
  } else {
    return std::nullopt;
  }
  if (!std::isfinite(x) || x <= 0) return std::nullopt;
  return static_cast<int>(std::min(x, static_cast<double>(kMaxGridWindowSide)));
}

void postToMain(std::function<void()> work) { mainQueue().post(std::move(work)); }

}  // namespace

Result<GridWindowCandidates> gridWindowCandidates(const Json& args) {
  static constexpr const char* kKeys[] = {"desiredWidth", "desiredHeight", "compactWidth",
                                          "compactHeight", "singleWidth", "singleHeight"};
  int values[6] = {};
  for (size_t i = 0; i < 6; ++i) {
    auto it = args.find(kKeys[i]);
    std::optional<int> v = it == args.end() ? std::nullopt : side(*it);
    if (!v) return fail("positive grid window candidates required");
    values[i] = *v;
  }
  return GridWindowCandidates{values[0], values[1], values[2], values[3], values[4], values[5]};
}

void installWindowCommands(Router& router) {
  const auto group = HandlerGroup::WindowAndUpdates;
  router.add(group, "hide_window", [](const Json&) -> CommandResult {
    postToMain([] {
      if (auto hook = shellHooks().hideWindow) hook();
    });
    return replyNull();
  });
  router.add(group, "settings_window", [](const Json& args) -> CommandResult {
    bool active = args.value("active", false);
    postToMain([active] {
      if (auto hook = shellHooks().setSettingsWindow) hook(active);
    });
    return replyNull();
  });
  router.add(group, "fit_grid_window", [](const Json& args) -> CommandResult {
    auto candidates = gridWindowCandidates(args);
    if (!candidates) return fail(candidates.error());
    postToMain([c = *candidates] {
      if (auto hook = shellHooks().fitGridWindow) hook(c);
    });
    return replyNull();
  });
  router.add(group, "set_grid_window_auto", [](const Json&) -> CommandResult {
    postToMain([] {
      if (auto hook = shellHooks().setGridWindowAuto) hook();
    });
    return replyNull();
  });
  router.add(group, "notif_hold", [](const Json& args) -> CommandResult {
    bool active = args.value("active", false);
    postToMain([active] {
      if (auto hook = shellHooks().setNotificationHold) hook(active);
    });
    return replyNull();
  });
  router.add(HandlerGroup::Capture, "onboarding_window", [](const Json& args) -> CommandResult {
    bool active = args.value("active", false);
    postToMain([active] {
      if (auto hook = shellHooks().setOnboardingWindow) hook(active);
    });
    return replyNull();
  });
}

}  // namespace corvane::bridge
