#include "shell/desktop_app.h"

#include <X11/Xlib.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/command_router.h"
#include "app/lifecycle.h"
#include "bridge/bridge.h"
#include "bridge/shell_hooks.h"
#include "insights/stats.h"
#include "media/web_scheme_handler.h"
#include "notes/script_runner.h"
#include "notes/store_cache.h"
#include "platform/confirmation_dialog.h"
#include "platform/user_defaults.h"
#include "records/app_log.h"
#include "records/settings.h"
#include "shell/approval_dialog.h"
#include "shell/cursor_hud_gtk.h"
#include "shell/first_run.h"
#include "shell/launch.h"
#include "shell/permission_poll.h"
#include "shell/seams.h"
#include "shell/system_integration.h"
#include "shell/status_item.h"
#include "shell/status_panel.h"
#include "shell/tray_window.h"
#include "shell/window_controller.h"

#ifndef CORVANE_VERSION_STRING
#define CORVANE_VERSION_STRING "?"
#endif

namespace corvane::shell {
namespace {

using records::appLog;
using records::LogLevel;

constexpr int kReplaceTimeoutMs = 2000;

constexpr const char* kUsage =
    "usage: corvane [--toggle | --new-note | --settings | corvane://auth/...]\n"
    "  (no argument)  start the tray; a copy already running is asked to quit first\n"
    "  --toggle       show or hide the tray of the running copy\n"
    "  --new-note     show the tray and start a new note\n"
    "  --settings     show the tray's settings\n"
    "The headless command runner is corvane-cli.\n";

// ---- the main queue inside the GLib loop ----

std::atomic<bool> gDrainScheduled{false};
guint gDrainTimer = 0;

gboolean drainMainQueue(gpointer) {
  gDrainScheduled.store(false);
  if (gDrainTimer) {
    g_source_remove(gDrainTimer);
    gDrainTimer = 0;
  }
  Duration next = mainQueue().runReady();
  if (next >= Duration(0)) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next).count() + 1;
    gDrainTimer = g_timeout_add(static_cast<guint>(ms), [](gpointer) -> gboolean {
      gDrainTimer = 0;
      drainMainQueue(nullptr);
      return G_SOURCE_REMOVE;
    }, nullptr);
  }
  return G_SOURCE_REMOVE;
}

void wakeMainQueue() {
  if (!gDrainScheduled.exchange(true)) g_idle_add_full(G_PRIORITY_DEFAULT, drainMainQueue, nullptr, nullptr);
}

// ---- the application delegate ----

struct Delegate {
  std::shared_ptr<bridge::Bridge> bridge;
  std::shared_ptr<TrayWindow> tray;
  std::shared_ptr<WindowController> window;
  std::unique_ptr<StatusItem> status;
  std::shared_ptr<PermissionPoll> permissions;
  std::unique_ptr<ControlServer> control;
  guint controlWatch = 0;
  TaskHandle permNeededCheck;
  bool mouseMonitoringStarted = true;
  bool quitting = false;
  std::chrono::steady_clock::time_point launchedAt;
};

Delegate* gDelegate = nullptr;

void quitApplication() {
  if (!gDelegate || gDelegate->quitting) return;
  gDelegate->quitting = true;
  gtk_main_quit();
}

void showWindow() {
  if (gDelegate && gDelegate->window) gDelegate->window->show();
}

void newNote() {
  showWindow();
  bridge::emitEvent("menu:new-note", "null");
}

void openSettings() {
  if (auto hook = bridge::shellHooks().openSettings) hook();
}

void toggleWindow() {
  if (gDelegate && gDelegate->window) gDelegate->window->toggle();
}

void openUrl(const std::string& url) {
  if (!isAuthUrl(url)) {
    appLog(LogLevel::Info, "app", "ignored URL that is not corvane://auth");
    return;
  }
  if (seams().handleSignInUrl && seams().handleSignInUrl(url)) return;
  if (auto link = emailSignInLink(url)) {
    appLog(LogLevel::Info, "account", "email sign-in link received; account sign-in is not available yet");
    showWindow();
    return;
  }
  appLog(LogLevel::Info, "app", "sign-in URL not claimed");
}

void perform(const LaunchRequest& req) {
  switch (req.action) {
    case LaunchAction::Toggle: toggleWindow(); break;
    case LaunchAction::NewNote: newNote(); break;
    case LaunchAction::Settings: openSettings(); break;
    case LaunchAction::OpenUrl: openUrl(req.url); break;
    case LaunchAction::Run:
    case LaunchAction::Help: break;
  }
}

