#include "records/settings_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/folder_access.h"
#include "bridge/shell_hooks.h"
#include "core/paths.h"
#include "platform/fake/memory_user_defaults.h"
#include "records/settings.h"
#include "records/settings_services.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::records {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using corvane::testing::FailedWith;
using corvane::testing::HasValue;
using corvane::testing::IsOk;

class SettingsCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)mainQueue();  // the test's thread is the main thread
    SettingsStore::setSharedForTesting(std::make_shared<SettingsStore>(scheduler.createQueue("com.corvane.settings")));
    bridge::FolderAccessBroker::setSharedForTesting(std::make_shared<bridge::FolderAccessBroker>(scheduler));
    defaults = platform::makeMemoryUserDefaults();
    platform::UserDefaults::setSharedForTesting(defaults);
    installSettingsServices({});
    bridge::installShellHooks({});
    installSettingsCommands(router);
  }
  void TearDown() override {
    SettingsStore::setSharedForTesting(nullptr);
    bridge::FolderAccessBroker::setSharedForTesting(nullptr);
    platform::UserDefaults::setSharedForTesting(nullptr);
    installSettingsServices({});
    bridge::installShellHooks({});
  }

  bridge::CommandResult run(std::string_view command, std::string_view args = "{}") {
    auto parsed = parseJson(args);
    EXPECT_TRUE(parsed.has_value()) << args;
    return router.route(command, parsed ? *parsed : Json::object());
  }
  Settings settings() { return SettingsStore::shared().load(); }
  void set(const std::function<void(Settings&)>& change) { ASSERT_THAT(SettingsStore::shared().update(change), IsOk()); }

  // Picks `folder` in the folder panel and returns the granted handle.
  std::string chooseFolder(const fs::path& folder) {
    bridge::ShellHooks hooks;
    hooks.chooseProjectFolder = [folder]() -> std::optional<std::string> { return folder.string(); };
    bridge::installShellHooks(hooks);
    auto reply = run("choose_folder");
    EXPECT_TRUE(reply.has_value()) << reply.error();
    auto grant = parseJson(reply ? *reply : "null");
    return (grant && grant->is_object()) ? (*grant)["folderHandle"].get<std::string>() : std::string();
  }

  testing::TempHome home;
  testing::FakeScheduler scheduler;
  std::shared_ptr<platform::UserDefaults> defaults;
  bridge::Router router;
};

// ---- Pins, hidden notes, grid

TEST_F(SettingsCommandsTest, TogglePinAppendsAndRemoves) {
  EXPECT_THAT(run("toggle_pin", R"({"id":"a"})"), HasValue("null"));
  EXPECT_THAT(run("toggle_pin", R"({"id":"b"})"), HasValue("null"));
  EXPECT_THAT(settings().pinned, ElementsAre("a", "b"));
  EXPECT_THAT(run("toggle_pin", R"({"id":"a"})"), HasValue("null"));
  EXPECT_THAT(settings().pinned, ElementsAre("b"));
  EXPECT_THAT(run("toggle_pin", R"({"id":"a"})"), HasValue("null"));
  EXPECT_THAT(settings().pinned, ElementsAre("b", "a"));
  EXPECT_THAT(decodeSettings(home.read("Corvane/settings.json")).pinned, ElementsAre("b", "a"));
}

TEST_F(SettingsCommandsTest, HideUnpinsAndUnhideRemovesEveryCopy) {
  set([](Settings& s) {
    s.pinned = {"a", "b", "a"};
    s.hidden = {"x", "x"};
  });
  EXPECT_THAT(run("hide_note", R"({"id":"a"})"), HasValue("null"));
  EXPECT_THAT(run("hide_note", R"({"id":"a"})"), HasValue("null"));
  EXPECT_THAT(settings().pinned, ElementsAre("b"));
  EXPECT_THAT(settings().hidden, ElementsAre("x", "x", "a"));
  EXPECT_THAT(run("unhide_note", R"({"id":"x"})"), HasValue("null"));
  EXPECT_THAT(settings().hidden, ElementsAre("a"));
  EXPECT_THAT(run("unhide_all"), HasValue("null"));
  EXPECT_THAT(settings().hidden, IsEmpty());
}

