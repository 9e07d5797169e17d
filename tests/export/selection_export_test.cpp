#include "export/selection_export.h"

#include <gtest/gtest.h>

#include <deque>

#include "core/files.h"
#include "export/auto_format.h"
#include "export_fixtures.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::exports {
namespace {

using corvane::testing::IsOk;
using corvane::testing::TempDir;
using corvane::testing::TempHome;
namespace fs = std::filesystem;

TEST(ExportFolder, DesktopFromUserDirsElseHome) {
  TempHome home;
  EXPECT_EQ(exportFolder(), home.path() / "Desktop" / "CorvaneFiles");
  home.write(".config/user-dirs.dirs", "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Docs\"\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  EXPECT_EQ(desktopFolder(), home.path() / "Schreibtisch");
  home.write(".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/srv/desk\"\n");
  EXPECT_EQ(desktopFolder(), fs::path("/srv/desk"));
  home.write(".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/\"\n");
  EXPECT_EQ(desktopFolder(), home.path() / "Desktop");
}

ExportRequest request(std::string plain, std::string ext, bool autoFormat = true) {
  ExportRequest r;
  r.rich.append(plain, RunStyle{});
  r.plain = std::move(plain);
  r.extension = std::move(ext);
  r.autoFormat = autoFormat;
  return r;
}

TEST(ExportDocument, WritesEachFormatWithoutOverwriting) {
  TempDir dir;
  const fs::path folder = dir.path() / "Desk" / "CorvaneFiles";
  const std::string base = "Artifact_2025-03-07_14-05-09";
  auto md = exportDocument(request("Meeting Notes\n\n- a\n- b", "md"), folder, uniqueBaseName(folder, base));
  ASSERT_THAT(md, IsOk());
  EXPECT_EQ(md->filename(), base + ".md");
  EXPECT_EQ(readFile(*md).value(), "# Meeting Notes\n\n- a\n- b\n");
  auto txt = exportDocument(request("Meeting Notes\n\n- a", "txt"), folder, uniqueBaseName(folder, base));
  ASSERT_THAT(txt, IsOk());
  EXPECT_EQ(txt->filename(), base + "-2.txt");
  EXPECT_EQ(readFile(*txt).value(), "Meeting Notes\n\n- a");
  EXPECT_EQ(uniqueBaseName(folder, base), base + "-3");

  // Word: the images go beside the document under the document's name.
  ExportRequest withImage = request("x", "docx", false);
  auto png = std::make_shared<Attachment>();
  png->bytes = testing::smallPng();
  withImage.rich.appendAttachment(png, RunStyle{});
  auto docx = exportDocument(withImage, folder, uniqueBaseName(folder, base));
  ASSERT_THAT(docx, IsOk());
  EXPECT_EQ(docx->filename(), base + "-3.docx");
  EXPECT_TRUE(fs::exists(folder / (base + "-3_image1.png")));
  // Rich text with an image becomes a package.
  withImage.extension = "rtf";
  auto rtfd = exportDocument(withImage, folder, uniqueBaseName(folder, base));
  ASSERT_THAT(rtfd, IsOk());
  EXPECT_EQ(rtfd->filename(), base + "-4.rtfd");
  EXPECT_TRUE(fs::exists(*rtfd / "TXT.rtf"));
  EXPECT_EQ(corvane::testing::modeOf(*md), 0644u);
}

TEST(ExportDocument, FailsCleanlyWhenTheFolderIsAFile) {
  TempDir dir;
  const fs::path folder = dir.path() / "CorvaneFiles";
  ASSERT_THAT(writeFileAtomic(folder, "not a folder", 0644), IsOk());
  for (auto ext : {"pdf", "docx", "rtf", "md", "txt"}) {
    auto r = exportDocument(request("Some text.", ext), folder, "Artifact_x");
    ASSERT_FALSE(r.has_value()) << ext;
    EXPECT_FALSE(r.message().empty());
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(ExportDocument, SavedLabelIsTheFirstTwoWords) {
  EXPECT_EQ(savedLabel("  Meeting\n Notes today", "stem"), "Meeting Notes");
  EXPECT_EQ(savedLabel("Supercalifragilistic expialidocious", "stem"), "Supercalifragilistic");
  EXPECT_EQ(savedLabel(" \n", "Artifact_1"), "Artifact_1");
}

TEST(HasFormatting, PlainTextIsNotFormatted) {
  RichText plain;
  RunStyle big;
  big.size = 18;
  plain.append("one font, first run has no previous font", big);
  EXPECT_FALSE(hasFormatting(plain));
  EXPECT_FALSE(hasFormatting(RichText()));
  RunStyle black;
  black.color = Color::black();
  black.size = 18;
  plain.append(" black", black);
  EXPECT_FALSE(hasFormatting(plain));

  auto formatted = [](auto change) {
    RichText rt;
    rt.append("a ", RunStyle{});
    RunStyle s;
    change(s);
    rt.append("b", s);
    return hasFormatting(rt);
  };
  EXPECT_TRUE(formatted([](RunStyle& s) { s.weight = 700; }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.italic = true; }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.size = 14; }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.fontName = "Georgia"; }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.link = "https://x"; }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.paragraph = std::make_shared<ParagraphStyle>(); }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.color = Color{1, 0, 0, 1}; }));
  EXPECT_TRUE(formatted([](RunStyle& s) { s.underline = true; }));
}

