// The Apple Notes store against the simulated Notes application (a real
// process, reached through the osascript runner), and its exit mapping with a
// scripted runner.
#include "notes/apple_notes_store.h"

#include <unistd.h>
#include <vips/vips8>

#include <cstdlib>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ai/process_runner.h"
#include "core/files.h"
#include "core/json.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "notes/apple_scripts.h"
#include "notes/file_store.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string jpegBytes(int width, int height) {
  static bool ready = [] { return VIPS_INIT("corvane-test") == 0; }();
  EXPECT_TRUE(ready);
  vips::VImage image = vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + 120;
  void* buffer = nullptr;
  size_t length = 0;
  image.write_to_buffer(".jpg", &buffer, &length);
  std::string bytes(static_cast<char*>(buffer), length);
  g_free(buffer);
  return bytes;
}

fs::path simulatorPath() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).parent_path() / "corvane-notes-sim";
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class AppleNotesSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim = simulatorPath();
    if (!fs::exists(sim)) GTEST_SKIP() << "corvane-notes-sim is not built beside the test";
    stateEnv.emplace("CORVANE_NOTES_SIM_STATE", (dir.path() / "state.json").string());
    index = std::make_shared<AttachmentBackupIndex>(dir.path() / "attachment-backup-index.json",
                                                    std::make_shared<SerialQueue>("test.index"), systemClock());
    AppleNotesEnvironment env;
    env.titleForId = [this](const std::string& id) -> std::optional<std::string> {
      auto it = titles.find(id);
      if (it == titles.end()) return std::nullopt;
      return it->second;
    };
    env.idReplaced = [this](const std::string& a, const std::string& b) { replaced.emplace_back(a, b); };
    env.storeMedia = [this](std::string_view bytes, std::string_view ext) { return library.storeMedia(bytes, ext); };
    env.index = index;
    store = std::make_unique<AppleNotesStore>(std::make_shared<OsascriptRunner>(sim.string()), env);
  }

  void TearDown() override {
    if (!store) return;
    // Every script the store sent is one the simulator knows.
    for (const Json& line : journal()) EXPECT_FALSE(line["template"].is_null()) << line["script"];
  }

  std::string admin(std::vector<std::string> args) {
    args.insert(args.begin(), "--admin");
    ai::RunOptions options;
    options.executable = sim.string();
    options.arguments = args;
    options.timeLimit = 10;
    auto result = ai::ProcessRunner::run(options);
    EXPECT_EQ(result.status, 0) << result.stderrText;
    std::string out = result.stdoutText;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  Json state() { return *parseJson(admin({"dump"})); }

  Json noteState(const std::string& id) {
    Json all = state();
    for (const Json& note : all["notes"])
      if (note["id"] == id) return note;
    return Json();
  }

  std::vector<Json> journal() {
    std::vector<Json> lines;
    std::ifstream in(dir.path() / "state.json.journal.jsonl");
    for (std::string line; std::getline(in, line);) lines.push_back(*parseJson(line));
    return lines;
  }

  std::vector<std::string> templatesSent() {
    std::vector<std::string> names;
    for (const Json& line : journal()) names.push_back(line["template"].is_null() ? "?" : line["template"].get<std::string>());
    return names;
  }

  void clearJournal() { fs::remove(dir.path() / "state.json.journal.jsonl"); }

  std::string addImageNote(const std::string& title) {
    fs::path image = dir.path() / (title + ".jpg");
    (void)writeFileAtomic(image, jpegBytes(32, 24));
    return admin({"add", "<div>" + title + "</div><div>text</div>", "attach=image:" + image.string()});
  }

  testing::TempHome home;
  testing::TempDir dir;
  testing::FakeScheduler scheduler;
  media::MediaLibrarian library{scheduler.createQueue("media"), scheduler};
  fs::path sim;
  std::optional<ScopedEnv> stateEnv;
  std::map<std::string, std::string> titles;
  std::vector<std::pair<std::string, std::string>> replaced;
  std::shared_ptr<AttachmentBackupIndex> index;
  std::unique_ptr<AppleNotesStore> store;
};