TEST_F(SettingsCommandsTest, GridCountAndAuto) {
  for (const char* bad : {"8", "0", "-6", "60"}) {
    EXPECT_THAT(run("set_grid_count", std::string(R"({"count":)") + bad + "}"),
                FailedWith("grid size must be Auto, 6, 9, or 12"));
  }
  EXPECT_THAT(run("set_grid_count", R"({"count":9.5})"), FailedWith("invalid count"));
  EXPECT_FALSE(settings().gridCountExplicit);
  EXPECT_THAT(run("set_grid_count", R"({"count":12.0})"), HasValue("null"));
  EXPECT_EQ(settings().gridCount, 12);
  EXPECT_TRUE(settings().gridCountExplicit);
  EXPECT_THAT(run("set_grid_auto"), HasValue("null"));
  EXPECT_EQ(settings().gridCount, 6);
  EXPECT_FALSE(settings().gridCountExplicit);
}

TEST_F(SettingsCommandsTest, RememberGridStatePutsTheShownIdsFirst) {
  set([](Settings& s) { s.cardOrder = {"a", "b", "c", "d"}; });
  EXPECT_THAT(run("remember_grid_state", R"({"ids":["c","a","c"]})"), HasValue("null"));
  EXPECT_THAT(settings().cardOrder, ElementsAre("c", "a", "b", "d"));
  EXPECT_EQ(settings().gridAutoCount, 6);  // no autoCount given
  // An empty list keeps the order but still takes the count.
  EXPECT_THAT(run("remember_grid_state", R"({"ids":[],"autoCount":9})"), HasValue("null"));
  EXPECT_THAT(settings().cardOrder, ElementsAre("c", "a", "b", "d"));
  EXPECT_EQ(settings().gridAutoCount, 9);
}

TEST_F(SettingsCommandsTest, RememberGridStateClampsTheCountOnlyInAuto) {
  struct Case {
    const char* args;
    int64_t expected;
  } cases[] = {{R"({"ids":[],"autoCount":0})", 1},  {R"({"ids":[],"autoCount":99})", 60},
               {R"({"ids":[],"autoCount":-3})", 1}, {R"({"ids":[],"autoCount":24})", 24},
               {R"({"ids":[],"autoCount":null})", 24}};
  for (const auto& c : cases) {
    EXPECT_THAT(run("remember_grid_state", c.args), HasValue("null"));
    EXPECT_EQ(settings().gridAutoCount, c.expected) << c.args;
  }
  ASSERT_THAT(run("set_grid_count", R"({"count":9})"), HasValue("null"));
  EXPECT_THAT(run("remember_grid_state", R"({"ids":[],"autoCount":3})"), HasValue("null"));
  EXPECT_EQ(settings().gridAutoCount, 24);
}

TEST_F(SettingsCommandsTest, RememberGridStateKeepsAtMostFiveThousandIds) {
  set([](Settings& s) {
    for (int i = 0; i < 5000; ++i) s.cardOrder.push_back("old" + std::to_string(i));
  });
  EXPECT_THAT(run("remember_grid_state", R"({"ids":["new1","old4999","new2"]})"), HasValue("null"));
  auto order = settings().cardOrder;
  ASSERT_EQ(order.size(), 5000u);
  EXPECT_THAT(std::vector<std::string>(order.begin(), order.begin() + 4), ElementsAre("new1", "old4999", "new2", "old0"));
  EXPECT_EQ(order.back(), "old4996");
  EXPECT_EQ(cleanIds(order).size(), order.size());
}

// ---- Models, providers, switches

TEST_F(SettingsCommandsTest, SaveModelChecksProviderAndModel) {
  EXPECT_THAT(run("save_model", R"({"provider":"claude","model":"claude-opus-4.1"})"), HasValue("null"));
  EXPECT_THAT(run("save_model", R"({"provider":"gemini","model":"models/gemini:2.5_pro"})"), HasValue("null"));
  for (const char* args : {R"({"provider":"claude","model":"-x"})", R"({"provider":"claude","model":"a b"})",
                           R"({"provider":"claude","model":"ok\n"})", R"({"provider":"claude","model":"é"})",
                           R"({"provider":"gpt","model":"ok"})", R"({"provider":"Claude","model":"ok"})"}) {
    EXPECT_THAT(run("save_model", args), FailedWith("invalid provider or model")) << args;
  }
  EXPECT_EQ(settings().models,
            (std::map<std::string, std::string>{{"claude", "claude-opus-4.1"}, {"gemini", "models/gemini:2.5_pro"}}));
}

TEST_F(SettingsCommandsTest, AiProvider) {
  EXPECT_THAT(run("set_ai_provider", R"({"provider":"foo"})"), FailedWith("unknown provider: foo"));
  EXPECT_THAT(run("set_ai_provider", R"({"provider":"codex"})"), HasValue("null"));
  EXPECT_EQ(settings().aiProvider, "codex");
}

