#include "capture/clip_trigger.h"

#include "records/app_log.h"

namespace corvane::capture {

std::string targetKey(const ClipTarget& target) {
  switch (target.kind) {
    case ClipTargetKind::Note: return target.id;
    case ClipTargetKind::NewNote: return ".new:" + target.name;
    case ClipTargetKind::DefaultNote: return ".default";
    case ClipTargetKind::Followup: return ".followup";
  }
  return ".default";
}

ClipTrigger::ClipTrigger(const Clock& clock) : clock_(clock) {}

void ClipTrigger::setSink(Sink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

bool ClipTrigger::clip(const ClipTarget& target, const std::string& source, bool tutorialRunning) {
  Sink sink;
  {
    std::lock_guard lock(mutex_);
    if (!tutorialRunning) {
      auto now = clock_.monotonicNow();
      auto key = targetKey(target);
      auto it = lastTriggerAt_.find(key);
      bool tooSoon = it != lastTriggerAt_.end() && now - it->second <= kTriggerDebounce;
      lastTriggerAt_[key] = now;
      if (tooSoon) return false;
    }
    sink = sink_;
  }
  records::appLog(records::LogLevel::Info, "capture", "clip target=" + targetKey(target) + " source=" + source);
  if (sink) sink(target, source);
  return true;
}

}  // namespace corvane::capture
