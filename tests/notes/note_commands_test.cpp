#include "notes/note_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "bridge/shell_hooks.h"
#include "core/files.h"
#include "insights/stats.h"
#include "memory_note_store.h"
#include "notes/commands.h"
#include "notes/store_cache.h"
#include "platform/fake/fake_folder_watcher.h"
#include "records/commands.h"
#include "records/settings.h"
#include "records/settings_services.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using corvane::testing::FailedWith;
using corvane::testing::HasValue;
using testing::MemoryNoteStore;

class CommandsTest : public ::testing::Test {
 protected:
  CommandsTest() {
    settings = std::make_shared<records::SettingsStore>(std::make_shared<SerialQueue>("test.settings"));
    records::SettingsStore::setSharedForTesting(settings);
    insights::Stats::Options statsOptions;
    statsOptions.queue = std::make_shared<SerialQueue>("test.stats");
    statsOptions.directory = home.path() / "Corvane";
    statsOptions.locale = "en_US";
    stats = std::make_shared<insights::Stats>(statsOptions);
    insights::Stats::setSharedForTesting(stats);

    store = std::make_shared<MemoryNoteStore>();
    StoreCache::Options o;
    o.clock = &sched;
    o.makeQueue = [this](const std::string& label) { return sched.createQueue(label); };
    o.store = [this] { return std::static_pointer_cast<NoteStore>(store); };
    o.notesFolder = [this] { return std::optional<fs::path>(home.path() / "vault"); };
    o.watcher = std::make_shared<platform::FakeFolderWatcher>();
    o.cacheFile = home.path() / "Corvane" / "cache.json";
    cache = StoreCache::create(o);
    StoreCache::setSharedForTesting(cache);
    StoreCache::setEventSink([this](std::string_view name, std::string_view payload) {
      std::lock_guard lock(eventsMutex);
      events.emplace_back(std::string(name), std::string(payload));
    });
    bridge::ShellHooks hooks;
    hooks.chooseImportFile = [this] { return chosenFile; };
    hooks.emitEvent = [this](std::string_view name, std::string_view payload) {
      std::lock_guard lock(eventsMutex);
      events.emplace_back(std::string(name), std::string(payload));
    };
    bridge::installShellHooks(hooks);
    records::installRecordsCommands(router);
    installNotesCommands(router);
  }
  ~CommandsTest() override {
    bridge::installShellHooks({});
    StoreCache::resetEventSink();
    StoreCache::setSharedForTesting(nullptr);
    cache.reset();
    // A record's file write is queued behind the first flush's marker; the
    // second flush waits for it.
    stats->flush();
    stats->flush();
    insights::Stats::setSharedForTesting(nullptr);
    records::SettingsStore::setSharedForTesting(nullptr);
    records::installSettingsServices({});
  }

  bridge::CommandResult run(const std::string& cmd, Json args = Json::object()) { return router.route(cmd, args); }
  insights::StatsData counters() {
    stats->flush();
    stats->flush();
    return stats->snapshot();
  }
  int eventCount(const std::string& name) {
    std::lock_guard lock(eventsMutex);
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](auto& e) { return e.first == name; }));
  }
  std::vector<std::string> gridIds(int64_t limit = 6) {
    auto r = run("list_notes", {{"limit", limit}});
    std::vector<std::string> ids;
    if (r)
      for (const auto& n : notesFromJson(*parseJson(*r))) ids.push_back(n.id);
    return ids;
  }
  fs::path writeImport(const std::string& name, const std::string& content) {
    fs::path p = home.path() / name;
    EXPECT_TRUE(writeFileAtomic(p, content).has_value());
    chosenFile = p.string();
    return p;
  }

  corvane::testing::TempHome home;
  corvane::testing::FakeScheduler sched;
  std::shared_ptr<records::SettingsStore> settings;
  std::shared_ptr<insights::Stats> stats;
  std::shared_ptr<MemoryNoteStore> store;
  std::shared_ptr<StoreCache> cache;
  bridge::Router router;
  std::optional<std::string> chosenFile;
  std::mutex eventsMutex;
  std::vector<std::pair<std::string, std::string>> events;
};

