#include "bridge/bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "app/command_router.h"
#include "bridge/bootstrap_script.h"
#include "bridge/shell_hooks.h"
#include "records/app_log.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::bridge {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using corvane::testing::FakeScheduler;

const FrameOrigin kApp{true, "app", "local"};

class RecordingView final : public BridgeWebView {
 public:
  void evaluateScript(const std::string& script) override {
    std::lock_guard lock(mutex_);
    scripts_.push_back(script);
  }
  void startWindowDrag() override { ++drags; }
  std::vector<std::string> scripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return scripts_.size();
  }
  int drags = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> scripts_;
};

// ---- Pure pieces: intake, encodings, queue choice

TEST(BridgeIntake, DropsMessagesWithoutAUsableCallIdOrCommand) {
  for (const char* body : {"", "not json", "null", "[1]", "\"text\"", R"({"cmd":"get_settings"})",
                           R"({"callId":"7","cmd":"get_settings"})", R"({"callId":true,"cmd":"get_settings"})",
                           R"({"callId":null,"cmd":"get_settings"})", R"({"callId":1})", R"({"callId":1,"cmd":5})",
                           R"({"callId":1,"cmd":null})", R"({"callId":1,"cmd":"x"} trailing)"})
    EXPECT_FALSE(parseBridgeMessage(body).has_value()) << body;
}

TEST(BridgeIntake, ReadsCallIdAsSigned64BitDroppingTheFraction) {
  struct Case {
    const char* callId;
    int64_t expected;
  } cases[] = {{"7", 7},
               {"4.9", 4},
               {"-3.7", -3},
               {"-0.5", 0},
               {"1e30", INT64_MAX},
               {"-1e30", INT64_MIN},
               {"18446744073709551615", INT64_MAX},
               {"123456789012345678901234567890", INT64_MAX}};
  for (const auto& c : cases) {
    auto message = parseBridgeMessage(std::string(R"({"callId":)") + c.callId + R"(,"cmd":"x"})");
    ASSERT_TRUE(message.has_value()) << c.callId;
    EXPECT_EQ(message->callId, c.expected) << c.callId;
  }
}

TEST(BridgeIntake, ArgumentsThatAreNotAnObjectBecomeEmpty) {
  for (const char* args : {"[1,2]", "\"s\"", "3", "null"}) {
    auto message = parseBridgeMessage(std::string(R"({"callId":1,"cmd":"c","args":)") + args + "}");
    ASSERT_TRUE(message.has_value()) << args;
    EXPECT_EQ(message->args, Json::object()) << args;
  }
  auto message = parseBridgeMessage(R"({"cmd":"c","args":{"id":"a\u2028"},"callId":2})");
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->cmd, "c");
  EXPECT_EQ(message->args, (Json{{"id", "a\xE2\x80\xA8"}}));
}

TEST(BridgeEncoding, RepliesAndEvents) {
  EXPECT_EQ(replyScript(7, std::string("null")), "window.__cvResolve(7, true, null);");
  EXPECT_EQ(replyScript(-2, std::string("12")), "window.__cvResolve(-2, true, 12);");
  EXPECT_EQ(replyScript(3, fail("invalid count")), R"(window.__cvResolve(3, false, "invalid count");)");
  // Quote, backslash, newline and U+2028 come back as exactly that text.
  EXPECT_EQ(replyScript(4, fail("a\"b\\c\nd\xE2\x80\xA8" "e")),
            R"(window.__cvResolve(4, false, "a\"b\\c\nd\u2028e");)");
  // A success payload keeps U+2029 as data, escaped for the script parser.
  EXPECT_EQ(replyScript(5, std::string("{\"html\":\"x\xE2\x80\xA9y\"}")),
            R"(window.__cvResolve(5, true, {"html":"x\u2029y"});)");
  EXPECT_EQ(replyScript(6, fail("bad \xff byte")), R"(window.__cvResolve(6, false, "");)");
  EXPECT_EQ(replyScript(8, std::string()), "window.__cvResolve(8, true, null);");

  EXPECT_EQ(eventScript("notes:updated", "[1,2]"), R"(window.__cvEmit("notes:updated", [1,2]);)");
  EXPECT_EQ(eventScript("a:\"b", "\"\xE2\x80\xA8\""), R"(window.__cvEmit("a:\"b", "\u2028");)");
}

