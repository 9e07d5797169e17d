#include "platform/linux/x11/x11_selection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane::platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kTargetSizeCap = 16u << 20;  // bytes per saved target
constexpr auto kTargetTimeCap = 300ms;        // per saved target
constexpr auto kSaveTimeCap = 1000ms;         // all saved targets together
constexpr auto kModifierWait = 400ms;
constexpr auto kCopyWait = 1200ms;
constexpr auto kReadTimeCap = 500ms;

struct SavedTarget {
  Atom target = None;
  Atom type = None;
  int format = 8;
  std::string data;  // raw bytes as the owner gave them (format 32 as longs)
};

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// UTF-16 (with or without a byte-order mark, little-endian by default) to UTF-8.
std::string utf16ToUtf8(const std::string& bytes) {
  size_t i = 0;
  bool big = false;
  if (bytes.size() >= 2) {
    auto b0 = static_cast<unsigned char>(bytes[0]), b1 = static_cast<unsigned char>(bytes[1]);
    if (b0 == 0xFE && b1 == 0xFF) big = true, i = 2;
    else if (b0 == 0xFF && b1 == 0xFE) i = 2;
  }
  auto unit = [&](size_t at) -> char32_t {
    auto a = static_cast<unsigned char>(bytes[at]), b = static_cast<unsigned char>(bytes[at + 1]);
    return big ? (char32_t(a) << 8 | b) : (char32_t(b) << 8 | a);
  };
  std::string out;
  while (i + 1 < bytes.size()) {
    char32_t cp = unit(i);
    i += 2;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < bytes.size()) {
      char32_t lo = unit(i);
      if (lo >= 0xDC00 && lo < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp == 0) break;
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6)), out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12)), out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18)), out += char(0x80 | ((cp >> 12) & 0x3F)),
          out += char(0x80 | ((cp >> 6) & 0x3F)), out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// A link target's text: UTF-16 when it looks like it (Firefox), else UTF-8.
std::string decodeLinkTarget(const std::string& bytes) {
  bool utf16 = bytes.size() >= 2 &&
               ((static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                (static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF) ||
                (bytes.size() >= 4 && bytes[1] == '\0' && bytes[3] == '\0'));
  return utf16 ? utf16ToUtf8(bytes) : bytes;
}

std::string firstLine(const std::string& text, bool skipComments) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && !(skipComments && line[0] == '#')) return line;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return {};
}

