#include "shell/tray_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "bridge/bootstrap_script.h"
#include "core/json.h"
#include "core/queue.h"
#include "records/app_log.h"

namespace corvane::shell {
namespace {

using records::appLog;
using records::LogLevel;

constexpr int kGrip = 6;  // px along the edges that resize the window
constexpr double kDragEventAge = 0.35;

// Hides on Escape when the page left the key alone.
constexpr const char* kEscapeScript =
    "window.addEventListener('keydown', function (e) {"
    "  if (e.key === 'Escape' && !e.defaultPrevented && window.__TAURI__)"
    "    window.__TAURI__.core.invoke('hide_window');"
    "});";

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct UrlBits {
  std::string scheme, host;
  bool hasUserOrPort = false;
};

UrlBits urlBits(const std::string& uri) {
  UrlBits b;
  GUri* u = g_uri_parse(uri.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (!u) return b;
  if (g_uri_get_scheme(u)) b.scheme = lower(g_uri_get_scheme(u));
  if (g_uri_get_host(u)) b.host = lower(g_uri_get_host(u));
  b.hasUserOrPort = g_uri_get_userinfo(u) != nullptr || g_uri_get_port(u) != -1;
  g_uri_unref(u);
  return b;
}

std::string errorPage(const std::string& uri, const std::string& message) {
  auto esc = [](const std::string& s) {
    std::string o;
    for (char c : s) {
      if (c == '&') o += "&amp;";
      else if (c == '<') o += "&lt;";
      else if (c == '>') o += "&gt;";
      else o += c;
    }
    return o;
  };
  return "<!doctype html><html><head><meta charset='utf-8'><title>Corvane</title><style>"
         "body{font:15px system-ui,sans-serif;background:#1e1b2e;color:#eee;display:flex;align-items:center;"
         "justify-content:center;height:100vh;margin:0}main{max-width:32em}h1{font-size:20px;color:#b9a7ff}"
         "code{color:#ccc}</style></head><body><main><h1>Corvane could not load its page</h1><p>" +
         esc(message) + "</p><p><code>" + esc(uri) +
         "</code></p><p>Reinstall the program or run <code>scripts/run.sh</code> to rebuild it.</p></main></body></html>";
}

// One app:// request handed to the portable handler.
class GtkSchemeTask final : public media::SchemeTask {
 public:
  explicit GtkSchemeTask(WebKitURISchemeRequest* req) : req_(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(req))) {}
  ~GtkSchemeTask() override {
    if (!done_) {
      GError* e = g_error_new_literal(g_quark_from_static_string("Corvane"), 1, "request dropped");
      webkit_uri_scheme_request_finish_error(req_, e);
      g_error_free(e);
    }
    g_object_unref(req_);
  }
  std::optional<std::string> url() const override {
    const char* u = webkit_uri_scheme_request_get_uri(req_);
    if (!u) return std::nullopt;
    return std::string(u);
  }
  void respond(media::SchemeResponse r) override {
    if (done_) return;
    done_ = true;
    GBytes* bytes = g_bytes_new(r.body.data(), r.body.size());
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    WebKitURISchemeResponse* resp = webkit_uri_scheme_response_new(stream, static_cast<gint64>(r.body.size()));
    webkit_uri_scheme_response_set_status(resp, static_cast<guint>(r.status), nullptr);
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    for (const auto& [k, v] : r.headers) {
      if (lower(k) == "content-type") webkit_uri_scheme_response_set_content_type(resp, v.c_str());
      soup_message_headers_append(headers, k.c_str(), v.c_str());
    }
    webkit_uri_scheme_response_set_http_headers(resp, headers);  // takes ownership
    webkit_uri_scheme_request_finish_with_response(req_, resp);
    g_object_unref(resp);
    g_object_unref(stream);
    g_bytes_unref(bytes);
  }
  void fail(media::SchemeFailure f) override {
    if (done_) return;
    done_ = true;
    GError* e = g_error_new_literal(g_quark_from_string(f.domain.c_str()), f.code,
                                    f.description.value_or("request failed").c_str());
    webkit_uri_scheme_request_finish_error(req_, e);
    g_error_free(e);
  }

 private:
  WebKitURISchemeRequest* req_;
  bool done_ = false;
};

Display* xdisplay() {
  GdkDisplay* d = gdk_display_get_default();
  if (!d || !GDK_IS_X11_DISPLAY(d)) return nullptr;
  return GDK_DISPLAY_XDISPLAY(d);
}

std::optional<unsigned long> windowProperty(Display* dpy, Window w, const char* name, Atom type) {
  Atom prop = XInternAtom(dpy, name, False);
  Atom actual = None;
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  int st = XGetWindowProperty(dpy, w, prop, 0, 1, False, type, &actual, &format, &n, &after, &data);
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  std::optional<unsigned long> out;
  if (st == Success && data && n == 1 && format == 32) out = reinterpret_cast<unsigned long*>(data)[0];
  if (data) XFree(data);
  return out;
}

}  // namespace

struct TrayWindow::Impl {
  TrayWindow* owner = nullptr;
  GtkWidget* window = nullptr;
  GtkWidget* frameBox = nullptr;  // event box: the resize edges around the view
  WebKitWebView* view = nullptr;
  WebKitUserContentManager* content = nullptr;
  std::shared_ptr<bridge::Bridge> bridge;
  std::shared_ptr<media::WebSchemeHandler> scheme;
  TrayWindowActions actions;
  Rect frame;
  Rect requested;     // last frame we asked for; configure events matching it are ours
  bool leftDown = false;
  double pressRootX = 0, pressRootY = 0;
  guint32 pressTime = 0;
  std::chrono::steady_clock::time_point pressAt{};
  guint animation = 0;
  std::function<void()> animationDone;
  Rect animFrom, animTo;
  std::chrono::steady_clock::time_point animStart;
  double animSeconds = 0;
  int lastMonitor = -1;
  bool loadedOnce = false;
  // The page's first "list_notes": its call id until answered, then -1. The
  // answer is logged once (launch figures, end-to-end checks).
  int64_t firstListCall = 0;
  // Show and hide timings for the application log (figures, not behaviour).
  std::optional<std::chrono::steady_clock::time_point> showStarted, hideStarted;

