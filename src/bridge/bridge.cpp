#include "bridge/bridge.h"

#include <cmath>
#include <limits>

#include "bridge/shell_hooks.h"
#include "bridge/validator.h"
#include "core/text.h"

namespace corvane::bridge {

namespace {

int64_t toCallId(const Json& v) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  switch (v.type()) {
    case Json::value_t::number_integer: return v.get<int64_t>();
    case Json::value_t::number_unsigned: {
      uint64_t u = v.get<uint64_t>();
      return u > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(u);
    }
    default: {
      double d = std::trunc(v.get<double>());
      if (!(d == d)) return 0;
      if (d >= 9223372036854775807.0) return kMax;
      if (d <= -9223372036854775808.0) return kMin;
      return static_cast<int64_t>(d);
    }
  }
}

// A payload that is not JSON text at all would break the script (and leave the
// page's promise pending); it stands for "nothing".
std::string_view payloadOrNull(std::string_view payload) { return payload.empty() ? "null" : payload; }

bool isWriteCommand(std::string_view cmd) {
  return cmd == "append_note" || cmd == "set_note_body" || cmd == "create_note" || cmd == "rename_note" ||
         cmd == "delete_note";
}

bool isLongCommand(std::string_view cmd) {
  static constexpr std::string_view kLong[] = {
      "run_ai",     "import_file",    "test_ai_provider", "choose_folder", "deep_search_notes", "get_note_body",
      "list_notes", "sign_in_google", "sign_in_apple",    "sign_in_email", "refresh_account"};
  for (auto name : kLong)
    if (cmd == name) return true;
  return false;
}

}  // namespace

std::optional<BridgeMessage> parseBridgeMessage(std::string_view body) {
  auto parsed = parseJson(body);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  Json& object = *parsed;
  auto callId = object.find("callId");
  auto cmd = object.find("cmd");
  if (callId == object.end() || !callId->is_number()) return std::nullopt;
  if (cmd == object.end() || !cmd->is_string()) return std::nullopt;
  BridgeMessage message;
  message.callId = toCallId(*callId);
  message.cmd = std::move(cmd->get_ref<std::string&>());
  auto args = object.find("args");
  if (args != object.end() && args->is_object()) message.args = std::move(*args);
  return message;
}

bool isTrustedOrigin(const FrameOrigin& origin) {
  return origin.isMainFrame && equalsIgnoreCaseAscii(origin.protocol, "app") &&
         equalsIgnoreCaseAscii(origin.host, "local");
}

std::string replyScript(int64_t callId, const CommandResult& outcome) {
  std::string payload = outcome.has_value() ? escapeLineSeparators(std::string(payloadOrNull(*outcome)))
                                            : escapeLineSeparators(jsonStringLiteral(outcome.error()));
  std::string script;
  script.reserve(payload.size() + 48);
  script += "window.__cvResolve(";
  script += std::to_string(callId);
  script += outcome.has_value() ? ", true, " : ", false, ";
  script += payload;
  script += ");";
  return script;
}

std::string eventScript(std::string_view name, std::string_view payloadJson) {
  std::string payload = escapeLineSeparators(std::string(payloadOrNull(payloadJson)));
  std::string script;
  script.reserve(payload.size() + name.size() + 32);
  script += "window.__cvEmit(";
  script += jsonStringLiteral(name);
  script += ", ";
  script += payload;
  script += ");";
  return script;
}

QueueChoice chooseQueue(std::string_view cmd, const Json& args) {
  if (isWriteCommand(cmd)) {
    std::string_view key;
    if (const Json* id = member(args, "id"); id && id->is_string()) key = id->get_ref<const std::string&>();
    else if (const Json* name = member(args, "name"); name && name->is_string())
      key = name->get_ref<const std::string&>();
    // Any hash that is stable within the run keeps one note's writes in one lane.
    return {QueueKind::WriteLane, std::hash<std::string_view>{}(key) % kWriteLaneCount};
  }
  if (isLongCommand(cmd)) return {QueueKind::Build};
  return {QueueKind::Command};
}

