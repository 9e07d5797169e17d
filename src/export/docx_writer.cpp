#include <fmt/format.h>
#include <zip.h>

#include <cmath>
#include <map>
#include <memory>

#include "core/text.h"
#include "export/auto_format.h"
#include "export/writers.h"

namespace corvane::exports {

std::string xmlSafeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
      out += static_cast<char>(c);
      continue;
    }
    char32_t cp = decodeCodePoint(text, i);
    if ((cp >= 0x7F && cp <= 0x84) || (cp >= 0x86 && cp <= 0x9F)) continue;  // discouraged controls
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) continue;
    appendCodePoint(out, cp);
  }
  return out;
}

namespace {

void appendXmlEscaped(std::string& out, std::string_view safe) {
  for (char c : safe) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
}

std::string hexColor(const Color& c) {
  auto ch = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  return fmt::format("{:02X}{:02X}{:02X}", ch(c.r), ch(c.g), ch(c.b));
}

int twips(double points) { return static_cast<int>(std::lround(points * 20)); }

struct ImageInfo {
  std::string ext, contentType;
  uint32_t width = 0, height = 0;
};

uint32_t be32(std::string_view b, size_t at) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

// Pixel size from the image header; images Word cannot show are left out.
std::optional<ImageInfo> imageInfo(std::string_view b) {
  std::string_view ext = sniffExtension(b);
  auto u8 = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(b[i])); };
  if (ext == "png" && b.size() >= 24 && b.substr(12, 4) == "IHDR")
    return ImageInfo{"png", "image/png", be32(b, 16), be32(b, 20)};
  if (ext == "gif" && b.size() >= 10) return ImageInfo{"gif", "image/gif", u8(6) | (u8(7) << 8), u8(8) | (u8(9) << 8)};
  if (ext == "jpg") {
    size_t i = 2;
    while (i + 9 < b.size()) {
      if (u8(i) != 0xFF) return std::nullopt;
      uint32_t marker = u8(i + 1);
      uint32_t len = (u8(i + 2) << 8) | u8(i + 3);
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
        return ImageInfo{"jpg", "image/jpeg", (u8(i + 7) << 8) | u8(i + 8), (u8(i + 5) << 8) | u8(i + 6)};
      i += 2 + len;
    }
  }
  return std::nullopt;
}

constexpr std::string_view kContentTypesHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>";

constexpr std::string_view kRootRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"word/document.xml\"/></Relationships>";

constexpr std::string_view kStyles =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<w:styles xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
    "<w:docDefaults><w:rPrDefault><w:rPr><w:rFonts w:ascii=\"DejaVu Sans\" w:hAnsi=\"DejaVu Sans\" "
    "w:eastAsia=\"DejaVu Sans\" w:cs=\"DejaVu Sans\"/><w:sz w:val=\"24\"/><w:szCs w:val=\"24\"/></w:rPr></w:rPrDefault>"
    "<w:pPrDefault><w:pPr><w:spacing w:before=\"0\" w:after=\"0\"/></w:pPr></w:pPrDefault></w:docDefaults>"
    "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name w:val=\"Normal\"/></w:style>"
    "<w:style w:type=\"character\" w:styleId=\"Hyperlink\"><w:name w:val=\"Hyperlink\"/>"
    "<w:rPr><w:color w:val=\"0563C1\"/><w:u w:val=\"single\"/></w:rPr></w:style></w:styles>";

class DocumentBuilder {
 public:
  std::string body;
  std::string rels;  // relationships beyond styles
  std::vector<std::pair<std::string, std::string>> media;  // word/media/… parts
  std::map<std::string, std::string> contentDefaults;     // extension → type
  int nextRel = 2;                                        // rId1 is the styles part

