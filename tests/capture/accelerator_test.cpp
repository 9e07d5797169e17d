#include "capture/accelerator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace corvane::capture {
namespace {

using namespace platform;
using corvane::testing::FailedWith;
using corvane::testing::HasValue;

TEST(Accelerator, ParsesTheStoredGrammar) {
  static const struct {
    const char* text;
    std::optional<Accelerator> expected;
  } cases[] = {
      {"Option+a", Accelerator{0, kModOption}},
      {"a+Option", Accelerator{0, kModOption}},
      {"Cmd+Shift+F12", Accelerator{111, kModCommand | kModShift}},
      {"Option++A", Accelerator{0, kModOption}},
      {"Alt+C", Accelerator{8, kModOption}},
      {"Super+Ctrl+Opt+Meta+K", Accelerator{40, kModCommand | kModControl | kModOption}},
      {"Cmd+Cmd+A", Accelerator{0, kModCommand}},  // stored text may repeat a modifier
      {"A+B", Accelerator{11, 0}},                  // the last key wins
      {"Return", Accelerator{36, 0}},
      {"Enter", Accelerator{36, 0}},
      {"Option", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"Option+Foo", std::nullopt},
      {"option+A", Accelerator{0, 0}},  // modifiers are compared exactly: two keys, the last wins
      {"Option+é", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseAccelerator(c.text), c.expected) << c.text;
}

TEST(Accelerator, KeyTableBothWays) {
  EXPECT_EQ(keyCodeForName("z"), 6);
  EXPECT_EQ(keyCodeForName("\\"), 42);
  EXPECT_EQ(keyCodeForName("f1"), std::nullopt);  // only single characters fold
  EXPECT_EQ(keyNameForCode(36), "Return");
  EXPECT_EQ(keyNameForCode(29), "0");
  EXPECT_EQ(keyNameForCode(111), "F12");
  EXPECT_EQ(keyNameForCode(53), std::nullopt);  // Escape is not bindable
  // Every name maps to a code whose name maps back to the same code.
  for (const char* name : {"0", "9", "A", "M", "Space", "Tab", "Backspace", "Up", "`", "/", "F5"}) {
    auto code = keyCodeForName(name);
    ASSERT_TRUE(code) << name;
    EXPECT_EQ(keyCodeForName(*keyNameForCode(*code)), code) << name;
  }
}

TEST(Accelerator, CapturedTextFollowsTheFixedOrder) {
  EXPECT_EQ(acceleratorText("K", kFlagShift | kFlagOption | kFlagControl | kFlagCommand), "Cmd+Ctrl+Option+Shift+K");
  EXPECT_EQ(acceleratorText("Space", kFlagOption), "Option+Space");
  EXPECT_EQ(modifiersToFlags(kModCommand | kModOption), kFlagCommand | kFlagOption);
  EXPECT_EQ(flagsToModifiers(kFlagControl | kFlagShift), kModControl | kModShift);
}

TEST(Accelerator, BindableShortcutsNeedARealModifier) {
  EXPECT_THAT(parseBindableAccelerator("Alt+C"), HasValue(Accelerator{8, kModOption}));
  EXPECT_THAT(parseBindableAccelerator("Ctrl+Shift+F12"), HasValue(Accelerator{111, kModControl | kModShift}));
  for (const char* plain : {"C", "Shift+C", "F5", "Shift+Return"})
    EXPECT_THAT(parseBindableAccelerator(plain), FailedWith(std::string(kPlainKeyRefusal))) << plain;
  std::string junk(128, 'x');
  junk[7] = '\x01';
  for (std::string bad : {std::string(""), std::string("+"), std::string("++"), std::string("Option"),
                          std::string("Option+Foo"), std::string("option+A"), std::string("Cmd+Cmd+A"),
                          std::string("Option+é"), std::string("Option++A"), std::string("Alt+A+B"), junk,
                          std::string("Alt+\t"), std::string("Alt+\x7f"), std::string("Alt+C\n")})
    EXPECT_THAT(parseBindableAccelerator(bad), FailedWith(std::string(kNotAShortcut))) << bad;
}

}  // namespace
}  // namespace corvane::capture