  void applyFrame(const Rect& r) {
    requested = r;
    frame = r;
    gtk_window_move(GTK_WINDOW(window), static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)));
    gtk_window_resize(GTK_WINDOW(window), std::max(1, static_cast<int>(std::lround(r.width))),
                      std::max(1, static_cast<int>(std::lround(r.height))));
  }
};

namespace {

using Impl = TrayWindow::Impl;

double msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

std::string oneDecimal(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

gboolean onFocusIn(GtkWidget*, GdkEventFocus*, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  if (impl->showStarted) {
    appLog(LogLevel::Debug, "window", "shown and focused in " + oneDecimal(msSince(*impl->showStarted)) + " ms");
    impl->showStarted.reset();
  }
  return FALSE;
}

// Watches the root window's active-window property to time the hand-back.
GdkFilterReturn onRootEvent(GdkXEvent* xevent, GdkEvent*, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  auto* ev = static_cast<XEvent*>(xevent);
  if (ev->type != PropertyNotify || !impl->hideStarted) return GDK_FILTER_CONTINUE;
  Display* dpy = ev->xproperty.display;
  if (ev->xproperty.atom != XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False)) return GDK_FILTER_CONTINUE;
  auto active = windowProperty(dpy, DefaultRootWindow(dpy), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (active && *active != 0 && *active != impl->owner->xid()) {
    appLog(LogLevel::Debug, "window", "hidden and focus handed back in " + oneDecimal(msSince(*impl->hideStarted)) + " ms");
    impl->hideStarted.reset();
  }
  return GDK_FILTER_CONTINUE;
}

gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  if (impl->actions.hide) impl->actions.hide();
  return TRUE;  // never closes
}

gboolean onKey(GtkWidget*, GdkEventKey* e, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  const guint mods = e->state & gtk_accelerator_get_default_mod_mask();
  if (mods != GDK_CONTROL_MASK) return FALSE;
  guint key = gdk_keyval_to_lower(e->keyval);
  auto run = [](const std::function<void()>& f) {
    if (f) f();
    return TRUE;
  };
  switch (key) {
    case GDK_KEY_comma: return run(impl->actions.openSettings);
    case GDK_KEY_n: return run(impl->actions.newNote);
    case GDK_KEY_w: return run(impl->actions.hide);
    case GDK_KEY_q: return run(impl->actions.quit);
    default: return FALSE;
  }
}

gboolean onConfigure(GtkWidget* w, GdkEventConfigure* e, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  int x = 0, y = 0;
  gtk_window_get_position(GTK_WINDOW(w), &x, &y);
  Rect now{double(x), double(y), double(e->width), double(e->height)};
  Rect before = impl->frame;
  impl->frame = now;
  if (impl->animation) return FALSE;
  bool ours = std::fabs(now.x - impl->requested.x) < 1 && std::fabs(now.y - impl->requested.y) < 1 &&
              std::fabs(now.width - impl->requested.width) < 1 && std::fabs(now.height - impl->requested.height) < 1;
  if (!ours && gtk_widget_get_visible(w)) {
    if ((now.width != before.width || now.height != before.height) && impl->actions.resized) impl->actions.resized();
    else if ((now.x != before.x || now.y != before.y) && impl->actions.moved) impl->actions.moved(impl->leftDown);
  }
  GdkDisplay* d = gtk_widget_get_display(w);
  GdkWindow* gw = gtk_widget_get_window(w);
  if (gw) {
    GdkMonitor* m = gdk_display_get_monitor_at_window(d, gw);
    int index = -1;
    for (int i = 0; i < gdk_display_get_n_monitors(d); ++i)
      if (gdk_display_get_monitor(d, i) == m) index = i;
    if (impl->lastMonitor >= 0 && index != impl->lastMonitor && impl->actions.screenChanged)
      impl->actions.screenChanged();
    impl->lastMonitor = index;
  }
  return FALSE;
}

GdkWindowEdge edgeAt(GtkWidget* box, double x, double y, bool& isEdge) {
  int w = gtk_widget_get_allocated_width(box), h = gtk_widget_get_allocated_height(box);
  bool l = x < kGrip, r = x >= w - kGrip, t = y < kGrip, b = y >= h - kGrip;
  isEdge = l || r || t || b;
  if (t && l) return GDK_WINDOW_EDGE_NORTH_WEST;
  if (t && r) return GDK_WINDOW_EDGE_NORTH_EAST;
  if (b && l) return GDK_WINDOW_EDGE_SOUTH_WEST;
  if (b && r) return GDK_WINDOW_EDGE_SOUTH_EAST;
  if (t) return GDK_WINDOW_EDGE_NORTH;
  if (b) return GDK_WINDOW_EDGE_SOUTH;
  if (l) return GDK_WINDOW_EDGE_WEST;
  return GDK_WINDOW_EDGE_EAST;
}

gboolean onBoxPress(GtkWidget* box, GdkEventButton* e, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  if (e->button != 1 || e->type != GDK_BUTTON_PRESS) return FALSE;
  bool isEdge = false;
  GdkWindowEdge edge = edgeAt(box, e->x, e->y, isEdge);
  if (!isEdge) return FALSE;
  gtk_window_begin_resize_drag(GTK_WINDOW(impl->window), edge, 1, static_cast<int>(e->x_root),
                               static_cast<int>(e->y_root), e->time);
  return TRUE;
}

gboolean onBoxMotion(GtkWidget* box, GdkEventMotion* e, gpointer) {
  bool isEdge = false;
  GdkWindowEdge edge = edgeAt(box, e->x, e->y, isEdge);
  GdkWindow* gw = gtk_widget_get_window(box);
  if (!gw) return FALSE;
  static const char* names[] = {"nw-resize", "n-resize", "ne-resize", "w-resize",
                                "e-resize",  "sw-resize", "s-resize", "se-resize"};
  GdkCursor* c = isEdge ? gdk_cursor_new_from_name(gdk_window_get_display(gw), names[edge]) : nullptr;
  gdk_window_set_cursor(gw, c);
  if (c) g_object_unref(c);
  return FALSE;
}

// Remembers the left button for window drags and moves during temporary sizes.
gboolean onViewButton(GtkWidget*, GdkEventButton* e, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  if (e->button != 1) return FALSE;
  if (e->type == GDK_BUTTON_PRESS) {
    impl->leftDown = true;
    impl->pressRootX = e->x_root;
    impl->pressRootY = e->y_root;
    impl->pressTime = e->time;
    impl->pressAt = std::chrono::steady_clock::now();
  } else if (e->type == GDK_BUTTON_RELEASE) {
    impl->leftDown = false;
    impl->pressTime = 0;
  }
  return FALSE;
}

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  char* json = jsc_value_to_json(value, 0);
  if (!json) return;
  // WebKitGTK does not say which frame posted. Frames can only hold
  // app://local documents (the navigation policy cancels everything else), so
  // the message is taken as the main frame's, with the page's own address.
  bridge::FrameOrigin origin;
  origin.isMainFrame = true;
  if (const char* uri = webkit_web_view_get_uri(impl->view)) {
    UrlBits b = urlBits(uri);
    origin.protocol = b.scheme;
    origin.host = b.hasUserOrPort ? std::string() : b.host;
  }
  if (impl->firstListCall == 0 && std::strstr(json, "\"list_notes\"")) {
    auto body = Json::parse(json, nullptr, false);
    if (body.is_object() && body.value("cmd", "") == "list_notes" && body.contains("callId") &&
        body["callId"].is_number_integer())
      impl->firstListCall = body["callId"].get<int64_t>();
  }
  impl->bridge->receive(json, origin);
  g_free(json);
}

gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
    return FALSE;
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* req = webkit_navigation_action_get_request(action);
  const char* uri = req ? webkit_uri_request_get_uri(req) : nullptr;
  std::string u = uri ? uri : "";
  UrlBits b = urlBits(u);
  if (b.scheme == "http" || b.scheme == "https") {
    openInBrowser(u);
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && b.scheme == "app" && b.host == "local" &&
      !b.hasUserOrPort) {
    webkit_policy_decision_use(decision);
    return TRUE;
  }
  // about:blank and data: are what our own error page and sub-frames use.
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

gboolean onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  auto type = webkit_script_dialog_get_dialog_type(dialog);
  if (type != WEBKIT_SCRIPT_DIALOG_ALERT && type != WEBKIT_SCRIPT_DIALOG_CONFIRM) return FALSE;
  bool confirm = type == WEBKIT_SCRIPT_DIALOG_CONFIRM;
  GtkWidget* d = gtk_message_dialog_new(GTK_WINDOW(impl->window), GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE,
                                        "%s", "Corvane");
  gtk_window_set_title(GTK_WINDOW(d), "Corvane");
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(d), "%s", webkit_script_dialog_get_message(dialog));
  if (confirm) gtk_dialog_add_button(GTK_DIALOG(d), "Cancel", GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(d), "OK", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
  int response = gtk_dialog_run(GTK_DIALOG(d));
  gtk_widget_destroy(d);
  if (confirm) webkit_script_dialog_confirm_set_confirmed(dialog, response == GTK_RESPONSE_OK);
  (void)view;
  return TRUE;
}