TEST_F(CommandsTest, CreateNoteClearsReusedIdsPutsTheNoteFirstAndCountsWords) {
  store->put("old", "Old", "<div>Old</div>", 1);
  ASSERT_TRUE(settings->update([](records::Settings& s) {
    s.hidden = {"n1", "x"};
    s.pinned = {"n1"};
  }));
  EXPECT_THAT(run("create_note", {{"name", "Shopping List"}, {"html", "<div>eggs and milk</div>"}}),
              HasValue(std::string("\"n1\"")));
  EXPECT_EQ(settings->load().hidden, std::vector<std::string>{"x"});
  EXPECT_TRUE(settings->load().pinned.empty());
  EXPECT_EQ(gridIds().front(), "n1");
  EXPECT_EQ(eventCount("notes:updated"), 1);
  auto c = counters();
  EXPECT_EQ(c.thoughts, 1);
  EXPECT_EQ(c.words, 5);  // "Shopping List eggs and milk"

  // Without html: no body to hydrate from.
  sched.fastForwardBy(std::chrono::seconds(1));
  EXPECT_THAT(run("create_note", {{"name", "Bare"}}), HasValue(std::string("\"n2\"")));
  auto grid = notesFromJson(*parseJson(*run("list_notes")));
  ASSERT_FALSE(grid.empty());
  EXPECT_EQ(grid.front().id, "n2");
  EXPECT_FALSE(grid.front().bodyHydrated);
}

TEST_F(CommandsTest, AFailedStoreWriteChangesNothing) {
  store->put("a", "A", "<div>A</div><div>body</div>", 1);
  ASSERT_TRUE(settings->update([](records::Settings& s) {
    s.hidden = {"a"};
    s.pinned = {"a"};
    s.projects = {{"A", "/p"}};
  }));
  (void)gridIds();
  const auto before = cache->cachedNotes();
  const auto settingsBefore = settings->load();
  const int published = eventCount("notes:updated");
  store->failWrite = "__note_locked_content__This note is locked.";
  const Json a = {{"id", "a"}};
  for (auto& [cmd, args] : std::vector<std::pair<std::string, Json>>{
           {"set_note_body", {{"id", "a"}, {"html", "<div>x</div>"}}},
           {"append_note", {{"id", "a"}, {"html", "<div>x y</div>"}}},
           {"create_note", {{"name", "New"}}},
           {"rename_note", {{"id", "a"}, {"name", "B"}}},
           {"delete_note", a}}) {
    EXPECT_THAT(run(cmd, args), FailedWith("__note_locked_content__This note is locked.")) << cmd;
  }
  EXPECT_EQ(cache->cachedNotes(), before);
  EXPECT_EQ(settings->load(), settingsBefore);
  EXPECT_EQ(eventCount("notes:updated"), published);
  EXPECT_EQ(counters().thoughts, 0);
}

TEST_F(CommandsTest, BodyEditsAnswerAndCount) {
  store->put("a", "A", "<div>A</div>", 1);
  EXPECT_THAT(run("set_note_body", {{"id", "a"}, {"html", "<div>A</div><div>new</div>"}}),
              HasValue(std::string("{\"nativeAttachmentsBackedUp\":0}")));
  EXPECT_FALSE(store->lastForce);
  (void)run("set_note_body", {{"id", "a"}, {"html", "<div>A</div>"}, {"force", true}});
  EXPECT_TRUE(store->lastForce);
  EXPECT_THAT(run("append_note", {{"id", "a"}, {"html", "<div>hello  world</div><div>again</div>"}}),
              HasValue(std::string("null")));
  EXPECT_EQ(store->get("a")->body, "<div>A</div><div>hello  world</div><div>again</div>");
  auto c = counters();
  EXPECT_EQ(c.thoughts, 3);
  EXPECT_EQ(c.words, 3);
  EXPECT_THAT(run("get_note_body", {{"id", "a"}}),
              HasValue(std::string("\"<div>A</div><div>hello  world</div><div>again</div>\"")));
  store->put("bad", "Bad", "caf\xE9", 2);
  EXPECT_THAT(run("get_note_body", {{"id", "bad"}}), HasValue(std::string("\"caf\xEF\xBF\xBD\"")));
  EXPECT_THAT(run("get_note_body", {{"id", "missing"}}), FailedWith("cannot read note: No such file or directory"));
}

