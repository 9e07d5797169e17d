#include "notes/search_index.h"

#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <map>
#include <random>

#include "notes/markup.h"

namespace corvane::notes {
namespace {

// Folding done the slow, obvious way over the whole string: the per-code-point
// path with its memo must give the same text.
std::string referenceFold(const std::string& text) {
  UErrorCode error = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(error);
  icu::UnicodeString s = nfd->normalize(icu::UnicodeString::fromUTF8(text), error);
  s.foldCase(U_FOLD_CASE_DEFAULT);
  icu::UnicodeString kept;
  for (int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    i += U16_LENGTH(c);
    if (u_charType(c) != U_NON_SPACING_MARK) kept.append(c);
  }
  std::string out;
  kept.toUTF8String(out);
  return out;
}

TEST(FoldTest, RemovesCaseAndDiacriticsButKeepsSpacingMarks) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Café", "cafe"},
      {"Cafe\xCC\x81", "cafe"},  // e + combining acute
      {"ÉCOLE Über", "ecole uber"},
      {"Straße", "strasse"},
      {"İstanbul", "istanbul"},
      {"ΆΛΦΑ", "αλφα"},
      {"Москва Ёлка", "москва елка"},
      {"東京 会議", "東京 会議"},
      // Devanagari: the spacing vowel signs ि and ा (Mc) stay; the
      // non-spacing sign े and the anusvara (Mn) go.
      {"किताबें", "किताब"},
      {"@AZ[`az{", "@az[`az{"},
      {"MiXeD CaSe AcRoSs EiGhT ByTe BlOcKs", "mixed case across eight byte blocks"},
      {"", ""},
      {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
  };
  for (const auto& c : cases) EXPECT_EQ(fold(c.in), c.out) << c.in;
}

TEST(FoldTest, MatchesWholeStringNormalisationOnMixedText) {
  const std::string sample =
      "Ärger über Öl, naïve coöperation, Ångström, ﬁnal ligature, Ǆemal, "
      "ΌΣΟΣ ᾳ, Ελληνικά, Привет мир, Ĳssel, Ⅻ, ｆｕｌｌ ｗｉｄｔｈ, 한국어 텍스트, "
      "ভাষা, தமிழ், ไทย, עִבְרִית, العَرَبِيَّة, "
      "emoji 😀 and combining a\xCC\x80\xCC\x81 o\xCC\x88";
  EXPECT_EQ(fold(sample), referenceFold(sample));
  // Twice, so the second pass runs from the memo.
  EXPECT_EQ(fold(sample), referenceFold(sample));
}

TEST(FoldTest, DifferencesGiveThePlainTextBackExactly) {
  std::mt19937 rng(3);
  const std::vector<std::string> pieces = {"Ab", "c", "É", "é", "Ǆ", "ﬁ", "ẞ", "ß", "Привет", "ΌΣ", "会議",
                                           "a\xCC\x80", "\xCC\x81", "\xFF", "\xE4\xBC", "\xEF\xBF\xBD",
                                           "😀", "\n", " ", "ABCDEFGHIJ", "x"};
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (size_t k = rng() % 30; k > 0; --k) text += pieces[rng() % pieces.size()];
    const FoldedText f = foldKeepingDifferences(text);
    EXPECT_EQ(f.folded, fold(text)) << text;
    EXPECT_EQ(unfold(f.folded, f.differences), text) << text;
  }
  // Text that folds to itself keeps nothing aside.
  EXPECT_TRUE(foldKeepingDifferences("already folded, cafe").differences.empty());
  EXPECT_EQ(makeIndexedBody("Ärger\nÜber", 1, "", 4000)->text(), "Ärger\nÜber");
}

