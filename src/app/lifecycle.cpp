#include "app/lifecycle.h"

#include "ai/providers.h"
#include "insights/stats.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "notes/store_cache.h"
#include "records/notices.h"
#include "records/private_files.h"

namespace corvane::app {

void installProcessHooks() {
  notes::StoreCache::setImageNormalizer([](std::string_view html) { return media::normalizeImages(html); });
}

void startBackgroundServices() {
  records::hardenDataDirectory();
  media::MediaLibrarian::shared()->reconcile();
  ai::refreshAIAvailability();
}

void finishPendingWork() {
  notes::StoreCache::shutdownShared();
  insights::Stats::flushShared();
  // Notices still being posted (or shown in the status panel's log).
  records::flushUserNotices();
}

}  // namespace corvane::app
