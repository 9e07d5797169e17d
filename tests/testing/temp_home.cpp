#include "testing/temp_home.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvane::testing {

namespace {
std::filesystem::path makeTempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  if (!made) std::abort();
  return made;
}
void saveEnv(const char* name, std::string& saved, bool& had) {
  const char* v = std::getenv(name);
  had = v != nullptr;
  if (v) saved = v;
}
void restoreEnv(const char* name, const std::string& saved, bool had) {
  if (had) ::setenv(name, saved.c_str(), 1);
  else ::unsetenv(name);
}
}  // namespace

TempHome::TempHome() : path_(makeTempDir()) {
  saveEnv("HOME", savedHome_, hadHome_);
  saveEnv("XDG_DATA_HOME", savedData_, hadData_);
  saveEnv("XDG_CONFIG_HOME", savedConfig_, hadConfig_);
  ::setenv("HOME", path_.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
}

TempHome::~TempHome() {
  restoreEnv("HOME", savedHome_, hadHome_);
  restoreEnv("XDG_DATA_HOME", savedData_, hadData_);
  restoreEnv("XDG_CONFIG_HOME", savedConfig_, hadConfig_);
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  std::filesystem::remove_all(path_, ec);
}

void TempHome::write(const std::filesystem::path& relative, const std::string& content) const {
  auto full = path_ / relative;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary) << content;
}

std::string TempHome::read(const std::filesystem::path& relative) const {
  std::ifstream in(path_ / relative, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TempDir::TempDir() : path_(makeTempDir()) {}
TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

unsigned modeOf(const std::filesystem::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace corvane::testing
