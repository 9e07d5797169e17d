#pragma once
// The two platform steps the bridge needs from the page's web view, so that
// everything else runs (and is tested) without one. The desktop shell
// implements BridgeWebView over its web view; the headless runner writes the
// scripts to standard output.
#include <string>

namespace corvane::bridge {

// Where a script message came from, as the web view reports it.
struct FrameOrigin {
  bool isMainFrame = false;
  std::string protocol;  // "app"
  std::string host;      // "local"
};

class BridgeWebView {
 public:
  virtual ~BridgeWebView() = default;
  // Runs a script in the page; completion and result are ignored. Called on
  // the main thread only.
  virtual void evaluateScript(const std::string& script) = 0;
  // Starts a window drag from the application's current left-mouse-down event,
  // else from the main window's last one if it is at most 0.35 s old; does
  // nothing when there is none or the web view has no window. Main thread only.
  virtual void startWindowDrag() {}
};

// Incoming direction: the web view calls Bridge::receive(body, origin) on the
// main thread for every message posted to the handler "corvane".

}  // namespace corvane::bridge
