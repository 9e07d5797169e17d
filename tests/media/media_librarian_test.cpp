#include "media/media_librarian.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/files.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::media {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string slurp(const fs::path& p) {
  auto r = readFile(p);
  return r ? *r : std::string("<unreadable>");
}

void put(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

std::vector<std::string> tokensOf(const std::vector<ManifestEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.token);
  return out;
}

class MediaLibrarianTest : public ::testing::Test {
 protected:
  testing::TempHome home;
  testing::FakeScheduler scheduler;
  MediaLibrarian library{scheduler.createQueue("media"), scheduler};

  fs::path media(const std::string& token) { return mediaDirectory() / token; }
  fs::path backup(const std::string& token) { return mediaBackupDirectory() / token; }
  std::vector<ManifestEntry> manifest() { return readManifest(mediaManifestPath()); }

  std::string store(const std::string& bytes, const std::string& ext = "png") {
    auto token = library.storeMedia(bytes, ext);
    EXPECT_TRUE(token);
    scheduler.runUntilIdle();
    return token.value_or("");
  }
  MediaHealth reconcile() {
    library.reconcile();
    scheduler.runUntilIdle();
    return library.health();
  }
};

TEST_F(MediaLibrarianTest, StoresByContentWithBackupAndManifest) {
  std::string token = store("image bytes");
  EXPECT_EQ(token, sha256Hex("image bytes").substr(0, 32) + ".png");
  EXPECT_TRUE(isHashedToken(token));
  EXPECT_EQ(slurp(media(token)), "image bytes");
  EXPECT_EQ(slurp(backup(token)), "image bytes");
  EXPECT_EQ(testing::modeOf(media(token)), 0600u);
  EXPECT_EQ(testing::modeOf(backup(token)), 0600u);
  EXPECT_EQ(testing::modeOf(mediaDirectory()), 0700u);
  EXPECT_EQ(testing::modeOf(mediaBackupDirectory()), 0700u);
  EXPECT_EQ(slurp(mediaManifestPath()),
            "[{\"token\":\"" + token + "\",\"bytes\":11,\"addedAt\":\"2026-01-15T12:00:00Z\"}]");
}

TEST_F(MediaLibrarianTest, SameBytesAreStoredOnce) {
  std::string token = store("same");
  struct stat before {};
  ::stat(media(token).c_str(), &before);
  std::string manifestBefore = slurp(mediaManifestPath());

  scheduler.fastForwardBy(std::chrono::hours(1));
  EXPECT_EQ(store("same"), token);
  struct stat after {};
  ::stat(media(token).c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino) << "identical content is not rewritten";
  EXPECT_EQ(slurp(mediaManifestPath()), manifestBefore);

  // Another extension is another token with the same digest part.
  std::string jpg = store("same", "jpg");
  EXPECT_EQ(jpg.substr(0, 33), token.substr(0, 33));
  EXPECT_NE(jpg, token);
  EXPECT_TRUE(fs::exists(media(jpg)));
  EXPECT_THAT(tokensOf(manifest()), ElementsAre(token, jpg));
}

TEST_F(MediaLibrarianTest, RefusesExtensionsThatMakeNoToken) {
  for (const char* ext : {"png/../../x", "p g", "../", "png\n"})
    EXPECT_EQ(library.storeMedia("x", ext), std::nullopt) << ext;
  EXPECT_FALSE(fs::exists(mediaDirectory()));
}

TEST_F(MediaLibrarianTest, FailedWriteGivesNoTokenAndQueuesNoBackup) {
  put(home.path() / "Corvane" / "Media", "a file where the folder should be");
  EXPECT_EQ(library.storeMedia("bytes", "png"), std::nullopt);
  EXPECT_EQ(scheduler.pendingTaskCount(), 0u);
}

TEST_F(MediaLibrarianTest, AtomicCopyReplacesWholeAndCleansUpOnFailure) {
  testing::TempDir dir;
  put(dir.path() / "src", "new content");
  put(dir.path() / "dst", "old");
  ::chmod((dir.path() / "dst").c_str(), 0644);
  ASSERT_TRUE(atomicCopy(dir.path() / "src", dir.path() / "dst"));
  EXPECT_EQ(slurp(dir.path() / "dst"), "new content");
  EXPECT_EQ(testing::modeOf(dir.path() / "dst"), 0600u);

  EXPECT_FALSE(atomicCopy(dir.path() / "missing", dir.path() / "dst"));
  EXPECT_FALSE(atomicCopy(dir.path() / "src", dir.path() / "no-such-folder" / "dst"));
  // A destination that cannot be replaced (a non-empty folder) leaves no temporary.
  put(dir.path() / "folder" / "inside", "x");
  EXPECT_FALSE(atomicCopy(dir.path() / "src", dir.path() / "folder"));
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
  EXPECT_THAT(names, UnorderedElementsAre("src", "dst", "folder"));
}