BridgeQueues BridgeQueues::standard() {
  BridgeQueues q;
  q.command = std::make_shared<SerialQueue>("com.corvane.bridge");
  q.build = std::make_shared<ConcurrentQueue>("com.corvane.ai");
  for (size_t i = 0; i < kWriteLaneCount; ++i)
    q.writeLanes[i] = std::make_shared<SerialQueue>("com.corvane.write." + std::to_string(i));
  q.main = &mainQueue();
  return q;
}

std::shared_ptr<Bridge> Bridge::create(const Router& router, CommandFailureLog logFailure, BridgeQueues queues) {
  return std::shared_ptr<Bridge>(new Bridge(router, std::move(logFailure), std::move(queues)));
}

Bridge::Bridge(const Router& router, CommandFailureLog logFailure, BridgeQueues queues)
    : router_(router),
      logFailure_(std::make_shared<const CommandFailureLog>(std::move(logFailure))),
      queues_(std::move(queues)) {
  if (!queues_.main) queues_.main = &mainQueue();
}

Bridge::~Bridge() = default;

void Bridge::setWebView(std::weak_ptr<BridgeWebView> webView) { webView_ = std::move(webView); }

TaskQueue& Bridge::queueFor(const QueueChoice& choice) const {
  switch (choice.kind) {
    case QueueKind::WriteLane: return *queues_.writeLanes[choice.lane % kWriteLaneCount];
    case QueueKind::Build: return *queues_.build;
    case QueueKind::Command: break;
  }
  return *queues_.command;
}

void Bridge::receive(std::string_view body, const FrameOrigin& origin) {
  if (!isTrustedOrigin(origin)) return;
  auto parsed = parseBridgeMessage(body);
  if (!parsed) return;
  BridgeMessage message = std::move(*parsed);

  if (message.cmd == "start_window_drag") {
    windowDrag(message.callId, message.args);
    return;
  }

  TaskQueue& queue = queueFor(chooseQueue(message.cmd, message.args));
  ++inFlight_;
  // The task holds the bridge weakly: the command runs regardless, the reply
  // only reaches a bridge that still exists (checked on the main thread, so the
  // bridge is never released on one of its own queues).
  queue.post([weak = weak_from_this(), router = &router_, log = logFailure_, main = queues_.main,
              message = std::move(message)]() mutable {
    CommandResult outcome = router->route(message.cmd, message.args);
    if (!outcome.has_value() && message.cmd != "log_client_event" && *log) (*log)(message.cmd, outcome.error());
    std::string script = replyScript(message.callId, outcome);
    // Free the arguments (possibly megabytes of markup) before the hop.
    message.args = Json();
    main->post([weak = std::move(weak), script = std::move(script)] {
      if (auto self = weak.lock()) {
        --self->inFlight_;
        self->evaluateOnMain(script);
      }
    });
  });
}

void Bridge::windowDrag(int64_t callId, const Json& args) {
  auto valid = IPCValidator::validate("start_window_drag", args);
  if (!valid) {
    evaluateOnMain(replyScript(callId, fail(valid.error())));
    return;
  }
  if (auto view = webView_.lock()) view->startWindowDrag();
  evaluateOnMain(replyScript(callId, replyNull()));
}

void Bridge::evaluateOnMain(const std::string& script) {
  if (auto view = webView_.lock()) view->evaluateScript(script);
}

void Bridge::evaluate(std::string script) {
  if (queues_.main->runsTasksInCurrentSequence()) {
    evaluateOnMain(script);
    return;
  }
  queues_.main->post([weak = weak_from_this(), script = std::move(script)] {
    if (auto self = weak.lock()) self->evaluateOnMain(script);
  });
}

void Bridge::emit(std::string_view name, std::string_view payloadJson) { evaluate(eventScript(name, payloadJson)); }

std::function<void(std::string_view, std::string_view)> Bridge::eventHook() {
  return [weak = weak_from_this()](std::string_view name, std::string_view payload) {
    if (auto self = weak.lock()) self->emit(name, payload);
  };
}

void Bridge::installEventHook() {
  auto hook = eventHook();
  updateShellHooks([&](ShellHooks& hooks) { hooks.emitEvent = hook; });
}

}  // namespace corvane::bridge
