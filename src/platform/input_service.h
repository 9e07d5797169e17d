#pragma once
// The session-wide input service behind capture: global hotkeys, an observer
// of every key and button of the session, synchronous decisions for the few
// mouse buttons capture owns, and a keyboard grab while a shortcut is being
// captured. Key codes are the internal key-code space of capture/accelerator.h;
// implementations map them to their own key symbols.
//
// Threading: the service runs its own event thread. The event handler runs on
// that thread and must answer at once (no I/O, no waiting); the hotkey handler
// too. `post` runs a task on that thread; every other method may be called
// from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/queue.h"
#include "core/result.h"

namespace corvane::platform {

// Event-flag bits of the modifiers held with an event.
inline constexpr uint32_t kFlagShift = 0x20000;
inline constexpr uint32_t kFlagControl = 0x40000;
inline constexpr uint32_t kFlagOption = 0x80000;
inline constexpr uint32_t kFlagCommand = 0x100000;
inline constexpr uint32_t kFlagModifierMask = 0x1E0000;

// Hotkey modifier-mask bits (what a registration asks for).
inline constexpr uint32_t kModCommand = 0x100;
inline constexpr uint32_t kModShift = 0x200;
inline constexpr uint32_t kModOption = 0x800;
inline constexpr uint32_t kModControl = 0x1000;

inline constexpr uint16_t kNoKeyCode = 0xFFFF;

enum class InputEventKind : uint8_t {
  LeftMouseDown,
  RightMouseDown,
  KeyDown,
  FlagsChanged,
  OtherMouseDown,
};

struct InputEvent {
  InputEventKind kind = InputEventKind::KeyDown;
  uint16_t keyCode = kNoKeyCode;  // KeyDown: internal code, kNoKeyCode when the key has none
  uint32_t flags = 0;             // modifiers held (kFlag… bits)
  bool autoRepeat = false;        // KeyDown: the key was already down
  bool synthetic = false;         // injected by this process (sendKeys)
  int64_t button = -1;            // OtherMouseDown: pointer button number (3 = first extra button)
  MonoTime time{};
};

enum class Verdict : uint8_t { Pass, Swallow };

class InputService {
 public:
  using EventHandler = std::function<Verdict(const InputEvent&)>;
  using HotkeyHandler = std::function<void(int id, bool pressed)>;

  virtual ~InputService() = default;

  // Opens the session connection and starts the event thread (idempotent).
  // Fails with the reason when the session offers no way to watch input.
  virtual Result<void> start() = 0;
  virtual void stop() = 0;
  virtual bool running() const = 0;
  // Whether global capture can work in this session (observe, grab, inject).
  virtual bool trusted() const = 0;

  // Set before start(); both run on the event thread.
  virtual void setEventHandler(EventHandler handler) = 0;
  virtual void setHotkeyHandler(HotkeyHandler handler) = 0;

  // Registers (or replaces) hotkey `id` for a key code and kMod… mask. Fails
  // with "refused" when another client holds the combination.
  virtual Result<void> registerHotkey(int id, uint16_t keyCode, uint32_t modifiers) = 0;
  virtual void unregisterHotkey(int id) = 0;

  // Pointer buttons (numbered as InputEvent::button) whose presses are held
  // until the event handler decides: Swallow eats the click, Pass replays it
  // to the application under the pointer. Presses of other buttons are only
  // observed.
  virtual void setDecidedButtons(std::vector<int64_t> buttons) = 0;

  // While held, every key goes to the event handler and to no application.
  virtual Result<void> grabKeyboard() = 0;
  virtual void ungrabKeyboard() = 0;

  // Types a key with modifiers (kFlag… bits); the resulting events carry
  // `synthetic`.
  virtual Result<void> sendKey(uint16_t keyCode, uint32_t flags) = 0;

  // The event thread's queue (tasks run between events).
  virtual TaskQueue& queue() = 0;
};

}  // namespace corvane::platform