gboolean onLoadFailed(WebKitWebView* view, WebKitLoadEvent, gchar* uri, GError* error, gpointer) {
  if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
      g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
    return FALSE;
  std::string message = error ? error->message : "unknown error";
  appLog(LogLevel::Error, "window", "page failed to load: " + std::string(uri ? uri : "") + ": " + message);
  webkit_web_view_load_alternate_html(view, errorPage(uri ? uri : "", message).c_str(), uri, nullptr);
  return TRUE;
}

void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  if (event != WEBKIT_LOAD_FINISHED || impl->loadedOnce) return;
  impl->loadedOnce = true;
  if (impl->actions.firstLoad) impl->actions.firstLoad();
}

void onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer) {
  appLog(LogLevel::Error, "window", "web process ended (" + std::to_string(int(reason)) + "); reloading");
  webkit_web_view_reload(view);
}

void onScheme(WebKitURISchemeRequest* request, gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  impl->scheme->start(std::make_shared<GtkSchemeTask>(request));
}

double easeInOut(double t) { return t < 0.5 ? 2 * t * t : 1 - std::pow(-2 * t + 2, 2) / 2; }

gboolean onAnimationTick(gpointer data) {
  auto* impl = static_cast<Impl*>(data);
  double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - impl->animStart).count() /
             impl->animSeconds;
  if (t >= 1) {
    impl->animation = 0;
    impl->applyFrame(impl->animTo);
    auto done = std::move(impl->animationDone);
    impl->animationDone = nullptr;
    if (done) done();
    return G_SOURCE_REMOVE;
  }
  double k = easeInOut(t);
  auto mix = [k](double a, double b) { return a + (b - a) * k; };
  Rect r{mix(impl->animFrom.x, impl->animTo.x), mix(impl->animFrom.y, impl->animTo.y),
         mix(impl->animFrom.width, impl->animTo.width), mix(impl->animFrom.height, impl->animTo.height)};
  impl->applyFrame(r);
  return G_SOURCE_CONTINUE;
}

}  // namespace

