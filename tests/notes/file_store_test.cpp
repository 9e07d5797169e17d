#include "notes/file_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

namespace fs = std::filesystem;
using corvane::testing::FailedWith;
using corvane::testing::HasValue;
using corvane::testing::IsOk;
using ::testing::ElementsAre;

class FileStoreTest : public ::testing::Test {
 protected:
  corvane::testing::TempHome home;
  fs::path vault = home.path() / "Vault";
  FileStore store{vault};

  void SetUp() override { fs::create_directories(vault); }

  void put(const std::string& fileName, const std::string& text) const {
    std::ofstream(vault / fileName, std::ios::binary) << text;
  }
  std::string read(const std::string& fileName) const {
    std::ifstream in(vault / fileName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void setModified(const std::string& fileName, time_t seconds) const {
    struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimes((vault / fileName).c_str(), times), 0);
  }
  std::vector<std::string> listedIds() {
    std::vector<std::string> ids;
    auto notes = store.listNotes(0);
    EXPECT_TRUE(notes.has_value());
    if (notes)
      for (const Note& n : *notes) ids.push_back(n.id);
    return ids;
  }
};

TEST(NoteIdRule, AcceptsTheFileNamesRealVaultsUse) {
  std::string longest;
  while (longest.size() + 3 <= 128) longest += "語";  // 126 bytes
  longest += "xy";
  const std::vector<std::pair<std::string, bool>> cases = {
      {"a", true},
      {"shopping-list", true},
      {"A.b_c-1", true},
      {"a..b", true},
      {std::string(128, 'x'), true},
      {longest, true},
      {longest + "z", false},  // 129 bytes
      {"Meeting notes", true},
      {"café", true},
      {"会議メモ 2024", true},
      {"Заметки", true},
      {"ملاحظات", true},
      {"🦊 ideas", true},
      {"e\u0301te\u0301", true},  // combining marks
      {"%41", true},
      {"-x", true},
      {"_x", true},
      {"", false},
      {".", false},
      {"..", false},
      {"../x", false},
      {"a/b", false},
      {"a\\b", false},
      {std::string("a\0b", 3), false},
      {".hidden", false},
      {"abc\n", false},
      {"tab\there", false},
      {"del\x7f", false},
      {"c1\xC2\x85", false},  // U+0085, a C1 control
      {"Caf\xE9", false},      // not UTF-8
      {std::string(129, 'x'), false},
  };
  for (const auto& [id, valid] : cases) EXPECT_EQ(isWellFormedNoteId(id), valid) << "id: " << id;
}

TEST_F(FileStoreTest, EveryOperationRefusesBadIdsBeforeTouchingFiles) {
  put("a.md", "A");
  const std::vector<std::string> bad = {"../a", "a/b", "..", ".a", "a\nb", "\xFF", std::string(129, 'a'),
                                        std::string("a\0", 2)};
  for (const std::string& id : bad) {
    EXPECT_THAT(store.body(id), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.plainText(id), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.appendHTML(id, "x"), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.setBody(id, "x", false), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.renameNote(id, "x"), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.deleteNote(id), FailedWith("invalid note id")) << id;
  }
  EXPECT_TRUE(store.plainTexts({"../a", "a"}).size() == 1);
  EXPECT_EQ(store.bodies({"../a", "a"}).size(), 1u);
  EXPECT_EQ(read("a.md"), "A");
  EXPECT_EQ(std::distance(fs::directory_iterator(vault), fs::directory_iterator()), 1);
}

TEST_F(FileStoreTest, LinksLeadingOutOfTheFolderAreRefusedAndNotListed) {
  const fs::path outside = home.path() / "secret.md";
  std::ofstream(outside) << "secret";
  fs::create_directories(vault / "sub");
  std::ofstream(vault / "sub" / "deep.md") << "deep";
  put("real.md", "Real\nbody");
  fs::create_symlink(outside, vault / "evil.md");
  fs::create_symlink("sub/deep.md", vault / "deeper.md");
  fs::create_symlink(home.path() / "missing.md", vault / "dangling.md");
  fs::create_symlink("real.md", vault / "alias.md");

  for (const std::string id : {"evil", "deeper", "dangling"}) {
    EXPECT_THAT(store.body(id), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.setBody(id, "overwritten", false), FailedWith("invalid note id")) << id;
    EXPECT_THAT(store.appendHTML(id, "more"), FailedWith("invalid note id")) << id;
  }
  std::ifstream in(outside);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "secret");
  EXPECT_FALSE(fs::exists(home.path() / "missing.md"));

