#include "ai/commands.h"

#include "ai/ai_run.h"
#include "ai/providers.h"

namespace corvane::ai {
namespace {

std::optional<std::string> textArgument(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

}  // namespace

void installAiCommands(bridge::Router& router) {
  using bridge::CommandResult;
  using bridge::HandlerGroup;
  installAiSettingsServices();
  router.add(HandlerGroup::Ai, "run_ai", [](const Json& args) -> CommandResult {
    auto outcome = runAIOnNote(textArgument(args, "title").value_or(""), textArgument(args, "id"));
    if (outcome.failed) return fail(outcome.message);
    return dumpCompact(Json(outcome.message));
  });
  router.add(HandlerGroup::Ai, "cancel_ai", [](const Json&) -> CommandResult {
    (void)cancelAI();
    return dumpCompact(Json("cancelled"));
  });
  router.add(HandlerGroup::Ai, "test_ai_provider", [](const Json& args) -> CommandResult {
    auto provider = providerFromName(textArgument(args, "provider").value_or("")).value_or(AIProvider::Claude);
    refreshAIAvailability();
    auto tested = testProvider(provider);
    if (tested.failed) return fail(tested.message);
    return dumpCompact(Json(tested.message));
  });
}

}  // namespace corvane::ai
