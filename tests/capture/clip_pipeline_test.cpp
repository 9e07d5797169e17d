// The clip pipeline on fakes: selection, link lookup, HUD, a folder note store
// that can be told to fail, and recorded settings, statistics and events.
#include "capture/clip_pipeline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "capture/clip_source.h"
#include "core/files.h"
#include "notes/file_store.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::capture {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

class FakeSelection final : public SelectionSource {
 public:
  FrontAppSnapshot app{4242, "Firefox", "firefox", 7};
  std::optional<std::string> selected;
  CopyResult copied;
  int reads = 0, copies = 0;

  FrontAppSnapshot frontApp() override { return app; }
  std::optional<std::string> readSelection(const FrontAppSnapshot&) override {
    ++reads;
    return selected;
  }
  CopyResult copySelection(const FrontAppSnapshot&) override {
    ++copies;
    return copied;
  }
};

class FakeLookup final : public SourceLinkLookup {
 public:
  SourceLookupResult result;
  std::shared_future<void> gate;  // when set, the lookup waits for it
  SourceLookupResult lookUp(const FrontAppSnapshot&) override {
    if (gate.valid()) gate.wait();
    return result;
  }
};

class FakeHUD final : public ClipHUD {
 public:
  std::mutex mutex;
  std::vector<std::pair<std::string, bool>> shown;
  void show(const std::string& text, bool success) override {
    std::lock_guard lock(mutex);
    shown.emplace_back(text, success);
  }
  std::string last() {
    std::lock_guard lock(mutex);
    return shown.empty() ? "" : shown.back().first;
  }
};

// A folder store whose create and append can be made to fail.
class FaultyStore final : public notes::NoteStore {
 public:
  explicit FaultyStore(std::filesystem::path root) : inner(std::move(root)) {}
  notes::FileStore inner;
  std::optional<std::string> appendFailure, createFailure;

  Result<std::vector<notes::Note>> listNotes(int64_t l) override { return inner.listNotes(l); }
  Result<std::string> body(const std::string& id) override { return inner.body(id); }
  Result<std::string> plainText(const std::string& id) override { return inner.plainText(id); }
  std::vector<std::pair<std::string, std::string>> plainTexts(const std::vector<std::string>& ids) override {
    return inner.plainTexts(ids);
  }
  std::map<std::string, std::string> bodies(const std::vector<std::string>& ids) override { return inner.bodies(ids); }
  std::map<std::string, int64_t> attachmentCounts(const std::vector<std::string>& ids) override {
    return inner.attachmentCounts(ids);
  }
  std::map<std::string, notes::NativeAttachmentBackup> backupAttachments(const std::vector<std::string>& ids) override {
    return inner.backupAttachments(ids);
  }
  Result<void> appendHTML(const std::string& id, const std::string& html) override {
    if (appendFailure) return fail(*appendFailure);
    return inner.appendHTML(id, html);
  }
  Result<notes::SetBodyOutcome> setBody(const std::string& id, const std::string& html, bool force) override {
    return inner.setBody(id, html, force);
  }
  Result<std::string> createNote(const std::string& name, const std::string& html) override {
    if (createFailure) return fail(*createFailure);
    return inner.createNote(name, html);
  }
  Result<void> renameNote(const std::string& id, const std::string& name) override {
    return inner.renameNote(id, name);
  }
  Result<void> deleteNote(const std::string& id) override { return inner.deleteNote(id); }
  Result<std::vector<notes::Note>> searchNames(const std::string& q) override { return inner.searchNames(q); }
  Result<std::vector<notes::Note>> searchNotes(const std::string& q) override { return inner.searchNotes(q); }
  Result<std::vector<notes::Note>> findNotes(const std::vector<std::string>& ids,
                                             const std::vector<std::string>& names) override {
    return inner.findNotes(ids, names);
  }
};

class ClipPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_shared<FaultyStore>(home.path() / "Notes");
    ClipServices s;
    s.store = [this] { return store; };
    s.knownNotes = [this] { return known; };
    s.noteCreated = [this](const std::string& id, const std::string& name) { created.emplace_back(id, name); };
    s.bodyChanged = [this](const std::string& id, const std::string& text) { changed.emplace_back(id, text); };
    s.loadSettings = [this] { return settings; };
    s.updateSettings = [this](const std::function<void(records::Settings&)>& m) -> Result<void> {
      m(settings);
      return ok();
    };
    s.recordStats = [this](int64_t c, int64_t f, int64_t w) {
      clips += c;
      followups += f;
      words += w;
    };
    s.recordDestination = [this](const std::string& id, const std::string& name) { destinations.emplace_back(id, name); };
    s.emitEvent = [this](std::string_view n, std::string_view p) { events.emplace_back(n, p); };
    s.showWindow = [this] { ++windowShown; };
    s.onboardingActive = [this] { return onboarding; };
    s.trusted = [this] { return trusted; };
    s.fallbackFile = home.path() / "Desktop" / "Corvane" / "clips-fallback.txt";
    s.outboxFile = home.path() / "Corvane" / "clips-outbox.jsonl";
    services = s;
    queue = scheduler.createQueue("com.corvane.clip");
    pipeline = std::make_unique<ClipPipeline>(scheduler, queue, selection, lookup, hud, services);
  }

  void clip(const ClipTarget& target, const std::string& source = "keyboard") {
    pipeline->submit(target, source);
    scheduler.runUntilIdle();
    scheduler.fastForwardBy(600ms);  // past the debounce for the next one
  }
  std::string noteBody(const std::string& id) { return store->body(id).value_or("<missing>"); }
  std::string fallback() { return readFile(services.fallbackFile).value_or(""); }

  corvane::testing::TempHome home;
  corvane::testing::FakeScheduler scheduler;
  std::shared_ptr<TaskQueue> queue;
  std::shared_ptr<FakeSelection> selection = std::make_shared<FakeSelection>();
  std::shared_ptr<FakeLookup> lookup = std::make_shared<FakeLookup>();
  std::shared_ptr<FakeHUD> hud = std::make_shared<FakeHUD>();
  std::shared_ptr<FaultyStore> store;
  ClipServices services;
  std::unique_ptr<ClipPipeline> pipeline;

  std::vector<notes::Note> known;
  records::Settings settings;
  std::vector<std::pair<std::string, std::string>> created, changed, destinations, events;
  int64_t clips = 0, followups = 0, words = 0;
  int windowShown = 0;
  bool onboarding = false, trusted = true;
};

TEST_F(ClipPipelineTest, AccessibilitySelectionGoesToRawClipsWithTheDocumentLink) {
  selection->selected = "a\n\n  b\tc";
  lookup->result.documentURL = "https://example.com/a?b=1&c=\"";
  clip(ClipTarget::defaultNote());

  EXPECT_EQ(selection->copies, 0) << "a selection read through accessibility never copies";
  ASSERT_TRUE(settings.rawClipsId);
  const std::string id = *settings.rawClipsId;
  EXPECT_THAT(created, ElementsAre(Pair(id, "Raw Clips")));
  EXPECT_THAT(noteBody(id), HasSubstr(composeClip("a b c", "https://example.com/a?b=1&c=\"", std::nullopt)));
  EXPECT_THAT(noteBody(id), HasSubstr("https://example.com/a?b=1&amp;c=&quot;"));
  EXPECT_EQ(hud->last(), "✓ Raw Clips");
  EXPECT_THAT(changed, ElementsAre(Pair(id, "a b c")));
  EXPECT_EQ(clips, 1);
  EXPECT_EQ(followups, 0);
  EXPECT_EQ(words, 3);
  EXPECT_THAT(destinations, ElementsAre(Pair(id, "Raw Clips")));
  EXPECT_THAT(events, ElementsAre(Pair("onboard:clip", "null")));

  // The next clip reuses the remembered note.
  selection->selected = "second";
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(created.size(), 1u);
  EXPECT_THAT(noteBody(id), HasSubstr("second"));
}

