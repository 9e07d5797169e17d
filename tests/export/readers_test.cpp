#include "export/readers.h"

#include <gtest/gtest.h>

#include "export/auto_format.h"
#include "testing/matchers.h"

namespace corvane::exports {
namespace {

using corvane::testing::FailedWith;
using corvane::testing::IsOk;

TEST(HtmlReader, KeepsContentAndStyleDropsScriptsAndRemoteImages) {
  auto rt = readHtml(
      "<html><head><title>T</title><style>p{color:red}</style></head><body>"
      "<h1>Heading</h1><script>alert(1)</script>"
      "<p>Some <b>bold</b> and <i>italic</i>   text\n with <a href=\"https://x.org\">a link</a>.</p>"
      "<ul><li>one</li><li>two<ol><li>inner</li></ol></li></ul>"
      "<p>pic <img src=\"https://tracker.example/p.png\"><img src=\"data:image/png;base64,iVBORw0KGgo=\"></p>"
      "<pre>  keep\n  spaces</pre><div style=\"display:none\">hidden</div></body></html>");
  ASSERT_THAT(rt, IsOk());
  EXPECT_EQ(rt->string(),
            "Heading\nSome bold and italic text with a link.\n\xE2\x80\xA2\tone\n\xE2\x80\xA2\ttwo\n1.\tinner\npic " +
                std::string(kAttachmentChar) + "\n  keep\n  spaces");
  for (const auto& run : rt->runs()) EXPECT_TRUE(run.style.paragraph) << "no paragraph style on '" << run.text << "'";
  const auto& runs = rt->runs();
  EXPECT_EQ(runs[0].style.size, 24);
  EXPECT_TRUE(runs[0].style.bold());
  bool sawBold = false, sawLink = false, sawImage = false;
  for (const auto& r : runs) {
    sawBold |= r.text == "bold" && r.style.bold();
    sawLink |= r.text == "a link" && r.style.link == "https://x.org";
    sawImage |= r.style.attachment && r.style.attachment->bytes.starts_with("\x89PNG");
  }
  EXPECT_TRUE(sawBold);
  EXPECT_TRUE(sawLink);
  EXPECT_TRUE(sawImage);
  int attachments = 0;
  for (const auto& r : runs) attachments += r.style.attachment != nullptr;
  EXPECT_EQ(attachments, 1) << "the line break after an image is text";
  std::string md = AutoFormat::richTextToMarkdown(*rt);
  EXPECT_NE(md.find("**bold**"), std::string::npos) << md;
  EXPECT_NE(md.find("[a link](https://x.org)"), std::string::npos) << md;
  EXPECT_NE(md.find("\n- one\n- two\n  1. inner\n"), std::string::npos) << md;
}

TEST(HtmlReader, ListItemsWithParagraphsAndTables) {
  auto rt = readHtml("<ul><li><p>first</p></li><li></li><li>third</li></ul>"
                     "<table><tr><td>a</td><td>b</td></tr><tr><th>c</th><td>d</td></tr></table>");
  ASSERT_THAT(rt, IsOk());
  EXPECT_EQ(rt->string(), "\xE2\x80\xA2\tfirst\n\xE2\x80\xA2\t\n\xE2\x80\xA2\tthird\na\tb\nc\td");
}

TEST(HtmlReader, RefusesWhatItCannotReadSafely) {
  EXPECT_THAT(readHtml(std::string(kMaxHtmlBytes + 1, 'a')), FailedWith("The selection is too large to export."));
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "<div>";
  EXPECT_THAT(readHtml(deep), FailedWith("The selection is nested too deeply to export."));
  // Unclosed paragraphs and list items are closed by the parser, not nesting.
  std::string flat;
  for (int i = 0; i < 5000; ++i) flat += "<p>x<li>y";
  EXPECT_THAT(readHtml(flat), IsOk());
  auto broken = readHtml("<p>caf\xE9 \xFF</p>");
  ASSERT_THAT(broken, IsOk());
  EXPECT_EQ(broken->string(), "caf\xEF\xBF\xBD \xEF\xBF\xBD");
}

TEST(RtfReader, ReadsGroupsEscapesFieldsAndSkipsPictures) {
  auto rt = readRtf(
      "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Helvetica;}{\\f1\\fmodern Courier New;}}"
      "{\\colortbl;\\red255\\green0\\blue0;}"
      "{\\*\\generator Writer;}\\pard\\sa200 Plain {\\b bold} {\\i\\cf1 red} caf\\'e9 \\u8364? euro\\par "
      "{\\f1\\fs20 mono}{\\pict\\pngblip 89504e47}\\line "
      "{\\field{\\*\\fldinst{HYPERLINK \"https://example.org\"}}{\\fldrslt{\\ul site}}} end\\par}");
  ASSERT_THAT(rt, IsOk());
  EXPECT_EQ(rt->string(), "Plain bold red caf\xC3\xA9 \xE2\x82\xAC euro\nmono\nsite end");
  bool bold = false, red = false, mono = false, link = false;
  for (const auto& r : rt->runs()) {
    bold |= r.text == "bold" && r.style.bold();
    red |= r.text == "red" && r.style.italic && r.style.color == Color{1, 0, 0, 1};
    mono |= r.text.starts_with("mono") && r.style.font == FontRole::Monospaced && r.style.size == 10;
    link |= r.text == "site" && r.style.link == "https://example.org" && r.style.underline;
  }
  EXPECT_TRUE(bold);
  EXPECT_TRUE(red);
  EXPECT_TRUE(mono);
  EXPECT_TRUE(link);
  EXPECT_EQ(rt->runs().front().style.paragraph->spacingAfter, 10);
}

TEST(RtfReader, RefusesDeepNestingAndNonRtf) {
  std::string deep = "{\\rtf1 ";
  for (int i = 0; i < 10000; ++i) deep += "{";
  EXPECT_THAT(readRtf(deep), FailedWith("The rich text is nested too deeply to export."));
  EXPECT_THAT(readRtf("plain"), FailedWith("The rich text could not be read."));
  EXPECT_THAT(readRtf("{\\rtf1 unterminated \\u"), IsOk());
  auto binary = readRtf("{\\rtf1 a{\\*\\blob\\bin4 }{x}b}c}");
  ASSERT_THAT(binary, IsOk());
  EXPECT_EQ(binary->string(), "ac");
}

TEST(PlainTextReader, RepairsInvalidUtf8) {
  RichText rt = readPlainText("ok \xC3");
  EXPECT_EQ(rt.string(), "ok \xEF\xBF\xBD");
  EXPECT_EQ(rt.runs()[0].style.size, 12);
}

}  // namespace
}  // namespace corvane::exports
