#include "bridge/validator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/command.h"
#include "testing/matchers.h"

namespace corvane::bridge {
namespace {

using corvane::testing::FailedWith;
using corvane::testing::HasValue;
using corvane::testing::IsOk;

std::string repeat(std::string_view piece, size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

struct Case {
  const char* label;
  std::string command;
  Json args;
  const char* failure;  // nullptr: valid
};

class ValidatorCases : public ::testing::TestWithParam<Case> {};

TEST_P(ValidatorCases, GivesTheExpectedAnswer) {
  const Case& c = GetParam();
  auto result = IPCValidator::validate(c.command, c.args);
  if (c.failure) EXPECT_THAT(result, FailedWith(std::string(c.failure)));
  else EXPECT_THAT(result, IsOk());
}

Json ids(size_t count) {
  Json a = Json::array();
  for (size_t i = 0; i < count; ++i) a.push_back("n" + std::to_string(i));
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidatorCases,
    ::testing::Values(
        Case{"NoArgumentsTakesNone", "get_settings", {{"x", 1}}, "unexpected argument"},
        Case{"NoArgumentsEmpty", "get_settings", Json::object(), nullptr},
        Case{"NullArgsMeansNone", "get_settings", Json(), nullptr},
        Case{"ArrayArgs", "get_settings", Json::array(), "unexpected argument"},
        Case{"MissingRequired", "rename_note", {{"id", "a"}}, "missing argument"},
        Case{"UnexpectedBeforeMissing", "rename_note", {{"x", 1}}, "unexpected argument"},
        Case{"EmptyRequiredText", "rename_note", {{"id", "a"}, {"name", ""}}, "invalid name"},
        Case{"NullRequiredIsPresentButInvalid", "rename_note", {{"id", nullptr}, {"name", "x"}}, "invalid id"},
        Case{"NullableHtmlNull", "create_note", {{"name", "n"}, {"html", nullptr}}, nullptr},
        Case{"NullableHtmlEmpty", "create_note", {{"name", "n"}, {"html", ""}}, nullptr},
        Case{"NullableHtmlOmitted", "create_note", {{"name", "n"}}, nullptr},
        Case{"NullableHtmlNumber", "create_note", {{"name", "n"}, {"html", 1}}, "invalid html"},
        Case{"RequiredHtmlEmpty", "append_note", {{"id", "a"}, {"html", ""}}, "invalid html"},
        Case{"FractionIsNotInteger", "set_grid_count", {{"count", 9.5}}, "invalid count"},
        Case{"BooleanIsNotInteger", "set_grid_count", {{"count", true}}, "invalid count"},
        Case{"TextIsNotInteger", "set_grid_count", {{"count", "3"}}, "invalid count"},
        Case{"WholeFloatIsInteger", "set_grid_count", {{"count", 9.0}}, nullptr},
        Case{"LargestSafeInteger", "set_grid_count", {{"count", 9007199254740991}}, nullptr},
        Case{"SmallestSafeInteger", "set_grid_count", {{"count", -9007199254740991}}, nullptr},
        Case{"BeyondSafeInteger", "set_grid_count", {{"count", 9007199254740992u}}, "invalid count"},
        Case{"BeyondSafeNegative", "set_grid_count", {{"count", -9007199254740992}}, "invalid count"},
        Case{"HugeFloat", "set_grid_count", {{"count", 1e300}}, "invalid count"},
        Case{"NullRequiredInteger", "set_grid_count", {{"count", nullptr}}, "invalid count"},
        Case{"OneIsNotBoolean", "set_show_tips", {{"on", 1}}, "invalid on"},
        Case{"Boolean", "set_show_tips", {{"on", false}}, nullptr},
        Case{"OptionalIntegerIsNotNullable", "list_notes", {{"limit", nullptr}}, "invalid limit"},
        Case{"OptionalIntegerOmitted", "list_notes", Json::object(), nullptr},
        Case{"FiveHundredIds", "remember_grid_state", {{"ids", ids(500)}}, nullptr},
        Case{"TooManyIds", "remember_grid_state", {{"ids", ids(501)}}, "invalid ids"},
        Case{"EmptyId", "remember_grid_state", {{"ids", Json::array({"a", ""})}}, "invalid ids"},
        Case{"NumberAmongIds", "remember_grid_state", {{"ids", Json::array({"a", 1})}}, "invalid ids"},
        Case{"IdsNotArray", "remember_grid_state", {{"ids", "a"}}, "invalid ids"},
        Case{"NullAutoCount", "remember_grid_state", {{"ids", Json::array()}, {"autoCount", nullptr}}, nullptr},
        Case{"FractionAutoCount", "remember_grid_state", {{"ids", Json::array()}, {"autoCount", 1.5}},
             "invalid autoCount"},
        Case{"IdLimitIsBytes", "get_note_body", {{"id", repeat("é", 128)}}, "invalid id"},
        Case{"IdAtByteLimit", "get_note_body", {{"id", repeat("é", 64)}}, nullptr},
        Case{"OptionalLevelMayNotBeEmpty", "log_client_event", {{"level", ""}, {"message", "m"}},
             "invalid level"},
        Case{"NullableKindMayBeEmpty", "log_notification", {{"text", "t"}, {"kind", ""}}, nullptr},
        Case{"NullableKindTooLong", "log_notification", {{"text", "t"}, {"kind", repeat("k", 33)}}, "invalid kind"},
        Case{"SizeBeforeKind", "get_note_body", {{"id", repeat("x", 3000000)}}, "arguments too large"},
        Case{"MissingBeforeSize", "set_note_body", {{"id", repeat("x", 3000000)}}, "missing argument"},
        Case{"EscapingCountsTowardsSize", "set_note_body", {{"id", "a"}, {"html", repeat("\"", 4500000)}},
             "arguments too large"},
        // {"id":"a","html":"…"} is 20 bytes plus the escaped text: exactly the limit passes.
        Case{"ExactlyTheLimit", "set_note_body", {{"id", "a"}, {"html", repeat("\"", 989990) + repeat("x", 7020000)}},
             nullptr},
        Case{"OneByteOverTheLimit", "set_note_body",
             {{"id", "a"}, {"html", repeat("\"", 989991) + repeat("x", 7019999)}}, "arguments too large"},
        Case{"HtmlOverEightMebibytes", "append_note", {{"id", "a"}, {"html", repeat("x", 8388609)}}, "invalid html"},
        Case{"InvalidUtf8CannotBeSerialised", "search_notes", {{"query", "\xff"}}, "arguments too large"},
        Case{"LongCommandName", repeat("a", 65), Json::object(), "unknown command"},
        Case{"LongNameWithValidPrefix", "get_settings" + repeat("_", 53), Json::object(), "unknown command"},
        Case{"UnknownCommand", "nope", Json::object(), "unknown command"},
        Case{"EmptyCommand", "", Json::object(), "unknown command"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.label); });

TEST(Validator, EveryCommandWithoutFieldsRejectsAnyArgument) {
  size_t withoutFields = 0;
  for (auto name : IPCValidator::commandNames()) {
    const Schema* schema = IPCValidator::schema(name);
    ASSERT_NE(schema, nullptr) << name;
    if (!schema->fields.empty()) continue;
    ++withoutFields;
    EXPECT_THAT(IPCValidator::validate(name, Json::object()), IsOk()) << name;
    EXPECT_THAT(IPCValidator::validate(name, {{"x", nullptr}}), FailedWith("unexpected argument")) << name;
  }
  EXPECT_EQ(withoutFields, 37u);
  EXPECT_EQ(IPCValidator::commandNames().size(), 80u);
}

TEST(Validator, SizeLimitsDependOnTheCommand) {
  EXPECT_EQ(IPCValidator::schema("persist_pasted_image")->sizeLimit, 60000000u);
  for (auto name : {"set_note_body", "append_note", "create_note"})
    EXPECT_EQ(IPCValidator::schema(name)->sizeLimit, 9000000u) << name;
  EXPECT_EQ(IPCValidator::schema("get_note_body")->sizeLimit, 2200000u);
  EXPECT_EQ(IPCValidator::schema("rename_note")->sizeLimit, 2200000u);
}

// ---- Router

TEST(Router, ValidatesBeforeAnyHandlerRuns) {
  Router router;
  int calls = 0;
  router.add(HandlerGroup::Settings, "set_grid_count", [&](const Json&) {
    ++calls;
    return replyNull();
  });
  EXPECT_THAT(router.route("set_grid_count", {{"count", 9.5}}), FailedWith("invalid count"));
  EXPECT_EQ(calls, 0);
  EXPECT_THAT(router.route("set_grid_count", {{"count", 3}}), HasValue(std::string("null")));
  EXPECT_EQ(calls, 1);
}

TEST(Router, ACommandInTheTableWithoutHandlerIsUnknownByName) {
  Router router;
  EXPECT_THAT(router.route("count_notes", Json::object()), FailedWith("unknown command: count_notes"));
  // Names outside the table never reach the handler map.
  router.add(HandlerGroup::Notes, "not_in_table", [](const Json&) { return replyNull(); });
  EXPECT_THAT(router.route("not_in_table", Json::object()), FailedWith("unknown command"));
}

TEST(Router, AnEarlierGroupKeepsItsCommand) {
  Router router;
  router.add(HandlerGroup::Settings, "count_notes", [](const Json&) { return replyJson(2); });
  router.add(HandlerGroup::Notes, "count_notes", [](const Json&) { return replyJson(1); });
  router.add(HandlerGroup::Bindings, "count_notes", [](const Json&) { return replyJson(3); });
  EXPECT_THAT(router.route("count_notes", Json::object()), HasValue(std::string("1")));
}

TEST(Router, AThrowingHandlerBecomesAFailure) {
  Router router;
  router.add(HandlerGroup::Settings, "get_settings", [](const Json& args) -> CommandResult {
    return replyJson(args.at("missing"));
  });
  auto result = router.route("get_settings", Json::object());
  ASSERT_FALSE(result.has_value());
  EXPECT_THAT(result.error(), ::testing::HasSubstr("missing"));
}

}  // namespace
}  // namespace corvane::bridge
