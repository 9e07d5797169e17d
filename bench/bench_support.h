#pragma once
// Pieces shared by the note benchmarks: a queue that drops background jobs (the
// benchmarks time the caller), a folder watcher that watches nothing, and a
// private temporary HOME removed at exit.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "core/queue.h"
#include "core/result.h"
#include "platform/folder_watcher.h"

namespace corvane::benchsupport {

class IdleQueue final : public TaskQueue {
 public:
  explicit IdleQueue(std::string label) : label_(std::move(label)) {}
  void post(Task) override {}
  TaskHandle postDelayed(Duration, Task) override { return TaskHandle(); }
  bool runsTasksInCurrentSequence() const override { return false; }
  const std::string& label() const override { return label_; }
  void runSync(Task task) override { task(); }

 private:
  std::string label_;
};

class NoWatcher final : public platform::FolderWatcher {
 public:
  Result<std::unique_ptr<platform::FolderWatch>> watch(const std::filesystem::path&,
                                                       std::function<void(const platform::FolderChange&)>) override {
    return fail("not watched");
  }
};

// `pattern` is a mkdtemp template with static storage ("/tmp/…-XXXXXX"); it
// becomes HOME for the rest of the run.
inline std::filesystem::path makeBenchHome(char* pattern) {
  if (!::mkdtemp(pattern)) std::abort();
  ::setenv("HOME", pattern, 1);
  static char* removeAtExit = pattern;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(removeAtExit, ec);
  });
  return std::filesystem::path(pattern);
}

}  // namespace corvane::benchsupport