TEST_F(ClipPipelineTest, CopyPathFollowupCountsAFollowUpAndUsesTheCopiedLink) {
  selection->copied = {"one two", "https://copied.example/x", "<p>one two</p>"};
  clip(ClipTarget::followup());
  EXPECT_EQ(selection->copies, 1);
  ASSERT_TRUE(settings.followupId);
  EXPECT_THAT(noteBody(*settings.followupId), HasSubstr("https://copied.example/x"));
  EXPECT_EQ(hud->last(), "✓ Followup");
  EXPECT_EQ(followups, 1);
  EXPECT_EQ(clips, 0);
  EXPECT_EQ(words, 2);
  EXPECT_THAT(events, ElementsAre(Pair("onboard:followup", "null")));
}

TEST_F(ClipPipelineTest, SourcePrecedenceAndTheBrowserWarning) {
  struct Case {
    std::optional<std::string> doc, ax, copied;
    bool denied;
    std::string appName, appId;
    std::string source;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"https://doc.example/", "https://ax.example/", "https://copy.example/", false, "Firefox", "firefox",
       "https://doc.example/", "✓ Raw Clips"},
      {"javascript:alert(1)", "https://ax.example/", std::nullopt, false, "Firefox", "firefox", "https://ax.example/",
       "✓ Raw Clips"},
      {std::nullopt, std::nullopt, "https://copy.example/", true, "Chromium", "chromium", "https://copy.example/",
       "✓ Raw Clips"},
      {std::nullopt, std::nullopt, std::nullopt, true, "Chromium", "chromium", "Chromium",
       "✓ Raw Clips · ⚠ allow browser access for the link"},
      {std::nullopt, std::nullopt, std::nullopt, false, "  ", " org.gnome.gedit ", "org.gnome.gedit", "✓ Raw Clips"},
      {std::nullopt, std::nullopt, std::nullopt, false, "", "", "", "✓ Raw Clips"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(i);
    selection->selected = "text " + std::to_string(i);
    selection->app.name = c.appName;
    selection->app.appId = c.appId;
    lookup->result = {c.doc, c.ax, c.denied};
    selection->selected.reset();
    selection->copied = {"text " + std::to_string(i), c.copied, std::nullopt};
    clip(ClipTarget::defaultNote());
    EXPECT_EQ(hud->last(), c.message);
    EXPECT_THAT(noteBody(*settings.rawClipsId),
                HasSubstr(composeClip("text " + std::to_string(i), c.source, std::nullopt)));
  }
}

TEST_F(ClipPipelineTest, CopiedTableIsSanitisedAndItsSourceLineKept) {
  selection->copied = {"x y", std::nullopt,
                       "SourceURL:https://t.example/\n<table style=\"color:red\"><tr><td colspan=\"2\">x y</td></tr>"
                       "</table><script>alert(1)</script>"};
  clip(ClipTarget::defaultNote());
  auto body = noteBody(*settings.rawClipsId);
  EXPECT_THAT(body, HasSubstr("colspan=\"2\""));
  EXPECT_THAT(body, ::testing::Not(HasSubstr("style")));
  EXPECT_THAT(body, ::testing::Not(HasSubstr("<script")));
  EXPECT_THAT(body, HasSubstr("https://t.example/"));
}

TEST_F(ClipPipelineTest, SecondClipWithinHalfASecondIsDroppedOnTheMonotonicClock) {
  selection->selected = "first";
  pipeline->submit(ClipTarget::defaultNote(), "keyboard");
  scheduler.runUntilIdle();
  scheduler.fastForwardBy(400ms);
  selection->selected = "second";
  pipeline->submit(ClipTarget::defaultNote(), "keyboard");
  scheduler.runUntilIdle();
  EXPECT_EQ(selection->reads, 1);
  // Another target has its own interval.
  pipeline->submit(ClipTarget::followup(), "keyboard");
  scheduler.runUntilIdle();
  EXPECT_EQ(selection->reads, 2);
  // A wall-clock jump back does not matter; monotonic time past 0.5 s does.
  scheduler.setWallTime(fromUnixSeconds(0));
  scheduler.fastForwardBy(101ms);
  pipeline->submit(ClipTarget::defaultNote(), "keyboard");
  scheduler.runUntilIdle();
  EXPECT_EQ(selection->reads, 3);
  EXPECT_EQ(clips, 2);
}

