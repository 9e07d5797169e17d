#include "platform/linux/atspi/atspi_access.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace corvane::platform {

namespace {

constexpr int kCallTimeoutMs = 300;
constexpr int kMaxParents = 14;
constexpr int kMaxVisited = 3000;
constexpr int kMaxDepth = 64;

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A reference-counted accessible, released on scope exit.
struct Ref {
  AtspiAccessible* p = nullptr;
  Ref() = default;
  explicit Ref(AtspiAccessible* a) : p(a) {}
  Ref(Ref&& o) noexcept : p(o.p) { o.p = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      reset();
      p = o.p;
      o.p = nullptr;
    }
    return *this;
  }
  ~Ref() { reset(); }
  void reset() {
    if (p) g_object_unref(p);
    p = nullptr;
  }
  explicit operator bool() const { return p != nullptr; }
};

void clear(GError*& error) {
  if (error) g_error_free(error);
  error = nullptr;
}

bool hasState(AtspiAccessible* a, AtspiStateType state) {
  AtspiStateSet* set = atspi_accessible_get_state_set(a);
  if (!set) return false;
  bool has = atspi_state_set_contains(set, state);
  g_object_unref(set);
  return has;
}

class Access final : public AtspiAccess {
 public:
  explicit Access(std::chrono::milliseconds limit) : limit_(limit) {
    thread_ = std::thread([this] { loop(); });
  }
  ~Access() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    // A call stuck in D-Bus ends at its own time-out.
    if (thread_.joinable()) thread_.join();
  }

  bool started() {
    return run<bool>([this] { return ready_; }).value_or(false);
  }

  std::optional<std::string> selectedText(const FrontAppSnapshot& app) override {
    if (app.pid <= 0) return std::nullopt;
    return run<std::optional<std::string>>([this, pid = app.pid] { return selectedTextNow(pid); }).value_or(std::nullopt);
  }

  SourceLookupResult lookUp(const FrontAppSnapshot& app) override {
    SourceLookupResult result;
    if (app.pid > 0)
      if (auto url = run<std::optional<std::string>>([this, pid = app.pid] { return documentURLNow(pid); }))
        result.accessibilityURL = *url;
    // A browser whose page we cannot see needs its own accessibility switched on.
    result.permissionDenied =
        !result.accessibilityURL && (isBrowserClass(app.name) || isBrowserClass(app.appId));
    return result;
  }

 private:
  template <typename T>
  std::optional<T> run(std::function<T()> job) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(job));
    auto future = task->get_future();
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return std::nullopt;
      jobs_.push_back([task] { (*task)(); });
    }
    cv_.notify_all();
    if (future.wait_for(limit_) != std::future_status::ready) return std::nullopt;
    return future.get();
  }

  void loop() {
    ready_ = atspi_init() >= 0;
    atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs * 3);
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) break;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  Ref application(int64_t pid) {
    GError* error = nullptr;
    Ref desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    int n = atspi_accessible_get_child_count(desktop.p, &error);
    clear(error);
    for (int i = 0; i < n; ++i) {
      Ref app(atspi_accessible_get_child_at_index(desktop.p, i, &error));
      clear(error);
      if (!app) continue;
      guint appPid = atspi_accessible_get_process_id(app.p, &error);
      clear(error);
      if (static_cast<int64_t>(appPid) == pid) return app;
    }
    return {};
  }

  // Depth first for the element with STATE_FOCUSED (or, with `role`, the
  // first element of that role), visiting a bounded number of elements.
  Ref find(AtspiAccessible* root, std::optional<AtspiRole> role) {
    int visited = 0;
    std::function<Ref(AtspiAccessible*, int)> walk = [&](AtspiAccessible* node, int depth) -> Ref {
      if (++visited > kMaxVisited || depth > kMaxDepth) return {};
      GError* error = nullptr;
      int n = atspi_accessible_get_child_count(node, &error);
      clear(error);
      for (int i = 0; i < n && visited <= kMaxVisited; ++i) {
        Ref child(atspi_accessible_get_child_at_index(node, i, &error));
        clear(error);
        if (!child) continue;
        bool match = role ? atspi_accessible_get_role(child.p, &error) == *role : hasState(child.p, ATSPI_STATE_FOCUSED);
        clear(error);
        if (match) return child;
        if (!role && !hasState(child.p, ATSPI_STATE_SHOWING)) continue;
        if (Ref found = walk(child.p, depth + 1)) return found;
      }
      return {};
    };
    return walk(root, 0);
  }

  std::optional<std::string> selectedTextNow(int64_t pid) {
    if (!ready_) return std::nullopt;
    Ref app = application(pid);
    if (!app) return std::nullopt;
    Ref focused = find(app.p, std::nullopt);
    if (focused) return selectionOf(focused.p);
    // A window that is not active reports no focused element (no window
    // manager, or focus just moving): the first selection showing in it.
    int visited = 0;
    std::function<std::optional<std::string>(AtspiAccessible*, int)> walk =
        [&](AtspiAccessible* node, int depth) -> std::optional<std::string> {
      if (++visited > kMaxVisited || depth > kMaxDepth) return std::nullopt;
      if (auto text = selectionOf(node)) return text;
      GError* error = nullptr;
      int n = atspi_accessible_get_child_count(node, &error);
      clear(error);
      for (int i = 0; i < n && visited <= kMaxVisited; ++i) {
        Ref child(atspi_accessible_get_child_at_index(node, i, &error));
        clear(error);
        if (!child || !hasState(child.p, ATSPI_STATE_SHOWING)) continue;
        if (auto text = walk(child.p, depth + 1)) return text;
      }
      return std::nullopt;
    };
    return walk(app.p, 0);
  }

  static std::optional<std::string> selectionOf(AtspiAccessible* node) {
    AtspiText* text = atspi_accessible_get_text_iface(node);
    if (!text) return std::nullopt;
    GError* error = nullptr;
    std::optional<std::string> out;
    if (atspi_text_get_n_selections(text, &error) > 0) {
      clear(error);
      if (AtspiRange* range = atspi_text_get_selection(text, 0, &error)) {
        if (range->end_offset > range->start_offset) {
          gchar* chars = atspi_text_get_text(text, range->start_offset, range->end_offset, &error);
          if (chars) {
            out = std::string(chars);
            g_free(chars);
          }
        }
        g_free(range);
      }
    }
    clear(error);
    g_object_unref(text);
    return out;
  }

  static std::optional<std::string> documentAddress(AtspiAccessible* a) {
    AtspiDocument* doc = atspi_accessible_get_document_iface(a);
    if (!doc) return std::nullopt;
    std::optional<std::string> out;
    for (const char* name : {"DocURL", "URI"}) {
      GError* error = nullptr;
      gchar* value = atspi_document_get_document_attribute_value(doc, const_cast<gchar*>(name), &error);
      clear(error);
      if (value) {
        std::string v = value;
        g_free(value);
        if (!v.empty()) {
          out = v;
          break;
        }
      }
    }
    g_object_unref(doc);
    return out;
  }

  std::optional<std::string> documentURLNow(int64_t pid) {
    if (!ready_) return std::nullopt;
    Ref app = application(pid);
    if (!app) return std::nullopt;
    Ref node = find(app.p, std::nullopt);
    for (int i = 0; node && i <= kMaxParents; ++i) {
      if (auto url = documentAddress(node.p)) return url;
      GError* error = nullptr;
      Ref parent(atspi_accessible_get_parent(node.p, &error));
      clear(error);
      node = std::move(parent);
    }
    if (Ref doc = find(app.p, ATSPI_ROLE_DOCUMENT_WEB)) return documentAddress(doc.p);
    return std::nullopt;
  }

  std::chrono::milliseconds limit_;
  bool ready_ = false;  // thread only
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

