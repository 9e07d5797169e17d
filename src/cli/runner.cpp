#include "cli/runner.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "account/account_service.h"
#include "account/commands.h"
#include "app/command_router.h"
#include "app/lifecycle.h"
#include "bridge/bridge.h"
#include "bridge/shell_hooks.h"
#include "bridge/validator.h"
#include "core/json.h"
#include "core/queue.h"
#include "platform/confirmation_dialog.h"
#include "platform/linux/notify/libnotify_notifier.h"
#include "platform/user_notifier.h"
#include "records/app_log.h"

namespace corvane::cli {

namespace {

std::optional<std::string> pathFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

// Writes whole lines; the lock keeps two scripts from ever interleaving.
class StdoutWebView final : public bridge::BridgeWebView {
 public:
  explicit StdoutWebView(std::function<void()> afterWrite) : afterWrite_(std::move(afterWrite)) {}
  void evaluateScript(const std::string& script) override {
    {
      std::lock_guard lock(mutex_);
      std::fwrite(script.data(), 1, script.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    if (afterWrite_) afterWrite_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> afterWrite_;
};

}  // namespace

void installCliShellHooks() {
  app::installProcessHooks();
  bridge::ShellHooks hooks;
  hooks.chooseProjectFolder = [] { return pathFromEnvironment("CORVANE_CHOOSE_FOLDER"); };
  hooks.chooseImportFile = [] { return pathFromEnvironment("CORVANE_CHOOSE_FILE"); };
  // Sign-in needs no sheet here (the browser does the asking); the terminal
  // stands in for the window, and statuses go to stderr.
  static int terminalWindow = 0;
  hooks.panelHost = [] { return static_cast<void*>(&terminalWindow); };
  account::setStatusPresenter([](std::string_view text) {
    std::fprintf(stderr, "status: %.*s\n", static_cast<int>(text.size()), text.data());
  });
  bridge::installShellHooks(std::move(hooks));
  // The AI tool approval answers from CORVANE_APPROVE_AI ("allow"; anything
  // else cancels); notices go to a notification server when one answers.
  platform::installConfirmationDialog(std::make_shared<platform::EnvironmentConfirmation>("CORVANE_APPROVE_AI"));
  platform::installUserNotifier(platform::makeLibnotifyNotifier());
}

int runOneCommand(const std::string& command, const std::optional<std::string>& argsJson) {
  Json args = Json::object();
  if (argsJson) {
    auto parsed = parseJson(*argsJson);
    if (!parsed) {
      std::fprintf(stderr, "corvane-cli: ARGS_JSON is not valid JSON: %s\n", parsed.error().c_str());
      return 2;
    }
    if (!parsed->is_object()) {
      std::fprintf(stderr, "corvane-cli: ARGS_JSON must be a JSON object, e.g. '{\"id\":\"…\"}'\n");
      return 2;
    }
    args = std::move(*parsed);
  }

  // One command answers from the store on first use, like before the cache
  // existed: starting the cache's background listing and indexing here would
  // run work (and Notes scripts) that the command never needed.

  // The command runs where the bridge would run it while this thread serves
  // the main queue, so handlers that wait for the main thread work as in the app.
  auto queues = bridge::BridgeQueues::standard();
  TaskQueue& queue = *[&]() -> std::shared_ptr<TaskQueue>& {
    auto choice = bridge::chooseQueue(command, args);
    if (choice.kind == bridge::QueueKind::WriteLane) return queues.writeLanes[choice.lane];
    if (choice.kind == bridge::QueueKind::Build) return queues.build;
    return queues.command;
  }();
  bridge::CommandResult outcome = fail("not run");
  queue.post([&] {
    if (command == "start_window_drag") {
      // The bridge answers this one itself; without a window there is nothing to drag.
      auto valid = bridge::IPCValidator::validate(command, args);
      outcome = valid ? bridge::replyNull() : bridge::CommandResult(fail(valid.error()));
    } else {
      outcome = app::commandRouter().route(command, args);
    }
    mainQueue().post([] { mainQueue().quit(); });
  });
  mainQueue().run();
  app::finishPendingWork();
  // Work the handler posted to the main thread runs before the process ends.
  while (mainQueue().runReady() == Duration(0)) {
  }
  records::flushAppLog();

  if (!outcome.has_value()) {
    std::fprintf(stderr, "%s\n", outcome.error().c_str());
    return 1;
  }
  std::fwrite(outcome->data(), 1, outcome->size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}

int runStdioBridge() {
  // Start-up work: pruning old log day files, hardening the data directory,
  // starting the note cache, checking media against its backup, the account,
  // log upload and cloud sync.
  records::startLogMaintenance();
  app::startBackgroundServices();
  auto bridge = bridge::Bridge::create(app::commandRouter(), records::logCommandFailure);
  bool endOfInput = false;  // main thread only
  auto quitWhenDone = [&] {
    if (endOfInput && bridge->callsInFlight() == 0) mainQueue().quit();
  };
  auto view = std::make_shared<StdoutWebView>(quitWhenDone);
  bridge->setWebView(view);
  bridge->installEventHook();

  const bridge::FrameOrigin origin{true, "app", "local"};
  std::thread reader([&] {
    std::string line;
    while (std::getline(std::cin, line)) {
      // {"openURL":"…"}: a URL open event, as the desktop shell delivers it.
      if (auto parsed = parseJson(line); parsed && parsed->is_object() && parsed->size() == 1) {
        if (const Json* url = member(*parsed, "openURL"); url && url->is_string()) {
          mainQueue().post([url = url->get<std::string>()] { account::handleOpenURL(url); });
          continue;
        }
      }
      mainQueue().post([&bridge, &origin, line = std::move(line)] { bridge->receive(line, origin); });
      line.clear();
    }
    mainQueue().post([&] {
      endOfInput = true;
      quitWhenDone();
    });
  });
  mainQueue().run();
  reader.join();
  // Counters queued by the last commands are written now; their milestone
  // events land on the main queue and are printed by the drain below.
  app::finishPendingWork();
  while (mainQueue().runReady() == Duration(0)) {
  }
  records::flushAppLog();
  bridge::updateShellHooks([](bridge::ShellHooks& hooks) { hooks.emitEvent = nullptr; });
  return 0;
}

}  // namespace corvane::cli
