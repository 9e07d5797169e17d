#include "export/auto_format.h"

#include <gtest/gtest.h>

namespace corvane::exports {

void PrintTo(const Block& b, std::ostream* os) {
  *os << "{kind " << static_cast<int>(b.kind) << " level " << b.level << " ordered " << b.ordered << " text '" << b.text
      << "'";
  for (const auto& i : b.items) *os << " item(" << i.level << ",'" << i.text << "')";
  for (const auto& l : b.lines) *os << " line '" << l << "'";
  *os << "}";
}

namespace {


TEST(AutoFormatLines, PreparesLines) {
  EXPECT_EQ(AutoFormat::prepareLines("\n\n a  \r\n\r\n\n\tb\rc \n\n"),
            (std::vector<std::string>{" a", "", "    b", "c"}));
  EXPECT_TRUE(AutoFormat::prepareLines(" \n\t\n").empty());
}

struct ParseCase {
  const char* name;
  const char* input;
  std::vector<Block> expected;
};

TEST(AutoFormatParse, RecognisesBlocksInOrder) {
  const ParseCase cases[] = {
      {"capitals title then paragraph", "PROJECT PLAN\n\nfirst line\nsecond line",
       {Block::title("PROJECT PLAN"), Block::paragraph({"first line", "second line"})}},
      {"no blank line keeps one paragraph", "PROJECT PLAN\nfirst line\nsecond line",
       {Block::paragraph({"PROJECT PLAN", "first line", "second line"})}},
      {"colon heading", "intro text here.\n\nBudget:\n\nmore.",
       {Block::paragraph({"intro text here."}), Block::heading(2, "Budget"), Block::paragraph({"more."})}},
      {"underlined heading becomes title", "Summary\n=====\ntext.",
       {Block::title("Summary"), Block::paragraph({"text."})}},
      {"dash underline is level 2", "x.\n\nPart\n---", {Block::paragraph({"x."}), Block::heading(2, "Part")}},
      {"list line over dashes stays a list", "- a\n--", {Block::list(false, {{0, "a"}}), Block::paragraph({"--"})}},
      {"bullets then numbers", "- a\n- b\n1. c",
       {Block::list(false, {{0, "a"}, {0, "b"}}), Block::list(true, {{0, "c"}})}},
      {"nested numbers", "x.\n1. a\n   1. b\n   2. c\n2. d",
       {Block::paragraph({"x."}), Block::list(true, {{0, "a"}, {1, "b"}, {1, "c"}, {0, "d"}})}},
      {"later #### is level 3", "x.\n#### Deep", {Block::paragraph({"x."}), Block::heading(3, "Deep")}},
      {"first #### is the title", "#### Deep\nx.", {Block::title("Deep"), Block::paragraph({"x."})}},
      {"unclosed fence takes the rest", "x.\n```js\n  a\n\nb", {Block::paragraph({"x."}), Block::code({"  a", "", "b"})}},
      {"closed tilde fence", "x.\n\n~~~\ncode\n~~~\ny.", {Block::paragraph({"x."}), Block::code({"code"}), Block::paragraph({"y."})}},
      {"full stop is never a heading", "THE END.", {Block::paragraph({"THE END."})}},
      {"quote", "x.\n> one\n  >two\nthree.", {Block::paragraph({"x."}), Block::quote({"one", "two"}), Block::paragraph({"three."})}},
      {"leading spaces prevent the heading mark", "x.\n  # no", {Block::paragraph({"x.", "# no"})}},
      {"seven marks are text", "x.\n####### seven", {Block::paragraph({"x.", "####### seven"})}},
      {"paragraph stops before an underlined line", "a b.\nc d.\nHead\n==",
       {Block::paragraph({"a b.", "c d."}), Block::heading(1, "Head")}},
      {"tilde line does not end a paragraph", "a b.\n~~~ c", {Block::paragraph({"a b.", "~~~ c"})}},
      {"mixed title case", "Meeting notes\n\n- a\n- b", {Block::paragraph({"Meeting notes"}), Block::list(false, {{0, "a"}, {0, "b"}})}},
      {"unicode bullets", "x.\n\xE2\x80\xA2 a\n\xE2\x80\x94 b", {Block::paragraph({"x."}), Block::list(false, {{0, "a"}, {0, "b"}})}},
      {"bare marker is text", "x.\n-\n1.", {Block::paragraph({"x.", "-", "1."})}},
  };
  for (const auto& c : cases) EXPECT_EQ(AutoFormat::parse(c.input), c.expected) << c.name;
}

TEST(AutoFormatParse, HeadingStartThatIsNoHeadingStillAdvances) {
  // "#" and a no-break space: a heading start without heading text.
  auto blocks = AutoFormat::parse("x.\n#\xC2\xA0\ny.");
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1], Block::paragraph({"#"}));
  EXPECT_EQ(blocks[2], Block::paragraph({"y."}));
  EXPECT_EQ(AutoFormat::parse("#\xC2\xA0").size(), 1u);
}

