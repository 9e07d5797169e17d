#pragma once
// The two ways corvane-cli runs bridge commands.
#include <optional>
#include <string>

namespace corvane::cli {

// Shell hooks of the headless runner: folder and file panels answer from
// CORVANE_CHOOSE_FOLDER / CORVANE_CHOOSE_FILE (unset or empty = cancelled);
// window hooks are absent, so window commands succeed without effect. The AI
// tool approval answers from CORVANE_APPROVE_AI; notices use libnotify.
void installCliShellHooks();

// Runs one command (same validator, router and queue as the bridge) and prints
// the success payload on stdout (exit 0) or the failure on stderr (exit 1).
// ARGS_JSON that is not a JSON object is a usage error (exit 2).
int runOneCommand(const std::string& command, const std::optional<std::string>& argsJson);

// Bridge over standard streams: one message per input line, treated as coming
// from the main frame of app://local; every reply and event script the page
// would receive is written as one output line. Returns 0 at end of input once
// every accepted call has been answered.
int runStdioBridge();

}  // namespace corvane::cli