  // A link to a note in the folder is that note under a second id.
  EXPECT_THAT(store.body("alias"), HasValue(std::string("Real\nbody")));
  auto ids = listedIds();
  std::sort(ids.begin(), ids.end());
  EXPECT_THAT(ids, ElementsAre("alias", "real"));
  // Deleting the alias removes the link, not the note it points to.
  ASSERT_THAT(store.deleteNote("alias"), IsOk());
  EXPECT_EQ(read("real.md"), "Real\nbody");
}

TEST_F(FileStoreTest, RootReachedThroughALinkWorks) {
  const fs::path linkedRoot = home.path() / "LinkedVault";
  fs::create_directory_symlink(vault, linkedRoot);
  FileStore linked(linkedRoot);
  put("a.md", "A");
  EXPECT_THAT(linked.body("a"), HasValue(std::string("A")));
  ASSERT_THAT(linked.setBody("a", "B", false), IsOk());
  EXPECT_EQ(read("a.md"), "B");
}

TEST_F(FileStoreTest, ListsNewestFirstWithEqualDatesInIdOrder) {
  put("b.md", "B");
  put("a.md", "A");
  put("c.md", "C");
  put("new.md", "New");
  put("old.md", "Old");
  setModified("a.md", 1000);
  setModified("b.md", 1000);
  setModified("c.md", 1000);
  setModified("new.md", 2000);
  setModified("old.md", 10);
  auto notes = store.listNotes(0);
  ASSERT_TRUE(notes.has_value());
  std::vector<std::pair<std::string, int64_t>> order;
  for (const Note& n : *notes) order.emplace_back(n.id, n.age);
  EXPECT_THAT(order, ElementsAre(std::pair<std::string, int64_t>{"new", 0}, std::pair<std::string, int64_t>{"a", 1},
                                 std::pair<std::string, int64_t>{"b", 2}, std::pair<std::string, int64_t>{"c", 3},
                                 std::pair<std::string, int64_t>{"old", 4}));

  auto three = store.listNotes(3);
  ASSERT_TRUE(three.has_value());
  ASSERT_EQ(three->size(), 3u);
  EXPECT_EQ((*three)[2].id, "b");
  EXPECT_EQ((*three)[2].age, 2);
}

TEST_F(FileStoreTest, ListingFillsNameAndPreviewOnly) {
  put("shop.md", "  Shopping \n- eggs\n- milk\n");
  put("markup.md", "<div>Tray Title</div><div>a &amp; b</div>");
  put("crlf.md", "Windows\r\nline\r\n");
  put("empty.md", "");
  put("blank.md", "\n  \n\t\n");
  auto notes = store.listNotes(0);
  ASSERT_TRUE(notes.has_value());
  std::map<std::string, Note> byId;
  for (const Note& n : *notes) byId[n.id] = n;
  EXPECT_EQ(byId["shop"].name, "Shopping");
  EXPECT_EQ(byId["shop"].preview, "- eggs\u2028- milk");
  EXPECT_EQ(byId["markup"].name, "Tray Title");
  EXPECT_EQ(byId["markup"].preview, "a & b");
  EXPECT_EQ(byId["crlf"].name, "Windows");
  EXPECT_EQ(byId["crlf"].preview, "line");
  EXPECT_EQ(byId["empty"].name, "empty");
  EXPECT_EQ(byId["empty"].preview, "");
  EXPECT_EQ(byId["blank"].name, "blank");
  const Note& shop = byId["shop"];
  EXPECT_FALSE(shop.pinned);
  EXPECT_TRUE(shop.images.empty());
  EXPECT_EQ(shop.previewHTML, "");
  EXPECT_FALSE(shop.bodyHydrated);
  EXPECT_FALSE(shop.nativeAttachmentsHydrated);
}

