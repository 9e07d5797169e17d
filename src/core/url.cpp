#include "core/url.h"

#include <algorithm>
#include <cctype>

namespace corvane {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool validScheme(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; });
}

}  // namespace

std::optional<Url> parseUrl(std::string_view text) {
  for (unsigned char c : text)
    if (c <= 0x20 || c == 0x7f) return std::nullopt;  // no spaces or controls anywhere
  auto colon = text.find(':');
  if (colon == std::string_view::npos || !validScheme(text.substr(0, colon))) return std::nullopt;
  Url url;
  url.scheme = lower(text.substr(0, colon));
  std::string_view rest = text.substr(colon + 1);
  if (rest.substr(0, 2) != "//") return std::nullopt;
  rest.remove_prefix(2);

  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    url.query = std::string(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }
  auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  url.path = slash == std::string_view::npos ? "" : std::string(rest.substr(slash));

  if (auto at = authority.rfind('@'); at != std::string_view::npos) {
    std::string_view info = authority.substr(0, at);
    authority = authority.substr(at + 1);
    auto c = info.find(':');
    url.user = std::string(info.substr(0, c));
    if (c != std::string_view::npos) url.password = std::string(info.substr(c + 1));
  }
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else if (auto c = authority.rfind(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
    if (port.empty()) return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
      return std::nullopt;
    int value = std::stoi(std::string(port));
    if (value > 65535) return std::nullopt;
    url.port = value;
  }
  url.host = lower(host);
  return url;
}

std::string percentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += (plusIsSpace && c == '+') ? ' ' : c;
  }
  return out;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::optional<std::string>>> queryItems(std::string_view query) {
  std::vector<std::pair<std::string, std::optional<std::string>>> items;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view part = query.substr(start, end - start);
    if (!part.empty()) {
      auto eq = part.find('=');
      if (eq == std::string_view::npos) items.emplace_back(percentDecode(part), std::nullopt);
      else items.emplace_back(percentDecode(part.substr(0, eq)), percentDecode(part.substr(eq + 1)));
    }
    start = end + 1;
  }
  return items;
}

bool isLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  if (host.substr(0, 4) != "127.") return false;
  int dots = 0;
  for (char c : host) {
    if (c == '.') ++dots;
    else if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return dots == 3;
}

}  // namespace corvane
