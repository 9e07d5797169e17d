#pragma once
// The clip trigger: the one entry through which hotkeys, mouse buttons and the
// picker start a clip, with its per-target debounce.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/hook_core.h"
#include "core/clock.h"

namespace corvane::capture {

struct ClipTarget {
  ClipTargetKind kind = ClipTargetKind::DefaultNote;
  std::string id;    // Note
  std::string name;  // Note, NewNote

  static ClipTarget note(std::string id, std::string name) { return {ClipTargetKind::Note, std::move(id), std::move(name)}; }
  static ClipTarget newNote(std::string name) { return {ClipTargetKind::NewNote, {}, std::move(name)}; }
  static ClipTarget defaultNote() { return {ClipTargetKind::DefaultNote, {}, {}}; }
  static ClipTarget followup() { return {ClipTargetKind::Followup, {}, {}}; }
};

// Debounce key: the note id, ".new:<name>", ".default" or ".followup".
std::string targetKey(const ClipTarget& target);

inline constexpr Duration kTriggerDebounce = std::chrono::milliseconds(500);

class ClipTrigger {
 public:
  // Receives the clips that pass the debounce (the clip pipeline).
  using Sink = std::function<void(const ClipTarget& target, const std::string& source)>;

  explicit ClipTrigger(const Clock& clock);
  // Any thread. A trigger within 0.5 s of the previous one for the same target
  // is dropped (and still restarts the interval), except during the tutorial.
  // Returns whether the clip was started.
  bool clip(const ClipTarget& target, const std::string& source, bool tutorialRunning);
  // Every started clip writes one application-log line (activity "capture"),
  // then goes to the sink (the clip pipeline once capture started).
  void setSink(Sink sink);

 private:
  const Clock& clock_;
  std::mutex mutex_;
  std::map<std::string, MonoTime> lastTriggerAt_;
  Sink sink_;
};

}  // namespace corvane::capture
