#include "records/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <unordered_set>

#include "core/files.h"
#include "core/paths.h"
#include "records/app_log.h"
#include "records/private_files.h"

namespace corvane::records {

namespace fs = std::filesystem;

namespace {

// A settings file larger than this is not ours; it loads as defaults.
constexpr size_t kMaxSettingsFileBytes = size_t(256) << 20;

// Decoding fails as a whole on the first key of the wrong type.
struct WrongType {};

class Decoder {
 public:
  explicit Decoder(const Json& object) : object_(object) {}

  // A key that is absent or null takes its default.
  const Json* present(std::string_view key) const {
    const Json* v = member(object_, key);
    return (v && !v->is_null()) ? v : nullptr;
  }

  void text(std::string_view key, std::string& out) const {
    if (const Json* v = present(key)) {
      if (!v->is_string()) throw WrongType{};
      out = v->get<std::string>();
    }
  }
  void optionalText(std::string_view key, std::optional<std::string>& out) const {
    if (const Json* v = present(key)) {
      if (!v->is_string()) throw WrongType{};
      out = v->get<std::string>();
    }
  }
  bool flag(std::string_view key, bool fallback) const {
    const Json* v = present(key);
    if (!v) return fallback;
    if (!v->is_boolean()) throw WrongType{};
    return v->get<bool>();
  }
  std::optional<int64_t> integer(std::string_view key) const {
    const Json* v = present(key);
    if (!v) return std::nullopt;
    // 6.0 is an integer; 6.5 is not.
    if (auto n = exactInteger(*v)) return n;
    throw WrongType{};
  }
  void texts(std::string_view key, std::vector<std::string>& out) const {
    const Json* v = present(key);
    if (!v) return;
    if (!v->is_array()) throw WrongType{};
    out.clear();
    out.reserve(v->size());
    for (const auto& item : *v) {
      if (!item.is_string()) throw WrongType{};
      out.push_back(item.get<std::string>());
    }
  }
  void textMap(std::string_view key, std::map<std::string, std::string>& out) const {
    const Json* v = present(key);
    if (!v) return;
    if (!v->is_object()) throw WrongType{};
    out.clear();
    for (const auto& [k, item] : v->items()) {
      if (!item.is_string()) throw WrongType{};
      out[k] = item.get<std::string>();
    }
  }

 private:
  const Json& object_;
};

Settings decodeObject(const Json& object) {
  Decoder d(object);
  Settings s;
  d.textMap("models", s.models);
  d.textMap("projects", s.projects);
  d.texts("pinned", s.pinned);
  d.texts("hidden", s.hidden);
  d.textMap("bindings", s.bindings);
  d.textMap("mouse", s.mouse);
  s.configured = d.flag("configured", false);
  s.tutorialSeen = d.flag("tutorialSeen", false);
  s.initialNotesCreated = d.flag("initialNotesCreated", false);
  s.termsAccepted = d.flag("termsAccepted", false);
  d.optionalText("rawClipsId", s.rawClipsId);
  d.optionalText("followupId", s.followupId);

  int64_t gridCount = d.integer("gridCount").value_or(6);
  if (gridCount != 6 && gridCount != 9 && gridCount != 12) gridCount = 6;
  bool explicitPresent = d.present("gridCountExplicit") != nullptr;
  bool gridCountExplicit = d.flag("gridCountExplicit", false);
  auto version = d.integer("gridModeVersion");
  // Files from before the Auto grid mode carry a size the user never chose
  // explicitly; they start over in Auto.
  if (!version || *version < Settings::kGridModeVersion || !explicitPresent) {
    s.gridCountExplicit = false;
    s.gridCount = 6;
  } else {
    s.gridCountExplicit = gridCountExplicit;
    s.gridCount = gridCount;
  }
  auto autoCount = d.integer("gridAutoCount");
  s.gridAutoCount = autoCount ? clampGridAutoCount(*autoCount) : 6;

  std::vector<std::string> order;
  d.texts("cardOrder", order);
  s.cardOrder = cleanIds(order);
  if (s.cardOrder.size() > Settings::kMaxCardOrder) s.cardOrder.resize(Settings::kMaxCardOrder);
  s.gridModeVersion = Settings::kGridModeVersion;

  d.textMap("lastBuiltSpecs", s.lastBuiltSpecs);
  d.text("aiProvider", s.aiProvider);
  d.textMap("approvedAIBinaries", s.approvedAIBinaries);
  d.text("noteSource", s.noteSource);
  d.optionalText("obsidianVaultPath", s.obsidianVaultPath);
  s.showTips = d.flag("showTips", true);
  s.requireBiometricUnlock = d.flag("requireBiometricUnlock", false);
  s.backupExportsToMediaStore = d.flag("backupExportsToMediaStore", true);
  s.betaTelemetry = d.flag("betaTelemetry", true);
  return s;
}

Json textMapJson(const std::map<std::string, std::string>& map) {
  Json out = Json::object();
  for (const auto& [k, v] : map) out[k] = v;  // std::map iterates in sorted order
  return out;
}

// Rebuilds every object with its keys in byte order.
Json sortKeys(const Json& value) {
  if (value.is_object()) {
    std::vector<std::pair<std::string, const Json*>> items;
    for (const auto& [k, v] : value.items()) items.emplace_back(k, &v);
    std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Json out = Json::object();
    for (const auto& [k, v] : items) out[k] = sortKeys(*v);
    return out;
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const auto& v : value) out.push_back(sortKeys(v));
    return out;
  }
  return value;
}

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<SettingsStore>& sharedSlot() {
  static std::shared_ptr<SettingsStore> slot;
  return slot;
}

}  // namespace

