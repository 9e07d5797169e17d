#include "bridge/validator.h"

#include <cmath>
#include <initializer_list>
#include <unordered_map>

namespace corvane::bridge {

namespace {

constexpr size_t kDefaultSizeLimit = 2200000;
constexpr size_t kNoteSizeLimit = 9000000;
constexpr size_t kPastedImageSizeLimit = 60000000;
constexpr uint32_t kMaxHtml = 8388608;

// Shorthands for the table below.
Field text(std::string_view name, uint32_t max) { return {name, {Kind::String, max}, true}; }
Field optionalText(std::string_view name, uint32_t max) { return {name, {Kind::String, max}, false}; }
Field nullableText(std::string_view name, uint32_t max) { return {name, {Kind::OptionalString, max}, false}; }
Field integer(std::string_view name) { return {name, {Kind::Integer}, true}; }
Field optionalInteger(std::string_view name) { return {name, {Kind::Integer}, false}; }
Field nullableInteger(std::string_view name) { return {name, {Kind::OptionalInteger}, false}; }
Field boolean(std::string_view name) { return {name, {Kind::Boolean}, true}; }
Field optionalBoolean(std::string_view name) { return {name, {Kind::Boolean}, false}; }
Field texts(std::string_view name, uint32_t maxCount, uint32_t maxLength) {
  return {name, {Kind::Strings, maxLength, maxCount}, true};
}

Schema entry(std::string_view command, std::initializer_list<Field> fields = {}) {
  size_t limit = kDefaultSizeLimit;
  if (command == "persist_pasted_image") limit = kPastedImageSizeLimit;
  else if (command == "set_note_body" || command == "append_note" || command == "create_note") limit = kNoteSizeLimit;
  return Schema{command, std::vector<Field>(fields), limit};
}

// Every command the page may send, in catalogue (routing group) order.
std::vector<Schema> buildTable() {
  return {
      // Window and updates.
      entry("hide_window"),
      entry("start_window_drag"),
      entry("settings_window", {boolean("active")}),
      entry("fit_grid_window", {integer("desiredWidth"), integer("desiredHeight"), integer("compactWidth"),
                                 integer("compactHeight"), integer("singleWidth"), integer("singleHeight")}),
      entry("set_grid_window_auto"),
      entry("notif_hold", {boolean("active")}),
      entry("get_update_status"),
      entry("get_update_history"),
      entry("check_for_updates"),
      entry("set_auto_update_checks", {boolean("on")}),
      // Notes, media, notification log, folder choice, import.
      entry("list_notes", {optionalInteger("limit")}),
      entry("get_note_body", {text("id", 128)}),
      entry("append_note", {text("id", 128), text("html", kMaxHtml)}),
      entry("set_note_body", {text("id", 128), text("html", kMaxHtml), optionalBoolean("force")}),
      entry("create_note", {text("name", 500), nullableText("html", kMaxHtml)}),
      entry("rename_note", {text("id", 128), text("name", 500)}),
      entry("delete_note", {text("id", 128)}),
      entry("search_notes", {text("query", 500)}),
      entry("deep_search_notes", {text("query", 500)}),
      entry("import_file"),
      entry("get_media_data_uri", {text("token", 255)}),
      entry("persist_pasted_image", {text("dataUri", 56000000)}),
      entry("get_media_health"),
      entry("get_notification_log"),
      entry("log_notification", {nullableText("id", 128), text("text", 2000), nullableText("kind", 32)}),
      entry("choose_folder"),
      // AI runs.
      entry("run_ai", {text("title", 500), nullableText("id", 128)}),
      entry("cancel_ai"),
      entry("test_ai_provider", {text("provider", 32)}),
      // Settings.
      entry("get_settings"),
      entry("save_model", {text("provider", 32), text("model", 500)}),
      entry("add_project", {text("title", 500), text("folderHandle", 128)}),
      entry("remove_project", {text("title", 500)}),
      entry("toggle_pin", {text("id", 128)}),
      entry("hide_note", {text("id", 128)}),
      entry("unhide_note", {text("id", 128)}),
      entry("list_hidden"),
      entry("count_notes"),
      entry("unhide_all"),
      entry("set_grid_count", {integer("count")}),
      entry("set_grid_auto"),
      entry("remember_grid_state", {texts("ids", 500, 128), nullableInteger("autoCount")}),
      entry("reset_defaults"),
      entry("set_ai_provider", {text("provider", 32)}),
      entry("set_show_tips", {boolean("on")}),
      entry("set_export_backup", {boolean("on")}),
      entry("set_beta_telemetry", {boolean("on")}),
      entry("log_client_event", {optionalText("level", 8), text("message", 4096)}),
      entry("open_export_backup_folder"),
      entry("set_terms_accepted", {boolean("accepted")}),
      entry("set_launch_at_login", {boolean("on")}),
      entry("set_note_source", {text("source", 32), nullableText("folderHandle", 128)}),
      // Usage statistics and account summary.
      entry("get_stats"),
      entry("get_insights"),
      entry("get_account"),
      // Shortcut bindings.
      entry("get_config"),
      entry("set_binding", {text("action", 64), text("accelerator", 128)}),
      entry("set_mouse", {text("action", 64), text("button", 64)}),
      entry("mark_configured"),
      entry("mark_tutorial_seen"),
      // Capture, onboarding and permissions.
      entry("begin_key_capture"),
      entry("end_key_capture"),
      entry("set_onboarding", {boolean("active")}),
      entry("set_onboarding_step", {text("step", 128)}),
      entry("onboarding_window", {boolean("active")}),
      entry("set_actions_enabled", {boolean("enabled")}),
      entry("begin_mouse_capture", {text("action", 64)}),
      entry("cancel_mouse_capture"),
      entry("reinstall_hook"),
      entry("open_accessibility_settings"),
      entry("open_input_monitoring_settings"),
      entry("open_automation_settings"),
      entry("request_notification_access"),
      entry("request_notes_access"),
      // Account sign-in and the biometric setting.
      entry("sign_in_google"),
      entry("sign_in_apple"),
      entry("sign_in_email", {text("email", 320)}),
      entry("sign_out"),
      entry("refresh_account"),
      entry("set_biometric_unlock", {boolean("on")}),
  };
}

struct Table {
  std::vector<Schema> schemas = buildTable();
  std::unordered_map<std::string_view, const Schema*> byName;
  std::vector<std::string_view> names;
  Table() {
    byName.reserve(schemas.size());
    for (const auto& s : schemas) {
      byName.emplace(s.command, &s);
      names.push_back(s.command);
    }
  }
};

const Table& table() {
  static const Table t;
  return t;
}

bool isSafeInteger(const Json& v) {
  switch (v.type()) {
    case Json::value_t::number_integer: {
      int64_t x = v.get<int64_t>();
      return x >= -kMaxSafeInteger && x <= kMaxSafeInteger;
    }
    case Json::value_t::number_unsigned: return v.get<uint64_t>() <= static_cast<uint64_t>(kMaxSafeInteger);
    case Json::value_t::number_float: {
      double x = v.get<double>();
      return std::isfinite(x) && std::trunc(x) == x && std::fabs(x) <= static_cast<double>(kMaxSafeInteger);
    }
    default: return false;  // booleans and everything else
  }
}

bool isTextWithin(const Json& v, size_t min, size_t max) {
  if (!v.is_string()) return false;
  size_t n = v.get_ref<const std::string&>().size();
  return n >= min && n <= max;
}

}  // namespace

bool Kind::accepts(const Json& value) const {
  switch (tag) {
    case String: return isTextWithin(value, 1, max);
    case OptionalString: return value.is_null() || isTextWithin(value, 0, max);
    case Strings: {
      if (!value.is_array() || value.size() > maxCount) return false;
      for (const auto& item : value)
        if (!isTextWithin(item, 1, max)) return false;
      return true;
    }
    case Integer: return isSafeInteger(value);
    case OptionalInteger: return value.is_null() || isSafeInteger(value);
    case Boolean: return value.is_boolean();
  }
  return false;
}

const Field* Schema::field(std::string_view name) const {
  for (const auto& f : fields)
    if (f.name == name) return &f;
  return nullptr;
}

const Schema* IPCValidator::schema(std::string_view command) {
  if (command.size() > kMaxCommandNameLength) return nullptr;
  const auto& byName = table().byName;
  auto it = byName.find(command);
  return it == byName.end() ? nullptr : it->second;
}

const std::vector<std::string_view>& IPCValidator::commandNames() { return table().names; }

Result<void> IPCValidator::validate(std::string_view command, const Json& args) {
  // Long names are refused before any look-up.
  if (command.size() > kMaxCommandNameLength) return fail("unknown command");
  const Schema* s = schema(command);
  if (!s) return fail("unknown command");

  // Anything but an object carries no usable argument names: null stands for
  // "no arguments", other values cannot match any schema.
  static const Json kNoArguments = Json::object();
  const Json& object = args.is_null() ? kNoArguments : args;
  if (!object.is_object()) return fail("unexpected argument");

  for (auto it = object.begin(); it != object.end(); ++it)
    if (!s->field(it.key())) return fail("unexpected argument");

  for (const auto& f : s->fields)
    if (f.required && object.find(f.name) == object.end()) return fail("missing argument");

  size_t size = compactJsonSize(object);
  if (size == SIZE_MAX || size > s->sizeLimit) return fail("arguments too large");

  for (const auto& f : s->fields) {
    auto it = object.find(f.name);
    if (it != object.end() && !f.kind.accepts(*it)) return fail("invalid " + std::string(f.name));
  }
  return ok();
}

}  // namespace corvane::bridge
