#pragma once
// Extra tools of corvane-cli beyond running bridge commands. A subsystem adds
// one by writing `int runX(const std::vector<std::string>& args)` in its own
// library and one row in kSubcommands (main.cpp). A tool runs with the main
// thread bound as the main queue's thread and the command-line shell hooks
// installed; it returns the process exit status.
#include <string>
#include <string_view>
#include <vector>

namespace corvane::cli {

struct Subcommand {
  std::string_view name;     // first argument, e.g. "fetch"
  std::string_view usage;    // e.g. "fetch URL [--out FILE]"
  std::string_view summary;  // one line for --help
  int (*run)(const std::vector<std::string>& args);  // the arguments after the name
};

}  // namespace corvane::cli
