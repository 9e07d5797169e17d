#pragma once
// An in-memory note store for the note cache and command tests: notes with
// explicit ages (like the scripted store), call counters, and switches that
// make operations fail. Thread-safe.
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "notes/markup.h"
#include "notes/note_store.h"

namespace corvane::notes::testing {

class MemoryNoteStore final : public NoteStore {
 public:
  struct Stored {
    std::string name;
    std::string body;  // markup
    int64_t age = 0;
    int64_t attachments = 0;
  };

  void put(const std::string& id, const std::string& name, const std::string& body, int64_t age) {
    std::lock_guard lock(mutex_);
    notes_[id] = Stored{name, body, age, 0};
  }
  void setAttachments(const std::string& id, int64_t count) {
    std::lock_guard lock(mutex_);
    notes_[id].attachments = count;
  }
  void erase(const std::string& id) {
    std::lock_guard lock(mutex_);
    notes_.erase(id);
  }
  std::optional<Stored> get(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto it = notes_.find(id);
    if (it == notes_.end()) return std::nullopt;
    return it->second;
  }
  size_t size() {
    std::lock_guard lock(mutex_);
    return notes_.size();
  }

  // Failure switches: the message the operation fails with (empty: succeeds).
  std::string failList, failWrite, failFind, failSearch;
  std::set<std::string> unreadable;  // ids plainTexts and bodies leave out
  // Backup result per id (failedCount etc.); tokens "tok-<id>-<n>" by default.
  std::map<std::string, NativeAttachmentBackup> backups;
  // Called inside listNotes (to interleave events with a listing in tests).
  std::function<void()> duringList;
  // Called once the listing is read, before it is returned (a change landing
  // while the caller still holds the old listing).
  std::function<void(int64_t limit)> afterList;
  // Age given to the next created note (each creation takes the next smaller one).
  int64_t nextAge = -2'000'000'000;

  std::atomic<int> listCalls{0}, fullListCalls{0}, plainTextCalls{0}, bodiesCalls{0}, findCalls{0},
      countCalls{0}, backupCalls{0}, searchCalls{0};
  std::vector<int64_t> listLimits;
  std::vector<std::vector<std::string>> plainTextRequests, bodyRequests, backupRequests;
  std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> findRequests;

