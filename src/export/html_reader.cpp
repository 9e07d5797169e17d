#include <gumbo.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "export/readers.h"

namespace corvane::exports {

namespace {

bool isVoid(std::string_view tag) {
  for (std::string_view v : {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param",
                             "source", "track", "wbr", "p", "li", "dt", "dd", "option", "tr", "td", "th"})
    if (tag == v) return true;
  return false;
}

// Deepest nesting of elements a naive reading of the tags gives; elements the
// parser closes by itself are not counted. Guards the parser's recursion.
int estimatedDepth(std::string_view html) {
  int depth = 0, deepest = 0;
  size_t i = 0;
  while ((i = html.find('<', i)) != std::string_view::npos) {
    ++i;
    bool closing = i < html.size() && html[i] == '/';
    if (closing) ++i;
    size_t start = i;
    while (i < html.size() && std::isalnum(static_cast<unsigned char>(html[i]))) ++i;
    if (i == start) continue;
    std::string tag = toLowerAscii(html.substr(start, i - start));
    if (isVoid(tag)) continue;
    size_t close = html.find('>', i);
    if (close != std::string_view::npos && close > 0 && html[close - 1] == '/') continue;
    if (closing) depth = std::max(0, depth - 1);
    else deepest = std::max(deepest, ++depth);
  }
  return deepest;
}

std::string base64Decode(std::string_view in) {
  static const auto table = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    const char* chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(chars[i])] = static_cast<int8_t>(i);
    return t;
  }();
  std::string out;
  out.reserve(in.size() * 3 / 4);
  uint32_t buf = 0;
  int bits = 0;
  for (char c : in) {
    int8_t v = table[static_cast<unsigned char>(c)];
    if (v < 0) continue;
    buf = (buf << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buf >> bits) & 0xFF);
    }
  }
  return out;
}

std::optional<Color> parseCssColor(std::string_view v) {
  v = trimUnicodeWhitespace(v);
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (v.size() == 7 && v[0] == '#') {
    int d[6];
    for (int i = 0; i < 6; ++i)
      if ((d[i] = hex(v[static_cast<size_t>(i) + 1])) < 0) return std::nullopt;
    return Color{(d[0] * 16 + d[1]) / 255.0, (d[2] * 16 + d[3]) / 255.0, (d[4] * 16 + d[5]) / 255.0, 1};
  }
  if (startsWith(v, "rgb")) {
    size_t open = v.find('(');
    if (open == std::string_view::npos) return std::nullopt;
    double c[3] = {0, 0, 0};
    std::string rest(v.substr(open + 1));
    if (std::sscanf(rest.c_str(), "%lf , %lf , %lf", &c[0], &c[1], &c[2]) != 3 &&
        std::sscanf(rest.c_str(), "%lf %lf %lf", &c[0], &c[1], &c[2]) != 3)
      return std::nullopt;
    return Color{std::clamp(c[0], 0.0, 255.0) / 255, std::clamp(c[1], 0.0, 255.0) / 255, std::clamp(c[2], 0.0, 255.0) / 255, 1};
  }
  if (v == "black") return Color::black();
  if (v == "red") return Color{1, 0, 0, 1};
  if (v == "blue") return Color{0, 0, 1, 1};
  if (v == "green") return Color{0, 0.5, 0, 1};
  if (v == "gray" || v == "grey") return Color{0.5, 0.5, 0.5, 1};
  return std::nullopt;
}

// The few inline CSS declarations that change how text looks.
void applyStyleAttribute(std::string_view css, RunStyle& s) {
  size_t i = 0;
  while (i < css.size()) {
    size_t end = css.find(';', i);
    if (end == std::string_view::npos) end = css.size();
    std::string_view decl = css.substr(i, end - i);
    i = end + 1;
    size_t colon = decl.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = toLowerAscii(trimUnicodeWhitespace(decl.substr(0, colon)));
    std::string value = toLowerAscii(trimUnicodeWhitespace(decl.substr(colon + 1)));
    if (name == "font-weight") {
      if (value == "bold" || value == "bolder") s.weight = 700;
      else if (value == "normal" || value == "lighter") s.weight = 400;
      else if (int w = std::atoi(value.c_str()); w >= 100 && w <= 900) s.weight = w >= 600 ? (w >= 700 ? 700 : 600) : 400;
    } else if (name == "font-style") {
      s.italic = value == "italic" || value == "oblique";
    } else if (name == "text-decoration" || name == "text-decoration-line") {
      if (value.find("underline") != std::string::npos) s.underline = true;
      if (value.find("line-through") != std::string::npos) s.strike = true;
    } else if (name == "color") {
      if (auto c = parseCssColor(value)) s.color = c;
    } else if (name == "background-color") {
      if (auto c = parseCssColor(value)) s.background = c;
    } else if (name == "font-size") {
      double v = std::atof(value.c_str());
      if (v > 0) {
        if (endsWith(value, "px")) s.size = v * 0.75;
        else if (endsWith(value, "pt")) s.size = v;
        else if (endsWith(value, "em") || endsWith(value, "rem")) s.size = 12 * v;
        s.size = std::clamp(s.size, 4.0, 96.0);
      }
    } else if (name == "font-family") {
      if (value.find("mono") != std::string::npos || value.find("courier") != std::string::npos)
        s.font = FontRole::Monospaced;
    }
  }
}

