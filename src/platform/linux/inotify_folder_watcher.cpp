// The folder watch on Linux: one inotify descriptor per watch, read by a thread
// that also waits on an eventfd so that stopping never blocks on the kernel.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "core/files.h"
#include "platform/folder_watcher.h"

namespace corvane::platform {

namespace {

constexpr uint32_t kMask = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                           IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Shared between the watch object and its thread, so a watch destroyed from
// its own callback can let the thread finish on its own.
struct WatchState {
  int inotifyFd = -1;
  int wakeFd = -1;
  std::atomic<bool> alive{true};
  std::atomic<bool> stopping{false};
  std::function<void(const FolderChange&)> onChange;

  ~WatchState() {
    if (inotifyFd >= 0) ::close(inotifyFd);
    if (wakeFd >= 0) ::close(wakeFd);
  }
};

void runWatch(const std::shared_ptr<WatchState>& state) {
  alignas(struct inotify_event) char buffer[16384];
  while (!state->stopping.load()) {
    pollfd fds[2] = {{state->inotifyFd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (state->stopping.load() || (fds[1].revents & POLLIN) != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;

    FolderChange change;
    // Drain everything queued now into one batch.
    while (true) {
      ssize_t n = ::read(state->inotifyFd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (char* p = buffer; p < buffer + n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(p);
        if (event->mask & IN_Q_OVERFLOW) change.overflow = true;
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) change.folderGone = true;
        if (event->len > 0) change.names.emplace_back(event->name);
        p += sizeof(struct inotify_event) + event->len;
      }
    }
    if (change.names.empty() && !change.overflow && !change.folderGone) continue;
    if (change.folderGone) state->alive.store(false);
    if (!state->stopping.load() && state->onChange) state->onChange(change);
    if (change.folderGone) break;
  }
}

class InotifyWatch final : public FolderWatch {
 public:
  InotifyWatch(std::shared_ptr<WatchState> state) : state_(std::move(state)) {
    thread_ = std::thread([s = state_] { runWatch(s); });
  }
  ~InotifyWatch() override {
    state_->stopping.store(true);
    uint64_t one = 1;
    ssize_t written = ::write(state_->wakeFd, &one, sizeof one);
    (void)written;
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
  }
  bool alive() const override { return state_->alive.load(); }

 private:
  std::shared_ptr<WatchState> state_;
  std::thread thread_;
};

class InotifyFolderWatcher final : public FolderWatcher {
 public:
  Result<std::unique_ptr<FolderWatch>> watch(const std::filesystem::path& folder,
                                             std::function<void(const FolderChange&)> onChange) override {
    auto state = std::make_shared<WatchState>();
    state->onChange = std::move(onChange);
    state->inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state->inotifyFd < 0) return fail("cannot watch folder: " + errnoMessage(errno));
    state->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->wakeFd < 0) return fail("cannot watch folder: " + errnoMessage(errno));
    if (::inotify_add_watch(state->inotifyFd, folder.c_str(), kMask) < 0)
      return fail("cannot watch folder: " + errnoMessage(errno));
    return std::unique_ptr<FolderWatch>(std::make_unique<InotifyWatch>(std::move(state)));
  }
};

}  // namespace

std::shared_ptr<FolderWatcher> makeInotifyFolderWatcher() { return std::make_shared<InotifyFolderWatcher>(); }

}  // namespace corvane::platform
