#include "records/settings_commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <unordered_set>

#include "bridge/folder_access.h"
#include "bridge/shell_hooks.h"
#include "core/paths.h"
#include "core/queue.h"
#include "core/regex.h"
#include "platform/user_defaults.h"
#include "records/settings.h"
#include "records/settings_services.h"

namespace corvane::records {

namespace {

using bridge::CommandResult;
using bridge::HandlerGroup;
using bridge::replyJson;
using bridge::replyNull;

constexpr const char* kTutorialSeenKey = "corvane_tutorial_seen";
constexpr const char* kConfiguredKey = "corvane_configured";
constexpr size_t kViewNoteNames = 40;

// ---- Arguments. The router validates before a handler runs; these readers
// still refuse a missing or mistyped value instead of trusting it.

const Json* arg(const Json& args, std::string_view name) {
  if (!args.is_object()) return nullptr;
  const Json* v = member(args, name);
  return (v && !v->is_null()) ? v : nullptr;
}

Result<std::string> textArg(const Json& args, std::string_view name) {
  const Json* v = arg(args, name);
  if (!v) return fail("missing argument");
  if (!v->is_string()) return fail("invalid " + std::string(name));
  return v->get<std::string>();
}

Result<bool> boolArg(const Json& args, std::string_view name) {
  const Json* v = arg(args, name);
  if (!v) return fail("missing argument");
  if (!v->is_boolean()) return fail("invalid " + std::string(name));
  return v->get<bool>();
}

// An integer, also when written with a zero fraction (9.0).
std::optional<int64_t> asInteger(const Json& v) { return exactInteger(v); }

CommandResult replyUpdate(const Result<void>& result) {
  if (!result) return fail(result.message());
  return replyNull();
}

SettingsStore& store() { return SettingsStore::shared(); }

bool isProvider(std::string_view name) { return name == "claude" || name == "codex" || name == "gemini"; }

// ---- Handlers

CommandResult saveModel(const Json& args) {
  static const Regex kModel("^[A-Za-z0-9][A-Za-z0-9._:/-]*$");
  CORVANE_TRY_ASSIGN(provider, textArg(args, "provider"));
  CORVANE_TRY_ASSIGN(model, textArg(args, "model"));
  bool valid = isProvider(provider) && !model.empty() && model.size() <= 500;
  if (valid) {
    // "$" also matches before a final newline; the match must cover the whole text.
    auto m = kModel.firstMatch(model);
    valid = m && m->start() == 0 && m->end() == model.size();
  }
  if (!valid) return fail("invalid provider or model");
  return replyUpdate(store().update([&](Settings& s) { s.models[provider] = model; }));
}

CommandResult addProject(const Json& args) {
  CORVANE_TRY_ASSIGN(title, textArg(args, "title"));
  auto handle = textArg(args, "folderHandle");
  if (!handle) return fail("choose the project folder again");
  auto resolved = bridge::FolderAccessBroker::shared().resolve(*handle);
  if (!resolved) return fail("choose the project folder again");
  std::string path = std::move(*resolved);
  if (!path.empty() && path.front() == '~') {
    const char* home = std::getenv("HOME");
    path.replace(0, 1, home ? home : "");
  }
  // Trailing separators go, but the root stays the root.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail("folder not found: " + path);

  CORVANE_TRY(store().update([&](Settings& s) { s.projects[title] = path; }));

  // A project needs its note; create it when the cache knows none by that name.
  // A failure to create it is not the command's failure.
  auto services = settingsServices();
  if (services.hasNoteNamed && services.createNote && !services.hasNoteNamed(title)) {
    auto id = services.createNote(title);
    if (id) {
      auto unhidden = store().unhide(*id);
      if (services.noteCreated) services.noteCreated(*id, title);
      if (!unhidden) return fail(unhidden.message());
    }
  }
  return replyNull();
}

CommandResult removeProject(const Json& args) {
  CORVANE_TRY_ASSIGN(title, textArg(args, "title"));
  return replyUpdate(store().update([&](Settings& s) {
    s.projects.erase(title);
    s.lastBuiltSpecs.erase(title);
  }));
}

CommandResult togglePin(const Json& args) {
  CORVANE_TRY_ASSIGN(id, textArg(args, "id"));
  return replyUpdate(store().update([&](Settings& s) {
    if (std::find(s.pinned.begin(), s.pinned.end(), id) != s.pinned.end()) {
      std::erase(s.pinned, id);
    } else {
      s.pinned.push_back(id);
    }
  }));
}

CommandResult hideNote(const Json& args) {
  CORVANE_TRY_ASSIGN(id, textArg(args, "id"));
  return replyUpdate(store().update([&](Settings& s) {
    std::erase(s.pinned, id);
    if (std::find(s.hidden.begin(), s.hidden.end(), id) == s.hidden.end()) s.hidden.push_back(id);
  }));
}

CommandResult unhideNote(const Json& args) {
  CORVANE_TRY_ASSIGN(id, textArg(args, "id"));
  return replyUpdate(store().unhide(id));
}

CommandResult listHidden(const Json&) {
  auto services = settingsServices();
  if (!services.hiddenNotes) return fail("notes are not available");
  CORVANE_TRY_ASSIGN(notes, services.hiddenNotes());
  return replyJson(notes);
}

CommandResult countNotes(const Json&) {
  auto services = settingsServices();
  if (!services.visibleCount) return fail("notes are not available");
  CORVANE_TRY_ASSIGN(count, services.visibleCount());
  return replyJson(Json(count));
}

CommandResult setGridCount(const Json& args) {
  const Json* v = arg(args, "count");
  if (!v) return fail("missing argument");
  auto count = asInteger(*v);
  if (!count) return fail("invalid count");
  if (*count != 6 && *count != 9 && *count != 12) return fail("grid size must be Auto, 6, 9, or 12");
  return replyUpdate(store().update([&](Settings& s) {
    s.gridCount = *count;
    s.gridCountExplicit = true;
    s.gridModeVersion = Settings::kGridModeVersion;
  }));
}

CommandResult setGridAuto(const Json&) {
  return replyUpdate(store().update([](Settings& s) {
    s.gridCount = 6;
    s.gridCountExplicit = false;
    s.gridModeVersion = Settings::kGridModeVersion;
  }));
}

CommandResult rememberGridState(const Json& args) {
  const Json* idsValue = arg(args, "ids");
  if (!idsValue) return fail("missing argument");
  if (!idsValue->is_array()) return fail("invalid ids");
  std::vector<std::string> ids;
  ids.reserve(idsValue->size());
  for (const auto& item : *idsValue) {
    if (!item.is_string()) return fail("invalid ids");
    ids.push_back(item.get<std::string>());
  }
  std::optional<int64_t> autoCount;
  if (const Json* a = arg(args, "autoCount")) {
    autoCount = asInteger(*a);
    if (!autoCount) return fail("invalid autoCount");
  }
  std::vector<std::string> front = cleanIds(ids);
  return replyUpdate(store().update([&](Settings& s) {
    if (!front.empty()) {
      std::unordered_set<std::string_view> inFront(front.begin(), front.end());
      std::vector<std::string> order = front;
      for (const auto& id : s.cardOrder) {
        if (order.size() >= Settings::kMaxCardOrder) break;
        if (!inFront.count(id)) order.push_back(id);
      }
      if (order.size() > Settings::kMaxCardOrder) order.resize(Settings::kMaxCardOrder);
      s.cardOrder = std::move(order);
    }
    if (autoCount && !s.gridCountExplicit) s.gridAutoCount = clampGridAutoCount(*autoCount);
  }));
}

// Sets a user-defaults flag and the matching settings field; the settings
// write failure wins when both fail.
CommandResult setFlagAndField(const char* key, bool value, bool Settings::*field) {
  auto defaults = platform::UserDefaults::shared().set(key, Json(value));
  auto updated = store().update([&](Settings& s) { s.*field = value; });
  if (!updated) return fail(updated.message());
  if (!defaults) return fail(defaults.message());
  return replyNull();
}

CommandResult setAiProvider(const Json& args) {
  CORVANE_TRY_ASSIGN(provider, textArg(args, "provider"));
  if (!isProvider(provider)) return fail("unknown provider: " + provider);
  return replyUpdate(store().update([&](Settings& s) { s.aiProvider = provider; }));
}

// A handler that stores one boolean argument in one settings field.
bridge::Handler setBool(const char* argName, bool Settings::*field) {
  return [argName, field](const Json& args) -> CommandResult {
    CORVANE_TRY_ASSIGN(on, boolArg(args, argName));
    return replyUpdate(store().update([&](Settings& s) { s.*field = on; }));
  };
}

CommandResult setNoteSource(const Json& args) {
  CORVANE_TRY_ASSIGN(source, textArg(args, "source"));
  std::optional<std::string> vault;
  if (source == "obsidian") {
    const Json* handle = arg(args, "folderHandle");
    if (!handle || !handle->is_string() || handle->get_ref<const std::string&>().empty()) {
      return fail("choose the vault folder again");
    }
    auto resolved = bridge::FolderAccessBroker::shared().resolve(handle->get<std::string>());
    if (!resolved) return fail("choose the vault folder again");
    vault = std::move(*resolved);
  } else if (source != "applenotes") {
    return fail("unknown source: " + source);
  }
  auto updated = store().update([&](Settings& s) {
    s.noteSource = source;
    s.obsidianVaultPath = vault;
  });
  // The in-memory record changed even when the write failed, so the cache
  // follows the new source either way.
  if (auto changed = settingsServices().noteSourceChanged) changed();
  return replyUpdate(updated);
}

CommandResult openExportBackupFolder(const Json&) {
  if (auto reveal = settingsServices().revealInFileViewer) {
    std::filesystem::path folder = applicationSupportDirectory() / "MediaBackup";
    mainQueue().post([reveal, folder] { reveal(folder); });
  }
  return replyNull();
}

CommandResult chooseFolder(const Json&) {
  auto choose = bridge::shellHooks().chooseProjectFolder;
  if (!choose) return replyNull();
  std::optional<std::string> chosen;
  mainQueue().runSync([&] { chosen = choose(); });
  if (!chosen) return replyNull();
  CORVANE_TRY_ASSIGN(grant, bridge::FolderAccessBroker::shared().grant(*chosen));
  return replyJson(grant.toJson());
}

}  // namespace

Json settingsView() {
  Settings s = store().load();
  auto services = settingsServices();
  Json view = Json::object();
  view["models"] = Json::object();
  for (const auto& [k, v] : s.models) view["models"][k] = v;
  view["projects"] = Json::object();
  for (const auto& [k, v] : s.projects) view["projects"][k] = v;
  std::vector<std::string> names;
  if (services.noteNames) names = services.noteNames(kViewNoteNames);
  if (names.size() > kViewNoteNames) names.resize(kViewNoteNames);
  view["noteNames"] = names;
  auto seen = platform::UserDefaults::shared().get(kTutorialSeenKey);
  view["tutorialSeen"] = (seen && seen->is_boolean()) ? seen->get<bool>() : s.tutorialSeen;
  view["gridCount"] = s.gridCount;
  view["gridCountExplicit"] = s.gridCountExplicit;
  view["gridAutoCount"] = s.gridAutoCount;
  view["aiProvider"] = s.aiProvider;
  std::optional<std::string> executable;
  if (!s.aiProvider.empty() && services.locateAIExecutable) executable = services.locateAIExecutable(s.aiProvider);
  if (executable) view["aiExecutablePath"] = *executable;
  view["aiProviderAvailable"] = executable.has_value();
  view["noteSource"] = s.noteSource;
  view["showTips"] = s.showTips;
  view["launchAtLogin"] = services.launchAtLogin ? services.launchAtLogin() : false;
  view["hiddenCount"] = s.hidden.size();
  view["termsAccepted"] = s.termsAccepted;
  std::optional<bool> available = services.aiAvailable ? services.aiAvailable() : std::nullopt;
  view["aiAvailable"] = available.value_or(true);
  view["backupExportsToMediaStore"] = s.backupExportsToMediaStore;
  view["betaTelemetry"] = s.betaTelemetry;
  return view;
}

void installSettingsCommands(bridge::Router& router) {
  using G = HandlerGroup;
  router.add(G::Notes, "choose_folder", chooseFolder);

  router.add(G::Settings, "get_settings", [](const Json&) -> CommandResult { return replyJson(settingsView()); });
  router.add(G::Settings, "save_model", saveModel);
  router.add(G::Settings, "add_project", addProject);
  router.add(G::Settings, "remove_project", removeProject);
  router.add(G::Settings, "toggle_pin", togglePin);
  router.add(G::Settings, "hide_note", hideNote);
  router.add(G::Settings, "unhide_note", unhideNote);
  router.add(G::Settings, "list_hidden", listHidden);
  router.add(G::Settings, "count_notes", countNotes);
  router.add(G::Settings, "unhide_all",
             [](const Json&) { return replyUpdate(store().update([](Settings& s) { s.hidden.clear(); })); });
  router.add(G::Settings, "set_grid_count", setGridCount);
  router.add(G::Settings, "set_grid_auto", setGridAuto);
  router.add(G::Settings, "remember_grid_state", rememberGridState);
  router.add(G::Settings, "reset_defaults",
             [](const Json&) { return setFlagAndField(kTutorialSeenKey, false, &Settings::tutorialSeen); });
  router.add(G::Settings, "set_ai_provider", setAiProvider);
  router.add(G::Settings, "set_show_tips", setBool("on", &Settings::showTips));
  router.add(G::Settings, "set_export_backup", setBool("on", &Settings::backupExportsToMediaStore));
  router.add(G::Settings, "set_beta_telemetry", setBool("on", &Settings::betaTelemetry));
  router.add(G::Settings, "open_export_backup_folder", openExportBackupFolder);
  router.add(G::Settings, "set_terms_accepted", setBool("accepted", &Settings::termsAccepted));
  router.add(G::Settings, "set_note_source", setNoteSource);

  router.add(G::Bindings, "mark_configured",
             [](const Json&) { return setFlagAndField(kConfiguredKey, true, &Settings::configured); });
  router.add(G::Bindings, "mark_tutorial_seen",
             [](const Json&) { return setFlagAndField(kTutorialSeenKey, true, &Settings::tutorialSeen); });

  router.add(G::AccountSignIn, "set_biometric_unlock", setBool("on", &Settings::requireBiometricUnlock));
}

}  // namespace corvane::records
