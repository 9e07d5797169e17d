#include "export/auto_format.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "core/text.h"

namespace corvane::exports {

namespace {

bool isWs(char32_t cp) { return cp == ' ' || (cp >= 9 && cp <= 13) || (cp >= 0x80 && isUnicodeWhitespace(cp)); }

// Position after the white space starting at `pos`.
size_t skipWs(std::string_view s, size_t pos) {
  while (pos < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[pos]);
    if (c < 0x80) {
      if (c == ' ' || (c >= 9 && c <= 13)) {
        ++pos;
        continue;
      }
      return pos;
    }
    size_t next = pos;
    if (!isWs(decodeCodePoint(s, next))) return pos;
    pos = next;
  }
  return pos;
}

std::string_view trim(std::string_view s) {
  size_t b = skipWs(s, 0);
  if (b == s.size()) return {};
  // Trailing white space: walk back over ASCII quickly, else decode.
  size_t e = s.size();
  while (e > b) {
    unsigned char c = static_cast<unsigned char>(s[e - 1]);
    if (c < 0x80) {
      if (c == ' ' || (c >= 9 && c <= 13)) {
        --e;
        continue;
      }
      break;
    }
    size_t start = e - 1;
    while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    size_t i = start;
    if (!isWs(decodeCodePoint(s, i))) break;
    e = start;
  }
  return s.substr(b, e - b);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Length of a bullet character at `pos` (0 when there is none).
size_t bulletAt(std::string_view s, size_t pos) {
  if (pos >= s.size()) return 0;
  char c = s[pos];
  if (c == '-' || c == '*') return 1;
  static constexpr std::array<std::string_view, 5> kMulti = {"\xE2\x80\xA2", "\xC2\xB7", "\xE2\x80\x93",
                                                             "\xE2\x80\x94", "\xE2\x96\xAA"};
  for (auto m : kMulti)
    if (s.substr(pos, m.size()) == m) return m.size();
  return 0;
}

struct Marker {
  bool found = false;
  bool number = false;
  size_t textStart = 0;  // after the marker and the white space that follows it
};

// "^\s*(?:bullet|\d+[.)])\s+"
Marker listMarker(std::string_view s) {
  size_t p = skipWs(s, 0);
  Marker m;
  if (size_t n = bulletAt(s, p)) {
    p += n;
  } else if (p < s.size() && isDigit(s[p])) {
    while (p < s.size() && isDigit(s[p])) ++p;
    if (p >= s.size() || (s[p] != '.' && s[p] != ')')) return m;
    ++p;
    m.number = true;
  } else {
    return m;
  }
  size_t after = skipWs(s, p);
  if (after == p) return m;
  m.found = true;
  m.textStart = after;
  return m;
}

// A list line: the marker, white space, then something that is not white space.
struct ListLine {
  bool is = false;
  bool number = false;
};
ListLine listLine(std::string_view s) {
  Marker m = listMarker(s);
  if (!m.found || m.textStart >= s.size()) return {};
  return {true, m.number};
}

size_t leadingHashes(std::string_view s) {
  size_t n = 0;
  while (n < s.size() && s[n] == '#') ++n;
  return n;
}

// "^#{1,6}\s+"
bool headingStart(std::string_view s) {
  size_t n = leadingHashes(s);
  return n >= 1 && n <= 6 && skipWs(s, n) > n;
}

// "^(#{1,6})\s+(.*\S)": the level and group 2.
bool headingMark(std::string_view s, int& level, std::string_view& text) {
  size_t n = leadingHashes(s);
  if (n < 1 || n > 6) return false;
  size_t after = skipWs(s, n);
  if (after == n || after == s.size()) return false;
  std::string_view rest = trim(s.substr(after));
  if (rest.empty()) return false;
  level = static_cast<int>(n);
  text = rest;
  return true;
}

bool startsWithFence(std::string_view t) { return startsWith(t, "```") || startsWith(t, "~~~"); }

bool onlyOf(std::string_view t, std::string_view chars) {
  return t.size() >= 2 && t.find_first_not_of(chars) == std::string_view::npos;
}

bool endsWithSentenceMark(std::string_view t) {
  return !t.empty() && (t.back() == '.' || t.back() == '!' || t.back() == '?');
}

std::vector<std::string_view> splitWords(std::string_view t) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < t.size()) {
    i = skipWs(t, i);
    if (i >= t.size()) break;
    size_t start = i;
    while (i < t.size()) {
      size_t next = i;
      unsigned char c = static_cast<unsigned char>(t[i]);
      if (c < 0x80) {
        if (c == ' ' || (c >= 9 && c <= 13)) break;
        ++i;
        continue;
      }
      if (isWs(decodeCodePoint(t, next))) break;
      i = next;
    }
    words.push_back(t.substr(start, i - start));
  }
  return words;
}

