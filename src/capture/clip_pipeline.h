#pragma once
// The clip pipeline: one trigger in, one block appended to a note out. It reads
// the selection (accessibility first, else a simulated copy that gives the
// user's clipboard back), finds where it came from in parallel, resolves the
// destination note, appends, and tells the user near the pointer. What cannot
// reach a note goes to the fallback file, and what cannot reach that file waits
// in a private outbox, so nothing the user clipped is lost.
//
// Everything platform-bound sits behind the small interfaces below; the
// portable flow runs on the serial queue "com.corvane.clip".
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/clip_trigger.h"
#include "core/clock.h"
#include "core/queue.h"
#include "core/result.h"
#include "notes/note.h"
#include "platform/clip_selection.h"
#include "records/settings.h"

namespace corvane::notes {
class NoteStore;
}

namespace corvane::capture {

using platform::CopyResult;
using platform::FrontAppSnapshot;
using platform::SelectionSource;
using platform::SourceLinkLookup;
using platform::SourceLookupResult;

// The status near the pointer (any thread).
class ClipHUD {
 public:
  virtual ~ClipHUD() = default;
  virtual void show(const std::string& text, bool success) = 0;
};

// The status panel installed with records::installStatusPanel (logged with the
// activity "hud" while none is installed).
std::shared_ptr<ClipHUD> statusPanelHUD();

// The services the pipeline writes through; defaultClipServices() wires the
// process-wide ones (active note store, note cache, settings, statistics,
// the page's events).
struct ClipServices {
  std::function<std::shared_ptr<notes::NoteStore>()> store;
  std::function<std::vector<notes::Note>()> knownNotes;
  std::function<void(const std::string& id, const std::string& name)> noteCreated;
  std::function<void(const std::string& id, const std::string& appendedText)> bodyChanged;
  std::function<records::Settings()> loadSettings;
  std::function<Result<void>(const std::function<void(records::Settings&)>&)> updateSettings;
  std::function<void(int64_t clips, int64_t followups, int64_t words)> recordStats;
  std::function<void(const std::string& id, const std::string& name)> recordDestination;
  // Empty when no page listens.
  std::function<void(std::string_view name, std::string_view payloadJson)> emitEvent;
  std::function<void()> showWindow;
  std::function<bool()> onboardingActive;
  // Whether global input works at all (no X11 input on a Wayland session).
  std::function<bool()> trusted;
  std::filesystem::path fallbackFile;  // ~/Desktop/Corvane/clips-fallback.txt
  std::filesystem::path outboxFile;    // <data directory>/clips-outbox.jsonl
  Duration linkWait = std::chrono::seconds(2);
};
ClipServices defaultClipServices();

inline constexpr Duration kPipelineDebounce = std::chrono::milliseconds(500);
inline constexpr std::string_view kNotesAuthDenied = "__notes_auth_denied__";

// Invalid UTF-8 replaced, NUL dropped, every run of white space made one space,
// trimmed at both ends.
std::string normalizeClipText(std::string_view text);
// Number of pieces of `text` split on white space.
int64_t countWords(std::string_view text);
// One fallback-file entry: "[<ISO 8601>] text", "\nSource: <source>" when there
// is one, then a blank line.
std::string fallbackEntry(WallTime at, std::string_view text, std::string_view source);

class ClipPipeline {
 public:
  enum class Kind { RawClips, Followup };

  ClipPipeline(const Clock& clock, std::shared_ptr<TaskQueue> queue, std::shared_ptr<SelectionSource> selection,
               std::shared_ptr<SourceLinkLookup> lookup, std::shared_ptr<ClipHUD> hud, ClipServices services);

  // Any thread: snapshots the front application and runs the pipeline on the
  // queue after every earlier clip.
  void submit(const ClipTarget& target, const std::string& source);
  // On the queue: retries what the outbox holds (start-up).
  void retryOutboxLater();
  // Waits until every clip submitted so far has finished.
  void flush();

  // The pipeline itself (on the queue; tests call it directly).
  void run(const ClipTarget& target, const std::string& source, const FrontAppSnapshot& app);
  // The standing note's id, found or created; empty when neither worked.
  std::string resolveClipNote(const std::string& name, Kind kind);
  // Moves outbox entries into the fallback file; how many remain.
  size_t retryOutbox();

  // The process-wide pipeline (created on first use with the X11 selection
  // source when one was installed, see setSharedForTesting / installShared).
  static std::shared_ptr<ClipPipeline> shared();
  static void installShared(std::shared_ptr<ClipPipeline> pipeline);

 private:
  std::optional<std::string> findNoteByName(notes::NoteStore& store, const std::string& name);
  // Appends to the fallback file, else keeps the clip in the outbox.
  void keepInFallback(const std::string& text, const std::string& source, bool quiet = false);
  void emit(std::string_view name, std::string_view payload);

  const Clock& clock_;
  std::shared_ptr<TaskQueue> queue_;
  std::shared_ptr<SelectionSource> selection_;
  std::shared_ptr<SourceLinkLookup> lookup_;
  std::shared_ptr<ClipHUD> hud_;
  ClipServices services_;
  std::map<std::string, MonoTime> lastClipPerformedAt_;  // queue only
};

}  // namespace corvane::capture
