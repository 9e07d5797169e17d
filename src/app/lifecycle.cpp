#include "app/lifecycle.h"

#include <cstdlib>

#include "account/commands.h"
#include "ai/providers.h"
#include "insights/stats.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "notes/store_cache.h"
#include "platform/keychain.h"
#include "platform/user_defaults.h"
#include "records/app_log.h"
#include "records/notices.h"
#include "records/private_files.h"
#ifdef CORVANE_HAVE_SECRET_SERVICE
#include "platform/linux/secret/secret_keychain.h"
#endif

namespace corvane::app {

void installProcessHooks() {
#ifdef CORVANE_HAVE_SECRET_SERVICE
  // The keyring needs a session bus; without one the private file serves.
  if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"); bus && *bus)
    platform::Keychain::setShared(platform::makeSecretServiceKeychain(platform::makeFileKeychain()));
#endif
  notes::StoreCache::setImageNormalizer([](std::string_view html) { return media::normalizeImages(html); });
  platform::setUserDefaultsDamageHook(
      [](const std::string& message) { records::appLog(records::LogLevel::Error, "defaults", message); });
}

void startNoteCache() { notes::StoreCache::shared()->start(); }

void startBackgroundServices() {
  records::hardenDataDirectory();
  startNoteCache();
  media::MediaLibrarian::shared()->reconcile();
  ai::refreshAIAvailability();
  account::startAccountServices();
}

void finishPendingWork() {
  account::finishAccountWork();
  notes::StoreCache::shutdownShared();
  insights::Stats::flushShared();
  // Notices still being posted (or shown in the status panel's log).
  records::flushUserNotices();
}

}  // namespace corvane::app