std::string_view attribute(const GumboElement& e, const char* name) {
  const GumboAttribute* a = gumbo_get_attribute(&e.attributes, name);
  return a ? std::string_view(a->value) : std::string_view();
}

struct ListContext {
  bool ordered = false;
  int counter = 0;
};

class HtmlWalker {
 public:
  RichText out;

  void walk(const GumboNode* root) {
    struct Frame {
      const GumboNode* node;
      size_t next;  // next child to visit; SIZE_MAX before entering
      RunStyle saved;
      bool block;
      bool pre;
      bool list;
    };
    std::vector<Frame> stack;
    stack.push_back({root, SIZE_MAX, style_, false, false, false});
    while (!stack.empty()) {
      Frame& f = stack.back();
      const GumboNode* node = f.node;
      if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_CDATA) {
        text(node->v.text.text, node->type == GUMBO_NODE_WHITESPACE);
        stack.pop_back();
        continue;
      }
      if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT && node->type != GUMBO_NODE_TEMPLATE) {
        stack.pop_back();
        continue;
      }
      const GumboVector& children = node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
      if (f.next == SIZE_MAX) {
        f.next = 0;
        f.saved = style_;
        if (node->type == GUMBO_NODE_ELEMENT && !enter(node->v.element, f.block, f.pre, f.list)) {
          style_ = f.saved;
          stack.pop_back();
          continue;
        }
      }
      if (f.next < children.length) {
        const auto* child = static_cast<const GumboNode*>(children.data[f.next++]);
        stack.push_back({child, SIZE_MAX, style_, false, false, false});
        continue;
      }
      if (f.block) endBlock(true);
      if (f.pre) --preDepth_;
      if (f.list) lists_.pop_back();
      style_ = f.saved;
      stack.pop_back();
    }
    // No trailing line break after the last block.
    while (!out.runs().empty() && !out.runs().back().style.attachment) {
      auto& last = out.runs().back().text;
      while (!last.empty() && last.back() == '\n') last.pop_back();
      if (!last.empty()) break;
      out.runs().pop_back();
    }
  }

 private:
  // Starts an element; false skips it with its content.
  bool enter(const GumboElement& e, bool& block, bool& pre, bool& list) {
    const GumboTag tag = e.tag;
    switch (tag) {
      case GUMBO_TAG_SCRIPT: case GUMBO_TAG_STYLE: case GUMBO_TAG_HEAD: case GUMBO_TAG_TITLE:
      case GUMBO_TAG_TEMPLATE: case GUMBO_TAG_NOSCRIPT: case GUMBO_TAG_IFRAME: case GUMBO_TAG_OBJECT:
      case GUMBO_TAG_EMBED: case GUMBO_TAG_SVG: case GUMBO_TAG_MATH: case GUMBO_TAG_CANVAS:
      case GUMBO_TAG_SELECT: case GUMBO_TAG_BUTTON: case GUMBO_TAG_INPUT: case GUMBO_TAG_TEXTAREA:
        return false;
      default: break;
    }
    if (std::string_view css = attribute(e, "style"); !css.empty()) {
      std::string lowered = toLowerAscii(css);
      if (lowered.find("display:none") != std::string::npos || lowered.find("display: none") != std::string::npos)
        return false;
    }
    auto para = std::make_shared<ParagraphStyle>(paragraphFor(tag));
    switch (tag) {
      case GUMBO_TAG_B: case GUMBO_TAG_STRONG: style_.weight = 700; break;
      case GUMBO_TAG_I: case GUMBO_TAG_EM: case GUMBO_TAG_CITE: case GUMBO_TAG_VAR: case GUMBO_TAG_DFN:
        style_.italic = true; break;
      case GUMBO_TAG_U: case GUMBO_TAG_INS: style_.underline = true; break;
      case GUMBO_TAG_S: case GUMBO_TAG_STRIKE: case GUMBO_TAG_DEL: style_.strike = true; break;
      case GUMBO_TAG_CODE: case GUMBO_TAG_TT: case GUMBO_TAG_KBD: case GUMBO_TAG_SAMP:
        style_.font = FontRole::Monospaced; break;
      case GUMBO_TAG_SUP: style_.baseline = style_.size / 3; style_.size *= 0.75; break;
      case GUMBO_TAG_SUB: style_.baseline = -style_.size / 4; style_.size *= 0.75; break;
      case GUMBO_TAG_MARK: style_.background = Color{1, 1, 0, 1}; break;
      case GUMBO_TAG_A: {
        std::string_view href = attribute(e, "href");
        if (!href.empty()) {
          style_.link = std::string(trimUnicodeWhitespace(href));
          style_.color = Color{0, 0.4, 0.8, 1};
          style_.underline = true;
        }
        break;
      }
      case GUMBO_TAG_BR: newline(); return false;
      case GUMBO_TAG_HR: endBlock(); return false;
      case GUMBO_TAG_IMG: image(e); return false;
      case GUMBO_TAG_TD: case GUMBO_TAG_TH:
        // Cells of a row are separated by a tab.
        if (!atLineStart_) appendText("\t", style_);
        break;
      default: break;
    }
    if (std::string_view css = attribute(e, "style"); !css.empty()) applyStyleAttribute(css, style_);
    static constexpr double kHeadingSizes[] = {24, 18, 14.04, 12, 9.96, 8.04};
    if (tag >= GUMBO_TAG_H1 && tag <= GUMBO_TAG_H6) {
      style_.size = kHeadingSizes[tag - GUMBO_TAG_H1];
      style_.weight = 700;
    }
    if (tag == GUMBO_TAG_UL || tag == GUMBO_TAG_OL) {
      endBlock();
      lists_.push_back({tag == GUMBO_TAG_OL, 0});
      list = true;
      return true;
    }
    if (tag == GUMBO_TAG_PRE) {
      style_.font = FontRole::Monospaced;
      ++preDepth_;
      pre = true;
    }
    if (isBlock(tag)) {
      endBlock();
      block = true;
      style_.paragraph = std::move(para);
      if (tag == GUMBO_TAG_LI) {
        ListContext& l = lists_.empty() ? (lists_.push_back({}), lists_.back()) : lists_.back();
        std::string marker = l.ordered ? std::to_string(++l.counter) + "." : "\xE2\x80\xA2";
        RunStyle m = style_;
        m.link.clear();
        appendText(marker + "\t", m);
        markerOnly_ = true;
      }
    }
    return true;
  }

  static bool isBlock(GumboTag tag) {
    switch (tag) {
      case GUMBO_TAG_P: case GUMBO_TAG_DIV: case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3:
      case GUMBO_TAG_H4: case GUMBO_TAG_H5: case GUMBO_TAG_H6: case GUMBO_TAG_LI: case GUMBO_TAG_BLOCKQUOTE:
      case GUMBO_TAG_PRE: case GUMBO_TAG_TR: case GUMBO_TAG_DT: case GUMBO_TAG_DD: case GUMBO_TAG_SECTION:
      case GUMBO_TAG_ARTICLE: case GUMBO_TAG_HEADER: case GUMBO_TAG_FOOTER: case GUMBO_TAG_ASIDE:
      case GUMBO_TAG_NAV: case GUMBO_TAG_FIGURE: case GUMBO_TAG_FIGCAPTION: case GUMBO_TAG_ADDRESS:
      case GUMBO_TAG_TABLE: case GUMBO_TAG_CAPTION: case GUMBO_TAG_MAIN: case GUMBO_TAG_BODY:
      case GUMBO_TAG_DETAILS: case GUMBO_TAG_SUMMARY: case GUMBO_TAG_DL: case GUMBO_TAG_FIELDSET:
        return true;
      default:
        return false;
    }
  }

  ParagraphStyle paragraphFor(GumboTag tag) const {
    ParagraphStyle p = style_.paragraph ? *style_.paragraph : ParagraphStyle();
    p.lists.clear();
    for (const auto& l : lists_) p.lists.push_back({l.ordered ? "{decimal}" : "{disc}"});
    double depthIndent = 36.0 * static_cast<double>(lists_.size());
    switch (tag) {
      case GUMBO_TAG_P:
        p.spacingBefore = 0;
        p.spacingAfter = 12;
        break;
      case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3: case GUMBO_TAG_H4: case GUMBO_TAG_H5: case GUMBO_TAG_H6:
        p.spacingBefore = 12;
        p.spacingAfter = 6;
        break;
      case GUMBO_TAG_LI:
        p.headIndent = depthIndent;
        p.firstLineHeadIndent = depthIndent - 18;
        p.spacingAfter = 2;
        break;
      case GUMBO_TAG_BLOCKQUOTE:
        p.headIndent += 30;
        p.firstLineHeadIndent += 30;
        p.spacingAfter = 8;
        break;
      default:
        break;
    }
    return p;
  }

  void image(const GumboElement& e) {
    std::string_view src = trimUnicodeWhitespace(attribute(e, "src"));
    // Only images carried inline; an address elsewhere is never fetched.
    if (!startsWith(toLowerAscii(src.substr(0, 5)), "data:")) return;
    size_t comma = src.find(',');
    if (comma == std::string_view::npos) return;
    std::string header = toLowerAscii(src.substr(5, comma - 5));
    if (header.find(";base64") == std::string::npos || !startsWith(header, "image/")) return;
    auto a = std::make_shared<Attachment>();
    a->bytes = base64Decode(src.substr(comma + 1));
    if (a->bytes.empty()) return;
    if (!style_.paragraph) style_.paragraph = std::make_shared<ParagraphStyle>();
    out.appendAttachment(std::move(a), style_);
    atLineStart_ = false;
    endsWithSpace_ = false;
  }

  void appendText(std::string_view t, const RunStyle& s) {
    if (t.empty()) return;
    RunStyle withPara = s;
    if (!withPara.paragraph) {
      static const auto kDefault = std::make_shared<ParagraphStyle>();
      withPara.paragraph = kDefault;
    }
    out.append(t, withPara);
    atLineStart_ = t.back() == '\n';
    endsWithSpace_ = t.back() == ' ';
    markerOnly_ = false;
  }

  void text(const char* raw, bool whitespaceOnly) {
    std::string_view t(raw);
    if (preDepth_ > 0) {
      appendText(sanitizeUtf8(t), style_);
      return;
    }
    // Collapse white space as a browser does: one space between words, kept
    // with the text before it, none at the start of a line.
    std::string collapsed;
    collapsed.reserve(t.size());
    bool space = false;
    for (char c : t) {
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f') {
        space = true;
        continue;
      }
      if (space && !(collapsed.empty() && (atLineStart_ || endsWithSpace_))) collapsed += ' ';
      space = false;
      collapsed += c;
    }
    if (space && (!collapsed.empty() || (!atLineStart_ && !endsWithSpace_ && !out.runs().empty()))) collapsed += ' ';
    if (collapsed.empty()) return;
    appendText(sanitizeUtf8(collapsed), style_);
    (void)whitespaceOnly;
  }

  void newline() {
    appendText("\n", style_);
  }

  // `closing`: the block ends here; otherwise a new block starts.
  void endBlock(bool closing = false) {
    // A block inside a list item ("<li><p>…") continues the marker's line.
    if (atLineStart_ || (markerOnly_ && !closing) || out.runs().empty()) return;
    // A line ends without the space collapsed at its end.
    auto& last = out.runs().back().text;
    if (endsWithSpace_ && !last.empty() && last.back() == ' ' && !out.runs().back().style.attachment) last.pop_back();
    if (last.empty()) out.runs().pop_back();
    if (out.runs().empty()) {
      atLineStart_ = true;
      return;
    }
    appendText("\n", out.runs().back().style);
  }

  RunStyle style_;
  std::vector<ListContext> lists_;
  int preDepth_ = 0;
  bool atLineStart_ = true;
  bool endsWithSpace_ = false;
  bool markerOnly_ = false;  // the line holds only a list marker so far
};

}  // namespace

Result<RichText> readHtml(std::string_view html) {
  if (html.size() > kMaxHtmlBytes) return fail("The selection is too large to export.");
  if (estimatedDepth(html) > kMaxNesting) return fail("The selection is nested too deeply to export.");
  std::string input = sanitizeUtf8(html);
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, input.data(), input.size());
  if (!output) return fail("The selection could not be read as HTML.");
  HtmlWalker walker;
  walker.walk(output->document);
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  return std::move(walker.out);
}

RichText readPlainText(std::string_view text) {
  RichText out;
  out.append(isValidUtf8(text) ? std::string(text) : sanitizeUtf8(text), RunStyle{});
  return out;
}

}  // namespace corvane::exports