TEST_F(AppleNotesSimTest, ListingSkipsRecentlyDeletedAfterTheLimit) {
  for (int i = 0; i < 6; ++i) admin({"add", "<div>Old " + std::to_string(i) + "</div>", "age=" + std::to_string(1000 + i)});
  admin({"add", "<div>Gone A</div>", "folder=Recently Deleted", "age=10"});
  admin({"add", "<div>Gone B</div>", "folder=Recently Deleted", "age=20"});
  admin({"add", "<div>Fresh</div>", "age=5"});
  admin({"add", "<div>Recent</div>", "age=30"});
  admin({"add", "<div>Newer</div>", "age=15"});

  auto five = store->listNotes(5);
  ASSERT_TRUE(five) << five.error();
  ASSERT_EQ(five->size(), 3u);
  EXPECT_EQ((*five)[0].name, "Fresh");
  EXPECT_EQ((*five)[1].name, "Newer");
  EXPECT_EQ((*five)[2].name, "Recent");
  EXPECT_LT((*five)[0].age, (*five)[1].age);
  EXPECT_LT((*five)[0].age, -1'000'000'000);  // seconds on the 1970 scale

  auto all = store->listNotes(0);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 9u);
}

TEST_F(AppleNotesSimTest, AwkwardTitlesSurviveCreateRenameAndList) {
  auto id = store->createNote("Say \"hi\" C:\\dir", "<div>body</div>");
  ASSERT_TRUE(id) << id.error();
  auto listed = store->listNotes(0);
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0].id, *id);
  EXPECT_EQ((*listed)[0].name, "Say \"hi\" C:\\dir");

  ASSERT_TRUE(store->renameNote(*id, "R&D <draft> \"2\" \\"));
  EXPECT_EQ((*store->listNotes(0))[0].name, "R&D <draft> \"2\" \\");
  EXPECT_EQ(store->findNotes({}, {"R&D <draft> \"2\" \\"})->size(), 1u);

  // The title is text in the markup: it is escaped, not parsed.
  auto rd = store->createNote("R&D <draft>", "");
  ASSERT_TRUE(rd);
  EXPECT_EQ(noteState(*rd)["body"], "<div>R&amp;D &lt;draft&gt;</div>");
  EXPECT_EQ(noteState(*rd)["name"], "R&D <draft>");

  // NUL cannot travel in a process argument; it is left out rather than
  // cutting the script short.
  auto nul = store->createNote(std::string("Nul\0Name", 8), std::string("<div>x\0y</div>", 14));
  ASSERT_TRUE(nul) << nul.error();
  EXPECT_EQ(noteState(*nul)["body"], "<div>NulName</div><div>xy</div>");
}

TEST_F(AppleNotesSimTest, BodiesWithSeparatorsQuotesAndLineBreaksRoundTrip) {
  std::string a = admin({"add", "<div>A</div>"});
  std::string b = admin({"add", "<div>B</div>"});
  std::string tricky = "<div>A</div><div>q\"uote\" back\\slash \x1e rs \x1f us\r\nCRLF</div>";
  ASSERT_TRUE(store->setBody(a, tricky, false));
  EXPECT_EQ(*store->body(a), tricky);
  EXPECT_EQ(store->bodies({a}).at(a), tricky);

  // Two ids whose reply holds an extra RS: the pieces cannot be trusted, so
  // each half (one id each) is asked again and read whole.
  clearJournal();
  auto texts = store->plainTexts({a, b});
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].first, a);
  EXPECT_THAT(texts[0].second, HasSubstr("back\\slash \x1e rs \x1f us\r\nCRLF"));
  EXPECT_EQ(texts[1], (std::pair<std::string, std::string>{b, "B"}));
  EXPECT_EQ(templatesSent(), (std::vector<std::string>{"plaintexts", "plaintexts", "plaintexts"}));
  auto both = store->bodies({a, b});
  EXPECT_EQ(both.size(), 2u);
  EXPECT_EQ(both.at(a), tricky);
}

