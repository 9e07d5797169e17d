// Every place a name from outside becomes a path: note ids (from the page, the
// cache file, links), titles that become ids (new notes, imported file names),
// media tokens (from bodies and app://local URLs) and export names. Each is
// refused with its message or confined to its folder, and nothing outside is
// read or written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/files.h"
#include "core/paths.h"
#include "core/queue.h"
#include "export/export_document.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "media/web_scheme_handler.h"
#include "notes/file_store.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

void put(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

// Everything below `root`, with contents: compared before and after to show
// that nothing outside the folder under test changed.
std::map<std::string, std::string> snapshot(const fs::path& root, const fs::path& skip) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    out[it->path().string()] = it->is_regular_file() ? readFile(it->path()).value_or("?") : "<dir>";
  }
  return out;
}

class HostilePaths : public ::testing::Test {
 protected:
  HostilePaths() {
    put(home.path() / "secret.md", "secret\n<div>do not touch</div>");
    put(home.path() / "secret.png", "not an image");
    put(vault / "plan.md", "Plan\n<div>body</div>");
    fs::create_symlink(home.path() / "secret.md", vault / "link.md");
  }
  testing::TempHome home;
  fs::path vault = home.path() / "vault";
  notes::FileStore store{vault};
};

TEST_F(HostilePaths, NoteIdsFromOutsideAreRefusedBeforeAnyFileIsTouched) {
  const std::string ids[] = {
      "",
      ".",
      "..",
      "../secret",
      "../../etc/passwd",
      "/etc/passwd",
      "a/b",
      "a\\b",
      ".hidden",
      std::string("plan\0x", 6),
      "plan\n",
      "link",  // a link in the vault pointing outside it
      std::string(250, 'a'),
      std::string(129, 'a'),
  };
  const auto before = snapshot(home.path(), vault);
  for (const auto& id : ids) {
    SCOPED_TRACE(::testing::PrintToString(id));
    EXPECT_EQ(store.body(id).error(), "invalid note id");
    EXPECT_EQ(store.plainText(id).error(), "invalid note id");
    EXPECT_EQ(store.setBody(id, "<div>x</div>", true).error(), "invalid note id");
    EXPECT_EQ(store.appendHTML(id, "<div>x</div>").error(), "invalid note id");
    EXPECT_EQ(store.renameNote(id, "x").error(), "invalid note id");
    EXPECT_EQ(store.deleteNote(id).error(), "invalid note id");
    EXPECT_TRUE(store.bodies({id}).empty());
  }
  EXPECT_EQ(snapshot(home.path(), vault), before);
  EXPECT_EQ(readFile(vault / "plan.md").value(), "Plan\n<div>body</div>");
  EXPECT_TRUE(fs::is_symlink(vault / "link.md"));
}

TEST_F(HostilePaths, NamesRealVaultsUseStayInsideTheVault) {
  // Percent signs, a leading dash and letters outside ASCII are ordinary file
  // names: they are taken literally, never decoded into a path.
  const std::string ids[] = {"%2e%2e%2fsecret", "..%2fsecret", "%2E%2E", "-rf", "caf\xC3\xA9"};
  const auto before = snapshot(home.path(), vault);
  for (const auto& id : ids) {
    SCOPED_TRACE(::testing::PrintToString(id));
    EXPECT_FALSE(store.body(id).has_value());
    (void)store.setBody(id, "<div>x</div>", true);
    (void)store.appendHTML(id, "<div>y</div>");
    (void)store.renameNote(id, "x");
    if (fs::exists(vault / (id + ".md"))) EXPECT_TRUE(store.deleteNote(id).has_value());
  }
  EXPECT_EQ(snapshot(home.path(), vault), before);
  EXPECT_EQ(readFile(vault / "plan.md").value(), "Plan\n<div>body</div>");
}

