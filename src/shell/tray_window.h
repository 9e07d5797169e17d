#pragma once
// The GTK side of the tray window: an undecorated GtkWindow whose content is
// a WebKitGTK view of app://local/index.html, with the bridge's script
// message handler, the app scheme and the navigation and dialog rules.
// Toolkit types stay inside the .cpp so this header is safe anywhere.
#include <functional>
#include <memory>
#include <string>

#include "bridge/bridge.h"
#include "bridge/web_view.h"
#include "media/web_scheme_handler.h"
#include "shell/window_system.h"

namespace corvane::shell {

struct TrayWindowActions {
  std::function<void()> openSettings;  // Ctrl+,
  std::function<void()> newNote;       // Ctrl+N
  std::function<void()> hide;          // Ctrl+W, Escape the page left alone, close
  std::function<void()> quit;          // Ctrl+Q
  std::function<void(bool leftButtonDown)> moved;
  std::function<void()> resized;
  std::function<void()> screenChanged;
  std::function<void()> firstLoad;     // the page finished loading once
};

class TrayWindow : public WindowSystem, public bridge::BridgeWebView {
 public:
  // Creates the window hidden with `frame`, the web view and the scheme, and
  // starts loading the page. `webRoot` empty: no scheme handler (nothing loads).
  static std::shared_ptr<TrayWindow> create(const Rect& frame, std::shared_ptr<bridge::Bridge> bridge,
                                            const std::string& webRoot, TrayWindowActions actions);
  ~TrayWindow() override;

  // WindowSystem
  std::vector<Rect> visibleFrames() override;
  std::optional<size_t> windowScreen() override;
  Rect frame() override;
  void setFrame(const Rect& frame, double seconds, std::function<void()> done) override;
  void setMinimumSize(const Size& size) override;
  bool isVisible() override;
  void orderFront() override;
  void orderOut() override;
  std::optional<ForeignApp> frontmostApp(bool& ownIsFront) override;
  bool isRunning(const ForeignApp& app) override;
  void activate(const ForeignApp& app) override;
  void evaluateScript(const std::string& script) override;

  // BridgeWebView
  void startWindowDrag() override;

  // The X window id of the tray (0 before it is realised), for tests and logs.
  unsigned long xid();
  void* nativeWindow();  // the GtkWindow*, for panels

  struct Impl;

 private:
  TrayWindow() = default;
  std::unique_ptr<Impl> impl_;
};

// Opens an http(s) address in the default browser.
void openInBrowser(const std::string& url);

// The two open panels as the shell hooks want them.
std::optional<std::string> chooseProjectFolderPanel(void* parent);
std::optional<std::string> chooseImportFilePanel(void* parent);

// The X11 session facts behind the permission poll: XTEST and XInput 2.
bool x11InputAvailable();

}  // namespace corvane::shell