class X11Selection final : public SelectionSource, public std::enable_shared_from_this<X11Selection> {
 public:
  X11Selection(Display* display, int fixesEvent) : display_(display), fixesEvent_(fixesEvent) {
    root_ = DefaultRootWindow(display_);
    window_ = XCreateSimpleWindow(display_, root_, -10, -10, 1, 1, 0, 0, 0);
    XSelectInput(display_, window_, PropertyChangeMask);
    auto atom = [&](const char* name) { return XInternAtom(display_, name, False); };
    clipboard_ = atom("CLIPBOARD");
    targets_ = atom("TARGETS");
    incr_ = atom("INCR");
    property_ = atom("CORVANE_SELECTION");
    utf8_ = atom("UTF8_STRING");
    html_ = atom("text/html");
    textPlainUtf8_ = atom("text/plain;charset=utf-8");
    mozUrlPriv_ = atom("text/x-moz-url-priv");
    chromiumSourceUrl_ = atom("chromium/x-source-url");
    mozUrl_ = atom("text/x-moz-url");
    uriList_ = atom("text/uri-list");
    netActiveWindow_ = atom("_NET_ACTIVE_WINDOW");
    netWmPid_ = atom("_NET_WM_PID");
    for (const char* name : {"TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE", "INCR"})
      skipped_.push_back(atom(name));
    XFixesSelectSelectionInput(display_, root_, clipboard_, XFixesSetSelectionOwnerNotifyMask);
    XFlush(display_);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { loop(); });
  }

  ~X11Selection() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
    if (wake_[0] >= 0) ::close(wake_[0]), ::close(wake_[1]);
  }

  FrontAppSnapshot frontApp() override {
    return onThread<FrontAppSnapshot>([this] { return frontAppNow(); });
  }

  std::optional<std::string> readSelection(const FrontAppSnapshot&) override { return std::nullopt; }

  CopyResult copySelection(const FrontAppSnapshot& app) override {
    return onThread<CopyResult>([this, app] { return copyNow(app); });
  }

 private:
  // Runs `job` on the connection's thread and waits for its answer.
  template <typename T>
  T onThread(std::function<T()> job) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(job));
    auto future = task->get_future();
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return T{};
      jobs_.push_back([task] { (*task)(); });
    }
    wake();
    return future.get();
  }

  void wake() {
    if (wake_[1] >= 0) {
      char c = 1;
      (void)!::write(wake_[1], &c, 1);
    }
  }

  void loop() {
    for (;;) {
      std::vector<std::function<void()>> jobs;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        jobs.swap(jobs_);
      }
      for (auto& job : jobs) job();
      while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        handleCommon(event);
      }
      pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
      ::poll(fds, wake_[0] >= 0 ? 2 : 1, 1000);
      if (fds[1].revents & POLLIN) {
        char buf[64];
        while (::read(wake_[0], buf, sizeof buf) > 0) {
        }
      }
    }
  }

  // Events that need an answer whatever we are waiting for.
  void handleCommon(XEvent& event) {
    if (event.type == SelectionRequest) {
      serve(event.xselectionrequest);
    } else if (event.type == SelectionClear) {
      if (event.xselectionclear.selection == clipboard_) serving_.clear();
    } else if (event.type == fixesEvent_ + XFixesSelectionNotify) {
      auto* n = reinterpret_cast<XFixesSelectionNotifyEvent*>(&event);
      if (n->selection == clipboard_ && n->owner != window_) ++changeCount_;
    }
  }

  // Answers a paste from the saved clipboard while we hold it.
  void serve(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    Atom property = request.property == None ? request.target : request.property;
    const long maxBytes = XMaxRequestSize(display_) * 4 - 100;
    if (request.selection == clipboard_ && !serving_.empty()) {
      if (request.target == targets_) {
        std::vector<Atom> atoms{targets_};
        for (const auto& saved : serving_) atoms.push_back(saved.target);
        XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
        reply.property = property;
      } else {
        for (const auto& saved : serving_) {
          if (saved.target != request.target) continue;
          // Larger values would need an INCR transfer of our own; refused.
          if (static_cast<long>(saved.data.size()) > maxBytes) break;
          int unit = saved.format == 32 ? sizeof(long) : saved.format / 8;
          XChangeProperty(display_, request.requestor, property, saved.type, saved.format, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(saved.data.data()),
                          static_cast<int>(saved.data.size() / std::max(unit, 1)));
          reply.property = property;
          break;
        }
      }
    }
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(display_);
  }

  // Processes events until `done` says so or the deadline passes.
  bool waitFor(const std::function<bool(XEvent&)>& done, Clock::time_point deadline) {
    for (;;) {
      while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        handleCommon(event);
        if (done(event)) return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd fd{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left));
    }
  }

  // Reads and deletes our property; nullopt when it is missing.
  std::optional<SavedTarget> takeProperty(size_t cap) {
    SavedTarget out;
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window_, property_, 0, static_cast<long>(cap / 4 + 1), True, AnyPropertyType,
                           &type, &format, &count, &after, &data) != Success)
      return std::nullopt;
    out.type = type;
    out.format = format;
    if (data) {
      size_t unit = format == 32 ? sizeof(long) : format == 16 ? 2 : 1;
      out.data.assign(reinterpret_cast<char*>(data), count * unit);
      XFree(data);
    }
    if (type == None) return std::nullopt;
    return out;
  }

  // One conversion of `selection` to `target`, INCR included; nullopt on
  // refusal, time-out or a value over the size cap.
  std::optional<SavedTarget> convert(Atom selection, Atom target, Clock::duration limit, size_t cap = kTargetSizeCap) {
    const auto deadline = Clock::now() + limit;
    XDeleteProperty(display_, window_, property_);
    XConvertSelection(display_, selection, target, property_, window_, CurrentTime);
    XFlush(display_);
    bool refused = false;
    if (!waitFor(
            [&](XEvent& e) {
              if (e.type != SelectionNotify || e.xselection.requestor != window_ ||
                  e.xselection.selection != selection)
                return false;
              refused = e.xselection.property == None;
              return true;
            },
            deadline) ||
        refused)
      return std::nullopt;
    auto value = takeProperty(cap);
    if (!value) return std::nullopt;
    if (value->type != incr_) {
      if (value->data.size() > cap) return std::nullopt;
      value->target = target;
      return value;
    }
    // INCR: the owner sends chunks, each after we deleted the previous one.
    SavedTarget whole;
    whole.target = target;
    XFlush(display_);
    for (;;) {
      if (!waitFor(
              [&](XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window_ && e.xproperty.atom == property_ &&
                       e.xproperty.state == PropertyNewValue;
              },
              deadline))
        return std::nullopt;
      auto chunk = takeProperty(cap);
      XFlush(display_);
      if (!chunk) return std::nullopt;
      if (chunk->data.empty()) break;
      whole.type = chunk->type;
      whole.format = chunk->format;
      if (whole.data.size() + chunk->data.size() > cap) return std::nullopt;
      whole.data += chunk->data;
    }
    return whole;
  }

  std::vector<Atom> targetList(Atom selection, Clock::duration limit) {
    std::vector<Atom> atoms;
    auto value = convert(selection, targets_, limit, 64 * 1024);
    if (!value || value->format != 32) return atoms;
    const auto* list = reinterpret_cast<const long*>(value->data.data());
    for (size_t i = 0; i < value->data.size() / sizeof(long); ++i) atoms.push_back(static_cast<Atom>(list[i]));
    return atoms;
  }

  std::vector<SavedTarget> saveClipboard() {
    std::vector<SavedTarget> saved;
    if (XGetSelectionOwner(display_, clipboard_) == None) return saved;
    const auto deadline = Clock::now() + kSaveTimeCap;
    for (Atom target : targetList(clipboard_, kTargetTimeCap)) {
      if (std::find(skipped_.begin(), skipped_.end(), target) != skipped_.end()) continue;
      auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) break;
      if (auto value = convert(clipboard_, target, std::min<Clock::duration>(left, kTargetTimeCap)))
        saved.push_back(std::move(*value));
    }
    return saved;
  }

  std::optional<std::string> readText(Atom selection, const std::vector<Atom>& offered) {
    for (Atom target : {utf8_, textPlainUtf8_, XA_STRING}) {
      if (!offered.empty() && std::find(offered.begin(), offered.end(), target) == offered.end()) continue;
      if (auto value = convert(selection, target, kReadTimeCap)) return value->data;
    }
    return std::nullopt;
  }

  std::optional<std::string> readLink(const std::vector<Atom>& offered) {
    auto has = [&](Atom a) { return std::find(offered.begin(), offered.end(), a) != offered.end(); };
    for (Atom target : {mozUrlPriv_, chromiumSourceUrl_, mozUrl_, uriList_}) {
      if (!has(target)) continue;
      auto value = convert(clipboard_, target, kReadTimeCap);
      if (!value) continue;
      std::string text = decodeLinkTarget(value->data);
      std::string line = firstLine(text, target == uriList_);
      if (!line.empty()) return line;
    }
    return std::nullopt;
  }

  std::string windowClass(Window window, std::string* instance) {
    XClassHint hint{};
    if (!XGetClassHint(display_, window, &hint)) return {};
    std::string cls = hint.res_class ? hint.res_class : "";
    if (instance) *instance = hint.res_name ? hint.res_name : "";
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return cls;
  }

  Window activeWindow() {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Window window = None;
    if (XGetWindowProperty(display_, root_, netActiveWindow_, 0, 1, False, XA_WINDOW, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      if (count == 1) window = *reinterpret_cast<Window*>(data);
      XFree(data);
    }
    if (window == None) {
      // No window manager: the focus window, walked up to a client window.
      int revert;
      XGetInputFocus(display_, &window, &revert);
      if (window == PointerRoot || window == None || window == root_) {
        // Focus follows the pointer: the top-level window under it.
        Window r, child = None;
        int rx, ry, wx, wy;
        unsigned mask;
        window = XQueryPointer(display_, root_, &r, &child, &rx, &ry, &wx, &wy, &mask) ? child : None;
      }
      for (int depth = 0; window != None && window != root_ && depth < 16; ++depth) {
        if (!windowClass(window, nullptr).empty()) break;
        Window rootReturn, parent;
        Window* children = nullptr;
        unsigned n;
        if (!XQueryTree(display_, window, &rootReturn, &parent, &children, &n)) break;
        if (children) XFree(children);
        window = parent;
      }
      if (window == root_) window = None;
    }
    return window;
  }

  FrontAppSnapshot frontAppNow() {
    FrontAppSnapshot app;
    Window window = activeWindow();
    if (window == None) return app;
    app.window = window;
    app.name = windowClass(window, &app.appId);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window, netWmPid_, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
      if (count == 1) app.pid = static_cast<int64_t>(*reinterpret_cast<unsigned long*>(data));
      XFree(data);
    }
    return app;
  }

  bool modifiersHeld() {
    Window r, c;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(display_, root_, &r, &c, &rx, &ry, &wx, &wy, &mask);
    if (mask & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask)) return true;
    // The trigger key itself: while it is down its passive grab is active and
    // our Ctrl+C would go to the grabbing client, not the application.
    char keys[32];
    XQueryKeymap(display_, keys);
    return std::any_of(std::begin(keys), std::end(keys), [](char k) { return k != 0; });
  }

  void pressCopy() {
    KeyCode control = XKeysymToKeycode(display_, XK_Control_L);
    KeyCode c = XKeysymToKeycode(display_, XK_c);
    XTestFakeKeyEvent(display_, control, True, CurrentTime);
    XTestFakeKeyEvent(display_, c, True, CurrentTime);
    XTestFakeKeyEvent(display_, c, False, CurrentTime);
    XTestFakeKeyEvent(display_, control, False, CurrentTime);
    XFlush(display_);
  }

  // Takes CLIPBOARD back with what it held before the copy.
  void restore(std::vector<SavedTarget> saved) {
    if (saved.empty()) {
      // Nothing was there before: the copied text does not stay behind.
      XSetSelectionOwner(display_, clipboard_, None, CurrentTime);
      serving_.clear();
    } else {
      serving_ = std::move(saved);
      XSetSelectionOwner(display_, clipboard_, window_, CurrentTime);
      if (XGetSelectionOwner(display_, clipboard_) != window_) serving_.clear();
    }
    XFlush(display_);
  }

  CopyResult copyNow(const FrontAppSnapshot& app) {
    CopyResult result;
    // The trigger's own modifiers would turn Ctrl+C into another shortcut, and
    // its key still down would steer Ctrl+C to the hotkey's grab.
    const auto modifierDeadline = Clock::now() + kModifierWait;
    while (modifiersHeld() && Clock::now() < modifierDeadline) std::this_thread::sleep_for(15ms);
    // The user switched applications meanwhile: copying there would clip the wrong thing.
    if (app.window != 0) {
      auto now = frontAppNow();
      bool same = app.pid > 0 && now.pid > 0 ? now.pid == app.pid : now.window == app.window;
      if (!same) return result;
    }

    if (isTerminalClass(app.name) || isTerminalClass(app.appId)) {
      // Ctrl+C in a terminal interrupts; its selection is already PRIMARY.
      if (XGetSelectionOwner(display_, XA_PRIMARY) != None) result.text = readText(XA_PRIMARY, {});
      return result;
    }

    auto saved = saveClipboard();
    // Drain notifications so only the copy's own owner change counts.
    waitFor([](XEvent&) { return false; }, Clock::now());
    const auto before = changeCount_;
    pressCopy();
    const auto copyDeadline = Clock::now() + kCopyWait;
    bool changed = waitFor([&](XEvent&) { return changeCount_ != before; }, Clock::now() + kCopyWait / 2);
    if (!changed) {
      // A keystroke that arrived while the trigger's own grab was still active
      // went to the grabbing client, not the application: once more.
      pressCopy();
      changed = waitFor([&](XEvent&) { return changeCount_ != before; }, copyDeadline);
    }
    if (!changed) return result;
    auto offered = targetList(clipboard_, kReadTimeCap);
    result.text = readText(clipboard_, offered);
    if (std::find(offered.begin(), offered.end(), html_) != offered.end())
      if (auto html = convert(clipboard_, html_, kReadTimeCap))
        result.html = decodeLinkTarget(html->data);
    result.pasteboardLink = readLink(offered);
    restore(std::move(saved));
    return result;
  }

  Display* display_;
  int fixesEvent_;
  Window root_ = None, window_ = None;
  Atom clipboard_, targets_, incr_, property_, utf8_, html_, textPlainUtf8_;
  Atom mozUrlPriv_, chromiumSourceUrl_, mozUrl_, uriList_, netActiveWindow_, netWmPid_;
  std::vector<Atom> skipped_;
  std::vector<SavedTarget> serving_;  // thread only
  uint64_t changeCount_ = 0;          // thread only
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::function<void()>> jobs_;
  std::thread thread_;
};

}  // namespace