TEST(BridgeQueueChoice, WritesGoToTheLaneOfTheirNote) {
  auto lane = [](const Json& key) { return std::hash<std::string_view>{}(key.get<std::string>()) % kWriteLaneCount; };
  EXPECT_EQ(chooseQueue("set_note_body", {{"id", "n1"}, {"html", "x"}}),
            (QueueChoice{QueueKind::WriteLane, lane("n1")}));
  EXPECT_EQ(chooseQueue("create_note", {{"name", "Todo"}}), (QueueChoice{QueueKind::WriteLane, lane("Todo")}));
  // id wins over name; a non-text id falls back to name; nothing gives the empty key.
  EXPECT_EQ(chooseQueue("rename_note", {{"id", "n1"}, {"name", "Todo"}}), chooseQueue("delete_note", {{"id", "n1"}}));
  EXPECT_EQ(chooseQueue("append_note", {{"id", 5}, {"name", "Todo"}}), chooseQueue("create_note", {{"name", "Todo"}}));
  EXPECT_EQ(chooseQueue("delete_note", Json::object()), (QueueChoice{QueueKind::WriteLane, lane("")}));

  for (auto cmd : {"run_ai", "import_file", "test_ai_provider", "choose_folder", "deep_search_notes", "get_note_body",
                   "list_notes", "sign_in_google", "sign_in_apple", "sign_in_email", "refresh_account"})
    EXPECT_EQ(chooseQueue(cmd, {{"id", "n1"}}).kind, QueueKind::Build) << cmd;
  for (auto cmd : {"get_settings", "search_notes", "persist_pasted_image", "log_client_event", "unknown"})
    EXPECT_EQ(chooseQueue(cmd, {{"id", "n1"}}).kind, QueueKind::Command) << cmd;
}

TEST(BridgeBootstrap, KeepsItsContract) {
  std::string_view s = kBootstrapScript;
  EXPECT_LT(s.size(), 2500u);
  for (auto piece : {"if (window.__TAURI__) return;", "window.__cvResolve = function (id, ok, payload)",
                     "window.__cvEmit = function (name, payload)", "{ payload: payload }",
                     "window.webkit.messageHandlers.corvane.postMessage({ callId: id, cmd: cmd, args: args || {} })",
                     "reject(String(e))", "console.error(e)"})
    EXPECT_NE(s.find(piece), std::string_view::npos) << piece;
}

// ---- The bridge on a fake scheduler

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    router.add(HandlerGroup::Settings, "count_notes", [this](const Json& args) {
      ++handled;
      lastArgs = args;
      return replyJson(12);
    });
    router.add(HandlerGroup::Notes, "get_note_body",
               [](const Json& args) { return replyJson({{"html", "a\xE2\x80\xA9" "b"}}); });
    router.add(HandlerGroup::Notes, "rename_note",
               [](const Json&) -> CommandResult { return fail("bad \"name\"\\\n\xE2\x80\xA8"); });
    router.add(HandlerGroup::Settings, "log_client_event", [](const Json&) -> CommandResult { return fail("nope"); });
    router.add(HandlerGroup::Settings, "set_grid_count", [](const Json&) { return replyNull(); });
    bridge = Bridge::create(
        router, [this](std::string_view cmd, std::string_view msg) { logged.emplace_back(cmd, msg); }, queues());
    bridge->setWebView(view);
  }
  void TearDown() override { updateShellHooks([](ShellHooks& h) { h.emitEvent = nullptr; }); }

  BridgeQueues queues() {
    BridgeQueues q;
    q.command = scheduler.createQueue("com.corvane.bridge");
    q.build = scheduler.createQueue("com.corvane.ai");
    for (size_t i = 0; i < kWriteLaneCount; ++i) q.writeLanes[i] = scheduler.createQueue("com.corvane.write");
    q.main = main.get();
    return q;
  }
  std::vector<std::string> send(const std::string& body, const FrameOrigin& origin = kApp) {
    size_t before = view->count();
    bridge->receive(body, origin);
    scheduler.runUntilIdle();
    auto all = view->scripts();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  }

  FakeScheduler scheduler;
  std::shared_ptr<TaskQueue> main = scheduler.createQueue("main");
  Router router;
  int handled = 0;
  Json lastArgs;
  std::vector<std::pair<std::string, std::string>> logged;
  std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();
  std::shared_ptr<Bridge> bridge;
};

