#include "notes/markup.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <bit>
#include <cstring>
#include <iterator>
#include <optional>

#include "core/regex.h"
#include "core/text.h"

namespace corvane::notes {

namespace {

constexpr unsigned kCI = Regex::CaseInsensitive;

struct Patterns {
  Regex separatorLine{R"(<(div|p)\b[^>]*>\s*(?:<span\b[^>]*>\s*)?(?:⸻|&#x0*2e3b;?|&#0*11835;?)(?:\s*</span>)?\s*</\1>)",
                      kCI};
  Regex formatting{
      R"(<b>|<strong>|<em>|<i>|<u>|<li>|<img|<hr\b|<a\s|font-weight|font-style|text-decoration|font-size|line-height|letter-spacing)",
      kCI};
  Regex titleLine{R"(^\s*<div>.*?</div>)", kCI};
  Regex imageTag{R"(<img[^>]*src\s*=\s*["']([^"']+)["'][^>]*>)", kCI};
  Regex imageSource{R"(<img[^>]+src\s*=\s*["']([^"']+)["'])", kCI};
  Regex widthAttribute{R"(width\s*=\s*["']?(\d+))", kCI};
  Regex emptyLine{R"(<div[^>]*>(?:\s|&nbsp;|<br\s*/?>)*</div>)", kCI};
  Regex lineEnd{R"(</div>|</p>)", kCI};
  Regex anchor{R"(<a\b[^>]*>)", kCI};
  Regex httpHref{R"(href\s*=\s*["'](https?://[^"']+)["'])", kCI};
  Regex disallowedTag{R"(</?(?!(span|b|i|u|br|hr|img|ul|ol|li|a)\b)[a-z!][^>]*>)", kCI};
  Regex backgroundColor{R"(background-color:[^;"]*;?)", kCI};
  Regex styleAttribute{R"re(style="([^"]*)")re", kCI};
  Regex entity{R"(^&(?:#[0-9]{1,7}|#[xX][0-9A-Fa-f]{1,6}|[A-Za-z][A-Za-z0-9]{1,31});$)"};
  Regex ruleTag{R"(<hr[^>]*>)", kCI};
  Regex anyTag{R"(<[^>]+>)"};
  Regex todoOpen{R"(- \[ \] )"};
  Regex todoDone{R"(- \[[xX]\] )"};
  Regex strongOpen{R"(<strong([^>]*)>)", kCI};
  Regex emOpen{R"(<em([^>]*)>)", kCI};
};

const Patterns& patterns() {
  static const Patterns p;
  return p;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `needle` must be lower case ASCII.
bool hasPrefixCI(std::string_view text, size_t at, std::string_view needle) {
  if (at > text.size() || text.size() - at < needle.size()) return false;
  for (size_t k = 0; k < needle.size(); ++k)
    if (lowerAscii(text[at + k]) != needle[k]) return false;
  return true;
}

// `needle` is lower case ASCII. When it ends in a character that is not a
// letter, memchr finds the candidates directly instead of testing every byte.
bool containsCI(std::string_view text, std::string_view needle) {
  const char last = needle.back();
  if ((last >= 'a' && last <= 'z')) {
    for (size_t i = 0; i + needle.size() <= text.size(); ++i)
      if (hasPrefixCI(text, i, needle)) return true;
    return false;
  }
  size_t i = needle.size() - 1;
  while (i < text.size()) {
    const void* hit = std::memchr(text.data() + i, last, text.size() - i);
    if (!hit) return false;
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
    if (hasPrefixCI(text, at + 1 - needle.size(), needle)) return true;
    i = at + 1;
  }
  return false;
}

// Whether "<" followed by the rest of `tagStart` (lower case) occurs.
bool hasTagStartCI(std::string_view text, std::string_view tagStart) {
  size_t i = 0;
  while (i < text.size()) {
    const void* hit = std::memchr(text.data() + i, '<', text.size() - i);
    if (!hit) return false;
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
    if (hasPrefixCI(text, at, tagStart)) return true;
    i = at + 1;
  }
  return false;
}

std::string trimmedInPlace(std::string text) {
  std::string_view kept = trimUnicodeWhitespace(text);
  size_t start = static_cast<size_t>(kept.data() - text.data());
  text.resize(start + kept.size());
  text.erase(0, start);
  return text;
}

std::string validText(std::string_view text) {
  return isValidUtf8(text) ? std::string(text) : sanitizeUtf8(text);
}

// Drops U+FFFC and U+FFFD (EF BF BC / EF BF BD) in one pass.
std::string withoutReplacementCharacters(std::string text) {
  if (text.find("\xEF\xBF") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const void* hit = std::memchr(text.data() + i, '\xEF', text.size() - i);
    size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
    out.append(text, i, at - i);
    if (at == text.size()) break;
    if (at + 2 < text.size() && text[at + 1] == '\xBF' && (text[at + 2] == '\xBC' || text[at + 2] == '\xBD')) {
      i = at + 3;
    } else {
      out += text[at];
      i = at + 1;
    }
  }
  return out;
}

// Line ends of a body: "</div>" and the three spellings of a line break. Tags
// are matched without regard to case, as the browser treats them.
std::string lineEndsToNewlines(std::string_view html) {
  std::string out;
  out.reserve(html.size());
  size_t copied = 0;  // html[copied, at) is still to be copied
  size_t i = 0;
  while (i < html.size()) {
    const void* hit = std::memchr(html.data() + i, '<', html.size() - i);
    if (!hit) break;
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - html.data());
    size_t skip = 0;
    char next = at + 1 < html.size() ? lowerAscii(html[at + 1]) : '\0';
    if (next == '/') {
      if (hasPrefixCI(html, at, "</div>")) skip = 6;
    } else if (next == 'b') {
      if (hasPrefixCI(html, at, "<br>")) skip = 4;
      else if (hasPrefixCI(html, at, "<br/>")) skip = 5;
      else if (hasPrefixCI(html, at, "<br />")) skip = 6;
    }
    if (skip) {
      out.append(html.data() + copied, at - copied);
      out += '\n';
      copied = at + skip;
      i = copied;
    } else {
      i = at + 1;
    }
  }
  out.append(html.data() + copied, html.size() - copied);
  return out;
}

// Decodes the five basic entities, each occurrence once: "&amp;lt;" is the
// text "&lt;", as the writer of the markup meant.
std::string decodeBasicEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const void* hit = std::memchr(text.data() + i, '&', text.size() - i);
    size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
    out.append(text.data() + i, at - i);
    if (at == text.size()) break;
    std::string_view rest = text.substr(at);
    if (rest.starts_with("&amp;")) out += '&', i = at + 5;
    else if (rest.starts_with("&lt;")) out += '<', i = at + 4;
    else if (rest.starts_with("&gt;")) out += '>', i = at + 4;
    else if (rest.starts_with("&quot;")) out += '"', i = at + 6;
    else if (rest.starts_with("&#39;")) out += '\'', i = at + 5;
    else out += '&', i = at + 1;
  }
  return out;
}

