#include "records/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "core/paths.h"
#include "platform/user_defaults.h"
#include "records/app_log.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::records {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using corvane::testing::FailedWith;
using corvane::testing::IsOk;
using corvane::testing::modeOf;

struct DecodeCase {
  const char* name;
  std::string file;
  std::function<void(Settings&)> expected;  // applied to the defaults
};

class SettingsDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(SettingsDecode, LoadsAsExpected) {
  const auto& c = GetParam();
  Settings expected;
  c.expected(expected);
  EXPECT_EQ(decodeSettings(c.file), expected) << c.file;
}

const auto kNothing = [](Settings&) {};
const std::string kCurrentGrid = R"("gridModeVersion": 3, "gridCountExplicit": true, )";

INSTANTIATE_TEST_SUITE_P(
    Rules, SettingsDecode,
    ::testing::Values(
        DecodeCase{"EmptyObject", "{}", kNothing},
        DecodeCase{"OldGridSizeStartsInAuto", R"({"gridCount": 9})", kNothing},
        DecodeCase{"OldVersionStartsInAuto", R"({"gridCount": 12, "gridCountExplicit": true, "gridModeVersion": 2})",
                   kNothing},
        DecodeCase{"MissingExplicitStartsInAuto", R"({"gridCount": 12, "gridModeVersion": 3})", kNothing},
        DecodeCase{"CurrentGridKept", "{" + kCurrentGrid + R"("gridCount": 12})",
                   [](Settings& s) {
                     s.gridCount = 12;
                     s.gridCountExplicit = true;
                   }},
        DecodeCase{"CurrentAutoKept", R"({"gridModeVersion": 3, "gridCountExplicit": false, "gridCount": 9})",
                   [](Settings& s) { s.gridCount = 9; }},
        DecodeCase{"OddGridSizeBecomesSix", "{" + kCurrentGrid + R"("gridCount": 7})",
                   [](Settings& s) { s.gridCountExplicit = true; }},
        DecodeCase{"GridCountWithZeroFraction", "{" + kCurrentGrid + R"("gridCount": 9.0})",
                   [](Settings& s) {
                     s.gridCount = 9;
                     s.gridCountExplicit = true;
                   }},
        DecodeCase{"AutoCountZeroIsOne", R"({"gridAutoCount": 0})", [](Settings& s) { s.gridAutoCount = 1; }},
        DecodeCase{"AutoCountNegativeIsOne", R"({"gridAutoCount": -40})", [](Settings& s) { s.gridAutoCount = 1; }},
        DecodeCase{"AutoCountOneKept", R"({"gridAutoCount": 1})", [](Settings& s) { s.gridAutoCount = 1; }},
        DecodeCase{"AutoCountAboveSixtyIsSixty", R"({"gridAutoCount": 99})",
                   [](Settings& s) { s.gridAutoCount = 60; }},
        DecodeCase{"AutoCountInRangeKept", R"({"gridAutoCount": 17})", [](Settings& s) { s.gridAutoCount = 17; }},
        DecodeCase{"CardOrderCleaned", R"({"cardOrder": ["a", "", "b", "a"]})",
                   [](Settings& s) { s.cardOrder = {"a", "b"}; }},
        DecodeCase{"TrueByDefaultFlags", R"({"configured": true})", [](Settings& s) { s.configured = true; }},
        DecodeCase{"TrueByDefaultFlagsCanBeFalse",
                   R"({"showTips": false, "backupExportsToMediaStore": false, "betaTelemetry": false})",
                   [](Settings& s) {
                     s.showTips = false;
                     s.backupExportsToMediaStore = false;
                     s.betaTelemetry = false;
                   }},
        DecodeCase{"NullMeansAbsent", R"({"showTips": null, "rawClipsId": null, "pinned": null})", kNothing},
        DecodeCase{"UnknownKeysIgnored", R"({"future": {"x": 1}, "pinned": ["p"]})",
                   [](Settings& s) { s.pinned = {"p"}; }},
        DecodeCase{"EveryField",
                   R"({"models": {"claude": "opus"}, "projects": {"Plan": "/p"}, "pinned": ["a"],
                       "hidden": ["h"], "bindings": {"clip": "Cmd+K"}, "mouse": {"clip": "button4"},
                       "configured": true, "tutorialSeen": true, "initialNotesCreated": true,
                       "termsAccepted": true, "rawClipsId": "r", "followupId": "f",
                       "lastBuiltSpecs": {"Plan": "build"}, "aiProvider": "codex",
                       "approvedAIBinaries": {"codex": "abc"}, "noteSource": "obsidian",
                       "obsidianVaultPath": "/v", "requireBiometricUnlock": true})",
                   [](Settings& s) {
                     s.models = {{"claude", "opus"}};
                     s.projects = {{"Plan", "/p"}};
                     s.pinned = {"a"};
                     s.hidden = {"h"};
                     s.bindings = {{"clip", "Cmd+K"}};
                     s.mouse = {{"clip", "button4"}};
                     s.configured = s.tutorialSeen = s.initialNotesCreated = s.termsAccepted = true;
                     s.rawClipsId = "r";
                     s.followupId = "f";
                     s.lastBuiltSpecs = {{"Plan", "build"}};
                     s.aiProvider = "codex";
                     s.approvedAIBinaries = {{"codex", "abc"}};
                     s.noteSource = "obsidian";
                     s.obsidianVaultPath = "/v";
                     s.requireBiometricUnlock = true;
                   }},
        // Any wrong-typed key throws the whole file away.
        DecodeCase{"TextForBoolean", R"({"pinned": ["a"], "showTips": "yes"})", kNothing},
        DecodeCase{"NumberForBoolean", R"({"pinned": ["a"], "configured": 1})", kNothing},
        DecodeCase{"FractionForInteger", R"({"pinned": ["a"], "gridAutoCount": 6.5})", kNothing},
        DecodeCase{"BooleanForInteger", R"({"pinned": ["a"], "gridCount": true})", kNothing},
        DecodeCase{"HugeInteger", R"({"pinned": ["a"], "gridAutoCount": 18446744073709551615})", kNothing},
        DecodeCase{"NumberInTextArray", R"({"pinned": ["a", 3]})", kNothing},
        DecodeCase{"NumberInTextMap", R"({"pinned": ["a"], "models": {"claude": 4}})", kNothing},
        DecodeCase{"ArrayForMap", R"({"pinned": ["a"], "projects": []})", kNothing},
        DecodeCase{"NumberForOptionalText", R"({"pinned": ["a"], "rawClipsId": 5})", kNothing},
        // Not a settings object at all.
        DecodeCase{"Empty", "", kNothing},
        DecodeCase{"Truncated", R"({"pinned": ["a", "b")", kNothing},
        DecodeCase{"Array", R"(["pinned"])", kNothing},
        DecodeCase{"Binary", std::string("\x89PNG\r\n\x1a\n\0\0\xff\xfe", 12), kNothing},
        DecodeCase{"InvalidUtf8InString", "{\"pinned\": [\"a\xff\"]}", kNothing}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsDecode, CardOrderIsCappedAtItsLimit) {
  Json order = Json::array();
  for (int i = 0; i < 5003; ++i) order.push_back("n" + std::to_string(i));
  Settings s = decodeSettings(dumpCompact(Json{{"cardOrder", order}}));
  ASSERT_EQ(s.cardOrder.size(), Settings::kMaxCardOrder);
  EXPECT_EQ(s.cardOrder.back(), "n4999");
}

