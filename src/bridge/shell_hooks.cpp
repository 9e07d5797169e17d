#include "bridge/shell_hooks.h"

#include <memory>
#include <mutex>

namespace corvane::bridge {

namespace {
std::mutex& hooksMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<const ShellHooks>& hooksSlot() {
  static std::shared_ptr<const ShellHooks> slot = std::make_shared<ShellHooks>();
  return slot;
}
std::shared_ptr<const ShellHooks> currentHooks() {
  std::lock_guard lock(hooksMutex());
  return hooksSlot();
}
}  // namespace

ShellHooks shellHooks() { return *currentHooks(); }

void installShellHooks(ShellHooks hooks) {
  std::lock_guard lock(hooksMutex());
  hooksSlot() = std::make_shared<const ShellHooks>(std::move(hooks));
}

void updateShellHooks(const std::function<void(ShellHooks&)>& change) {
  std::lock_guard lock(hooksMutex());
  auto next = std::make_shared<ShellHooks>(*hooksSlot());
  change(*next);
  hooksSlot() = std::move(next);
}

void emitEvent(std::string_view name, std::string_view payloadJson) {
  auto hooks = currentHooks();
  if (hooks->emitEvent) hooks->emitEvent(name, payloadJson);
}

}  // namespace corvane::bridge
