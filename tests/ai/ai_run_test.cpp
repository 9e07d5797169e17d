#include "ai/ai_run.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ai/process_runner.h"
#include "core/files.h"
#include "notes/memory_note_store.h"
#include "platform/fake/fake_notifications.h"
#include "records/notices.h"
#include "records/notification_log.h"
#include "records/settings.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::ai {
namespace {

namespace fs = std::filesystem;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(NewInstruction, Table) {
  struct Case {
    std::string current, previous;
    std::optional<std::string> expected;
  } cases[] = {
      {"  \n ", "x", std::nullopt},
      {" do this \n", "", "do this"},
      {"a\nb\nc", "a\nb", "c"},
      {"a\n  b  \nnew one\n", "a\nb", "new one"},
      {"a\nb", "a\nb\n", std::nullopt},
      // A line typed again counts only beyond its earlier occurrences.
      {"x\nx\nx", "x\nx", "x"},
      {"keep\n\n  spaced  line\n", "keep", "spaced  line"},
      {"one\n\nthree", "two", "one\nthree"},
  };
  for (const auto& c : cases) EXPECT_EQ(newInstruction(c.current, c.previous), c.expected) << c.current;
}

TEST(RunFolder, SlugIsAlwaysASafeName) {
  EXPECT_EQ(runFolderSlug("My Plan: v2!"), "my-plan-v2");
  EXPECT_EQ(runFolderSlug("../.."), "action");
  EXPECT_EQ(runFolderSlug("!!! ??? ..."), "action");
  EXPECT_EQ(runFolderSlug(""), "action");
  EXPECT_EQ(runFolderSlug("Café ☕ notes"), "caf-notes");
  std::string longTitle(500, 'a');
  longTitle[119] = ' ';
  auto slug = runFolderSlug(longTitle);
  EXPECT_LE(slug.size(), 120u);
  EXPECT_THAT(slug, Not(EndsWith("-")));
  auto folder = defaultRunFolder("A b", fromUnixSeconds(1768478400.9));
  EXPECT_EQ(folder.filename(), "a-b-1768478400");
  EXPECT_EQ(folder.parent_path().filename(), "CorvaneAI");
}

TEST(RunDates, FollowTheLocaleAndZone) {
  WallTime t = fromUnixSeconds(1768478400);  // 2026-01-15 12:00:00 UTC
  EXPECT_THAT(formatRunDate(t, DateStyle::Short, DateStyle::Medium, "en_US", "UTC"), StartsWith("1/15/26, 12:00:00"));
  EXPECT_EQ(formatRunDate(t, DateStyle::Short, DateStyle::Medium, "de_DE", "UTC"), "15.01.26, 12:00:00");
  EXPECT_EQ(formatRunDate(t, DateStyle::Medium, DateStyle::Short, "de_DE", "Europe/Berlin"), "15.01.2026, 13:00");
  EXPECT_THAT(formatRunDate(t, DateStyle::Medium, DateStyle::Short, "en_US", "UTC"), StartsWith("Jan 15, 2026, 12:00"));
}

TEST(RunBlocks, StartedFailedAndDone) {
  EXPECT_EQ(startedBlock(AIProvider::Gemini, "/tmp/a<b>&c", "D"),
            "<div><br></div><h1>✦ Corvane AI — started D</h1><div>Provider: gemini · max-turns 200 · budget $10.00 · "
            "timeout 900s</div><div>Folder: /tmp/a&lt;b&gt;&amp;c</div><div>Running… the result will be appended "
            "below.</div>");
  EXPECT_EQ(failedBlock("line 1\n<x>", "D"),
            "<div><br></div><h1>✗ Corvane AI failed — D</h1><div>line 1</div><div>&lt;x&gt;</div>");

  AIRunResult r;
  r.resultText = "# Title\nsee ![a \"q\" <b>](image-2.png) here\n\n![other](missing.png)";
  r.images = {{"image-1.png", "data:image/jpeg;base64,AAA="}, {"image-2.png", "data:image/jpeg;base64,BBB="}};
  r.details = "extra\nRun cost: $0.0123";
  EXPECT_EQ(doneBlock(r, "D"),
            "<div><br></div><h1>✦ Corvane AI — done D</h1><div># Title</div>"
            "<div><img src=\"data:image/jpeg;base64,BBB=\" alt=\"a &quot;q&quot; &lt;b&gt;\"></div>"
            "<div></div><div>![other](missing.png)</div>"
            "<div><img src=\"data:image/jpeg;base64,AAA=\"></div>"
            "<div><br></div><div><i>extra</i></div><div><i>Run cost: $0.0123</i></div>");
  // Only the first image of a line is looked at; a target with a space is no image.
  AIRunResult spaced;
  spaced.resultText = "![x](image 1.png)";
  spaced.images = {{"image 1.png", "data:,"}};
  EXPECT_EQ(doneBlock(spaced, "D"), "<div><br></div><h1>✦ Corvane AI — done D</h1><div>![x](image 1.png)</div>"
                                    "<div><img src=\"data:,\"></div>");
}

// A home with fake tools in ~/.local/bin, an in-memory note store, a pinned
// clock, locale and zone, and every shared service replaced.
class AiRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoginShell::setSharedForTesting(std::make_shared<LoginShell>("/bin/false"));
    records::SettingsStore::setSharedForTesting(
        std::make_shared<records::SettingsStore>(scheduler.createQueue("com.corvane.settings")));
    dialog = std::make_shared<platform::FakeConfirmation>(true);
    platform::installConfirmationDialog(dialog);
    notifier = std::make_shared<platform::FakeNotifier>();
    platform::installUserNotifier(notifier);
    records::setNoticeQueueForTesting(scheduler.createQueue("com.corvane.notices"));
    store = std::make_shared<notes::testing::MemoryNoteStore>();
    context.store = [s = store] { return std::static_pointer_cast<notes::NoteStore>(s); };
    context.bodyChanged = [this](const std::string& id, const std::string& text) {
      std::lock_guard lock(mutex);
      changes.push_back(id + ": " + text);
    };
    context.noteCreated = [this](const std::string& id, const std::string& name, const std::string&) {
      std::lock_guard lock(mutex);
      created.push_back(id + " " + name);
    };
    context.recordBuild = [this] { ++builds; };
    context.clock = &scheduler;
    context.locale = "en_US";
    context.timeZone = "UTC";
    setProvider("claude");
  }
  void TearDown() override {
    records::setNoticeQueueForTesting(nullptr);
    platform::installUserNotifier(nullptr);
    platform::installConfirmationDialog(nullptr);
    records::SettingsStore::setSharedForTesting(nullptr);
    LoginShell::setSharedForTesting(nullptr);
  }

  void setProvider(const std::string& name) {
    ASSERT_TRUE(records::Settings::update([&](records::Settings& s) { s.aiProvider = name; }));
  }
  fs::path tool(const std::string& name, const std::string& script, mode_t mode = 0755) {
    home.write(fs::path(".local/bin") / name, "#!/bin/sh\n" + script + "\n");
    fs::path p = home.path() / ".local/bin" / name;
    ::chmod(p.c_str(), mode);
    return p;
  }
  RunOutcome run(const std::string& title, std::optional<std::string> id = std::nullopt) {
    auto outcome = runAIOnNote(title, id, context);
    scheduler.runUntilIdle();  // notices
    return outcome;
  }
  std::string body(const std::string& id) { return store->get(id).value().body; }
  std::vector<std::string> noticeTitles() {
    std::vector<std::string> titles;
    for (const auto& p : notifier->posted()) titles.push_back(p.title);
    return titles;
  }
  // Six images and one more, written by a tool that draws them.
  void writeImages(const fs::path& folder, int count) {
    for (int i = 1; i <= count; ++i) {
      std::string cmd = "convert -size 30x20 xc:blue '" + (folder / ("image-" + std::to_string(i) + ".png")).string() + "'";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
  }

  testing::TempHome home;
  testing::FakeScheduler scheduler;
  std::shared_ptr<platform::FakeConfirmation> dialog;
  std::shared_ptr<platform::FakeNotifier> notifier;
  std::shared_ptr<notes::testing::MemoryNoteStore> store;
  AiRunContext context;
  std::mutex mutex;
  std::vector<std::string> changes, created;
  std::atomic<int> builds{0};
};

