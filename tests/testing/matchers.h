#pragma once
// Matchers for Result values, so a failure test is one line:
//   EXPECT_THAT(validate(...), FailedWith("invalid count"));
#include <gmock/gmock.h>

#include "core/result.h"

namespace corvane::testing {

MATCHER(IsOk, "succeeds") {
  if (arg.has_value()) return true;
  *result_listener << "failed with \"" << arg.error() << "\"";
  return false;
}

MATCHER_P(HasValue, expected, "succeeds with " + ::testing::PrintToString(expected)) {
  if (!arg.has_value()) {
    *result_listener << "failed with \"" << arg.error() << "\"";
    return false;
  }
  if (*arg == expected) return true;
  *result_listener << "value is " << ::testing::PrintToString(*arg);
  return false;
}

MATCHER_P(FailedWith, message, std::string("fails with \"") + std::string(message) + "\"") {
  if (arg.has_value()) {
    *result_listener << "succeeded";
    return false;
  }
  if (arg.error() == message) return true;
  *result_listener << "failed with \"" << arg.error() << "\"";
  return false;
}

}  // namespace corvane::testing