TEST_F(ClipPipelineTest, StopsWithTheirMessages) {
  // Nothing selected: nothing written.
  selection->copied = {"  \n\t ", std::nullopt, std::nullopt};
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(hud->last(), "✕ Nothing selected");
  EXPECT_FALSE(settings.rawClipsId);

  // The tutorial reads and writes nothing and tells the page the source.
  onboarding = true;
  clip(ClipTarget::followup(), "mouse");
  EXPECT_EQ(hud->last(), "✓ Saved to 'Followup'");
  EXPECT_THAT(events, ElementsAre(Pair("onboard:followup", R"({"source":"mouse"})")));
  EXPECT_EQ(selection->copies, 1);
  onboarding = false;

  // No global input: the window comes up and the page is told.
  trusted = false;
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(hud->last(), "✕ Grant Accessibility");
  EXPECT_EQ(windowShown, 1);
  EXPECT_THAT(events.back(), Pair("perm:needed", R"({"kind":"accessibility"})"));
  trusted = true;

  // A new note needs a name.
  selection->copied = {"kept", std::nullopt, std::nullopt};
  clip(ClipTarget::newNote("  \n "));
  EXPECT_EQ(hud->last(), "✕ Give the note a name");
  EXPECT_TRUE(created.empty());
}

TEST_F(ClipPipelineTest, NewNoteIsCreatedUnhiddenAndUnpinned) {
  settings.hidden = {"ideas"};
  settings.pinned = {"ideas", "other"};
  selection->selected = "thought";
  clip(ClipTarget::newNote("  Ideas "));
  ASSERT_EQ(created.size(), 1u);
  const auto id = created[0].first;
  EXPECT_EQ(created[0].second, "Ideas");
  EXPECT_THAT(noteBody(id), HasSubstr("thought"));
  EXPECT_EQ(hud->last(), "✓ Ideas");
  EXPECT_THAT(settings.hidden, ::testing::Not(::testing::Contains(id)));
  EXPECT_THAT(settings.pinned, ::testing::Not(::testing::Contains(id)));
  EXPECT_THAT(destinations, ElementsAre(Pair(id, "Ideas")));
}

TEST_F(ClipPipelineTest, ResolveClipNoteFindsOrRecreatesTheStandingNote) {
  // A remembered note the cache knows is taken as is.
  settings.rawClipsId = "cached-id";
  known = {notes::Note{.id = "cached-id", .name = "Raw Clips"}};
  EXPECT_EQ(pipeline->resolveClipNote("Raw Clips", ClipPipeline::Kind::RawClips), "cached-id");

  // A stale id: the note of that exact name is found (not "Raw Clips 2").
  known.clear();
  auto other = *store->createNote("Raw Clips 2", "");
  auto exact = *store->createNote("Raw Clips", "");
  EXPECT_EQ(pipeline->resolveClipNote("Raw Clips", ClipPipeline::Kind::RawClips), exact);
  EXPECT_EQ(settings.rawClipsId, exact);
  EXPECT_NE(other, exact);

  // Deleted by the user: created again and remembered.
  ASSERT_TRUE(store->deleteNote(exact));
  auto again = pipeline->resolveClipNote("Raw Clips", ClipPipeline::Kind::RawClips);
  EXPECT_FALSE(again.empty());
  EXPECT_THAT(created, ElementsAre(Pair(again, "Raw Clips")));
  EXPECT_EQ(settings.rawClipsId, again);
  EXPECT_TRUE(store->body(again));

  // Creation failing: "✕ Error" and the old id back.
  ASSERT_TRUE(store->deleteNote(again));
  store->createFailure = "disk full";
  EXPECT_EQ(pipeline->resolveClipNote("Raw Clips", ClipPipeline::Kind::RawClips), again);
  EXPECT_EQ(hud->last(), "✕ Error");
}

