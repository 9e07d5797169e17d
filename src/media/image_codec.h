#pragma once
// The image decoder and encoder behind pasted-image checks and thumbnails
// (libvips, in-process). Only the common photo formats are decoded (JPEG, PNG,
// GIF, WebP, TIFF, HEIF/HEIC); loaders that libvips marks untrusted are
// blocked, and an image whose header claims more pixels than kMaxDecodePixels
// is refused before any pixel is decoded.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/result.h"

namespace corvane::media {

inline constexpr int64_t kMaxDecodePixels = 150'000'000;

// True when the bytes are an image of a format we decode and its header reads.
bool isRecognisedImage(std::string_view bytes);

// A baseline JPEG of the first image in `source`, orientation applied, longest
// side at most `maxSide` (never enlarged), transparency on white, metadata
// stripped. Truncated or malformed files fail.
Result<std::string> makeJpegThumbnail(const std::filesystem::path& source, int maxSide, int quality);

}  // namespace corvane::media