TEST_F(AiRunTest, EarlyExitsTouchNothing) {
  store->put("n1", "Plan", "", 1);
  setProvider("chatgpt");
  EXPECT_EQ(run("Plan", "n1").message, kNoProvider);
  EXPECT_TRUE(notifier->posted().empty());

  setProvider("codex");
  auto empty = run("Plan", "n1");
  EXPECT_TRUE(empty.failed);
  EXPECT_EQ(empty.message, kEmptyNote);
  EXPECT_EQ(noticeTitles(), std::vector<std::string>{"✗ Plan — Corvane AI failed"});
  EXPECT_EQ(body("n1"), "");
  EXPECT_TRUE(changes.empty());
}

TEST_F(AiRunTest, ClaudeRunAppendsAnswerImagesAndCost) {
  store->put("n1", "Pictures", "<div>draw seven blue boxes</div>", 1);
  tool("claude",
       "printf '%s' \"$@\" > args.txt\n"
       "for i in 1 2 3 4 5 6 7 10; do convert -size 30x20 xc:blue image-$i.png; done\n"
       "printf '# Boxes\\n![first](image-1.png)\\n' > RESULT.md\n"
       "echo 'log line'; echo '{\"result\":\"Drew boxes.\",\"total_cost_usd\":0.0123}'");
  auto outcome = run("Pictures", "n1");
  ASSERT_FALSE(outcome.failed) << outcome.message;
  EXPECT_EQ(outcome.message, "# Boxes\n![first](image-1.png)");

  std::string html = body("n1");
  std::string started = "<h1>✦ Corvane AI — started " +
                        formatRunDate(scheduler.now(), DateStyle::Short, DateStyle::Medium, "en_US", "UTC") + "</h1>";
  std::string done = "<h1>✦ Corvane AI — done " +
                     formatRunDate(scheduler.now(), DateStyle::Medium, DateStyle::Short, "en_US", "UTC") + "</h1>";
  EXPECT_THAT(html, HasSubstr(started));
  EXPECT_THAT(html, HasSubstr(done));
  EXPECT_THAT(html, HasSubstr("<div><img src=\"data:image/jpeg;base64,"));
  EXPECT_THAT(html, HasSubstr("\" alt=\"first\"></div>"));
  EXPECT_THAT(html, EndsWith("<div><br></div><div><i>Run cost: $0.0123</i></div>"));
  size_t imgs = 0;
  for (size_t at = 0; (at = html.find("<img ", at)) != std::string::npos; ++at) ++imgs;
  EXPECT_EQ(imgs, 6u);

  fs::path folder = defaultRunFolder("Pictures", scheduler.now());
  EXPECT_EQ(testing::modeOf(folder / "REQUEST.md"), 0600u);
  EXPECT_EQ(testing::modeOf(folder), 0700u);
  EXPECT_EQ(readFile(folder / "REQUEST.md").value(), "draw seven blue boxes");
  EXPECT_THAT(readFile(folder / "args.txt").value(), HasSubstr("<REQUEST>\ndraw seven blue boxes\n</REQUEST>"));

  EXPECT_EQ(changes, (std::vector<std::string>{"n1: Corvane AI started…", "n1: # Boxes\n![first](image-1.png)"}));
  EXPECT_EQ(builds.load(), 1);
  ASSERT_EQ(noticeTitles(), std::vector<std::string>{"✦ Pictures — Corvane AI done"});
  EXPECT_EQ(notifier->posted()[0].body, "# Boxes ![first](image-1.png)");
  EXPECT_EQ(records::Settings::load().lastBuiltSpecs["Pictures"], store->plainText("n1").value());

  // Nothing new: a successful reply, nothing written.
  std::string before = body("n1");
  auto again = run("Pictures", "n1");
  EXPECT_FALSE(again.failed);
  EXPECT_EQ(again.message, kNothingNew);
  EXPECT_EQ(body("n1"), before);

  // One added line is the whole next request; the blocks are not resent.
  store->put("n1", "Pictures", before + "<div>now make them red</div>", 1);
  scheduler.fastForwardBy(std::chrono::seconds(5));
  ASSERT_FALSE(run("Pictures", "n1").failed);
  EXPECT_EQ(readFile(defaultRunFolder("Pictures", scheduler.now()) / "REQUEST.md").value(), "now make them red");
}

