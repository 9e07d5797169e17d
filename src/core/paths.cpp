#include "core/paths.h"

#include <cstdlib>

namespace corvane {

namespace {
const char* env(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}
}  // namespace

std::filesystem::path homeDirectory() {
  if (const char* h = env("HOME")) return h;
  if (const char* h = env("USERPROFILE")) return h;
  return ".";
}

std::filesystem::path dataDirectory() { return homeDirectory() / "Corvane"; }

std::filesystem::path applicationSupportDirectory() {
  if (const char* x = env("XDG_DATA_HOME")) return std::filesystem::path(x) / "Corvane";
  return homeDirectory() / ".local" / "share" / "Corvane";
}

std::filesystem::path configDirectory() {
  if (const char* x = env("XDG_CONFIG_HOME")) return std::filesystem::path(x) / "corvane";
  return homeDirectory() / ".config" / "corvane";
}

std::filesystem::path desktopDirectory() { return homeDirectory() / "Desktop"; }

}  // namespace corvane

namespace corvane {
std::filesystem::path bundledResourceDirectory() {
  if (const char* dir = std::getenv("CORVANE_RESOURCE_DIR"); dir && *dir) return std::filesystem::path(dir);
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return std::filesystem::path("share") / "corvane";
  return (exe.parent_path().parent_path() / "share" / "corvane").lexically_normal();
}
}  // namespace corvane