std::string replaceAllLiteral(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  size_t i = 0;
  while (true) {
    size_t at = text.find(from, i);
    if (at == std::string_view::npos) break;
    if (out.empty()) out.reserve(text.size());
    out.append(text.data() + i, at - i);
    out += to;
    i = at + from.size();
  }
  if (i == 0) return std::string(text);
  out.append(text.data() + i, text.size() - i);
  return out;
}

// "</strong>" -> "</b>" and "</em>" -> "</i>" in one pass.
std::string closeStrongAndEm(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t at = text.find("</", i);
    if (at == std::string_view::npos) break;
    out.append(text.data() + i, at - i);
    if (hasPrefixCI(text, at, "</strong>")) out += "</b>", i = at + 9;
    else if (hasPrefixCI(text, at, "</em>")) out += "</i>", i = at + 5;
    else out += "</", i = at + 2;
  }
  out.append(text.data() + i, text.size() - i);
  return out;
}

// The light accent colours become their dark forms (the tray is dark).
std::string darkenAccentColours(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const void* hit = std::memchr(text.data() + i, '#', text.size() - i);
    size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
    out.append(text.data() + i, at - i);
    if (at == text.size()) break;
    if (hasPrefixCI(text, at, "#3346d6")) out += "#8fa0ff", i = at + 7;
    else if (hasPrefixCI(text, at, "#d8324a")) out += "#ff8a98", i = at + 7;
    else out += '#', i = at + 1;
  }
  return out;
}