  Result<std::vector<Note>> listNotes(int64_t limit) override {
    if (duringList) duringList();
    auto listed = [&]() -> Result<std::vector<Note>> {
      std::lock_guard lock(mutex_);
      ++listCalls;
      if (limit <= 0) ++fullListCalls;
      listLimits.push_back(limit);
      if (!failList.empty()) return fail(failList);
      std::vector<Note> all = sortedLocked();
      if (limit > 0 && all.size() > static_cast<size_t>(limit)) all.resize(static_cast<size_t>(limit));
      return all;
    }();
    if (afterList) {
      auto hook = afterList;
      hook(limit);
    }
    return listed;
  }
  Result<std::string> body(const std::string& id) override {
    std::lock_guard lock(mutex_);
    auto it = notes_.find(id);
    if (it == notes_.end()) return fail("cannot read note: No such file or directory");
    return it->second.body;
  }
  Result<std::string> plainText(const std::string& id) override {
    auto b = body(id);
    if (!b) return b;
    return htmlToText(*b);
  }
  std::vector<std::pair<std::string, std::string>> plainTexts(const std::vector<std::string>& ids) override {
    std::lock_guard lock(mutex_);
    ++plainTextCalls;
    plainTextRequests.push_back(ids);
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& id : ids) {
      auto it = notes_.find(id);
      if (it != notes_.end() && unreadable.count(id) == 0) out.emplace_back(id, htmlToText(it->second.body));
    }
    return out;
  }
  std::map<std::string, std::string> bodies(const std::vector<std::string>& ids) override {
    std::lock_guard lock(mutex_);
    ++bodiesCalls;
    bodyRequests.push_back(ids);
    std::map<std::string, std::string> out;
    for (const auto& id : ids) {
      auto it = notes_.find(id);
      if (it != notes_.end() && unreadable.count(id) == 0) out[id] = it->second.body;
    }
    return out;
  }
  std::map<std::string, int64_t> attachmentCounts(const std::vector<std::string>& ids) override {
    std::lock_guard lock(mutex_);
    ++countCalls;
    std::map<std::string, int64_t> out;
    for (const auto& id : ids) {
      auto it = notes_.find(id);
      if (it != notes_.end()) out[id] = it->second.attachments;
    }
    return out;
  }
  std::map<std::string, NativeAttachmentBackup> backupAttachments(const std::vector<std::string>& ids) override {
    std::lock_guard lock(mutex_);
    ++backupCalls;
    backupRequests.push_back(ids);
    std::map<std::string, NativeAttachmentBackup> out;
    for (const auto& id : ids) {
      if (auto b = backups.find(id); b != backups.end()) {
        out[id] = b->second;
        continue;
      }
      NativeAttachmentBackup backup;
      for (int64_t k = 0; k < notes_[id].attachments; ++k) backup.savedTokens.push_back("tok-" + id + "-" + std::to_string(k));
      out[id] = backup;
    }
    return out;
  }
  Result<void> appendHTML(const std::string& id, const std::string& html) override {
    std::lock_guard lock(mutex_);
    if (!failWrite.empty()) return fail(failWrite);
    notes_[id].body += html;
    return ok();
  }
  Result<SetBodyOutcome> setBody(const std::string& id, const std::string& html, bool force) override {
    std::lock_guard lock(mutex_);
    lastForce = force;
    if (!failWrite.empty()) return fail(failWrite);
    notes_[id].body = html;
    return SetBodyOutcome{};
  }
  Result<std::string> createNote(const std::string& name, const std::string& html) override {
    std::lock_guard lock(mutex_);
    if (!failWrite.empty()) return fail(failWrite);
    std::string id = "n" + std::to_string(++created_);
    notes_[id] = Stored{name, "<div>" + name + "</div>" + html, nextAge--, 0};
    return id;
  }
  Result<void> renameNote(const std::string& id, const std::string& name) override {
    std::lock_guard lock(mutex_);
    if (!failWrite.empty()) return fail(failWrite);
    notes_[id].name = name;
    return ok();
  }
  Result<void> deleteNote(const std::string& id) override {
    std::lock_guard lock(mutex_);
    if (!failWrite.empty()) return fail(failWrite);
    notes_.erase(id);
    return ok();
  }
  Result<std::vector<Note>> searchNames(const std::string& query) override { return searchNotes(query); }
  Result<std::vector<Note>> searchNotes(const std::string& query) override {
    std::lock_guard lock(mutex_);
    ++searchCalls;
    if (!failSearch.empty()) return fail(failSearch);
    std::vector<Note> out;
    for (auto& n : sortedLocked()) {
      const auto& stored = notes_[n.id];
      if (lowerCaseText(stored.name + " " + htmlToText(stored.body)).find(lowerCaseText(query)) != std::string::npos)
        out.push_back(n);
    }
    return out;
  }
  Result<std::vector<Note>> findNotes(const std::vector<std::string>& ids, const std::vector<std::string>& names) override {
    std::lock_guard lock(mutex_);
    ++findCalls;
    findRequests.emplace_back(ids, names);
    if (!failFind.empty()) return fail(failFind);
    std::vector<Note> out;
    for (auto& n : sortedLocked())
      if (std::find(ids.begin(), ids.end(), n.id) != ids.end() ||
          std::find(names.begin(), names.end(), n.name) != names.end())
        out.push_back(n);
    return out;
  }

  bool lastForce = false;

 private:
  std::vector<Note> sortedLocked() {
    std::vector<Note> all;
    for (const auto& [id, s] : notes_) {
      Note n;
      n.id = id;
      n.name = s.name;
      n.age = s.age;
      all.push_back(n);
    }
    std::sort(all.begin(), all.end(), [](const Note& a, const Note& b) {
      return a.age != b.age ? a.age < b.age : a.id < b.id;
    });
    return all;
  }
  std::mutex mutex_;
  std::map<std::string, Stored> notes_;
  int created_ = 0;
};

}  // namespace corvane::notes::testing
