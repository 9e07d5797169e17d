#pragma once
// Failures are values: a Result<T> holds either a T or the exact failure message
// that callers pass on (often all the way to the page, where it is shown as is).
#include <string>
#include <utility>

#include <tl/expected.hpp>

namespace corvane {

template <class T = void>
class [[nodiscard]] Result : public tl::expected<T, std::string> {
 public:
  using Base = tl::expected<T, std::string>;
  using Base::Base;
  Result(const Base& b) : Base(b) {}
  Result(Base&& b) : Base(std::move(b)) {}

  // The failure message; only meaningful when !has_value().
  const std::string& message() const { return this->error(); }
};

// Builds the failure side of any Result: `return fail("invalid note id");`
inline tl::unexpected<std::string> fail(std::string message) {
  return tl::unexpected<std::string>(std::move(message));
}

inline Result<void> ok() { return {}; }

}  // namespace corvane

// Propagates a failure from an expression yielding a Result; evaluates to nothing.
#define CORVANE_TRY(expr)                                                   \
  do {                                                                      \
    auto&& _cv_try_result = (expr);                                         \
    if (!_cv_try_result.has_value())                                        \
      return ::corvane::fail(std::move(_cv_try_result).error());            \
  } while (0)

// Unwraps a Result into a new variable or returns its failure.
#define CORVANE_TRY_ASSIGN(var, expr)                                       \
  auto _cv_try_##var = (expr);                                              \
  if (!_cv_try_##var.has_value())                                           \
    return ::corvane::fail(std::move(_cv_try_##var).error());               \
  auto var = std::move(*_cv_try_##var)
