// "defaults.json" lives outside the data directory and any program may write
// it: reading never fails, and a value set afterwards reads back.
#include <cstdint>
#include <fstream>
#include <string>

#include "core/paths.h"
#include "fuzz_check.h"
#include "platform/user_defaults.h"

using corvane::fuzzing::check;
using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)corvane::fuzzing::privateHome();
  static const auto defaults = platform::makeFileUserDefaults();
  std::filesystem::create_directories(configDirectory());
  {
    std::ofstream out(configDirectory() / "defaults.json", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  (void)defaults->get("corvane_configured");
  (void)defaults->getBool("corvane_tutorial_seen");
  (void)defaults->getString("corvane_device_id");
  check(defaults->set("corvane_fuzz", Json("value")).has_value(), "set works over any file");
  check(defaults->getString("corvane_fuzz") == std::optional<std::string>("value"), "set value reads back");
  return 0;
}
