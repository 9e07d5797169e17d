#include "integration/appcast.h"

#include <expat.h>

#include <array>
#include <cctype>
#include <cstring>

#include "core/text.h"
#include "notes/markup.h"

namespace corvane::integration {
namespace {

// Expat reports namespaced names as "URI<sep>local".
constexpr char kNsSeparator = '\x01';

enum class Name { Other, Item, Enclosure, Title, PubDate, Description, Link, Version, ShortVersion };

Name classify(std::string_view qname) {
  const size_t sep = qname.find(kNsSeparator);
  if (sep == std::string_view::npos) {
    if (qname == "item") return Name::Item;
    if (qname == "enclosure") return Name::Enclosure;
    if (qname == "title") return Name::Title;
    if (qname == "pubDate") return Name::PubDate;
    if (qname == "description") return Name::Description;
    if (qname == "link") return Name::Link;
    return Name::Other;
  }
  if (qname.substr(0, sep) != kUpdateNamespace) return Name::Other;
  const std::string_view local = qname.substr(sep + 1);
  if (local == "version") return Name::Version;
  if (local == "shortVersionString") return Name::ShortVersion;
  return Name::Other;
}

struct ParserState {
  XML_Parser parser = nullptr;
  std::vector<Release> releases;
  std::optional<Release> current;
  std::string text;
};

void onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto& s = *static_cast<ParserState*>(data);
  s.text.clear();
  const Name n = classify(name);
  if (n == Name::Item) {
    s.current = Release{};
  } else if (n == Name::Enclosure && s.current) {
    for (size_t i = 0; attrs[i] && attrs[i + 1]; i += 2) {
      const Name a = classify(attrs[i]);
      const std::string_view value = attrs[i + 1];
      if (value.empty()) continue;
      if (a == Name::Version) s.current->version = value;
      else if (a == Name::ShortVersion) s.current->shortVersion = value;
    }
  }
}

void onEnd(void* data, const XML_Char* name) {
  auto& s = *static_cast<ParserState*>(data);
  if (!s.current) return;
  const std::string t(trimUnicodeWhitespace(s.text));
  switch (classify(name)) {
    case Name::Title: s.current->title = t; break;
    case Name::Version: if (!t.empty()) s.current->version = t; break;
    case Name::ShortVersion: if (!t.empty()) s.current->shortVersion = t; break;
    case Name::PubDate: s.current->pubDate = t; break;
    case Name::Description: s.current->notesHTML = t; break;
    case Name::Link: s.current->link = t; break;
    case Name::Item:
      s.releases.push_back(std::move(*s.current));
      s.current.reset();
      break;
    default: break;
  }
}

void onText(void* data, const XML_Char* chars, int len) {
  static_cast<ParserState*>(data)->text.append(chars, size_t(len));
}

// A feed has no business declaring entities; stopping here rules out every
// expansion attack (nested, quadratic, external) before it starts.
void onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                  const XML_Char*, const XML_Char*) {
  XML_StopParser(static_cast<ParserState*>(data)->parser, XML_FALSE);
}

}  // namespace

std::vector<Release> parseAppcast(std::string_view xml) {
  ParserState state;
  state.parser = XML_ParserCreateNS(nullptr, kNsSeparator);
  if (!state.parser) return {};
  XML_SetUserData(state.parser, &state);
  XML_SetElementHandler(state.parser, onStart, onEnd);
  XML_SetCharacterDataHandler(state.parser, onText);
  XML_SetEntityDeclHandler(state.parser, onEntityDecl);
  // Feed the document in slices: expat takes an int length.
  constexpr size_t kSlice = 1 << 20;
  size_t offset = 0;
  do {
    const size_t n = std::min(kSlice, xml.size() - offset);
    const bool last = offset + n == xml.size();
    if (XML_Parse(state.parser, xml.data() + offset, int(n), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) break;
    offset += n;
  } while (offset < xml.size());
  XML_ParserFree(state.parser);
  return std::move(state.releases);
}

namespace {

constexpr std::array<const char*, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kDays = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

struct Cursor {
  std::string_view s;
  size_t i = 0;
  bool eat(char c) {
    if (i < s.size() && s[i] == c) return ++i, true;
    return false;
  }
  void spaces() {
    while (i < s.size() && s[i] == ' ') ++i;
  }
  std::optional<int> digits(size_t minCount, size_t maxCount) {
    size_t n = 0;
    int v = 0;
    while (i < s.size() && n < maxCount && std::isdigit(static_cast<unsigned char>(s[i]))) {
      v = v * 10 + (s[i++] - '0');
      ++n;
    }
    if (n < minCount) return std::nullopt;
    return v;
  }
  std::string word() {
    std::string w;
    while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) w += char(std::tolower(s[i++]));
    return w;
  }
};

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int daysIn(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 1 && isLeap(y) ? 29 : d[m];
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 0-based).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  m += 1;
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

}  // namespace