std::shared_ptr<TrayWindow> TrayWindow::create(const Rect& frame, std::shared_ptr<bridge::Bridge> bridge,
                                               const std::string& webRoot, TrayWindowActions actions) {
  auto self = std::shared_ptr<TrayWindow>(new TrayWindow());
  self->impl_ = std::make_unique<Impl>();
  Impl* impl = self->impl_.get();
  impl->owner = self.get();
  impl->bridge = std::move(bridge);
  impl->actions = std::move(actions);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  impl->window = window;
  gtk_window_set_title(GTK_WINDOW(window), "Corvane");
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(window), TRUE);
  gtk_window_set_icon_name(GTK_WINDOW(window), "corvane");
  GdkScreen* screen = gtk_widget_get_screen(window);
  if (gdk_screen_is_composited(screen)) {
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen)) gtk_widget_set_visual(window, rgba);
    gtk_widget_set_app_paintable(window, TRUE);
  }
  GdkGeometry geo{};
  geo.min_width = static_cast<int>(kMinimumWindowSize.width);
  geo.min_height = static_cast<int>(kMinimumWindowSize.height);
  gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &geo, GDK_HINT_MIN_SIZE);
  impl->applyFrame(frame);

  // The web context and the app scheme.
  WebKitWebContext* context = webkit_web_context_get_default();
  if (!webRoot.empty()) {
    impl->scheme = media::WebSchemeHandler::create(webRoot);
    static bool registered = false;
    if (!registered) {
      registered = true;
      webkit_web_context_register_uri_scheme(context, "app", onScheme, impl, nullptr);
      WebKitSecurityManager* sec = webkit_web_context_get_security_manager(context);
      webkit_security_manager_register_uri_scheme_as_secure(sec, "app");
      webkit_security_manager_register_uri_scheme_as_cors_enabled(sec, "app");
    }
  }

  impl->content = webkit_user_content_manager_new();
  WebKitUserScript* boot = webkit_user_script_new(
      std::string(bridge::kBootstrapScript).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(impl->content, boot);
  webkit_user_script_unref(boot);
  WebKitUserScript* esc = webkit_user_script_new(kEscapeScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                 WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(impl->content, esc);
  webkit_user_script_unref(esc);
  const std::string handler(bridge::kScriptMessageHandlerName);
  webkit_user_content_manager_register_script_message_handler(impl->content, handler.c_str());
  g_signal_connect(impl->content, ("script-message-received::" + handler).c_str(), G_CALLBACK(onScriptMessage), impl);

  GtkWidget* view = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager",
                                            impl->content, nullptr));
  impl->view = WEBKIT_WEB_VIEW(view);
  GdkRGBA clear{0, 0, 0, 0};
  if (!gdk_screen_is_composited(screen)) clear = GdkRGBA{0.12, 0.11, 0.18, 1};
  webkit_web_view_set_background_color(impl->view, &clear);
  WebKitSettings* settings = webkit_web_view_get_settings(impl->view);
  webkit_settings_set_enable_developer_extras(settings, g_getenv("CORVANE_DEVTOOLS") != nullptr);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);

  g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), impl);
  g_signal_connect(view, "script-dialog", G_CALLBACK(onScriptDialog), impl);
  g_signal_connect(view, "load-failed", G_CALLBACK(onLoadFailed), impl);
  g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), impl);
  g_signal_connect(view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), impl);
  g_signal_connect(view, "button-press-event", G_CALLBACK(onViewButton), impl);
  g_signal_connect(view, "button-release-event", G_CALLBACK(onViewButton), impl);

  // The view sits inside an event box whose border is the resize grips.
  GtkWidget* box = gtk_event_box_new();
  impl->frameBox = box;
  gtk_widget_add_events(box, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK);
  gtk_container_set_border_width(GTK_CONTAINER(box), kGrip);
  gtk_container_add(GTK_CONTAINER(box), view);
  // The grips take the page's dark tone (clear where a compositor blends).
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
                                  gdk_screen_is_composited(screen)
                                      ? "window.corvane, eventbox.corvane-frame { background-color: transparent; }"
                                      : "window.corvane, eventbox.corvane-frame { background-color: #1e1b2e; }",
                                  -1, nullptr);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(css), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  gtk_style_context_add_class(gtk_widget_get_style_context(box), "corvane-frame");
  gtk_style_context_add_class(gtk_widget_get_style_context(window), "corvane");
  gtk_container_add(GTK_CONTAINER(window), box);
  g_signal_connect(box, "button-press-event", G_CALLBACK(onBoxPress), impl);
  g_signal_connect(box, "motion-notify-event", G_CALLBACK(onBoxMotion), impl);
  g_signal_connect(window, "delete-event", G_CALLBACK(onDelete), impl);
  g_signal_connect(window, "key-press-event", G_CALLBACK(onKey), impl);
  g_signal_connect(window, "configure-event", G_CALLBACK(onConfigure), impl);
  g_signal_connect(window, "focus-in-event", G_CALLBACK(onFocusIn), impl);
  if (GdkWindow* root = gdk_get_default_root_window(); root && GDK_IS_X11_WINDOW(root)) {
    gdk_window_set_events(root, static_cast<GdkEventMask>(gdk_window_get_events(root) | GDK_PROPERTY_CHANGE_MASK));
    gdk_window_add_filter(root, onRootEvent, impl);
  }
  gtk_widget_show_all(box);
  gtk_widget_realize(window);

  if (impl->scheme) {
    webkit_web_view_load_uri(impl->view, "app://local/index.html");
  } else {
    appLog(LogLevel::Error, "window", "no web folder: the page cannot load");
    webkit_web_view_load_alternate_html(impl->view, errorPage("app://local/index.html", "The web folder is missing.").c_str(),
                                        "app://local/index.html", nullptr);
  }
  return self;
}

