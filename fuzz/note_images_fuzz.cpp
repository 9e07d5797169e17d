// Image references inside bodies: the three forms convert into each other
// without a fault on any input, tokens read from URLs are always safe file
// names, and Base64 round-trips.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"
#include "fuzz_check.h"
#include "media/media_librarian.h"
#include "media/note_images.h"

using corvane::fuzzing::check;
using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)corvane::fuzzing::privateHome();  // data URIs may be stored
  std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string collapsed = media::collapseImages(text);
  for (auto prefix : media::kPlaceholderPrefixes) (void)media::expandPlaceholders(text, prefix);
  (void)media::stripPlaceholders(text);
  (void)media::imageSource(text);
  if (auto w = media::imageWidth(text)) check(*w > 0, "width above 0");
  if (auto token = media::tokenFromURL(text); token && media::isMediaToken(*token)) {
    check(token->find('/') == std::string::npos && token->find("..") == std::string::npos, "token is a file name");
    const std::string tag = media::imageTag(*token, size);
    check(media::tokenFromURL(*media::imageSource(tag)) == token, "display tag keeps its token");
    const std::string stored = media::collapseImages(tag);
    check(media::expandPlaceholders(stored, media::kPlaceholderPrefix).find(*token) != std::string::npos,
          "storage form keeps its token");
  }
  (void)media::extensionForDataUrl(text.substr(0, 64));
  (void)media::extensionForImageType(text.substr(0, 64));
  (void)media::mimeTypeForExtension(text.substr(0, 16));
  // (Non-zero bits before the padding are accepted, so only the bytes round-trip.)
  if (auto decoded = media::base64Decode(text))
    check(media::base64Decode(media::base64Encode(*decoded)) == decoded, "Base64 round trip");
  check(media::base64Decode(media::base64Encode(text)) == std::optional<std::string>(std::string(text)),
        "Base64 round trip of any bytes");
  return 0;
}
