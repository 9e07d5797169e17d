#include "app/lifecycle.h"

#include "insights/stats.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "notes/store_cache.h"
#include "platform/user_defaults.h"
#include "records/app_log.h"
#include "records/private_files.h"

namespace corvane::app {

void installProcessHooks() {
  notes::StoreCache::setImageNormalizer([](std::string_view html) { return media::normalizeImages(html); });
  platform::setUserDefaultsDamageHook(
      [](const std::string& message) { records::appLog(records::LogLevel::Error, "defaults", message); });
}

void startNoteCache() { notes::StoreCache::shared()->start(); }

void startBackgroundServices() {
  records::hardenDataDirectory();
  startNoteCache();
  media::MediaLibrarian::shared()->reconcile();
}

void finishPendingWork() {
  notes::StoreCache::shutdownShared();
  insights::Stats::flushShared();
}

}  // namespace corvane::app
