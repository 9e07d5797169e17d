#pragma once
// AI runs on notes: the lines a user added to a note since its last successful
// run go to the chosen AI command-line tool, which works in a project folder;
// its answer (RESULT.md or its summary) and images come back into the note as
// markup blocks — started, then done or failed — and a notice reports the end.
// One run at a time; "cancel_ai" stops the running tool and what it started.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ai/providers.h"
#include "core/clock.h"
#include "core/result.h"
#include "notes/note_store.h"

namespace corvane::ai {

inline constexpr size_t kMaxRunImages = 6;
inline constexpr int kRunImageMaxSide = 900;
inline constexpr int kRunImageQuality = 70;
inline constexpr uint64_t kMaxRunImageFileBytes = 41'943'040;  // 40 MiB
// Printed output read back into a note at most; RESULT.md is read up to this too.
inline constexpr size_t kMaxToolOutputBytes = 16u << 20;
// Linux caps one argument at 128 KiB (terminating NUL included).
inline constexpr size_t kMaxArgumentBytes = 131072;

inline constexpr std::string_view kAlreadyRunning =
    "Corvane AI is already running — let it finish before starting another.";
inline constexpr std::string_view kNoProvider = "Choose an AI provider in Settings → Corvane AI first.";
inline constexpr std::string_view kEmptyNote = "Note is empty. Whisper an instruction first.";
inline constexpr std::string_view kNothingNew = "Nothing new to run — add an instruction since the last build first.";
inline constexpr std::string_view kNotApproved = "AI run canceled because this CLI executable was not approved.";

struct RunImage {
  std::string fileName;
  std::string dataUri;
  bool operator==(const RunImage&) const = default;
};

struct AIRunResult {
  std::string details;     // success: extra tool text and cost line; failure: the message
  std::string resultText;  // success: the answer
  std::vector<RunImage> images;
  bool failed = false;
};

struct RunOutcome {
  std::string message;
  bool failed = false;
};

// What a run touches outside this module; the defaults are the shared
// instances. Tests pin the clock, locale and time zone and use their own store.
struct AiRunContext {
  std::function<std::shared_ptr<notes::NoteStore>()> store;
  std::function<void(const std::string& id, const std::string& appendedText)> bodyChanged;
  std::function<void(const std::string& id, const std::string& name, const std::string& plainText)> noteCreated;
  std::function<void()> recordBuild;
  const Clock* clock = nullptr;
  std::string locale;    // ICU locale id; empty: the user's
  std::string timeZone;  // Olson id; empty: the system's
};
AiRunContext defaultAiRunContext();

RunOutcome runAIOnNote(const std::string& title, const std::optional<std::string>& id);
RunOutcome runAIOnNote(const std::string& title, const std::optional<std::string>& id, const AiRunContext& context);

AIRunResult runProvider(const std::filesystem::path& folder, const std::string& request, AIProvider provider);

// The lines of `current` not already in `previous` (as a multiset of trimmed
// lines); nullopt when nothing is new.
std::optional<std::string> newInstruction(std::string_view current, std::string_view previous);

// The default project folder of a run: dataDirectory()/CorvaneAI/<slug>-<unix seconds>.
std::string runFolderSlug(std::string_view title);
std::filesystem::path defaultRunFolder(std::string_view title, WallTime now);

// Up to `limit` image files at the top of `folder` (by name, code-point order),
// as JPEG data URIs. Files changed before `since` (a ctime), links leading out
// of the folder and files over 40 MiB are skipped.
std::vector<RunImage> collectRunImages(const std::filesystem::path& folder, size_t limit,
                                       std::optional<struct timespec> since = std::nullopt);
std::optional<std::string> jpegDataURL(const std::filesystem::path& file, int maxPixelSize);

// Markup blocks.
enum class DateStyle { Short, Medium };
std::string formatRunDate(WallTime when, DateStyle date, DateStyle time, const std::string& locale,
                          const std::string& timeZone);
std::string escapeMarkupText(std::string_view text);  // & < >
std::string escapeAttribute(std::string_view text);   // & < > " '
std::string startedBlock(AIProvider provider, const std::filesystem::path& folder, const std::string& date);
std::string doneBlock(const AIRunResult& result, const std::string& date);
std::string failedBlock(const std::string& message, const std::string& date);

// The prompt handed to the tool around the request.
std::string buildPrompt(const std::string& request);

// Stops the running tool (and whatever it started); false when none runs.
bool cancelAI();
bool aiRunIsActive();
bool aiToolIsRunning();


}  // namespace corvane::ai
