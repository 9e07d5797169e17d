#include "notes/attachment_backup_index.h"

#include <gtest/gtest.h>

#include "core/files.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::notes {
namespace {

namespace fs = std::filesystem;

class AttachmentBackupIndexTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  testing::FakeScheduler clock;
  fs::path file = dir.path() / "sub" / "attachment-backup-index.json";
  fs::path backup = dir.path() / "sub" / "attachment-backup-index.json.bak";
  AttachmentBackupIndex index{file, std::make_shared<SerialQueue>("test.index"), clock};
};

TEST_F(AttachmentBackupIndexTest, AppendsKeepsThePreviousFileAndWritesPrivately) {
  index.record("a.jpg", "Trip \u2014 attachment backup", AttachmentBackupIndex::Source::Attachment);
  index.record("b.html", "note \u2014 table backup", AttachmentBackupIndex::Source::Table);
  index.record("c.pdf", "Report", AttachmentBackupIndex::Source::Export);
  auto entries = index.entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].token, "c.pdf");
  EXPECT_EQ(entries[0].backedUpAt.size(), 20u);  // 2025-03-01T09:30:12Z
  EXPECT_EQ(entries[0].backedUpAt.back(), 'Z');
  EXPECT_EQ(testing::modeOf(file) & 0777, 0600u);
  EXPECT_EQ(testing::modeOf(backup) & 0777, 0600u);
  auto previous = decodeBackupIndex(*readFile(backup));
  ASSERT_TRUE(previous);
  EXPECT_EQ(previous->size(), 2u);
  auto text = *readFile(file);
  EXPECT_NE(text.find("\"source\":\"table\""), std::string::npos);
  EXPECT_NE(text.find("{\"token\":\"a.jpg\",\"label\""), std::string::npos);
}

TEST_F(AttachmentBackupIndexTest, DamagedIndexFallsBackToItsCopy) {
  index.record("a.jpg", "A", AttachmentBackupIndex::Source::Attachment);
  index.record("b.jpg", "B", AttachmentBackupIndex::Source::Attachment);
  index.flush();
  ASSERT_TRUE(writeFileAtomic(file, "[{\"token\": broken"));
  auto entries = index.entries();
  ASSERT_EQ(entries.size(), 1u);  // the copy made before the last rewrite
  EXPECT_EQ(entries[0].token, "a.jpg");
  // The next record builds on the copy and leaves the copy as it was.
  index.record("c.jpg", "C", AttachmentBackupIndex::Source::Attachment);
  entries = index.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].token, "c.jpg");
  EXPECT_EQ(decodeBackupIndex(*readFile(backup))->size(), 1u);
}

TEST_F(AttachmentBackupIndexTest, ChangesMadeByOthersAreReadAgain) {
  index.record("a.jpg", "A", AttachmentBackupIndex::Source::Attachment);
  index.flush();
  ASSERT_TRUE(writeFileAtomic(file, "[\n  {\"token\": \"x.jpg\", \"label\": \"X\", \"source\": \"export\", "
                                    "\"backedUpAt\": \"t\"}, 5, {\"token\": \"y\", \"source\": \"bogus\"}\n]\n"));
  index.record("b.jpg", "B", AttachmentBackupIndex::Source::Attachment);
  auto entries = index.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].token, "x.jpg");
  EXPECT_EQ(entries[1].token, "b.jpg");
}

}  // namespace
}  // namespace corvane::notes
