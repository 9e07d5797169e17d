// Writers checked by the document tools a reader would trust, not by eye.
#include "export/writers.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/files.h"
#include "export/auto_format.h"
#include "export/readers.h"
#include "export_fixtures.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::exports {
namespace {

using corvane::testing::IsOk;
using corvane::testing::TempDir;
using testing::haveTool;
using testing::quote;
using testing::run;

std::string sampleText(int paragraphs) {
  std::string text = "Quarterly Report\n\n";
  for (int i = 0; i < paragraphs; ++i) {
    if (i % 20 == 0) text += "Section " + std::to_string(i / 20 + 1) + " Overview\n\n";
    if (i % 7 == 0) text += "- bullet point number " + std::to_string(i) + "\n\n";
    text += "Paragraph " + std::to_string(i) +
            " holds ordinary running text that wraps over a couple of lines at the width of the page, "
            "as notes copied from a browser usually do.\n\n";
  }
  return text;
}

void writeTo(const fs::path& p, const std::string& data) { ASSERT_THAT(writeFileAtomic(p, data, 0644), IsOk()); }

TEST(PdfWriter, PaginatesEmbedsFontsAndDraws) {
  for (auto tool : {"pdfinfo", "pdftotext", "pdffonts", "pdftoppm"})
    if (!haveTool(tool)) GTEST_SKIP() << tool << " (poppler-utils) is not installed";
  TempDir dir;
  const fs::path pdf = dir.path() / "sample.pdf";
  auto bytes = encodePdf(AutoFormat::renderRichText(sampleText(200)));
  ASSERT_THAT(bytes, IsOk());
  writeTo(pdf, *bytes);

  const std::string info = run("pdfinfo " + quote(pdf));
  int pages = 0;
  auto at = info.find("Pages:");
  ASSERT_NE(at, std::string::npos) << info;
  pages = std::stoi(info.substr(at + 6));
  EXPECT_GE(pages, 5);
  EXPECT_LE(pages, 16);
  const std::string text = run("pdftotext " + quote(pdf) + " -");
  EXPECT_NE(text.find("Quarterly Report"), std::string::npos);
  EXPECT_NE(text.find("Section 10 Overview"), std::string::npos);
  EXPECT_NE(text.find("Paragraph 199 holds"), std::string::npos);
  const std::string fonts = run("pdffonts " + quote(pdf));
  EXPECT_NE(fonts.find("DejaVuSans"), std::string::npos) << fonts;
  EXPECT_EQ(fonts.find(" no  "), std::string::npos) << "every font embedded:\n" << fonts;
  // Page 1 rendered in grey: some pixels must be dark.
  const std::string pgm = run("pdftoppm -gray -r 20 -f 1 -l 1 " + quote(pdf));
  ASSERT_GT(pgm.size(), 100u);
  size_t dark = 0;
  for (size_t i = pgm.size() / 2; i < pgm.size(); ++i) dark += static_cast<unsigned char>(pgm[i]) < 128;
  EXPECT_GT(dark, 20u);
}

TEST(PdfWriter, BreaksInsideALongParagraphAndWrapsLongAddresses) {
  if (!haveTool("pdftotext") || !haveTool("pdfinfo")) GTEST_SKIP() << "poppler-utils is not installed";
  TempDir dir;
  std::string para;
  for (int i = 0; i < 300; ++i) para += "line" + std::to_string(i) + " of one long paragraph without breaks ";
  const std::string url = "https://example.org/" + std::string(300, 'x') + "/END";
  RichText rt;
  RunStyle link;
  link.link = url;
  rt.append(para + "\n", RunStyle{});
  rt.append(url, link);
  auto bytes = encodePdf(rt);
  ASSERT_THAT(bytes, IsOk());
  writeTo(dir.path() / "long.pdf", *bytes);
  const std::string info = run("pdfinfo " + quote(dir.path() / "long.pdf"));
  ASSERT_NE(info.find("Pages:"), std::string::npos);
  EXPECT_GE(std::stoi(info.substr(info.find("Pages:") + 6)), 3) << "one paragraph over several pages";
  const std::string text = run("pdftotext " + quote(dir.path() / "long.pdf") + " -");
  EXPECT_NE(text.find("line299 of one"), std::string::npos);
  EXPECT_NE(text.find("/END"), std::string::npos) << "the address is wrapped, not cut at the margin";
  EXPECT_NE(bytes->find("/URI"), std::string::npos) << "the link is an annotation";
}

TEST(PdfWriter, PageSizeFollowsTheLocale) {
  const char* saved = std::getenv("LC_ALL");
  std::string keep = saved ? saved : "";
  ::setenv("LC_ALL", "en_US.UTF-8", 1);
  EXPECT_EQ(pageSetupFromLocale().width, 612);
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  EXPECT_NEAR(pageSetupFromLocale().width, 595.28, 0.01);
  if (saved) ::setenv("LC_ALL", keep.c_str(), 1);
  else ::unsetenv("LC_ALL");
}

RichText linkedDocument() {
  RichText rt = AutoFormat::renderRichText("Title Here\n\nplain \x01 text\x0B with <tags> & \"quotes\"\n\n- item");
  RunStyle link;
  link.link = "https://example.org/?a=1&b=2";
  rt.append("a link", link);
  rt.append("\n", RunStyle{});
  auto image = std::make_shared<Attachment>();
  image->bytes = testing::smallPng();
  rt.appendAttachment(image, RunStyle{});
  return rt;
}

TEST(DocxWriter, ValidPackageWithHyperlinksAndImages) {
  if (!haveTool("unzip") || !haveTool("xmllint")) GTEST_SKIP() << "unzip or xmllint is not installed";
  TempDir dir;
  auto bytes = encodeDocx(linkedDocument());
  ASSERT_THAT(bytes, IsOk());
  const fs::path docx = dir.path() / "doc.docx";
  writeTo(docx, *bytes);
  int status = -1;
  run("unzip -t " + quote(docx), &status);
  EXPECT_EQ(status, 0);
  run("cd " + quote(dir.path()) + " && unzip -q -o doc.docx -d parts", &status);
  ASSERT_EQ(status, 0);
  for (auto part : {"[Content_Types].xml", "_rels/.rels", "word/document.xml", "word/_rels/document.xml.rels",
                    "word/styles.xml"}) {
    std::string out = run("xmllint --noout " + quote(dir.path() / "parts" / part) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << part << ": " << out;
  }
  EXPECT_TRUE(fs::exists(dir.path() / "parts/word/media/image1.png"));
  auto document = readFile(dir.path() / "parts/word/document.xml");
  ASSERT_THAT(document, IsOk());
  EXPECT_NE(document->find("plain  text with &lt;tags&gt; &amp; &quot;quotes&quot;"), std::string::npos);
  EXPECT_NE(document->find("<w:hyperlink r:id="), std::string::npos);
  EXPECT_NE(document->find("<w:b/>"), std::string::npos);
  auto rels = readFile(dir.path() / "parts/word/_rels/document.xml.rels");
  EXPECT_NE(rels->find("https://example.org/?a=1&amp;b=2\" TargetMode=\"External\""), std::string::npos);
}

TEST(DocxWriter, DropsCharactersXmlForbids) {
  EXPECT_EQ(xmlSafeText(std::string("a\x01\x08\tb\xEF\xBF\xBE\xC2\x85", 10) + "\xff" + "c"),
            "a\tb\xC2\x85\xEF\xBF\xBD" "c");
}

TEST(RtfWriter, RoundTripsThroughTheReader) {
  RichText rt;
  RunStyle bold;
  bold.weight = 700;
  bold.size = 18;
  RunStyle colored;
  colored.color = Color{1, 0, 0, 1};
  colored.italic = true;
  RunStyle link;
  link.link = "https://example.org/x";
  rt.append("Bold {braces} \\ back\n", bold);
  rt.append("caf\xC3\xA9 \xF0\x9F\x98\x80 red", colored);
  rt.append(" site", link);
  const std::string rtf = encodeRtf(rt);
  EXPECT_TRUE(rtf.starts_with("{\\rtf1"));
  EXPECT_NE(rtf.find("\\u-10179?\\u-8704?"), std::string::npos) << "emoji as a surrogate pair";
  auto back = readRtf(rtf);
  ASSERT_THAT(back, IsOk());
  EXPECT_EQ(back->string(), "Bold {braces} \\ back\ncaf\xC3\xA9 \xF0\x9F\x98\x80 red site");
  const auto& runs = back->runs();
  ASSERT_GE(runs.size(), 3u);
  EXPECT_TRUE(runs[0].style.bold());
  EXPECT_EQ(runs[0].style.size, 18);
  EXPECT_TRUE(runs[1].style.italic);
  ASSERT_TRUE(runs[1].style.color.has_value());
  EXPECT_EQ(*runs[1].style.color, (Color{1, 0, 0, 1}));
  EXPECT_EQ(runs.back().style.link, "https://example.org/x");
}

TEST(RtfdWriter, WritesAPackageWithItsImages) {
  TempDir dir;
  const fs::path package = dir.path() / "doc.rtfd";
  ASSERT_THAT(writeRtfd(linkedDocument(), package), IsOk());
  EXPECT_TRUE(fs::is_directory(package));
  auto txt = readFile(package / "TXT.rtf");
  ASSERT_THAT(txt, IsOk());
  EXPECT_NE(txt->find("\\NeXTGraphic image1.png"), std::string::npos);
  EXPECT_EQ(readFile(package / "image1.png").value(), testing::smallPng());
  EXPECT_FALSE(fs::exists(dir.path() / "doc.rtfd.partial"));
}

}  // namespace
}  // namespace corvane::exports