TEST(AutoFormatHeuristics, HeadingAndTitleTests) {
  EXPECT_TRUE(AutoFormat::looksLikeHeading("Budget:"));
  EXPECT_TRUE(AutoFormat::looksLikeHeading("\xC3\x89T\xC3\x89 PLAN"));  // ÉTÉ PLAN
  EXPECT_FALSE(AutoFormat::looksLikeHeading("\xC3\xA9t\xC3\xA9 plan"));
  EXPECT_TRUE(AutoFormat::looksLikeHeading("The Plan of the Year"));
  EXPECT_FALSE(AutoFormat::looksLikeHeading("one two three four five six seven eight Nine Ten"));
  EXPECT_FALSE(AutoFormat::looksLikeHeading("Is It?"));
  EXPECT_TRUE(AutoFormat::looksLikeHeading("123"));  // a lone number counts as capitalised
  EXPECT_TRUE(AutoFormat::isTitleCase({"2024", "report"}) == false);
  EXPECT_TRUE(AutoFormat::isTitleCase({"2024", "Report"}));
  EXPECT_FALSE(AutoFormat::isTitleCase({"of", "the"}));
  EXPECT_TRUE(AutoFormat::looksLikeTitle("A Fairly Long Title With Many Words In It Here"));  // 10 words
  EXPECT_FALSE(AutoFormat::looksLikeTitle(std::string(81, 'A')));
}

TEST(AutoFormatMarkdown, ByteExact) {
  EXPECT_EQ(AutoFormat::renderMarkdown("Meeting Notes\n\n- a\n- b"), "# Meeting Notes\n\n- a\n- b\n");
  EXPECT_EQ(AutoFormat::renderMarkdown("Meeting notes\n\n- a\n- b"), "Meeting notes\n\n- a\n- b\n");
  EXPECT_EQ(AutoFormat::renderMarkdown(""), "\n");
  EXPECT_EQ(AutoFormat::renderMarkdown("one line.\ntwo line."), "one line.  \ntwo line.\n");
  EXPECT_EQ(AutoFormat::renderMarkdown("x.\n1. a\n   1. b\n   2. c\n2. d\n  3. e\n     9. f"),
            "x.\n\n1. a\n  1. b\n  2. c\n2. d\n  1. e\n    1. f\n");
  EXPECT_EQ(AutoFormat::renderMarkdown("Plan\n\n## Goals\n> q1\n> q2\n```\nint x;\n```\nBudget:\n\ndone."),
            "# Plan\n\n## Goals\n\n> q1\n> q2\n\n```\nint x;\n```\n\n## Budget\n\ndone.\n");
}

TEST(AutoFormatRichText, StylesBlocks) {
  RichText rt = AutoFormat::renderRichText("Title Here\n\n- a\n\n1. b\n   2. c\n\n> q\n\n```\nx\n```\n\nSection:\n\nbody.");
  EXPECT_EQ(rt.string(), "Title Here\n\xE2\x80\xA2  a\n1.  b\n1.  c\nq\nx\nSection\nbody.\n");
  const auto& runs = rt.runs();
  // Neighbouring items of the same level share one run.
  ASSERT_EQ(runs.size(), 7u);
  EXPECT_EQ(runs[0].style.size, 22);
  EXPECT_EQ(runs[0].style.weight, 700);
  EXPECT_EQ(runs[0].style.paragraph->spacingAfter, 12);
  EXPECT_EQ(runs[1].style.paragraph->headIndent, 16);
  EXPECT_EQ(runs[2].style.paragraph->headIndent, 34);
  EXPECT_TRUE(runs[3].style.italic);
  EXPECT_EQ(runs[4].style.font, FontRole::Monospaced);
  EXPECT_EQ(runs[4].style.size, 11.5);
  EXPECT_EQ(runs[5].style.size, 16);
  EXPECT_EQ(runs[5].style.weight, 600);
  EXPECT_EQ(runs[6].style.paragraph->lineSpacing, 2);
}