bool isTerminalClass(const std::string& windowClass) {
  static const char* const kTerminals[] = {
      "xterm",   "uxterm",    "urxvt",  "rxvt",          "gnome-terminal", "gnome-terminal-server", "konsole",
      "xfce4-terminal", "terminator", "tilix", "alacritty", "kitty", "st", "st-256color", "foot", "wezterm",
      "org.wezfurlong.wezterm", "lxterminal", "mate-terminal", "qterminal", "sakura", "terminology", "guake",
      "tilda", "yakuake", "io.elementary.terminal", "org.gnome.console", "kgx", "org.gnome.ptyxis", "ptyxis"};
  const std::string c = lower(windowClass);
  return std::any_of(std::begin(kTerminals), std::end(kTerminals), [&](const char* t) { return c == t; });
}

Result<std::shared_ptr<SelectionSource>> makeX11SelectionSource(std::string display) {
  Display* d = XOpenDisplay(display.empty() ? nullptr : display.c_str());
  if (!d) return fail("cannot open the X display");
  int fixesEvent = 0, fixesError = 0, xtestEvent, xtestError, major, minor;
  if (!XFixesQueryExtension(d, &fixesEvent, &fixesError)) {
    XCloseDisplay(d);
    return fail("the X server has no XFIXES");
  }
  if (!XTestQueryExtension(d, &xtestEvent, &xtestError, &major, &minor)) {
    XCloseDisplay(d);
    return fail("the X server has no XTEST");
  }
  return std::shared_ptr<SelectionSource>(std::make_shared<X11Selection>(d, fixesEvent));
}

}  // namespace corvane::platform
