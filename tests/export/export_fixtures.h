#pragma once
// Helpers for the export tests: running the document tools on written files
// and a small real PNG.
#include <filesystem>
#include <string>

namespace corvane::exports::testing {

// True when `tool` is on the PATH.
bool haveTool(const std::string& tool);
// Runs a shell command; its standard output, and the exit status in `status`.
std::string run(const std::string& command, int* status = nullptr);
std::string quote(const std::filesystem::path& p);
// A 40 × 30 PNG, filled with one dark colour.
std::string smallPng();

}  // namespace corvane::exports::testing
