// The log upload attempt: batch choice, body, statuses, and the pending file.
#include "account/log_upload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "core/files.h"
#include "core/json.h"
#include "testing/fake_scheduler.h"
#include "testing/temp_home.h"

namespace corvane::account {
namespace {

using corvane::testing::FakeScheduler;
using corvane::testing::TempDir;

std::string entryLine(int i, size_t messageSize = 0) {
  std::string message = messageSize ? std::string(messageSize, 'm') : "line " + std::to_string(i);
  return dumpCompact(Json{{"ts", 1768478400000 + i}, {"level", "warn"}, {"activity", "t"}, {"message", message}});
}

const UploadHeader kHeader{"1.2.3", "Linux 6.1.0", "dev\"ice", "session"};

TEST(UploadBodyTest, ExactShapeWithEscapedValuesAndLinesAsTheyStand) {
  std::string body = buildUploadBody(kHeader, {R"({"a":1})", R"({"b":2})"});
  EXPECT_EQ(body,
            R"({"appVersion":"1.2.3","osVersion":"Linux 6.1.0","deviceId":"dev\"ice","sessionId":"session",)"
            R"("entries":[{"a":1},{"b":2}]})");
  EXPECT_TRUE(parseJson(body));
}

TEST(UploadBatchTest, FourHundredLinesTornLinesDroppedAloneAndTheLongestPrefixThatFits) {
  std::vector<std::string> pending;
  for (int i = 0; i < 450; ++i) pending.push_back(entryLine(i));
  auto batch = selectUploadBatch(kHeader, pending);
  EXPECT_EQ(batch.lines.size(), 400u);
  EXPECT_TRUE(batch.dropped.empty());
  EXPECT_EQ(parseJson(batch.body)->at("entries").size(), 400u);

  // A torn line (half a write) and a non-object go; their neighbours stay.
  pending = {entryLine(0), R"({"ts":1,"lev)", "[1,2]", entryLine(3)};
  batch = selectUploadBatch(kHeader, pending);
  EXPECT_EQ(batch.lines, (std::vector<size_t>{0, 3}));
  EXPECT_EQ(batch.dropped, (std::vector<size_t>{1, 2}));

  // Three 400 kB lines: two fit, the third waits; a 950 kB line alone is dropped.
  pending = {entryLine(0, 400'000), entryLine(1, 950'000), entryLine(2, 400'000), entryLine(3, 400'000)};
  batch = selectUploadBatch(kHeader, pending);
  EXPECT_EQ(batch.lines, (std::vector<size_t>{0, 2}));
  EXPECT_EQ(batch.dropped, (std::vector<size_t>{1}));
  EXPECT_LE(batch.body.size(), kUploadBodyLimit);
}

class UploadAttemptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context.telemetryAllowed = [this] { return telemetry; };
    context.identityToken = [this](Duration) { return token; };
    context.endpoint = [] { return std::string("http://127.0.0.1:1/ingestClientLogs"); };
    context.header = kHeader;
    context.http = [this](const HttpRequest& r, Duration) -> Result<HttpResponse> {
      sent.push_back(r);
      if (status == 0) return fail(std::string(kHttpTimedOut));
      return HttpResponse{status, "{}", ""};
    };
  }
  void writePending(const std::vector<std::string>& lines) {
    std::string text;
    for (auto& l : lines) text += l + "\n";
    ASSERT_TRUE(writeFileAtomic(dir.path() / "pending-upload.jsonl", text));
  }
  std::string pendingText() { return *readFile(dir.path() / "pending-upload.jsonl"); }
  void attempt() { runLogUploadAttempt(log, context); }

  TempDir dir;
  FakeScheduler scheduler;
  records::AppLog log{scheduler, scheduler.createQueue("com.corvane.applog"), [this] { return dir.path(); }};
  LogUploadContext context;
  bool telemetry = true;
  std::optional<std::string> token = "tok";
  long status = 200;
  std::vector<HttpRequest> sent;
};

TEST_F(UploadAttemptTest, StatusesThatRemoveTheBatchAndOnesThatKeepIt) {
  std::vector<std::string> lines;
  for (int i = 0; i < 450; ++i) lines.push_back(entryLine(i));
  for (long s : {500L, 0L, 401L, 413L}) {
    writePending(lines);
    status = s;
    attempt();
    EXPECT_EQ(log.readPendingLines()->size(), 450u) << "status " << s;
  }
  status = 200;
  attempt();
  auto left = *log.readPendingLines();
  ASSERT_EQ(left.size(), 50u);
  EXPECT_EQ(left[0], lines[400]);
  EXPECT_EQ(pendingText().back(), '\n');

  status = 400;  // the server refused the batch for good: it goes too
  attempt();
  EXPECT_EQ(pendingText(), "");

  const HttpRequest& r = sent.front();
  EXPECT_EQ(r.method, "POST");
  EXPECT_THAT(r.headers, ::testing::Contains(std::pair<std::string, std::string>("Authorization", "Bearer tok")));
  EXPECT_THAT(r.headers, ::testing::Contains(std::pair<std::string, std::string>("Content-Type", "application/json")));
  EXPECT_EQ(r.timeout, std::chrono::seconds(30));
}

TEST_F(UploadAttemptTest, NothingIsSentWithoutConsentOrToken) {
  writePending({entryLine(1)});
  telemetry = false;
  attempt();
  telemetry = true;
  token.reset();
  attempt();
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(log.readPendingLines()->size(), 1u);
}

TEST_F(UploadAttemptTest, TenThousandLinesDrainInTwentyFiveFiringsNoneLostOrRepeated) {
  std::vector<std::string> lines;
  for (int i = 0; i < 10'000; ++i) lines.push_back(entryLine(i));
  writePending(lines);
  for (int firing = 0; firing < 25; ++firing) attempt();
  EXPECT_TRUE(log.readPendingLines()->empty());
  std::multiset<std::string> received;
  for (auto& r : sent) {
    Json body = *parseJson(r.body);
    for (auto& e : body["entries"]) received.insert(dumpCompact(e));
  }
  EXPECT_EQ(received.size(), 10'000u);
  EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), 10'000u);
}

TEST_F(UploadAttemptTest, ThePendingFileIsCappedOldestFirstEvenWhenNothingIsSent) {
  telemetry = false;
  std::vector<std::string> lines;
  std::string big(1000, 'x');
  for (int i = 0; i < 11'000; ++i) lines.push_back(entryLine(i, 1000));
  writePending(lines);
  attempt();
  auto left = *log.readPendingLines();
  size_t bytes = 0;
  for (auto& l : left) bytes += l.size() + 1;
  EXPECT_LE(bytes, kPendingFileCap);
  EXPECT_GT(bytes, kPendingFileCap - 2000);
  EXPECT_EQ(left.back(), lines.back()) << "the newest lines stay";
}

}  // namespace
}  // namespace corvane::account
