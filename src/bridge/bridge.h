#pragma once
// The command bridge between the page and the native side. A script message
// from the page ({callId, cmd, args}) is checked on the main thread, handed to
// a work queue (the command queue, the build queue, or the write lane of the
// note it changes), routed (validation first) and answered with exactly one
// reply script; native code pushes events through emitEvent. Replies and
// events are evaluated in the page on the main thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/command.h"
#include "bridge/web_view.h"
#include "core/json.h"
#include "core/queue.h"

namespace corvane::bridge {

inline constexpr size_t kWriteLaneCount = 4;

// A message that passed intake: a usable callId and cmd, args an object.
struct BridgeMessage {
  int64_t callId = 0;
  std::string cmd;
  Json args = Json::object();
};

// Intake of a message body (JSON text): nullopt when it must be dropped
// silently (not JSON, not an object, callId missing or not a number, cmd
// missing or not a string). callId is read as a signed 64-bit integer with any
// fraction dropped (saturating); args that are missing or not an object become {}.
std::optional<BridgeMessage> parseBridgeMessage(std::string_view body);

// The main frame of app://local (protocol and host compared case-insensitively).
bool isTrustedOrigin(const FrameOrigin& origin);

// window.__cvResolve(<id>, true, <payload>); or (<id>, false, "<message>");
// with U+2028/U+2029 escaped in the payload part.
std::string replyScript(int64_t callId, const CommandResult& outcome);
// window.__cvEmit("<name>", <payload>);
std::string eventScript(std::string_view name, std::string_view payloadJson);

enum class QueueKind { Command, Build, WriteLane };
struct QueueChoice {
  QueueKind kind;
  size_t lane = 0;  // for WriteLane
  bool operator==(const QueueChoice&) const = default;
};
// Write commands go to the lane of args.id (else args.name, else ""); long
// commands to the build queue; the rest to the command queue.
QueueChoice chooseQueue(std::string_view cmd, const Json& args);

// The queues a bridge runs commands on, plus the main thread's queue.
struct BridgeQueues {
  std::shared_ptr<TaskQueue> command;  // serial, "com.corvane.bridge"
  std::shared_ptr<TaskQueue> build;    // concurrent, "com.corvane.ai"
  std::array<std::shared_ptr<TaskQueue>, kWriteLaneCount> writeLanes;  // serial, "com.corvane.write.N"
  TaskQueue* main = nullptr;  // script evaluation and start_window_drag; must outlive the bridge

  // Real queues with the labels above, and mainQueue().
  static BridgeQueues standard();
};

// Logs a failed command (command name as activity, failure as message); the
// composition root passes records::logCommandFailure (the application log
// sits above the bridge).
using CommandFailureLog = std::function<void(std::string_view command, std::string_view message)>;

class Bridge : public std::enable_shared_from_this<Bridge> {
 public:
  // The router must outlive every queued command (the process-wide router does).
  static std::shared_ptr<Bridge> create(const Router& router, CommandFailureLog logFailure,
                                        BridgeQueues queues = BridgeQueues::standard());
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // The page's web view, held weakly; without one, scripts are dropped.
  void setWebView(std::weak_ptr<BridgeWebView> webView);

  // Script-message entry point (main thread): body as JSON text, with the
  // origin of the sending frame.
  void receive(std::string_view body, const FrameOrigin& origin);

  // Evaluates a script in the page: at once on the main thread, else posted
  // there (dropped if the bridge or its web view is gone by then).
  void evaluate(std::string script);
  // Pushes an event to the page.
  void emit(std::string_view name, std::string_view payloadJson);
  // A function for ShellHooks::emitEvent that reaches this bridge weakly.
  std::function<void(std::string_view, std::string_view)> eventHook();
  // Installs eventHook() as the process-wide ShellHooks::emitEvent.
  void installEventHook();

  // Calls accepted whose reply has not been handed to the page yet.
  size_t callsInFlight() const { return inFlight_.load(); }

  TaskQueue& queueFor(const QueueChoice& choice) const;

 private:
  Bridge(const Router& router, CommandFailureLog logFailure, BridgeQueues queues);
  void evaluateOnMain(const std::string& script);
  void windowDrag(int64_t callId, const Json& args);

  const Router& router_;
  std::shared_ptr<const CommandFailureLog> logFailure_;
  BridgeQueues queues_;
  std::weak_ptr<BridgeWebView> webView_;  // main thread only
  std::atomic<size_t> inFlight_{0};
};

}  // namespace corvane::bridge