TEST_F(CommandsTest, DeleteAndRenameKeepTheSettingsListsConsistent) {
  store->put("a", "Alpha", "<div>Alpha</div>", 1);
  store->put("b", "Beta", "<div>Beta</div>", 2);
  ASSERT_TRUE(settings->update([](records::Settings& s) {
    s.pinned = {"a", "b"};
    s.hidden = {"a"};
    s.cardOrder = {"b", "a"};
    s.projects = {{"Beta", "/work/beta"}};
  }));
  (void)gridIds();
  EXPECT_THAT(run("delete_note", {{"id", "a"}}), HasValue(std::string("null")));
  auto s = settings->load();
  EXPECT_EQ(s.pinned, std::vector<std::string>{"b"});
  EXPECT_TRUE(s.hidden.empty());
  EXPECT_EQ(s.cardOrder, std::vector<std::string>{"b"});
  const auto remaining = cache->cachedNotes();
  ASSERT_TRUE(remaining.has_value());
  for (const auto& n : *remaining) EXPECT_NE(n.id, "a");

  EXPECT_THAT(run("rename_note", {{"id", "b"}, {"name", "Gamma"}}), HasValue(std::string("null")));
  s = settings->load();
  EXPECT_EQ(s.projects.count("Beta"), 0u);
  EXPECT_EQ(s.projects.at("Gamma"), "/work/beta");
  EXPECT_EQ(notesFromJson(*parseJson(*run("list_notes"))).front().name, "Gamma");
}

TEST_F(CommandsTest, SearchCommands) {
  store->put("c", "Café", "<div>Café</div><div>au lait</div>", 1);
  store->put("t", "Tea", "<div>Tea</div>", 2);
  (void)gridIds();
  const size_t pending = sched.pendingTaskCount();
  EXPECT_THAT(run("search_notes", {{"query", " \n  "}}), HasValue(std::string("[]")));
  EXPECT_THAT(run("deep_search_notes", {{"query", "\t"}}), HasValue(std::string("[]")));
  EXPECT_EQ(sched.pendingTaskCount(), pending);  // the cache was not touched
  auto found = run("search_notes", {{"query", "cafe"}});
  ASSERT_TRUE(found.has_value());
  auto notes = notesFromJson(*parseJson(*found));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].name, "Café");
  auto deep = run("deep_search_notes", {{"query", "lait"}});
  ASSERT_TRUE(deep.has_value());
  EXPECT_THAT(*deep, HasSubstr("\"id\":\"c\""));
}