std::optional<std::time_t> parseFeedDate(std::string_view text) {
  Cursor c{text};
  // "EEE, " — the weekday is read but, as with any formatter, not checked
  // against the date.
  const std::string day = c.word();
  bool knownDay = false;
  for (const char* d : kDays) knownDay |= day == d;
  if (!knownDay || !c.eat(',')) return std::nullopt;
  c.spaces();
  auto dd = c.digits(1, 2);
  c.spaces();
  const std::string mon = c.word();
  int month = -1;
  for (size_t m = 0; m < kMonths.size(); ++m)
    if (mon == kMonths[m]) month = int(m);
  c.spaces();
  auto yyyy = c.digits(1, 4);
  if (!dd || month < 0 || !yyyy || !c.eat(' ')) return std::nullopt;
  c.spaces();
  auto hh = c.digits(1, 2);
  if (!hh || !c.eat(':')) return std::nullopt;
  auto mm = c.digits(1, 2);
  if (!mm || !c.eat(':')) return std::nullopt;
  auto ss = c.digits(1, 2);
  if (!ss || !c.eat(' ')) return std::nullopt;
  c.spaces();
  // "Z": +hhmm / -hhmm, or GMT / UTC with an optional ±hh:mm.
  int offset = 0;
  if (c.i < text.size() && (text[c.i] == '+' || text[c.i] == '-')) {
    const int sign = text[c.i++] == '-' ? -1 : 1;
    auto z = c.digits(4, 4);
    if (!z || *z % 100 > 59) return std::nullopt;
    offset = sign * ((*z / 100) * 3600 + (*z % 100) * 60);
  } else {
    const std::string zone = c.word();
    if (zone != "gmt" && zone != "utc" && zone != "ut") return std::nullopt;
    if (c.i < text.size() && (text[c.i] == '+' || text[c.i] == '-')) {
      const int sign = text[c.i++] == '-' ? -1 : 1;
      auto h = c.digits(1, 2);
      if (!h || !c.eat(':')) return std::nullopt;
      auto m = c.digits(2, 2);
      if (!m || *m > 59) return std::nullopt;
      offset = sign * (*h * 3600 + *m * 60);
    }
  }
  if (c.i != text.size()) return std::nullopt;
  if (*dd < 1 || *dd > daysIn(*yyyy, month) || *hh > 23 || *mm > 59 || *ss > 59) return std::nullopt;
  const int64_t days = daysFromCivil(*yyyy, unsigned(month), unsigned(*dd));
  return std::time_t(days * 86400 + *hh * 3600 + *mm * 60 + *ss - offset);
}

std::string formatFeedDate(std::string_view pubDate) {
  const auto instant = parseFeedDate(pubDate);
  if (!instant) return std::string(pubDate);
  std::tm local{};
  if (!localtime_r(&*instant, &local)) return std::string(pubDate);
  char out[32];
  std::snprintf(out, sizeof out, "%d %s %04d", local.tm_mday, kMonthNames[size_t(local.tm_mon)],
                local.tm_year + 1900);
  return out;
}

Json historyEntries(const std::vector<Release>& releases) {
  Json out = Json::array();
  for (const Release& r : releases) {
    Json entry = Json::object();
    entry["version"] = r.shortVersion.empty() ? r.version : r.shortVersion;
    entry["title"] = r.title;
    entry["date"] = formatFeedDate(r.pubDate);
    entry["notes"] = std::string(trimUnicodeWhitespace(notes::htmlToText(r.notesHTML)));
    out.push_back(std::move(entry));
  }
  return out;
}

int compareVersions(std::string_view a, std::string_view b) {
  Cursor x{a}, y{b};
  while (x.i < a.size() || y.i < b.size()) {
    const int va = x.digits(1, 9).value_or(0);
    const int vb = y.digits(1, 9).value_or(0);
    if (va != vb) return va < vb ? -1 : 1;
    // Anything after the number up to the next dot ("-beta") is skipped.
    while (x.i < a.size() && a[x.i] != '.') ++x.i;
    while (y.i < b.size() && b[y.i] != '.') ++y.i;
    x.eat('.');
    y.eat('.');
  }
  return 0;
}

}  // namespace corvane::integration