TEST_F(FileStoreTest, AwkwardFolderContentsNeverBreakTheListing) {
  put("good.md", "Good");
  put("latin1.md", "Caf\xE9\nbody");   // not UTF-8
  put(".hidden.md", "Hidden");         // id with a leading dot
  put("UPPER.MD", "Upper");            // extension is case-sensitive
  put("notes.txt", "Text");
  put("we ird.md", "Space");           // id with a space: a real name
  put("bad\x01.md", "Control");        // a control character never is
  fs::create_directories(vault / "folder.md");
  ASSERT_EQ(::mkfifo((vault / "pipe.md").c_str(), 0600), 0);
  std::string huge = "Huge title\n";
  huge.resize(FileStore::kListingReadLimit + 1024, 'x');
  put("huge.md", huge);

  auto ids = listedIds();
  std::sort(ids.begin(), ids.end());
  EXPECT_THAT(ids, ElementsAre("good", "huge", "latin1", "we ird"));
  auto notes = store.listNotes(0);
  ASSERT_TRUE(notes.has_value());
  for (const Note& n : *notes) {
    if (n.id == "latin1") {
      EXPECT_EQ(n.name, "latin1");  // unreadable as UTF-8
    } else if (n.id == "huge") {
      EXPECT_EQ(n.name, "Huge title");
    }
  }
  EXPECT_THAT(store.body("latin1"), FailedWith("cannot read note: the file is not valid UTF-8 text"));
  EXPECT_THAT(store.body("pipe"), FailedWith("cannot read note: not a regular file"));
  EXPECT_THAT(store.body("folder"), FailedWith("cannot read note: Is a directory"));
  EXPECT_THAT(store.body("missing"), FailedWith("cannot read note: No such file or directory"));
}

TEST_F(FileStoreTest, UnreadableFileIsListedUnderItsId) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
  put("locked.md", "Locked title");
  ::chmod((vault / "locked.md").c_str(), 0);
  auto notes = store.listNotes(0);
  ASSERT_TRUE(notes.has_value());
  ASSERT_EQ(notes->size(), 1u);
  EXPECT_EQ((*notes)[0].name, "locked");
}

TEST_F(FileStoreTest, CreatesNotesWithDerivedIds) {
  struct Case {
    std::string name, id;
  };
  const std::vector<Case> cases = {
      {"Shopping List", "shopping-list"},
      {"Shopping List", "shopping-list-2"},
      {"shopping list", "shopping-list-3"},
      {"?!...", "note"},
      {"  Hello,  World!  ", "hello---world"},
      {std::string(80, 'Q'), std::string(60, 'q')},
      {"Café olé", "cafe-ole"},
      {"Straße", "strasse"},
      {"Привет мир", "privet-mir"},
      {"🎉 Party", "party"},
      {"🎉", "note-2"},
  };
  for (const auto& c : cases) {
    auto id = store.createNote(c.name, "<div>x</div>");
    EXPECT_THAT(id, HasValue(c.id)) << c.name;
    if (id) {
      EXPECT_EQ(read(*id + ".md"), c.name + "\n<div>x</div>");
      EXPECT_EQ(corvane::testing::modeOf(vault / (*id + ".md")), 0600u);
    }
  }
}

TEST(NoteIdStem, NamesInOtherScriptsGetValidStableIds) {
  for (const std::string& name : std::vector<std::string>{"日本語メモ", "مرحبا", "Ærø", "١٢٣", "Ελληνικά"}) {
    std::string id = noteIdStem(name);
    EXPECT_TRUE(isWellFormedNoteId(id)) << name << " -> " << id;
    EXPECT_NE(id, "note") << name;
    EXPECT_EQ(noteIdStem(name), id);
  }
  EXPECT_EQ(noteIdStem("日本語メモ"), "ri-ben-yumemo");
  EXPECT_EQ(noteIdStem("Caf\xE9"), "caf");  // invalid UTF-8 is repaired first
}

TEST_F(FileStoreTest, CreatingTheSameNameConcurrentlyNeverOverwrites) {
  constexpr int kThreads = 8;
  std::vector<std::string> ids(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { ids[i] = store.createNote("Same", "<div>" + std::to_string(i) + "</div>").value_or(""); });
  for (auto& t : threads) t.join();
  std::vector<std::string> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_FALSE(ids[i].empty());
    EXPECT_EQ(read(ids[i] + ".md"), "Same\n<div>" + std::to_string(i) + "</div>");
  }
}

