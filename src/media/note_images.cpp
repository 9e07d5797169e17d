#include "media/note_images.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>

#include "core/files.h"
#include "core/regex.h"
#include "core/text.h"
#include "media/image_codec.h"
#include "media/media_librarian.h"
#include "records/private_files.h"

namespace corvane::media {

namespace {

constexpr std::string_view kSeparator = " \u00B7 ";
constexpr std::string_view kClose = "\u27E7";

std::string escapeRegex(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string placeholderPattern(std::string_view prefix, bool capture) {
  return escapeRegex(prefix) + (capture ? "([A-Za-z0-9._-]+)" : "[A-Za-z0-9._-]+") + "(?:" + escapeRegex(kSeparator) +
         (capture ? "([0-9]+)" : "[0-9]+") + "w)?" + escapeRegex(kClose);
}

const Regex& capturingPattern(std::string_view prefix) {
  static const Regex current(placeholderPattern(kPlaceholderPrefix, true));
  static const Regex legacy(placeholderPattern(kLegacyPlaceholderPrefix, true));
  return prefix == kLegacyPlaceholderPrefix ? legacy : current;
}

std::optional<int64_t> parsePositive(std::string_view digits) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value <= 0) return std::nullopt;
  return value;
}

bool isTokenText(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

std::string lowerExtension(std::string_view token) {
  size_t dot = token.rfind('.');
  return dot == std::string_view::npos ? std::string() : toLowerAscii(token.substr(dot + 1));
}

struct DataUrl {
  std::string header;
  std::string bytes;
};

// Steps shared by stored and pasted data URIs: Base64 payload, at most 40 MiB.
std::optional<DataUrl> decodeDataUrl(std::string_view uri) {
  size_t comma = uri.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view header = uri.substr(0, comma);
  if (header.find("base64") == std::string_view::npos) return std::nullopt;
  std::string_view payload = trimUnicodeWhitespace(uri.substr(comma + 1));
  // Judge the size before decoding: 4 characters carry 3 bytes.
  if (payload.size() / 4 * 3 > kMaxImageBytes + 2) return std::nullopt;
  auto bytes = base64Decode(payload);
  if (!bytes || bytes->size() > kMaxImageBytes) return std::nullopt;
  return DataUrl{std::string(header), std::move(*bytes)};
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string mediaURL(std::string_view token) { return std::string(kMediaURLPrefix) + std::string(token); }
std::string thumbnailURL(std::string_view token) { return std::string(kThumbnailURLPrefix) + std::string(token); }

std::string imageTag(std::string_view token, int64_t width) {
  std::string tag = "<img class=\"note-img\" src=\"" + thumbnailURL(token) + "\" data-full-src=\"" + mediaURL(token) + "\"";
  if (width > 0) {
    std::string w = std::to_string(width);
    tag += " width=\"" + w + "\" style=\"width:" + w + "px;height:auto\"";
  }
  return tag + ">";
}

std::string placeholder(std::string_view token, int64_t width) {
  std::string text = std::string(kPlaceholderPrefix) + std::string(token);
  if (width >= 1) text += std::string(kSeparator) + std::to_string(width) + "w";
  return text + std::string(kClose);
}

std::optional<std::string> imageSource(std::string_view tag) {
  static const Regex doubleQuoted(R"re(src\s*=\s*"([^"]*)")re", Regex::CaseInsensitive);
  static const Regex singleQuoted(R"re(src\s*=\s*'([^']*)')re", Regex::CaseInsensitive);
  for (const Regex* pattern : {&doubleQuoted, &singleQuoted}) {
    if (auto m = pattern->firstMatch(tag)) return std::string(m->group(1));
  }
  return std::nullopt;
}

std::optional<int64_t> imageWidth(std::string_view tag) {
  static const Regex attribute(R"re(\bwidth\s*=\s*"?([0-9]+))re", Regex::CaseInsensitive);
  static const Regex style(R"re(width\s*:\s*([0-9]+)\s*px)re", Regex::CaseInsensitive);
  for (const Regex* pattern : {&attribute, &style}) {
    if (auto m = pattern->firstMatch(tag)) {
      if (auto value = parsePositive(m->group(1))) return value;
    }
  }
  return std::nullopt;
}

std::optional<std::string> tokenFromURL(std::string_view url) {
  size_t at = url.find("/__media/");
  if (at == std::string_view::npos) at = url.find("/__thumb/");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = url.substr(at + 9);
  rest = rest.substr(0, rest.find('?'));
  if (!isTokenText(rest)) return std::nullopt;
  return std::string(rest);
}

std::optional<std::string> storeDataUrl(std::string_view uri) {
  auto decoded = decodeDataUrl(uri);
  if (!decoded) return std::nullopt;
  return storeMedia(decoded->bytes, extensionForDataUrl(decoded->header));
}

std::optional<std::string> storePastedImage(std::string_view uri) {
  auto decoded = decodeDataUrl(uri);
  if (!decoded || decoded->bytes.empty() || !isRecognisedImage(decoded->bytes)) return std::nullopt;
  // The extension comes from the header, not from the decoded type.
  return storeMedia(decoded->bytes, extensionForDataUrl(decoded->header));
}

std::string collapseImages(std::string_view html) {
  static const Regex imageTagPattern(R"re(<img\b[^>]*>)re", Regex::CaseInsensitive);
  std::string out;
  size_t copied = 0;
  imageTagPattern.forEach(html, [&](const Regex::Match& m) {
    std::string_view tag = m.text();
    std::optional<std::string> token;
    if (auto src = imageSource(tag)) {
      token = startsWith(*src, "data:") ? storeDataUrl(*src) : tokenFromURL(*src);
    }
    if (token) {
      if (out.empty()) out.reserve(html.size());
      out.append(html.substr(copied, m.start() - copied));
      out += placeholder(*token, imageWidth(tag).value_or(0));
      copied = m.end();
    }
    return true;
  });
  if (copied == 0) return std::string(html);
  out.append(html.substr(copied));
  return out;
}

std::string expandPlaceholders(std::string_view html, std::string_view prefix) {
  std::optional<Regex> custom;
  const Regex* pattern = nullptr;
  if (prefix == kPlaceholderPrefix || prefix == kLegacyPlaceholderPrefix) {
    pattern = &capturingPattern(prefix);
  } else {
    auto compiled = Regex::compile(placeholderPattern(prefix, true));
    if (!compiled) return std::string(html);
    custom.emplace(std::move(*compiled));
    pattern = &*custom;
  }
  return pattern->replaceAll(html, [](const Regex::Match& m) {
    int64_t width = 0;
    if (m.hasGroup(2)) width = parsePositive(m.group(2)).value_or(0);
    return imageTag(m.group(1), width);
  });
}

std::string stripPlaceholders(std::string_view text) {
  static const Regex current(placeholderPattern(kPlaceholderPrefix, false));
  static const Regex legacy(placeholderPattern(kLegacyPlaceholderPrefix, false));
  return legacy.replaceAll(current.replaceAll(text, ""), "");
}

std::string normalizeImages(std::string_view html) {
  std::string collapsed = collapseImages(html);
  return expandPlaceholders(expandPlaceholders(collapsed, kPlaceholderPrefix), kLegacyPlaceholderPrefix);
}

std::string extensionForDataUrl(std::string_view header) {
  std::string h = toLowerAscii(header);
  static const std::pair<std::string_view, std::string_view> table[] = {
      {"png", "png"}, {"jpeg", "jpg"}, {"jpg", "jpg"}, {"gif", "gif"},
      {"webp", "webp"}, {"heic", "heic"}, {"svg", "svg"},
  };
  for (const auto& [needle, extension] : table) {
    if (h.find(needle) != std::string::npos) return std::string(extension);
  }
  return "png";
}

std::string extensionForImageType(std::string_view typeIdentifier) {
  static const std::pair<std::string_view, std::string_view> table[] = {
      {"public.png", "png"},           {"public.jpeg", "jpg"}, {"com.compuserve.gif", "gif"},
      {"public.heic", "heic"},         {"public.heif", "heic"}, {"com.microsoft.bmp", "bmp"},
      {"public.tiff", "tiff"},         {"org.webmproject.webp", "webp"},
  };
  for (const auto& [type, extension] : table) {
    if (typeIdentifier == type) return std::string(extension);
  }
  return "png";
}

std::string mimeTypeForExtension(std::string_view extension) {
  std::string e = toLowerAscii(extension);
  if (e == "png") return "image/png";
  if (e == "jpg" || e == "jpeg") return "image/jpeg";
  if (e == "gif") return "image/gif";
  if (e == "webp") return "image/webp";
  if (e == "heic") return "image/heic";
  if (e == "svg") return "image/svg+xml";
  return "application/octet-stream";
}

std::optional<std::filesystem::path> mediaFile(std::string_view token) {
  if (!isMediaToken(token)) return std::nullopt;
  const std::filesystem::path folder = mediaDirectory().lexically_normal();
  std::filesystem::path file = (folder / std::string(token)).lexically_normal();
  auto [folderEnd, fileIt] = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
  if (folderEnd != folder.end()) return std::nullopt;
  std::error_code ec;
  // The library stores plain files only: a link placed in the folder could
  // point anywhere, so it is not followed.
  if (std::filesystem::symlink_status(file, ec).type() != std::filesystem::file_type::regular) return std::nullopt;
  return file;
}

std::optional<std::filesystem::path> thumbnailFile(std::string_view token) {
  auto media = mediaFile(token);
  if (!media) return std::nullopt;
  std::string extension = lowerExtension(token);
  if (extension == "svg" || extension == "gif") return media;

  std::filesystem::path folder = mediaDirectory() / "thumb";
  std::filesystem::path thumb = folder / (std::string(token) + ".jpg");
  struct stat mediaStat {}, thumbStat {};
  if (::stat(media->c_str(), &mediaStat) != 0) return media;
  if (::stat(thumb.c_str(), &thumbStat) == 0 && S_ISREG(thumbStat.st_mode)) {
    const auto& t = thumbStat.st_mtim;
    const auto& m = mediaStat.st_mtim;
    if (t.tv_sec > m.tv_sec || (t.tv_sec == m.tv_sec && t.tv_nsec >= m.tv_nsec)) return thumb;
  }
  auto jpeg = makeJpegThumbnail(*media, kThumbnailMaxSide, kThumbnailQuality);
  if (!jpeg) return media;
  (void)records::ensurePrivateDirectory(folder);
  // Written whole through a temporary, so two requests racing here each
  // replace the file in one step.
  if (!writeFileAtomic(thumb, *jpeg, 0600)) return media;
  return thumb;
}

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size(), i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
    out[o++] = kBase64Alphabet[v >> 18];
    out[o++] = kBase64Alphabet[(v >> 12) & 63];
    out[o++] = kBase64Alphabet[(v >> 6) & 63];
    out[o++] = kBase64Alphabet[v & 63];
  }
  if (i < n) {
    uint32_t v = uint32_t(in[i]) << 16;
    if (i + 1 < n) v |= uint32_t(in[i + 1]) << 8;
    out[o++] = kBase64Alphabet[v >> 18];
    out[o++] = kBase64Alphabet[(v >> 12) & 63];
    out[o++] = i + 1 < n ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  static const auto table = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
    return t;
  }();
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') {
    ++padding;
    if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  }
  std::string out;
  out.resize(text.size() / 4 * 3 - padding);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  size_t o = 0;
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int a = table[in[i]], b = table[in[i + 1]];
    int c = (last && padding == 2) ? 0 : table[in[i + 2]];
    int d = (last && padding >= 1) ? 0 : table[in[i + 3]];
    if ((a | b | c | d) < 0) return std::nullopt;
    uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
    out[o++] = static_cast<char>(v >> 16);
    if (!last || padding < 2) out[o++] = static_cast<char>((v >> 8) & 0xFF);
    if (!last || padding < 1) out[o++] = static_cast<char>(v & 0xFF);
  }
  return out;
}

}  // namespace corvane::media