TEST(MakeExportRequest, TakesTheFirstFlavourWithText) {
  using K = SelectionContent::Kind;
  auto r = makeExportRequest({{K::PlainText, "Meeting Notes\n\n- a"}, {K::Html, "<b>Bold</b> words"}}, "md");
  ASSERT_THAT(r, IsOk());
  EXPECT_FALSE(r->autoFormat);
  EXPECT_EQ(r->plain, "Bold words");
  EXPECT_EQ(AutoFormat::richTextToMarkdown(r->rich), "**Bold** words\n");
  // An unreadable richer flavour falls back to the plain one.
  r = makeExportRequest({{K::Rtf, "{\\rtf1" + std::string(2000, '{')}, {K::PlainText, "plain"}}, "txt");
  ASSERT_THAT(r, IsOk());
  EXPECT_TRUE(r->autoFormat);
  EXPECT_THAT(makeExportRequest({{K::Image, "\x89PNG"}, {K::PlainText, ""}}, "pdf"),
              corvane::testing::FailedWith("Nothing selected"));
  EXPECT_THAT(makeExportRequest({{K::Rtf, "{\\rtf1" + std::string(2000, '{')}}, "pdf"),
              corvane::testing::FailedWith("The rich text is nested too deeply to export."));
}

TEST(PickerKeys, NumbersPickEscapeClosesOthersPass) {
  struct {
    const char* chars;
    bool escape;
    PickerKey::Action action;
    std::string_view ext;
  } cases[] = {
      {"1", false, PickerKey::Action::Pick, "pdf"},  {"2", false, PickerKey::Action::Pick, "docx"},
      {"3", false, PickerKey::Action::Pick, "txt"},  {"4", false, PickerKey::Action::Pick, "rtf"},
      {"5", false, PickerKey::Action::Pick, "md"},   {"6", false, PickerKey::Action::PassThrough, ""},
      {"0", false, PickerKey::Action::PassThrough, ""}, {"a", false, PickerKey::Action::PassThrough, ""},
      {"", false, PickerKey::Action::PassThrough, ""},  {"", true, PickerKey::Action::Close, ""},
  };
  for (const auto& c : cases) {
    PickerKey k = pickerKeyAction(c.chars, c.escape);
    EXPECT_EQ(k.action, c.action) << c.chars;
    EXPECT_EQ(k.extension, c.ext) << c.chars;
  }
}

class FakeClock : public Clock {
 public:
  WallTime now() const override { return wall; }
  MonoTime monotonicNow() const override { return mono; }
  void advance(std::chrono::milliseconds d) {
    wall += d;
    mono += d;
  }
  WallTime wall = fromUnixSeconds(1741356309);
  MonoTime mono{std::chrono::hours(1)};
};

class FakeDesktop : public ExportDesktop {
 public:
  bool onboarding = false, trusted = true, backup = true;
  std::vector<std::string> log;  // everything the user would see, in order
  std::deque<std::function<void()>> background, main;
  std::vector<fs::path> backups;
  int documents = 0;

  bool onboardingActive() override { return onboarding; }
  bool accessibilityTrusted() override { return trusted; }
  void showMainWindow() override { log.push_back("window"); }
  void emitEvent(std::string_view name, std::string_view payload) override {
    log.push_back("event " + std::string(name) + " " + std::string(payload));
  }
  void showStatus(const std::string& text, bool success) override {
    log.push_back(std::string(success ? "hud ok " : "hud fail ") + text);
  }
  void postNotice(const std::string& title, const std::string& body) override { log.push_back("notice " + title + " | " + body); }
  void recordDocument() override { ++documents; }
  void backupExport(const fs::path& file) override { backups.push_back(file); }
  bool backupEnabled() override { return backup; }
  void runInBackground(std::function<void()> work) override { background.push_back(std::move(work)); }
  void runOnMain(std::function<void()> work) override { main.push_back(std::move(work)); }
  void drain() {
    while (!background.empty() || !main.empty()) {
      auto& q = !background.empty() ? background : main;
      auto f = std::move(q.front());
      q.pop_front();
      f();
    }
  }
};

class FakeSource : public SelectionSource {
 public:
  std::optional<std::vector<SelectionContent>> copied;
  std::optional<std::string> accessible;
  std::string clipboard;
  int copies = 0;
  std::optional<std::vector<SelectionContent>> copySelection() override {
    ++copies;
    return copied;
  }
  std::optional<std::string> accessibleSelection() override { return accessible; }
  void setClipboardText(const std::string& text) override { clipboard = text; }
};