TEST_F(BridgeTest, AcceptsOnlyTheMainFrameOfAppLocal) {
  const std::string body = R"({"callId":1,"cmd":"count_notes"})";
  EXPECT_THAT(send(body, {false, "app", "local"}), IsEmpty()) << "iframe";
  EXPECT_THAT(send(body, {true, "https", "local"}), IsEmpty());
  EXPECT_THAT(send(body, {true, "app", "localhost"}), IsEmpty());
  EXPECT_THAT(send(body, {true, "", ""}), IsEmpty());
  EXPECT_EQ(handled, 0);
  EXPECT_THAT(logged, IsEmpty());
  EXPECT_THAT(send(body, {true, "APP", "Local"}), ElementsAre("window.__cvResolve(1, true, 12);"));
}

TEST_F(BridgeTest, MalformedMessagesGetNoReplyAndRunNothing) {
  for (const char* body : {R"({"callId":"7","cmd":"count_notes"})", R"({"cmd":"count_notes"})",
                           R"({"callId":7,"cmd":["count_notes"]})", "[]", "{"}) {
    EXPECT_THAT(send(body), IsEmpty()) << body;
  }
  EXPECT_EQ(scheduler.pendingTaskCount(), 0u);
  EXPECT_EQ(handled, 0);
  EXPECT_THAT(logged, IsEmpty());
}

TEST_F(BridgeTest, RunsWithEmptyArgumentsWhenArgsIsNotAnObject) {
  EXPECT_THAT(send(R"({"callId":3,"cmd":"count_notes","args":[1,2]})"),
              ElementsAre("window.__cvResolve(3, true, 12);"));
  EXPECT_EQ(lastArgs, Json::object());
}

TEST_F(BridgeTest, RepliesCarryPayloadsAndFailuresExactly) {
  EXPECT_THAT(send(R"({"callId":4,"cmd":"get_note_body","args":{"id":"n"}})"),
              ElementsAre(R"(window.__cvResolve(4, true, {"html":"a\u2029b"});)"));
  EXPECT_THAT(send(R"({"callId":5,"cmd":"rename_note","args":{"id":"n","name":"x"}})"),
              ElementsAre(R"(window.__cvResolve(5, false, "bad \"name\"\\\n\u2028");)"));
  EXPECT_THAT(send(R"({"callId":6,"cmd":"set_grid_count","args":{"count":9.5}})"),
              ElementsAre(R"(window.__cvResolve(6, false, "invalid count");)"));
  EXPECT_THAT(send(R"({"callId":7,"cmd":"no_such_command"})"),
              ElementsAre(R"(window.__cvResolve(7, false, "unknown command");)"));
  EXPECT_THAT(send(R"({"callId":8,"cmd":"list_hidden"})"),
              ElementsAre(R"(window.__cvResolve(8, false, "unknown command: list_hidden");)"));
}

TEST_F(BridgeTest, FailuresAreLoggedExceptThoseOfLogClientEvent) {
  send(R"({"callId":1,"cmd":"rename_note","args":{"id":"n","name":"x"}})");
  send(R"({"callId":2,"cmd":"set_grid_count","args":{"count":true}})");
  EXPECT_THAT(send(R"({"callId":3,"cmd":"log_client_event","args":{"message":"m"}})"),
              ElementsAre(R"(window.__cvResolve(3, false, "nope");)"));
  EXPECT_THAT(send(R"({"callId":4,"cmd":"log_client_event","args":{"message":""}})"),
              ElementsAre(R"(window.__cvResolve(4, false, "invalid message");)"));
  send(R"({"callId":5,"cmd":"count_notes"})");
  EXPECT_THAT(logged, ElementsAre(Pair("rename_note", "bad \"name\"\\\n\xE2\x80\xA8"),
                                  Pair("set_grid_count", "invalid count")));
}