TEST_F(AppleNotesSimTest, ImagesTravelAsPlaceholders) {
  std::string id = admin({"add", "<div>Pics</div>"});
  const std::string token = "0123456789abcdef0123456789abcdef.jpg";
  ASSERT_TRUE(store->setBody(id, "<div>Pics</div><div>" + media::imageTag(token, 640) + "</div>", false));
  EXPECT_EQ(noteState(id)["body"], "<div>Pics</div><div>" + media::placeholder(token, 640) + "</div>");
  EXPECT_EQ(*store->body(id), "<div>Pics</div><div>" + media::imageTag(token, 640) + "</div>");
  EXPECT_EQ(store->bodies({id}).at(id), "<div>Pics</div><div>" + media::imageTag(token, 640) + "</div>");
  EXPECT_EQ(store->plainText(id)->find("Corvane photo"), std::string::npos);
}

TEST_F(AppleNotesSimTest, LargeBodyGoesThroughAScriptFile) {
  std::string id = admin({"add", "<div>Big</div>"});
  std::string big = "<div>Big</div><div>" + std::string(200 * 1024, 'x') + "\"\\</div>";
  ASSERT_TRUE(store->setBody(id, big, false));
  EXPECT_EQ(*store->body(id), big);
  size_t longest = 0;
  for (const Json& line : journal()) longest = std::max(longest, line["script"].get<std::string>().size());
  EXPECT_GT(longest, OsascriptRunner::kMaxArgumentBytes);
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
    EXPECT_EQ(entry.path().filename().string().rfind("CorvaneScript-", 0), std::string::npos) << entry.path();
}

TEST_F(AppleNotesSimTest, FailingBatchOfNineIsRetriedAsFourAndFive) {
  std::vector<std::string> ids;
  for (int i = 0; i < 9; ++i) ids.push_back(admin({"add", "<div>N" + std::to_string(i) + "</div><div>t</div>"}));
  admin({"fault", "batchFailOver", "5"});
  clearJournal();
  auto texts = store->plainTexts(ids);
  EXPECT_EQ(texts.size(), 9u);
  auto sent = journal();
  ASSERT_EQ(sent.size(), 3u);
  auto idsIn = [](const Json& line) {
    std::string s = line["script"];
    size_t n = 0;
    for (size_t at = s.find("/ICNote/"); at != std::string::npos; at = s.find("/ICNote/", at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(idsIn(sent[0]), 9u);
  EXPECT_EQ(idsIn(sent[1]), 4u);
  EXPECT_EQ(idsIn(sent[2]), 5u);

  admin({"fault", "batchFailOver", "3"});
  EXPECT_TRUE(store->bodies(ids).empty());  // both halves fail too: nothing, no crash
}

TEST_F(AppleNotesSimTest, MovedNoteIsRecoveredByTitleForEditsButNotForDelete) {
  std::string id = admin({"add", "<div>Shopping</div>"});
  titles[id] = "Shopping";
  std::string moved = admin({"move", id});
  ASSERT_TRUE(store->appendHTML(id, "<hr class=\"x\">"));
  EXPECT_EQ(replaced, (std::vector<std::pair<std::string, std::string>>{{id, moved}}));
  EXPECT_EQ(noteState(moved)["body"], "<div>Shopping</div><div>\u2E3B</div>");

  // Delete never guesses by title.
  clearJournal();
  auto deleted = store->deleteNote(id);
  ASSERT_FALSE(deleted);
  EXPECT_EQ(deleted.error(), kStaleIdToken);
  EXPECT_EQ(templatesSent(), (std::vector<std::string>{"delete"}));

  // Two notes with that title: no recovery.
  std::string other = admin({"add", "<div>Shopping</div>"});
  std::string twin = admin({"add", "<div>shopping</div>"});
  titles[other] = "Shopping";
  admin({"move", other});
  auto renamed = store->renameNote(other, "Groceries");
  ASSERT_FALSE(renamed);
  EXPECT_EQ(renamed.error(), kMovedOrDeletedMessage);
  (void)twin;
}

TEST_F(AppleNotesSimTest, ImageAttachmentIsBackedUpBeforeAForcedSave) {
  std::string id = addImageNote("Trip");
  titles[id] = "Trip";
  auto plain = store->setBody(id, "<div>Trip</div><div>new</div>", false);
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error(), "__note_locked_content__This note has an attachment that saving would remove.");
  EXPECT_EQ(noteState(id)["body"], "<div>Trip</div><div>text</div>");

  auto forced = store->setBody(id, "<div>Trip</div><div>new</div>", true);
  ASSERT_TRUE(forced) << forced.error();
  EXPECT_EQ(forced->nativeAttachmentsBackedUp, 1);
  EXPECT_EQ(noteState(id)["body"], "<div>Trip</div><div>new</div>");
  auto entries = index->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].label, "Trip \u2014 attachment backup");
  EXPECT_EQ(entries[0].source, AttachmentBackupIndex::Source::Attachment);
  EXPECT_THAT(entries[0].token, ::testing::EndsWith(".jpg"));
  EXPECT_TRUE(fs::exists(media::mediaDirectory() / entries[0].token));
  // The temporary folder is gone.
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
    EXPECT_EQ(entry.path().filename().string().find("CorvaneAttachmentBackup-" ), std::string::npos)
        << entry.path();
}

