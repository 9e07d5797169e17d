#include "notes/markup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::notes {
namespace {

const std::string kLS = "\u2028";

std::string replaceAllLiteral(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

struct TextCase {
  const char* label;
  std::string input;
  std::string expected;
};

TEST(HtmlToText, ConvertsBodiesToPlainText) {
  const std::vector<TextCase> cases = {
      {"lines, entity and rule", "<div>Title</div><div>a &amp; b</div><hr class=x><div>c</div>",
       "Title\na & b\n\n⸻\nc"},
      {"upper-case tags still end lines", "<DIV>One</DIV><DIV>Two<BR>Three<Br/>Four<bR />Five</DIV><HR>",
       "One\nTwo\nThree\nFour\nFive\n\n⸻"},
      {"each entity is decoded once", "<div>&amp;lt;b&amp;gt; &lt;i&gt;</div>", "&lt;b&gt; <i>"},
      {"quotes and apostrophes", "&quot;x&quot; &#39;y&#39; &nbsp;z", "\"x\" 'y' &nbsp;z"},
      {"nested spans and attributes vanish", "<div><span style=\"x\"><span>a</span>b</span></div>", "ab"},
      {"ends trimmed", "  \n<div>  x  </div>\n\n", "x"},
      {"invalid UTF-8 is repaired, not dropped", "<div>a\xFF</div>", "a\uFFFD"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(htmlToText(c.input), c.expected) << c.label;
}

struct PreviewCase {
  const char* label;
  std::string plain;
  std::string title;
  std::string expected;
};

TEST(PreviewText, DropsRepeatedTitleAndJoinsLines) {
  const std::vector<PreviewCase> cases = {
      {"title line dropped", "Shopping\n- eggs\n- milk", "shopping", "- eggs" + kLS + "- milk"},
      {"other first line kept", "A\nB", "X", "A" + kLS + "B"},
      {"carriage returns removed", "T\r\nb\r\nc\r", "T", "b" + kLS + "c"},
      {"white space normalised", "  Hello \t  World \nx", "hello world", "x"},
      {"Unicode case folding", "ÉCOLE\nx", "école", "x"},
      {"only the title", "Title", "Title", ""},
      {"empty title keeps everything", "A\nB", "  ", "A" + kLS + "B"},
      {"blank lines at the ends trimmed", "T\n\n\nbody\n\n", "T", "body"},
      {"replacement characters removed", "T\nx\uFFFCy\uFFFDz", "T", "xyz"},
      {"empty", "", "T", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(previewText(c.plain, c.title), c.expected) << c.label;
}

TEST(PreviewText, KeepsAtMostTwentyThousandCodePoints) {
  std::string plain = "T\n";
  for (int i = 0; i < 30000; ++i) plain += "é";
  std::string preview = previewText(plain, "T");
  EXPECT_EQ(preview.size(), 20000u * 2);
}

TEST(KeepStyleDeclaration, KeepsAccentColoursAndTypography) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {" font-weight: bold", true},     {"FONT-SIZE:12px", true},          {"\tline-height:1.2 ", true},
      {"letter-spacing: 1px", true},    {"text-decoration: underline", true}, {"font-style:italic", true},
      {"color: #3346d6", true},         {"color:#FF8A98", true},           {"color: #d8324a", true},
      {"color: #8fa0ff", true},         {"color: red", false},             {"color: #123456", false},
      {"background-color:#3346d6", false}, {"border-color: #3346d6", false}, {"font-weight : bold", false},
      {"position: fixed", false},       {"", false},
  };
  for (const auto& [declaration, kept] : cases) EXPECT_EQ(keepStyleDeclaration(declaration), kept) << declaration;
}

TEST(RichPreview, SanitisesFormattedBodies) {
  const std::vector<TextCase> cases = {
      {"plain lines give nothing", "<div>Title</div><div>just text</div><div><br></div>", ""},
      {"separator alone is worth a preview", "<div>Title</div><div>⸻</div><div>after</div>", "<hr>after<br>"},
      {"separator written as entity", "<div>T</div><p><span>&#x2E3B;</span></p><div><b>x</b></div>",
       "<hr><b>x</b><br>"},
      {"to-dos", "<div>T</div><div>- [x] done</div><div>- [ ] open</div><div><b>x</b></div>",
       "<span class=\"todo\" data-done=\"1\">☑</span> done<br><span class=\"todo\" data-done=\"0\">☐</span> "
       "open<br><b>x</b><br>"},
      {"empty lines become breaks", "<div>T</div><div><b>a</b></div><div>&nbsp;<br/></div><div>b</div>",
       "<b>a</b><br><br>b<br>"},
      {"upper-case tags", "<DIV>T</DIV><DIV><STRONG>x</STRONG> <EM class=q>y</EM></DIV>",
       "<b>x</b> <i>y</i><br>"},
      {"anchors: only http(s) survive, reduced to href",
       "<div>T</div><div><a href=\"mailto:x@y\">mail</a> <A HREF='https://e.com/x' onclick=\"evil()\">web</A> "
       "<a href=\"javascript:alert(1)\">js</a></div>",
       "mail</a> <a href=\"https://e.com/x\">web</a> js</a><br>"},
      {"other colour dropped, font-weight kept with its space",
       "<div>T</div><div><span style=\"color: #123456; font-weight: bold\">x</span></div>",
       "<span style=\" font-weight: bold\">x</span><br>"},
      {"light accents become dark", "<div>T</div><div><span style=\"color:#3346D6\">x</span></div>",
       "<span style=\"color:#8fa0ff\">x</span><br>"},
      {"background colour removed",
       "<div>T</div><div><span style=\"background-color: #fff; font-style: italic\">x</span></div>",
       "<span style=\" font-style: italic\">x</span><br>"},
      {"nested spans", 
       "<div>T</div><div><span style=\"font-size: 20px\"><span style=\"color: red\">a</span>"
       "<span style=\"font-style: italic\">b</span></span></div>",
       "<span style=\"font-size: 20px\"><span >a</span><span style=\"font-style: italic\">b</span></span><br>"},
      {"images in both quote styles become thumbnails",
       "<div>T</div><div><img class=\"a\" src=\"app://local/__media/abc.png\" width=\"300\" alt='x'></div>"
       "<div><IMG SRC='data:image/png;base64,AAA' style=\"x\"></div>",
       "<img src=\"app://local/__thumb/abc.png\" width=\"300\"><br><img src=\"data:image/png;base64,AAA\"><br>"},
      {"disallowed tags and comments removed, their text stays",
       "<div>T</div><div><!-- c --><table><tr><td><u>x</u></td></tr></table><font color=red>y</font></div>",
       "<u>x</u>y<br>"},
      {"plain first line of a folder note is the title", "Title\n<div><b>x</b></div>", "<b>x</b><br>"},
      {"title removed only at the start", "<div><b>A</b></div><div><i>B</i></div>", "<i>B</i><br>"},
  };
  for (const auto& c : cases) EXPECT_EQ(richPreview(c.input), c.expected) << c.label;
}

TEST(RichPreview, NeverPassesScriptToThePage) {
  const std::vector<TextCase> cases = {
      {"event handler on a kept tag", "<div>T</div><div><b onclick=\"x()\">a</b><u>u</u></div>",
       "<b>a</b><u>u</u><br>"},
      {"image without quoted source", "<div>T</div><div><img src=x onerror=alert(1)></div>",
       "<img src=\"x\"><br>"},
      {"script element", "<div>T</div><div><b>a</b><script>alert(2)</script></div>", "<b>a</b>alert(2)<br>"},
      {"slash as attribute separator", "<div>T</div><div><i/onclick=q>w</i><u>u</u></div>",
       "<i>w</i><u>u</u><br>"},
      {"custom element named like a kept tag", "<div>T</div><div><span-x onmouseover=y>z</span-x><b>b</b></div>",
       "z<b>b</b><br>"},
      {"single-quoted style is filtered too",
       "<div>T</div><div><span style='position:fixed;font-weight:bold'>s</span></div>",
       "<span style=\"font-weight:bold\">s</span><br>"},
      {"quote inside a single-quoted value", "<div>T</div><div><span class='a\" onclick=\"x'><b>b</b></span></div>",
       "<span class=\"a&quot; onclick=&quot;x\"><b>b</b></span><br>"},
      {"image source cannot close the tag", "<div>T</div><div><img src=\"a>b\"><b>x</b></div>",
       "<img src=\"a&gt;b\"><b>x</b><br>"},
  };
  for (const auto& c : cases) EXPECT_EQ(richPreview(c.input), c.expected) << c.label;
}

TEST(RichPreview, IsCutAtNineHundredCountedCharacters) {
  std::string body = "<div>T</div><div><b>";
  for (int i = 0; i < 2000; ++i) body += "x";
  body += "</b></div>";
  EXPECT_EQ(richPreview(body), "<b>" + std::string(897, 'x'));
}

struct TruncateCase {
  const char* label;
  std::string input;
  int64_t limit;
  std::string expected;
};

TEST(TruncateMarkup, CountsCharactersWithoutSplittingTagsOrEntities) {
  const std::string longImage = "<img src='" + std::string(5000, 'x') + "'>";
  const std::vector<TruncateCase> cases = {
      {"limit zero", "abc", 0, ""},
      {"negative limit", "abc", -4, ""},
      {"plain cut", "abcdef", 3, "abc"},
      {"shorter than limit", "abc", 10, "abc"},
      {"entity is one character", "ab&amp;cd", 3, "ab&amp;"},
      {"cut before an entity", "ab&amp;cd", 2, "ab"},
      {"numeric entities", "&#x2E3B;&#11835;z", 2, "&#x2E3B;&#11835;"},
      {"not an entity: & counts alone", "a&b;c", 2, "a&"},
      {"semicolon too far away", "&" + std::string(45, 'a') + ";", 3, "&aa"},
      {"image tags count nothing", longImage + "abc", 2, longImage + "ab"},
      {"upper-case image tag", "<IMG SRC='x'>ab", 1, "<IMG SRC='x'>a"},
      {"other tags count their length", "<b>xy</b>", 4, "<b>x"},
      {"tag is never split", "a<span>b", 3, "a<span>"},
      {"lone < counts one", "a<b", 2, "a<"},
      {"code points, not bytes", "éèà", 2, "éè"},
  };
  for (const auto& c : cases) EXPECT_EQ(truncateMarkup(c.input, c.limit), c.expected) << c.label;
}

TEST(TruncateMarkup, ManyOpenBracketsWithoutCloseStayLinear) {
  // Quadratic behaviour here would take minutes under the sanitizers.
  std::string text(4 << 20, '<');
  EXPECT_EQ(truncateMarkup(text, INT64_MAX).size(), text.size());
  EXPECT_EQ(truncateMarkup(text, 3), "<<<");
  // With a ">" at the very end, everything up to it is one tag.
  EXPECT_EQ(truncateMarkup(text + ">", 3).size(), text.size() + 1);
}

TEST(ImageSources, ReturnsFirstSourcesInOrder) {
  const std::string body =
      "<div><img src=\"a.png\"></div><div><IMG alt=x SRC='b.png'></div><div><img class=z src=\"c.png\"></div>";
  EXPECT_EQ(imageSources(body, 2), (std::vector<std::string>{"a.png", "b.png"}));
  EXPECT_EQ(imageSources(body, 10), (std::vector<std::string>{"a.png", "b.png", "c.png"}));
  EXPECT_TRUE(imageSources(body, 0).empty());
  EXPECT_TRUE(imageSources("<div>no images</div><img src=unquoted>", 5).empty());
}

TEST(LowerCaseText, FoldsUnicodeLetters) {
  EXPECT_EQ(lowerCaseText("ÀB Straße ΣΑ"), "àb straße σα");
}

}  // namespace
}  // namespace corvane::notes

namespace corvane::notes {
namespace {

// richPreview works on a prefix of long bodies when that cannot change the
// result; bodies built from awkward fragments must give the same preview as
// the step-by-step run over the whole body.
TEST(RichPreview, PrefixShortcutAgreesWithWholeBody) {
  const std::vector<std::string> fragments = {
      "<div>plain words in a line</div>",
      "<div><b>bold</b> text</div>",
      "<div><span style=\"color: #3346d6; font-weight: bold\">accent</span></div>",
      "<div><br></div>",
      "<div>⸻</div>",
      "<p><span>&#x2e3b;</span></p>",
      "<div>- [ ] todo</div>",
      "<div><img src=\"app://local/__media/a.png\" width=\"20\"></div>",
      "<div><img alt='x' src='",  // source left open across lines
      "'></div>",
      "<div style=\"",  // style value left open
      "\">",
      "background-color: red",  // declaration without an end
      ";",
      "<div x ",  // a tag that swallows the next "</div>"
      "</div>",
      "<div>",
      "<span>",
      "</span>",
      "&amp;",
      "&eacute",
      "<a href=\"https://example.com/x\">link</a>",
      "<strong>s</strong><em>e</em>",
      "   \n  ",
      "<!-- note -->",
      "<DIV>upper</DIV>",
      "<div>" + std::string(300, 'w') + "</div>",
  };
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int round = 0; round < 60; ++round) {
    std::string body = "<div>Title</div>";
    // Mostly tame lines, with awkward fragments mixed in at a varying rate.
    size_t awkwardEvery = 2 + next() % 40;
    while (body.size() < 150 * 1024) {
      if (next() % awkwardEvery == 0) body += fragments[4 + next() % (fragments.size() - 4)];
      else body += fragments[next() % 4];
    }
    ASSERT_EQ(richPreview(body), detail::richPreviewOfWholeBody(body)) << "round " << round;
  }
}

TEST(RichPreview, ConstructsOpenedEarlyAndClosedFarAwayAreNotCutShort) {
  // Each opener starts before the preview is full and its match ends far
  // beyond the first prefix, so a prefix run would change the visible part.
  const std::string lines = [] {
    std::string s;
    for (int i = 0; i < 5000; ++i) s += "</div><div>line of text</div>";
    return s;
  }();
  const std::vector<TextCase> cases = {
      {"image source", "<div>T</div><div><b>x</b><img src=\"a" + lines + "\"></div>", ""},
      // Apostrophes in the lines keep the check for image sources quiet.
      {"style value in the text",
       "<div>T</div><div><b>x</b> style=\"font-size: 3;" + replaceAllLiteral(lines, "text", "isn't") + "\"</div>", ""},
  };
  for (const auto& c : cases) {
    std::string expected = detail::richPreviewOfWholeBody(c.input);
    EXPECT_EQ(richPreview(c.input), expected) << c.label;
    EXPECT_EQ(expected.rfind("<b>x</b>", 0), 0u) << c.label;
  }
}

}  // namespace
}  // namespace corvane::notes
