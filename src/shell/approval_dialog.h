#pragma once
// The AI tool approval as the desktop asks it: a modal message dialog shown on
// the main thread while the worker that asked waits for the answer.
#include <functional>
#include <memory>

#include "core/queue.h"

namespace corvane::shell {

// Runs `ask` on `main` and waits for its answer. On `main`'s own thread it
// runs at once (waiting there would never end). A task the queue discards
// unrun answers false, so the caller is never left waiting on it.
bool askOnQueue(TaskQueue& main, std::function<bool()> ask);

// Installs the dialog through platform::installConfirmationDialog. While
// `declineAll` answers true (the program is quitting) every question is
// declined without a dialog.
void installApprovalDialog(std::function<void*()> parentWindow, std::function<bool()> declineAll);

}  // namespace corvane::shell
