#include "platform/linux/x11/x11_input_service.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bitset>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace corvane::platform {

namespace {

// ---- Internal key codes and X key symbols.

struct KeyMap {
  uint16_t code;
  KeySym sym;
};

constexpr KeyMap kKeySyms[] = {
    {29, XK_0}, {18, XK_1}, {19, XK_2}, {20, XK_3}, {21, XK_4}, {23, XK_5}, {22, XK_6}, {26, XK_7}, {28, XK_8},
    {25, XK_9}, {0, XK_a}, {11, XK_b}, {8, XK_c}, {2, XK_d}, {14, XK_e}, {3, XK_f}, {5, XK_g}, {4, XK_h},
    {34, XK_i}, {38, XK_j}, {40, XK_k}, {37, XK_l}, {46, XK_m}, {45, XK_n}, {31, XK_o}, {35, XK_p}, {12, XK_q},
    {15, XK_r}, {1, XK_s}, {17, XK_t}, {32, XK_u}, {9, XK_v}, {13, XK_w}, {7, XK_x}, {16, XK_y}, {6, XK_z},
    {49, XK_space}, {36, XK_Return}, {48, XK_Tab}, {51, XK_BackSpace}, {123, XK_Left}, {124, XK_Right},
    {125, XK_Down}, {126, XK_Up}, {50, XK_grave}, {27, XK_minus}, {24, XK_equal}, {33, XK_bracketleft},
    {30, XK_bracketright}, {42, XK_backslash}, {41, XK_semicolon}, {39, XK_apostrophe}, {43, XK_comma},
    {47, XK_period}, {44, XK_slash}, {122, XK_F1}, {120, XK_F2}, {99, XK_F3}, {118, XK_F4}, {96, XK_F5},
    {97, XK_F6}, {98, XK_F7}, {100, XK_F8}, {101, XK_F9}, {109, XK_F10}, {103, XK_F11}, {111, XK_F12},
    {53, XK_Escape}, {36, XK_KP_Enter},
};

KeySym keySymForCode(uint16_t code) {
  for (const auto& k : kKeySyms)
    if (k.code == code) return k.sym;
  return NoSymbol;
}

uint32_t modifierFlagForKeySym(KeySym sym) {
  switch (sym) {
    case XK_Shift_L: case XK_Shift_R: return kFlagShift;
    case XK_Control_L: case XK_Control_R: return kFlagControl;
    case XK_Alt_L: case XK_Alt_R: case XK_Meta_L: case XK_Meta_R: return kFlagOption;
    case XK_Super_L: case XK_Super_R: return kFlagCommand;
    default: return 0;
  }
}

unsigned xModifiersFor(uint32_t modifiers) {
  unsigned mask = 0;
  if (modifiers & kModShift) mask |= ShiftMask;
  if (modifiers & kModControl) mask |= ControlMask;
  if (modifiers & kModOption) mask |= Mod1Mask;
  if (modifiers & kModCommand) mask |= Mod4Mask;
  return mask;
}

uint32_t flagsForXState(unsigned state) {
  uint32_t flags = 0;
  if (state & ShiftMask) flags |= kFlagShift;
  if (state & ControlMask) flags |= kFlagControl;
  if (state & Mod1Mask) flags |= kFlagOption;
  if (state & Mod4Mask) flags |= kFlagCommand;
  return flags;
}

// ---- Error handling. Xlib's handlers are process-wide; ours answers for our
// connection and hands every other display's errors to whoever was installed
// before (GDK in the shell).

std::mutex handlerMutex;
std::set<Display*> ourDisplays;
std::map<Display*, unsigned char> lastErrors;  // error code per display, 0 = none
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIOErrorHandler = nullptr;
bool handlersInstalled = false;

int onXError(Display* display, XErrorEvent* error) {
  {
    std::lock_guard lock(handlerMutex);
    if (ourDisplays.count(display)) {
      if (!lastErrors[display]) lastErrors[display] = error->error_code;
      return 0;
    }
  }
  return previousErrorHandler ? previousErrorHandler(display, error) : 0;
}

int onXIOError(Display* display) {
  {
    std::lock_guard lock(handlerMutex);
    // Losing our own connection ends capture, not the program: the exit
    // handler of that display stops its thread.
    if (ourDisplays.count(display)) return 0;
  }
  return previousIOErrorHandler ? previousIOErrorHandler(display) : 0;
}

void installHandlers() {
  std::lock_guard lock(handlerMutex);
  if (handlersInstalled) return;
  previousErrorHandler = XSetErrorHandler(onXError);
  previousIOErrorHandler = XSetIOErrorHandler(onXIOError);
  handlersInstalled = true;
}

// ---- The event thread's queue: tasks run between X events.

class EventThreadQueue final : public TaskQueue {
 public:
  explicit EventThreadQueue(int wakeFd) : wakeFd_(wakeFd) {}
  void post(Task task) override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;  // dropping the task releases a runSync waiter
      ready_.push_back(std::move(task));
    }
    wake();
  }
  TaskHandle postDelayed(Duration delay, Task task) override {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
      std::lock_guard lock(mutex_);
      if (closed_) return TaskHandle(cancelled);
      delayed_.emplace(std::chrono::steady_clock::now() + delay, std::make_pair(std::move(task), cancelled));
    }
    wake();
    return TaskHandle(cancelled);
  }
  bool runsTasksInCurrentSequence() const override { return threadId_.load() == std::this_thread::get_id(); }
  const std::string& label() const override { return label_; }

  void open() {
    std::lock_guard lock(mutex_);
    closed_ = false;
  }
  void bindToCurrentThread() { threadId_ = std::this_thread::get_id(); }
  void unbind() { threadId_ = std::thread::id(); }
  // Runs what is due; returns the poll time-out in milliseconds (-1: none).
  int runDue() {
    std::deque<Task> ready;
    {
      std::lock_guard lock(mutex_);
      ready.swap(ready_);
      auto now = std::chrono::steady_clock::now();
      while (!delayed_.empty() && delayed_.begin()->first <= now) {
        auto node = delayed_.extract(delayed_.begin());
        auto& [task, cancelled] = node.mapped();
        if (!cancelled->load()) ready.push_back(std::move(task));
      }
    }
    for (auto& task : ready) task();
    std::lock_guard lock(mutex_);
    if (!ready_.empty()) return 0;
    if (delayed_.empty()) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(delayed_.begin()->first - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, wait.count()));
  }
  // Drops what is left (the thread is ending); runSync waiters are released.
  void drop() {
    std::deque<Task> ready;
    std::multimap<MonoTime, std::pair<Task, std::shared_ptr<std::atomic<bool>>>> delayed;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      ready.swap(ready_);
      delayed.swap(delayed_);
    }
  }

 private:
  void wake() {
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd_, &one, sizeof one);
    (void)n;
  }
  int wakeFd_;
  std::string label_ = "com.corvane.input";
  std::mutex mutex_;
  std::deque<Task> ready_;
  std::multimap<MonoTime, std::pair<Task, std::shared_ptr<std::atomic<bool>>>> delayed_;
  std::atomic<std::thread::id> threadId_{};
  bool closed_ = true;
};

