#include "capture/clip_source.h"

#include <array>
#include <cstring>

#include "core/text.h"

namespace corvane::capture {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWord(char c) { return isAlpha(c) || isDigit(c) || c == '_'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Case-insensitive comparison of s at `at` with a lower-case word.
bool matchesAt(std::string_view s, size_t at, std::string_view lowerWord) {
  if (at + lowerWord.size() > s.size()) return false;
  for (size_t i = 0; i < lowerWord.size(); ++i)
    if (lower(s[at + i]) != lowerWord[i]) return false;
  return true;
}

struct UrlParts {
  std::string scheme;  // lower-cased, empty when relative
  std::string host;
};

// A URI reference: no white space or control characters (anything else, such
// as a quote or a non-ASCII letter a browser shows in its address, is taken
// as the address holds it).
std::optional<UrlParts> parseUrl(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return std::nullopt;
  UrlParts parts;
  size_t rest = 0;
  if (!s.empty() && isAlpha(s[0])) {
    size_t i = 1;
    while (i < s.size() && (isAlpha(s[i]) || isDigit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) ++i;
    if (i < s.size() && s[i] == ':') {
      for (size_t k = 0; k < i; ++k) parts.scheme += lower(s[k]);
      rest = i + 1;
    }
  }
  std::string_view tail = s.substr(rest);
  if (tail.substr(0, 2) == "//") {
    std::string_view authority = tail.substr(2, tail.find_first_of("/?#", 2) - 2);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (!authority.empty() && authority[0] == '[') {
      auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      parts.host = std::string(authority.substr(1, close - 1));
    } else {
      parts.host = std::string(authority.substr(0, authority.find(':')));
    }
  }
  return parts;
}

std::string escapeAttribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

size_t codePoints(std::string_view s) {
  size_t n = 0;
  for (char c : s)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

// ---- The sanitiser's passes. Each is one left-to-right scan; a pass stops
// scanning for matches as soon as none can follow (no ">" left, no closer
// left), which is what keeps many unclosed openers linear.

// Position of "<name" followed by a non-word character at or after `from`.
size_t findOpener(std::string_view s, std::string_view name, size_t from) {
  while (true) {
    size_t lt = s.find('<', from);
    if (lt == std::string_view::npos) return lt;
    if (matchesAt(s, lt + 1, name) && (lt + 1 + name.size() >= s.size() || !isWord(s[lt + 1 + name.size()])))
      return lt;
    from = lt + 1;
  }
}

// "</name" + spaces + ">" at or after `from`; returns [start, end) or npos.
std::pair<size_t, size_t> findCloser(std::string_view s, std::string_view name, size_t from) {
  while (true) {
    size_t lt = s.find("</", from);
    if (lt == std::string_view::npos) return {lt, lt};
    size_t i = lt + 2;
    if (matchesAt(s, i, name)) {
      i += name.size();
      while (i < s.size() && isSpace(s[i])) ++i;
      if (i < s.size() && s[i] == '>') return {lt, i + 1};
    }
    from = lt + 1;
  }
}

// Removes the ranges [start, end) that `next` finds, left to right, in place.
// `next(view, from)` returns the next range at or after `from`, or npos.
template <class Next>
bool removeRanges(std::string& text, Next next) {
  std::string_view s = text;
  size_t write = 0, copied = 0, from = 0;
  bool any = false;
  while (true) {
    auto [start, end] = next(s, from);
    if (start == std::string_view::npos) break;
    if (!any) {
      write = start;
      any = true;
    } else {
      std::memmove(text.data() + write, text.data() + copied, start - copied);
      write += start - copied;
    }
    copied = from = end;
  }
  if (!any) return false;
  std::memmove(text.data() + write, text.data() + copied, s.size() - copied);
  text.resize(write + s.size() - copied);
  return true;
}

constexpr size_t npos = std::string_view::npos;

// Removes "<name ...>…</name>" blocks (the first closer after each opener).
bool removeBlocks(std::string& text, std::string_view name) {
  return removeRanges(text, [name](std::string_view s, size_t from) -> std::pair<size_t, size_t> {
    size_t open = findOpener(s, name, from);
    if (open == npos) return {npos, npos};
    size_t gt = s.find('>', open + 1 + name.size());
    if (gt == npos) return {npos, npos};
    auto [closeStart, closeEnd] = findCloser(s, name, gt + 1);
    if (closeStart == npos) return {npos, npos};
    return {open, closeEnd};
  });
}

// Removes lone "<name ...>" tags.
bool removeTags(std::string& text, std::string_view name) {
  return removeRanges(text, [name](std::string_view s, size_t from) -> std::pair<size_t, size_t> {
    size_t open = findOpener(s, name, from);
    if (open == npos) return {npos, npos};
    size_t gt = s.find('>', open + 1 + name.size());
    if (gt == npos) return {npos, npos};
    return {open, gt + 1};
  });
}

bool removeComments(std::string& text) {
  return removeRanges(text, [](std::string_view s, size_t from) -> std::pair<size_t, size_t> {
    size_t open = s.find("<!--", from);
    if (open == npos) return {npos, npos};
    size_t close = s.find("-->", open + 4);
    if (close == npos) return {npos, npos};
    return {open, close + 3};
  });
}

// Which of `names` occur as "<name" (any case) in the text: passes for the
// others are skipped.
template <size_t N>
std::array<bool, N> namesPresent(std::string_view s, const std::array<std::string_view, N>& names) {
  std::array<bool, N> present{};
  std::array<bool, 256> firstLetter{};
  for (auto name : names) firstLetter[static_cast<unsigned char>(name[0])] = true;
  for (size_t lt = s.find('<'); lt != npos; lt = s.find('<', lt + 1)) {
    if (lt + 1 >= s.size() || !firstLetter[static_cast<unsigned char>(lower(s[lt + 1]))]) continue;
    for (size_t k = 0; k < N; ++k)
      if (!present[k] && matchesAt(s, lt + 1, names[k])) present[k] = true;
  }
  return present;
}

bool allDigits(const std::optional<std::string>& v) {
  if (!v || v->empty()) return false;
  for (char c : *v)
    if (!isDigit(c)) return false;
  return true;
}

constexpr std::array<std::string_view, 19> kKeptTags = {"table", "thead", "tbody", "tfoot", "tr", "td", "th",
                                                        "br", "b", "strong", "i", "em", "span", "div",
                                                        "p", "a", "ul", "ol", "li"};

// Text between tags: a "<" that did not start a tag is written escaped.
void appendText(std::string& out, std::string_view text) {
  size_t from = 0;
  while (true) {
    size_t lt = text.find('<', from);
    if (lt == std::string_view::npos) break;
    out.append(text.substr(from, lt - from));
    out += "&lt;";
    from = lt + 1;
  }
  out.append(text.substr(from));
}

}  // namespace

std::optional<std::string> validLink(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  std::string_view trimmed = trim(*text);
  if (trimmed.empty()) return std::nullopt;
  for (char c : trimmed)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  auto parts = parseUrl(trimmed);
  if (!parts || parts->scheme.empty()) return std::nullopt;
  if (parts->scheme == "javascript" || parts->scheme == "data" || parts->scheme == "vbscript") return std::nullopt;
  if ((parts->scheme == "http" || parts->scheme == "https") && parts->host.empty()) return std::nullopt;
  return std::string(trimmed);
}

bool isWebLink(std::string_view text) {
  auto parts = parseUrl(text);
  return parts && (parts->scheme == "http" || parts->scheme == "https");
}

std::string composeClip(std::string_view text, std::string_view source, std::optional<std::string_view> richHTML) {
  std::string out = "<div><br></div><hr>";
  std::string_view src = trim(source);
  if (richHTML && !richHTML->empty()) {
    out += *richHTML;
    if (!src.empty()) out += "<div><i>— " + escapeHtmlText(src) + "</i></div>";
    return out;
  }
  std::string escaped = escapeHtmlText(text);
  if (!src.empty() && isWebLink(src)) {
    if (codePoints(text) <= 120) {
      out += "<div><a href=\"" + escapeAttribute(src) + "\">" + escaped + "</a></div>";
    } else {
      out += "<div>" + escaped + " | <a href=\"" + escapeAttribute(src) + "\">link</a></div>";
    }
  } else if (!src.empty()) {
    out += "<div>" + escaped + "</div><div><i>— " + escapeHtmlText(src) + "</i></div>";
  } else {
    out += "<div>" + escaped + "</div>";
  }
  return out;
}

std::optional<std::string> attributeValue(std::string_view name, std::string_view attributes) {
  const std::string lowerName = toLowerAscii(name);
  bool doubleClosable = true, singleClosable = true;  // a closing quote still lies ahead
  for (size_t p = 0; p + name.size() <= attributes.size(); ++p) {
    if (p > 0 && isWord(attributes[p - 1])) continue;
    if (!matchesAt(attributes, p, lowerName)) continue;
    size_t i = p + name.size();
    while (i < attributes.size() && isSpace(attributes[i])) ++i;
    if (i >= attributes.size() || attributes[i] != '=') continue;
    ++i;
    while (i < attributes.size() && isSpace(attributes[i])) ++i;
    if (i >= attributes.size()) continue;
    char quote = attributes[i];
    if (quote != '"' && quote != '\'') continue;
    bool& closable = quote == '"' ? doubleClosable : singleClosable;
    if (!closable) continue;
    size_t close = attributes.find(quote, i + 1);
    if (close == std::string_view::npos) {
      closable = false;
      continue;
    }
    return std::string(attributes.substr(i + 1, close - i - 1));
  }
  return std::nullopt;
}

std::optional<std::string> sanitizeClipHTML(std::string_view html) {
  bool hasTable = false;
  for (size_t lt = html.find('<'); lt != std::string_view::npos; lt = html.find('<', lt + 1))
    if (matchesAt(html, lt + 1, "table")) {
      hasTable = true;
      break;
    }
  if (!hasTable) return std::nullopt;

  static constexpr std::array<std::string_view, 17> kRemoved = {
      "script", "style", "iframe", "object", "embed", "template", "noscript", "form", "svg", "math",  // with content
      "meta", "link", "base", "input", "button", "select", "textarea"};                            // the tag only
  std::string s(html);
  // A pass for a name that does not occur is skipped; a removal can join two
  // pieces into a new opener, so the survey is taken again after one.
  auto present = namesPresent(std::string_view(s), kRemoved);
  for (size_t k = 0; k < 10; ++k) {
    if (!present[k]) continue;
    bool changed = removeBlocks(s, kRemoved[k]);
    changed = removeTags(s, kRemoved[k]) || changed;
    if (changed) present = namesPresent(std::string_view(s), kRemoved);
  }
  if (removeComments(s)) present = namesPresent(std::string_view(s), kRemoved);
  for (size_t k = 10; k < kRemoved.size(); ++k)
    if (present[k] && removeTags(s, kRemoved[k])) present = namesPresent(std::string_view(s), kRemoved);

  std::string out;
  out.reserve(s.size());
  std::string_view v = s;
  size_t copied = 0, from = 0;
  while (true) {
    size_t lt = v.find('<', from);
    if (lt == std::string_view::npos) break;
    size_t i = lt + 1;
    bool closing = i < v.size() && v[i] == '/';
    if (closing) ++i;
    if (i >= v.size() || !isAlpha(v[i])) {
      from = lt + 1;
      continue;
    }
    size_t nameStart = i;
    while (i < v.size() && (isAlpha(v[i]) || isDigit(v[i]))) ++i;
    size_t gt = v.find('>', i);
    if (gt == std::string_view::npos) break;  // no tag can follow
    std::string_view attributes = v.substr(i, gt - i);
    appendText(out, v.substr(copied, lt - copied));
    copied = from = gt + 1;
    std::string_view name;
    if (i - nameStart <= 6) {
      for (auto k : kKeptTags)
        if (k.size() == i - nameStart && matchesAt(v, nameStart, k)) name = k;
    }
    if (name.empty()) continue;  // any other tag is dropped, its content stays
    if (closing) {
      out += "</";
      out += name;
      out += '>';
    } else if (name == "a") {
      auto href = attributeValue("href", attributes);
      std::string_view trimmed = href ? trim(*href) : std::string_view();
      if (href && isWebLink(trimmed)) {
        out += "<a href=\"" + escapeAttribute(*href) + "\">";
      } else {
        out += "<a>";
      }
    } else if (name == "td" || name == "th") {
      out += '<';
      out += name;
      if (auto c = attributeValue("colspan", attributes); allDigits(c)) out += " colspan=\"" + *c + "\"";
      if (auto r = attributeValue("rowspan", attributes); allDigits(r)) out += " rowspan=\"" + *r + "\"";
      out += '>';
    } else {
      out += '<';
      out += name;
      out += '>';
    }
  }
  appendText(out, v.substr(copied));
  return out;
}

std::optional<std::string> htmlSourceLink(std::string_view html) {
  // "SourceURL:" at the start of a line.
  for (size_t at = 0; at < html.size();) {
    if ((at == 0 || html[at - 1] == '\n') && matchesAt(html, at, "sourceurl:")) {
      size_t i = at + 10;
      while (i < html.size() && isSpace(html[i])) ++i;
      size_t end = html.find_first_of("\r\n", i);
      if (auto link = validLink(html.substr(i, end == std::string_view::npos ? end : end - i))) return link;
    }
    size_t nl = html.find('\n', at);
    if (nl == std::string_view::npos) break;
    at = nl + 1;
  }
  // <base … href="…">
  for (size_t from = 0;;) {
    size_t open = findOpener(html, "base", from);
    if (open == std::string_view::npos) break;
    size_t gt = html.find('>', open + 5);
    std::string_view tag = html.substr(open + 5, gt == std::string_view::npos ? std::string_view::npos : gt - open - 5);
    if (auto href = attributeValue("href", tag))
      if (auto link = validLink(*href)) return link;
    if (gt == std::string_view::npos) break;
    from = gt + 1;
  }
  return std::nullopt;
}

}  // namespace corvane::capture
