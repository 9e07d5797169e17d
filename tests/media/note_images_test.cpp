#include "media/note_images.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/files.h"
#include "image_fixtures.h"
#include "media/image_codec.h"
#include "media/media_librarian.h"
#include "testing/fake_scheduler.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::media {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using fixtures::imageSize;
using fixtures::makeImage;

const std::string kPrefix(kPlaceholderPrefix);
const std::string kLegacy(kLegacyPlaceholderPrefix);

// A home of its own and a library whose backups run when the test says so.
class WithLibrary : public ::testing::Test {
 protected:
  WithLibrary() {
    MediaLibrarian::setSharedForTesting(std::make_shared<MediaLibrarian>(scheduler.createQueue("media"), scheduler));
  }
  ~WithLibrary() override { MediaLibrarian::setSharedForTesting(nullptr); }

  fs::path put(const std::string& token, const std::string& bytes) {
    fs::create_directories(mediaDirectory());
    fs::path p = mediaDirectory() / token;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }

  testing::TempHome home;
  testing::FakeScheduler scheduler;
};

TEST(ImageForms, DisplayAndStorageFormsAreExact) {
  EXPECT_EQ(imageTag("abc.png"),
            R"(<img class="note-img" src="app://local/__thumb/abc.png" data-full-src="app://local/__media/abc.png">)");
  EXPECT_EQ(imageTag("abc.png", 320),
            R"(<img class="note-img" src="app://local/__thumb/abc.png" data-full-src="app://local/__media/abc.png")"
            R"( width="320" style="width:320px;height:auto">)");
  EXPECT_EQ(imageTag("abc.png", -5), imageTag("abc.png"));
  EXPECT_EQ(placeholder("tok.jpg", 640), "\u27E6\U0001F4F7 Corvane photo \u00B7 tok.jpg \u00B7 640w\u27E7");
  EXPECT_EQ(placeholder("tok.jpg"), "\u27E6\U0001F4F7 Corvane photo \u00B7 tok.jpg\u27E7");
}

TEST(ImageForms, AttributesAndTokensAreReadFromTags) {
  EXPECT_EQ(imageSource(R"(<img SRC = "a.png">)"), "a.png");
  EXPECT_EQ(imageSource(R"(<img src='b.png' data-x="y">)"), "b.png");
  EXPECT_EQ(imageSource("<img alt=x>"), std::nullopt);

  struct WidthCase {
    const char* tag;
    std::optional<int64_t> width;
  } widths[] = {
      {R"(<img width="320">)", 320},
      {"<img WIDTH=48>", 48},
      {R"(<img width="0" style="width: 200px">)", 200},
      {R"(<img style="WIDTH:75 px">)", 75},
      {R"(<img width="99999999999999999999999">)", std::nullopt},
      {R"(<img width="auto">)", std::nullopt},
      {"<img>", std::nullopt},
  };
  for (const auto& c : widths) EXPECT_EQ(imageWidth(c.tag), c.width) << c.tag;

  struct TokenCase {
    const char* url;
    std::optional<std::string> token;
  } tokens[] = {
      {"app://local/__media/abc.png", "abc.png"},
      {"app://local/__thumb/abc.png?v=2", "abc.png"},
      {"https://example.com/x/__media/a_b-c.jpg", "a_b-c.jpg"},
      {"app://local/__media/", std::nullopt},
      {"app://local/__media/a%20b.png", std::nullopt},
      {"app://local/__media/sub/x.png", std::nullopt},
      {"https://example.com/cat.png", std::nullopt},
  };
  for (const auto& c : tokens) EXPECT_EQ(tokenFromURL(c.url), c.token) << c.url;
}

TEST(ImageForms, TypeTables) {
  EXPECT_EQ(extensionForDataUrl("data:image/PNG;base64"), "png");
  EXPECT_EQ(extensionForDataUrl("data:image/jpeg;base64"), "jpg");
  EXPECT_EQ(extensionForDataUrl("data:image/svg+xml;base64"), "svg");
  EXPECT_EQ(extensionForDataUrl("data:application/octet-stream;base64"), "png");
  EXPECT_EQ(extensionForImageType("public.heif"), "heic");
  EXPECT_EQ(extensionForImageType("com.microsoft.bmp"), "bmp");
  EXPECT_EQ(extensionForImageType("public.PNG"), "png");
  EXPECT_EQ(extensionForImageType("com.adobe.pdf"), "png");
  EXPECT_EQ(mimeTypeForExtension("JPEG"), "image/jpeg");
  EXPECT_EQ(mimeTypeForExtension("svg"), "image/svg+xml");
  EXPECT_EQ(mimeTypeForExtension("tiff"), "application/octet-stream");
}

TEST(ImageForms, Base64IsStrict) {
  for (std::string bytes : {std::string(), std::string("f"), std::string("fo"), std::string("foo"),
                            std::string("\0\xff\x10 binary", 10)}) {
    auto encoded = base64Encode(bytes);
    EXPECT_EQ(base64Decode(encoded), bytes) << encoded;
  }
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  for (const char* bad : {"Zm9v\nYg==", "Zm9vYg=", "Zm9vYg", "Zm=vYg==", "Zm9vYg=a", "Zm9v Yg==", "Z===", "Zm9_"})
    EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
}

TEST_F(WithLibrary, CollapseAndExpandRoundTrip) {
  std::string html = R"(<p>a</p><IMG class="x" SRC="app://local/__thumb/abc.png" WIDTH="320"><p>b</p>)";
  std::string collapsed = collapseImages(html);
  EXPECT_EQ(collapsed, "<p>a</p>" + kPrefix + "abc.png \u00B7 320w\u27E7<p>b</p>");
  EXPECT_EQ(expandPlaceholders(collapsed, kPlaceholderPrefix), "<p>a</p>" + imageTag("abc.png", 320) + "<p>b</p>");
  // The other prefix is left alone by each pass.
  EXPECT_EQ(expandPlaceholders(collapsed, kLegacyPlaceholderPrefix), collapsed);

  EXPECT_EQ(expandPlaceholders("x " + kLegacy + "old.jpg\u27E7 y", kLegacyPlaceholderPrefix),
            "x " + imageTag("old.jpg") + " y");
  EXPECT_EQ(expandPlaceholders(kLegacy + "old.jpg \u00B7 0w\u27E7", kLegacyPlaceholderPrefix), imageTag("old.jpg"));
  // Not a placeholder: wrong characters in the token.
  std::string notOne = kPrefix + "a b.png\u27E7";
  EXPECT_EQ(normalizeImages(notOne), notOne);
}

TEST_F(WithLibrary, CollapseStoresDataUrisAndLeavesTheRest) {
  std::string png = makeImage("png", 8, 8);
  std::string remote = R"(<img src="https://example.com/cat.png" width="10">)";
  std::string inlineText = R"(<img src="data:image/png,notbase64">)";
  std::string dataTag = "<img src=\"data:image/png;base64," + base64Encode(png) + "\" width=\"64\">";
  std::string collapsed = collapseImages(remote + dataTag + inlineText);

  std::string token = sha256Hex(png).substr(0, 32) + ".png";
  EXPECT_EQ(collapsed, remote + placeholder(token, 64) + inlineText);
  EXPECT_EQ(readFile(mediaDirectory() / token).value_or(""), png);

  EXPECT_EQ(normalizeImages(remote + dataTag + kLegacy + "z.gif\u27E7"),
            remote + imageTag(token, 64) + imageTag("z.gif"));
}

TEST(ImageForms, StripPlaceholdersKeepsSurroundingText) {
  EXPECT_EQ(stripPlaceholders("one " + kLegacy + "x.png\u27E7 two"), "one  two");
  EXPECT_EQ(stripPlaceholders("a" + kPrefix + "t.jpg \u00B7 12w\u27E7b" + kLegacy + "u.png \u00B7 3w\u27E7c"), "abc");
  EXPECT_EQ(stripPlaceholders("no placeholders"), "no placeholders");
}

TEST_F(WithLibrary, DataUrisThatAreNotBase64ImagesGiveNoToken) {
  std::string png = makeImage("png", 4, 4);
  std::string b64 = base64Encode(png);
  EXPECT_TRUE(storePastedImage("data:image/png;base64," + b64));
  EXPECT_TRUE(storePastedImage("data:image/png;base64,\n " + b64 + "\r\n"));
  // The extension follows the header, not the content.
  EXPECT_THAT(storePastedImage("data:image/jpeg;base64," + b64).value_or(""), EndsWith(".jpg"));

  struct Case {
    std::string uri;
    const char* why;
  } cases[] = {
      {"data:image/png," + b64, "not base64"},
      {"no comma at all", "no comma"},
      {"data:image/png;base64,@@@@", "bad alphabet"},
      {"data:image/png;base64," + b64.substr(0, 10) + "\n" + b64.substr(10), "line break inside"},
      {"data:image/png;base64,", "empty"},
      {"data:image/png;base64," + base64Encode("just text, not a picture"), "not an image"},
      {"data:image/png;base64," + base64Encode("2 2\n1 2\n3 4\n"), "a text matrix"},
      {"data:image/svg+xml;base64," + base64Encode("<svg xmlns='http://www.w3.org/2000/svg'/>"), "svg"},
  };
  for (const auto& c : cases) EXPECT_EQ(storePastedImage(c.uri), std::nullopt) << c.why;
  // storeDataUrl keeps anything Base64 (it is what a note body already holds).
  EXPECT_TRUE(storeDataUrl("data:image/png;base64," + base64Encode("just text, not a picture")));
  EXPECT_EQ(storeDataUrl("data:image/png," + b64), std::nullopt);
}

TEST_F(WithLibrary, DataUrisAreLimitedTo40MiB) {
  std::string exact(kMaxImageBytes, 'a');
  EXPECT_TRUE(storeDataUrl("data:image/png;base64," + base64Encode(exact)));
  exact.push_back('a');
  EXPECT_EQ(storeDataUrl("data:image/png;base64," + base64Encode(exact)), std::nullopt);
}

TEST_F(WithLibrary, MediaFileRefusesTokensThatLeaveTheFolder) {
  put("ok.png", "x");
  fs::create_directories(mediaDirectory() / "thumb");
  put("../escape.png", "x");
  EXPECT_EQ(mediaFile("ok.png"), mediaDirectory() / "ok.png");
  for (const char* bad : {"", "..", "../escape.png", "a/b", "a b.png", "%2e%2e", "missing.png", "thumb", "ok.png\n"})
    EXPECT_EQ(mediaFile(bad), std::nullopt) << bad;
}

TEST_F(WithLibrary, ThumbnailIsASmallUprightJpegMadeOnce) {
  // 1200x800 stored sideways: EXIF orientation 6 turns it to 800x1200.
  put("photo.jpg", makeImage("jpg", 1200, 800, 6));
  auto thumb = thumbnailFile("photo.jpg");
  ASSERT_TRUE(thumb);
  EXPECT_EQ(*thumb, mediaDirectory() / "thumb" / "photo.jpg.jpg");
  EXPECT_EQ(testing::modeOf(*thumb), 0600u);
  EXPECT_EQ(testing::modeOf(mediaDirectory() / "thumb"), 0700u);
  std::string jpeg = readFile(*thumb).value_or("");
  EXPECT_THAT(jpeg, StartsWith("\xFF\xD8"));
  EXPECT_EQ(imageSize(jpeg), std::make_pair(320, 480));

  // Reused while the original is not newer.
  struct stat first {};
  ::stat(thumb->c_str(), &first);
  EXPECT_EQ(thumbnailFile("photo.jpg"), thumb);
  struct stat second {};
  ::stat(thumb->c_str(), &second);
  EXPECT_EQ(second.st_ino, first.st_ino);

  // Remade when the original changes.
  put("photo.jpg", makeImage("jpg", 600, 300));
  struct timeval later[2] = {{first.st_mtim.tv_sec + 10, 0}, {first.st_mtim.tv_sec + 10, 0}};
  ::utimes((mediaDirectory() / "photo.jpg").c_str(), later);
  EXPECT_EQ(thumbnailFile("photo.jpg"), thumb);
  EXPECT_EQ(imageSize(readFile(*thumb).value_or("")), std::make_pair(480, 240));
}

TEST_F(WithLibrary, ThumbnailsOfOtherFormats) {
  put("small.png", makeImage("png", 100, 50, 1, /*alpha=*/true));
  auto small = thumbnailFile("small.png");
  ASSERT_TRUE(small);
  EXPECT_EQ(small->extension(), ".jpg");
  EXPECT_EQ(imageSize(readFile(*small).value_or("")), std::make_pair(100, 50)) << "never enlarged";

  put("wide.webp", makeImage("webp", 2000, 500));
  EXPECT_EQ(imageSize(readFile(thumbnailFile("wide.webp").value()).value_or("")), std::make_pair(480, 120));

  // GIF and SVG are served whole.
  put("anim.gif", makeImage("gif", 900, 900));
  put("logo.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>");
  EXPECT_EQ(thumbnailFile("anim.gif"), mediaDirectory() / "anim.gif");
  EXPECT_EQ(thumbnailFile("logo.SVG"), std::nullopt);
  EXPECT_EQ(thumbnailFile("logo.svg"), mediaDirectory() / "logo.svg");
  EXPECT_EQ(thumbnailFile("../x.png"), std::nullopt);
}

TEST_F(WithLibrary, HostileImagesFailCleanlyAndServeTheOriginal) {
  std::string jpeg = makeImage("jpg", 1600, 1200);
  put("truncated.jpg", jpeg.substr(0, jpeg.size() / 3));
  put("bomb.png", fixtures::pngBomb(60000, 60000));
  put("garbage.png", "\x89PNG\r\n\x1a\n but then nothing sensible");
  put("export.pdf", "%PDF-1.4 not for us");
  for (const char* token : {"truncated.jpg", "bomb.png", "garbage.png", "export.pdf"}) {
    EXPECT_EQ(thumbnailFile(token), mediaDirectory() / token) << token;
    EXPECT_FALSE(fs::exists(mediaDirectory() / "thumb" / (std::string(token) + ".jpg"))) << token;
  }
  EXPECT_THAT(makeJpegThumbnail(mediaDirectory() / "bomb.png", 480, 72), testing::FailedWith("image too large to decode"));
  // The bomb's header reads fine, so pasting it is accepted; only decoding is refused.
  EXPECT_TRUE(isRecognisedImage(fixtures::pngBomb(60000, 60000)));
}

}  // namespace
}  // namespace corvane::media