TEST(ContainsTextTest, AgreesWithPlainFindAcrossBlockBoundaries) {
  std::mt19937 rng(7);
  const std::string alphabet = "abcabzq\xC3\xA9\xD0\xB0\xE4\xBC\x9A ";
  for (int round = 0; round < 400; ++round) {
    std::string hay;
    const size_t n = rng() % 300;
    for (size_t i = 0; i < n; ++i) hay += alphabet[rng() % alphabet.size()];
    std::string needle;
    const size_t k = 1 + rng() % 6;
    if (!hay.empty() && rng() % 2 == 0) {
      size_t at = rng() % hay.size();
      needle = hay.substr(at, k);
    } else {
      for (size_t i = 0; i < k; ++i) needle += alphabet[rng() % alphabet.size()];
    }
    const bool found = hay.find(needle) != std::string::npos;
    EXPECT_EQ(containsText(hay, needle), found) << hay << " / " << needle;
    // The byte-pair prefilter may let a text through, never turn a match away.
    if (found) {
      EXPECT_TRUE(BytePairSet(hay).mayContain(TextFinder(needle))) << hay << " / " << needle;
    }
  }
  // A match in the very last bytes, after the wide loop stops.
  std::string tail(200, 'x');
  tail += "needle";
  EXPECT_TRUE(containsText(tail, "needle"));
  EXPECT_FALSE(containsText(tail, "needles"));
  EXPECT_TRUE(containsText(tail, ""));
  EXPECT_FALSE(BytePairSet(tail).mayContain(TextFinder("zebra")));
}

TEST(SearchScoreTest, WordsAreRunsOfLettersAndNumbers) {
  EXPECT_TRUE(hasWordStartingWith("weekly plan-meeting", "meet"));
  EXPECT_TRUE(hasWordStartingWith("q3 plan", "q3"));
  EXPECT_FALSE(hasWordStartingWith("replanning", "plan"));
  EXPECT_FALSE(hasWordStartingWith("plan-meeting", "plan-"));
  EXPECT_TRUE(hasWordStartingWith("über·café", "café"));
}

// ---- searchNotes over a snapshot

Note stub(std::string id, std::string name, int64_t age, std::string preview = {}) {
  Note n;
  n.id = std::move(id);
  n.name = std::move(name);
  n.age = age;
  n.preview = std::move(preview);
  return n;
}

class SearchFixture : public ::testing::Test {
 protected:
  void listNames(const std::vector<Note>& notes) {
    NameList names;
    for (const auto& n : notes) names.push_back(makeIndexedName(n));
    index.replaceNames(std::move(names), -1'000'000'000'000);
  }
  void putBody(const std::string& id, const std::string& text, int64_t age, const std::string& name) {
    index.putBodies({{id, makeIndexedBody(text, age, name, 4000)}});
  }
  std::vector<std::string> ids(std::string_view query, size_t limit = 40) {
    std::vector<std::string> out;
    for (const auto& n : searchNotes(SearchSnapshot{index.names(), index.bodies(), cached}, query, limit))
      out.push_back(n.id);
    return out;
  }
  SearchIndex index;
  CachedListPtr cached;
};

TEST_F(SearchFixture, FindsByFoldedNameAndBodyWithEveryToken) {
  listNames({stub("c", "Café", 1), stub("p", "Plan for Q3", 2), stub("x", "Other", 3)});
  putBody("p", "Plan for Q3\nAgenda: the Meeting on Monday", 2, "Plan for Q3");
  EXPECT_EQ(ids("cafe"), std::vector<std::string>{"c"});
  EXPECT_EQ(ids("CAFÉ"), std::vector<std::string>{"c"});
  EXPECT_EQ(ids("plan meeting"), std::vector<std::string>{"p"});
  EXPECT_TRUE(ids("plan nothing").empty());
  EXPECT_TRUE(ids("   ").empty());
}

TEST_F(SearchFixture, RanksExactThenPrefixThenWordThenContainsThenAge) {
  listNames({stub("contains", "Replanning", 1), stub("word", "Weekly plan", 5), stub("prefix", "Plan ahead", 9),
             stub("exact", "plan", 20), stub("word-newer", "Monthly plan", 4)});
  EXPECT_EQ(ids("Plan"), (std::vector<std::string>{"exact", "prefix", "word-newer", "word", "contains"}));
}