TrayWindow::~TrayWindow() {
  if (!impl_) return;
  if (GdkWindow* root = gdk_get_default_root_window()) gdk_window_remove_filter(root, onRootEvent, impl_.get());
  if (impl_->animation) g_source_remove(impl_->animation);
  if (impl_->window) gtk_widget_destroy(impl_->window);
  if (impl_->content) g_object_unref(impl_->content);
}

std::vector<Rect> TrayWindow::visibleFrames() {
  std::vector<Rect> out;
  GdkDisplay* d = gdk_display_get_default();
  if (!d) return out;
  GdkMonitor* primary = gdk_display_get_primary_monitor(d);
  int n = gdk_display_get_n_monitors(d);
  for (int i = 0; i < n; ++i) {
    GdkMonitor* m = gdk_display_get_monitor(d, i);
    GdkRectangle wa;
    gdk_monitor_get_workarea(m, &wa);
    Rect r{double(wa.x), double(wa.y), double(wa.width), double(wa.height)};
    if (m == primary) out.insert(out.begin(), r);
    else out.push_back(r);
  }
  return out;
}

std::optional<size_t> TrayWindow::windowScreen() {
  auto frames = visibleFrames();
  return bestScreen(impl_->frame, frames);
}

Rect TrayWindow::frame() { return impl_->frame; }