class X11InputService final : public InputService, public std::enable_shared_from_this<X11InputService> {
 public:
  explicit X11InputService(std::string display)
      : displayName_(std::move(display)), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), queue_(wakeFd_) {}
  ~X11InputService() override {
    stop();
    ::close(wakeFd_);
  }

  Result<void> start() override {
    std::lock_guard lock(lifecycle_);
    if (running_) return ok();
    installHandlers();
    Display* display = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
    if (!display) return fail("no X11 display to capture from");
    {
      std::lock_guard hl(handlerMutex);
      ourDisplays.insert(display);
    }
    XSetIOErrorExitHandler(display, &X11InputService::onConnectionLost, this);
    int event, error;
    int major = 2, minor = 2;
    bool xi = XQueryExtension(display, "XInputExtension", &xiOpcode_, &event, &error) &&
              XIQueryVersion(display, &major, &minor) == Success;
    int tEvent, tError, tMajor, tMinor;
    bool xtest = XTestQueryExtension(display, &tEvent, &tError, &tMajor, &tMinor);
    if (!xi) {
      closeDisplay(display);
      return fail("the X server has no XInput 2: keys and buttons cannot be observed");
    }
    dpy_ = display;
    xtest_ = xtest;
    root_ = DefaultRootWindow(dpy_);
    Bool supported = False;
    XkbSetDetectableAutoRepeat(dpy_, True, &supported);
    readKeyboardMapping();
    unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(mask, XI_RawKeyPress);
    XISetMask(mask, XI_RawKeyRelease);
    XISetMask(mask, XI_RawButtonPress);
    XIEventMask eventMask{XIAllMasterDevices, static_cast<int>(sizeof mask), mask};
    XISelectEvents(dpy_, root_, &eventMask, 1);
    XSelectInput(dpy_, root_, KeyPressMask | KeyReleaseMask);
    XSync(dpy_, False);
    running_ = true;
    lost_ = false;
    queue_.open();
    thread_ = std::thread([this] { loop(); });
    return ok();
  }

  void stop() override {
    std::lock_guard lock(lifecycle_);
    if (!running_) return;
    // Release every grab before the connection goes (closing would too, but
    // this keeps the order explicit). A lost connection has no thread left.
    if (lost_) stopping_ = true;
    queue_.runSync([this] {
      if (!lost_) {
        for (auto& [id, grab] : hotkeys_) ungrabHotkey(grab);
        hotkeys_.clear();
        for (int b : grabbedButtons_) XUngrabButton(dpy_, b, AnyModifier, root_);
        grabbedButtons_.clear();
        if (keyboardGrabbed_) XUngrabKeyboard(dpy_, CurrentTime);
        keyboardGrabbed_ = false;
        XSync(dpy_, False);
      }
      stopping_ = true;
    });
    thread_.join();
    closeDisplay(dpy_);
    dpy_ = nullptr;
    running_ = false;
    stopping_ = false;
  }

  bool running() const override {
    std::lock_guard lock(lifecycle_);
    return running_ && !lost_;
  }
  bool trusted() const override { return running() && xtest_; }

  void setEventHandler(EventHandler handler) override {
    std::lock_guard lock(handlerLock_);
    eventHandler_ = std::move(handler);
  }
  void setHotkeyHandler(HotkeyHandler handler) override {
    std::lock_guard lock(handlerLock_);
    hotkeyHandler_ = std::move(handler);
  }

  Result<void> registerHotkey(int id, uint16_t keyCode, uint32_t modifiers) override {
    Result<void> result = fail("not running");
    onThread([&] { result = grabHotkey(id, keyCode, modifiers); });
    return result;
  }
  void unregisterHotkey(int id) override {
    onThread([&] {
      auto it = hotkeys_.find(id);
      if (it == hotkeys_.end()) return;
      ungrabHotkey(it->second);
      hotkeys_.erase(it);
      XSync(dpy_, False);
    });
  }

  void setDecidedButtons(std::vector<int64_t> buttons) override {
    // Called on the event thread by the hook; a task keeps other callers safe.
    auto apply = [this, buttons = std::move(buttons)] {
      if (!dpy_ || lost_) return;
      std::set<int> wanted;
      for (int64_t b : buttons)
        if (int x = xButtonForPointerButton(b); x >= 2) wanted.insert(x);
      for (auto it = grabbedButtons_.begin(); it != grabbedButtons_.end();) {
        if (wanted.count(*it)) {
          ++it;
          continue;
        }
        XUngrabButton(dpy_, *it, AnyModifier, root_);
        it = grabbedButtons_.erase(it);
      }
      for (int x : wanted) {
        if (grabbedButtons_.count(x)) continue;
        clearError();
        XGrabButton(dpy_, x, AnyModifier, root_, False, ButtonPressMask | ButtonReleaseMask, GrabModeSync,
                    GrabModeAsync, None, None);
        XSync(dpy_, False);
        if (takeError() == 0) grabbedButtons_.insert(x);
      }
      XFlush(dpy_);
    };
    if (queue_.runsTasksInCurrentSequence()) {
      apply();
    } else {
      queue_.post(std::move(apply));
    }
  }

  Result<void> grabKeyboard() override {
    Result<void> result = fail("not running");
    onThread([&] {
      if (keyboardGrabbed_) {
        result = ok();
        return;
      }
      int status = XGrabKeyboard(dpy_, root_, False, GrabModeAsync, GrabModeAsync, CurrentTime);
      if (status == GrabSuccess) {
        keyboardGrabbed_ = true;
        result = ok();
      } else {
        result = fail("another application holds the keyboard");
      }
    });
    return result;
  }
  void ungrabKeyboard() override {
    onThread([&] {
      if (!keyboardGrabbed_) return;
      XUngrabKeyboard(dpy_, CurrentTime);
      XFlush(dpy_);
      keyboardGrabbed_ = false;
    });
  }

  Result<void> sendKey(uint16_t keyCode, uint32_t flags) override {
    Result<void> result = fail("not running");
    onThread([&] {
      if (!xtest_) {
        result = fail("the X server has no XTEST");
        return;
      }
      KeyCode key = XKeysymToKeycode(dpy_, keySymForCode(keyCode));
      if (!key) {
        result = fail("no key for that code on this keyboard");
        return;
      }
      std::vector<KeyCode> modifiers;
      if (flags & kFlagControl) modifiers.push_back(XKeysymToKeycode(dpy_, XK_Control_L));
      if (flags & kFlagShift) modifiers.push_back(XKeysymToKeycode(dpy_, XK_Shift_L));
      if (flags & kFlagOption) modifiers.push_back(XKeysymToKeycode(dpy_, XK_Alt_L));
      if (flags & kFlagCommand) modifiers.push_back(XKeysymToKeycode(dpy_, XK_Super_L));
      auto fake = [this](KeyCode code, bool press) {
        expected_.push_back({code, press});
        XTestFakeKeyEvent(dpy_, code, press ? True : False, CurrentTime);
      };
      for (KeyCode m : modifiers) fake(m, true);
      fake(key, true);
      fake(key, false);
      for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) fake(*it, false);
      XFlush(dpy_);
      result = ok();
    });
    return result;
  }

  TaskQueue& queue() override { return queue_; }

 private:
  struct HotkeyGrab {
    KeyCode key;
    unsigned modifiers;
  };

  static void onConnectionLost(Display*, void* self) {
    auto* service = static_cast<X11InputService*>(self);
    service->lost_ = true;
  }

  void closeDisplay(Display* display) {
    if (!display) return;
    if (!lost_) XCloseDisplay(display);
    std::lock_guard hl(handlerMutex);
    ourDisplays.erase(display);
    lastErrors.erase(display);
  }

  // Runs `task` on the event thread and waits (inline when already there).
  void onThread(const std::function<void()>& task) {
    if (queue_.runsTasksInCurrentSequence()) {
      if (dpy_ && !lost_) task();
      return;
    }
    {
      std::lock_guard lock(lifecycle_);
      if (!running_) return;
    }
    queue_.runSync([&] {
      if (dpy_ && !lost_) task();
    });
  }

  void clearError() {
    std::lock_guard hl(handlerMutex);
    lastErrors[dpy_] = 0;
  }
  unsigned char takeError() {
    std::lock_guard hl(handlerMutex);
    auto code = lastErrors[dpy_];
    lastErrors[dpy_] = 0;
    return code;
  }

  std::array<unsigned, 4> lockVariants() const {
    return {0u, static_cast<unsigned>(LockMask), numLockMask_, LockMask | numLockMask_};
  }

  Result<void> grabHotkey(int id, uint16_t keyCode, uint32_t modifiers) {
    if (auto it = hotkeys_.find(id); it != hotkeys_.end()) {
      ungrabHotkey(it->second);
      hotkeys_.erase(it);
    }
    KeySym sym = keySymForCode(keyCode);
    KeyCode key = sym == NoSymbol ? 0 : XKeysymToKeycode(dpy_, sym);
    if (!key) return fail("no key for that code on this keyboard");
    HotkeyGrab grab{key, xModifiersFor(modifiers)};
    clearError();
    for (unsigned variant : lockVariants())
      XGrabKey(dpy_, key, grab.modifiers | variant, root_, False, GrabModeAsync, GrabModeAsync);
    XSync(dpy_, False);
    if (takeError() != 0) {
      ungrabHotkey(grab);  // drop the variants that did succeed
      XSync(dpy_, False);
      takeError();
      return fail("refused");
    }
    hotkeys_[id] = grab;
    return ok();
  }

  void ungrabHotkey(const HotkeyGrab& grab) {
    for (unsigned variant : lockVariants()) XUngrabKey(dpy_, grab.key, grab.modifiers | variant, root_);
  }

  void readKeyboardMapping() {
    codeForKey_.fill(kNoKeyCode);
    modifierFlag_.fill(0);
    int minKey, maxKey;
    XDisplayKeycodes(dpy_, &minKey, &maxKey);
    for (int kc = minKey; kc <= maxKey && kc < 256; ++kc) {
      KeySym sym = XkbKeycodeToKeysym(dpy_, static_cast<KeyCode>(kc), 0, 0);
      modifierFlag_[kc] = modifierFlagForKeySym(sym);
      for (const auto& k : kKeySyms)
        if (k.sym == sym) {
          codeForKey_[kc] = k.code;
          break;
        }
    }
    numLockMask_ = 0;
    if (XModifierKeymap* map = XGetModifierMapping(dpy_)) {
      KeyCode numLock = XKeysymToKeycode(dpy_, XK_Num_Lock);
      for (int mod = 0; mod < 8; ++mod)
        for (int i = 0; i < map->max_keypermod; ++i)
          if (numLock && map->modifiermap[mod * map->max_keypermod + i] == numLock) numLockMask_ = 1u << mod;
      XFreeModifiermap(map);
    }
    if (!numLockMask_) numLockMask_ = Mod2Mask;
  }

  uint32_t heldFlags() const {
    uint32_t flags = 0;
    for (int kc = 0; kc < 256; ++kc)
      if (down_[kc]) flags |= modifierFlag_[kc];
    return flags;
  }

  bool takeExpected(int keycode, bool press) {
    if (expected_.empty()) return false;
    if (expected_.front().first != keycode || expected_.front().second != press) return false;
    expected_.pop_front();
    return true;
  }

  Verdict deliver(const InputEvent& event) {
    std::lock_guard lock(handlerLock_);
    return eventHandler_ ? eventHandler_(event) : Verdict::Pass;
  }

  void rawKey(const XIRawEvent& raw, bool press) {
    int kc = raw.detail;
    if (kc < 0 || kc >= 256) return;
    bool synthetic = takeExpected(kc, press);
    bool wasDown = down_[kc];
    down_[kc] = press;
    if (uint32_t flag = modifierFlag_[kc]) {
      uint32_t before = flagsHeld_;
      flagsHeld_ = heldFlags();
      if (flagsHeld_ == before) return;
      InputEvent event;
      event.kind = InputEventKind::FlagsChanged;
      event.flags = flagsHeld_;
      event.synthetic = synthetic;
      event.time = std::chrono::steady_clock::now();
      (void)flag;
      deliver(event);
      return;
    }
    // While the keyboard is ours, key presses arrive as core events with their
    // exact modifier state (see keyPress).
    if (!press || keyboardGrabbed_) return;
    InputEvent event;
    event.kind = InputEventKind::KeyDown;
    event.keyCode = codeForKey_[kc];
    event.flags = flagsHeld_;
    event.autoRepeat = wasDown;
    event.synthetic = synthetic;
    event.time = std::chrono::steady_clock::now();
    deliver(event);  // observed only: the key also reaches the application
  }

  void rawButton(const XIRawEvent& raw) {
    int x = raw.detail;
    if (grabbedButtons_.count(x)) return;  // decided through the grab
    int64_t button = pointerButtonForXButton(x);
    if (button < 0) return;
    InputEvent event;
    event.kind = button == 0 ? InputEventKind::LeftMouseDown
                 : button == 1 ? InputEventKind::RightMouseDown
                               : InputEventKind::OtherMouseDown;
    event.button = button;
    event.flags = flagsHeld_;
    event.time = std::chrono::steady_clock::now();
    deliver(event);
  }

  void grabbedButton(const XButtonEvent& press) {
    int64_t button = pointerButtonForXButton(static_cast<int>(press.button));
    InputEvent event;
    event.kind = button == 1 ? InputEventKind::RightMouseDown : InputEventKind::OtherMouseDown;
    event.button = button;
    event.flags = flagsForXState(press.state);
    event.time = std::chrono::steady_clock::now();
    Verdict verdict = button < 0 ? Verdict::Pass : deliver(event);
    // The pointer is frozen until this answer.
    XAllowEvents(dpy_, verdict == Verdict::Swallow ? AsyncPointer : ReplayPointer, press.time);
    XFlush(dpy_);
  }

  void keyPress(const XKeyEvent& key) {
    int kc = static_cast<int>(key.keycode);
    if (keyboardGrabbed_) {
      if (kc < 256 && modifierFlag_[kc]) return;  // modifiers alone are not a shortcut
      InputEvent event;
      event.kind = InputEventKind::KeyDown;
      event.keyCode = kc < 256 ? codeForKey_[kc] : kNoKeyCode;
      event.flags = flagsForXState(key.state);
      event.time = std::chrono::steady_clock::now();
      deliver(event);  // the grab already keeps it from every application
      return;
    }
    unsigned state = key.state & ~(LockMask | numLockMask_) & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask);
    for (const auto& [id, grab] : hotkeys_) {
      if (grab.key != kc || grab.modifiers != state) continue;
      if (hotkeysDown_.count(id)) return;  // auto-repeat
      hotkeysDown_.insert(id);
      std::lock_guard lock(handlerLock_);
      if (hotkeyHandler_) hotkeyHandler_(id, true);
      return;
    }
  }

  void keyRelease(const XKeyEvent& key) {
    int kc = static_cast<int>(key.keycode);
    for (auto it = hotkeysDown_.begin(); it != hotkeysDown_.end();) {
      auto grab = hotkeys_.find(*it);
      if (grab == hotkeys_.end() || grab->second.key == kc) {
        int id = *it;
        it = hotkeysDown_.erase(it);
        if (grab == hotkeys_.end()) continue;
        std::lock_guard lock(handlerLock_);
        if (hotkeyHandler_) hotkeyHandler_(id, false);
      } else {
        ++it;
      }
    }
  }

  void handle(XEvent& event) {
    if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
      if (!XGetEventData(dpy_, &event.xcookie)) return;
      const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
      switch (event.xcookie.evtype) {
        case XI_RawKeyPress: rawKey(*raw, true); break;
        case XI_RawKeyRelease: rawKey(*raw, false); break;
        case XI_RawButtonPress: rawButton(*raw); break;
        default: break;
      }
      XFreeEventData(dpy_, &event.xcookie);
      return;
    }
    switch (event.type) {
      case KeyPress: keyPress(event.xkey); break;
      case KeyRelease: keyRelease(event.xkey); break;
      case ButtonPress: grabbedButton(event.xbutton); break;
      case ButtonRelease: break;
      case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        readKeyboardMapping();
        break;
      default: break;
    }
  }

  void loop() {
    queue_.bindToCurrentThread();
    const int xfd = ConnectionNumber(dpy_);
    while (!stopping_ && !lost_) {
      int timeout = queue_.runDue();
      if (stopping_ || lost_) break;
      while (!lost_ && XPending(dpy_) > 0) {
        XEvent event;
        XNextEvent(dpy_, &event);
        handle(event);
      }
      if (lost_) break;
      XFlush(dpy_);
      // A task may have read events into Xlib's queue (any round trip does);
      // those would not wake the poll.
      if (queue_.runDue() == 0 || XEventsQueued(dpy_, QueuedAlready) > 0) continue;
      pollfd fds[2] = {{xfd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
      ::poll(fds, 2, timeout);
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        ssize_t n = ::read(wakeFd_, &count, sizeof count);
        (void)n;
      }
    }
    queue_.unbind();
    queue_.drop();
  }

  std::string displayName_;
  int wakeFd_;
  EventThreadQueue queue_;
  mutable std::mutex lifecycle_;
  bool running_ = false;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> lost_{false};
  std::mutex handlerLock_;
  EventHandler eventHandler_;
  HotkeyHandler hotkeyHandler_;
  // Owned by the event thread (set up before it starts).
  Display* dpy_ = nullptr;
  Window root_ = 0;
  int xiOpcode_ = 0;
  bool xtest_ = false;
  unsigned numLockMask_ = Mod2Mask;
  std::array<uint16_t, 256> codeForKey_{};
  std::array<uint32_t, 256> modifierFlag_{};
  std::bitset<256> down_;
  uint32_t flagsHeld_ = 0;
  std::map<int, HotkeyGrab> hotkeys_;
  std::set<int> hotkeysDown_;
  std::set<int> grabbedButtons_;
  bool keyboardGrabbed_ = false;
  std::deque<std::pair<int, bool>> expected_;
};

}  // namespace

int xButtonForPointerButton(int64_t button) {
  if (button == 0) return 1;
  if (button == 1) return 3;
  if (button == 2) return 2;
  if (button >= 3 && button <= 250) return static_cast<int>(button + 5);
  return 0;
}

int64_t pointerButtonForXButton(int xButton) {
  if (xButton == 1) return 0;
  if (xButton == 3) return 1;
  if (xButton == 2) return 2;
  if (xButton >= 8) return xButton - 5;
  return -1;  // the wheel (4–7)
}

std::shared_ptr<InputService> makeX11InputService(std::string display) {
  return std::make_shared<X11InputService>(std::move(display));
}

}  // namespace corvane::platform
