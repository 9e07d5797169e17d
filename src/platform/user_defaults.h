#pragma once
// The user-defaults store: a few small values that live outside the data
// directory ("corvane_tutorial_seen", "corvane_configured", "corvane_device_id",
// the window frame, …). Safe to use from any thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/result.h"

namespace corvane::platform {

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  virtual std::optional<Json> get(std::string_view key) const = 0;
  virtual Result<void> set(std::string_view key, Json value) = 0;
  virtual Result<void> remove(std::string_view key) = 0;

  bool getBool(std::string_view key, bool fallback = false) const;
  std::optional<std::string> getString(std::string_view key) const;

  // The process-wide store, created on first use; replaceable in tests.
  static UserDefaults& shared();
  static void setSharedForTesting(std::shared_ptr<UserDefaults> defaults);
};

// Where a damaged defaults file is reported (the application log, installed
// at start-up; this layer sits below it). Without a hook, nothing is said.
void setUserDefaultsDamageHook(std::function<void(const std::string& message)> hook);
void reportDamagedUserDefaults(const std::string& message);

// The Linux store: one JSON object in configDirectory()/"defaults.json",
// rewritten atomically on every change.
std::shared_ptr<UserDefaults> makeFileUserDefaults();

}  // namespace corvane::platform