TEST_F(CommandsTest, ImportFileChecksTypeSizeAndEncoding) {
  chosenFile.reset();
  EXPECT_THAT(run("import_file"), HasValue(std::string("null")));

  writeImport("notes.PDF", "x");
  EXPECT_THAT(run("import_file"), FailedWith("Only text or .md files can be imported (got .pdf)."));
  writeImport("noextension", "x");
  EXPECT_THAT(run("import_file"), FailedWith("Only text or .md files can be imported (got .)."));

  writeImport("big.txt", std::string(2'000'001, 'a'));
  EXPECT_THAT(run("import_file"), FailedWith("That file is too large to import (over 2 MB)."));
  writeImport("exact.txt", std::string(2'000'000, 'a'));
  EXPECT_TRUE(run("import_file").has_value());

  writeImport("binary.log", std::string("\x89PNG\r\n\x1a\n\xFF\xFE", 10));
  EXPECT_THAT(run("import_file"), FailedWith("Could not read the file as UTF-8 text. It may be binary."));

  // A FIFO named like a text file is refused at once instead of blocking.
  const fs::path fifo = home.path() / "pipe.txt";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  chosenFile = fifo.string();
  EXPECT_THAT(run("import_file"), FailedWith("Only regular files can be imported."));

  sched.fastForwardBy(std::chrono::seconds(1));
  writeImport("Windows Notes.Markdown", "first\r\na < b & c\r\n\r\nlast\rend");
  auto id = run("import_file");
  ASSERT_TRUE(id.has_value());
  const std::string newId = parseJson(*id)->get<std::string>();
  auto stored = store->get(newId);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->name, "Windows Notes");
  EXPECT_EQ(stored->body,
            "<div>Windows Notes</div><div>first</div><div>a &lt; b &amp; c</div><div></div><div>last</div>"
            "<div>end</div>");
  EXPECT_EQ(gridIds().front(), newId);
  EXPECT_EQ(counters().thoughts, 0);  // imports are not counted
}

TEST_F(CommandsTest, SettingsCommandsAskTheCache) {
  store->put("a", "Alpha", "<div>Alpha</div><div>secret</div>", 1);
  store->put("b", "Beta", "<div>Beta</div>", 2);
  ASSERT_TRUE(settings->update([](records::Settings& s) { s.hidden = {"a"}; }));
  (void)gridIds();
  EXPECT_THAT(run("count_notes"), HasValue(std::string("1")));
  auto hidden = run("list_hidden");
  ASSERT_TRUE(hidden.has_value());
  auto notes = notesFromJson(*parseJson(*hidden));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].preview, "secret");
  auto services = records::settingsServices();
  EXPECT_EQ(services.noteNames(40), std::vector<std::string>{"Beta"});
  EXPECT_TRUE(services.hasNoteNamed("Alpha"));

  // A source switch drops the cache; the next listing comes from the store again.
  const int listings = store->listCalls;
  services.noteSourceChanged();
  EXPECT_FALSE(cache->cachedNotes().has_value());
  (void)gridIds();
  EXPECT_GT(store->listCalls, listings);
}

TEST_F(CommandsTest, TheTwentyFifthThoughtIsAMilestone) {
  for (int i = 0; i < 24; ++i) ASSERT_TRUE(run("create_note", {{"name", "Thought " + std::to_string(i)}}));
  stats->flush();
  EXPECT_EQ(eventCount("stat:milestone"), 0);
  ASSERT_TRUE(run("create_note", {{"name", "Thought 25"}}));
  stats->flush();
  std::lock_guard lock(eventsMutex);
  std::vector<std::string> milestones;
  for (const auto& e : events)
    if (e.first == "stat:milestone") milestones.push_back(e.second);
  ASSERT_EQ(milestones.size(), 1u);
  EXPECT_THAT(milestones[0], HasSubstr("25 thoughts cleared from your head \u2014 kept, not lost."));
}

TEST(ImportedBodyTest, OneDivisionPerLine) {
  EXPECT_EQ(importedBody(""), "<div></div>");
  EXPECT_EQ(importedBody("a\n"), "<div>a</div><div></div>");
  EXPECT_EQ(importedBody("a\r\n\r\nb"), "<div>a</div><div></div><div>b</div>");
  EXPECT_EQ(importedBody("<x>"), "<div>&lt;x&gt;</div>");
  EXPECT_EQ(countWords("  one\ttwo\u00A0three\n"), 3);
  EXPECT_EQ(countWords(" \n "), 0);
}

}  // namespace
}  // namespace corvane::notes