TEST_F(SettingsCommandsTest, BooleanSwitches) {
  struct Case {
    const char* command;
    const char* args;
    bool Settings::*field;
  } cases[] = {{"set_show_tips", R"({"on":false})", &Settings::showTips},
               {"set_export_backup", R"({"on":false})", &Settings::backupExportsToMediaStore},
               {"set_beta_telemetry", R"({"on":false})", &Settings::betaTelemetry},
               {"set_terms_accepted", R"({"accepted":true})", &Settings::termsAccepted},
               {"set_biometric_unlock", R"({"on":true})", &Settings::requireBiometricUnlock}};
  for (const auto& c : cases) {
    bool before = settings().*c.field;
    EXPECT_THAT(run(c.command, c.args), HasValue("null")) << c.command;
    EXPECT_EQ(settings().*c.field, !before) << c.command;
  }
  EXPECT_THAT(run("set_show_tips", R"({"on":1})"), FailedWith("invalid on"));
}

TEST_F(SettingsCommandsTest, TutorialAndConfiguredFlags) {
  EXPECT_THAT(run("mark_configured"), HasValue("null"));
  EXPECT_TRUE(defaults->getBool("corvane_configured"));
  EXPECT_TRUE(settings().configured);
  EXPECT_THAT(run("mark_tutorial_seen"), HasValue("null"));
  EXPECT_TRUE(defaults->getBool("corvane_tutorial_seen"));
  EXPECT_TRUE(settings().tutorialSeen);
  set([](Settings& s) { s.showTips = false; });
  EXPECT_THAT(run("reset_defaults"), HasValue("null"));
  EXPECT_EQ(defaults->get("corvane_tutorial_seen"), Json(false));
  EXPECT_FALSE(settings().tutorialSeen);
  EXPECT_FALSE(settings().showTips);  // nothing else is reset
  EXPECT_TRUE(settings().configured);
}

TEST_F(SettingsCommandsTest, FailedWriteIsTheCommandsFailure) {
  home.write("Corvane", "a file, not a folder");
  EXPECT_THAT(run("toggle_pin", R"({"id":"a"})"), FailedWith("Not a directory"));
  EXPECT_THAT(run("mark_configured"), FailedWith("Not a directory"));
  EXPECT_THAT(settings().pinned, ElementsAre("a"));  // kept in memory
  EXPECT_TRUE(defaults->getBool("corvane_configured"));
}

// ---- The settings view

TEST_F(SettingsCommandsTest, ViewOfTheDefaults) {
  EXPECT_THAT(run("get_settings"),
              HasValue(R"({"models":{},"projects":{},"noteNames":[],"tutorialSeen":false,"gridCount":6,)"
                       R"("gridCountExplicit":false,"gridAutoCount":6,"aiProvider":"","aiProviderAvailable":false,)"
                       R"("noteSource":"","showTips":true,"launchAtLogin":false,"hiddenCount":0,)"
                       R"("termsAccepted":false,"aiAvailable":true,"backupExportsToMediaStore":true,)"
                       R"("betaTelemetry":true})"));
  EXPECT_THAT(run("get_settings", R"({"x":1})"), FailedWith("unexpected argument"));
}

TEST_F(SettingsCommandsTest, ViewReadsTheOtherSubsystems) {
  set([](Settings& s) {
    s.aiProvider = "claude";
    s.hidden = {"h1", "h2"};
    s.tutorialSeen = true;
    s.models = {{"claude", "opus"}};
  });
  std::string asked;
  updateSettingsServices([&](SettingsServices& s) {
    s.noteNames = [](size_t limit) {
      std::vector<std::string> names;
      for (size_t i = 0; i < limit + 5; ++i) names.push_back("n" + std::to_string(i));
      return names;
    };
    s.locateAIExecutable = [&](const std::string& provider) -> std::optional<std::string> {
      asked = provider;
      return "/usr/local/bin/claude";
    };
    s.aiAvailable = [] { return std::optional<bool>(false); };
    s.launchAtLogin = [] { return true; };
  });
  ASSERT_THAT(defaults->set("corvane_tutorial_seen", false), IsOk());  // the flag wins over the record
  auto reply = run("get_settings");
  ASSERT_TRUE(reply.has_value());
  Json view = *parseJson(*reply);
  EXPECT_EQ(view["noteNames"].size(), 40u);
  EXPECT_EQ(view["noteNames"][39], "n39");
  EXPECT_EQ(view["tutorialSeen"], false);
  EXPECT_EQ(view["aiExecutablePath"], "/usr/local/bin/claude");
  EXPECT_EQ(asked, "claude");
  EXPECT_EQ(view["aiProviderAvailable"], true);
  EXPECT_EQ(view["aiAvailable"], false);
  EXPECT_EQ(view["launchAtLogin"], true);
  EXPECT_EQ(view["hiddenCount"], 2);
  EXPECT_EQ(view["models"]["claude"], "opus");
  std::vector<std::string> keys;
  for (const auto& [k, v] : view.items()) keys.push_back(k);
  EXPECT_THAT(keys, ElementsAre("models", "projects", "noteNames", "tutorialSeen", "gridCount", "gridCountExplicit",
                                "gridAutoCount", "aiProvider", "aiExecutablePath", "aiProviderAvailable", "noteSource",
                                "showTips", "launchAtLogin", "hiddenCount", "termsAccepted", "aiAvailable",
                                "backupExportsToMediaStore", "betaTelemetry"));
}

