#include "media/web_scheme_handler.h"

#include <unistd.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "image_fixtures.h"
#include "media/media_librarian.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::media {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

class RecordingTask final : public SchemeTask {
 public:
  explicit RecordingTask(std::optional<std::string> url) : url_(std::move(url)) {}
  std::optional<std::string> url() const override { return url_; }
  void respond(SchemeResponse r) override {
    ++answers;
    response = std::move(r);
  }
  void fail(SchemeFailure f) override {
    ++answers;
    failure = std::move(f);
  }
  std::string contentType() const {
    if (!response) return "<no response>";
    for (const auto& [name, value] : response->headers)
      if (name == "Content-Type") return value;
    return "<none>";
  }
  // "403 untrusted app origin", "200 text/html; charset=utf-8", "unanswered".
  std::string outcome() const {
    if (failure) return std::to_string(failure->code) + (failure->description ? " " + *failure->description : "");
    if (response) return std::to_string(response->status) + " " + contentType();
    return "unanswered";
  }

  std::optional<std::string> url_;
  int answers = 0;
  std::optional<SchemeResponse> response;
  std::optional<SchemeFailure> failure;
};

void put(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

class WebSchemeHandlerTest : public ::testing::Test {
 protected:
  WebSchemeHandlerTest() {
    put(web / "index.html", "<p>home</p>");
    put(web / "app.js", "js");
    put(web / "style.CSS", "css");
    put(web / "fonts" / "a.woff2", "font");
    put(web / "data.bin", "bin");
    put(web / "old.htm", "htm");
    put(web / "sub" / "page.html", "page");
    put(outside / "secret.txt", "secret");
    fs::create_directory_symlink(outside, web / "escape");
    fs::create_symlink(web / "app.js", web / "alias.js");
    MediaLibrarian::setSharedForTesting(std::make_shared<MediaLibrarian>(scheduler.createQueue("media"), scheduler));
  }
  ~WebSchemeHandlerTest() override { MediaLibrarian::setSharedForTesting(nullptr); }

  std::shared_ptr<RecordingTask> fetch(std::optional<std::string> url, bool runQueues = true) {
    auto task = std::make_shared<RecordingTask>(std::move(url));
    handler->start(task);
    if (runQueues) {
      work.runUntilIdle();
      main.runUntilIdle();
    }
    return task;
  }

  testing::TempHome home;
  testing::TempDir dir;
  fs::path web = dir.path() / "share" / "corvane" / "web";
  fs::path outside = dir.path() / "outside";
  testing::FakeScheduler scheduler;  // the media library's queue
  testing::FakeScheduler main, work;
  std::shared_ptr<TaskQueue> mainQueue = main.createQueue("main");
  std::shared_ptr<WebSchemeHandler> handler = WebSchemeHandler::create(web, *mainQueue, work.createQueue("work"));
};

TEST_F(WebSchemeHandlerTest, ServesInterfaceFilesWithTheThreeHeaders) {
  auto task = fetch("app://local");
  ASSERT_TRUE(task->response);
  EXPECT_EQ(task->answers, 1);
  EXPECT_EQ(task->response->url, "app://local");
  EXPECT_EQ(task->response->status, 200);
  EXPECT_EQ(task->response->httpVersion, "HTTP/1.1");
  EXPECT_THAT(task->response->headers, ElementsAre(Pair("Content-Type", "text/html; charset=utf-8"),
                                                   Pair("Access-Control-Allow-Origin", "app://local"),
                                                   Pair("Cache-Control", "no-cache")));
  EXPECT_EQ(task->response->body, "<p>home</p>");
  EXPECT_EQ(fetch("app://local/")->response->body, "<p>home</p>");
}

TEST_F(WebSchemeHandlerTest, AnswersEachRequestAsTabled) {
  struct Case {
    std::optional<std::string> url;
    std::string outcome;
  } cases[] = {
      {"APP://LOCAL/index.html", "200 text/html; charset=utf-8"},
      {"app://local/app.js?v=3#top", "200 text/javascript; charset=utf-8"},
      {"app://local/style.CSS", "200 text/css; charset=utf-8"},
      {"app://local//fonts/a.woff2", "200 font/woff2; charset=utf-8"},
      {"app://local/data.bin", "200 application/octet-stream; charset=utf-8"},
      {"app://local/old.htm", "200 application/octet-stream; charset=utf-8"},
      {"app://local/sub/../sub/page.html", "200 text/html; charset=utf-8"},
      {"app://local/sub%2Fpage.html", "200 text/html; charset=utf-8"},
      {"app://local/alias.js", "200 text/javascript; charset=utf-8"},
      {std::nullopt, "400"},
      {"", "400"},
      {"app://local/%zz", "400"},
      {"app://local/a%00b", "400"},
      {"app://local:8080/", "403 untrusted app origin"},
      {"app://local:/", "403 untrusted app origin"},
      {"app://user@local/", "403 untrusted app origin"},
      {"app://user:pw@local/", "403 untrusted app origin"},
      {"app://other/index.html", "403 untrusted app origin"},
      {"app://local.evil.com/", "403 untrusted app origin"},
      {"https://local/index.html", "403 untrusted app origin"},
      {"app:/index.html", "403 untrusted app origin"},
      {"index.html", "403 untrusted app origin"},
      {"app://local/../outside/secret.txt", "403 forbidden: ../outside/secret.txt"},
      {"app://local/%2e%2e/%2E%2E/outside/secret.txt", "403 forbidden: ../../outside/secret.txt"},
      {"app://local/..%2f..%2foutside%2fsecret.txt", "403 forbidden: ../../outside/secret.txt"},
      {"app://local/escape/secret.txt", "403 forbidden: escape/secret.txt"},
      {"app://local/missing.js", "404 not found: missing.js"},
      {"app://local/sub", "404 not found: sub"},
      {"app://local/index.html/x", "404 not found: index.html/x"},
  };
  for (const auto& c : cases) {
    auto task = fetch(c.url);
    EXPECT_EQ(task->outcome(), c.outcome) << c.url.value_or("<no url>");
    EXPECT_EQ(task->answers, 1) << c.url.value_or("<no url>");
    if (task->failure) {
      EXPECT_EQ(task->failure->domain, "Corvane");
    }
  }
}

TEST_F(WebSchemeHandlerTest, ServesMediaAndThumbnailsOffTheMainThread) {
  std::string jpeg = fixtures::makeImage("jpg", 1200, 900);
  std::string gif = fixtures::makeImage("gif", 40, 30);
  std::string png = fixtures::makeImage("png", 30, 20);
  std::string jpgToken = storeMedia(jpeg, "jpg").value();
  std::string gifToken = storeMedia(gif, "gif").value();
  std::string pngToken = storeMedia(png, "png").value();

  auto thumb = fetch("app://local/__thumb/" + jpgToken, /*runQueues=*/false);
  EXPECT_EQ(thumb->outcome(), "unanswered");
  EXPECT_EQ(handler->liveTaskCount(), 1u);
  work.runUntilIdle();
  EXPECT_EQ(thumb->outcome(), "unanswered") << "answers are delivered on the main queue";
  main.runUntilIdle();
  EXPECT_EQ(thumb->outcome(), "200 image/jpeg; charset=utf-8");
  EXPECT_EQ(fixtures::imageSize(thumb->response->body), std::make_pair(480, 360));
  EXPECT_EQ(handler->liveTaskCount(), 0u);

  auto full = fetch("app://local/__media/" + jpgToken);
  EXPECT_EQ(full->response->body, jpeg);
  auto gifThumb = fetch("app://local/__thumb/" + gifToken);
  EXPECT_EQ(gifThumb->outcome(), "200 image/gif; charset=utf-8");
  EXPECT_EQ(gifThumb->response->body, gif);
  EXPECT_EQ(fetch("app://local/__thumb/" + pngToken)->outcome(), "200 image/jpeg; charset=utf-8");
  EXPECT_EQ(fetch("app://local/__media/" + pngToken)->outcome(), "200 image/png; charset=utf-8");
  EXPECT_EQ(fetch("app://local/__media/" + pngToken)->response->body, png);

  for (const char* bad : {"__media/missing.png", "__media/..%2F..%2Fetc%2Fpasswd", "__thumb/a%20b.png",
                          "__media/", "__media/thumb"}) {
    auto task = fetch(std::string("app://local/") + bad);
    EXPECT_THAT(task->outcome(), ::testing::StartsWith("404 no media: __")) << bad;
  }
  EXPECT_EQ(fetch("app://local/__media/..%2F..%2Fetc%2Fpasswd")->outcome(), "404 no media: __media/../../etc/passwd");

  // Links planted in the media folder are never followed.
  fs::create_symlink("/etc/hostname", mediaDirectory() / "planted.png");
  EXPECT_EQ(fetch("app://local/__media/planted.png")->outcome(), "404 no media: __media/planted.png");
  EXPECT_EQ(fetch("app://local/__thumb/planted.png")->outcome(), "404 no media: __thumb/planted.png");
}

TEST_F(WebSchemeHandlerTest, StoppedMediaRequestsAreNeverAnswered) {
  std::string token = storeMedia(fixtures::makeImage("png", 10, 10), "png").value();
  std::string url = "app://local/__media/" + token;

  // Stopped before the file was read.
  auto early = fetch(url, false);
  handler->stop(early);
  EXPECT_EQ(handler->liveTaskCount(), 0u);
  // Stopped after the lookup, before the answer reached the main queue.
  auto late = fetch(url, false);
  work.runUntilIdle();
  handler->stop(late);
  // Another request for the same file is still answered.
  auto other = fetch(url, false);
  work.runUntilIdle();
  main.runUntilIdle();
  EXPECT_EQ(early->answers, 0);
  EXPECT_EQ(late->answers, 0);
  EXPECT_EQ(other->outcome(), "200 image/png; charset=utf-8");

  // Stopping an answered or unknown task does nothing.
  handler->stop(other);
  handler->stop(std::make_shared<RecordingTask>(url));

  // The handler is gone before the answer: nothing is answered.
  auto orphan = fetch(url, false);
  handler.reset();
  work.runUntilIdle();
  main.runUntilIdle();
  EXPECT_EQ(orphan->answers, 0);
}

TEST(ResourceDirectory, IsShareCorvaneBesideBin) {
  fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(resourceDirectory(), (exe.parent_path().parent_path() / "share" / "corvane").lexically_normal());
  EXPECT_EQ(webRootDirectory(), resourceDirectory() / "web");
}

}  // namespace
}  // namespace corvane::media