void TrayWindow::setFrame(const Rect& frame, double seconds, std::function<void()> done) {
  if (impl_->animation) {
    g_source_remove(impl_->animation);
    impl_->animation = 0;
    // The interrupted animation's completion never runs; the generation rule
    // of the controller relies on only the last one finishing.
    impl_->animationDone = nullptr;
  }
  if (seconds <= 0 || !gtk_widget_get_visible(impl_->window)) {
    impl_->applyFrame(frame);
    if (done) mainQueue().post(std::move(done));
    return;
  }
  impl_->animFrom = impl_->frame;
  impl_->animTo = frame;
  impl_->animSeconds = seconds;
  impl_->animStart = std::chrono::steady_clock::now();
  impl_->animationDone = std::move(done);
  impl_->animation = g_timeout_add(16, onAnimationTick, impl_.get());
}

void TrayWindow::setMinimumSize(const Size& size) {
  GdkGeometry geo{};
  geo.min_width = static_cast<int>(size.width);
  geo.min_height = static_cast<int>(size.height);
  gtk_window_set_geometry_hints(GTK_WINDOW(impl_->window), nullptr, &geo, GDK_HINT_MIN_SIZE);
}

bool TrayWindow::isVisible() { return gtk_widget_get_visible(impl_->window); }

void TrayWindow::orderFront() {
  GtkWindow* w = GTK_WINDOW(impl_->window);
  if (!gtk_window_is_active(w)) impl_->showStarted = std::chrono::steady_clock::now();
  bool wasVisible = gtk_widget_get_visible(impl_->window);
  if (!wasVisible) impl_->applyFrame(impl_->frame);
  gtk_widget_show(impl_->window);
  GdkWindow* gw = gtk_widget_get_window(impl_->window);
  guint32 ts = GDK_CURRENT_TIME;
  if (gw && GDK_IS_X11_WINDOW(gw)) ts = gdk_x11_get_server_time(gw);
  gtk_window_present_with_time(w, ts);
  gtk_widget_grab_focus(GTK_WIDGET(impl_->view));
}

void TrayWindow::orderOut() {
  // Remember where it was so the next show puts it back there.
  if (gtk_widget_get_visible(impl_->window)) {
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(GTK_WINDOW(impl_->window), &x, &y);
    gtk_window_get_size(GTK_WINDOW(impl_->window), &w, &h);
    impl_->frame = Rect{double(x), double(y), double(w), double(h)};
  }
  if (gtk_widget_get_visible(impl_->window)) impl_->hideStarted = std::chrono::steady_clock::now();
  gtk_widget_hide(impl_->window);
}

std::optional<ForeignApp> TrayWindow::frontmostApp(bool& ownIsFront) {
  ownIsFront = false;
  Display* dpy = xdisplay();
  if (!dpy) {
    ownIsFront = gtk_window_is_active(GTK_WINDOW(impl_->window));
    return std::nullopt;
  }
  auto active = windowProperty(dpy, DefaultRootWindow(dpy), "_NET_ACTIVE_WINDOW", XA_WINDOW);
  if (!active || *active == 0) {
    ownIsFront = gtk_window_is_active(GTK_WINDOW(impl_->window));
    return std::nullopt;
  }
  ForeignApp app{*active, 0};
  if (auto pid = windowProperty(dpy, static_cast<Window>(*active), "_NET_WM_PID", XA_CARDINAL))
    app.pid = static_cast<int64_t>(*pid);
  if (app.pid == ::getpid() || app.window == xid()) {
    ownIsFront = true;
    return std::nullopt;
  }
  return app;
}

bool TrayWindow::isRunning(const ForeignApp& app) {
  if (app.pid > 0 && ::kill(static_cast<pid_t>(app.pid), 0) != 0 && errno == ESRCH) return false;
  Display* dpy = xdisplay();
  if (!dpy || !app.window) return false;
  XWindowAttributes attrs;
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  Status ok = XGetWindowAttributes(dpy, static_cast<Window>(app.window), &attrs);
  bool failed = gdk_x11_display_error_trap_pop(gdk_display_get_default()) != 0;
  return ok && !failed;
}