TEST_F(SettingsCommandsTest, NoteCacheCommandsNeedTheCache) {
  EXPECT_THAT(run("list_hidden"), FailedWith("notes are not available"));
  EXPECT_THAT(run("count_notes"), FailedWith("notes are not available"));
  updateSettingsServices([](SettingsServices& s) {
    s.hiddenNotes = [] { return Result<Json>(Json::array({Json{{"id", "h"}}})); };
    s.visibleCount = [] { return Result<int64_t>(12); };
  });
  EXPECT_THAT(run("list_hidden"), HasValue(R"([{"id":"h"}])"));
  EXPECT_THAT(run("count_notes"), HasValue("12"));
}

TEST_F(SettingsCommandsTest, RevealsTheBackupFolderOnTheMainThread) {
  EXPECT_THAT(run("open_export_backup_folder"), HasValue("null"));  // nothing installed: still null
  std::vector<fs::path> revealed;
  updateSettingsServices([&](SettingsServices& s) { s.revealInFileViewer = [&](const fs::path& p) { revealed.push_back(p); }; });
  EXPECT_THAT(run("open_export_backup_folder"), HasValue("null"));
  EXPECT_THAT(revealed, IsEmpty());  // posted, not done yet
  mainQueue().runReady();
  EXPECT_THAT(revealed, ElementsAre(applicationSupportDirectory() / "MediaBackup"));
}

// ---- Folder choice, projects and the note source

TEST_F(SettingsCommandsTest, ChooseFolderAnswersAGrantOrNull) {
  EXPECT_THAT(run("choose_folder"), HasValue("null"));  // no panel
  bridge::ShellHooks cancelled;
  cancelled.chooseProjectFolder = []() -> std::optional<std::string> { return std::nullopt; };
  bridge::installShellHooks(cancelled);
  EXPECT_THAT(run("choose_folder"), HasValue("null"));

  home.write("notes.txt", "x");
  bridge::ShellHooks file;
  file.chooseProjectFolder = [&]() -> std::optional<std::string> { return (home.path() / "notes.txt").string(); };
  bridge::installShellHooks(file);
  EXPECT_THAT(run("choose_folder"), FailedWith("selected folder is unavailable"));

  fs::create_directories(home.path() / "Projects");
  std::string handle = chooseFolder(home.path() / "Projects");
  EXPECT_EQ(handle.size(), 36u);
}

TEST_F(SettingsCommandsTest, AHandleServesOneCommand) {
  fs::path folder = home.path() / "Work" / "Plan";
  fs::create_directories(folder);
  std::string handle = chooseFolder(folder);
  EXPECT_THAT(run("add_project", R"({"title":"Plan","folderHandle":")" + handle + R"("})"), HasValue("null"));
  EXPECT_EQ(settings().projects.at("Plan"), fs::canonical(folder).string());
  EXPECT_THAT(run("set_note_source", R"({"source":"obsidian","folderHandle":")" + handle + R"("})"),
              FailedWith("choose the vault folder again"));
  EXPECT_THAT(run("add_project", R"({"title":"Plan","folderHandle":")" + handle + R"("})"),
              FailedWith("choose the project folder again"));
}

TEST_F(SettingsCommandsTest, AddProjectChecksTheFolderStillExists) {
  fs::path folder = home.path() / "Gone";
  fs::create_directories(folder);
  std::string handle = chooseFolder(folder);
  fs::remove(folder);
  EXPECT_THAT(run("add_project", R"({"title":"Plan","folderHandle":")" + handle + R"("})"),
              FailedWith("folder not found: " + fs::canonical(home.path()).string() + "/Gone"));
  EXPECT_TRUE(settings().projects.empty());
}