int64_t clampGridAutoCount(int64_t count) { return std::clamp<int64_t>(count, 1, 60); }

std::vector<std::string> cleanIds(const std::vector<std::string>& ids) {
  std::vector<std::string> out;
  std::unordered_set<std::string_view> seen;
  out.reserve(ids.size());
  for (const auto& id : ids) {
    if (id.empty() || !seen.insert(id).second) continue;
    out.push_back(id);
  }
  return out;
}

std::optional<Settings> decodeSettingsIfValid(std::string_view text) {
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  try {
    return decodeObject(*parsed);
  } catch (const WrongType&) {
    return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Settings decodeSettings(std::string_view text) { return decodeSettingsIfValid(text).value_or(Settings{}); }

std::string encodeSettings(const Settings& s) {
  Json o = Json::object();
  o["models"] = textMapJson(s.models);
  o["projects"] = textMapJson(s.projects);
  o["pinned"] = s.pinned;
  o["hidden"] = s.hidden;
  o["bindings"] = textMapJson(s.bindings);
  o["mouse"] = textMapJson(s.mouse);
  o["configured"] = s.configured;
  o["tutorialSeen"] = s.tutorialSeen;
  o["initialNotesCreated"] = s.initialNotesCreated;
  o["termsAccepted"] = s.termsAccepted;
  if (s.rawClipsId) o["rawClipsId"] = *s.rawClipsId;
  if (s.followupId) o["followupId"] = *s.followupId;
  o["gridCount"] = s.gridCount;
  o["gridCountExplicit"] = s.gridCountExplicit;
  o["gridAutoCount"] = s.gridAutoCount;
  o["cardOrder"] = s.cardOrder;
  o["gridModeVersion"] = Settings::kGridModeVersion;
  o["lastBuiltSpecs"] = textMapJson(s.lastBuiltSpecs);
  o["aiProvider"] = s.aiProvider;
  o["approvedAIBinaries"] = textMapJson(s.approvedAIBinaries);
  o["noteSource"] = s.noteSource;
  if (s.obsidianVaultPath) o["obsidianVaultPath"] = *s.obsidianVaultPath;
  o["showTips"] = s.showTips;
  o["requireBiometricUnlock"] = s.requireBiometricUnlock;
  o["backupExportsToMediaStore"] = s.backupExportsToMediaStore;
  o["betaTelemetry"] = s.betaTelemetry;
  return dumpPretty(sortKeys(o)) + "\n";
}

// ---- SettingsStore

SettingsStore::SettingsStore() : queue_(std::make_shared<SerialQueue>("com.corvane.settings")) {}

SettingsStore::SettingsStore(std::shared_ptr<TaskQueue> queue, std::optional<fs::path> file)
    : queue_(std::move(queue)), file_(std::move(file)) {}

SettingsStore::~SettingsStore() = default;

fs::path SettingsStore::filePath() const { return file_ ? *file_ : dataDirectory() / "settings.json"; }

void SettingsStore::ensureLoaded() {
  if (cached_) return;
  const fs::path file = filePath();
  auto text = readFileLimited(file, kMaxSettingsFileBytes);
  std::optional<Settings> decoded = text ? decodeSettingsIfValid(*text) : std::nullopt;
  const bool damaged = text ? !decoded : text.error() == "file too large";
  if (damaged) {
    // Defaults are used, but the user's vault path, projects and pins stay
    // recoverable: the file is moved aside before anything overwrites it.
    fs::path aside = file;
    aside += ".corrupt";
    if (::rename(file.c_str(), aside.c_str()) == 0) {
      ::chmod(aside.c_str(), 0600);
      appLog(LogLevel::Error, "settings",
             file.filename().string() + " could not be decoded; kept as " + aside.filename().string() +
                 ", using defaults");
    } else {
      appLog(LogLevel::Error, "settings",
             file.filename().string() + " could not be decoded nor moved aside (" + errnoMessage(errno) +
                 "); using defaults");
    }
  }
  cached_ = decoded.value_or(Settings{});
}

Settings SettingsStore::load() {
  Settings out;
  queue_->runSync([&] {
    ensureLoaded();
    out = *cached_;
  });
  return out;
}

Result<void> SettingsStore::update(const std::function<void(Settings&)>& mutation) {
  Result<void> result;
  queue_->runSync([&] {
    // The queue runs a nested call inline; its change would be overwritten
    // by the outer one, so it is refused instead.
    if (mutating_) {
      result = fail("settings update called from inside a settings update");
      return;
    }
    ensureLoaded();
    Settings next = *cached_;
    mutating_ = true;
    mutation(next);
    mutating_ = false;
    next.gridModeVersion = Settings::kGridModeVersion;
    cached_ = std::move(next);
    result = writePrivateFile(encodeSettings(*cached_), filePath());
  });
  return result;
}

Result<void> SettingsStore::renameProjectKeys(const std::string& oldTitle, const std::string& newTitle) {
  if (oldTitle == newTitle || oldTitle.empty() || newTitle.empty()) return ok();
  return update([&](Settings& s) {
    auto old = s.projects.find(oldTitle);
    if (old == s.projects.end()) return;
    auto existing = s.projects.find(newTitle);
    if (existing != s.projects.end() && existing->second != old->second) {
      s.projects.erase(old);
      return;
    }
    s.projects[newTitle] = old->second;
    s.projects.erase(oldTitle);
    auto spec = s.lastBuiltSpecs.find(oldTitle);
    if (spec != s.lastBuiltSpecs.end()) {
      std::string text = std::move(spec->second);
      s.lastBuiltSpecs.erase(spec);
      s.lastBuiltSpecs[newTitle] = std::move(text);
    }
  });
}

Result<void> SettingsStore::removeFromCardOrder(const std::string& id) {
  return update([&](Settings& s) { std::erase(s.cardOrder, id); });
}

Result<void> SettingsStore::unhide(const std::string& id) {
  return update([&](Settings& s) { std::erase(s.hidden, id); });
}

SettingsStore& SettingsStore::shared() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<SettingsStore>();
  return *slot;
}

void SettingsStore::setSharedForTesting(std::shared_ptr<SettingsStore> store) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(store);
}

Settings Settings::load() { return SettingsStore::shared().load(); }

Result<void> Settings::update(const std::function<void(Settings&)>& mutation) {
  return SettingsStore::shared().update(mutation);
}

}  // namespace corvane::records