TEST(SettingsEncode, SortedPrettyAndWithoutAbsentTexts) {
  Settings s;
  s.followupId = "f";
  s.projects = {{"b", "/2"}, {"a", "/1"}};
  std::string text = encodeSettings(s);
  EXPECT_THAT(text, HasSubstr("\n  \"aiProvider\": \"\",\n  \"approvedAIBinaries\": {},\n"));
  EXPECT_THAT(text, HasSubstr("\"followupId\": \"f\""));
  EXPECT_THAT(text, Not(HasSubstr("rawClipsId")));
  EXPECT_THAT(text, Not(HasSubstr("obsidianVaultPath")));
  EXPECT_THAT(text, Not(HasSubstr("null")));
  EXPECT_LT(text.find("\"a\": \"/1\""), text.find("\"b\": \"/2\""));
  auto parsed = parseJson(text);
  ASSERT_TRUE(parsed.has_value());
  std::string previous;
  for (const auto& [key, value] : parsed->items()) {
    EXPECT_LT(previous, key);
    previous = key;
  }
  EXPECT_EQ((*parsed)["gridModeVersion"], 3);
  EXPECT_EQ(parsed->size(), 24u);  // 26 fields, two optional texts absent
}

TEST(SettingsEncode, RoundTripsEveryValue) {
  Settings s;
  s.models = {{"gemini", "2.5-pro"}};
  s.pinned = {"x", "y"};
  s.gridCount = 12;
  s.gridCountExplicit = true;
  s.gridAutoCount = 33;
  s.cardOrder = {"c", "a"};
  s.rawClipsId = "raw";
  s.obsidianVaultPath = "/vault \"quoted\"";
  s.showTips = false;
  s.betaTelemetry = false;
  s.lastBuiltSpecs = {{"Plan", "line\nline \xe2\x80\xa8 end"}};
  EXPECT_EQ(decodeSettings(encodeSettings(s)), s);
}

