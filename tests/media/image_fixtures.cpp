#include "image_fixtures.h"

#include <vips/vips.h>

#include <cstdlib>
#include <utility>

namespace corvane::media::fixtures {

namespace {

void ensureVips() {
  static bool ready = [] { return VIPS_INIT("corvane-test") == 0; }();
  if (!ready) std::abort();
}

uint32_t crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putBigEndian(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void chunk(std::string& png, const char* type, const std::string& data) {
  putBigEndian(png, static_cast<uint32_t>(data.size()));
  std::string typed = std::string(type, 4) + data;
  png += typed;
  putBigEndian(png, crc32(typed));
}

}  // namespace

std::string makeImage(std::string_view format, int width, int height, int orientation, bool alpha) {
  ensureVips();
  VipsImage* x = nullptr;
  VipsImage* rgb = nullptr;
  VipsImage* image = nullptr;
  // A gradient: x * 255 / width in every band, then cast to 8 bits.
  if (vips_xyz(&x, width, height, nullptr) != 0) std::abort();
  VipsImage* bands[2] = {nullptr, nullptr};
  vips_extract_band(x, &bands[0], 0, nullptr);
  vips_linear1(bands[0], &bands[1], 255.0 / width, 0, "uchar", TRUE, nullptr);
  VipsImage* planes[4] = {bands[1], bands[1], bands[1], bands[1]};
  vips_bandjoin(planes, &rgb, alpha ? 4 : 3, nullptr);
  vips_copy(rgb, &image, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
  if (orientation != 1) vips_image_set_int(image, "orientation", orientation);
  void* buffer = nullptr;
  size_t length = 0;
  std::string suffix = "." + std::string(format);
  if (vips_image_write_to_buffer(image, suffix.c_str(), &buffer, &length, nullptr) != 0) std::abort();
  std::string out(static_cast<const char*>(buffer), length);
  g_free(buffer);
  for (VipsImage* i : {x, bands[0], bands[1], rgb, image}) g_object_unref(i);
  return out;
}

std::pair<int, int> imageSize(const std::string& bytes) {
  ensureVips();
  VipsImage* image = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr);
  if (!image) {
    vips_error_clear();
    return {0, 0};
  }
  std::pair<int, int> size{image->Xsize, image->Ysize};
  g_object_unref(image);
  return size;
}

std::string pngBomb(uint32_t width, uint32_t height) {
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  putBigEndian(header, width);
  putBigEndian(header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
  chunk(png, "IHDR", header);
  // A stored (uncompressed) deflate block of one zero row prefix: far too
  // little data for the claimed size.
  chunk(png, "IDAT", std::string("\x78\x01\x01\x01\x00\xfe\xff\x00\x00\x01\x00\x01", 12));
  chunk(png, "IEND", "");
  return png;
}

}  // namespace corvane::media::fixtures