// A PNG whose header claims 30000 x 30000 pixels, with no pixel data at all.
std::string pngBomb() {
  auto crc32 = [](const std::string& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
      c ^= b;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
  };
  auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  std::string ihdr = "IHDR" + be32(30000) + be32(30000) + std::string("\x08\x02\x00\x00\x00", 5);
  std::string iend = "IEND";
  return std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + ihdr + be32(crc32(ihdr)) + be32(0) + iend +
         be32(crc32(iend));
}

TEST_F(AiRunTest, ImagesComeInNameOrderAndOnlyFromTheFolder) {
  fs::path folder = home.path() / "imgs";
  fs::create_directories(folder);
  writeImages(folder, 3);
  fs::rename(folder / "image-3.png", folder / "image-10.PNG");
  home.write("outside.png", "x");
  ASSERT_EQ(std::system(("convert -size 10x10 xc:red '" + (home.path() / "outside.png").string() + "'").c_str()), 0);
  fs::create_symlink(home.path() / "outside.png", folder / "image-0.png");
  home.write("imgs/broken.jpg", "not an image");
  home.write("imgs/zz-bomb.png", pngBomb());
  EXPECT_EQ(jpegDataURL(folder / "zz-bomb.png", 900), std::nullopt);
  auto images = collectRunImages(folder, 6);
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[0].fileName, "image-1.png");
  EXPECT_EQ(images[1].fileName, "image-10.PNG");
  EXPECT_EQ(images[2].fileName, "image-2.png");
  EXPECT_THAT(images[0].dataUri, StartsWith("data:image/jpeg;base64,/9j/"));
  // A file that does not decode still takes its place in the first `limit`.
  EXPECT_EQ(collectRunImages(folder, 2).size(), 1u);
}