TEST_F(AppleNotesSimTest, ForcedSaveRefusalsLeaveTheNoteUnchanged) {
  struct Case {
    std::string attach;
    std::string message;
  };
  const Case cases[] = {
      {"attach=pdf",
       "__note_nonimage_attachment__This note has an attachment Corvane can't safely preserve \u2014 remove it in "
       "Apple Notes directly, or discard your changes here."},
      {"attach=empty",
       "__note_locked_content__One of this note's attachments isn't downloaded to this Mac yet \u2014 open the note "
       "in Apple Notes to download it, then save again. Nothing was changed."},
      {"attach=unsaveable",
       "__note_locked_content__Couldn't back up this note's attachment(s) \u2014 nothing was changed. Please try "
       "again."},
  };
  for (const Case& c : cases) {
    std::string id = admin({"add", "<div>Doc</div>", c.attach});
    auto saved = store->setBody(id, "<div>Doc</div><div>changed</div>", true);
    ASSERT_FALSE(saved) << c.attach;
    EXPECT_EQ(saved.error(), c.message);
    EXPECT_EQ(noteState(id)["body"], "<div>Doc</div>") << c.attach;
  }
  EXPECT_TRUE(index->entries().empty());
}

TEST_F(AppleNotesSimTest, UnknownCountsAndEmbeddedObjects) {
  // Counting failed (-1): a plain save is refused, a forced save backs up first.
  fs::path image = dir.path() / "c.jpg";
  (void)writeFileAtomic(image, jpegBytes(16, 16));
  std::string id = admin({"add", "<div>Count</div>", "countFails", "attach=image:" + image.string()});
  auto plain = store->setBody(id, "<div>Count</div>", false);
  ASSERT_FALSE(plain);
  EXPECT_THAT(plain.error(), HasSubstr("__note_locked_content__"));
  clearJournal();
  auto forced = store->setBody(id, "<div>Count</div><div>b</div>", true);
  ASSERT_TRUE(forced) << forced.error();
  EXPECT_EQ(forced->nativeAttachmentsBackedUp, 1);
  EXPECT_EQ(templatesSent(), (std::vector<std::string>{"counts", "backup", "set-body"}));

  // An embedded object is refused before anything is counted.
  std::string embed = admin({"add", "<div>E</div><object data=\"x\"></object>"});
  clearJournal();
  auto refused = store->setBody(embed, "<div>E</div>", false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "__note_locked_content__This note has an attachment that saving would remove.");
  EXPECT_EQ(templatesSent(), (std::vector<std::string>{"body"}));
}

TEST_F(AppleNotesSimTest, ForcedSaveOfAMovedNoteChecksAttachmentsUnderTheNewId) {
  std::string id = addImageNote("Moved");
  titles[id] = "Moved";
  std::string moved = admin({"move", id});
  clearJournal();
  auto forced = store->setBody(id, "<div>Moved</div><div>x</div>", true);
  ASSERT_TRUE(forced) << forced.error();
  EXPECT_EQ(forced->nativeAttachmentsBackedUp, 1);
  EXPECT_EQ(templatesSent(), (std::vector<std::string>{"counts", "lookup-title", "counts", "backup", "set-body"}));
  EXPECT_EQ(replaced, (std::vector<std::pair<std::string, std::string>>{{id, moved}}));
}

