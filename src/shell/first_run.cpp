#include "shell/first_run.h"

#include <algorithm>
#include <thread>

#include "notes/store_cache.h"
#include "records/app_log.h"
#include "records/settings.h"

namespace corvane::shell {

const std::vector<SampleNote>& sampleNotes() {
  static const std::vector<SampleNote> samples{
      {"ToDo List", "<div>- [ ] Pick up groceries</div><div>- [ ] Review Stripe fix</div>",
       "- [ ] Pick up groceries\n- [ ] Review Stripe fix"},
      {"Followup", "<div><br></div><hr><div>Sam Rivera</div><div><i>— https://example.com/in/sam-rivera</i></div>",
       "\n---\nSam Rivera\n— https://example.com/in/sam-rivera"},
      {"Raw Clips",
       "<div><br></div><hr><div>\"Good notes are the ones you come back to.\"</div>"
       "<div><i>— https://example.com/articles/keeping-notes</i></div>",
       "\n---\n\"Good notes are the ones you come back to.\"\n— https://example.com/articles/keeping-notes"},
  };
  return samples;
}

namespace {

std::optional<std::string> findByName(notes::NoteStore& store, const std::string& name) {
  if (auto all = store.listNotes(-1)) {
    for (const auto& n : *all)
      if (n.name == name) return n.id;
  }
  if (auto hits = store.searchNames(name)) {
    for (const auto& n : *hits)
      if (n.name == name) return n.id;
  }
  return std::nullopt;
}

}  // namespace

SeedOutcome seedSampleNotes(notes::NoteStore& store, notes::StoreCache* cache) {
  SeedOutcome out;
  std::vector<std::pair<std::string, bool>> ids;  // id, created now
  for (const auto& sample : sampleNotes()) {
    std::string id;
    bool created = false;
    if (auto found = findByName(store, sample.name)) {
      id = *found;
    } else if (auto made = store.createNote(sample.name, sample.html)) {
      id = *made;
      created = true;
      out.created.push_back(sample.name);
      if (cache) cache->noteCreated(id, sample.name, sample.plainText, sample.html, /*announce=*/false);
    }
    ids.emplace_back(id, created);
  }
  out.todoId = ids[0].first;
  out.followupId = ids[1].first;
  out.rawClipsId = ids[2].first;
  (void)records::Settings::update([&](records::Settings& s) {
    for (const auto& [id, created] : ids) {
      if (id.empty() || !created) continue;
      if (std::find(s.pinned.begin(), s.pinned.end(), id) == s.pinned.end()) {
        s.pinned.push_back(id);
        out.pinnedChanged = true;
      }
    }
    if (!out.followupId.empty()) s.followupId = out.followupId;
    if (!out.rawClipsId.empty()) s.rawClipsId = out.rawClipsId;
  });
  if (cache && (!out.created.empty() || out.pinnedChanged)) {
    if (auto list = cache->cachedNotes()) cache->publish(*list);
  }
  return out;
}

void seedOnFirstRun() {
  if (records::Settings::load().initialNotesCreated) return;
  auto marked = records::Settings::update([](records::Settings& s) { s.initialNotesCreated = true; });
  if (!marked) {
    records::appLog(records::LogLevel::Warn, "app", "first-run flag not saved: " + marked.error());
    return;
  }
  std::thread([] {
    auto cache = notes::StoreCache::shared();
    auto store = cache->store();
    if (!store) return;
    auto out = seedSampleNotes(*store, cache.get());
    records::appLog(records::LogLevel::Info, "app", "sample notes created: " + std::to_string(out.created.size()));
  }).detach();
}

}  // namespace corvane::shell