TEST_F(AiRunTest, NoteFoundByTitleMustMatchExactly) {
  store->put("b", "Plan B", "<div>other note</div>", 1);
  setProvider("codex");
  tool("codex", "echo 'SUMMARY: planned'");
  auto outcome = run("Plan");
  ASSERT_FALSE(outcome.failed) << outcome.message;
  EXPECT_EQ(body("b"), "<div>other note</div>");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_THAT(created[0], EndsWith(" Plan"));
  // The title itself was the instruction, and the new note carries the answer
  // (the store puts the title first; the block follows it once).
  auto found = store->searchNames("Plan");
  ASSERT_TRUE(found);
  bool sawNew = false;
  for (const auto& n : *found)
    if (n.name == "Plan") {
      sawNew = true;
      EXPECT_THAT(body(n.id), StartsWith("<div>Plan</div><div><br></div><h1>✦ Corvane AI — done"));
    }
  EXPECT_TRUE(sawNew);
}

TEST_F(AiRunTest, LeftoversOfAnEarlierRunAreNotThisRunsAnswer) {
  fs::path project = home.path() / "project";
  fs::create_directories(project);
  home.write("project/RESULT.md", "OLD ANSWER");
  writeImages(project, 1);
  // File times are coarse; let the clock the file system uses move on.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(records::Settings::update([&](records::Settings& s) { s.projects["Proj"] = project.string(); }));
  store->put("p", "Proj", "<div>go</div>", 1);
  setProvider("gemini");
  tool("gemini", "echo 'working'; echo 'SUMMARY: nothing to show'");
  auto outcome = run("Proj", "p");
  ASSERT_FALSE(outcome.failed) << outcome.message;
  EXPECT_EQ(outcome.message, "nothing to show");
  EXPECT_THAT(body("p"), Not(HasSubstr("<img")));
  EXPECT_THAT(body("p"), HasSubstr("<div><i>working</i></div>"));
  // The request sits in the project folder, with the user's folder left as it was.
  EXPECT_EQ(readFile(project / "REQUEST.md").value(), "go");
}