TEST_F(AppleNotesSimTest, TableIsBackedUpAfterTheSave) {
  std::string id = admin({"add", "<div>Plan</div>"});
  titles[id] = "Plan";
  ASSERT_TRUE(store->setBody(id, "<div>Plan</div><TABLE><tr><td>1</td></tr></TABLE>", false));
  index->flush();
  index->flush();  // the store's task queues the record behind it
  auto entries = index->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].label, "Plan \u2014 table backup");
  EXPECT_EQ(entries[0].source, AttachmentBackupIndex::Source::Table);
  EXPECT_THAT(entries[0].token, ::testing::EndsWith(".html"));
}

TEST_F(AppleNotesSimTest, FaultsGiveTheirMessages) {
  admin({"add", "<div>X</div>"});
  struct Case {
    std::string key, value, message;
  };
  const Case cases[] = {
      {"garbage", "true", std::string(kUnreadableOutputMessage)},
      {"nonUtf8", "true", std::string(kUnreadableOutputMessage)},
      {"crash", "true", "osascript exit 6"},
  };
  for (const Case& c : cases) {
    admin({"fault", c.key, c.value});
    auto listed = store->listNotes(0);
    ASSERT_FALSE(listed) << c.key;
    EXPECT_EQ(listed.error(), c.message) << c.key;
    EXPECT_TRUE(store->bodies({"a", "b"}).empty());
    admin({"fault", c.key, "false"});
  }
  admin({"set", "permission", "\"denied\""});
  auto denied = store->listNotes(0);
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error(), kAuthDeniedToken);
  EXPECT_TRUE(store->attachmentCounts({"x"}).empty());
}

TEST_F(AppleNotesSimTest, SearchesLeaveOutTheTrashAndOtherAccounts) {
  admin({"add", "<div>Project alpha</div>"});
  admin({"add", "<div>Project beta</div>", "folder=Recently Deleted"});
  admin({"add", "<div>Project gamma</div>", "account=On My Mac"});
  admin({"add", "<div>Other</div><div>mentions project</div>"});
  auto names = store->searchNames("PROJECT");
  ASSERT_TRUE(names);
  ASSERT_EQ(names->size(), 1u);
  EXPECT_EQ((*names)[0].name, "Project alpha");
  auto texts = store->searchNotes("project");
  ASSERT_TRUE(texts);
  EXPECT_EQ(texts->size(), 3u);
}

TEST_F(AppleNotesSimTest, UnknownScriptIsASyntaxError) {
  ai::RunOptions options;
  options.executable = sim.string();
  options.arguments = {"-e", "tell application \"Notes\" to get body of note id \"x\" "};  // one space too many
  options.timeLimit = 10;
  auto result = ai::ProcessRunner::run(options);
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.stderrText, HasSubstr("(-2741)"));
  auto lines = journal();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0]["template"].is_null());
  clearJournal();
}

TEST_F(AppleNotesSimTest, SlowNotesIsStoppedAtTheLimit) {
  admin({"fault", "delaySeconds", "5"});
  OsascriptRunner runner(sim.string());
  ScriptOutcome outcome = runner.run(scripts::listNotes(0), 0.3);
  EXPECT_EQ(outcome.status, 124);
}