TEST_F(SearchFixture, PreviewMatchesAddTenPerToken) {
  listNames({stub("a", "Groceries", 1, "buy milk"), stub("b", "Groceries", 2, "buy milk and bread")});
  // Same name score; b's preview holds both tokens.
  EXPECT_EQ(ids("groceries bread"), std::vector<std::string>{"b"});
  EXPECT_EQ(ids("milk"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ids("buy bread"), std::vector<std::string>{"b"});
}

TEST_F(SearchFixture, ReturnsAtMostTheLimitBestFirst) {
  std::vector<Note> notes;
  for (int i = 0; i < 60; ++i) notes.push_back(stub("n" + std::to_string(i), "report " + std::to_string(i), i));
  notes.push_back(stub("best", "report", 100));
  listNames(notes);
  auto found = ids("report");
  ASSERT_EQ(found.size(), 40u);
  EXPECT_EQ(found[0], "best");
  EXPECT_EQ(found[1], "n0");
  EXPECT_EQ(found[39], "n38");
}

// The ranking may take a word found in the body for one in the card preview
// derived from it; on random bodies (titles kept or dropped, line ends, tabs,
// replacement characters) it must order exactly as scoring the preview does.
TEST_F(SearchFixture, RankingMatchesScoringThePreviewItself) {
  std::mt19937 rng(11);
  const std::vector<std::string> pieces = {"ab", "ba", "Ab", "c", " ", "\n", "\r\n", "\t", "\uFFFC", "\u2028", "é", "б"};
  for (int round = 0; round < 60; ++round) {
    SearchIndex fresh;
    index = std::move(fresh);
    std::vector<Note> notes;
    std::map<std::string, std::string> bodies;
    for (int i = 0; i < 12; ++i) {
      std::string name = rng() % 2 ? "ab" : "c b";
      std::string text = rng() % 2 ? name + "\n" : std::string();
      for (int k = 0; k < 12; ++k) text += pieces[rng() % pieces.size()];
      notes.push_back(stub("n" + std::to_string(i), name, static_cast<int64_t>(rng() % 4)));
      bodies[notes.back().id] = text;
    }
    listNames(notes);
    for (const auto& n : notes) putBody(n.id, bodies[n.id], n.age, n.name);
    for (const std::string query : {"ab", "b a", "ba c", "é", "ab\tba", "b", "b\na", "a\r\nb", "b\u2028a"}) {
      auto found = searchNotes(SearchSnapshot{index.names(), index.bodies(), nullptr}, query, 40);
      const std::string fq = fold(query);
      const auto tokens = queryTokens(fq);
      std::vector<std::pair<int64_t, int64_t>> keys;
      for (const auto& n : found)
        keys.emplace_back(-searchScore(fold(n.name), fq, tokens, fold(previewText(bodies[n.id], n.name))), n.age);
      EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << "round " << round << " query " << query;
      for (const auto& n : found) EXPECT_EQ(n.preview, previewText(bodies[n.id], n.name));
    }
  }
}

TEST_F(SearchFixture, CachedNotesSupplyPreviewsAndBodiesFillEmptyOnes) {
  listNames({stub("a", "Alpha", 1), stub("b", "Beta", 2)});
  Note cachedA = stub("a", "Alpha", 1, "from the grid");
  cachedA.images = {"app://local/__thumb/x.png"};
  cached = makeCachedList({cachedA});
  putBody("b", "Beta\nsecond line\nthird", 2, "Beta");
  auto found = searchNotes(SearchSnapshot{index.names(), index.bodies(), cached}, "a", 40);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].id, "a");
  EXPECT_EQ(found[0].preview, "from the grid");
  EXPECT_EQ(found[0].images, cachedA.images);
  EXPECT_EQ(found[1].preview, "second line\u2028third");
  // The cached preview is searched when a note has no body text.
  EXPECT_EQ(ids("grid"), std::vector<std::string>{"a"});
}

TEST_F(SearchFixture, SearchesTheCachedListBeforeTheFirstNameRefresh) {
  cached = makeCachedList({stub("a", "Café au lait", 1, "morning"), stub("b", "Tea", 2)});
  EXPECT_EQ(ids("cafe"), std::vector<std::string>{"a"});
  EXPECT_EQ(ids("morning"), std::vector<std::string>{"a"});
}

