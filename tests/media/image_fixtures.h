#pragma once
// Test images made with libvips, and hand-made hostile ones.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::media::fixtures {

// A colour gradient `width` x `height` in the given format ("jpg", "png",
// "gif", "webp"); for JPEG, `orientation` (1..8) is written to the EXIF data.
std::string makeImage(std::string_view format, int width, int height, int orientation = 1, bool alpha = false);

// Width and height of an encoded image; {0, 0} when it cannot be read.
std::pair<int, int> imageSize(const std::string& bytes);

// A well-formed PNG whose header claims width x height pixels but carries a
// tiny zlib stream: a decompression bomb as far as any decoder can tell.
std::string pngBomb(uint32_t width, uint32_t height);

}  // namespace corvane::media::fixtures