TEST_F(AppleNotesSimTest, PermissionAndStoreChoiceFollowTheConfiguredSimulator) {
  {
    ScopedEnv unset("CORVANE_OSASCRIPT", "");
    EXPECT_TRUE(notesAutomationGranted(false));  // nothing to authorise
    EXPECT_TRUE(std::dynamic_pointer_cast<FileStore>(activeNoteStore("applenotes", "")));
  }
  {
    // A stand-in others may rewrite is not trusted.
    fs::path copy = dir.path() / "writable-sim";
    fs::copy_file(sim, copy);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read | fs::perms::others_exec);
    ScopedEnv writable("CORVANE_OSASCRIPT", copy.string());
    EXPECT_FALSE(configuredOsascript());
    ScopedEnv relative("CORVANE_OSASCRIPT", "corvane-notes-sim");
    EXPECT_FALSE(configuredOsascript());
  }
  ScopedEnv configured("CORVANE_OSASCRIPT", sim.string());
  EXPECT_TRUE(std::dynamic_pointer_cast<AppleNotesStore>(activeNoteStore("applenotes", "")));
  EXPECT_TRUE(std::dynamic_pointer_cast<FileStore>(activeNoteStore("obsidian", dir.path().string())));
  EXPECT_TRUE(notesAutomationGranted(false));
  admin({"set", "permission", "\"denied\""});
  EXPECT_FALSE(notesAutomationGranted(false));
  admin({"set", "permission", "\"undetermined\""});
  EXPECT_FALSE(notesAutomationGranted(true));  // the state before the prompt
  EXPECT_TRUE(notesAutomationGranted(false));
}

// The exit mapping, with a runner that answers from a table.
class ScriptedRunner : public ScriptRunner {
 public:
  ScriptOutcome next;
  ScriptOutcome run(const std::string&, double) override { return next; }
};

TEST(AppleNotesExitTest, FailuresMapToTheirMessages) {
  struct Case {
    int status;
    std::string error;
    std::string message;
  };
  const Case cases[] = {
      {124, "stopped after 30 s", std::string(kNotesTimeoutMessage)},
      {1, "execution error: Not authorized to send Apple events to Notes. (-1743)", std::string(kAuthDeniedToken)},
      {1, "execution error: Can't get note id \"x\". (-1728)", std::string(kStaleIdToken)},
      {1, "  \n some error \n", "some error"},
      {6, "", "osascript exit 6"},
  };
  auto runner = std::make_shared<ScriptedRunner>();
  AppleNotesEnvironment env;
  std::vector<std::string> logged;
  env.logWarning = [&](std::string_view m) { logged.emplace_back(m); };
  AppleNotesStore store(runner, env);
  for (const Case& c : cases) {
    runner->next = ScriptOutcome{c.status, "", c.error, true};
    auto r = store.runScript("x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.message);
  }
  EXPECT_EQ(logged.back(), "osascript exit 6");
  runner->next = ScriptOutcome{0, "id\n\n", "", true};
  EXPECT_EQ(*store.runScript("x"), "id\n");
  runner->next = ScriptOutcome{0, "", "", false};
  EXPECT_EQ(store.runScript("x").error(), kUnreadableOutputMessage);
}

TEST(AppleNotesExitTest, BackupPathsOutsideItsFolderAreNotRead) {
  auto runner = std::make_shared<ScriptedRunner>();
  AppleNotesEnvironment env;
  int stored = 0;
  env.storeMedia = [&](std::string_view, std::string_view) -> std::optional<std::string> {
    ++stored;
    return "t.jpg";
  };
  AppleNotesStore store(runner, env);
  const std::string replies[] = {"1\x1f/etc/passwd\x1f" "0\x1e", "1\x1f/tmp/../etc/att_1.dat\x1f" "0\x1e"};
  for (const std::string& reply : replies) {
    runner->next = ScriptOutcome{0, reply, "", true};
    auto backups = store.backupAttachments({"n"});
    ASSERT_EQ(backups.count("n"), 1u);
    EXPECT_EQ(backups["n"].failedCount, 1) << reply;
    EXPECT_TRUE(backups["n"].savedTokens.empty());
  }
  // A reply for the wrong number of notes fails every note.
  runner->next = ScriptOutcome{0, "1\x1f\x1f" "0\x1e", "", true};
  auto two = store.backupAttachments({"a", "b"});
  EXPECT_EQ(two["a"].failedCount, 1);
  EXPECT_EQ(two["b"].failedCount, 1);
  EXPECT_EQ(stored, 0);
}

}  // namespace
}  // namespace corvane::notes