  void paragraph(const RichText::Paragraph& para) {
    body += "<w:p>";
    const ParagraphStyle* p = para.runs.empty() ? nullptr : para.runs.front().style.paragraph.get();
    if (p) {
      body += "<w:pPr>";
      body += fmt::format("<w:spacing w:before=\"{}\" w:after=\"{}\"", twips(p->spacingBefore), twips(p->spacingAfter));
      if (p->lineSpacing) body += fmt::format(" w:line=\"{}\" w:lineRule=\"auto\"", 240 + static_cast<int>(p->lineSpacing * 20));
      body += "/>";
      if (p->headIndent || p->firstLineHeadIndent) {
        int left = twips(p->headIndent), first = twips(p->firstLineHeadIndent - p->headIndent);
        body += fmt::format("<w:ind w:left=\"{}\"", left);
        if (first > 0) body += fmt::format(" w:firstLine=\"{}\"", first);
        if (first < 0) body += fmt::format(" w:hanging=\"{}\"", -first);
        body += "/>";
      }
      body += "</w:pPr>";
    }
    size_t i = 0;
    while (i < para.runs.size()) {
      const std::string& link = para.runs[i].style.link;
      if (link.empty()) {
        run(para.runs[i++]);
        continue;
      }
      // Neighbouring runs with one address share one hyperlink.
      std::string id = relationship("http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink", link,
                                    true);
      body += "<w:hyperlink r:id=\"" + id + "\">";
      while (i < para.runs.size() && para.runs[i].style.link == link) run(para.runs[i++], true);
      body += "</w:hyperlink>";
    }
    body += "</w:p>";
  }

 private:
  std::string relationship(std::string_view type, std::string_view target, bool external) {
    std::string id = "rId" + std::to_string(nextRel++);
    rels += "<Relationship Id=\"" + id + "\" Type=\"" + std::string(type) + "\" Target=\"";
    appendXmlEscaped(rels, xmlSafeText(target));
    rels += external ? "\" TargetMode=\"External\"/>" : "\"/>";
    return id;
  }

  void runProperties(const RunStyle& s, bool hyperlink) {
    body += "<w:rPr>";
    if (hyperlink) body += "<w:rStyle w:val=\"Hyperlink\"/>";
    if (s.font == FontRole::Monospaced)
      body += "<w:rFonts w:ascii=\"DejaVu Sans Mono\" w:hAnsi=\"DejaVu Sans Mono\" w:cs=\"DejaVu Sans Mono\"/>";
    if (s.bold()) body += "<w:b/>";
    if (s.italic || s.obliqueness > 0) body += "<w:i/>";
    if (s.strike) body += "<w:strike/>";
    if (s.color) body += "<w:color w:val=\"" + hexColor(*s.color) + "\"/>";
    if (s.kern) body += fmt::format("<w:spacing w:val=\"{}\"/>", twips(s.kern));
    if (s.baseline) body += fmt::format("<w:position w:val=\"{}\"/>", static_cast<int>(std::lround(s.baseline * 2)));
    int half = static_cast<int>(std::lround(s.size * 2));
    body += fmt::format("<w:sz w:val=\"{0}\"/><w:szCs w:val=\"{0}\"/>", std::max(half, 2));
    if (s.underline) body += "<w:u w:val=\"single\"/>";
    if (s.background) body += "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"" + hexColor(*s.background) + "\"/>";
    body += "</w:rPr>";
  }

  void run(const Run& r, bool hyperlink = false) {
    if (r.style.attachment) {
      image(*r.style.attachment);
      return;
    }
    std::string safe = xmlSafeText(r.text);
    body += "<w:r>";
    runProperties(r.style, hyperlink);
    size_t start = 0;
    while (start <= safe.size()) {
      size_t cut = safe.find_first_of("\t\r", start);
      std::string_view piece = std::string_view(safe).substr(start, cut == std::string::npos ? std::string::npos : cut - start);
      if (!piece.empty()) {
        body += "<w:t xml:space=\"preserve\">";
        appendXmlEscaped(body, piece);
        body += "</w:t>";
      }
      if (cut == std::string::npos) break;
      body += safe[cut] == '\t' ? "<w:tab/>" : "<w:br/>";
      start = cut + 1;
    }
    body += "</w:r>";
  }