TEST_F(MediaLibrarianTest, HealthIsEmptyUntilTheFirstReconcile) {
  EXPECT_EQ(library.health(), MediaHealth{});
  EXPECT_EQ(healthToJson(library.health()).dump(), "{\"restored\":0,\"missing\":[]}");
}

TEST_F(MediaLibrarianTest, ReconcileRestoresADeletedMediaFolder) {
  std::string a = store("first"), b = store("second", "jpg");
  fs::remove_all(mediaDirectory());
  MediaHealth health = reconcile();
  EXPECT_EQ(health.restored, 2);
  EXPECT_THAT(health.missing, IsEmpty());
  EXPECT_EQ(slurp(media(a)), "first");
  EXPECT_EQ(slurp(media(b)), "second");
  EXPECT_EQ(testing::modeOf(mediaDirectory()), 0700u);

  // Nothing to do the next time.
  EXPECT_EQ(reconcile(), MediaHealth{});
}

TEST_F(MediaLibrarianTest, ReconcileReportsWhatNoGoodBackupHolds) {
  std::string gone = store("gone"), corrupt = store("corrupt"), kept = store("kept");
  fs::remove(media(gone));
  fs::remove(backup(gone));
  fs::remove(media(corrupt));
  put(backup(corrupt), "tampered");
  MediaHealth health = reconcile();
  EXPECT_EQ(health.restored, 0);
  EXPECT_THAT(health.missing, ElementsAre(gone, corrupt));
  EXPECT_FALSE(fs::exists(media(corrupt)));
  EXPECT_EQ(slurp(backup(corrupt)), "tampered") << "backups are never deleted";
  EXPECT_THAT(tokensOf(manifest()), ElementsAre(gone, corrupt, kept)) << "entries are never removed";
}

TEST_F(MediaLibrarianTest, ReconcileBacksUpAndRecordsNewFiles) {
  std::string hashed = sha256Hex("dropped in").substr(0, 32) + ".gif";
  put(media(hashed), "dropped in");
  put(media("legacy_name.png"), "older file");
  put(media("with space.png"), "ignored");
  put(media("empty.png"), "");
  put(media(".in-progress.png.1234.tmp"), "a write in progress");
  put(mediaDirectory() / "thumb" / "x.jpg", "thumbnail");
  put(media("abc.png.tmp~5A1C"), "left over");
  put(backup("def.png.tmp~77"), "left over");
  scheduler.setWallTime(fromUnixSeconds(1768482000));  // 13:00:00

  EXPECT_EQ(reconcile(), MediaHealth{});
  EXPECT_EQ(slurp(backup(hashed)), "dropped in");
  EXPECT_EQ(slurp(backup("legacy_name.png")), "older file");
  for (const char* skipped : {"with space.png", "empty.png", ".in-progress.png.1234.tmp", "thumb"})
    EXPECT_FALSE(fs::exists(backup(skipped))) << skipped;
  EXPECT_FALSE(fs::exists(media("abc.png.tmp~5A1C")));
  EXPECT_FALSE(fs::exists(backup("def.png.tmp~77")));
  auto entries = manifest();
  EXPECT_THAT(tokensOf(entries), UnorderedElementsAre(hashed, "legacy_name.png"));
  for (const auto& e : entries) EXPECT_EQ(e.addedAt, "2026-01-15T13:00:00Z");
}

TEST_F(MediaLibrarianTest, ReconcileUpdatesSizesOnlyForMatchingContent) {
  std::string token = store("content");
  // A stale size in the manifest, first of two entries for the token.
  ASSERT_TRUE(writeManifest(mediaManifestPath(), {{token, 3, "2025-01-01T00:00:00Z"}, {token, 99, "2025-06-01T00:00:00Z"}}));
  reconcile();
  auto entries = manifest();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (ManifestEntry{token, 7, "2025-01-01T00:00:00Z"}));
  EXPECT_EQ(entries[1].bytes, 99) << "only the first entry of a token counts";

  // A media file whose bytes no longer match its name is neither recorded nor
  // copied over its good backup, which is put back instead.
  put(media(token), "damaged!!");
  EXPECT_EQ(reconcile().restored, 1);
  EXPECT_EQ(slurp(media(token)), "content");
  EXPECT_EQ(slurp(backup(token)), "content");
  EXPECT_EQ(manifest()[0].bytes, 7);
}

