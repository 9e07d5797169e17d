#pragma once
// The X11 input service. One X connection, used only by its own thread:
// - hotkeys are passive key grabs on the root window, one per lock variant
//   (none, Lock, NumLock, both); a BadAccess answer means another client
//   holds the combination ("refused");
// - every key and button of the session is observed through XInput2 raw
//   events (raw events cannot be withheld from other clients, so observed
//   keys are never swallowed);
// - the buttons capture decides are passive synchronous button grabs: the
//   pointer is frozen until the handler answers, then the press is eaten or
//   replayed to the window under the pointer;
// - key capture holds an active keyboard grab;
// - synthetic keys go through XTest and are recognised by the list of events
//   still expected from them.
// Pointer buttons map to X buttons as: 0 → 1 (left), 1 → 3 (right),
// 2 → 2 (middle), n ≥ 3 → n + 5 (X 8 and 9 are the side buttons; X 4 to 7 are
// the wheel and never reach the handler).
#include <memory>

#include "platform/input_service.h"

namespace corvane::platform {

// Uses $DISPLAY (or `display` when given).
std::shared_ptr<InputService> makeX11InputService(std::string display = {});

// Pointer button number ↔ X button number (0 when there is none).
int xButtonForPointerButton(int64_t button);
int64_t pointerButtonForXButton(int xButton);  // -1 for the wheel and unknown buttons

}  // namespace corvane::platform