bool isMinorWord(std::string_view word) {
  static constexpr std::array<std::string_view, 17> kMinor = {"a",  "an", "the", "and", "or",   "of",
                                                              "to", "in", "on",  "for", "at",   "by",
                                                              "with", "from", "as", "but", "nor"};
  if (word.size() > 4) return false;
  std::string lower = toLowerAscii(word);
  return std::find(kMinor.begin(), kMinor.end(), lower) != kMinor.end();
}

bool isUpperOrNumber(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
  if (u_isupper(static_cast<UChar32>(cp)) || u_istitle(static_cast<UChar32>(cp))) return true;
  int8_t cat = static_cast<int8_t>(u_charType(static_cast<UChar32>(cp)));
  return cat == U_DECIMAL_DIGIT_NUMBER || cat == U_LETTER_NUMBER || cat == U_OTHER_NUMBER;
}

// At least one letter, and no letter changes when upper-cased.
bool allLettersUpper(std::string_view t) {
  bool letter = false;
  for (size_t i = 0; i < t.size();) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    if (c < 0x80) {
      if (c >= 'a' && c <= 'z') return false;
      if (c >= 'A' && c <= 'Z') letter = true;
      ++i;
      continue;
    }
    auto cp = static_cast<UChar32>(decodeCodePoint(t, i));
    if (u_isalpha(cp)) {
      letter = true;
      if (u_toupper(cp) != cp) return false;
    }
  }
  return letter;
}

void addLine(std::vector<std::string>& lines, std::string_view line, bool& lastBlank) {
  // Only U+0020 is removed at the end.
  size_t end = line.find_last_not_of(' ');
  line = end == std::string_view::npos ? std::string_view() : line.substr(0, end + 1);
  if (trim(line).empty()) {
    if (!lastBlank) lines.emplace_back();
    lastBlank = true;
    return;
  }
  lines.emplace_back(line);
  lastBlank = false;
}

std::string listMarkerText(bool ordered, int level, std::vector<int>& counters, bool markdown) {
  if (!ordered) return markdown ? "-" : "\xE2\x80\xA2  ";
  auto l = static_cast<size_t>(level);
  if (counters.size() < l + 1) counters.resize(l + 1, 0);
  counters.resize(l + 1);
  ++counters[l];
  return std::to_string(counters[l]) + (markdown ? "." : ".  ");
}

}  // namespace

