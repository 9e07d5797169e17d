#include <cmath>
#include <cstdlib>
#include <map>

#include "core/text.h"
#include "export/readers.h"

namespace corvane::exports {

namespace {

// Windows-1252 code points for bytes 0x80–0x9F; other bytes map to themselves.
constexpr char16_t kCp1252High[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                      0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0xFFFD};

enum class Destination { Text, Skip, FontTable, ColorTable, FieldInstruction, FieldResult };

struct State {
  RunStyle style;
  Destination dest = Destination::Text;
  int unicodeSkip = 1;
  int font = -1;
  bool fieldGroup = false;  // a {\field …} group: its link applies to the result
  bool starred = false;     // after \*: an unknown destination is skipped
  ParagraphStyle para;
};

class RtfParser {
 public:
  explicit RtfParser(std::string_view in) : in_(in) {}

  Result<RichText> parse() {
    size_t start = 0;
    while (start < in_.size() && isUnicodeWhitespace(static_cast<unsigned char>(in_[start]))) ++start;
    if (in_.substr(start, 5) != "{\\rtf") return fail("The rich text could not be read.");
    pos_ = start;
    State base;
    base.para = ParagraphStyle();
    stack_.push_back(base);
    while (pos_ < in_.size()) {
      char c = in_[pos_];
      if (c == '{') {
        ++pos_;
        if (stack_.size() >= static_cast<size_t>(kMaxNesting))
          return fail("The rich text is nested too deeply to export.");
        stack_.push_back(stack_.back());
        stack_.back().fieldGroup = false;
        stack_.back().starred = false;
        continue;
      }
      if (c == '}') {
        ++pos_;
        closeGroup();
        if (stack_.empty()) break;
        continue;
      }
      if (c == '\\') {
        controlWord();
        continue;
      }
      if (c == '\r' || c == '\n') {
        ++pos_;
        continue;
      }
      ++pos_;
      byte(static_cast<unsigned char>(c));
    }
    flush();
    // A document ends with \par; the last line break is not content.
    if (!out_.runs().empty()) {
      auto& last = out_.runs().back().text;
      if (!last.empty() && last.back() == '\n') last.pop_back();
      if (last.empty()) out_.runs().pop_back();
    }
    return std::move(out_);
  }

 private:
  State& cur() { return stack_.back(); }

