#include "core/regex.h"

#include <pcre2.h>

#include <cstdio>
#include <cstdlib>

#include "core/text.h"

namespace corvane {

struct Regex::Code {
  pcre2_code* code = nullptr;
  bool jit = false;
  ~Code() { pcre2_code_free(code); }
};

namespace {

struct ThreadMatchState {
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* stack = nullptr;
  ThreadMatchState() {
    context = pcre2_match_context_create(nullptr);
    stack = pcre2_jit_stack_create(32 * 1024, 4 * 1024 * 1024, nullptr);
    pcre2_jit_stack_assign(context, nullptr, stack);
  }
  ~ThreadMatchState() {
    pcre2_jit_stack_free(stack);
    pcre2_match_context_free(context);
  }
};

ThreadMatchState& threadState() {
  thread_local ThreadMatchState state;
  return state;
}

struct MatchData {
  pcre2_match_data* data;
  explicit MatchData(const pcre2_code* code) : data(pcre2_match_data_create_from_pattern(code, nullptr)) {}
  ~MatchData() { pcre2_match_data_free(data); }
};

Result<std::shared_ptr<const Regex::Code>> compileCode(std::string_view pattern, unsigned flags);

}  // namespace

namespace {
Result<std::shared_ptr<const Regex::Code>> compileCode(std::string_view pattern, unsigned flags) {
  uint32_t options = PCRE2_UTF | PCRE2_UCP;
  if (flags & Regex::CaseInsensitive) options |= PCRE2_CASELESS;
  if (flags & Regex::DotAll) options |= PCRE2_DOTALL;
  if (flags & Regex::Multiline) options |= PCRE2_MULTILINE;
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error,
                                   &offset, nullptr);
  if (!code) {
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(error, buffer, sizeof buffer);
    return fail(std::string(reinterpret_cast<char*>(buffer)) + " at offset " + std::to_string(offset));
  }
  auto result = std::make_shared<Regex::Code>();
  result->code = code;
  result->jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
  return std::shared_ptr<const Regex::Code>(result);
}
}  // namespace

Regex::Regex(std::string_view pattern, unsigned flags) {
  auto code = compileCode(pattern, flags);
  if (!code) {
    std::fprintf(stderr, "corvane: bad built-in pattern %.*s: %s\n", static_cast<int>(pattern.size()),
                 pattern.data(), code.error().c_str());
    std::abort();
  }
  code_ = std::move(*code);
}

Result<Regex> Regex::compile(std::string_view pattern, unsigned flags) {
  auto code = compileCode(pattern, flags);
  if (!code) return fail(code.error());
  return Regex(std::move(*code));
}

std::string_view Regex::Match::group(size_t index) const {
  if (!hasGroup(index)) return {};
  return subject_.substr(spans_[index].first, spans_[index].second - spans_[index].first);
}

bool Regex::Match::hasGroup(size_t index) const {
  return index < spans_.size() && spans_[index].first != SIZE_MAX;
}

void Regex::forEach(std::string_view subject, const std::function<bool(const Match&)>& fn) const {
  if (!isValidUtf8(subject)) return;
  auto& state = threadState();
  MatchData md(code_->code);
  const auto* base = reinterpret_cast<PCRE2_SPTR>(subject.data());
  size_t offset = 0;
  uint32_t options = 0;
  // One Match reused for every callback: no allocation per match.
  Match m;
  m.subject_ = subject;
  while (offset <= subject.size()) {
    // The JIT fast path cannot anchor at match time; the rare retry after an
    // empty match goes through the interpreter.
    int rc = (code_->jit && options == 0) ? pcre2_jit_match(code_->code, base, subject.size(), offset, options, md.data, state.context)
                        : pcre2_match(code_->code, base, subject.size(), offset, options | PCRE2_NO_UTF_CHECK,
                                      md.data, state.context);
    if (rc == PCRE2_ERROR_NOMATCH && options != 0) {
      // An empty match was refused at this point: step one code point and retry.
      options = 0;
      if (offset >= subject.size()) break;
      ++offset;
      while (offset < subject.size() && (static_cast<unsigned char>(subject[offset]) & 0xC0) == 0x80) ++offset;
      continue;
    }
    if (rc < 0) break;
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
    uint32_t pairs = pcre2_get_ovector_count(md.data);
    m.spans_.resize(pairs);
    for (uint32_t i = 0; i < pairs; ++i) {
      if (ov[2 * i] == PCRE2_UNSET) m.spans_[i] = {SIZE_MAX, SIZE_MAX};
      else m.spans_[i] = {ov[2 * i], ov[2 * i + 1]};
    }
    if (!fn(m)) return;
    size_t start = ov[0], end = ov[1];
    offset = end;
    // After an empty match, the next match may not be empty at the same place.
    options = (start == end) ? (PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED) : 0;
  }
}

bool Regex::matches(std::string_view subject) const { return firstMatch(subject).has_value(); }

std::optional<Regex::Match> Regex::firstMatch(std::string_view subject) const {
  std::optional<Match> found;
  forEach(subject, [&](const Match& m) {
    found = m;
    return false;
  });
  return found;
}

std::vector<Regex::Match> Regex::allMatches(std::string_view subject) const {
  std::vector<Match> out;
  forEach(subject, [&](const Match& m) {
    out.push_back(m);
    return true;
  });
  return out;
}

void Regex::expandTemplate(const Match& m, std::string_view tmpl, std::string& out) {
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c == '\\' && i + 1 < tmpl.size()) {
      out += tmpl[++i];
    } else if (c == '$' && i + 1 < tmpl.size() && tmpl[i + 1] >= '0' && tmpl[i + 1] <= '9') {
      size_t group = static_cast<size_t>(tmpl[++i] - '0');
      // A second digit belongs to the number only when that group exists.
      if (i + 1 < tmpl.size() && tmpl[i + 1] >= '0' && tmpl[i + 1] <= '9') {
        size_t two = group * 10 + static_cast<size_t>(tmpl[i + 1] - '0');
        if (two < m.groupCount()) {
          group = two;
          ++i;
        }
      }
      out += m.group(group);
    } else {
      out += c;
    }
  }
}

std::string Regex::replaceAll(std::string_view subject, std::string_view tmpl) const {
  return replaceAll(subject, [&](const Match& m) {
    std::string piece;
    expandTemplate(m, tmpl, piece);
    return piece;
  });
}

std::string Regex::replaceAll(std::string_view subject, const std::function<std::string(const Match&)>& fn) const {
  // forEach validates the subject; an invalid one has no matches and comes
  // back unchanged.
  std::string out;
  size_t last = 0;
  bool any = false;
  forEach(subject, [&](const Match& m) {
    if (!any) out.reserve(subject.size());
    any = true;
    out.append(subject.data() + last, m.start() - last);
    out += fn(m);
    last = m.end();
    return true;
  });
  if (!any) return std::string(subject);
  out.append(subject.data() + last, subject.size() - last);
  return out;
}

}  // namespace corvane
