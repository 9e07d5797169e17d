#pragma once
// The settings store: the one persisted record of user choices, kept in
// "settings.json" in the data directory and cached in memory after the first
// read. The record is read and changed only through `load` and `update`, which
// run synchronously on the serial queue "com.corvane.settings", so every
// read-modify-write is atomic with respect to all other callers.
//
//   auto s = records::Settings::load();
//   auto r = records::Settings::update([](records::Settings& s) { s.showTips = false; });
//
// `update` must not be called from inside a mutation (it fails if it is).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "core/queue.h"
#include "core/result.h"

namespace corvane::records {

struct Settings {
  std::map<std::string, std::string> models;    // model per AI provider name
  std::map<std::string, std::string> projects;  // project folder per note title
  std::vector<std::string> pinned;              // pinned note ids, in pin order
  std::vector<std::string> hidden;              // hidden note ids
  std::map<std::string, std::string> bindings;  // accelerator per action
  std::map<std::string, std::string> mouse;     // mouse button per action
  bool configured = false;
  bool tutorialSeen = false;
  bool initialNotesCreated = false;
  bool termsAccepted = false;
  std::optional<std::string> rawClipsId;
  std::optional<std::string> followupId;
  int64_t gridCount = 6;            // 6, 9 or 12
  bool gridCountExplicit = false;   // false: Auto
  int64_t gridAutoCount = 6;        // 1…60
  std::vector<std::string> cardOrder;  // no empty ids, no duplicates, at most kMaxCardOrder
  int64_t gridModeVersion = 3;      // always written as 3
  std::map<std::string, std::string> lastBuiltSpecs;     // last AI instruction per note title
  std::string aiProvider;           // "claude", "codex", "gemini" or empty
  std::map<std::string, std::string> approvedAIBinaries;  // executable hash per provider
  std::string noteSource;           // "applenotes", "obsidian" or empty
  std::optional<std::string> obsidianVaultPath;
  bool showTips = true;
  bool requireBiometricUnlock = false;
  bool backupExportsToMediaStore = true;
  bool betaTelemetry = true;

  bool operator==(const Settings&) const = default;

  static constexpr size_t kMaxCardOrder = 5000;
  static constexpr int64_t kGridModeVersion = 3;

  // The shared store's record and its change (see SettingsStore).
  static Settings load();
  static Result<void> update(const std::function<void(Settings&)>& mutation);
};

// Tolerant decoding of the settings file: a missing key takes its default, a
// key of the wrong type (or text that is not a JSON object) gives the defaults
// for everything; values are normalised (grid migration, clamps, card order).
Settings decodeSettings(std::string_view text);
// Pretty-printed JSON with keys sorted; absent optional texts are omitted.
std::string encodeSettings(const Settings& settings);

// Clamps a fitted card count to 1…60.
int64_t clampGridAutoCount(int64_t count);
// Drops empty ids and later duplicates, keeping the order.
std::vector<std::string> cleanIds(const std::vector<std::string>& ids);

class SettingsStore {
 public:
  // The real store: its own serial queue "com.corvane.settings" and the file
  // "settings.json" in the data directory (looked up when first read).
  SettingsStore();
  // For tests: any queue (a FakeScheduler queue) and optionally a fixed file.
  explicit SettingsStore(std::shared_ptr<TaskQueue> queue,
                         std::optional<std::filesystem::path> file = std::nullopt);
  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // The cached record; the first call reads the file.
  Settings load();
  // Applies the mutation to the cached record, keeps the result, then writes
  // the file. A failed write returns the error's description and the cached
  // record keeps the change.
  Result<void> update(const std::function<void(Settings&)>& mutation);

  // Operations other subsystems call.
  // Moves the project entry (and its last instruction) from one note title to
  // another; drops the old entry when the new title already has a different folder.
  Result<void> renameProjectKeys(const std::string& oldTitle, const std::string& newTitle);
  Result<void> removeFromCardOrder(const std::string& id);
  Result<void> unhide(const std::string& id);

  std::filesystem::path filePath() const;

  // The process-wide store, created on first use; replaceable in tests.
  static SettingsStore& shared();
  static void setSharedForTesting(std::shared_ptr<SettingsStore> store);

 private:
  void ensureLoaded();  // on the queue
  std::shared_ptr<TaskQueue> queue_;
  std::optional<std::filesystem::path> file_;
  // Touched only on queue_.
  std::optional<Settings> cached_;
  bool mutating_ = false;
};

}  // namespace corvane::records