  void image(const Attachment& a) {
    auto info = imageInfo(a.bytes);
    if (!info || info->width == 0 || info->height == 0) return;
    int n = static_cast<int>(media.size()) + 1;
    std::string part = "media/image" + std::to_string(n) + "." + info->ext;
    media.emplace_back("word/" + part, a.bytes);
    contentDefaults[info->ext] = info->contentType;
    std::string id = relationship("http://schemas.openxmlformats.org/officeDocument/2006/relationships/image", part, false);
    // 96 pixels to the inch, at most the text width (6 inches).
    double scale = std::min(1.0, 6.0 * 96 / info->width);
    long cx = std::lround(info->width * scale * 9525), cy = std::lround(info->height * scale * 9525);
    body += fmt::format(
        "<w:r><w:drawing><wp:inline distT=\"0\" distB=\"0\" distL=\"0\" distR=\"0\"><wp:extent cx=\"{0}\" cy=\"{1}\"/>"
        "<wp:docPr id=\"{2}\" name=\"Picture {2}\"/><a:graphic xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\">"
        "<a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/picture\">"
        "<pic:pic xmlns:pic=\"http://schemas.openxmlformats.org/drawingml/2006/picture\">"
        "<pic:nvPicPr><pic:cNvPr id=\"{2}\" name=\"image{2}.{4}\"/><pic:cNvPicPr/></pic:nvPicPr>"
        "<pic:blipFill><a:blip r:embed=\"{3}\"/><a:stretch><a:fillRect/></a:stretch></pic:blipFill>"
        "<pic:spPr><a:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"{0}\" cy=\"{1}\"/></a:xfrm>"
        "<a:prstGeom prst=\"rect\"><a:avLst/></a:prstGeom></pic:spPr></pic:pic></a:graphicData></a:graphic>"
        "</wp:inline></w:drawing></w:r>",
        cx, cy, n, id, info->ext);
  }
};

}  // namespace

std::vector<std::pair<std::string, std::string>> docxParts(const RichText& text) {
  DocumentBuilder b;
  b.body.reserve(text.string().size() * 3 + 1024);
  for (const auto& para : text.paragraphs()) b.paragraph(para);
  std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
      "xmlns:wp=\"http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing\"><w:body>";
  document += b.body;
  const PageSetup page = pageSetupFromLocale();
  document += fmt::format("<w:sectPr><w:pgSz w:w=\"{}\" w:h=\"{}\"/>", twips(page.width), twips(page.height));
  document +=
      "<w:pgMar w:top=\"1440\" w:right=\"1440\" w:bottom=\"1440\" w:left=\"1440\" w:header=\"708\" w:footer=\"708\" w:gutter=\"0\"/>"
      "</w:sectPr></w:body></w:document>";
  std::string types(kContentTypesHead);
  for (const auto& [ext, type] : b.contentDefaults)
    types += "<Default Extension=\"" + ext + "\" ContentType=\"" + type + "\"/>";
  types +=
      "<Override PartName=\"/word/document.xml\" "
      "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
      "<Override PartName=\"/word/styles.xml\" "
      "ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/></Types>";
  std::string docRels =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
      "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
      "Target=\"styles.xml\"/>" +
      b.rels + "</Relationships>";
  std::vector<std::pair<std::string, std::string>> parts;
  parts.emplace_back("[Content_Types].xml", std::move(types));
  parts.emplace_back("_rels/.rels", std::string(kRootRels));
  parts.emplace_back("word/document.xml", std::move(document));
  parts.emplace_back("word/_rels/document.xml.rels", std::move(docRels));
  parts.emplace_back("word/styles.xml", std::string(kStyles));
  for (auto& m : b.media) parts.push_back(std::move(m));
  return parts;
}

Result<std::string> encodeDocx(const RichText& text) {
  auto parts = docxParts(text);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
  if (!target) return fail("Could not create the Word document.");
  zip_t* archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
  if (!archive) {
    zip_source_free(target);
    return fail("Could not create the Word document.");
  }
  zip_source_keep(target);
  auto abandon = [&](const char* what) {
    std::string message = std::string("Could not create the Word document: ") + what;
    zip_discard(archive);
    zip_source_free(target);
    return fail(message);
  };
  for (const auto& [name, data] : parts) {
    zip_source_t* src = zip_source_buffer(archive, data.data(), data.size(), 0);
    if (!src) return abandon(zip_strerror(archive));
    zip_int64_t index = zip_file_add(archive, name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(src);
      return abandon(zip_strerror(archive));
    }
    // Images are compressed already.
    bool stored = name.starts_with("word/media/");
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                             stored ? 0 : 6);
  }
  if (zip_close(archive) < 0) return abandon(zip_strerror(archive));
  std::string out;
  zip_stat_t st;
  if (zip_source_stat(target, &st) < 0 || zip_source_open(target) < 0) {
    zip_source_free(target);
    return fail("Could not create the Word document.");
  }
  out.resize(static_cast<size_t>(st.size));
  zip_int64_t got = zip_source_read(target, out.data(), out.size());
  zip_source_close(target);
  zip_source_free(target);
  if (got != static_cast<zip_int64_t>(out.size())) return fail("Could not create the Word document.");
  return out;
}

}  // namespace corvane::exports