TEST_F(HostilePaths, TitlesAndImportedFileNamesBecomeIdsInsideTheVault) {
  // A new note's (or an imported file's) name only ever gives an id in the vault.
  struct Case {
    std::string name;
    std::string id;
  } cases[] = {
      {"../../etc/passwd", "etc-passwd"},
      {"..", "note"},
      {"/", "note-2"},
      {"%2e%2e%2fsecret", "2e-2e-2fsecret"},
      {"a\\b", "a-b"},
      {std::string("nul\0byte", 8), "nul-byte"},
      {".hidden", "hidden"},
      {std::string(250, 'x'), std::string(60, 'x')},
      {"Plan", "plan-2"},             // differs only by case from "plan"
      {"PLAN", "plan-3"},
      {"Caf\xC3\xA9", "cafe"},        // composed é
      {"Cafe\xCC\x81", "cafe-2"},     // e + combining acute: never overwrites the other
      {"secret", "secret"},           // the name of the file outside: still a new file inside
  };
  const auto before = snapshot(home.path(), vault);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.name));
    auto id = store.createNote(c.name, "<div>new</div>");
    ASSERT_TRUE(id) << id.error();
    EXPECT_EQ(*id, c.id);
    EXPECT_TRUE(fs::is_regular_file(vault / (*id + ".md")));
  }
  EXPECT_EQ(snapshot(home.path(), vault), before);
  EXPECT_EQ(readFile(vault / "plan.md").value(), "Plan\n<div>body</div>");
}

TEST_F(HostilePaths, MediaTokensNeverLeaveTheMediaFolder) {
  put(media::mediaDirectory() / "0123456789abcdef0123456789abcdef.png", "png");
  fs::create_symlink(home.path() / "secret.png", media::mediaDirectory() / "evil.png");
  const std::string tokens[] = {
      "", ".", "..", "../secret.png", "..%2fsecret.png", "%2e%2e%2fsecret.png", "/etc/passwd", "a/b.png",
      "thumb", "evil.png", std::string("a\0b.png", 7), std::string(300, 'a') + ".png", "..png",
  };
  for (const auto& t : tokens) {
    SCOPED_TRACE(::testing::PrintToString(t));
    EXPECT_FALSE(media::mediaFile(t));
    EXPECT_FALSE(media::thumbnailFile(t));
  }
  EXPECT_TRUE(media::mediaFile("0123456789abcdef0123456789abcdef.png"));
}

class RecordingTask final : public media::SchemeTask {
 public:
  explicit RecordingTask(std::string url) : url_(std::move(url)) {}
  std::optional<std::string> url() const override { return url_; }
  void respond(media::SchemeResponse r) override { body = r.body, status = r.status; }
  void fail(media::SchemeFailure f) override { status = f.code; }
  std::string url_, body;
  int status = 0;
};

TEST_F(HostilePaths, AppLocalMediaRoutesServeNothingFromOutside) {
  testing::FakeScheduler scheduler, main, work;
  media::MediaLibrarian::setSharedForTesting(
      std::make_shared<media::MediaLibrarian>(scheduler.createQueue("media"), scheduler));
  auto mainQueue = main.createQueue("main");
  auto handler = media::WebSchemeHandler::create(home.path() / "web", *mainQueue, work.createQueue("work"));
  fs::create_symlink(home.path() / "secret.png", (fs::create_directories(media::mediaDirectory()),
                                                  media::mediaDirectory() / "evil.png"));
  const char* urls[] = {
      "app://local/__media/../secret.png",
      "app://local/__media/..%2f..%2fsecret.png",
      "app://local/__media/%2e%2e/%2e%2e/secret.png",
      "app://local/__thumb/..%2F..%2Fsecret.png",
      "app://local/__media/evil.png",
      "app://local/__thumb/evil.png",
      "app://local/__media/%2fetc%2fpasswd",
      "app://local/__media/a%00.png",
  };
  for (const char* url : urls) {
    SCOPED_TRACE(url);
    auto task = std::make_shared<RecordingTask>(url);
    handler->start(task);
    work.runUntilIdle();
    main.runUntilIdle();
    EXPECT_NE(task->status, 200);
    EXPECT_NE(task->status, 0) << "answered";
    EXPECT_EQ(task->body.find("not an image"), std::string::npos);
  }
  media::MediaLibrarian::setSharedForTesting(nullptr);
}

TEST_F(HostilePaths, ExportNamesStayInTheExportFolder) {
  const fs::path folder = home.path() / "Desktop" / "CorvaneFiles";
  fs::create_directories(folder);
  exports::ExportRequest request;
  request.plain = "text";
  request.extension = "txt";
  for (const std::string& base : std::vector<std::string>{"../escaped", "../../escaped", "/tmp/escaped", "a/../../escaped", "..", "", std::string("a\0b", 3)}) {
    SCOPED_TRACE(::testing::PrintToString(base));
    auto written = exports::exportDocument(request, folder, base);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), "invalid export name");
  }
  EXPECT_FALSE(fs::exists(home.path() / "Desktop" / "escaped.txt"));
  EXPECT_FALSE(fs::exists(home.path() / "escaped.txt"));
  EXPECT_FALSE(fs::exists("/tmp/escaped.txt"));
}

}  // namespace
}  // namespace corvane
