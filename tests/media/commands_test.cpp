#include "media/commands.h"

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/crypto.h"
#include "image_fixtures.h"
#include "media/media_librarian.h"
#include "media/note_images.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::media {
namespace {

using testing::FailedWith;
using testing::HasValue;

class MediaCommandsTest : public ::testing::Test {
 protected:
  MediaCommandsTest() {
    installMediaCommands(router);
    MediaLibrarian::setSharedForTesting(std::make_shared<MediaLibrarian>(scheduler.createQueue("media"), scheduler));
  }
  ~MediaCommandsTest() override {
    MediaLibrarian::setSharedForTesting(nullptr);
    setPlaceholderStoreCheckForTesting(nullptr);
  }
  bridge::CommandResult call(const std::string& command, const std::string& argsJson) {
    return router.route(command, parseJson(argsJson).value());
  }

  testing::TempHome home;
  testing::FakeScheduler scheduler;
  bridge::Router router;
};

TEST_F(MediaCommandsTest, MediaDataUriRefusesBadTokens) {
  for (const char* args : {R"({"token":"../x"})", R"({"token":"a/b.png"})", R"({"token":"a b"})",
                           R"({"token":".."})", R"({"token":"missing.png"})"})
    EXPECT_THAT(call("get_media_data_uri", args), FailedWith("bad or missing media token")) << args;
}

TEST_F(MediaCommandsTest, MediaDataUriEncodesTheFile) {
  std::string token = storeMedia("\x89PNG fake bytes", "PNG").value();
  EXPECT_THAT(call("get_media_data_uri", R"({"token":")" + token + "\"}"),
              HasValue("\"data:image/png;base64," + base64Encode("\x89PNG fake bytes") + "\""));
  std::string other = storeMedia("raw", "tiff").value();
  EXPECT_THAT(call("get_media_data_uri", R"({"token":")" + other + "\"}"),
              HasValue("\"data:application/octet-stream;base64,cmF3\""));

  // One byte over the limit (a sparse file, so the test stays small).
  fs::path big = mediaDirectory() / "big.png";
  { std::ofstream(big) << ""; }
  fs::resize_file(big, kMaxImageBytes + 1);
  EXPECT_THAT(call("get_media_data_uri", R"({"token":"big.png"})"), FailedWith("media file is too large"));

  // A link planted in the media folder serves nothing, wherever it points.
  home.write("secret.png", "private bytes");
  fs::create_symlink(home.path() / "secret.png", mediaDirectory() / "planted.png");
  fs::create_symlink(mediaDirectory() / token, mediaDirectory() / "inside.png");
  EXPECT_THAT(call("get_media_data_uri", R"({"token":"planted.png"})"), FailedWith("bad or missing media token"));
  EXPECT_THAT(call("get_media_data_uri", R"({"token":"inside.png"})"), FailedWith("bad or missing media token"));
}

TEST_F(MediaCommandsTest, PersistPastedImageAnswersNullForTheFolderStore) {
  std::string uri = "data:image/png;base64," + base64Encode(fixtures::makeImage("png", 4, 4));
  EXPECT_THAT(call("persist_pasted_image", R"({"dataUri":")" + uri + "\"}"), HasValue("null"));
  EXPECT_FALSE(fs::exists(mediaDirectory()));
}

TEST_F(MediaCommandsTest, PersistPastedImageStoresForAPlaceholderStore) {
  setPlaceholderStoreCheckForTesting([] { return true; });
  std::string png = fixtures::makeImage("png", 4, 4);
  std::string token = sha256Hex(png).substr(0, 32) + ".png";
  EXPECT_THAT(call("persist_pasted_image", R"({"dataUri":"data:image/png;base64,)" + base64Encode(png) + "\"}"),
              HasValue("\"app://local/__media/" + token + "\""));
  EXPECT_TRUE(fs::exists(mediaDirectory() / token));
  EXPECT_THAT(call("persist_pasted_image", R"({"dataUri":"data:image/png;base64,aGVsbG8="})"),
              FailedWith("couldn't store the pasted image"));
}

TEST_F(MediaCommandsTest, MediaHealthReportsTheLastReconcile) {
  EXPECT_THAT(call("get_media_health", "{}"), HasValue(R"({"restored":0,"missing":[]})"));
  std::string kept = storeMedia("kept", "png").value();
  std::string lost = storeMedia("lost", "png").value();
  scheduler.runUntilIdle();
  fs::remove(mediaDirectory() / kept);
  fs::remove(mediaDirectory() / lost);
  fs::remove(mediaBackupDirectory() / lost);
  MediaLibrarian::shared()->reconcile();
  scheduler.runUntilIdle();
  EXPECT_THAT(call("get_media_health", "{}"), HasValue(R"({"restored":1,"missing":[")" + lost + "\"]}"));
}

}  // namespace
}  // namespace corvane::media
