// The HTTP layer (core/http.h) and the URL parser, against a server on the
// loopback interface.
#include "core/http.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <httplib.h>

#include "core/url.h"
#include "testing/matchers.h"

namespace corvane {
namespace {

using corvane::testing::FailedWith;
using corvane::testing::IsOk;
using std::chrono::milliseconds;

TEST(UrlTest, ParsesTheCallbackFormsAndRefusesAddressesWithoutAHost) {
  auto apple = parseUrl("CORVANE://Auth/apple?state=a%20b&code=c&state=second");
  ASSERT_TRUE(apple);
  EXPECT_EQ(apple->scheme, "corvane");
  EXPECT_EQ(apple->host, "auth");
  EXPECT_EQ(apple->path, "/apple");
  auto items = queryItems(*apple->query);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].second, "a b");

  auto full = parseUrl("corvane://u:p@auth:81/apple#frag");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->user, "u");
  EXPECT_EQ(full->password, "p");
  EXPECT_EQ(full->port, 81);
  EXPECT_EQ(full->fragment, "frag");

  for (const char* bad : {"corvane:auth/apple", "corvane:///apple", "http://", "no scheme", "http://h:99999/",
                          "http://a b/", "://x"})
    EXPECT_FALSE(parseUrl(bad)) << bad;
  auto v6 = parseUrl("http://[::1]:8080/x");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "::1");
}

TEST(HttpAddressTest, OnlyHttpsOrPlainHttpToTheLoopbackHost) {
  EXPECT_THAT(checkRequestAddress("https://example.com/x"), IsOk());
  EXPECT_THAT(checkRequestAddress("http://127.0.0.1:9/x"), IsOk());
  EXPECT_THAT(checkRequestAddress("http://localhost/x"), IsOk());
  EXPECT_THAT(checkRequestAddress("http://[::1]:80/"), IsOk());
  EXPECT_THAT(checkRequestAddress("http://example.com/x"), FailedWith(std::string(kHttpInsecure)));
  EXPECT_THAT(checkRequestAddress("http://127.0.0.1.evil.com/"), FailedWith(std::string(kHttpInsecure)));
  EXPECT_THAT(checkRequestAddress("ftp://127.0.0.1/"), FailedWith(std::string(kHttpInsecure)));
  EXPECT_THAT(checkRequestAddress("https:///nohost"), FailedWith(std::string(kHttpBadAddress)));
  EXPECT_THAT(checkRequestAddress(""), FailedWith(std::string(kHttpBadAddress)));
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
    server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.get_header_value("Authorization") + "|" + req.body, "text/plain");
    });
    server.Get("/big", [](const httplib::Request&, httplib::Response& res) { res.set_content(std::string(5000, 'x'), "text/plain"); });
    server.Get("/fail", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    server.Get("/same", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok"); });
    server.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    server.Get("/away", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("http://localhost:" + std::to_string(port) + "/ok");
    });
    server.Get("/hang", [this](const httplib::Request&, httplib::Response& res) {
      for (int i = 0; i < 500 && !stopping; ++i) std::this_thread::sleep_for(milliseconds(10));
      res.set_content("late", "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  void TearDown() override {
    stopping = true;
    server.stop();
    thread.join();
  }
  HttpRequest get(const std::string& path) {
    HttpRequest r;
    r.url = "http://127.0.0.1:" + std::to_string(port) + path;
    return r;
  }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::atomic<bool> stopping{false};
};

TEST_F(HttpServerTest, AnswersStatusAndBodyAndSendsHeadersAndBody) {
  auto r = httpSend(get("/ok"));
  ASSERT_THAT(r, IsOk());
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "hello");

  HttpRequest post = get("/echo");
  post.method = "POST";
  post.headers.emplace_back("Authorization", "Bearer t");
  post.body = R"({"a":1})";
  auto echoed = httpSend(post);
  ASSERT_THAT(echoed, IsOk());
  EXPECT_EQ(echoed->body, R"(Bearer t|{"a":1})");

  auto failed = httpSend(get("/fail"));
  ASSERT_THAT(failed, IsOk()) << "a 500 is an answer, not a transport failure";
  EXPECT_EQ(failed->status, 500);
}

TEST_F(HttpServerTest, CapsTheAnswerAndFollowsRedirectsOnlyWithinTheHost) {
  auto big = get("/big");
  big.maxResponseBytes = 1000;
  EXPECT_THAT(httpSend(big), FailedWith(std::string(kHttpTooLarge)));

  auto same = httpSend(get("/same"));
  ASSERT_THAT(same, IsOk());
  EXPECT_EQ(same->body, "hello");
  EXPECT_THAT(httpSend(get("/away")), FailedWith(std::string(kHttpForeignRedirect)));
  EXPECT_THAT(httpSend(get("/loop")), FailedWith(std::string(kHttpTooManyRedirects)));

  // Not following: the 3xx comes back with where it points (the browser step of a test).
  auto unfollowed = get("/away");
  unfollowed.maxRedirects = 0;
  auto answer = httpSend(unfollowed);
  ASSERT_THAT(answer, IsOk());
  EXPECT_EQ(answer->status, 302);
  EXPECT_EQ(answer->location, "http://localhost:" + std::to_string(port) + "/ok");
}

TEST_F(HttpServerTest, TheRequestTimeOutAndTheCallersWaitAreSeparate) {
  auto hang = get("/hang");
  hang.timeout = milliseconds(200);
  EXPECT_THAT(httpSend(hang), FailedWith(std::string(kHttpTimedOut)));

  // A long request time-out, a short wait: the caller is released by the wait.
  hang.timeout = milliseconds(10000);
  // (The server would answer "late" after five seconds, so success here
  // would mean the wait was not honoured.)
  EXPECT_THAT(httpSendWaiting(hang, milliseconds(100)), FailedWith(std::string(kHttpTimedOut)));
}

TEST(HttpRefusalTest, ANonLoopbackPlainAddressIsNeverContacted) {
  uint64_t before = httpRequestsStarted();
  HttpRequest r;
  r.url = "http://example.invalid/x";
  EXPECT_THAT(httpSend(r), FailedWith(std::string(kHttpInsecure)));
  EXPECT_EQ(httpRequestsStarted(), before);
}

}  // namespace
}  // namespace corvane