TEST_F(FileStoreTest, AppendAndSetBodyWriteWholeFilesPrivately) {
  ASSERT_THAT(store.appendHTML("fresh", "<div>x</div>"), IsOk());
  EXPECT_EQ(read("fresh.md"), "<div>x</div>");
  ASSERT_THAT(store.appendHTML("fresh", "<div>y</div>"), IsOk());
  EXPECT_EQ(read("fresh.md"), "<div>x</div><div>y</div>");
  EXPECT_EQ(corvane::testing::modeOf(vault / "fresh.md"), 0600u);

  EXPECT_THAT(store.setBody("other", "T\nnew", true), HasValue(SetBodyOutcome{0}));
  EXPECT_EQ(read("other.md"), "T\nnew");
  EXPECT_EQ(corvane::testing::modeOf(vault / "other.md"), 0600u);
  EXPECT_THAT(store.plainText("fresh"), HasValue(std::string("x\ny")));

  // Appending to a file that is not UTF-8 text would damage it.
  put("binary.md", "\xFF\xFE");
  EXPECT_THAT(store.appendHTML("binary", "x"), FailedWith("cannot read note: the file is not valid UTF-8 text"));
  // Nor is it replaced unseen by a save of what the editor could not show.
  EXPECT_THAT(store.setBody("binary", "x", true), FailedWith("cannot read note: the file is not valid UTF-8 text"));
  EXPECT_EQ(read("binary.md"), "\xFF\xFE");
}

TEST_F(FileStoreTest, ConcurrentAppendsAndRenamesLoseNothing) {
  put("shared.md", "Title\n");
  constexpr int kThreads = 6, kAppends = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      FileStore own(vault);  // every writer opens the file itself, as another process would
      for (int i = 0; i < kAppends; ++i) {
        EXPECT_THAT(own.appendHTML("shared", "<" + std::to_string(t) + ":" + std::to_string(i) + ">"), IsOk());
        if (t == 0 && i % 10 == 0) EXPECT_THAT(own.renameNote("shared", "Title " + std::to_string(i)), IsOk());
      }
    });
  for (auto& t : threads) t.join();
  const std::string text = read("shared.md");
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kAppends; ++i)
      EXPECT_NE(text.find("<" + std::to_string(t) + ":" + std::to_string(i) + ">"), std::string::npos) << t << ":" << i;
  EXPECT_TRUE(text.rfind("Title 30\n", 0) == 0) << text.substr(0, 40);
  for (const auto& entry : fs::directory_iterator(vault))
    EXPECT_FALSE(endsWith(entry.path().filename().string(), ".tmp")) << entry.path();
}

TEST_F(FileStoreTest, OwnWritesAreKnownByTheFileTheyLeft) {
  ASSERT_THAT(store.setBody("mine", "Mine\nbody", false), IsOk());
  const fs::path file = *store.noteFile("mine");
  EXPECT_TRUE(isOwnNoteWrite(file));
  ASSERT_THAT(store.appendHTML("mine", "<div>more</div>"), IsOk());
  EXPECT_TRUE(isOwnNoteWrite(file));
  // An editor saving the same size a moment later is still someone else.
  std::string text = read("mine.md");
  text[0] = 'X';
  put("mine.md", text);
  EXPECT_FALSE(isOwnNoteWrite(file));
  // A write on top of someone else's change holds their change too.
  ASSERT_THAT(store.appendHTML("mine", "<div>again</div>"), IsOk());
  EXPECT_FALSE(isOwnNoteWrite(file));
  ASSERT_THAT(store.deleteNote("mine"), IsOk());
  EXPECT_TRUE(isOwnNoteWrite(file));
  put("mine.md", "back");
  EXPECT_FALSE(isOwnNoteWrite(file));
  EXPECT_FALSE(isOwnNoteWrite(*store.noteFile("never-written")));
}