TEST_F(SearchFixture, BodyTextIsCappedAtFourThousandCodePoints) {
  listNames({stub("a", "Long", 1)});
  std::string text(3999, 'x');
  text += "é" + std::string("tail-beyond-the-cap");
  putBody("a", text, 1, "Long");
  EXPECT_EQ(ids("xe"), std::vector<std::string>{"a"});
  EXPECT_TRUE(ids("tail").empty());
}

TEST_F(SearchFixture, NameRefreshDropsChangedBodiesAndKeepsRecentNotes) {
  const int64_t now = -1'768'478'400;
  listNames({stub("a", "A", 10), stub("b", "B", 11)});
  putBody("a", "A\nalpha body", 10, "A");
  putBody("b", "B\nbeta body", 11, "B");
  index.putNameFront(makeIndexedName(stub("new", "Fresh", now + 5)));
  putBody("new", "Fresh\nfresh body", now + 5, "Fresh");

  // The store lists b with a new age and does not list the new note yet.
  NameList fresh{makeIndexedName(stub("a", "A", 10)), makeIndexedName(stub("b", "B", 12))};
  index.replaceNames(std::move(fresh), now);
  EXPECT_NE(index.body("a"), nullptr);
  EXPECT_EQ(index.body("b"), nullptr);
  EXPECT_NE(index.body("new"), nullptr);
  EXPECT_NE(index.name("new"), nullptr);

  // Two minutes later it is no longer recent and goes.
  index.replaceNames({makeIndexedName(stub("a", "A", 10))}, now - 121);
  EXPECT_EQ(index.name("new"), nullptr);
  EXPECT_EQ(index.body("new"), nullptr);
}

TEST_F(SearchFixture, RenameAndRemoveKeepOlderSnapshotsIntact) {
  listNames({stub("a", "Old title", 1)});
  putBody("a", "Old title\nbody", 1, "Old title");
  SearchSnapshot before{index.names(), index.bodies(), cached};
  index.rename("a", "New title");
  EXPECT_EQ(ids("new"), std::vector<std::string>{"a"});
  index.remove("a");
  EXPECT_TRUE(ids("body").empty());
  // A search that took its snapshot earlier still sees the old index whole.
  auto old = searchNotes(before, "old body", 40);
  ASSERT_EQ(old.size(), 1u);
  EXPECT_EQ(old[0].name, "Old title");
}

// ---- the trigram index

// Search with a trigram index built now must answer exactly as a scan.
class TrigramFixture : public SearchFixture {
 protected:
  void buildGrams() {
    std::vector<IndexedBodyPtr> all;
    for (const auto& [id, body] : *index.bodies()) all.push_back(body);
    index.setGrams(std::make_shared<const TrigramIndex>(std::move(all)), index.gramsStale());
  }
  std::vector<std::string> indexed(std::string_view query) {
    std::vector<std::string> out;
    for (const auto& n : searchNotes(SearchSnapshot{index.names(), index.bodies(), cached, index.grams()}, query))
      out.push_back(n.id);
    return out;
  }
};

TEST_F(TrigramFixture, AgreesWithAScanAcrossScriptsAndShortQueries) {
  std::mt19937 rng(11);
  const std::vector<std::string> words = {"café", "Réunion", "проект", "встреча", "σχέδιο", "会議", "議事録",
                                          "프로젝트", "مشروع", "🚀", "budget", "x", "ab", "Ωμέγα"};
  std::vector<Note> notes;
  for (int i = 0; i < 120; ++i) notes.push_back(stub("n" + std::to_string(i), "note " + std::to_string(i), i));
  listNames(notes);
  for (int i = 0; i < 120; ++i) {
    std::string text;
    for (int w = 0; w < 1 + i % 7; ++w) text += words[rng() % words.size()] + (rng() % 3 ? " " : "");
    putBody("n" + std::to_string(i), text, i, "note " + std::to_string(i));
  }
  buildGrams();
  ASSERT_EQ(index.gramsStale(), 0u);
  const std::vector<std::string> queries = {"CAFE",   "проект встреча", "会",    "会議",   "σχεδιο", "🚀",
                                            "x",      "ab",             "a",     "é",      "jetcafé", "budgetcafé",
                                            "встречаσχέδιο", "議事録会議", "zebra", "مشروع 🚀", "reunion ab"};
  for (const auto& q : queries) EXPECT_EQ(indexed(q), ids(q)) << q;
  // Words run together across scripts are found where they were written so.
  putBody("n0", "заметка проектσχέδιο会議 end", 0, "note 0");
  buildGrams();
  EXPECT_EQ(indexed("ктσχ"), ids("ктσχ"));
  EXPECT_EQ(indexed("заметка проектσχέδιο会議"), std::vector<std::string>{"n0"});
  EXPECT_EQ(indexed("σχέδιο会"), ids("σχέδιο会"));
}