class AccessibleSelection final : public SelectionSource {
 public:
  AccessibleSelection(std::shared_ptr<SelectionSource> fallback, std::shared_ptr<AtspiAccess> access)
      : fallback_(std::move(fallback)), access_(std::move(access)) {}
  FrontAppSnapshot frontApp() override { return fallback_ ? fallback_->frontApp() : FrontAppSnapshot{}; }
  std::optional<std::string> readSelection(const FrontAppSnapshot& app) override {
    return access_ ? access_->selectedText(app) : std::nullopt;
  }
  CopyResult copySelection(const FrontAppSnapshot& app) override {
    return fallback_ ? fallback_->copySelection(app) : CopyResult{};
  }

 private:
  std::shared_ptr<SelectionSource> fallback_;
  std::shared_ptr<AtspiAccess> access_;
};

}  // namespace

bool isBrowserClass(const std::string& windowClass) {
  static const char* const kBrowsers[] = {"firefox",  "firefox-esr", "navigator",    "chromium", "chromium-browser",
                                          "google-chrome", "brave-browser", "microsoft-edge", "vivaldi-stable",
                                          "opera",    "librewolf",   "waterfox",     "epiphany", "org.gnome.epiphany"};
  const std::string c = lower(windowClass);
  return std::any_of(std::begin(kBrowsers), std::end(kBrowsers), [&](const char* b) { return c == b; });
}

std::shared_ptr<AtspiAccess> makeAtspiAccess(std::chrono::milliseconds limit) {
  auto access = std::make_shared<Access>(limit);
  if (!access->started()) return nullptr;
  return access;
}

std::shared_ptr<SelectionSource> withAccessibility(std::shared_ptr<SelectionSource> fallback,
                                                   std::shared_ptr<AtspiAccess> access) {
  return std::make_shared<AccessibleSelection>(std::move(fallback), std::move(access));
}

}  // namespace corvane::platform