// Everything queued is written before this copy goes away.
void flushEverything() {
  static bool flushed = false;
  if (flushed) return;
  flushed = true;
  if (gDelegate && gDelegate->window) gDelegate->window->endVisibleSession();
  if (seams().pushCloudSync) seams().pushCloudSync();
  // Grabs released and clips already taken written before the note cache stops.
  if (seams().stopInputHook) seams().stopInputHook();
  app::finishPendingWork();
  mainQueue().runReady();
  records::flushAppLog();
}

gboolean onControl(GIOChannel*, GIOCondition, gpointer) {
  if (!gDelegate || !gDelegate->control) return G_SOURCE_REMOVE;
  auto got = gDelegate->control->acceptOne();
  if (!got) return G_SOURCE_CONTINUE;
  auto [connection, line] = *got;
  auto req = parseRequestLine(line);
  if (!req) {
    ControlServer::answer(connection, "unknown request");
    return G_SOURCE_CONTINUE;
  }
  if (req->action != LaunchAction::Run) {
    ControlServer::answer(connection, "ok");
    perform(*req);
    return G_SOURCE_CONTINUE;
  }
  // A newer launch replaces this copy: stop listening first so it can bind,
  // write everything, then tell it we are done.
  appLog(LogLevel::Info, "app", "replaced by a newer launch");
  gDelegate->controlWatch = 0;
  gDelegate->control.reset();
  flushEverything();
  ControlServer::answer(connection, "ok");
  gDelegate->quitting = true;
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

// A plain launch asks the running copy to quit and kills it after 2 s; any
// other launch is handed over. Returns true when this process is done.
bool handOver(const LaunchRequest& req, const std::filesystem::path& socket) {
  int pid = 0;
  auto reply = sendToRunningCopy(socket, requestLine(req), kReplaceTimeoutMs, &pid);
  if (req.action != LaunchAction::Run) return reply.has_value();
  if (reply) return false;
  if (pid > 0 && pid != ::getpid()) {
    std::fprintf(stderr, "corvane: the running copy (pid %d) did not quit in time; stopping it\n", pid);
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Asking the Notes stand-in runs a process: the poll reads the last answer
// and the next one is fetched off the main thread. Without a stand-in there
// is nothing to grant.
bool notesGranted() {
  static std::atomic<bool> granted{true};
  static std::atomic<bool> asked{false};
  static std::atomic<bool> inFlight{false};
  if (!notes::configuredOsascript()) return true;
  if (!asked.exchange(true)) granted.store(notes::notesAutomationGranted(false));
  else if (!inFlight.exchange(true)) {
    static SerialQueue queue("com.corvane.permissions");
    queue.post([] {
      granted.store(notes::notesAutomationGranted(false));
      inFlight.store(false);
    });
  }
  return granted.load();
}

PermissionState checkPermissions() {
  PermissionState s;
  s.accessibility = x11InputAvailable();
  s.inputMonitoring = s.accessibility;
  s.notes = notesGranted();
  return s;
}

void startUp(Delegate& d, const std::string& resources) {
  app::installProcessHooks();
  // 5-6. Log maintenance and the launch entry.
  records::startLogMaintenance();
  appLog(LogLevel::Info, "app", std::string("launched v") + CORVANE_VERSION_STRING);
  installSeams();

  // 8. The window: bridge, web view, page.
  d.bridge = bridge::Bridge::create(app::commandRouter(), records::logCommandFailure);
  WindowServices services;
  services.emit = [](std::string_view n, std::string_view p) { bridge::emitEvent(n, p); };
  services.recordSummon = [] { insights::Stats::shared().record(0, 0, 0, 0, 0, 0, 1, 0); };
  services.recordFocusSession = [] { insights::Stats::shared().record(0, 0, 0, 0, 0, 0, 0, 1); };
  services.onboardingActive = [] { return seams().onboardingActive && seams().onboardingActive(); };
  services.endOnboarding = [] {
    if (seams().endOnboarding) seams().endOnboarding();
  };
  installUnlockGate(services);
  struct Forward : WindowSystem {
    WindowSystem* target = nullptr;
    std::vector<Rect> visibleFrames() override { return target->visibleFrames(); }
    std::optional<size_t> windowScreen() override { return target->windowScreen(); }
    Rect frame() override { return target->frame(); }
    void setFrame(const Rect& f, double s, std::function<void()> done) override { target->setFrame(f, s, std::move(done)); }
    void setMinimumSize(const Size& s) override { target->setMinimumSize(s); }
    bool isVisible() override { return target->isVisible(); }
    void orderFront() override { target->orderFront(); }
    void orderOut() override { target->orderOut(); }
    std::optional<ForeignApp> frontmostApp(bool& own) override { return target->frontmostApp(own); }
    bool isRunning(const ForeignApp& a) override { return target->isRunning(a); }
    void activate(const ForeignApp& a) override { target->activate(a); }
    void evaluateScript(const std::string& s) override { target->evaluateScript(s); }
  };
  // The controller computes the first frame before the window exists; the
  // forwarder answers screens from GDK until then.
  static Forward forward;
  struct Screens : WindowSystem {
    std::vector<Rect> visibleFrames() override {
      std::vector<Rect> out;
      GdkDisplay* disp = gdk_display_get_default();
      GdkMonitor* primary = disp ? gdk_display_get_primary_monitor(disp) : nullptr;
      for (int i = 0; disp && i < gdk_display_get_n_monitors(disp); ++i) {
        GdkRectangle wa;
        GdkMonitor* m = gdk_display_get_monitor(disp, i);
        gdk_monitor_get_workarea(m, &wa);
        Rect r{double(wa.x), double(wa.y), double(wa.width), double(wa.height)};
        if (m == primary) out.insert(out.begin(), r);
        else out.push_back(r);
      }
      return out;
    }
    std::optional<size_t> windowScreen() override { return std::nullopt; }
    Rect frame() override { return {}; }
    void setFrame(const Rect&, double, std::function<void()>) override {}
    void setMinimumSize(const Size&) override {}
    bool isVisible() override { return false; }
    void orderFront() override {}
    void orderOut() override {}
    std::optional<ForeignApp> frontmostApp(bool& own) override { own = false; return std::nullopt; }
    bool isRunning(const ForeignApp&) override { return false; }
    void activate(const ForeignApp&) override {}
    void evaluateScript(const std::string&) override {}
  };
  static Screens screens;
  forward.target = &screens;
  d.window = WindowController::create(forward, mainQueue(), systemClock(), platform::UserDefaults::shared(),
                                      std::move(services));
  Rect initial = d.window->initialFrame();

  TrayWindowActions actions;
  actions.openSettings = openSettings;
  actions.newNote = newNote;
  actions.hide = [] {
    if (gDelegate && gDelegate->window) gDelegate->window->hide();
  };
  actions.quit = quitApplication;
  actions.moved = [](bool down) {
    if (gDelegate && gDelegate->window) gDelegate->window->windowMoved(down);
  };
  actions.resized = [] {
    if (gDelegate && gDelegate->window) gDelegate->window->liveResizeEnded();
  };
  actions.screenChanged = [] {
    if (gDelegate && gDelegate->window) gDelegate->window->screenChanged();
  };
  actions.firstLoad = [] {
    if (!gDelegate) return;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                    gDelegate->launchedAt)
                  .count();
    appLog(LogLevel::Info, "window", "page loaded in " + std::to_string(ms) + " ms");
  };
  // CORVANE_WEB_ROOT serves another page folder (tests, page development).
  std::string webRoot;
  if (const char* override = std::getenv("CORVANE_WEB_ROOT"); override && *override)
    webRoot = override;
  else if (std::filesystem::is_directory(resources))
    webRoot = (std::filesystem::path(resources) / "web").string();
  d.tray = TrayWindow::create(initial, d.bridge, webRoot, std::move(actions));
  appLog(LogLevel::Debug, "window",
         "web view loading " +
             std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                  d.launchedAt)
                                .count()) +
             " ms after start");
  forward.target = d.tray.get();
  d.bridge->setWebView(d.tray);
  // The status panel near the pointer serves notices and account statuses;
  // the AI approval asks over the tray.
  installStatusPanels(makeGtkCursorHUD());
  installApprovalDialog([] { return gDelegate && gDelegate->tray ? gDelegate->tray->nativeWindow() : nullptr; },
                        [] { return !gDelegate || gDelegate->quitting; });
  // 1-2. Hardening and the media reconcile. They follow the web view's
  // creation so its processes start while the data directory is walked; no
  // command can run before this function returns (page messages arrive on
  // this thread), so nothing touches the directory before it is hardened.
  app::startBackgroundServices();
  d.bridge->installEventHook();
  d.window->installHooks();
  void* native = d.tray->nativeWindow();
  bridge::updateShellHooks([native](bridge::ShellHooks& h) {
    h.panelHost = [native]() -> void* { return native; };
    h.chooseProjectFolder = [native] { return chooseProjectFolderPanel(native); };
    h.chooseImportFile = [native] { return chooseImportFilePanel(native); };
  });

  // 9-10. The delegate's hooks and the status item.
  d.status = StatusItem::create({toggleWindow,
                                 [] {
                                   if (seams().checkForUpdates) seams().checkForUpdates();
                                   else appLog(LogLevel::Info, "updates", "update check is not available yet");
                                 },
                                 quitApplication},
                                resources);

  // 11-13. Input hook and hotkeys, through their seams.
  if (seams().setOpenTrayAction) seams().setOpenTrayAction(toggleWindow);
  auto settings = records::Settings::load();
  if (seams().registerHotkeys) seams().registerHotkeys();
  if (settings.tutorialSeen && seams().startInputHook) d.mouseMonitoringStarted = seams().startInputHook();

  // 14. A returning user without the grants sees the tray and the reason.
  d.permNeededCheck = mainQueue().postDelayed(std::chrono::milliseconds(800), [] {
    if (!gDelegate || !records::Settings::load().tutorialSeen) return;
    if (!x11InputAvailable()) {
      showWindow();
      bridge::emitEvent("perm:needed", R"({"kind":"accessibility"})");
    } else if (!gDelegate->mouseMonitoringStarted) {
      showWindow();
      bridge::emitEvent("perm:needed", R"({"kind":"inputMonitoring"})");
    }
  });

  // 15. The permission poll.
  d.permissions = PermissionPoll::create(
      mainQueue(), checkPermissions,
      [](const std::string& p) {
        appLog(LogLevel::Debug, "permissions", p);
        bridge::emitEvent("onboard:permissions", p);
      },
      [](const PermissionState& s) {
        auto& sm = seams();
        if (s.accessibility && sm.inputHookInstalled && !sm.inputHookInstalled()) {
          if (sm.startInputHook) sm.startInputHook();
          if (sm.registerHotkeys) sm.registerHotkeys();
        }
        if (s.inputMonitoring && sm.mouseMonitoringActive && !sm.mouseMonitoringActive() &&
            sm.restartMouseMonitoring)
          sm.restartMouseMonitoring();
      });
  d.permissions->start();

  // 18. The note cache started with the background services above.
  // 19-21. AI availability, cloud sync, updater.
  if (seams().refreshAiAvailability) seams().refreshAiAvailability();
  if (seams().startCloudSync) seams().startCloudSync();
  if (seams().startUpdater) seams().startUpdater();
  // 22. Sample notes on the first run.
  seedOnFirstRun();
}

