#include "records/settings_services.h"

#include <memory>
#include <mutex>

namespace corvane::records {

namespace {
std::mutex& servicesMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<const SettingsServices>& servicesSlot() {
  static std::shared_ptr<const SettingsServices> slot = std::make_shared<SettingsServices>();
  return slot;
}
}  // namespace

SettingsServices settingsServices() {
  std::shared_ptr<const SettingsServices> current;
  {
    std::lock_guard lock(servicesMutex());
    current = servicesSlot();
  }
  return *current;
}

void updateSettingsServices(const std::function<void(SettingsServices&)>& edit) {
  std::lock_guard lock(servicesMutex());
  auto next = std::make_shared<SettingsServices>(*servicesSlot());
  edit(*next);
  servicesSlot() = std::move(next);
}

void installSettingsServices(SettingsServices services) {
  std::lock_guard lock(servicesMutex());
  servicesSlot() = std::make_shared<const SettingsServices>(std::move(services));
}

}  // namespace corvane::records
