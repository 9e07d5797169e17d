#include "capture/clip_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

namespace corvane::capture {
namespace {

TEST(ClipSource, ValidLink) {
  static const struct {
    const char* text;
    std::optional<std::string> expected;
  } cases[] = {
      {"https://example.com/a?b=1", "https://example.com/a?b=1"},
      {"  https://example.com/\n", "https://example.com/"},
      {"HTTP://Example.com", "HTTP://Example.com"},
      {"file:///home/u/doc.txt", "file:///home/u/doc.txt"},
      {"mailto:someone@example.com", "mailto:someone@example.com"},
      {"https://user@host:8080/x#f", "https://user@host:8080/x#f"},
      {"https://", std::nullopt},
      {"http:///path", std::nullopt},
      {"javascript:alert(1)", std::nullopt},
      {"JavaScript:alert(1)", std::nullopt},
      {"data:text/html,hi", std::nullopt},
      {"vbscript:x", std::nullopt},
      {"example.com/path", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"https://exa mple.com", std::nullopt},
      {"https://example.com/\x01", std::nullopt},
      {"https://example.com/\x7f", std::nullopt},
      {"https://example.com/é?q=\"x\"", "https://example.com/é?q=\"x\""},
  };
  for (const auto& c : cases) EXPECT_EQ(validLink(std::string_view(c.text)), c.expected) << c.text;
  EXPECT_EQ(validLink(std::nullopt), std::nullopt);
  EXPECT_TRUE(isWebLink("https://example.com"));
  EXPECT_TRUE(isWebLink("HTTP://x"));
  EXPECT_FALSE(isWebLink("ftp://x"));
  EXPECT_FALSE(isWebLink(" https://x"));
}

TEST(ClipSource, ComposeClipCases) {
  const std::string start = "<div><br></div><hr>";
  std::string text120(120, 'a'), text121(121, 'a');
  static const struct {
    std::string text, source;
    std::optional<std::string> rich;
    std::string expected;
  } cases[] = {
      {"x", " https://e.com/ ", std::string("<table></table>"), "<table></table><div><i>— https://e.com/</i></div>"},
      {"x", "", std::string("<table></table>"), "<table></table>"},
      {"a b c", "https://example.com/a?b=1&c=\"", std::nullopt,
       "<div><a href=\"https://example.com/a?b=1&amp;c=&quot;\">a b c</a></div>"},
      {text120, "https://e.com", std::nullopt, "<div><a href=\"https://e.com\">" + text120 + "</a></div>"},
      {text121, "https://e.com", std::nullopt, "<div>" + text121 + " | <a href=\"https://e.com\">link</a></div>"},
      {"1 < 2 & 3", "Text Editor", std::nullopt, "<div>1 &lt; 2 &amp; 3</div><div><i>— Text Editor</i></div>"},
      {"x", "file:///home/u/a b.txt", std::nullopt, "<div>x</div><div><i>— file:///home/u/a b.txt</i></div>"},
      {"x", "javascript:alert(1)", std::nullopt, "<div>x</div><div><i>— javascript:alert(1)</i></div>"},
      {"<b>", "", std::nullopt, "<div>&lt;b&gt;</div>"},
      {"x", "", std::string(""), "<div>x</div>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(composeClip(c.text, c.source, c.rich), start + c.expected) << c.text.substr(0, 20) << " / " << c.source;
  // The 120-character limit counts characters, not bytes.
  std::string accented;
  for (int i = 0; i < 120; ++i) accented += "é";
  EXPECT_THAT(composeClip(accented, "https://e.com", std::nullopt), ::testing::HasSubstr(">" + accented + "</a>"));
}

TEST(ClipSource, SanitizerKeepsTheTableAndDropsTheRest) {
  static const struct {
    const char* html;
    std::optional<std::string> expected;
  } cases[] = {
      {"<div>no table</div>", std::nullopt},
      {"<TABLE style=\"x\"><TR><TD colspan=\"2\" rowspan='3' style=\"c\">a</TD><th colspan=\"x\">b</th></TR></TABLE>",
       "<table><tr><td colspan=\"2\" rowspan=\"3\">a</td><th>b</th></tr></table>"},
      {"<table><tr><td>1<script>alert(1)</script>2<style>td{}</style></td></tr></table>",
       "<table><tr><td>12</td></tr></table>"},
      {"<table><!-- note --><tr><td><input value=1><button>Go</button><select><option>o</select></td></tr></table>",
       "<table><tr><td>Goo</td></tr></table>"},
      {"<table><tr><td><a href=\" https://e.com/?a=1&b=\'\">x</a><a href=\"javascript:alert(1)\">y</a></td></tr></table>",
       "<table><tr><td><a href=\" https://e.com/?a=1&amp;b='\">x</a><a>y</a></td></tr></table>"},
      {"<table><tr><td><font color=red>k</font><img src=x onerror=alert(1)></td></tr></table>",
       "<table><tr><td>k</td></tr></table>"},
      {"<table><tr><td>a < b</td></tr></table>", "<table><tr><td>a &lt; b</td></tr></table>"},
      {"<table><tr><td>x</td></tr></table><img src=x onerror=alert(1)",
       "<table><tr><td>x</td></tr></table>&lt;img src=x onerror=alert(1)"},
      {"<table><script>never closed", "<table>never closed"},
      {"<table><script src=x never closed", "<table>&lt;script src=x never closed"},
      {"<table><svg><script>x</script></svg></table>", "<table></table>"},
      {"<table><sty<script></script>le>hidden</style></table>", "<table></table>"},
  };
  for (const auto& c : cases) EXPECT_EQ(sanitizeClipHTML(c.html), c.expected) << c.html;
}

TEST(ClipSource, SanitizerIsLinearOnUnclosedOpeners) {
  std::string html = "<table>";
  for (int i = 0; i < 200000; ++i) html += "<style";
  auto out = sanitizeClipHTML(html);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 7 + 200000 * 9u);  // every opener escaped
}

// Random mixes of HTML pieces: every "<" in the output starts a kept tag.
TEST(ClipSource, SanitizerOutputHoldsOnlyKeptTags) {
  const char* pieces[] = {"<table>", "<td colspan=\"3\" style=x>", "</td>", "<script>", "</script>", "<style",
                          ">", "<!--", "-->", "<a href='https://e.com'>", "<a href=\"javascript:x\">", "<img ",
                          "<", "/", "text", "<svg>", "</svg ", "<INPUT", "\"", "'", "<b>", "</b>", "<div", "=",
                          "<tr>", "<sty", "le>", "<!doctype html>", "<?xml?>"};
  std::mt19937 rng(7);
  static constexpr std::string_view kTags[] = {"table", "thead", "tbody", "tfoot", "tr", "td", "th", "br", "b",
                                               "strong", "i", "em", "span", "div", "p", "a", "ul", "ol", "li"};
  for (int round = 0; round < 3000; ++round) {
    std::string html = "<table>";
    for (int k = rng() % 30; k > 0; --k) html += pieces[rng() % std::size(pieces)];
    auto out = sanitizeClipHTML(html);
    ASSERT_TRUE(out);
    std::string_view v = *out;
    for (size_t lt = v.find('<'); lt != std::string_view::npos; lt = v.find('<', lt + 1)) {
      size_t i = lt + 1 + (lt + 1 < v.size() && v[lt + 1] == '/');
      bool kept = false;
      for (auto tag : kTags)
        if (v.substr(i, tag.size()) == tag && i + tag.size() < v.size() &&
            (v[i + tag.size()] == '>' || v[i + tag.size()] == ' '))
          kept = true;
      ASSERT_TRUE(kept) << html << "\n -> " << v;
    }
  }
}

TEST(ClipSource, AttributeValueAndHtmlSource) {
  EXPECT_EQ(attributeValue("href", " HREF = 'a' href=\"b\""), "a");
  EXPECT_EQ(attributeValue("colspan", " data-colspan=\"4\""), "4");
  EXPECT_EQ(attributeValue("colspan", " xcolspan=\"4\""), std::nullopt);
  EXPECT_EQ(attributeValue("href", " href=\"unclosed"), std::nullopt);
  EXPECT_EQ(htmlSourceLink("Version:0.9\r\nSourceURL: https://e.com/p\r\n<html>"), "https://e.com/p");
  EXPECT_EQ(htmlSourceLink("<head><BASE target=x href='https://b.com/'></head>"), "https://b.com/");
  EXPECT_EQ(htmlSourceLink("x SourceURL: https://e.com"), std::nullopt);
  EXPECT_EQ(htmlSourceLink("SourceURL: javascript:alert(1)\n<base href=\"https://b.com\">"), "https://b.com");
}

}  // namespace
}  // namespace corvane::capture
