#include <gtest/gtest.h>

#include <cstdlib>

#include "integration/appcast.h"

namespace corvane::integration {
namespace {

constexpr const char* kNs = "http://www.andymatuschak.org/xml-namespaces/sparkle";

std::string feed(const std::string& items, const std::string& prefix = "sparkle") {
  return "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:" + prefix + "=\"" + kNs +
         "\"><channel><title>Channel</title><description>About</description>" + items + "</channel></rss>";
}

class LocalZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
  }
  void TearDown() override {
    if (saved_) setenv("TZ", saved_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST(Appcast, ReadsItemsInDocumentOrderWithEveryField) {
  auto r = parseAppcast(feed(
      "<item><title> Two </title><sparkle:version>20</sparkle:version>"
      "<sparkle:shortVersionString>2.0</sparkle:shortVersionString><pubDate>Tue, 02 Jan 2024 10:00:00 +0000</pubDate>"
      "<description><![CDATA[<p>New <b>things</b></p>]]></description><link>https://x.test/2</link></item>"
      "<item><title>One</title><enclosure url=\"u\" sparkle:version=\"10\" sparkle:shortVersionString=\"\"/></item>"));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].title, "Two");
  EXPECT_EQ(r[0].version, "20");
  EXPECT_EQ(r[0].shortVersion, "2.0");
  EXPECT_EQ(r[0].notesHTML, "<p>New <b>things</b></p>");
  EXPECT_EQ(r[0].link, "https://x.test/2");
  EXPECT_EQ(r[1].version, "10");
  EXPECT_EQ(r[1].shortVersion, "");  // an empty attribute sets nothing
}

TEST(Appcast, NamespaceIsMatchedByUriNotPrefix) {
  // Another prefix for the same URI counts; the usual prefix bound elsewhere does not.
  auto same = parseAppcast(feed("<item><u:version>7</u:version></item>", "u"));
  ASSERT_EQ(same.size(), 1u);
  EXPECT_EQ(same[0].version, "7");
  auto other = parseAppcast(
      "<rss xmlns:sparkle=\"urn:other\"><channel><item><sparkle:version>7</sparkle:version>"
      "<enclosure sparkle:shortVersionString=\"7.0\"/></item></channel></rss>");
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].version, "");
  EXPECT_EQ(other[0].shortVersion, "");
  // A namespaced "title" is not the item's title.
  auto titled = parseAppcast("<rss xmlns:i=\"urn:i\"><item><title>A</title><i:title>B</i:title></item></rss>");
  ASSERT_EQ(titled.size(), 1u);
  EXPECT_EQ(titled[0].title, "A");
}

TEST(Appcast, LaterValuesOverrideEarlierOnesEitherWay) {
  auto r = parseAppcast(feed(
      "<item><enclosure sparkle:version=\"1\"/><sparkle:version>2</sparkle:version></item>"
      "<item><sparkle:version>3</sparkle:version><enclosure sparkle:version=\"4\"/></item>"
      "<item><sparkle:version>5</sparkle:version><sparkle:version>  </sparkle:version></item>"));
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].version, "2");
  EXPECT_EQ(r[1].version, "4");
  EXPECT_EQ(r[2].version, "5");  // an empty element leaves the version as it was
}

TEST(Appcast, BrokenDocumentsKeepOnlyCompletedItems) {
  struct Case {
    std::string xml;
    size_t count;
  } cases[] = {
      {"not xml at all", 0},
      {"", 0},
      {feed("<item><title>A</title></item><item><title>B</title>"), 1},  // unclosed last item
      {"<rss><channel><item><title>A</title></item><item><title>B</ti", 1},
      {"<rss><item><title>A</title><item><title>B</title></item></rss>", 1},  // restarted item
      {"<rss><item><title>A\xff</title></item></rss>", 0},                    // not UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(parseAppcast(c.xml).size(), c.count) << c.xml;
  auto r = parseAppcast("<rss><item><title>A</title><item><title>B</title></item></rss>");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].title, "B");
}

