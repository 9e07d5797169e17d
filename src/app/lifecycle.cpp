#include "app/lifecycle.h"

#include "insights/stats.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "notes/store_cache.h"
#include "records/private_files.h"

namespace corvane::app {

void installProcessHooks() {
  notes::StoreCache::setImageNormalizer([](std::string_view html) { return media::normalizeImages(html); });
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