std::vector<std::string> AutoFormat::prepareLines(std::string_view text) {
  std::vector<std::string> lines;
  bool lastBlank = true;  // blank lines at the start are dropped
  std::string line;
  size_t i = 0;
  while (i <= text.size()) {
    size_t end = text.find_first_of("\r\n\t", i);
    if (end == std::string_view::npos) {
      line.append(text.substr(i));
      addLine(lines, line, lastBlank);
      break;
    }
    line.append(text.substr(i, end - i));
    if (text[end] == '\t') {
      line.append("    ");
      i = end + 1;
      continue;
    }
    addLine(lines, line, lastBlank);
    line.clear();
    i = end + 1;
    if (text[end] == '\r' && i < text.size() && text[i] == '\n') ++i;
    if (i == text.size()) {
      addLine(lines, "", lastBlank);
      break;
    }
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

bool AutoFormat::isTitleCase(const std::vector<std::string_view>& words) {
  size_t significant = 0, capitalised = 0;
  for (auto w : words) {
    if (isMinorWord(w)) continue;
    ++significant;
    size_t i = 0;
    if (isUpperOrNumber(decodeCodePoint(w, i))) ++capitalised;
  }
  if (significant == 0) return false;
  if (significant == 1) return capitalised == 1;
  return static_cast<double>(capitalised) / static_cast<double>(significant) >= 0.6;
}

bool AutoFormat::looksLikeHeading(std::string_view line) {
  std::string_view t = trim(line);
  if (codePointCount(t) > 64 || endsWithSentenceMark(t)) return false;
  auto words = splitWords(t);
  if (words.empty() || words.size() > 9) return false;
  return allLettersUpper(t) || endsWith(t, ":") || isTitleCase(words);
}

bool AutoFormat::looksLikeTitle(std::string_view line) {
  std::string_view t = trim(line);
  if (t.empty() || codePointCount(t) > 80 || endsWithSentenceMark(t)) return false;
  auto words = splitWords(t);
  if (words.size() > 12) return false;
  return isTitleCase(words) || looksLikeHeading(line);
}

std::vector<Block> AutoFormat::parse(std::string_view text) {
  const std::vector<std::string> lines = prepareLines(text);
  std::vector<Block> blocks;
  const size_t n = lines.size();
  size_t i = 0;
  auto isUnderline = [&](size_t k, std::string_view chars) { return k < n && onlyOf(trim(lines[k]), chars); };
  while (i < n) {
    const std::string& line = lines[i];
    std::string_view t = trim(line);
    if (t.empty()) {
      ++i;
      continue;
    }
    if (startsWithFence(t)) {
      std::vector<std::string> code;
      ++i;
      while (i < n && !startsWithFence(trim(lines[i]))) code.push_back(lines[i++]);
      if (i < n) ++i;  // the closing fence
      blocks.push_back(Block::code(std::move(code)));
      continue;
    }
    int level = 0;
    std::string_view headingText;
    if (headingMark(line, level, headingText)) {
      blocks.push_back(Block::heading(std::min(level, 3), std::string(headingText)));
      ++i;
      continue;
    }
    if (isUnderline(i + 1, "=")) {
      blocks.push_back(Block::heading(1, std::string(t)));
      i += 2;
      continue;
    }
    const ListLine first = listLine(line);
    if (isUnderline(i + 1, "-") && !first.is) {
      blocks.push_back(Block::heading(2, std::string(t)));
      i += 2;
      continue;
    }
    if (startsWith(t, ">")) {
      std::vector<std::string> quote;
      while (i < n && startsWith(trim(lines[i]), ">")) {
        const std::string& q = lines[i++];
        size_t p = skipWs(q, 0) + 1;  // past ">"
        if (p < q.size()) {
          size_t next = p;
          if (isWs(decodeCodePoint(q, next))) p = next;
        }
        quote.emplace_back(q.substr(p));
      }
      blocks.push_back(Block::quote(std::move(quote)));
      continue;
    }
    if (first.is) {
      std::vector<ListItem> items;
      while (i < n) {
        ListLine l = listLine(lines[i]);
        if (!l.is || l.number != first.number) break;
        const std::string& s = lines[i];
        size_t spaces = s.find_first_not_of(' ');
        if (spaces == std::string::npos) spaces = s.size();
        items.push_back({static_cast<int>(std::min<size_t>(spaces / 2, 3)), s.substr(listMarker(s).textStart)});
        ++i;
      }
      blocks.push_back(Block::list(first.number, std::move(items)));
      continue;
    }
    std::vector<std::string> para;
    while (i < n) {
      std::string_view pt = trim(lines[i]);
      if (pt.empty() || listLine(lines[i]).is || startsWith(pt, ">") || startsWith(pt, "```") ||
          headingStart(lines[i]))
        break;
      if (!para.empty() && isUnderline(i + 1, "=-")) break;
      para.emplace_back(pt);
      ++i;
    }
    if (para.empty()) {
      // A heading start that is not a heading ("#" and a no-break space): keep
      // it as a line of text so the walk moves on.
      para.emplace_back(t);
      ++i;
    }
    if (para.size() == 1 && looksLikeHeading(para[0])) {
      std::string h = para[0];
      if (endsWith(h, ":")) h.pop_back();
      blocks.push_back(Block::heading(2, std::move(h)));
    } else {
      blocks.push_back(Block::paragraph(std::move(para)));
    }
  }
  if (!blocks.empty()) {
    Block& b = blocks.front();
    if (b.kind == Block::Kind::Heading) {
      b = Block::title(std::move(b.text));
    } else if (b.kind == Block::Kind::Paragraph && b.lines.size() == 1 && looksLikeTitle(b.lines[0])) {
      b = Block::title(std::move(b.lines[0]));
    }
  }
  return blocks;
}

namespace {

std::shared_ptr<const ParagraphStyle> paragraphStyle(double before, double after, double indent) {
  auto p = std::make_shared<ParagraphStyle>();
  p->spacingBefore = before;
  p->spacingAfter = after;
  p->firstLineHeadIndent = indent;
  p->headIndent = indent;
  p->lineSpacing = 2;
  return p;
}

RunStyle font(double size, int weight, FontRole role = FontRole::System) {
  RunStyle s;
  s.font = role;
  s.size = size;
  s.weight = weight;
  return s;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

}  // namespace

RichText AutoFormat::renderBlocks(const std::vector<Block>& blocks) {
  static const auto kTitlePara = paragraphStyle(0, 12, 0);
  static const auto kHeadingPara = paragraphStyle(12, 6, 0);
  static const auto kQuotePara = paragraphStyle(4, 8, 18);
  static const auto kCodePara = paragraphStyle(4, 8, 12);
  static const auto kBodyPara = paragraphStyle(0, 8, 0);
  std::array<std::shared_ptr<const ParagraphStyle>, 4> listParas;
  for (int l = 0; l < 4; ++l) listParas[static_cast<size_t>(l)] = paragraphStyle(0, 4, l * 18 + 16);

  RichText out;
  for (const auto& b : blocks) {
    switch (b.kind) {
      case Block::Kind::Title: {
        RunStyle s = font(22, 700);
        s.paragraph = kTitlePara;
        out.append(b.text + "\n", s);
        break;
      }
      case Block::Kind::Heading: {
        RunStyle s = font(b.level <= 2 ? 16 : 14, 600);
        s.paragraph = kHeadingPara;
        out.append(b.text + "\n", s);
        break;
      }
      case Block::Kind::List: {
        std::vector<int> counters;
        for (const auto& item : b.items) {
          RunStyle s = font(12, 400);
          s.paragraph = listParas[static_cast<size_t>(std::clamp(item.level, 0, 3))];
          out.append(listMarkerText(b.ordered, item.level, counters, false) + item.text + "\n", s);
        }
        break;
      }
      case Block::Kind::Quote: {
        RunStyle s = font(12, 400);
        s.italic = true;
        s.color = Color::secondaryLabel();
        s.paragraph = kQuotePara;
        out.append(joinLines(b.lines) + "\n", s);
        break;
      }
      case Block::Kind::Code: {
        RunStyle s = font(11.5, 400, FontRole::Monospaced);
        s.color = Color::secondaryLabel();
        s.paragraph = kCodePara;
        out.append(joinLines(b.lines) + "\n", s);
        break;
      }
      case Block::Kind::Paragraph: {
        RunStyle s = font(12, 400);
        s.paragraph = kBodyPara;
        out.append(joinLines(b.lines) + "\n", s);
        break;
      }
    }
  }
  return out;
}

RichText AutoFormat::renderRichText(std::string_view text) { return renderBlocks(parse(text)); }

std::string AutoFormat::renderMarkdownBlocks(const std::vector<Block>& blocks) {
  std::string out;
  auto line = [&](std::string_view a, std::string_view b = {}) {
    out.append(a);
    out.append(b);
    out += '\n';
  };
  for (const auto& b : blocks) {
    switch (b.kind) {
      case Block::Kind::Title:
        line("# ", b.text);
        break;
      case Block::Kind::Heading:
        out.append(static_cast<size_t>(std::min(b.level, 6)), '#');
        line(" ", b.text);
        break;
      case Block::Kind::List: {
        std::vector<int> counters;
        for (const auto& item : b.items) {
          out.append(static_cast<size_t>(item.level) * 2, ' ');
          out += listMarkerText(b.ordered, item.level, counters, true);
          line(" ", item.text);
        }
        break;
      }
      case Block::Kind::Quote:
        for (const auto& l : b.lines) line("> ", l);
        break;
      case Block::Kind::Code:
        line("```");
        for (const auto& l : b.lines) line(l);
        line("```");
        break;
      case Block::Kind::Paragraph:
        for (size_t i = 0; i < b.lines.size(); ++i) line(b.lines[i], i + 1 < b.lines.size() ? "  " : "");
        break;
    }
    out += '\n';
  }
  // Trailing empty lines go; one line break ends the text.
  while (!out.empty() && out.back() == '\n') out.pop_back();
  out += '\n';
  return out;
}

std::string AutoFormat::renderMarkdown(std::string_view text) { return renderMarkdownBlocks(parse(text)); }

namespace {

std::string escapeMarkdown(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '`': out += "\\`"; break;
      case '*': out += "\\*"; break;
      case '[': out += "\\["; break;
      case ']': out += "\\]"; break;
      default: out += c;
    }
  }
  return out;
}

// Removes "\t•\t", "1.\t" and the like from the start of a paragraph.
void stripListMarkerText(std::vector<Run>& runs) {
  for (auto& run : runs) {
    if (run.style.attachment) return;
    std::string_view t = run.text;
    size_t p = 0;
    while (p < t.size() && (t[p] == '\t' || t[p] == ' ')) ++p;
    if (p == t.size()) {
      run.text.clear();
      continue;
    }
    size_t m = bulletAt(t, p);
    if (!m) {
      for (std::string_view b : {"\xE2\x97\xA6", "\xE2\x80\xA3", "\xE2\x81\x83"})
        if (t.substr(p, b.size()) == b) m = b.size();
    }
    if (!m && p < t.size()) {
      // "12." or a single letter "a." as the numbering of the source.
      size_t q = p;
      while (q < t.size() && isDigit(t[q]) && q - p < 9) ++q;
      if (q == p && std::isalpha(static_cast<unsigned char>(t[p]))) q = p + 1;
      if (q > p && q < t.size() && (t[q] == '.' || t[q] == ')')) m = q + 1 - p;
    }
    if (!m) return;
    size_t end = p + m;
    if (end < t.size() && t[end] != '\t' && t[end] != ' ') return;
    while (end < t.size() && (t[end] == '\t' || t[end] == ' ')) ++end;
    run.text.erase(0, end);
    return;
  }
}

}  // namespace

std::string AutoFormat::richTextToMarkdown(const RichText& text) {
  std::vector<std::string> lines;
  std::vector<int> counters;
  for (const auto& para : text.paragraphs()) {
    // The run at the first character that is not white space decides the kind.
    const Run* lead = nullptr;
    for (const auto& run : para.runs) {
      if (run.style.attachment || !trim(run.text).empty()) {
        lead = &run;
        break;
      }
    }
    if (!lead) {
      if (lines.empty() || !lines.back().empty()) lines.emplace_back();
      continue;
    }
    const RunStyle& s = lead->style;
    const bool isList = s.paragraph && !s.paragraph->lists.empty();
    std::vector<Run> runs = para.runs;
    // A list paragraph's text starts with the marker its source drew; the
    // Markdown marker replaces it.
    if (isList) stripListMarkerText(runs);
    std::string inlineText;
    for (const auto& run : runs) {
      std::string piece;
      if (run.style.attachment) {
        piece = "![Embedded image]";
      } else {
        piece = escapeMarkdown(run.text);
        if (run.style.font == FontRole::Monospaced) {
          piece = "`" + piece + "`";
        } else {
          if (run.style.italic) piece = "*" + piece + "*";
          if (run.style.bold()) piece = "**" + piece + "**";
        }
      }
      if (startsWith(run.style.link, "http://") || startsWith(run.style.link, "https://"))
        piece = "[" + piece + "](" + run.style.link + ")";
      inlineText += piece;
    }
    if (isList) {
      const auto& lists = s.paragraph->lists;
      int depth = static_cast<int>(lists.size()) - 1;
      std::string format = toLowerAscii(lists.back().markerFormat);
      bool numbered = format.find("decimal") != std::string::npos || format.find("roman") != std::string::npos ||
                      format.find("alpha") != std::string::npos;
      std::string l(static_cast<size_t>(depth) * 2, ' ');
      l += listMarkerText(numbered, depth, counters, true);
      if (!numbered) {
        // Bullets still drop deeper counters so numbering below restarts.
        counters.resize(std::min(counters.size(), static_cast<size_t>(depth) + 1));
      }
      l += ' ';
      l += inlineText;
      lines.push_back(std::move(l));
      continue;
    }
    std::string prefix;
    if (s.size >= 24) prefix = "# ";
    else if (s.bold() && s.size >= 18) prefix = "## ";
    else if (s.bold() && s.size >= 15) prefix = "### ";
    lines.push_back(prefix + inlineText);
    lines.emplace_back();
    counters.clear();
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return text.empty() ? std::string() : std::string("\n");
  std::string out;
  for (const auto& l : lines) {
    out += l;
    out += '\n';
  }
  return out;
}

std::string_view sniffExtension(std::string_view b) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(b[i]); };
  if (b.size() >= 4 && at(0) == 0x89 && b.substr(1, 3) == "PNG") return "png";
  if (b.size() >= 3 && at(0) == 0xFF && at(1) == 0xD8 && at(2) == 0xFF) return "jpg";
  if (startsWith(b, "GIF8")) return "gif";
  if (b.size() >= 12 && startsWith(b, "RIFF") && b.substr(8, 4) == "WEBP") return "webp";
  if (startsWith(b, "%PDF")) return "pdf";
  return "bin";
}

AutoFormat::Detached AutoFormat::detachImages(const RichText& text, std::string_view baseName) {
  Detached out;
  if (!text.hasAttachments()) {
    out.text = text;
    return out;
  }
  int extracted = 0;
  for (const auto& run : text.runs()) {
    if (!run.style.attachment) {
      out.text.append(run.text, run.style);
      continue;
    }
    std::string placeholder;
    const std::string& bytes = run.style.attachment->bytes;
    if (!bytes.empty()) {
      std::string name = std::string(baseName) + "_image" + std::to_string(++extracted) + "." +
                         std::string(sniffExtension(bytes));
      placeholder = "[Image: " + name + "]";
      out.files.emplace_back(std::move(name), bytes);
    } else {
      placeholder = "[Image could not be exported]";
    }
    RunStyle s = run.style;
    s.attachment.reset();
    s.font = FontRole::System;
    s.fontName.clear();
    s.size = 11;
    s.weight = 400;
    s.italic = false;
    s.obliqueness = 0.15;
    s.color = Color::secondaryLabel();
    out.text.append(placeholder, s);
  }
  return out;
}

}  // namespace corvane::exports