TEST_F(BridgeTest, WindowDragIsAnsweredAtOnceOnTheMainThread) {
  // No queue runs: the reply is evaluated inside receive.
  bridge->receive(R"({"callId":9,"cmd":"start_window_drag"})", kApp);
  EXPECT_THAT(view->scripts(), ElementsAre("window.__cvResolve(9, true, null);"));
  EXPECT_EQ(view->drags, 1);
  bridge->receive(R"({"callId":10,"cmd":"start_window_drag","args":{"x":1}})", kApp);
  EXPECT_EQ(view->scripts().back(), R"(window.__cvResolve(10, false, "unexpected argument");)");
  EXPECT_EQ(view->drags, 1);
  EXPECT_EQ(scheduler.pendingTaskCount(), 0u);
  EXPECT_EQ(bridge->callsInFlight(), 0u);
}

TEST_F(BridgeTest, EveryAcceptedCallGetsExactlyOneReply) {
  const char* bodies[] = {R"({"callId":%d,"cmd":"count_notes"})", R"({"callId":%d,"cmd":"rename_note"})",
                          R"({"callId":%d,"cmd":"get_note_body","args":{"id":"n"}})",
                          R"({"callId":%d,"cmd":"start_window_drag"})", R"({"callId":%d,"cmd":"zzz"})",
                          R"({"callId":%d,"cmd":"set_grid_count","args":{"count":1}})"};
  for (int id = 0; id < 60; ++id) {
    char body[128];
    std::snprintf(body, sizeof body, bodies[id % 6], id);
    bridge->receive(body, kApp);
  }
  EXPECT_EQ(bridge->callsInFlight(), 50u);
  scheduler.runUntilIdle();
  EXPECT_EQ(bridge->callsInFlight(), 0u);
  std::map<int, int> replies;
  for (const auto& s : view->scripts()) {
    int id = -1;
    ASSERT_EQ(std::sscanf(s.c_str(), "window.__cvResolve(%d,", &id), 1) << s;
    ++replies[id];
  }
  ASSERT_EQ(replies.size(), 60u);
  for (auto [id, n] : replies) EXPECT_EQ(n, 1) << id;
}

TEST_F(BridgeTest, NoReplyOnceTheBridgeIsGone) {
  bridge->receive(R"({"callId":1,"cmd":"count_notes"})", kApp);
  bridge.reset();
  scheduler.runUntilIdle();
  EXPECT_THAT(view->scripts(), IsEmpty());
}

TEST_F(BridgeTest, NoWebViewMeansScriptsAreDropped) {
  bridge->setWebView({});
  send(R"({"callId":1,"cmd":"count_notes"})");
  EXPECT_EQ(handled, 1);
  EXPECT_THAT(view->scripts(), IsEmpty());
  EXPECT_EQ(bridge->callsInFlight(), 0u);
}

TEST_F(BridgeTest, EventsReachThePageThroughTheShellHook) {
  emitEvent("notes:updated", "[]");  // no hook yet: dropped
  bridge->installEventHook();
  emitEvent("notes:updated", "{\"n\":\"\xE2\x80\xA8\"}");
  EXPECT_THAT(view->scripts(), IsEmpty()) << "off the main thread the script waits for it";
  scheduler.runUntilIdle();
  main->post([] { emitEvent("stat:milestone", "null"); });
  scheduler.runUntilIdle();
  EXPECT_THAT(view->scripts(), ElementsAre(R"(window.__cvEmit("notes:updated", {"n":"\u2028"});)",
                                           R"(window.__cvEmit("stat:milestone", null);)"));
  bridge.reset();
  emitEvent("notes:updated", "[]");
  scheduler.runUntilIdle();
  EXPECT_EQ(view->scripts().size(), 2u);
}

// ---- Real queues: lanes serialise one note's writes and let others run