void TrayWindow::activate(const ForeignApp& app) {
  Display* dpy = xdisplay();
  if (!dpy || !app.window) return;
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.serial = 0;
  ev.xclient.send_event = True;
  ev.xclient.message_type = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
  ev.xclient.window = static_cast<Window>(app.window);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = 2;  // from a pager: window managers honour it without a user time
  ev.xclient.data.l[1] = CurrentTime;
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
  XFlush(dpy);
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
}

void TrayWindow::evaluateScript(const std::string& script) {
  if (impl_->firstListCall > 0) {
    std::string prefix = "window.__cvResolve(" + std::to_string(impl_->firstListCall) + ", ";
    if (script.rfind(prefix, 0) == 0) {
      impl_->firstListCall = -1;
      std::string rest = script.substr(prefix.size());
      bool ok = rest.rfind("true, ", 0) == 0;
      std::string detail = "failed";
      if (ok && rest.size() > 8) {
        auto notes = Json::parse(rest.substr(6, rest.size() - 8), nullptr, false);
        detail = std::to_string(notes.is_array() ? notes.size() : 0) + " notes";
      }
      records::appLog(records::LogLevel::Info, "window", "first list_notes answered, " + detail);
    }
  }
  webkit_web_view_evaluate_javascript(impl_->view, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
}

void TrayWindow::startWindowDrag() {
  if (!impl_->pressTime) return;
  double age = std::chrono::duration<double>(std::chrono::steady_clock::now() - impl_->pressAt).count();
  if (!impl_->leftDown && age > kDragEventAge) return;
  gtk_window_begin_move_drag(GTK_WINDOW(impl_->window), 1, static_cast<int>(impl_->pressRootX),
                             static_cast<int>(impl_->pressRootY), impl_->pressTime);
}

unsigned long TrayWindow::xid() {
  GdkWindow* gw = gtk_widget_get_window(impl_->window);
  if (!gw || !GDK_IS_X11_WINDOW(gw)) return 0;
  return GDK_WINDOW_XID(gw);
}

void* TrayWindow::nativeWindow() { return impl_->window; }

void openInBrowser(const std::string& url) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
    appLog(LogLevel::Warn, "window", "no browser opened " + url + ": " + (error ? error->message : "?"));
    if (error) g_error_free(error);
  }
}

namespace {
std::optional<std::string> runChooser(void* parent, GtkFileChooserAction action, const char* title,
                                      const char* accept, bool textOnly) {
  GtkFileChooserNative* native =
      gtk_file_chooser_native_new(title, parent ? GTK_WINDOW(parent) : nullptr, action, accept, "Cancel");
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(native);
  gtk_file_chooser_set_select_multiple(chooser, FALSE);
  if (action == GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER) gtk_file_chooser_set_create_folders(chooser, TRUE);
  if (textOnly) {
    GtkFileFilter* f = gtk_file_filter_new();
    gtk_file_filter_set_name(f, "Text and Markdown");
    gtk_file_filter_add_mime_type(f, "text/plain");
    gtk_file_filter_add_pattern(f, "*.txt");
    gtk_file_filter_add_pattern(f, "*.md");
    gtk_file_chooser_add_filter(chooser, f);
  }
  std::optional<std::string> out;
  if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(native)) == GTK_RESPONSE_ACCEPT) {
    char* path = gtk_file_chooser_get_filename(chooser);
    if (path) {
      out = path;
      g_free(path);
    }
  }
  g_object_unref(native);
  return out;
}
}  // namespace

std::optional<std::string> chooseProjectFolderPanel(void* parent) {
  return runChooser(parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "Choose the project folder for this note", "Choose",
                    false);
}

std::optional<std::string> chooseImportFilePanel(void* parent) {
  return runChooser(parent, GTK_FILE_CHOOSER_ACTION_OPEN, "Import a text or Markdown file into Corvane", "Import",
                    true);
}

bool x11InputAvailable() {
  Display* dpy = xdisplay();
  if (!dpy) return false;
  int op = 0, ev = 0, err = 0;
  if (!XQueryExtension(dpy, "XTEST", &op, &ev, &err)) return false;
  if (!XQueryExtension(dpy, "XInputExtension", &op, &ev, &err)) return false;
  int major = 2, minor = 2;
  return XIQueryVersion(dpy, &major, &minor) == Success && major >= 2;
}

}  // namespace corvane::shell
