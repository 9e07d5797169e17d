#pragma once
// PCRE2 (UTF, with JIT) behind one small wrapper. Every entry point validates the
// subject's UTF-8 once and then matches without re-checking, so a loop over the
// matches of a large body stays linear. Invalid UTF-8 subjects never match.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"

namespace corvane {

class Regex {
 public:
  enum Flag : unsigned { None = 0, CaseInsensitive = 1, DotAll = 2, Multiline = 4 };

  // For patterns written in code: a bad pattern is a programming error and aborts.
  explicit Regex(std::string_view pattern, unsigned flags = None);
  // For patterns from input: a bad pattern is a failure value.
  static Result<Regex> compile(std::string_view pattern, unsigned flags = None);

  class Match {
   public:
    std::string_view text() const { return group(0); }
    // The text of a capture group; empty when the group did not take part.
    std::string_view group(size_t index) const;
    bool hasGroup(size_t index) const;
    size_t start() const { return spans_.empty() ? 0 : spans_[0].first; }
    size_t end() const { return spans_.empty() ? 0 : spans_[0].second; }
    size_t groupCount() const { return spans_.size(); }

   private:
    friend class Regex;
    std::string_view subject_;
    std::vector<std::pair<size_t, size_t>> spans_;  // SIZE_MAX start = unset
  };

  bool matches(std::string_view subject) const;
  std::optional<Match> firstMatch(std::string_view subject) const;
  std::vector<Match> allMatches(std::string_view subject) const;
  // Calls fn for each non-overlapping match in order; fn returns false to stop.
  void forEach(std::string_view subject, const std::function<bool(const Match&)>& fn) const;

  // Replaces every match using a template: $0..$99 insert groups, "\$" and "\\"
  // insert the escaped character.
  std::string replaceAll(std::string_view subject, std::string_view replacementTemplate) const;
  std::string replaceAll(std::string_view subject, const std::function<std::string(const Match&)>& fn) const;
  // Expands a template for one match (as replaceAll does).
  static void expandTemplate(const Match& m, std::string_view tmpl, std::string& out);

 public:
  struct Code;  // the compiled pattern (opaque)

 private:
  explicit Regex(std::shared_ptr<const Code> code) : code_(std::move(code)) {}
  std::shared_ptr<const Code> code_;
};

}  // namespace corvane
