#include <gtest/gtest.h>
#include "core/json.h"
TEST(Smoke, Builds) { EXPECT_EQ(corvane::jsonStringLiteral("a\"b"), "\"a\\\"b\""); }