bool isAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

void appendAttribute(std::string& out, std::string_view name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  for (char c : value) {
    if (c == '"') out += "&quot;";
    else out += c;
  }
  out += '"';
}

// Rebuilds one kept tag with only harmless attributes: event handlers, links
// in other attributes and single-quoted styles that would escape the style
// filter never reach the page. Tags whose full name is not on the list (such
// as "<span-x>", which the disallowed-tag pattern lets through) are dropped.
void rebuildKeptTag(bool closing, std::string_view rawName, std::string_view attrs, std::string& out) {
  static constexpr std::string_view kKept[] = {"span", "b", "i", "u", "br", "hr", "img", "ul", "ol", "li", "a"};
  std::string_view name;
  for (std::string_view k : kKept)
    if (equalsIgnoreCaseAscii(rawName, k)) name = k;
  if (name.empty()) return;
  if (closing) {
    out += "</";
    out += name;
    out += '>';
    return;
  }

  // Attributes each tag may keep, as bits of kAttributes.
  static constexpr std::string_view kAttributes[] = {"src", "width", "href", "style", "class", "data-done"};
  unsigned allowedMask = 1u << 3;  // style
  if (name == "img") allowedMask = 1u << 0 | 1u << 1;
  else if (name == "a") allowedMask = 1u << 2;
  else if (name == "span") allowedMask |= 1u << 4 | 1u << 5;

  out += '<';
  out += name;
  unsigned seen = 0;
  size_t i = 0;
  while (i < attrs.size()) {
    while (i < attrs.size() && (isAsciiSpace(attrs[i]) || attrs[i] == '/')) ++i;
    if (i >= attrs.size()) break;
    size_t nameStart = i;
    while (i < attrs.size() && !isAsciiSpace(attrs[i]) && attrs[i] != '/' && attrs[i] != '=') ++i;
    if (i == nameStart) ++i;  // a stray "=": skip it
    std::string_view attr = attrs.substr(nameStart, i - nameStart);
    while (i < attrs.size() && isAsciiSpace(attrs[i])) ++i;
    std::string_view value;
    if (i < attrs.size() && attrs[i] == '=') {
      ++i;
      while (i < attrs.size() && isAsciiSpace(attrs[i])) ++i;
      if (i < attrs.size() && (attrs[i] == '"' || attrs[i] == '\'')) {
        char quote = attrs[i++];
        size_t close = attrs.find(quote, i);
        if (close == std::string_view::npos) close = attrs.size();
        value = attrs.substr(i, close - i);
        i = close < attrs.size() ? close + 1 : close;
      } else {
        size_t start = i;
        while (i < attrs.size() && !isAsciiSpace(attrs[i])) ++i;
        value = attrs.substr(start, i - start);
      }
    }
    unsigned bit = 0;
    for (size_t k = 0; k < std::size(kAttributes); ++k)
      if (equalsIgnoreCaseAscii(attr, kAttributes[k])) bit = 1u << k;
    // The browser honours the first of repeated attributes; so do we.
    if (!(bit & allowedMask) || (bit & seen)) continue;
    if (name == "a" && !hasPrefixCI(value, 0, "http://") && !hasPrefixCI(value, 0, "https://")) continue;
    seen |= bit;
    appendAttribute(out, kAttributes[std::countr_zero(bit)], value);
  }
  out += '>';
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Walks every tag left after the disallowed ones are gone (a "<", an optional
// "/", a letter, up to the next ">") and rebuilds it; text is copied as is.
std::string sanitiseKeptTags(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  size_t nextGt = 0;
  bool gtKnown = false;
  while (i < text.size()) {
    const void* hit = std::memchr(text.data() + i, '<', text.size() - i);
    size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
    out.append(text.data() + i, at - i);
    if (at == text.size()) break;
    bool closing = at + 1 < text.size() && text[at + 1] == '/';
    size_t nameStart = at + 1 + (closing ? 1 : 0);
    if (nameStart >= text.size() || !isAsciiLetter(text[nameStart])) {
      out += '<';
      i = at + 1;
      continue;
    }
    // The next ">" is looked up once per range, so "<a<a<a…" stays linear.
    if (!gtKnown || (nextGt != std::string_view::npos && nextGt < at)) {
      nextGt = text.find('>', at);
      gtKnown = true;
    }
    if (nextGt == std::string_view::npos) {
      out.append(text.data() + at, text.size() - at);
      break;
    }
    size_t nameEnd = nameStart;
    while (nameEnd < nextGt && !isAsciiSpace(text[nameEnd]) && text[nameEnd] != '/') ++nameEnd;
    rebuildKeptTag(closing, text.substr(nameStart, nameEnd - nameStart), text.substr(nameEnd, nextGt - nameEnd), out);
    i = nextGt + 1;
  }
  return out;
}

// Escapes the characters that would end a tag early or start a new one
// inside a rebuilt image source.
void appendAttributeSafe(std::string& out, std::string_view text) {
  if (text.find_first_of("<>") == std::string_view::npos) {
    out += text;
    return;
  }
  for (char c : text) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
}

}  // namespace

std::string lowerCaseText(std::string_view text) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return toLowerAscii(text);
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string htmlToText(std::string_view html) {
  const Patterns& p = patterns();
  std::string text = isValidUtf8(html) ? lineEndsToNewlines(html) : lineEndsToNewlines(sanitizeUtf8(html));
  if (hasTagStartCI(text, "<hr")) text = p.ruleTag.replaceAll(text, "\n⸻\n");
  // Dropping every tag: copy the text between matches straight into the
  // output (no replacement text to build per tag).
  std::string untagged;
  untagged.reserve(text.size());
  size_t last = 0;
  p.anyTag.forEach(text, [&](const Regex::Match& m) {
    untagged.append(text, last, m.start() - last);
    last = m.end();
    return true;
  });
  untagged.append(text, last);
  text = decodeBasicEntities(untagged);
  return trimmedInPlace(std::move(text));
}

std::string comparableTitle(std::string_view text) {
  std::string lower = lowerCaseText(text);
  std::string out;
  size_t i = 0;
  bool pendingSpace = false;
  while (i < lower.size()) {
    size_t start = i;
    char32_t cp = decodeCodePoint(lower, i);
    if (isUnicodeWhitespace(cp)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out.append(lower, start, i - start);
  }
  return out;
}

std::string previewText(std::string_view plain, std::string_view title) {
  std::string text = withoutReplacementCharacters(validText(plain));

  std::vector<std::string_view> lines;
  std::string_view all = text;
  size_t start = 0;
  while (true) {
    size_t nl = all.find('\n', start);
    std::string_view line = all.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }

  size_t first = 0;
  const std::string titleText = validText(title);
  std::string_view trimmedTitle = trimUnicodeWhitespace(titleText);
  if (!lines.empty() && !trimmedTitle.empty()) {
    if (comparableTitle(trimmedTitle) == comparableTitle(trimUnicodeWhitespace(lines[0]))) first = 1;
  }
  if (first >= lines.size()) return {};

  std::string joined;
  joined.reserve(text.size() + 2 * (lines.size() - first));
  for (size_t k = first; k < lines.size(); ++k) {
    if (k > first) joined += "\u2028";
    joined += lines[k];
  }
  // U+2028 is white space, so one trim covers both trims.
  std::string_view trimmed = trimUnicodeWhitespace(joined);
  // Counting code points is only needed when the bytes could exceed the limit.
  if (trimmed.size() <= kPreviewTextLimit) return std::string(trimmed);
  return std::string(prefixCodePoints(trimmed, kPreviewTextLimit));
}

bool keepStyleDeclaration(std::string_view declaration) {
  size_t b = 0, e = declaration.size();
  while (b < e && (declaration[b] == ' ' || declaration[b] == '\t')) ++b;
  while (e > b && (declaration[e - 1] == ' ' || declaration[e - 1] == '\t')) --e;
  std::string d = toLowerAscii(declaration.substr(b, e - b));
  if (d.starts_with("color:")) {
    return d.find("#3346d6") != std::string::npos || d.find("#d8324a") != std::string::npos ||
           d.find("#8fa0ff") != std::string::npos || d.find("#ff8a98") != std::string::npos;
  }
  for (std::string_view prefix :
       {"font-weight:", "font-style:", "text-decoration:", "font-size:", "line-height:", "letter-spacing:"})
    if (d.starts_with(prefix)) return true;
  return false;
}

namespace {

// The rich preview keeps only its first 900 counted characters, so on a long
// body the steps run on a prefix cut after a "</div>" whenever that provably
// gives the same result as running them on the whole body: every step is a
// left-to-right replacement, so the prefix's result is the start of the
// whole result exactly when no match starting in the prefix could reach past
// its end. The checks below establish that for each step's input; when one
// fails, or the prefix does not fill the preview, a larger prefix (in the end
// the whole body) is used.

// The prefix ends with one complete simple tag (no "<" inside it), so
// tag-shaped parts of the patterns cannot run past the end.
bool endsWithClosedTag(std::string_view text, bool allowBreak) {
  if (text.empty() || text.back() != '>') return false;
  size_t lt = text.rfind('<');
  if (lt == std::string_view::npos) return false;
  std::string_view tag = text.substr(lt);
  if (tag != "</div>" && tag != "<hr>" && !(allowBreak && tag == "<br>")) return false;
  if (lt == 0) return true;
  size_t previousLt = text.rfind('<', lt - 1);
  return previousLt == std::string_view::npos || text.find('>', previousLt) < lt;
}

// No image source value is left open at the end: the last quote is not one
// that follows "=" (white space between, Unicode spaces included).
bool noOpenImageSource(std::string_view text) {
  size_t q = text.find_last_of("\"'");
  if (q == std::string_view::npos) return true;
  size_t k = q;
  while (k > 0 && (isAsciiSpace(text[k - 1]) || static_cast<unsigned char>(text[k - 1]) >= 0x80)) --k;
  return k == 0 || text[k - 1] != '=';
}

// No "background-color:" lacks a ";" or a quote after it.
bool noOpenBackgroundColour(std::string_view text) {
  size_t z = text.find_last_of(";\"");
  std::string_view tail = z == std::string_view::npos ? text : text.substr(z + 1);
  return !containsCI(tail, "background-color:");
}

// The last double quote does not open a style value.
bool noOpenStyle(std::string_view text) {
  size_t q = text.rfind('"');
  return q == std::string_view::npos || q < 6 || !hasPrefixCI(text, q - 6, "style=");
}

// Steps after the title removal; with `prefix` set, nullopt when the result
// could differ from the corresponding part of the whole body's result.
std::optional<std::string> transformBody(std::string text, bool prefix) {
  const Patterns& p = patterns();
  auto safe = [&](bool condition) { return !prefix || condition; };

  if (!safe(endsWithClosedTag(text, false))) return std::nullopt;
  text = p.separatorLine.replaceAll(text, "<hr>");

  if (!safe(endsWithClosedTag(text, false) && noOpenImageSource(text))) return std::nullopt;
  text = p.imageTag.replaceAll(text, [&](const Regex::Match& m) {
    std::string tag;
    tag.reserve(m.group(1).size() + 32);
    tag += "<img src=\"";
    appendAttributeSafe(tag, replaceAllLiteral(m.group(1), "/__media/", "/__thumb/"));
    tag += '"';
    // The width pattern needs the word; most tags can skip the search.
    if (containsCI(m.text(), "width")) {
      if (auto width = p.widthAttribute.firstMatch(m.text())) {
        tag += " width=\"";
        tag += width->group(1);
        tag += '"';
      }
    }
    tag += '>';
    return tag;
  });

  if (text.find("- [") != std::string::npos) {
    text = p.todoOpen.replaceAll(text, "<span class=\"todo\" data-done=\"0\">☐</span> ");
    text = p.todoDone.replaceAll(text, "<span class=\"todo\" data-done=\"1\">☑</span> ");
  }

  if (!safe(endsWithClosedTag(text, false))) return std::nullopt;
  text = p.emptyLine.replaceAll(text, "<br>");
  text = p.lineEnd.replaceAll(text, "<br>");

  if (!safe(endsWithClosedTag(text, true))) return std::nullopt;
  text = p.strongOpen.replaceAll(text, "<b$1>");
  text = p.emOpen.replaceAll(text, "<i$1>");
  text = closeStrongAndEm(text);

  text = p.anchor.replaceAll(text, [&](const Regex::Match& m) -> std::string {
    if (auto href = p.httpHref.firstMatch(m.text())) return "<a href=\"" + std::string(href->group(1)) + "\">";
    return "<x-strip>";
  });

  text = p.disallowedTag.replaceAll(text, "");

  if (!safe(endsWithClosedTag(text, true) && noOpenBackgroundColour(text))) return std::nullopt;
  text = p.backgroundColor.replaceAll(text, "");
  text = sanitiseKeptTags(text);

  if (!safe(endsWithClosedTag(text, true) && noOpenStyle(text))) return std::nullopt;
  text = p.styleAttribute.replaceAll(text, [](const Regex::Match& m) -> std::string {
    std::string kept;
    std::string_view value = m.group(1);
    size_t start = 0;
    while (true) {
      size_t semi = value.find(';', start);
      std::string_view declaration = value.substr(start, semi == std::string_view::npos ? value.npos : semi - start);
      if (keepStyleDeclaration(declaration)) {
        if (!kept.empty()) kept += ';';
        kept += declaration;
      }
      if (semi == std::string_view::npos) break;
      start = semi + 1;
    }
    if (kept.empty()) return {};
    return "style=\"" + kept + "\"";
  });
  if (!safe(endsWithClosedTag(text, true))) return std::nullopt;
  return text;
}

// First cut at or after `from`: just after a "</div>" that is a tag on its own.
size_t findPrefixCut(std::string_view text, size_t from) {
  while (from < text.size()) {
    size_t at = text.find("</div>", from);
    if (at == std::string_view::npos) return std::string_view::npos;
    size_t cut = at + 6;
    if (endsWithClosedTag(text.substr(0, cut), false)) return cut;
    from = cut;
  }
  return std::string_view::npos;
}

// The title is shown by the card itself: a leading "<div>title</div>" is
// dropped, or the plain first line that the folder store writes before the
// markup. Returns where the rest begins.
size_t titleEnd(std::string_view text) {
  if (auto title = patterns().titleLine.firstMatch(text)) return title->end();
  size_t lead = 0;
  while (lead < text.size() && isAsciiSpace(text[lead])) ++lead;
  size_t nl = text.find('\n', lead);
  if (lead < text.size() && text[lead] != '<' && nl != std::string_view::npos) return nl + 1;
  return 0;
}

constexpr size_t kFirstPrefixBytes = 32 * 1024;
// Room after the cut for truncateMarkup's look-ahead (an entity is at most
// 41 bytes from its "&").
constexpr size_t kTruncationMargin = 64;

}  // namespace

std::string richPreview(std::string_view html) {
  const Patterns& p = patterns();
  std::string text = withoutReplacementCharacters(validText(html));

  if (!containsCI(text, "color:") && !p.formatting.matches(text) && !p.separatorLine.matches(text)) return {};

  std::string_view body = std::string_view(text).substr(titleEnd(text));

  for (size_t target = kFirstPrefixBytes; target < body.size() / 2; target *= 4) {
    size_t cut = findPrefixCut(body, target);
    if (cut == std::string_view::npos || cut >= body.size()) break;
    std::optional<std::string> part = transformBody(std::string(body.substr(0, cut)), true);
    if (!part) continue;
    // Leading white space is trimmed as for the whole body; the end of the
    // prefix is a tag, so trailing trimming cannot reach the kept part.
    std::string_view lead = trimUnicodeWhitespace(*part);
    std::string shown = darkenAccentColours(std::string_view(*part).substr(lead.data() - part->data()));
    std::string cutShown = truncateMarkup(shown, kRichPreviewLimit);
    if (cutShown.size() + kTruncationMargin <= shown.size()) return cutShown;
  }

  return detail::richPreviewOfWholeBody(html);
}

namespace detail {

std::string richPreviewOfWholeBody(std::string_view html) {
  const Patterns& p = patterns();
  std::string text = withoutReplacementCharacters(validText(html));
  if (!containsCI(text, "color:") && !p.formatting.matches(text) && !p.separatorLine.matches(text)) return {};
  size_t bodyStart = titleEnd(text);
  std::string whole = *transformBody(text.substr(bodyStart), false);
  return truncateMarkup(darkenAccentColours(trimUnicodeWhitespace(whole)), kRichPreviewLimit);
}

}  // namespace detail

std::string truncateMarkup(std::string_view html, int64_t limit) {
  if (limit < 1) return {};
  const Regex& entity = patterns().entity;
  int64_t counter = 0;
  size_t i = 0;
  // The next ">" is searched for at most once per position range, so a text
  // full of "<" without ">" stays linear.
  size_t nextGt = 0;
  bool gtKnown = false;
  while (i < html.size()) {
    if (counter >= limit) return std::string(html.substr(0, i));
    char c = html[i];
    if (c == '<') {
      if (!gtKnown || (nextGt != std::string_view::npos && nextGt <= i)) {
        nextGt = html.find('>', i + 1);
        gtKnown = true;
      }
      if (nextGt == std::string_view::npos) {
        counter += 1;
        i += 1;
        continue;
      }
      std::string_view tag = html.substr(i, nextGt - i + 1);
      if (!hasPrefixCI(tag, 0, "<img")) counter += static_cast<int64_t>(codePointCount(tag));
      i = nextGt + 1;
    } else if (c == '&') {
      size_t window = std::min<size_t>(40, html.size() - i - 1);
      size_t semi = html.substr(i + 1, window).find(';');
      if (semi != std::string_view::npos && entity.matches(html.substr(i, semi + 2))) {
        i += semi + 2;
      } else {
        i += 1;
      }
      counter += 1;
    } else {
      ++i;
      while (i < html.size() && (static_cast<unsigned char>(html[i]) & 0xC0) == 0x80) ++i;
      counter += 1;
    }
  }
  return std::string(html);
}

std::vector<std::string> imageSources(std::string_view html, int64_t max) {
  std::vector<std::string> sources;
  if (max < 1) return sources;
  std::string text = validText(html);
  patterns().imageSource.forEach(text, [&](const Regex::Match& m) {
    sources.emplace_back(m.group(1));
    return static_cast<int64_t>(sources.size()) < max;
  });
  return sources;
}

}  // namespace corvane::notes
