#pragma once
// Images inside note bodies. An image reference takes three forms:
// - display: <img class="note-img" src="app://local/__thumb/T" data-full-src="app://local/__media/T" …>,
//   what the page receives and edits;
// - storage: a one-line placeholder "⟦📷 Corvane photo · T · 640w⟧" for stores
//   that cannot hold our URLs;
// - plain text: placeholders removed.
// Conversions never fail: what cannot be converted stays as it is.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::media {

// A decoded image (and a media file exported as a data URI) is accepted up to
// 40 MiB; one byte more is refused.
inline constexpr size_t kMaxImageBytes = 41'943'040;
inline constexpr int kThumbnailMaxSide = 480;
inline constexpr int kThumbnailQuality = 72;

inline constexpr std::string_view kMediaURLPrefix = "app://local/__media/";
inline constexpr std::string_view kThumbnailURLPrefix = "app://local/__thumb/";

// Placeholder prefixes: the one written now, then an older one that is only read.
inline constexpr std::string_view kPlaceholderPrefix = "\u27E6\U0001F4F7 Corvane photo \u00B7 ";
inline constexpr std::string_view kLegacyPlaceholderPrefix = "\u27E6cvimg:";
inline constexpr std::string_view kPlaceholderPrefixes[] = {kPlaceholderPrefix, kLegacyPlaceholderPrefix};

std::string mediaURL(std::string_view token);
std::string thumbnailURL(std::string_view token);

// Display form; width attributes only when width > 0.
std::string imageTag(std::string_view token, int64_t width = 0);
// Storage form; the width part only when width >= 1.
std::string placeholder(std::string_view token, int64_t width = 0);

// The tag's src attribute (double, then single quotes).
std::optional<std::string> imageSource(std::string_view tag);
// The width attribute, else a "width: Npx" style; values not above 0 do not count.
std::optional<int64_t> imageWidth(std::string_view tag);
// The token after "/__media/" (else "/__thumb/"), cut at "?".
std::optional<std::string> tokenFromURL(std::string_view url);

// Stores a Base64 data URI's bytes in the media library.
std::optional<std::string> storeDataUrl(std::string_view uri);
// The same, for pasted data: the bytes must be a non-empty image we can decode.
std::optional<std::string> storePastedImage(std::string_view uri);

// Display form (and data URIs and other local URLs) to storage form.
std::string collapseImages(std::string_view html);
// Storage form of one prefix to display form.
std::string expandPlaceholders(std::string_view html, std::string_view prefix);
// Removes placeholders of both prefixes.
std::string stripPlaceholders(std::string_view text);
// collapseImages, then expandPlaceholders with each prefix: every image in
// display form, embedded data URIs stored.
std::string normalizeImages(std::string_view html);

// Type tables.
std::string extensionForDataUrl(std::string_view header);
std::string extensionForImageType(std::string_view typeIdentifier);
std::string mimeTypeForExtension(std::string_view extension);

// The media file of a token, when the token is well formed and names a
// regular file inside the media folder.
std::optional<std::filesystem::path> mediaFile(std::string_view token);
// A JPEG thumbnail (made on first use, remade when the original is newer), or
// the original itself for SVG and GIF and whenever no thumbnail can be made.
std::optional<std::filesystem::path> thumbnailFile(std::string_view token);

// Standard Base64 with padding, no line breaks.
std::string base64Encode(std::string_view bytes);
// Strict: only the standard alphabet, length a multiple of 4, padding at the end.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace corvane::media