TEST_F(AiRunTest, FailuresWriteStartedAndFailedBlocks) {
  store->put("n", "Fails", "<div>x</div>", 1);
  struct Case {
    std::string setup;  // a shell line run by the tool
    mode_t mode;
    bool approve;
    std::string message;
  } cases[] = {
      {"exit 0", 0775, true, "claude CLI not found. Install it and ensure it's on your PATH."},
      {"exit 0", 0755, false, std::string(kNotApproved)},
      {"echo 'auth expired' >&2; exit 2", 0755, true, "Corvane AI run failed (exit 2): auth expired"},
      {"echo '{\"subtype\":\"error_max_turns\",\"is_error\":true}'; exit 1", 0755, true,
       "Corvane AI run failed (exit 1): error_max_turns"},
      {"printf '\\377\\376 bad'", 0755, true,
       "The claude CLI printed text that is not valid UTF-8, so its answer can't be read."},
  };
  int n = 0;
  for (const auto& c : cases) {
    tool("claude", c.setup + " # " + std::to_string(n++), c.mode);
    dialog->setAnswer(c.approve);
    // A fresh instruction each time.
    store->put("n", "Fails", body("n") + "<div>try " + std::to_string(n) + "</div>", 1);
    std::string before = body("n");
    auto outcome = run("Fails", "n");
    EXPECT_TRUE(outcome.failed) << c.setup;
    EXPECT_EQ(outcome.message, c.message) << c.setup;
    std::string added = body("n").substr(before.size());
    EXPECT_THAT(added, StartsWith("<div><br></div><h1>✦ Corvane AI — started ")) << c.setup;
    EXPECT_THAT(added, HasSubstr("<h1>✗ Corvane AI failed — ")) << c.setup;
  }
  EXPECT_EQ(builds.load(), 0);
  EXPECT_TRUE(records::Settings::load().lastBuiltSpecs.empty());
  EXPECT_EQ(noticeTitles().size(), std::size(cases));
  EXPECT_EQ(noticeTitles().back(), "✗ Fails — Corvane AI failed");
}

TEST_F(AiRunTest, FolderThatCannotBePreparedAndInstructionTooLong) {
  home.write("afile", "x");
  ASSERT_TRUE(records::Settings::update([&](records::Settings& s) {
    s.projects["Filed"] = (home.path() / "afile").string();
  }));
  store->put("f", "Filed", "<div>x</div>", 1);
  tool("claude", "touch ran; exit 0");
  auto outcome = run("Filed", "f");
  EXPECT_TRUE(outcome.failed);
  EXPECT_THAT(outcome.message, StartsWith("couldn't prepare the action folder: "));

  std::string big;
  for (int i = 0; i < 4000; ++i) big += "<div>line " + std::to_string(i) + " of a very long instruction text</div>";
  store->put("big", "Big", big, 1);
  auto tooLong = run("Big", "big");
  EXPECT_TRUE(tooLong.failed);
  EXPECT_THAT(tooLong.message, HasSubstr("one command-line argument holds at most 128 KB"));
  EXPECT_FALSE(fs::exists(defaultRunFolder("Big", scheduler.now()) / "ran"));
}

TEST_F(AiRunTest, OneRunAtATimeAndCancelStopsTheToolAndItsChildren) {
  store->put("s", "Slow", "<div>wait</div>", 1);
  fs::path pidFile = home.path() / "child.pid";
  tool("claude", "sleep 60 & echo $! > '" + pidFile.string() + "'\nsleep 60");
  RunOutcome first;
  std::thread runner([&] { first = runAIOnNote("Slow", "s", context); });
  while (!aiToolIsRunning() || !fs::exists(pidFile)) std::this_thread::yield();

  auto second = runAIOnNote("Slow", "s", context);
  EXPECT_TRUE(second.failed);
  EXPECT_EQ(second.message, kAlreadyRunning);

  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(cancelAI());
  runner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(first.failed);
  EXPECT_THAT(first.message, StartsWith("Corvane AI run failed (exit 15): "));
  EXPECT_FALSE(aiRunIsActive());
  EXPECT_FALSE(cancelAI());
  // The tool's own child got the signal too (gone, or a zombie waiting for init).
  pid_t child = std::stoi(readFile(pidFile).value());
  std::string stat;
  if (auto s = readFile("/proc/" + std::to_string(child) + "/stat")) stat = *s;
  EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}

TEST_F(AiRunTest, AServerLeftRunningDoesNotHoldTheRun) {
  store->put("s", "Server", "<div>serve</div>", 1);
  setProvider("codex");
  fs::path pidFile = home.path() / "server.pid";
  tool("codex", "sleep 30 & echo $! > '" + pidFile.string() + "'\necho 'SUMMARY: started a server'");
  auto start = std::chrono::steady_clock::now();
  auto outcome = run("Server", "s");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(outcome.failed) << outcome.message;
  EXPECT_EQ(outcome.message, "started a server");
  ::kill(-std::stoi(readFile(pidFile).value()), SIGKILL);
  ::kill(std::stoi(readFile(pidFile).value()), SIGKILL);
}

}  // namespace
}  // namespace corvane::ai
