#include "media/image_codec.h"

#include <vips/vips.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

namespace corvane::media {

namespace {

bool startVips() {
  static bool ready = false;
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("corvane") != 0) {
      vips_error_clear();
      return;
    }
    // Media files are replaced under the same name: never reuse an earlier decode.
    vips_cache_set_max(0);
    // Exotic loaders (ImageMagick, PDF, SVG, matrices, …) are not for pasted data.
    vips_block_untrusted_set(TRUE);
    vips_operation_block_set("VipsForeignLoadMatrix", TRUE);
    vips_operation_block_set("VipsForeignLoadCsv", TRUE);
    // A damaged file is an answer (no thumbnail), not something to print.
    g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {},
                      nullptr);
    ready = true;
  });
  return ready;
}

constexpr std::array<std::string_view, 6> kAllowedLoaders = {"Jpeg", "Png", "Nsgif", "Webp", "Tiff", "Heif"};

// Loader class names look like "VipsForeignLoadJpegFile" / "…Buffer".
bool isAllowedLoader(const char* name) {
  if (!name) return false;
  std::string_view n(name);
  constexpr std::string_view prefix = "VipsForeignLoad";
  if (n.substr(0, prefix.size()) != prefix) return false;
  n.remove_prefix(prefix.size());
  for (auto allowed : kAllowedLoaders) {
    if (n.substr(0, allowed.size()) == allowed) {
      std::string_view rest = n.substr(allowed.size());
      if (rest == "File" || rest == "Buffer") return true;
    }
  }
  return false;
}

struct ImageRef {
  VipsImage* image = nullptr;
  ImageRef() = default;
  ImageRef(const ImageRef&) = delete;
  ImageRef& operator=(const ImageRef&) = delete;
  ~ImageRef() {
    if (image) g_object_unref(image);
  }
  VipsImage** out() {
    if (image) g_object_unref(image);
    image = nullptr;
    return &image;
  }
};

tl::unexpected<std::string> vipsFailure(std::string_view what) {
  std::string detail = vips_error_buffer();
  vips_error_clear();
  while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' ')) detail.pop_back();
  return fail(std::string(what) + (detail.empty() ? "" : ": " + detail));
}

}  // namespace

bool isRecognisedImage(std::string_view bytes) {
  if (bytes.empty() || !startVips()) return false;
  const char* loader = vips_foreign_find_load_buffer(bytes.data(), bytes.size());
  if (!isAllowedLoader(loader)) {
    vips_error_clear();
    return false;
  }
  // Reads the header only; the buffer outlives the image.
  VipsImage* image = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr);
  if (!image) {
    vips_error_clear();
    return false;
  }
  bool ok = image->Xsize > 0 && image->Ysize > 0;
  g_object_unref(image);
  return ok;
}

Result<std::string> makeJpegThumbnail(const std::filesystem::path& source, int maxSide, int quality) {
  if (!startVips()) return fail("image decoder unavailable");
  const char* loader = vips_foreign_find_load(source.c_str());
  if (!isAllowedLoader(loader)) {
    vips_error_clear();
    return fail("not a supported image");
  }
  int longestSide = 0;
  {
    // The header alone tells the size; a decompression bomb stops here.
    ImageRef header;
    header.image = vips_image_new_from_file(source.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    if (!header.image) return vipsFailure("unreadable image");
    int64_t pixels = static_cast<int64_t>(header.image->Xsize) * header.image->Ysize;
    if (pixels <= 0 || pixels > kMaxDecodePixels) return fail("image too large to decode");
    longestSide = std::max(header.image->Xsize, header.image->Ysize);
  }
  ImageRef loaded, thumb, srgb, flat;
  if (std::string_view(loader).substr(0, 19) == "VipsForeignLoadJpeg") {
    // Decode straight at the smallest DCT scale (1/8, 1/4, 1/2) that still
    // covers the target, then resize the rest of the way. vips_thumbnail
    // would keep a factor of two in hand and decode four times the pixels.
    int shrink = 1;
    for (int s : {8, 4, 2}) {
      if (longestSide / s >= maxSide) {
        shrink = s;
        break;
      }
    }
    if (vips_jpegload(source.c_str(), loaded.out(), "shrink", shrink, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                      VIPS_FAIL_ON_ERROR, nullptr) != 0)
      return vipsFailure("unreadable image");
    // Applies the orientation tag as well.
    if (vips_thumbnail_image(loaded.image, thumb.out(), maxSide, "height", maxSide, "size", VIPS_SIZE_DOWN, nullptr) !=
        0)
      return vipsFailure("cannot make thumbnail");
  } else if (vips_thumbnail(source.c_str(), thumb.out(), maxSide, "height", maxSide, "size", VIPS_SIZE_DOWN, "fail_on",
                            VIPS_FAIL_ON_ERROR, nullptr) != 0) {
    // Other formats shrink on load where they can (WebP, HEIF, pyramids).
    return vipsFailure("cannot make thumbnail");
  }
  if (vips_colourspace(thumb.image, srgb.out(), VIPS_INTERPRETATION_sRGB, nullptr) != 0)
    return vipsFailure("cannot convert colours");
  VipsImage* final = srgb.image;
  if (vips_image_hasalpha(srgb.image)) {
    double white[] = {255, 255, 255};
    VipsArrayDouble* background = vips_array_double_new(white, 3);
    int rc = vips_flatten(srgb.image, flat.out(), "background", background, nullptr);
    vips_area_unref(VIPS_AREA(background));
    if (rc != 0) return vipsFailure("cannot flatten");
    final = flat.image;
  }
  void* buffer = nullptr;
  size_t length = 0;
  if (vips_jpegsave_buffer(final, &buffer, &length, "Q", quality, "strip", TRUE, nullptr) != 0)
    return vipsFailure("cannot encode thumbnail");
  std::string out(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return out;
}

}  // namespace corvane::media