TEST_F(TrigramFixture, EditsRenamesAndDeletesAfterTheBuildAreSeen) {
  listNames({stub("a", "Alpha", 1), stub("b", "Beta", 2), stub("c", "Gamma", 3)});
  putBody("a", "Alpha\nthe quarterly budget", 1, "Alpha");
  putBody("b", "meeting notes", 2, "Beta");
  putBody("c", "Gamma\nrecipe for bread", 3, "Gamma");
  buildGrams();
  EXPECT_EQ(indexed("quarterly"), std::vector<std::string>{"a"});

  // An edit adds one word and removes another; the index still holds the old text.
  putBody("a", "Alpha\nthe yearly forecast", 4, "Alpha");
  EXPECT_EQ(index.gramsStale(), 1u);
  EXPECT_TRUE(indexed("quarterly").empty());
  EXPECT_EQ(indexed("forecast"), std::vector<std::string>{"a"});
  EXPECT_EQ(indexed("yearly fore"), std::vector<std::string>{"a"});

  index.rename("b", "Renamed");
  EXPECT_EQ(indexed("renamed meeting"), std::vector<std::string>{"b"});
  EXPECT_TRUE(indexed("beta meeting").empty());

  index.remove("c");
  EXPECT_TRUE(indexed("bread").empty());
  EXPECT_EQ(index.gramsStale(), 2u);

  // A rebuild takes the edit in; the answers do not change.
  buildGrams();
  EXPECT_EQ(index.gramsStale(), 0u);
  EXPECT_TRUE(indexed("quarterly").empty());
  EXPECT_EQ(indexed("forecast"), std::vector<std::string>{"a"});
  EXPECT_TRUE(indexed("bread").empty());
  EXPECT_EQ(indexed("e"), ids("e"));
}

TEST(TrigramIndexTest, CandidatesNeverTurnAMatchAway) {
  std::mt19937 rng(5);
  const std::string alphabet = "abz\xC3\xA9\xD0\xB0\xE4\xBC\x9A ";
  std::vector<IndexedBodyPtr> bodies;
  for (int i = 0; i < 300; ++i) {
    std::string text;
    for (size_t k = rng() % 40; k > 0; --k) text += alphabet[rng() % alphabet.size()];
    bodies.push_back(makeIndexedBody(text, i, "", 4000));
  }
  TrigramIndex grams(bodies);
  EXPECT_FALSE(grams.candidates("ab").has_value());
  for (int round = 0; round < 200; ++round) {
    std::string needle;
    for (size_t k = 3 + rng() % 4; k > 0; --k) needle += alphabet[rng() % alphabet.size()];
    const auto bits = grams.candidates(needle);
    ASSERT_TRUE(bits.has_value());
    for (size_t s = 0; s < bodies.size(); ++s) {
      ASSERT_EQ(grams.slotOf(bodies[s].get()), std::optional<uint32_t>(static_cast<uint32_t>(s)));
      if (bodies[s]->folded.find(needle) != std::string::npos) {
        EXPECT_TRUE((*bits)[s >> 6] >> (s & 63) & 1) << needle;
      }
    }
  }
  EXPECT_FALSE(grams.slotOf(makeIndexedBody("other", 0, "", 10).get()).has_value());
}

}  // namespace
}  // namespace corvane::notes