// ---- The store

class SettingsStoreTest : public ::testing::Test {
 protected:
  testing::TempHome home;
  testing::FakeScheduler scheduler;
  SettingsStore store{scheduler.createQueue("com.corvane.settings")};
  std::filesystem::path file() const { return dataDirectory() / "settings.json"; }
};

TEST_F(SettingsStoreTest, MissingFileLoadsDefaultsAndWritesNothing) {
  EXPECT_EQ(store.load(), Settings{});
  EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(SettingsStoreTest, FirstWriteCreatesPrivateFileInPrivateFolder) {
  ASSERT_THAT(store.update([](Settings& s) { s.pinned.push_back("a"); }), IsOk());
  EXPECT_EQ(modeOf(dataDirectory()), 0700u);
  EXPECT_EQ(modeOf(file()), 0600u);
  EXPECT_EQ(decodeSettings(home.read("Corvane/settings.json")).pinned, std::vector<std::string>{"a"});
}

TEST_F(SettingsStoreTest, ReadsTheFileOnceAndThenServesTheCache) {
  home.write("Corvane/settings.json", R"({"pinned": ["a"]})");
  EXPECT_THAT(store.load().pinned, ElementsAre("a"));
  home.write("Corvane/settings.json", R"({"pinned": ["b"]})");
  EXPECT_THAT(store.load().pinned, ElementsAre("a"));
}

TEST_F(SettingsStoreTest, DamagedFilesAreKeptAsideLoggedAndReplacedByDefaults) {
  auto log = std::make_shared<AppLog>(systemClock(), scheduler.createQueue("com.corvane.applog"),
                                      [this] { return home.path() / "logs"; });
  AppLog::setSharedForTesting(log);
  int n = 0;
  for (std::string bad : {std::string("{\"pinned\": [\"a\""), std::string("\0\xff\xfe garbage", 12),
                          std::string(R"({"pinned": ["keep"], "obsidianVaultPath": "/v", "showTips": "yes"})")}) {
    SCOPED_TRACE(n);
    SettingsStore fresh(scheduler.createQueue("com.corvane.settings"));
    home.write("Corvane/settings.json", bad);
    EXPECT_EQ(fresh.load(), Settings{});
    EXPECT_EQ(home.read("Corvane/settings.json.corrupt"), bad);
    EXPECT_EQ(modeOf(dataDirectory() / "settings.json.corrupt"), 0600u);
    ASSERT_THAT(fresh.update([](Settings& s) { s.hidden = {"h"}; }), IsOk());
    Settings onDisk = decodeSettings(home.read("Corvane/settings.json"));
    EXPECT_THAT(onDisk.hidden, ElementsAre("h"));
    EXPECT_THAT(onDisk.pinned, IsEmpty());
    EXPECT_EQ(home.read("Corvane/settings.json.corrupt"), bad);  // the next write leaves it alone
    ++n;
  }
  log->flush();
  const std::string pending = home.read("logs/pending-upload.jsonl");
  size_t reports = 0;
  for (size_t at = 0; (at = pending.find("settings.json could not be decoded", at)) != std::string::npos; ++at)
    ++reports;
  EXPECT_EQ(reports, 3u) << pending;
  EXPECT_NE(pending.find("\"error\""), std::string::npos) << pending;
  AppLog::setSharedForTesting(nullptr);
}

TEST_F(SettingsStoreTest, DamagedUserDefaultsAreKeptAsideAndReported) {
  std::vector<std::string> reports;
  platform::setUserDefaultsDamageHook([&](const std::string& m) { reports.push_back(m); });
  auto defaults = platform::makeFileUserDefaults();
  home.write(".config/corvane/defaults.json", "{\"corvane_configured\": tru");
  EXPECT_EQ(defaults->get("corvane_configured"), std::nullopt);
  EXPECT_EQ(home.read(".config/corvane/defaults.json.corrupt"), "{\"corvane_configured\": tru");
  ASSERT_THAT(defaults->set("corvane_tutorial_seen", true), IsOk());
  EXPECT_TRUE(defaults->getBool("corvane_tutorial_seen"));
  EXPECT_EQ(home.read(".config/corvane/defaults.json.corrupt"), "{\"corvane_configured\": tru");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "defaults.json could not be decoded; kept as defaults.json.corrupt");
  platform::setUserDefaultsDamageHook(nullptr);
}

