// A full disk and a read-only folder: every write fails with the system's
// message and leaves the previous file as it was (and no temporary behind).
// The home is a small tmpfs mounted for the test, so this needs root; without
// mount permission the tests are skipped and say so.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"
#include "core/queue.h"
#include "insights/stats.h"
#include "media/media_librarian.h"
#include "notes/file_store.h"
#include "platform/user_defaults.h"
#include "records/settings.h"
#include "testing/temp_home.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOptions = "size=512k,mode=0700";

// One write command and the file it keeps.
struct Writer {
  const char* name;
  std::function<fs::path()> file;
  std::function<Result<void>()> write;  // fails when the disk does; nullptr: never reports
};

class DiskTrouble : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::mount("tmpfs", home.path().c_str(), "tmpfs", 0, kOptions) != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs (" << errnoMessage(errno) << "): needs root and mount permission";
    }
    mounted = true;
    settings = std::make_unique<records::SettingsStore>(std::make_shared<SerialQueue>("test.settings"));
    stats = std::make_unique<insights::Stats>();
    defaults = platform::makeFileUserDefaults();
    noteId = store().createNote("Plan", "<div>v1</div>").value();
  }
  void TearDown() override {
    stats.reset();
    if (mounted) ::umount2(home.path().c_str(), MNT_DETACH);
  }

  notes::FileStore store() { return notes::FileStore(dataDirectory() / "Notes"); }

  std::vector<Writer> writers() {
    return {
        {"settings", [] { return dataDirectory() / "settings.json"; },
         [this] { return settings->update([](records::Settings& s) { s.pinned.push_back(std::string(3000, 'p')); }); }},
        {"note set body", [this] { return dataDirectory() / "Notes" / (noteId + ".md"); },
         [this]() -> Result<void> {
           auto r = store().setBody(noteId, "<div>Plan</div>" + std::string(8000, 'b'), true);
           if (!r) return fail(r.error());
           return ok();
         }},
        {"note append", [this] { return dataDirectory() / "Notes" / (noteId + ".md"); },
         [this] { return store().appendHTML(noteId, "<div>" + std::string(8000, 'a') + "</div>"); }},
        {"note rename", [this] { return dataDirectory() / "Notes" / (noteId + ".md"); },
         [this] { return store().renameNote(noteId, "Renamed " + std::string(8000, 'r')); }},
        {"note create", [] { return dataDirectory() / "Notes" / "fresh.md"; },
         [this]() -> Result<void> {
           auto r = store().createNote("Fresh", "<div>" + std::string(8000, 'c') + "</div>");
           if (!r) return fail(r.error());
           return ok();
         }},
        {"media manifest", [] { return media::mediaManifestPath(); },
         [] {
           std::vector<media::ManifestEntry> many(200, media::ManifestEntry{std::string(64, 't'), 1, "2026-01-01T00:00:00Z"});
           return media::writeManifest(media::mediaManifestPath(), many);
         }},
        {"user defaults", [] { return configDirectory() / "defaults.json"; },
         [this] { return defaults->set("corvane_big", Json(std::string(8000, 'd'))); }},
        {"stats", [] { return dataDirectory() / "stats.json"; },
         [this]() -> Result<void> {
           for (int i = 0; i < 50; ++i) stats->recordDestination("d" + std::to_string(i), std::string(200, 'n'));
           stats->flush();
           return ok();
         }},
    };
  }

  // Writes each file once while there is room, so there is a previous version.
  void writeFirstVersions() {
    ASSERT_TRUE(settings->update([](records::Settings& s) { s.showTips = false; }));
    ASSERT_TRUE(media::writeManifest(media::mediaManifestPath(), {{"a.png", 1, "2026-01-01T00:00:00Z"}}));
    ASSERT_TRUE(defaults->set("corvane_configured", Json(true)));
    stats->record({.thoughts = 1});
    stats->flush();
  }

  std::map<std::string, std::string> contents(const std::vector<Writer>& ws) {
    std::map<std::string, std::string> out;
    for (const auto& w : ws) out[w.file().string()] = readFile(w.file()).value_or("<absent>");
    return out;
  }

  int temporaries() {
    int n = 0;
    for (const auto& e : fs::recursive_directory_iterator(home.path()))
      if (e.path().filename().string().find(".tmp") != std::string::npos) ++n;
    return n;
  }

  void expectEveryWriteFails(const std::string& message) {
    auto ws = writers();
    const auto before = contents(ws);
    for (const auto& w : ws) {
      SCOPED_TRACE(w.name);
      auto r = w.write();
      if (std::string(w.name) != "stats") {
        ASSERT_FALSE(r);
        EXPECT_NE(r.error().find(message), std::string::npos) << r.error();
      }
    }
    EXPECT_EQ(contents(ws), before);
    EXPECT_EQ(temporaries(), 0);
  }

  testing::TempHome home;
  bool mounted = false;
  std::unique_ptr<records::SettingsStore> settings;
  std::unique_ptr<insights::Stats> stats;
  std::shared_ptr<platform::UserDefaults> defaults;
  std::string noteId;
};

TEST_F(DiskTrouble, FullDiskFailsEveryWriteAndKeepsThePreviousFiles) {
  writeFirstVersions();
  {
    // Fill what is left, page by page.
    std::ofstream filler(home.path() / "filler", std::ios::binary);
    const std::string page(4096, 'f');
    while (filler.write(page.data(), page.size())) filler.flush();
  }
  expectEveryWriteFails("No space left on device");
  // Room again: the same writes go through.
  fs::remove(home.path() / "filler");
  for (const auto& w : writers()) {
    SCOPED_TRACE(w.name);
    EXPECT_TRUE(w.write());
  }
}

TEST_F(DiskTrouble, ReadOnlyFolderFailsEveryWriteAndKeepsThePreviousFiles) {
  writeFirstVersions();
  ASSERT_EQ(::mount("tmpfs", home.path().c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, kOptions), 0)
      << errnoMessage(errno);
  expectEveryWriteFails("Read-only file system");
}

}  // namespace
}  // namespace corvane