TEST_F(SettingsCommandsTest, AddProjectWithAnExpiredHandle) {
  fs::create_directories(home.path() / "P");
  std::string handle = chooseFolder(home.path() / "P");
  scheduler.fastForwardBy(std::chrono::seconds(601));
  EXPECT_THAT(run("add_project", R"({"title":"Plan","folderHandle":")" + handle + R"("})"),
              FailedWith("choose the project folder again"));
}

TEST_F(SettingsCommandsTest, AddProjectCreatesTheMissingProjectNote) {
  std::vector<std::string> created, inserted;
  bool exists = false;
  Result<std::string> createResult = std::string("new-id");
  updateSettingsServices([&](SettingsServices& s) {
    s.hasNoteNamed = [&](const std::string&) { return exists; };
    s.createNote = [&](const std::string& name) {
      created.push_back(name);
      return createResult;
    };
    s.noteCreated = [&](const std::string& id, const std::string& name) { inserted.push_back(id + ":" + name); };
  });
  set([](Settings& s) { s.hidden = {"new-id", "other"}; });
  fs::create_directories(home.path() / "P");

  EXPECT_THAT(run("add_project", R"({"title":"Plan","folderHandle":")" + chooseFolder(home.path() / "P") + R"("})"),
              HasValue("null"));
  EXPECT_THAT(created, ElementsAre("Plan"));
  EXPECT_THAT(inserted, ElementsAre("new-id:Plan"));
  EXPECT_THAT(settings().hidden, ElementsAre("other"));

  exists = true;  // the cache already has it
  EXPECT_THAT(run("add_project", R"({"title":"Plan","folderHandle":")" + chooseFolder(home.path() / "P") + R"("})"),
              HasValue("null"));
  EXPECT_EQ(created.size(), 1u);

  exists = false;  // creation fails: not the command's failure
  createResult = fail("__notes_auth_denied__");
  EXPECT_THAT(run("add_project", R"({"title":"Next","folderHandle":")" + chooseFolder(home.path() / "P") + R"("})"),
              HasValue("null"));
  EXPECT_EQ(inserted.size(), 1u);
  EXPECT_EQ(settings().projects.count("Next"), 1u);
}

TEST_F(SettingsCommandsTest, RemoveProjectDropsItsInstruction) {
  set([](Settings& s) {
    s.projects = {{"Plan", "/p"}, {"Keep", "/k"}};
    s.lastBuiltSpecs = {{"Plan", "spec"}, {"Keep", "k"}};
  });
  EXPECT_THAT(run("remove_project", R"({"title":"Plan"})"), HasValue("null"));
  EXPECT_EQ(settings().projects, (std::map<std::string, std::string>{{"Keep", "/k"}}));
  EXPECT_EQ(settings().lastBuiltSpecs, (std::map<std::string, std::string>{{"Keep", "k"}}));
}

TEST_F(SettingsCommandsTest, NoteSource) {
  int changes = 0;
  updateSettingsServices([&](SettingsServices& s) { s.noteSourceChanged = [&] { ++changes; }; });
  EXPECT_THAT(run("set_note_source", R"({"source":"obsidian"})"), FailedWith("choose the vault folder again"));
  EXPECT_THAT(run("set_note_source", R"({"source":"obsidian","folderHandle":null})"),
              FailedWith("choose the vault folder again"));
  EXPECT_THAT(run("set_note_source", R"({"source":"obsidian","folderHandle":""})"),
              FailedWith("choose the vault folder again"));
  EXPECT_THAT(run("set_note_source", R"({"source":"evernote"})"), FailedWith("unknown source: evernote"));
  EXPECT_EQ(changes, 0);

  fs::create_directories(home.path() / "Vault");
  fs::create_directory_symlink(home.path() / "Vault", home.path() / "VaultLink");
  std::string handle = chooseFolder(home.path() / "VaultLink");
  EXPECT_THAT(run("set_note_source", R"({"source":"obsidian","folderHandle":")" + handle + R"("})"), HasValue("null"));
  EXPECT_EQ(settings().noteSource, "obsidian");
  EXPECT_EQ(settings().obsidianVaultPath, fs::canonical(home.path() / "Vault").string());
  EXPECT_EQ(changes, 1);

  EXPECT_THAT(run("set_note_source", R"({"source":"applenotes"})"), HasValue("null"));
  EXPECT_EQ(settings().noteSource, "applenotes");
  EXPECT_EQ(settings().obsidianVaultPath, std::nullopt);
  EXPECT_EQ(changes, 2);
  EXPECT_THAT(home.read("Corvane/settings.json"), ::testing::Not(::testing::HasSubstr("obsidianVaultPath")));
}

}  // namespace
}  // namespace corvane::records