TEST_F(MediaLibrarianTest, OlderTokensAreJudgedBySize) {
  put(media("old-photo.jpg"), "twelve bytes");
  reconcile();
  ASSERT_EQ(slurp(backup("old-photo.jpg")), "twelve bytes");

  // A shorter media file must not overwrite the backup that has the recorded size.
  put(media("old-photo.jpg"), "twelve");
  reconcile();
  EXPECT_EQ(slurp(backup("old-photo.jpg")), "twelve bytes");
  EXPECT_EQ(manifest()[0].bytes, 12);

  // Gone from the media folder: a backup of the recorded size is good.
  fs::remove(media("old-photo.jpg"));
  EXPECT_EQ(reconcile().restored, 1);
  EXPECT_EQ(slurp(media("old-photo.jpg")), "twelve bytes");

  // A backup of another size is not.
  fs::remove(media("old-photo.jpg"));
  put(backup("old-photo.jpg"), "changed");
  EXPECT_THAT(reconcile().missing, ElementsAre("old-photo.jpg"));
}

TEST_F(MediaLibrarianTest, UnreadableManifestIsRebuiltWithoutLosingBackups) {
  std::string present = store("present"), onlyBackedUp = store("only in the backup");
  fs::remove(media(onlyBackedUp));
  put(mediaManifestPath(), "{not json");
  MediaHealth health = reconcile();
  EXPECT_EQ(health.restored, 1);
  EXPECT_EQ(slurp(media(onlyBackedUp)), "only in the backup");
  EXPECT_THAT(tokensOf(manifest()), UnorderedElementsAre(present, onlyBackedUp));
}

TEST_F(MediaLibrarianTest, ManifestTokensThatAreNoFileNamesAreNeverTouched) {
  put(home.path() / "outside", "secret");
  put(mediaBackupDirectory() / "placeholder", "x");
  ASSERT_TRUE(writeManifest(mediaManifestPath(), {{"../../../outside", 6, "2025-01-01T00:00:00Z"}}));
  EXPECT_THAT(reconcile().missing, ElementsAre("../../../outside"));
  EXPECT_EQ(slurp(home.path() / "outside"), "secret");
}

TEST_F(MediaLibrarianTest, UnusableFoldersLoseNothingABackupHolds) {
  std::string a = store("alpha"), b = store("beta");
  // The backup folder is replaced by a file and the media folder is gone.
  fs::remove_all(mediaBackupDirectory());
  put(mediaBackupDirectory(), "not a folder");
  fs::remove(media(b));
  MediaHealth health = reconcile();
  EXPECT_EQ(health.restored, 0);
  EXPECT_THAT(health.missing, ElementsAre(b));
  EXPECT_THAT(tokensOf(manifest()), ElementsAre(a, b));
  EXPECT_EQ(slurp(media(a)), "alpha");

  // Once the backup folder is usable again, the surviving file is backed up.
  fs::remove(mediaBackupDirectory());
  reconcile();
  EXPECT_EQ(slurp(backup(a)), "alpha");

  // The media folder replaced by a file: restoring fails, nothing is lost.
  fs::remove_all(mediaDirectory());
  put(mediaDirectory(), "not a folder");
  EXPECT_THAT(reconcile().missing, ElementsAre(a, b));
  EXPECT_EQ(slurp(backup(a)), "alpha");
  fs::remove(mediaDirectory());
  EXPECT_EQ(reconcile().restored, 1);
  EXPECT_EQ(slurp(media(a)), "alpha");
}

TEST(MediaLibrarianLifetime, WorkLeftOnASharedQueueOutlivesNothing) {
  testing::TempHome home;
  testing::FakeScheduler scheduler;
  auto queue = scheduler.createQueue("media");
  {
    MediaLibrarian library(queue, scheduler);
    ASSERT_TRUE(library.storeMedia("bytes", "png"));
    library.reconcile();
  }
  scheduler.runUntilIdle();  // would touch the destroyed library
  EXPECT_FALSE(fs::exists(mediaManifestPath()));
}

}  // namespace
}  // namespace corvane::media