TEST_F(SettingsStoreTest, AFolderInPlaceOfTheFileLoadsDefaults) {
  std::filesystem::create_directories(file());
  EXPECT_EQ(store.load(), Settings{});
}

TEST_F(SettingsStoreTest, FailedWriteReturnsTheErrorAndKeepsTheChange) {
  // A plain file where the data directory should be: no write can succeed,
  // whoever runs the test.
  home.write("Corvane", "not a folder");
  auto result = store.update([](Settings& s) { s.pinned.push_back("a"); });
  EXPECT_THAT(result, FailedWith("Not a directory"));
  EXPECT_THAT(store.load().pinned, ElementsAre("a"));
  // The next change builds on the kept one.
  EXPECT_THAT(store.update([](Settings& s) { s.pinned.push_back("b"); }), FailedWith("Not a directory"));
  EXPECT_THAT(store.load().pinned, ElementsAre("a", "b"));
  // Once the folder is usable again, everything is written.
  std::filesystem::remove(home.path() / "Corvane");
  ASSERT_THAT(store.update([](Settings&) {}), IsOk());
  EXPECT_THAT(decodeSettings(home.read("Corvane/settings.json")).pinned, ElementsAre("a", "b"));
}

TEST_F(SettingsStoreTest, FailedRenameLeavesNoTemporaryFile) {
  // The settings file's name taken by a non-empty folder: the rename fails.
  home.write("Corvane/settings.json/inside", "x");
  EXPECT_THAT(store.update([](Settings& s) { s.pinned = {"new"}; }), Not(IsOk()));
  std::vector<std::string> leftovers;
  for (const auto& entry : std::filesystem::directory_iterator(dataDirectory())) {
    leftovers.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(leftovers, ElementsAre("settings.json"));  // no temporary left behind
}

TEST_F(SettingsStoreTest, NestedUpdateIsRefusedNotLost) {
  Result<void> inner;
  ASSERT_THAT(store.update([&](Settings& s) {
    s.pinned.push_back("outer");
    inner = store.update([](Settings& t) { t.pinned.push_back("inner"); });
  }),
              IsOk());
  EXPECT_FALSE(inner.has_value());
  EXPECT_THAT(store.load().pinned, ElementsAre("outer"));
}

TEST_F(SettingsStoreTest, RenameProjectKeys) {
  auto reset = [&] {
    ASSERT_THAT(store.update([](Settings& s) {
      s.projects = {{"Old", "/o"}, {"Taken", "/t"}, {"Same", "/o"}};
      s.lastBuiltSpecs = {{"Old", "spec"}};
    }),
                IsOk());
  };
  reset();
  ASSERT_THAT(store.renameProjectKeys("Old", "New"), IsOk());
  EXPECT_EQ(store.load().projects, (std::map<std::string, std::string>{{"New", "/o"}, {"Same", "/o"}, {"Taken", "/t"}}));
  EXPECT_EQ(store.load().lastBuiltSpecs, (std::map<std::string, std::string>{{"New", "spec"}}));

  reset();  // the new title already has another folder: only the old entry goes
  ASSERT_THAT(store.renameProjectKeys("Old", "Taken"), IsOk());
  EXPECT_EQ(store.load().projects, (std::map<std::string, std::string>{{"Same", "/o"}, {"Taken", "/t"}}));
  EXPECT_EQ(store.load().lastBuiltSpecs, (std::map<std::string, std::string>{{"Old", "spec"}}));

  reset();  // same folder under the new title: the entry and its spec move
  ASSERT_THAT(store.renameProjectKeys("Old", "Same"), IsOk());
  EXPECT_EQ(store.load().projects, (std::map<std::string, std::string>{{"Same", "/o"}, {"Taken", "/t"}}));
  EXPECT_EQ(store.load().lastBuiltSpecs, (std::map<std::string, std::string>{{"Same", "spec"}}));

  reset();  // nothing to do
  Settings before = store.load();
  ASSERT_THAT(store.renameProjectKeys("Missing", "New"), IsOk());
  ASSERT_THAT(store.renameProjectKeys("Old", "Old"), IsOk());
  ASSERT_THAT(store.renameProjectKeys("", "New"), IsOk());
  ASSERT_THAT(store.renameProjectKeys("Old", ""), IsOk());
  EXPECT_EQ(store.load(), before);
}

TEST_F(SettingsStoreTest, RemoveFromCardOrderAndUnhide) {
  ASSERT_THAT(store.update([](Settings& s) {
    s.cardOrder = {"a", "b", "c"};
    s.hidden = {"b", "x", "b"};
  }),
              IsOk());
  ASSERT_THAT(store.removeFromCardOrder("b"), IsOk());
  ASSERT_THAT(store.unhide("b"), IsOk());
  EXPECT_THAT(store.load().cardOrder, ElementsAre("a", "c"));
  EXPECT_THAT(store.load().hidden, ElementsAre("x"));
}

TEST(SettingsStoreConcurrency, UpdatesFromManyThreadsLoseNothing) {
  testing::TempHome home;
  SettingsStore store(std::make_shared<SerialQueue>("com.corvane.settings"));
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string id = std::to_string(t) + "-" + std::to_string(i);
        if (!store.update([&](Settings& s) {
              s.pinned.push_back(id);
              s.gridAutoCount = s.gridAutoCount % 60 + 1;  // a read-modify-write
            })) {
          ++failures;
        }
        (void)store.load();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  Settings s = store.load();
  EXPECT_EQ(s.pinned.size(), size_t(kThreads * kEach));
  EXPECT_EQ(cleanIds(s.pinned).size(), s.pinned.size());
  EXPECT_EQ(s.gridAutoCount, (6 + kThreads * kEach - 1) % 60 + 1);
  EXPECT_EQ(decodeSettings(home.read("Corvane/settings.json")).pinned, s.pinned);
}

TEST(SettingsShared, FollowsTheReplacedStore) {
  testing::TempHome home;
  testing::FakeScheduler scheduler;
  auto replacement = std::make_shared<SettingsStore>(scheduler.createQueue("com.corvane.settings"));
  SettingsStore::setSharedForTesting(replacement);
  ASSERT_THAT(Settings::update([](Settings& s) { s.termsAccepted = true; }), IsOk());
  EXPECT_TRUE(replacement->load().termsAccepted);
  EXPECT_TRUE(Settings::load().termsAccepted);
  SettingsStore::setSharedForTesting(nullptr);
}

}  // namespace
}  // namespace corvane::records
