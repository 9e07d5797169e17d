#include "notes/note.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "core/paths.h"
#include "testing/fake_scheduler.h"
#include "notes/file_store.h"
#include "notes/note_store.h"
#include "records/settings.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

TEST(NoteJson, WritesAllNineKeysInFieldOrder) {
  Note note;
  note.id = "x";
  note.name = "N";
  note.age = -42;
  note.images = {"a.png"};
  note.bodyHydrated = true;
  EXPECT_EQ(dumpCompact(noteToJson(note)),
            R"({"id":"x","name":"N","preview":"","pinned":false,"age":-42,"images":["a.png"],)"
            R"("previewHTML":"","bodyHydrated":true,"nativeAttachmentsHydrated":false})");
  EXPECT_EQ(noteFromJson(noteToJson(note)), note);
}

TEST(NoteJson, DecodingIsTolerant) {
  // An older cache without the newer keys, and values of the wrong type.
  auto json = parseJson(R"({"id":"a","name":7,"age":12.9,"images":["x",3,"y"],"pinned":"yes"})");
  ASSERT_TRUE(json.has_value());
  Note note = noteFromJson(*json);
  EXPECT_EQ(note.id, "a");
  EXPECT_EQ(note.name, "");
  EXPECT_EQ(note.age, 12);
  EXPECT_EQ(note.images, (std::vector<std::string>{"x", "y"}));
  EXPECT_FALSE(note.pinned);
  EXPECT_EQ(note.previewHTML, "");
  EXPECT_FALSE(note.bodyHydrated);
  EXPECT_FALSE(note.nativeAttachmentsHydrated);

  EXPECT_EQ(noteFromJson(Json::array()), Note{});
  auto list = parseJson(R"([{"id":"a"},5,{"id":"b"}])");
  ASSERT_TRUE(list.has_value());
  auto notes = notesFromJson(*list);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1].id, "b");
}

TEST(SetBodyOutcomeJson, HasOneKey) {
  EXPECT_EQ(dumpCompact(setBodyOutcomeToJson(SetBodyOutcome{3})), R"({"nativeAttachmentsBackedUp":3})");
}

class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (had_) ::setenv("TZ", saved_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST(AgeOfNow, IsNegatedLocalSecondsOnTheInjectedClock) {
  testing::FakeScheduler clock(fromUnixSeconds(1000000.75));
  {
    TimeZone utc("UTC0");
    EXPECT_EQ(ageOfNow(clock), -1000000);
  }
  {
    // Central Europe: +1 h in winter, +2 h in summer; the offset of the moment counts.
    TimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(ageOfNow(clock), -(1000000 + 3600));  // 12 January 1970
    clock.setWallTime(fromUnixSeconds(1751328000.5));  // 1 July 2025
    EXPECT_EQ(ageOfNow(clock), -(1751328000LL + 7200));
  }
  {
    TimeZone west("XYZ5");  // UTC-5
    clock.setWallTime(fromUnixSeconds(1751328000.5));
    EXPECT_EQ(ageOfNow(clock), -(1751328000LL - 18000));
  }
}

TEST(AgeOfNow, AFreshNoteSortsBeforeEveryFolderNote) {
  testing::FakeScheduler clock;
  EXPECT_LT(ageOfNow(clock), 0);
}

std::filesystem::path rootOf(const std::shared_ptr<NoteStore>& store) {
  auto* files = dynamic_cast<FileStore*>(store.get());
  return files ? files->root() : std::filesystem::path("<not a folder store>");
}

TEST(ActiveNoteStore, UsesTheVaultOnlyForAUsableObsidianSource) {
  testing::TempHome home;
  const auto builtIn = dataDirectory() / "Notes";
  struct Case {
    std::string source, vault;
    std::filesystem::path root;
  };
  const std::vector<Case> cases = {
      {"obsidian", "/vault/path", "/vault/path"},
      {"obsidian", "", builtIn},
      {"", "/vault/path", builtIn},
      {"applenotes", "/vault/path", builtIn},
      {"something-else", "", builtIn},
  };
  for (const auto& c : cases) EXPECT_EQ(rootOf(activeNoteStore(c.source, c.vault)), c.root) << c.source;
}

TEST(ActiveNoteStore, BuiltInFolderIsCreatedPrivateOnFirstUse) {
  testing::TempHome home;
  auto store = activeNoteStore("applenotes", "");
  ASSERT_TRUE(store->listNotes(0).has_value());
  EXPECT_EQ(testing::modeOf(dataDirectory() / "Notes"), 0700u);
  auto id = store->createNote("First", "<div>x</div>");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(testing::modeOf(dataDirectory() / "Notes" / (*id + ".md")), 0600u);
}

TEST(ActiveNoteStore, FollowsTheSettingsAtEveryCall) {
  testing::TempHome home;
  testing::FakeScheduler scheduler;
  auto settings = std::make_shared<records::SettingsStore>(scheduler.createQueue("com.corvane.settings"));
  records::SettingsStore::setSharedForTesting(settings);
  const auto vault = home.path() / "Vault";

  EXPECT_EQ(rootOf(activeNoteStore()), dataDirectory() / "Notes");
  ASSERT_TRUE(settings->update([&](records::Settings& s) {
    s.noteSource = "obsidian";
    s.obsidianVaultPath = vault.string();
  }).has_value());
  EXPECT_EQ(rootOf(activeNoteStore()), vault);
  ASSERT_TRUE(settings->update([&](records::Settings& s) { s.obsidianVaultPath.reset(); }).has_value());
  EXPECT_EQ(rootOf(activeNoteStore()), dataDirectory() / "Notes");

  records::SettingsStore::setSharedForTesting(nullptr);
}

}  // namespace
}  // namespace corvane::notes