RunStyle styled(double size, int weight, bool italic = false) {
  RunStyle s;
  s.size = size;
  s.weight = weight;
  s.italic = italic;
  return s;
}

TEST(AutoFormatRichText, ToMarkdown) {
  RichText rt;
  rt.append("Big\n", styled(24, 400));
  rt.append("Mid\n", styled(18, 700));
  rt.append("Small\n\n\n", styled(15, 700));
  rt.append("plain ", styled(12, 400));
  rt.append("both", styled(12, 700, true));
  RunStyle link = styled(12, 400);
  link.link = "https://x.org/a";
  rt.append(" [k] ", styled(12, 400));
  rt.append("site", link);
  link.link = "mailto:a@b.c";
  rt.append(" mail", link);
  RunStyle code = styled(12, 400);
  code.font = FontRole::Monospaced;
  rt.append(" a*b`\\\n", code);
  auto bullet = std::make_shared<ParagraphStyle>();
  bullet->lists = {{"{disc}"}};
  auto numbered = std::make_shared<ParagraphStyle>();
  numbered->lists = {{"{disc}"}, {"{lower-roman}"}};
  RunStyle b = styled(12, 400);
  b.paragraph = bullet;
  RunStyle nb = styled(12, 400);
  nb.paragraph = numbered;
  rt.append("one\n", b);
  rt.append("two\n", nb);
  rt.append("three\n", nb);
  rt.appendAttachment(std::make_shared<Attachment>(), styled(12, 400));
  EXPECT_EQ(AutoFormat::richTextToMarkdown(rt),
            "# Big\n\n## **Mid**\n\n### **Small**\n\nplain ***both*** \\[k\\] [site](https://x.org/a) mail` a\\*b\\`\\\\`\n\n"
            "- one\n  1. two\n  2. three\n![Embedded image]\n");
  EXPECT_EQ(AutoFormat::richTextToMarkdown(RichText()), "");
}

TEST(AutoFormatImages, DetachesImages) {
  RichText rt;
  rt.append("before ", styled(12, 400));
  auto png = std::make_shared<Attachment>();
  png->bytes = std::string("\x89PNG\r\n\x1a\n", 8) + "data";
  rt.appendAttachment(png, styled(12, 400));
  rt.appendAttachment(std::make_shared<Attachment>(), styled(12, 400));
  rt.append(" after", styled(12, 400));
  auto d = AutoFormat::detachImages(rt, "Artifact_2024-01-01_10-00-00");
  ASSERT_EQ(d.files.size(), 1u);
  EXPECT_EQ(d.files[0].first, "Artifact_2024-01-01_10-00-00_image1.png");
  EXPECT_EQ(d.files[0].second, png->bytes);
  EXPECT_EQ(d.text.string(),
            "before [Image: Artifact_2024-01-01_10-00-00_image1.png][Image could not be exported] after");
  EXPECT_FALSE(d.text.hasAttachments());
  EXPECT_EQ(d.text.runs()[1].style.obliqueness, 0.15);
  EXPECT_EQ(d.text.runs()[1].style.size, 11);
}

TEST(AutoFormatImages, SniffsExtensions) {
  EXPECT_EQ(sniffExtension("\xFF\xD8\xFF\xE0"), "jpg");
  EXPECT_EQ(sniffExtension("GIF89a"), "gif");
  EXPECT_EQ(sniffExtension("RIFF\0\0\0\0WEBP"), "bin");  // the literal stops at the NUL
  EXPECT_EQ(sniffExtension(std::string("RIFF\0\0\0\0WEBP", 12)), "webp");
  EXPECT_EQ(sniffExtension("%PDF-1.4"), "pdf");
  EXPECT_EQ(sniffExtension("xx"), "bin");
}

}  // namespace
}  // namespace corvane::exports
