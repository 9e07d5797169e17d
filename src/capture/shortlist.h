#pragma once
// The shortlist shortcut: a tap clips to "Raw Clips", a hold of 0.6 s opens a
// small picker of likely destinations plus a row that creates a note from
// typed text. `ShortlistGesture` tells tap from hold and turns keys into picker
// moves; `ShortlistPicker` is the picker's state (what the panel draws). Both
// live on the main thread; the panel is a view over the picker.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/clip_trigger.h"
#include "core/queue.h"
#include "insights/stats.h"
#include "notes/note.h"
#include "records/settings.h"

namespace corvane::capture {

struct ShortlistDestination {
  std::optional<std::string> id;  // absent: "Raw Clips", or a new note
  std::string name;
  bool createsNew = false;
  bool operator==(const ShortlistDestination&) const = default;
};

ClipTarget clipTargetFor(const ShortlistDestination& destination);

inline constexpr const char* kCreateRowName = "Type to create a note…";
inline constexpr size_t kDraftNameLimit = 80;

// At most three note rows ("Raw Clips" first, then the most used destinations
// the cache knows, the follow-up note, then cached notes) and the create row.
std::vector<ShortlistDestination> shortlistDestinations(const records::Settings& settings,
                                                        const std::vector<notes::Note>& known,
                                                        const std::vector<insights::Stats::Destination>& top);

class ShortlistPicker {
 public:
  void show(std::vector<ShortlistDestination> items, std::function<void(const ShortlistDestination&)> onPick);
  void close();
  bool isOpen() const { return !items_.empty(); }
  void moveSelection(int delta);
  void typeText(const std::string& text);
  void deleteBackward();
  std::optional<ShortlistDestination> currentChoice();
  // A click on row `index`: the create row starts typing, any other row is picked.
  void rowClicked(size_t index);

  const std::vector<ShortlistDestination>& items() const { return items_; }
  size_t selected() const { return selected_; }
  bool userInteracted() const { return userInteracted_; }
  const std::string& draftName() const { return draftName_; }
  // "★ Raw Clips", "＋ name▌" / "＋ Type to create a note…", or the name.
  std::string rowLabel(size_t index) const;

  // The panel redraws after every change.
  std::function<void()> onChange;

 private:
  std::vector<ShortlistDestination> items_;
  std::function<void(const ShortlistDestination&)> onPick_;
  size_t selected_ = 0;
  std::optional<size_t> createIndex_;
  std::string draftName_;
  bool userInteracted_ = false;
};

// One key while picking, as the input hook sees it.
struct ShortlistKey {
  enum class Kind { Return, Backspace, Escape, Down, Up, Other };
  Kind kind = Kind::Other;
  bool isTrigger = false;     // the shortlist key itself
  bool triggerHeld = false;   // its modifiers still held, or an auto-repeat
  bool commandOrControl = false;
  std::string text;           // what the key types (may be empty)
};

class ShortlistGesture {
 public:
  enum class State { Idle, Held, Picking };
  static constexpr Duration kHoldDelay = std::chrono::milliseconds(600);

  ShortlistGesture(TaskQueue& mainQueue, ShortlistPicker& picker);

  std::function<void(const ShortlistDestination&)> onClip;
  std::function<std::vector<ShortlistDestination>()> destinations;
  std::function<bool()> tutorialRunning;
  std::function<void(std::string_view, std::string_view)> emitEvent;

  void pressed();
  void released();
  // Whether the key was consumed (never reaches the front application).
  bool handleKey(const ShortlistKey& key);
  State state() const { return state_; }

 private:
  void holdFired();
  void deliver(const ShortlistDestination& destination);

  TaskQueue& main_;
  ShortlistPicker& picker_;
  State state_ = State::Idle;
  TaskHandle holdTimer_;
};

}  // namespace corvane::capture