TEST(Appcast, ChannelElementsDoNotLeakIntoItems) {
  auto r = parseAppcast(feed("<item><description>notes</description></item>"));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].title, "");
  EXPECT_EQ(r[0].notesHTML, "notes");
}

TEST(Appcast, EntityDeclarationsStopTheParseBeforeAnyExpansion) {
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaa\">";
  char prev = 'a';
  for (char c = 'b'; c <= 'k'; ++c) {
    bomb += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) bomb += std::string("&") + prev + ";";
    bomb += "\">";
    prev = c;
  }
  bomb += "]><rss><channel><item><title>&k;</title></item></channel></rss>";
  EXPECT_TRUE(parseAppcast(bomb).empty());
  // An external entity is never fetched or read.
  EXPECT_TRUE(parseAppcast("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><rss><item><title>&x;</title>"
                           "</item></rss>")
                  .empty());
}

TEST(Appcast, TenMegabyteFeedIsReadWhole) {
  std::string items;
  const std::string notes(1000, 'n');
  while (items.size() < (10u << 20))
    items += "<item><title>T</title><sparkle:version>1</sparkle:version><description>" + notes + "</description></item>";
  const size_t count = items.size() / (items.find("</item>") + 7);
  EXPECT_EQ(parseAppcast(feed(items)).size(), count);
}

TEST_F(LocalZone, DatesFormatInTheLocalZoneOrStayAsWritten) {
  zone("UTC");
  EXPECT_EQ(formatFeedDate("Tue, 02 Jan 2024 10:00:00 +0000"), "2 Jan 2024");
  EXPECT_EQ(formatFeedDate("Tue, 2 Jan 2024 23:30:00 -0100"), "3 Jan 2024");
  EXPECT_EQ(formatFeedDate("Tue, 02 Jan 2024 10:00:00 GMT"), "2 Jan 2024");
  zone("Pacific/Kiritimati");  // UTC+14
  EXPECT_EQ(formatFeedDate("Tue, 02 Jan 2024 10:00:00 +0000"), "3 Jan 2024");
  zone("America/Los_Angeles");
  EXPECT_EQ(formatFeedDate("Tue, 02 Jan 2024 07:59:59 +0000"), "1 Jan 2024");
  for (const char* odd : {"2024-01-02", "Tue, 30 Feb 2024 10:00:00 +0000", "Tue, 02 Jan 2024 24:00:00 +0000",
                          "Tue, 02 Foo 2024 10:00:00 +0000", "Tue, 02 Jan 2024 10:00:00", "",
                          "Tue, 02 Jan 2024 10:00:00 +0000 extra", "02 Jan 2024 10:00:00 +0000"})
    EXPECT_EQ(formatFeedDate(odd), odd);
}

TEST_F(LocalZone, HistoryEntriesPreferTheShortVersionAndTrimNotes) {
  zone("UTC");
  Release a;
  a.title = "A";
  a.version = "42";
  a.pubDate = "not a date";
  a.notesHTML = "  <p>Fixes</p>\n<ul><li>one</li></ul>  ";
  Release b = a;
  b.shortVersion = "4.2";
  Json e = historyEntries({a, b});
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0]["version"], "42");
  EXPECT_EQ(e[1]["version"], "4.2");
  EXPECT_EQ(e[0]["date"], "not a date");
  const std::string notes = e[0]["notes"].get<std::string>();
  EXPECT_EQ(notes.front(), 'F');
  EXPECT_NE(notes.back(), '\n');
  EXPECT_EQ(e[0].size(), 4u);
}

TEST(Versions, CompareNumerically) {
  EXPECT_GT(compareVersions("1.10", "1.9"), 0);
  EXPECT_EQ(compareVersions("1.0", "1"), 0);
  EXPECT_LT(compareVersions("0.9.1", "0.10"), 0);
  EXPECT_EQ(compareVersions("2.0-beta", "2.0"), 0);
}

}  // namespace
}  // namespace corvane::integration