TEST_F(FileStoreTest, RealVaultFilesGetSensibleNamesAndPreviews) {
  struct Case {
    std::string file, text, name, preview;
  };
  const std::string frontMatter = "---\npermalink: /docs/x\ntags: [a, b]\n---\n";
  const std::string longLine(10u << 20, 'w');
  const std::vector<Case> cases = {
      {"Meeting notes.md", frontMatter + "# Weekly sync\n\nAgenda\n", "Weekly sync", "Agenda"},
      {"dots.md", "---\ntitle: x\n...\nBody title\nmore", "Body title", "more"},
      {"bom.md", "\xEF\xBB\xBF<div>Tagged</div><div>text</div>", "Tagged", "text"},
      {"bommd.md", "\xEF\xBB\xBF## Heading ##\nline", "Heading", "line"},
      {"crlf.md", "---\r\na: 1\r\n---\r\n# Windows\r\nrest\r\n", "Windows", "rest"},
      {"tag.md", "#tag is text\nnext", "#tag is text", "next"},
      {"empty heading.md", "#\n\nReal title\nx", "Real title", "x"},
      {"unclosed.md", "---\nkey: value\nno end", "---", "key: value\u2028no end"},
      {"only dashes.md", "---", "---", ""},
      {"only front matter.md", frontMatter, "only front matter", ""},
      {"会議メモ.md", "# 週次\n本文", "週次", "本文"},
      {"long.md", longLine, longLine, ""},
  };
  for (const auto& c : cases) put(c.file, c.text);
  auto notes = store.listNotes(0);
  ASSERT_TRUE(notes.has_value());
  ASSERT_EQ(notes->size(), cases.size());
  for (const auto& c : cases) {
    const std::string id = c.file.substr(0, c.file.size() - 3);
    auto it = std::find_if(notes->begin(), notes->end(), [&](const Note& n) { return n.id == id; });
    ASSERT_NE(it, notes->end()) << id;
    EXPECT_EQ(it->name, c.name) << id;
    EXPECT_EQ(it->preview, c.preview) << id;
  }
}

TEST_F(FileStoreTest, RenameKeepsFrontMatterAndHeadingMarks) {
  put("m.md", "---\na: 1\n---\n## Old name\nbody\n");
  ASSERT_THAT(store.renameNote("m", "New name"), IsOk());
  EXPECT_EQ(read("m.md"), "---\na: 1\n---\n## New name\nbody\n");
  put("p.md", "\xEF\xBB\xBFPlain\nbody");
  ASSERT_THAT(store.renameNote("p", "Other"), IsOk());
  EXPECT_EQ(read("p.md"), "\xEF\xBB\xBFOther\nbody");
  // Front matter closing at the end of the file gets the title on a line of its own.
  put("f.md", "---\nx\n---");
  ASSERT_THAT(store.renameNote("f", "Titled"), IsOk());
  EXPECT_EQ(read("f.md"), "---\nx\n---\nTitled\n");
}

