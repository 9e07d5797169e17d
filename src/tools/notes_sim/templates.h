#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::notesim {

// A recognised script: its template's name and the values at its markers, in order.
struct Match {
  std::string name;
  std::vector<std::string> strings;
  std::vector<std::vector<std::string>> lists;
  std::vector<int64_t> numbers;
};

std::optional<Match> recognise(std::string_view script);

}  // namespace corvane::notesim
