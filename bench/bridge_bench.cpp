// Bridge intake and validation costs: a small command end to end through the
// router, and the largest everyday message, a note body of 8 MiB of markup.
#include <benchmark/benchmark.h>

#include "bridge/bridge.h"
#include "bridge/command.h"
#include "bridge/validator.h"

namespace corvane::bridge {
namespace {

void SmallCommandValidate(benchmark::State& state) {
  const Json args = {{"count", 3}};
  for (auto _ : state) benchmark::DoNotOptimize(IPCValidator::validate("set_grid_count", args));
}
BENCHMARK(SmallCommandValidate);

void SmallCommandValidateAndRoute(benchmark::State& state) {
  Router router;
  router.add(HandlerGroup::Settings, "set_grid_count", [](const Json&) { return replyNull(); });
  const Json args = {{"count", 3}};
  for (auto _ : state) benchmark::DoNotOptimize(router.route("set_grid_count", args));
}
BENCHMARK(SmallCommandValidateAndRoute);

void SmallMessageIntakeAndValidate(benchmark::State& state) {
  const std::string body = R"({"callId":42,"cmd":"rename_note","args":{"id":"note-1","name":"Groceries"}})";
  for (auto _ : state) {
    auto message = parseBridgeMessage(body);
    benchmark::DoNotOptimize(IPCValidator::validate(message->cmd, message->args));
  }
}
BENCHMARK(SmallMessageIntakeAndValidate);

// Markup with quotes, backslashes and newlines, just under 8 MiB, whose
// escaped arguments stay under the 9,000,000-byte limit (so every check runs).
std::string noteBodyMessage() {
  const std::string line = "<div class=\"line\">The quick brown fox jumps over the lazy dog; C:\\dir ok.</div>\n";
  std::string html;
  html.reserve(8u << 20);
  while (html.size() + line.size() <= (8u << 20)) html += line;
  return dumpCompact(Json{{"callId", 1}, {"cmd", "set_note_body"}, {"args", {{"id", "note-1"}, {"html", html}}}});
}

void NoteBodyIntake(benchmark::State& state) {
  const std::string body = noteBodyMessage();
  for (auto _ : state) benchmark::DoNotOptimize(parseBridgeMessage(body));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(NoteBodyIntake)->Unit(benchmark::kMillisecond);

void NoteBodyIntakeAndValidate(benchmark::State& state) {
  const std::string body = noteBodyMessage();
  for (auto _ : state) {
    auto message = parseBridgeMessage(body);
    auto valid = IPCValidator::validate(message->cmd, message->args);
    if (!valid) state.SkipWithError(valid.error().c_str());
    benchmark::DoNotOptimize(valid);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(NoteBodyIntakeAndValidate)->Unit(benchmark::kMillisecond);

void NoteBodyValidate(benchmark::State& state) {
  auto message = parseBridgeMessage(noteBodyMessage());
  for (auto _ : state) benchmark::DoNotOptimize(IPCValidator::validate(message->cmd, message->args));
}
BENCHMARK(NoteBodyValidate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane::bridge

BENCHMARK_MAIN();