TEST_F(FileStoreTest, FailedWriteLeavesTheOldFileIntact) {
  put("keep.md", "Old title\nold body");
  // A file-size limit makes the write fail whatever the user's rights are.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto result = store.setBody("keep", std::string(4096, 'z'), false);
  auto appended = store.appendHTML("keep", std::string(4096, 'z'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_THAT(result, FailedWith("cannot write note: File too large"));
  EXPECT_THAT(appended, FailedWith("cannot append to note: File too large"));
  EXPECT_EQ(read("keep.md"), "Old title\nold body");
  EXPECT_EQ(std::distance(fs::directory_iterator(vault), fs::directory_iterator()), 1);  // no temporaries left
}

TEST(ReplaceTitle, ReplacesTheTitleLineOrAddsOne) {
  struct Case {
    std::string text, oldTitle, newName, expected;
  };
  const std::vector<Case> cases = {
      {"Old\nbody", "Old", "New", "New\nbody"},
      {"Old\r\nbody", "Old", "New", "New\r\nbody"},
      {"Old", "Old", "New", "New\n"},
      {"  <div>Old</div><div>b</div>", "Old", "New", "  <div>New</div><div>b</div>"},
      {"<div><b>Old</b>  Title</div><div>b</div>", "old title", "New", "<div>New</div><div>b</div>"},
      {"<div>Other</div>", "Old", "New", "<div>New</div><div>Other</div>"},
      {"plain text", "Old", "New", "New\nplain text"},
      {"Oldish\nbody", "Old", "New", "New\nOldish\nbody"},
      {"", "", "New", "New\n"},
      {"<div>Old</div>", "Old", "a<b & c", "<div>a&lt;b &amp; c</div>"},
      {"Old\nbody", "Old", "a<b", "a<b\nbody"},
  };
  for (const auto& c : cases) EXPECT_EQ(replaceTitle(c.text, c.oldTitle, c.newName), c.expected) << c.text;
}

TEST_F(FileStoreTest, RenameKeepsTheIdAndReplacesTheTitle) {
  put("n.md", "Old\nbody");
  ASSERT_THAT(store.renameNote("n", "New"), IsOk());
  EXPECT_EQ(read("n.md"), "New\nbody");
  put("m.md", "  <div>Old</div><div>b</div>");
  ASSERT_THAT(store.renameNote("m", "New"), IsOk());
  EXPECT_EQ(read("m.md"), "  <div>New</div><div>b</div>");
  ASSERT_THAT(store.renameNote("missing", "Made"), IsOk());
  EXPECT_EQ(read("missing.md"), "Made\n");
  EXPECT_EQ(corvane::testing::modeOf(vault / "n.md"), 0600u);
}

TEST_F(FileStoreTest, DeleteRemovesTheFileForGood) {
  put("gone.md", "Gone");
  ASSERT_THAT(store.deleteNote("gone"), IsOk());
  EXPECT_FALSE(fs::exists(vault / "gone.md"));
  EXPECT_THAT(store.deleteNote("gone"), FailedWith("cannot delete note: No such file or directory"));
}

TEST_F(FileStoreTest, SearchesKeepListingOrderAndAges) {
  put("a.md", "École\nbody one");
  put("b.md", "Groceries\nbuy ÉCOLE supplies");
  put("c.md", "Other\nnothing");
  setModified("a.md", 300);
  setModified("b.md", 200);
  setModified("c.md", 100);

  auto names = store.searchNames("éco");
  ASSERT_TRUE(names.has_value());
  ASSERT_EQ(names->size(), 1u);
  EXPECT_EQ((*names)[0].id, "a");

  auto texts = store.searchNotes("école");
  ASSERT_TRUE(texts.has_value());
  ASSERT_EQ(texts->size(), 2u);
  EXPECT_EQ((*texts)[1].id, "b");
  EXPECT_EQ((*texts)[1].age, 1);

  auto found = store.findNotes({"c"}, {"Groceries", "groceries", "Nope"});
  ASSERT_TRUE(found.has_value());
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].id, "b");
  EXPECT_EQ((*found)[1].id, "c");
  EXPECT_EQ((*found)[1].age, 2);
}

TEST_F(FileStoreTest, BestEffortOperationsLeaveOutWhatTheyCannotRead) {
  put("a.md", "<div>A</div><div>x</div>");
  auto texts = store.plainTexts({"a", "missing", "../a"});
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], (std::pair<std::string, std::string>{"a", "A\nx"}));
  EXPECT_EQ(store.bodies({"missing", "a"}).at("a"), "<div>A</div><div>x</div>");
  EXPECT_EQ(store.attachmentCounts({"a", "b"}), (std::map<std::string, int64_t>{{"a", 0}, {"b", 0}}));
  EXPECT_TRUE(store.backupAttachments({"a"}).empty());
}

TEST_F(FileStoreTest, FolderOutsideTheDataDirectoryIsCreatedWhenMissing) {
  FileStore fresh(home.path() / "New" / "Vault");
  auto notes = fresh.listNotes(0);
  ASSERT_TRUE(notes.has_value());
  EXPECT_TRUE(notes->empty());
  EXPECT_TRUE(fs::is_directory(home.path() / "New" / "Vault"));

  std::ofstream(home.path() / "file") << "x";
  FileStore blocked(home.path() / "file" / "Vault");
  EXPECT_THAT(blocked.listNotes(0), FailedWith("cannot create notes dir: Not a directory"));
}

}  // namespace
}  // namespace corvane::notes
