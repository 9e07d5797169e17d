// Fuzzes what the page can send: message intake, the validator on every
// schema, the bridge's reply path, and the JSON reader and size counter the
// validator relies on. Any broken invariant aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/validator.h"
#include "core/json.h"
#include "core/text.h"

namespace {

using namespace corvane;
using namespace corvane::bridge;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Runs every task at once, on the calling thread.
class InlineQueue final : public TaskQueue {
 public:
  void post(Task task) override {
    ++depth_;
    task();
    --depth_;
  }
  TaskHandle postDelayed(Duration, Task) override { return TaskHandle(); }
  bool runsTasksInCurrentSequence() const override { return true; }
  const std::string& label() const override { return label_; }

 private:
  int depth_ = 0;
  std::string label_ = "inline";
};

class Recorder final : public BridgeWebView {
 public:
  void evaluateScript(const std::string& script) override { scripts.push_back(script); }
  std::vector<std::string> scripts;
};

const Router& router() {
  static const Router r = [] {
    Router x;
    // Echo the (validated) arguments back, and fail with them, to push
    // arbitrary text through both reply encodings.
    for (auto name : IPCValidator::commandNames()) {
      x.add(HandlerGroup::Notes, std::string(name), [](const Json& args) -> CommandResult {
        if (args.size() % 2) return fail(dumpCompact(args));
        return replyJson(args);
      });
    }
    return x;
  }();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  // The reader and the size counter agree with the writer.
  if (auto parsed = parseJson(text)) {
    check(compactJsonSize(*parsed) == dumpCompact(*parsed).size(), "compact size");
    // The first byte picks a schema; the document is its arguments.
    const auto& names = IPCValidator::commandNames();
    std::string_view command = size ? names[data[0] % names.size()] : names[0];
    auto verdict = IPCValidator::validate(command, *parsed);
    if (!verdict) {
      const std::string& m = verdict.error();
      check(m == "unknown command" || m == "unexpected argument" || m == "missing argument" ||
                m == "arguments too large" || m.rfind("invalid ", 0) == 0,
            "failure message");
    }
  }

  // The bridge: exactly one reply for an accepted call, none otherwise.
  BridgeQueues queues;
  auto q = std::make_shared<InlineQueue>();
  queues.command = queues.build = q;
  for (auto& lane : queues.writeLanes) lane = q;
  queues.main = q.get();
  auto recorder = std::make_shared<Recorder>();
  auto bridge = Bridge::create(router(), nullptr, queues);
  bridge->setWebView(recorder);

  auto message = parseBridgeMessage(text);
  bridge->receive(text, FrameOrigin{true, "app", "local"});
  check(recorder->scripts.size() == (message ? 1u : 0u), "one reply per accepted call");
  if (message) {
    const std::string& script = recorder->scripts[0];
    std::string prefix = "window.__cvResolve(" + std::to_string(message->callId) + ", ";
    check(script.rfind(prefix, 0) == 0, "reply prefix");
    check(script.size() >= 2 && script.compare(script.size() - 2, 2, ");") == 0, "reply suffix");
    check(script.find("\xE2\x80\xA8") == std::string::npos && script.find("\xE2\x80\xA9") == std::string::npos,
          "line separators escaped");
    check(isValidUtf8(script), "reply is UTF-8");
  }
  // Other frames never get an answer.
  bridge->receive(text, FrameOrigin{false, "app", "local"});
  check(recorder->scripts.size() == (message ? 1u : 0u), "iframe ignored");
  return 0;
}
