#include <fmt/format.h>

#include <cmath>
#include <map>

#include "core/files.h"
#include "core/text.h"
#include "export/auto_format.h"
#include "export/writers.h"

namespace corvane::exports {

namespace {

int twips(double points) { return static_cast<int>(std::lround(points * 20)); }

// Colours used by the text, numbered from 1 (0 is the automatic colour).
struct ColorTable {
  std::vector<Color> colors;
  int index(const Color& c) {
    for (size_t i = 0; i < colors.size(); ++i)
      if (colors[i] == c) return static_cast<int>(i) + 1;
    colors.push_back(c);
    return static_cast<int>(colors.size());
  }
};

void appendEscaped(std::string& out, std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '\\': out += "\\\\"; break;
        case '{': out += "\\{"; break;
        case '}': out += "\\}"; break;
        case '\t': out += "\\tab "; break;
        case '\r':
        case '\n': out += "\\line "; break;
        default:
          if (c >= 0x20) out += static_cast<char>(c);
      }
      continue;
    }
    char32_t cp = decodeCodePoint(text, i);
    auto emit = [&](uint32_t unit) { out += fmt::format("\\u{}?", static_cast<int16_t>(unit)); };
    if (cp >= 0x10000) {
      uint32_t v = static_cast<uint32_t>(cp) - 0x10000;
      emit(0xD800 + (v >> 10));
      emit(0xDC00 + (v & 0x3FF));
    } else {
      emit(static_cast<uint32_t>(cp));
    }
  }
}

std::string paragraphControls(const ParagraphStyle* p) {
  if (!p) return "\\pard\\plain ";
  std::string s = "\\pard\\plain";
  if (p->spacingBefore) s += fmt::format("\\sb{}", twips(p->spacingBefore));
  if (p->spacingAfter) s += fmt::format("\\sa{}", twips(p->spacingAfter));
  if (p->headIndent) s += fmt::format("\\li{}", twips(p->headIndent));
  if (p->firstLineHeadIndent != p->headIndent)
    s += fmt::format("\\fi{}", twips(p->firstLineHeadIndent - p->headIndent));
  if (p->lineSpacing) s += fmt::format("\\sl{}\\slmult0", twips(12 * 1.2 + p->lineSpacing));
  s += ' ';
  return s;
}

// Writes the body; attachments become NeXTGraphic references when `names`
// gives them a file name, and are left out otherwise.
std::string encode(const RichText& text, const std::map<const Attachment*, std::string>* names) {
  ColorTable colors;
  std::string body;
  body.reserve(text.string().size() * 2 + 64);
  bool atParagraphStart = true;
  for (const auto& run : text.runs()) {
    const RunStyle& s = run.style;
    const ParagraphStyle* para = s.paragraph.get();
    std::string fmtRun = "{";
    fmtRun += s.font == FontRole::Monospaced ? "\\f1" : "\\f0";
    fmtRun += fmt::format("\\fs{}", static_cast<int>(std::lround(s.size * 2)));
    if (s.bold()) fmtRun += "\\b";
    if (s.italic || s.obliqueness > 0) fmtRun += "\\i";
    if (s.underline) fmtRun += "\\ul";
    if (s.strike) fmtRun += "\\strike";
    if (s.color) fmtRun += fmt::format("\\cf{}", colors.index(*s.color));
    if (s.background) fmtRun += fmt::format("\\cb{}", colors.index(*s.background));
    if (s.baseline > 0) fmtRun += fmt::format("\\up{}", static_cast<int>(std::lround(s.baseline * 2)));
    if (s.baseline < 0) fmtRun += fmt::format("\\dn{}", static_cast<int>(std::lround(-s.baseline * 2)));
    if (s.kern) fmtRun += fmt::format("\\expndtw{}", twips(s.kern));
    fmtRun += ' ';
    if (s.attachment) {
      if (atParagraphStart) body += paragraphControls(para);
      if (names) {
        auto it = names->find(s.attachment.get());
        if (it != names->end()) {
          body += "{{\\NeXTGraphic ";
          appendEscaped(body, it->second);
          body += " \\width640 \\height640}\\uc0\\u65532 }";
        }
      }
      atParagraphStart = false;
      continue;
    }
    // Split at line breaks: each ends a paragraph.
    std::string_view t = run.text;
    size_t start = 0;
    while (start < t.size()) {
      size_t nl = t.find('\n', start);
      std::string_view piece = t.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
      if (!piece.empty()) {
        if (atParagraphStart) body += paragraphControls(para);
        if (!s.link.empty()) {
          body += "{\\field{\\*\\fldinst{HYPERLINK \"";
          std::string address;
          for (char c : s.link)
            if (c != '"') address += c;
          appendEscaped(body, address);
          body += "\"}}{\\fldrslt";
        }
        body += fmtRun;
        appendEscaped(body, piece);
        body += '}';
        if (!s.link.empty()) body += "}}";
        atParagraphStart = false;
      }
      if (nl == std::string_view::npos) break;
      body += "\\par\n";
      atParagraphStart = true;
      start = nl + 1;
    }
  }
  std::string out =
      "{\\rtf1\\ansi\\ansicpg1252\\uc1\\deff0\n"
      "{\\fonttbl{\\f0\\fswiss\\fcharset0 DejaVu Sans;}{\\f1\\fmodern\\fcharset0 DejaVu Sans Mono;}}\n"
      "{\\colortbl;";
  for (const auto& c : colors.colors)
    out += fmt::format("\\red{}\\green{}\\blue{};", static_cast<int>(std::lround(c.r * 255)),
                       static_cast<int>(std::lround(c.g * 255)), static_cast<int>(std::lround(c.b * 255)));
  out += "}\n";
  out += body;
  out += "}\n";
  return out;
}

}  // namespace

std::string encodeRtf(const RichText& text) { return encode(text, nullptr); }

Result<void> writeRtfd(const RichText& text, const std::filesystem::path& package) {
  std::map<const Attachment*, std::string> names;
  std::vector<std::pair<std::string, const std::string*>> files;
  int n = 0;
  for (const auto& run : text.runs()) {
    const auto& a = run.style.attachment;
    if (!a || a->bytes.empty() || names.count(a.get())) continue;
    std::string name = "image" + std::to_string(++n) + "." + std::string(sniffExtension(a->bytes));
    names[a.get()] = name;
    files.emplace_back(name, &a->bytes);
  }
  std::error_code ec;
  fs::path temp = package;
  temp += ".partial";
  fs::remove_all(temp, ec);
  auto cleanup = [&](std::string message) {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
    return fail(std::move(message));
  };
  if (!fs::create_directory(temp, ec)) return cleanup("Could not create " + package.filename().string() + ": " + ec.message());
  if (auto r = writeFileAtomic(temp / "TXT.rtf", encode(text, &names), 0644); !r) return cleanup(r.message());
  for (const auto& [name, bytes] : files)
    if (auto r = writeFileAtomic(temp / name, *bytes, 0644); !r) return cleanup(r.message());
  fs::permissions(temp, fs::perms(0755), ec);
  fs::rename(temp, package, ec);
  if (ec) return cleanup("Could not write " + package.filename().string() + ": " + ec.message());
  return ok();
}

}  // namespace corvane::exports