// SIGTERM and SIGINT leave the loop on the main thread; the exit path flushes.
gboolean onTerminateSignal(gpointer) {
  quitApplication();
  return G_SOURCE_CONTINUE;
}

}  // namespace

int runDesktop(int argc, char** argv) {
  const auto processStarted = std::chrono::steady_clock::now();
  auto parsed = parseLaunchArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed) {
    std::fprintf(stderr, "corvane: %s\n%s", parsed.error().c_str(), kUsage);
    return 2;
  }
  if (parsed->action == LaunchAction::Help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const auto socket = controlSocketPath();
  if (handOver(*parsed, socket)) return 0;

  // Windows are placed by us: on a Wayland session run through XWayland.
  if (std::getenv("WAYLAND_DISPLAY") && !std::getenv("GDK_BACKEND")) setenv("GDK_BACKEND", "x11", 1);
  XInitThreads();
  if (!gtk_init_check(&argc, &argv)) {
    std::fputs("corvane: no display to open the tray on; the headless command runner is corvane-cli\n", stderr);
    return 1;
  }
  g_set_prgname("corvane");
  g_set_application_name("Corvane");

  auto server = ControlServer::listen(socket);
  if (!server) {
    // Another copy won the race: hand this launch to it.
    if (sendToRunningCopy(socket, requestLine(*parsed), kReplaceTimeoutMs)) return 0;
    std::fprintf(stderr, "corvane: %s\n", server.error().c_str());
    return 1;
  }

  mainQueue().bindToCurrentThread();
  mainQueue().setWakeup(wakeMainQueue);
  wakeMainQueue();

  Delegate d;
  d.launchedAt = processStarted;
  gDelegate = &d;
  d.control = std::move(*server);
  GIOChannel* channel = g_io_channel_unix_new(d.control->fd());
  d.controlWatch = g_io_add_watch(channel, G_IO_IN, onControl, nullptr);
  g_io_channel_unref(channel);
  g_unix_signal_add(SIGTERM, onTerminateSignal, nullptr);
  g_unix_signal_add(SIGINT, onTerminateSignal, nullptr);

  startUp(d, media::resourceDirectory().string());
  // The launch itself asks for the tray, unless it was a hand-over request
  // that found no running copy: then it does what it asked.
  if (parsed->action == LaunchAction::Run || parsed->action == LaunchAction::Toggle) showWindow();
  else perform(*parsed);

  gtk_main();

  if (d.controlWatch) g_source_remove(d.controlWatch);
  d.control.reset();
  appLog(LogLevel::Info, "app", "quitting");
  flushEverything();
  d.permissions.reset();
  d.status.reset();
  platform::installConfirmationDialog(nullptr);
  installStatusPanels(nullptr);
  bridge::installShellHooks({});
  d.window.reset();
  d.bridge->setWebView({});
  d.tray.reset();
  gDelegate = nullptr;
  return 0;
}

}  // namespace corvane::shell