TEST_F(ClipPipelineTest, RefusedAppendsKeepTheClip) {
  selection->selected = "keep me";
  lookup->result.documentURL = "https://src.example/";
  // An earlier entry, and the notes-app refusal which writes no fallback.
  std::filesystem::create_directories(services.fallbackFile.parent_path());
  {
    std::ofstream(services.fallbackFile) << "[earlier] entry\n\n";
  }
  store->appendFailure = std::string(kNotesAuthDenied);
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(hud->last(), "✕ Allow Notes access");
  EXPECT_EQ(fallback(), "[earlier] entry\n\n");

  // Any other failure appends to the fallback file, keeping what was there.
  store->appendFailure = "Permission denied";
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(hud->last(), "✓ Saved to file");
  EXPECT_EQ(fallback(), "[earlier] entry\n\n[2026-01-15T12:00:00Z] keep me\nSource: https://src.example/\n\n");
  EXPECT_EQ(clips, 0) << "a clip that missed its note is not counted";

  // The fallback folder unusable ("Desktop/Corvane" a file): the outbox holds it.
  std::filesystem::remove_all(services.fallbackFile.parent_path());
  { std::ofstream(services.fallbackFile.parent_path()) << "not a folder"; }
  selection->selected = "outboxed";
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(hud->last(), "✕ Couldn't save the clip");
  auto outbox = readFile(services.outboxFile);
  ASSERT_TRUE(outbox);
  EXPECT_THAT(*outbox, HasSubstr(R"("text":"outboxed")"));
  EXPECT_EQ(corvane::testing::modeOf(services.outboxFile) & 0777, 0600u);

  // Once the folder works again, the next successful clip moves it out.
  std::filesystem::remove(services.fallbackFile.parent_path());
  store->appendFailure.reset();
  selection->selected = "works";
  clip(ClipTarget::defaultNote());
  EXPECT_EQ(hud->last(), "✓ Raw Clips");
  EXPECT_THAT(fallback(), HasSubstr("] outboxed\nSource: https://src.example/\n\n"));
  EXPECT_FALSE(fileExists(services.outboxFile));
}

TEST_F(ClipPipelineTest, OutboxIsRetriedAtStartUp) {
  std::filesystem::create_directories(services.outboxFile.parent_path());
  {
    std::ofstream(services.outboxFile) << R"({"at":"2026-01-01T00:00:00Z","text":"from before","source":""})"
                                       << "\n";
  }
  pipeline->retryOutboxLater();
  scheduler.runUntilIdle();
  EXPECT_EQ(fallback(), "[2026-01-01T00:00:00Z] from before\n\n");
  EXPECT_FALSE(fileExists(services.outboxFile));
}

TEST_F(ClipPipelineTest, FailedNewNoteKeepsTheTextInTheFallbackFile) {
  selection->selected = "precious";
  store->createFailure = "no space";
  clip(ClipTarget::newNote("Plans"));
  EXPECT_EQ(hud->last(), "✕ Couldn't create note");
  EXPECT_THAT(fallback(), HasSubstr("] precious\nSource: Firefox\n\n"));
}

TEST_F(ClipPipelineTest, ASlowLinkLookupDelaysTheClipOnlyUpToItsLimit) {
  services.linkWait = 20ms;
  pipeline = std::make_unique<ClipPipeline>(scheduler, queue, selection, lookup, hud, services);
  std::promise<void> release;
  lookup->gate = release.get_future().share();
  lookup->result.documentURL = "https://late.example/";
  selection->selected = "quick";
  clip(ClipTarget::defaultNote());
  release.set_value();
  EXPECT_EQ(hud->last(), "✓ Raw Clips");
  EXPECT_THAT(noteBody(*settings.rawClipsId), HasSubstr(composeClip("quick", "Firefox", std::nullopt)));
}

TEST(ClipText, NormalisedToOneLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a\n\n  b\tc", "a b c"},
      {"  \r\n lead and trail \u2028", "lead and trail"},
      {"no\u00a0break\u3000wide", "no break wide"},
      {std::string("nul\0byte", 8), "nulbyte"},
      {"bad \xff\xfe utf8", "bad \uFFFD\uFFFD utf8"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normalizeClipText(in), out) << in;
  EXPECT_EQ(countWords("a b  c\n"), 3);
  EXPECT_EQ(countWords(""), 0);
  EXPECT_EQ(fallbackEntry(fromUnixSeconds(0), "t", ""), "[1970-01-01T00:00:00Z] t\n\n");
}

}  // namespace
}  // namespace corvane::capture