  void closeGroup() {
    flush();
    State closed = stack_.back();
    stack_.pop_back();
    if (closed.dest == Destination::FontTable && !stack_.empty() && stack_.back().dest == Destination::FontTable) return;
    if (closed.dest == Destination::FieldInstruction && !stack_.empty()) {
      // HYPERLINK "address"
      std::string_view inst = trimUnicodeWhitespace(fieldInstruction_);
      if (startsWith(inst, "HYPERLINK")) {
        std::string_view rest = trimUnicodeWhitespace(inst.substr(9));
        if (!rest.empty() && rest.front() == '"') {
          size_t close = rest.find('"', 1);
          pendingLink_ = std::string(rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        } else {
          pendingLink_ = std::string(rest.substr(0, rest.find(' ')));
        }
      }
      fieldInstruction_.clear();
    }
    if (closed.fieldGroup) pendingLink_.clear();
  }

  void byte(unsigned char c) {
    State& s = cur();
    switch (s.dest) {
      case Destination::Skip: return;
      case Destination::FontTable:
        if (c == ';') {
          fonts_[s.font] = fontName_;
          fontName_.clear();
        } else {
          fontName_ += static_cast<char>(c);
        }
        return;
      case Destination::ColorTable:
        if (c == ';') {
          colors_.push_back(colorSet_ ? std::optional<Color>(color_) : std::nullopt);
          color_ = Color::black();
          colorSet_ = false;
        }
        return;
      case Destination::FieldInstruction:
        fieldInstruction_ += static_cast<char>(c);
        return;
      default:
        break;
    }
    if (c >= 0x80) {
      appendCodePoint(pending_, c < 0xA0 ? kCp1252High[c - 0x80] : c);
    } else if (c >= 0x20 || c == '\t') {
      pending_ += static_cast<char>(c);
    }
  }

  void emitCodePoint(char32_t cp) {
    State& s = cur();
    if (s.dest == Destination::Skip || s.dest == Destination::ColorTable) return;
    if (s.dest == Destination::FontTable) {
      appendCodePoint(fontName_, cp);
      return;
    }
    if (s.dest == Destination::FieldInstruction) {
      appendCodePoint(fieldInstruction_, cp);
      return;
    }
    appendCodePoint(pending_, cp);
  }

  // Appends the pending text with the current style.
  void flush() {
    if (pending_.empty()) return;
    RunStyle style = cur().style;
    style.paragraph = std::make_shared<ParagraphStyle>(cur().para);
    if (!pendingLink_.empty() && cur().dest == Destination::FieldResult) style.link = pendingLink_;
    out_.append(sanitizeUtf8(pending_), style);
    pending_.clear();
  }

  void skipUnicodeFallback(int count) {
    // Skips `count` characters of the fallback text (an escape counts as one).
    while (count > 0 && pos_ < in_.size()) {
      char c = in_[pos_];
      if (c == '{' || c == '}') return;
      if (c == '\\') {
        if (pos_ + 1 < in_.size() && in_[pos_ + 1] == '\'') {
          pos_ += std::min<size_t>(4, in_.size() - pos_);
        } else {
          ++pos_;
          while (pos_ < in_.size() && std::isalpha(static_cast<unsigned char>(in_[pos_]))) ++pos_;
          if (pos_ < in_.size() && (in_[pos_] == '-' || std::isdigit(static_cast<unsigned char>(in_[pos_])))) {
            ++pos_;
            while (pos_ < in_.size() && std::isdigit(static_cast<unsigned char>(in_[pos_]))) ++pos_;
          }
          if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
        }
      } else if (c != '\r' && c != '\n') {
        ++pos_;
      } else {
        ++pos_;
        continue;
      }
      --count;
    }
  }

  void controlWord() {
    ++pos_;  // backslash
    if (pos_ >= in_.size()) return;
    char c = in_[pos_];
    if (!std::isalpha(static_cast<unsigned char>(c))) {
      ++pos_;
      switch (c) {
        case '\\': case '{': case '}': byte(static_cast<unsigned char>(c)); return;
        case '~': emitCodePoint(0xA0); return;
        case '-': return;
        case '_': emitCodePoint(0x2011); return;
        case '*': cur().starred = true; return;
        case '\n': case '\r': paragraphBreak(); return;
        case '\'': {
          if (pos_ + 2 <= in_.size()) {
            int v = static_cast<int>(std::strtol(std::string(in_.substr(pos_, 2)).c_str(), nullptr, 16));
            pos_ += 2;
            byte(static_cast<unsigned char>(v));
          }
          return;
        }
        default: return;
      }
    }
    size_t start = pos_;
    while (pos_ < in_.size() && std::isalpha(static_cast<unsigned char>(in_[pos_])) && pos_ - start < 32) ++pos_;
    std::string_view word = in_.substr(start, pos_ - start);
    bool hasParam = false;
    long param = 0;
    if (pos_ < in_.size() && (in_[pos_] == '-' || std::isdigit(static_cast<unsigned char>(in_[pos_])))) {
      size_t ps = pos_;
      ++pos_;
      while (pos_ < in_.size() && std::isdigit(static_cast<unsigned char>(in_[pos_])) && pos_ - ps < 10) ++pos_;
      param = std::strtol(std::string(in_.substr(ps, pos_ - ps)).c_str(), nullptr, 10);
      hasParam = true;
    }
    if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
    if (word == "bin") {
      // Raw bytes follow; they are never text.
      pos_ += std::min(static_cast<size_t>(std::max(param, 0L)), in_.size() - pos_);
      return;
    }
    apply(word, hasParam, param);
  }

  void paragraphBreak() {
    if (cur().dest != Destination::Text && cur().dest != Destination::FieldResult) return;
    // The break belongs to the paragraph's last run, not to a run of its own.
    if (pending_.empty() && !out_.runs().empty() && !out_.runs().back().style.attachment) {
      out_.runs().back().text += '\n';
      return;
    }
    pending_ += '\n';
    flush();
  }

  void apply(std::string_view w, bool hasParam, long p) {
    State& s = cur();
    const bool on = !hasParam || p != 0;
    if (s.starred) {
      s.starred = false;
      if (w == "fldinst" && s.dest != Destination::Skip) {
        flush();
        s.dest = Destination::FieldInstruction;
        fieldInstruction_.clear();
        return;
      }
      flush();
      s.dest = Destination::Skip;
      return;
    }
    if (s.dest == Destination::ColorTable) {
      if (w == "red") { color_.r = static_cast<double>(p) / 255; colorSet_ = true; }
      else if (w == "green") { color_.g = static_cast<double>(p) / 255; colorSet_ = true; }
      else if (w == "blue") { color_.b = static_cast<double>(p) / 255; colorSet_ = true; }
      return;
    }
    if (s.dest == Destination::FontTable) {
      if (w == "f") s.font = static_cast<int>(p);
      else if (w == "fmodern") monoFonts_[s.font] = true;
      return;
    }
    if (w == "u" && hasParam) {
      long v = p < 0 ? p + 65536 : p;
      char32_t cp = static_cast<char32_t>(v);
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        highSurrogate_ = cp;
      } else if (cp >= 0xDC00 && cp <= 0xDFFF && highSurrogate_) {
        emitCodePoint(0x10000 + ((highSurrogate_ - 0xD800) << 10) + (cp - 0xDC00));
        highSurrogate_ = 0;
      } else {
        emitCodePoint(cp);
      }
      skipUnicodeFallback(s.unicodeSkip);
      return;
    }
    // Destinations whose text is not part of the document.
    static constexpr std::string_view kSkipped[] = {"pict", "info", "stylesheet", "header", "footer", "headerl", "headerr",
                                                    "footerl", "footerr", "footnote", "object", "themedata",
                                                    "colorschememapping", "latentstyles", "datastore", "xmlnstbl",
                                                    "listtable", "listoverridetable", "revtbl", "rsidtbl", "generator",
                                                    "nonshppict", "shp", "bkmkstart", "bkmkend", "pntext", "listtext"};
    for (auto k : kSkipped)
      if (w == k) {
        flush();
        s.dest = Destination::Skip;
        return;
      }
    if (s.dest == Destination::Skip) return;
    if (w == "fonttbl") { flush(); s.dest = Destination::FontTable; return; }
    if (w == "colortbl") { flush(); s.dest = Destination::ColorTable; colors_.clear(); return; }
    if (w == "field") { flush(); s.fieldGroup = true; return; }
    if (w == "fldinst") { flush(); s.dest = Destination::FieldInstruction; fieldInstruction_.clear(); return; }
    if (w == "fldrslt") { flush(); s.dest = Destination::FieldResult; return; }
    if (s.dest == Destination::FieldInstruction) return;
    if (w == "par" || w == "line" || w == "sect" || w == "page" || w == "row") { paragraphBreak(); return; }
    if (w == "tab") { pending_ += '\t'; return; }
    if (w == "cell") { pending_ += '\t'; return; }
    if (w == "emdash") { emitCodePoint(0x2014); return; }
    if (w == "endash") { emitCodePoint(0x2013); return; }
    if (w == "bullet") { emitCodePoint(0x2022); return; }
    if (w == "lquote") { emitCodePoint(0x2018); return; }
    if (w == "rquote") { emitCodePoint(0x2019); return; }
    if (w == "ldblquote") { emitCodePoint(0x201C); return; }
    if (w == "rdblquote") { emitCodePoint(0x201D); return; }
    if (w == "uc") { s.unicodeSkip = static_cast<int>(std::clamp(p, 0L, 8L)); return; }
    flush();
    RunStyle& st = s.style;
    if (w == "b") st.weight = on ? 700 : 400;
    else if (w == "i") st.italic = on;
    else if (w == "ul") st.underline = on;
    else if (w == "ulnone") st.underline = false;
    else if (w == "strike") st.strike = on;
    else if (w == "fs" && hasParam && p > 0) st.size = std::clamp(static_cast<double>(p) / 2, 1.0, 400.0);
    else if (w == "f" && hasParam) {
      auto it = fonts_.find(static_cast<int>(p));
      std::string name = it == fonts_.end() ? std::string() : std::string(trimUnicodeWhitespace(it->second));
      st.fontName = name;
      std::string lower = toLowerAscii(name);
      bool mono = monoFonts_.count(static_cast<int>(p)) || lower.find("mono") != std::string::npos ||
                  lower.find("courier") != std::string::npos || lower.find("menlo") != std::string::npos ||
                  lower.find("consol") != std::string::npos;
      st.font = mono ? FontRole::Monospaced : FontRole::System;
    } else if (w == "cf" && hasParam) {
      size_t i = static_cast<size_t>(std::max(p, 0L));
      st.color = i < colors_.size() ? colors_[i] : std::nullopt;
    } else if ((w == "cb" || w == "highlight") && hasParam) {
      size_t i = static_cast<size_t>(std::max(p, 0L));
      st.background = i < colors_.size() ? colors_[i] : std::nullopt;
    } else if (w == "up") st.baseline = static_cast<double>(hasParam ? p : 6) / 2;
    else if (w == "dn") st.baseline = -static_cast<double>(hasParam ? p : 6) / 2;
    else if (w == "super") { st.baseline = st.size / 3; }
    else if (w == "sub") { st.baseline = -st.size / 4; }
    else if (w == "nosupersub") st.baseline = 0;
    else if (w == "expndtw") st.kern = static_cast<double>(p) / 20;
    else if (w == "plain") {
      RunStyle fresh;
      fresh.paragraph = st.paragraph;
      st = fresh;
    } else if (w == "pard") s.para = ParagraphStyle();
    else if (w == "sb") s.para.spacingBefore = static_cast<double>(p) / 20;
    else if (w == "sa") s.para.spacingAfter = static_cast<double>(p) / 20;
    else if (w == "li") {
      double fi = s.para.firstLineHeadIndent - s.para.headIndent;
      s.para.headIndent = static_cast<double>(p) / 20;
      s.para.firstLineHeadIndent = s.para.headIndent + fi;
    } else if (w == "fi") s.para.firstLineHeadIndent = s.para.headIndent + static_cast<double>(p) / 20;
  }

  std::string_view in_;
  size_t pos_ = 0;
  std::vector<State> stack_;
  RichText out_;
  std::string pending_;
  std::map<int, std::string> fonts_;
  std::map<int, bool> monoFonts_;
  std::string fontName_;
  std::vector<std::optional<Color>> colors_;
  Color color_ = Color::black();
  bool colorSet_ = false;
  std::string fieldInstruction_;
  std::string pendingLink_;
  char32_t highSurrogate_ = 0;
};

}  // namespace

Result<RichText> readRtf(std::string_view rtf) { return RtfParser(rtf).parse(); }

}  // namespace corvane::exports