class RealQueuesTest : public ::testing::Test {
 protected:
  void SetUp() override { mainQueue.bindToCurrentThread(); }
  // Serves the main queue until `n` scripts arrived (or a generous deadline passed).
  void pumpUntil(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (view->count() < n && std::chrono::steady_clock::now() < deadline) {
      mainQueue.runReady();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::shared_ptr<Bridge> makeBridge() {
    auto q = BridgeQueues::standard();
    q.main = &mainQueue;
    auto b = Bridge::create(router, nullptr, std::move(q));
    b->setWebView(view);
    return b;
  }

  MainQueue mainQueue{"test.main"};
  Router router;
  std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();
};

TEST_F(RealQueuesTest, WritesToOneNoteCompleteInPostOrder) {
  std::mutex m;
  std::vector<int> order;
  router.add(HandlerGroup::Notes, "set_note_body", [&](const Json& args) {
    int seq = std::stoi(args["html"].get<std::string>());
    if (seq == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::lock_guard lock(m);
    order.push_back(seq);
    return replyNull();
  });
  auto bridge = makeBridge();
  for (int i = 0; i < 20; ++i)
    bridge->receive(R"({"callId":)" + std::to_string(i) + R"(,"cmd":"set_note_body","args":{"id":"same","html":")" +
                        std::to_string(i) + "\"}}",
                    kApp);
  pumpUntil(20);
  ASSERT_EQ(order.size(), 20u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST_F(RealQueuesTest, WritesToNotesInDifferentLanesOverlap) {
  std::string first = "note-a", second;
  for (int i = 0; second.empty(); ++i) {
    std::string candidate = "note-" + std::to_string(i);
    if (chooseQueue("set_note_body", {{"id", candidate}}) != chooseQueue("set_note_body", {{"id", first}}))
      second = candidate;
  }
  std::mutex m;
  std::condition_variable cv;
  bool secondStarted = false;
  bool overlapped = false;
  router.add(HandlerGroup::Notes, "set_note_body", [&](const Json& args) {
    std::unique_lock lock(m);
    if (args["id"] == first) {
      // Holds its lane until the other note's write has started in its own lane.
      overlapped = cv.wait_for(lock, std::chrono::seconds(10), [&] { return secondStarted; });
    } else {
      secondStarted = true;
      cv.notify_all();
    }
    return replyNull();
  });
  auto bridge = makeBridge();
  bridge->receive(R"({"callId":1,"cmd":"set_note_body","args":{"id":")" + first + R"(","html":"x"}})", kApp);
  bridge->receive(R"({"callId":2,"cmd":"set_note_body","args":{"id":")" + second + R"(","html":"x"}})", kApp);
  pumpUntil(2);
  EXPECT_TRUE(overlapped);
  EXPECT_EQ(view->count(), 2u);
}

// ---- Through the application's router and log

TEST(BridgeWithApplication, FailedCommandsAreInTheApplicationLog) {
  corvane::testing::TempHome home;
  FakeScheduler scheduler;
  auto main = scheduler.createQueue("main");
  records::AppLog::setSharedForTesting(
      std::make_shared<records::AppLog>(scheduler, scheduler.createQueue("com.corvane.applog")));
  BridgeQueues q;
  q.command = scheduler.createQueue("com.corvane.bridge");
  q.build = scheduler.createQueue("com.corvane.ai");
  for (auto& lane : q.writeLanes) lane = scheduler.createQueue("com.corvane.write");
  q.main = main.get();
  auto bridge = Bridge::create(app::commandRouter(), records::logCommandFailure, std::move(q));
  auto view = std::make_shared<RecordingView>();
  bridge->setWebView(view);

  bridge->receive(R"({"callId":7,"cmd":"set_grid_count","args":{"count":9.5}})", kApp);
  bridge->receive(R"({"callId":8,"cmd":"log_client_event","args":{"message":""}})", kApp);
  scheduler.runUntilIdle();
  records::flushAppLog();
  EXPECT_THAT(view->scripts(), ElementsAre(R"(window.__cvResolve(7, false, "invalid count");)",
                                           R"(window.__cvResolve(8, false, "invalid message");)"));
  std::ifstream in(home.path() / ".local/share/Corvane/logs" / records::dayFileName(scheduler.now()));
  std::vector<Json> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(parseJson(line).value());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["level"], "error");
  EXPECT_EQ(lines[0]["activity"], "set_grid_count");
  EXPECT_EQ(lines[0]["message"], "invalid count");
  bridge.reset();
  records::AppLog::setSharedForTesting(nullptr);
}

}  // namespace
}  // namespace corvane::bridge
