#pragma once
// Shared by the fuzz targets: a broken invariant aborts with its name, and a
// private temporary home for targets whose code reads or writes files.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace corvane::fuzzing {

inline void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// HOME and the XDG folders point into one fresh folder for the whole run.
inline const std::filesystem::path& privateHome() {
  static const std::filesystem::path home = [] {
    char pattern[] = "/tmp/corvane-fuzz-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    std::filesystem::path h = pattern;
    ::setenv("HOME", h.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (h / ".local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (h / ".config").c_str(), 1);
    return h;
  }();
  return home;
}

}  // namespace corvane::fuzzing
