#pragma once
// A temporary home for one test: HOME, XDG_DATA_HOME and XDG_CONFIG_HOME point
// into a fresh folder that is removed afterwards, so the data directory of the
// code under test is private to the test.
#include <filesystem>
#include <string>

namespace corvane::testing {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the home (creating folders), for fixtures.
  void write(const std::filesystem::path& relative, const std::string& content) const;
  std::string read(const std::filesystem::path& relative) const;

 private:
  std::filesystem::path path_;
  std::string savedHome_, savedData_, savedConfig_;
  bool hadHome_, hadData_, hadConfig_;
};

// A temporary folder (not a home), removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Permission bits of a path (lstat), for mode assertions.
unsigned modeOf(const std::filesystem::path& p);

}  // namespace corvane::testing