class FakePicker : public FormatPicker {
 public:
  std::function<void(std::string_view)> pick;
  std::function<void()> cancel;
  int shown = 0;
  void show(std::function<void(std::string_view)> onPick, std::function<void()> onCancel) override {
    ++shown;
    pick = std::move(onPick);
    cancel = std::move(onCancel);
  }
};

struct ServiceFixture : ::testing::Test {
  TempDir dir;
  FakeClock clock;
  FakeDesktop desktop;
  FakeSource source;
  FakePicker picker;
  ExportService service{desktop, source, picker, clock, [this] { return dir.path() / "CorvaneFiles"; }};
  fs::path file(const std::string& name) { return dir.path() / "CorvaneFiles" / name; }
  std::string stamp() { return artifactBaseName(clock.now()); }
};

TEST_F(ServiceFixture, PressesCloserThanHalfASecondAreIgnored) {
  source.copied = std::vector<SelectionContent>{{SelectionContent::Kind::PlainText, "x"}};
  service.saveSelection();
  clock.advance(std::chrono::milliseconds(300));
  service.saveSelection();
  clock.advance(std::chrono::milliseconds(300));
  service.saveSelection();  // 0.6 s after the first, 0.3 s after the last
  desktop.drain();
  EXPECT_EQ(source.copies, 1);
  clock.advance(std::chrono::milliseconds(600));
  service.saveSelection();
  desktop.drain();
  EXPECT_EQ(source.copies, 2);
}

TEST_F(ServiceFixture, OnboardingAndPermissionStopBeforeCapture) {
  desktop.onboarding = true;
  service.saveSelection();
  desktop.onboarding = false;
  desktop.trusted = false;
  clock.advance(std::chrono::seconds(1));
  service.saveSelection();
  desktop.drain();
  EXPECT_EQ(source.copies, 0);
  EXPECT_EQ(desktop.log, (std::vector<std::string>{"event onboard:action null", "window",
                                                   "event perm:needed {\"kind\":\"accessibility\"}"}));
}

TEST_F(ServiceFixture, PickedMarkdownIsWrittenAndReported) {
  source.copied = std::vector<SelectionContent>{{SelectionContent::Kind::PlainText, "Meeting Notes\n\n- a\n- b"}};
  service.saveSelection();
  desktop.drain();
  ASSERT_EQ(picker.shown, 1);
  picker.pick("md");
  desktop.drain();
  const std::string name = stamp() + ".md";
  EXPECT_EQ(readFile(file(name)).value(), "# Meeting Notes\n\n- a\n- b\n");
  EXPECT_EQ(desktop.log, (std::vector<std::string>{
                             "hud ok \xE2\x9C\x93 Saved Meeting Notes",
                             "notice \xE2\x9C\x93 Saved " + name + " | Exported to ~/Desktop/CorvaneFiles as MD.",
                             "event onboard:action null"}));
  EXPECT_EQ(desktop.documents, 1);
  EXPECT_EQ(desktop.backups, std::vector<fs::path>{file(name)});
}

TEST_F(ServiceFixture, AccessibleSelectionIsTheFallbackAndCancelWritesNothing) {
  source.accessible = "from the accessibility bus";
  desktop.backup = false;
  service.saveSelection();
  desktop.drain();
  EXPECT_EQ(source.clipboard, "from the accessibility bus");
  ASSERT_EQ(picker.shown, 1);
  picker.cancel();
  desktop.drain();
  EXPECT_FALSE(fs::exists(dir.path() / "CorvaneFiles"));
  EXPECT_TRUE(desktop.log.empty());
}

TEST_F(ServiceFixture, NothingSelectedAndFailuresAreReported) {
  service.saveSelection();  // no clipboard change, no accessible text
  desktop.drain();
  source.copied = std::vector<SelectionContent>{{SelectionContent::Kind::Image, "\x89PNG"}};
  clock.advance(std::chrono::seconds(1));
  service.saveSelection();
  desktop.drain();
  EXPECT_EQ(picker.shown, 0);
  EXPECT_EQ(desktop.log, (std::vector<std::string>{"hud fail \xE2\x9C\x95 Nothing selected", "hud fail \xE2\x9C\x95 Nothing selected"}));

  desktop.log.clear();
  ASSERT_THAT(writeFileAtomic(dir.path() / "CorvaneFiles", "a file", 0644), IsOk());
  source.copied = std::vector<SelectionContent>{{SelectionContent::Kind::PlainText, "text"}};
  clock.advance(std::chrono::seconds(1));
  service.saveSelection();
  desktop.drain();
  picker.pick("pdf");
  desktop.drain();
  ASSERT_EQ(desktop.log.size(), 2u);
  EXPECT_EQ(desktop.log[0], "hud fail \xE2\x9C\x95 Export failed");
  EXPECT_TRUE(desktop.log[1].starts_with("notice \xE2\x9C\x97 Export failed | ")) << desktop.log[1];
  EXPECT_EQ(desktop.documents, 0);
}

}  // namespace
}  // namespace corvane::exports
