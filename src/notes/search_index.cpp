#include "notes/search_index.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <unordered_set>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define CORVANE_SEARCH_X86 1
#endif

#include "core/text.h"
#include "notes/markup.h"

namespace corvane::notes {

// ---- folding

namespace {

// One code point's folded form, memoised per thread: most texts repeat a small
// set of non-ASCII letters, and each first sight costs a few ICU calls.
struct FoldSlot {
  char32_t cp = 0xFFFFFFFF;
  uint8_t length = 0;
  char bytes[27] = {};
};
constexpr size_t kFoldSlots = 4096;

const icu::Normalizer2* nfd() {
  static const icu::Normalizer2* instance = [] {
    UErrorCode error = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(error);
    return U_SUCCESS(error) ? n : nullptr;
  }();
  return instance;
}

// decompose -> full case fold -> drop non-spacing marks, for one code point.
std::string foldCodePointSlow(char32_t cp) {
  icu::UnicodeString s;
  const icu::Normalizer2* n = nfd();
  if (n == nullptr || !n->getDecomposition(static_cast<UChar32>(cp), s)) s = icu::UnicodeString(static_cast<UChar32>(cp));
  s.foldCase(U_FOLD_CASE_DEFAULT);
  std::string out;
  for (int32_t i = 0; i < s.length();) {
    UChar32 c = s.char32At(i);
    i += U16_LENGTH(c);
    if (u_charType(c) == U_NON_SPACING_MARK) continue;
    appendCodePoint(out, static_cast<char32_t>(c));
  }
  return out;
}

void appendFoldedCodePoint(std::string& out, char32_t cp) {
  thread_local std::array<FoldSlot, kFoldSlots> memo;
  FoldSlot& slot = memo[(cp * 2654435761u) >> 20 & (kFoldSlots - 1)];
  if (slot.cp != cp) {
    std::string folded = foldCodePointSlow(cp);
    if (folded.size() > sizeof(slot.bytes)) {  // never for real data; do not memoise
      out += folded;
      return;
    }
    slot.cp = cp;
    slot.length = static_cast<uint8_t>(folded.size());
    std::memcpy(slot.bytes, folded.data(), folded.size());
  }
  out.append(slot.bytes, slot.length);
}

constexpr std::array<char, 128> kAsciiLower = [] {
  std::array<char, 128> t{};
  for (int c = 0; c < 128; ++c) t[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return t;
}();

}  // namespace

std::string fold(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // ASCII runs: eight bytes at a time while no byte has its high bit set.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      // Lower A-Z: add 0x20 where the byte is in 'A'..'Z'.
      const uint64_t ones = 0x0101010101010101ULL;
      uint64_t aboveA = w + ones * (0x80 - 'A');      // high bit set where byte >= 'A'
      uint64_t aboveZ = w + ones * (0x80 - 'Z' - 1);  // high bit set where byte > 'Z'
      uint64_t upper = (aboveA & ~aboveZ) & (ones * 0x80);
      w += upper >> 2;  // 0x80 >> 2 == 0x20
      char buf[8];
      std::memcpy(buf, &w, 8);
      out.append(buf, 8);
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      out += kAsciiLower[p[i]];
      ++i;
      continue;
    }
    char32_t cp = decodeCodePoint(text, i);
    appendFoldedCodePoint(out, cp);
  }
  return out;
}

namespace {

void appendVarint(std::string& out, size_t v) {
  while (v >= 0x80) {
    out += static_cast<char>(v | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

size_t readVarint(std::string_view in, size_t& i) {
  size_t v = 0;
  int shift = 0;
  while (i < in.size()) {
    const auto b = static_cast<unsigned char>(in[i++]);
    v |= size_t(b & 0x7F) << shift;
    if ((b & 0x80) == 0) break;
    shift += 7;
  }
  return v;
}

}  // namespace

FoldedText foldKeepingDifferences(std::string_view text) {
  FoldedText out;
  out.folded.reserve(text.size());
  size_t patchStart = std::string::npos;  // in folded, of the open patch
  size_t plainStart = 0;                  // in text, of the open patch
  size_t lastEnd = 0;                     // folded offset where the previous patch ended
  auto close = [&](size_t plainEnd) {
    if (patchStart == std::string::npos) return;
    appendVarint(out.differences, patchStart - lastEnd);
    appendVarint(out.differences, out.folded.size() - patchStart);
    appendVarint(out.differences, plainEnd - plainStart);
    out.differences.append(text.substr(plainStart, plainEnd - plainStart));
    lastEnd = out.folded.size();
    patchStart = std::string::npos;
  };
  size_t i = 0;
  std::string one;
  while (i < text.size()) {
    const size_t at = i;
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      const char lower = kAsciiLower[byte];
      ++i;
      if (lower == text[at]) {
        close(at);
      } else if (patchStart == std::string::npos) {
        patchStart = out.folded.size();
        plainStart = at;
      }
      out.folded += lower;
      continue;
    }
    one.clear();
    appendFoldedCodePoint(one, decodeCodePoint(text, i));
    if (one == text.substr(at, i - at)) {
      close(at);
    } else if (patchStart == std::string::npos) {
      patchStart = out.folded.size();
      plainStart = at;
    }
    out.folded += one;
  }
  close(text.size());
  return out;
}

std::string unfold(std::string_view folded, std::string_view differences) {
  std::string out;
  out.reserve(folded.size() + differences.size());
  size_t pos = 0, i = 0;
  while (i < differences.size()) {
    const size_t at = pos + readVarint(differences, i);
    const size_t foldedLength = readVarint(differences, i);
    const size_t plainLength = readVarint(differences, i);
    out.append(folded.substr(pos, at - pos));
    out.append(differences.substr(i, plainLength));
    i += plainLength;
    pos = at + foldedLength;
  }
  if (pos < folded.size()) out.append(folded.substr(pos));
  return out;
}

// ---- substring search

namespace {

// How common a byte is in note text, roughly (lower is rarer): English letter
// frequencies for ASCII, script lead bytes as common, continuation bytes
// (which spread over 64 values) as fairly rare.
constexpr std::array<uint8_t, 256> kByteCommonness = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = 2;
  const char* byFrequency = "etaoinshrdlcumwfgypbvkjxqz";  // most common first
  for (int i = 0; byFrequency[i] != 0; ++i) t[static_cast<unsigned char>(byFrequency[i])] = static_cast<uint8_t>(90 - 3 * i);
  for (int c = '0'; c <= '9'; ++c) t[c] = 15;
  t[' '] = 100;
  t['\n'] = 30;
  t[','] = t['.'] = 20;
  for (int c = 0x80; c <= 0xBF; ++c) t[c] = 10;
  for (int c = 0xC0; c <= 0xDF; ++c) t[c] = 60;
  for (int c = 0xE0; c <= 0xEF; ++c) t[c] = 50;
  for (int c = 0xF0; c <= 0xFF; ++c) t[c] = 20;
  return t;
}();

#ifdef CORVANE_SEARCH_X86
__attribute__((target("avx2"))) size_t findAvx2(std::string_view hay, std::string_view needle, size_t p1,
                                                size_t p2) {
  const size_t n = hay.size(), k = needle.size();
  const char* s = hay.data();
  const __m256i a = _mm256_set1_epi8(needle[p1]);
  const __m256i b = _mm256_set1_epi8(needle[p2]);
  size_t i = 0;
  for (; i + k + 31 <= n; i += 32) {
    const __m256i ba = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + p1));
    const __m256i bb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + p2));
    uint32_t mask = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(ba, a), _mm256_cmpeq_epi8(bb, b))));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      if (std::memcmp(s + i + bit, needle.data(), k) == 0) return i + bit;
      mask &= mask - 1;
    }
  }
  size_t rest = hay.substr(i).find(needle);
  return rest == std::string_view::npos ? rest : i + rest;
}

size_t findSse2(std::string_view hay, std::string_view needle, size_t p1, size_t p2) {
  const size_t n = hay.size(), k = needle.size();
  const char* s = hay.data();
  const __m128i a = _mm_set1_epi8(needle[p1]);
  const __m128i b = _mm_set1_epi8(needle[p2]);
  size_t i = 0;
  for (; i + k + 15 <= n; i += 16) {
    const __m128i ba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + p1));
    const __m128i bb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + p2));
    uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(ba, a), _mm_cmpeq_epi8(bb, b))));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      if (std::memcmp(s + i + bit, needle.data(), k) == 0) return i + bit;
      mask &= mask - 1;
    }
  }
  size_t rest = hay.substr(i).find(needle);
  return rest == std::string_view::npos ? rest : i + rest;
}

using FindFn = size_t (*)(std::string_view, std::string_view, size_t, size_t);
FindFn chooseFind() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &findAvx2 : &findSse2;
}
const FindFn kFind = chooseFind();
#endif

}  // namespace

BytePairSet::BytePairSet(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    const uint16_t bit = bitOf(p[i], p[i + 1]);
    words_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
}

TextFinder::TextFinder(std::string_view needle) : needle_(needle) {
  if (needle.size() < 2) return;
  for (size_t i = 0; i + 1 < needle.size(); ++i) {
    const uint16_t bit = BytePairSet::bitOf(static_cast<unsigned char>(needle[i]), static_cast<unsigned char>(needle[i + 1]));
    if (std::find(pairBits_.begin(), pairBits_.end(), bit) == pairBits_.end()) pairBits_.push_back(bit);
  }
  // The rarest byte, then the rarest other position (farthest away on ties,
  // so the two tests are less alike).
  for (size_t i = 1; i < needle.size(); ++i)
    if (kByteCommonness[static_cast<unsigned char>(needle[i])] <
        kByteCommonness[static_cast<unsigned char>(needle[first_])])
      first_ = i;
  second_ = first_ == 0 ? 1 : 0;
  auto distance = [&](size_t p) { return p > first_ ? p - first_ : first_ - p; };
  for (size_t i = 0; i < needle.size(); ++i) {
    if (i == first_) continue;
    const uint8_t ci = kByteCommonness[static_cast<unsigned char>(needle[i])];
    const uint8_t cs = kByteCommonness[static_cast<unsigned char>(needle[second_])];
    if (ci < cs || (ci == cs && distance(i) > distance(second_))) second_ = i;
  }
}

size_t TextFinder::find(std::string_view haystack) const {
  constexpr size_t npos = std::string_view::npos;
  const size_t k = needle_.size();
  if (k == 0) return 0;
  if (k > haystack.size()) return npos;
  if (k == 1) {
    const void* at = std::memchr(haystack.data(), needle_[0], haystack.size());
    return at == nullptr ? npos : static_cast<size_t>(static_cast<const char*>(at) - haystack.data());
  }
#ifdef CORVANE_SEARCH_X86
  if (haystack.size() >= 64) return kFind(haystack, needle_, first_, second_);
#endif
  return haystack.find(needle_);
}

bool containsText(std::string_view haystack, std::string_view needle) { return TextFinder(needle).in(haystack); }

// ---- tokens, words, ranking

std::vector<std::string_view> queryTokens(std::string_view foldedQuery) {
  std::vector<std::string_view> tokens;
  size_t start = 0;
  while (start <= foldedQuery.size()) {
    size_t end = foldedQuery.find(' ', start);
    if (end == std::string_view::npos) end = foldedQuery.size();
    if (end > start) tokens.push_back(foldedQuery.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

namespace {
bool isLetterOrNumber(char32_t cp) {
  if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
  const int32_t mask = U_GET_GC_MASK(static_cast<UChar32>(cp));
  return (mask & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}
}  // namespace



namespace {

struct PreparedToken {
  explicit PreparedToken(std::string_view t) : finder(t), wordish(true), mapsToPreview(!t.empty()) {
    size_t last = 0;
    for (size_t j = 0; j < t.size();) {
      last = j;
      const char32_t cp = decodeCodePoint(t, j);
      if (!isLetterOrNumber(cp)) wordish = false;
      // Characters the card preview turns into others or drops.
      if (cp < 0x20 || cp == 0x2028 || cp == 0xFFFC || cp == 0xFFFD) mapsToPreview = false;
      if (last == 0 && isUnicodeWhitespace(cp)) mapsToPreview = false;
    }
    if (!t.empty()) {
      size_t j = last;
      if (isUnicodeWhitespace(decodeCodePoint(t, j))) mapsToPreview = false;
    }
  }
  TextFinder finder;
  bool wordish;  // only letters and numbers: a word can start with it
  // An occurrence in the body past the preview's start is one in the preview
  // (nothing in it is changed, trimmed or joined by the preview rule).
  bool mapsToPreview;
};

bool hasWordStartingWithPrepared(std::string_view foldedName, const PreparedToken& token) {
  const std::string_view t = token.finder.needle();
  if (!token.wordish || t.empty()) return false;
  size_t i = 0;
  bool inWord = false;
  while (i < foldedName.size()) {
    const size_t at = i;
    const auto byte = static_cast<unsigned char>(foldedName[i]);
    bool letter;
    if (byte < 0x80) {
      letter = (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z');
      ++i;
    } else {
      letter = isLetterOrNumber(decodeCodePoint(foldedName, i));
    }
    if (letter && !inWord && foldedName.substr(at, t.size()) == t) return true;
    inWord = letter;
  }
  return false;
}

// The name part of the score: exact, prefix, or per token word start / contains.
int64_t nameScore(std::string_view foldedName, std::string_view foldedQuery, const std::vector<PreparedToken>& tokens) {
  if (foldedName == foldedQuery) return 1000;
  if (foldedName.substr(0, foldedQuery.size()) == foldedQuery) return 500;
  int64_t score = 0;
  for (const auto& token : tokens) {
    if (hasWordStartingWithPrepared(foldedName, token)) score += 300;
    else if (token.finder.in(foldedName)) score += 100;
  }
  return score;
}

int64_t scorePrepared(std::string_view foldedName, std::string_view foldedQuery,
                      const std::vector<PreparedToken>& tokens, std::string_view foldedPreview) {
  int64_t score = nameScore(foldedName, foldedQuery, tokens);
  for (const auto& token : tokens)
    if (token.finder.in(foldedPreview)) score += 10;
  return score;
}

std::vector<PreparedToken> prepare(const std::vector<std::string_view>& tokens) {
  std::vector<PreparedToken> out;
  out.reserve(tokens.size());
  for (auto t : tokens) out.emplace_back(t);
  return out;
}

}  // namespace

bool hasWordStartingWith(std::string_view foldedName, std::string_view token) {
  // Words hold only letters and numbers, so no word starts with anything else.
  return hasWordStartingWithPrepared(foldedName, PreparedToken(token));
}

int64_t searchScore(std::string_view foldedName, std::string_view foldedQuery,
                    const std::vector<std::string_view>& tokens, std::string_view foldedPreview) {
  return scorePrepared(foldedName, foldedQuery, prepare(tokens), foldedPreview);
}

// ---- index entries

const std::string& CachedNote::foldedPreview() const {
  once_.run([this] { foldedPreview_ = fold(note_.preview); });
  return foldedPreview_;
}

CachedList::CachedList(std::vector<CachedNotePtr> notes) : notes_(std::move(notes)) {
  byId_.reserve(notes_.size());
  for (size_t i = 0; i < notes_.size(); ++i) byId_.emplace(notes_[i]->note().id, i);  // first wins
}

const CachedNote* CachedList::find(std::string_view id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : notes_[it->second].get();
}

std::optional<size_t> CachedList::indexOf(std::string_view id) const {
  auto it = byId_.find(id);
  if (it == byId_.end()) return std::nullopt;
  return it->second;
}

std::vector<Note> CachedList::toNotes() const {
  std::vector<Note> out;
  out.reserve(notes_.size());
  for (const auto& n : notes_) out.push_back(n->note());
  return out;
}

CachedListPtr makeCachedList(const std::vector<Note>& notes) {
  std::vector<CachedNotePtr> entries;
  entries.reserve(notes.size());
  for (const auto& n : notes) entries.push_back(std::make_shared<const CachedNote>(n));
  return std::make_shared<const CachedList>(std::move(entries));
}

IndexedName::IndexedName(Note s, std::string folded, std::string preview)
    : stub(std::move(s)), foldedName(std::move(folded)), listedPreview(std::move(preview)) {}

const std::string& IndexedName::foldedPreview() const {
  once_.run([this] { foldedPreview_ = fold(listedPreview); });
  return foldedPreview_;
}

IndexedNamePtr makeIndexedName(const Note& listed) {
  Note stub;
  stub.id = listed.id;
  stub.name = listed.name;
  stub.age = listed.age;
  return std::make_shared<const IndexedName>(std::move(stub), fold(listed.name), listed.preview);
}

IndexedBody::IndexedBody(std::string_view t, int64_t a, std::string n) : age(a), name(std::move(n)) {
  FoldedText f = foldKeepingDifferences(t);
  folded = std::move(f.folded);
  differences_ = std::move(f.differences);
  folded.shrink_to_fit();
  differences_.shrink_to_fit();
}

std::string IndexedBody::text() const { return unfold(folded, differences_); }

void IndexedBody::derive() const {
  once_.run([this] {
    const std::string text = this->text();
    preview_ = previewText(text, name);
    foldedPreview_ = fold(preview_);
    // A title that is not empty lets the preview drop the first line; with
    // no title nothing is dropped, so the two differ exactly when it was.
    const size_t firstBreak = folded.find('\n');
    const bool dropped = firstBreak != std::string::npos && preview_ != previewText(text, std::string_view());
    previewStart_ = dropped ? firstBreak + 1 : 0;
    previewMapsToBody_ = text.find("\xEF\xBF\xBC") == std::string::npos &&
                         text.find("\xEF\xBF\xBD") == std::string::npos &&
                         codePointCount(preview_) < kPreviewTextLimit;
  });
}

size_t IndexedBody::previewStart() const {
  derive();
  return previewStart_;
}

bool IndexedBody::previewMapsToBody() const {
  derive();
  return previewMapsToBody_;
}

const std::string& IndexedBody::preview() const {
  derive();
  return preview_;
}

const std::string& IndexedBody::foldedPreview() const {
  derive();
  return foldedPreview_;
}

IndexedBodyPtr makeIndexedBody(std::string_view text, int64_t age, std::string name, size_t cap) {
  return std::make_shared<const IndexedBody>(prefixCodePoints(text, cap), age, std::move(name));
}

// ---- trigram index

namespace {

size_t varintLength(uint32_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Calls f(bucket) once per distinct trigram bucket of `text` for body `slot`;
// `last` remembers per bucket the last slot seen, so repeats within a body
// are skipped without sorting.
template <class F>
void forEachNewBucket(std::string_view text, uint32_t slot, std::vector<uint32_t>& last, F&& f) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    const uint32_t b = TrigramIndex::bucketOf(p[i], p[i + 1], p[i + 2]);
    if (last[b] == slot) continue;
    f(b, last[b]);
    last[b] = slot;
  }
}

constexpr uint32_t kNoSlot = UINT32_MAX;

}  // namespace

TrigramIndex::TrigramIndex(std::vector<IndexedBodyPtr> bodies) : bodies_(std::move(bodies)) {
  slots_.reserve(bodies_.size());
  for (uint32_t s = 0; s < bodies_.size(); ++s) slots_.emplace(bodies_[s].get(), s);
  // Two passes over the texts: the first sizes every list exactly, the second
  // writes it; a slot is stored as its gap from the previous one in the list.
  std::vector<uint32_t> last(kBuckets, kNoSlot);
  offsets_.assign(kBuckets + 1, 0);
  for (uint32_t s = 0; s < bodies_.size(); ++s)
    forEachNewBucket(bodies_[s]->folded, s, last, [&](uint32_t b, uint32_t prev) {
      offsets_[b + 1] += static_cast<uint32_t>(varintLength(prev == kNoSlot ? s : s - prev));
    });
  for (uint32_t b = 0; b < kBuckets; ++b) offsets_[b + 1] += offsets_[b];
  data_.resize(offsets_[kBuckets]);
  std::vector<uint32_t> cursor(offsets_.begin(), offsets_.end() - 1);
  std::fill(last.begin(), last.end(), kNoSlot);
  for (uint32_t s = 0; s < bodies_.size(); ++s)
    forEachNewBucket(bodies_[s]->folded, s, last, [&](uint32_t b, uint32_t prev) {
      uint32_t v = prev == kNoSlot ? s : s - prev;
      while (v >= 0x80) {
        data_[cursor[b]++] = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
      }
      data_[cursor[b]++] = static_cast<uint8_t>(v);
    });
}

std::optional<uint32_t> TrigramIndex::slotOf(const IndexedBody* body) const {
  auto it = slots_.find(body);
  if (it == slots_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::vector<uint64_t>> TrigramIndex::candidates(std::string_view needle) const {
  if (needle.size() < 3) return std::nullopt;
  std::vector<uint32_t> buckets;
  const auto* p = reinterpret_cast<const unsigned char*>(needle.data());
  for (size_t i = 0; i + 2 < needle.size(); ++i) buckets.push_back(bucketOf(p[i], p[i + 1], p[i + 2]));
  std::sort(buckets.begin(), buckets.end());
  buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());
  // The shortest lists rule out the most; a handful of them is plenty.
  auto length = [&](uint32_t b) { return offsets_[b + 1] - offsets_[b]; };
  std::sort(buckets.begin(), buckets.end(), [&](uint32_t a, uint32_t b) { return length(a) < length(b); });
  if (buckets.size() > 6) buckets.resize(6);

  const size_t words = (bodies_.size() + 63) / 64;
  std::vector<uint64_t> result;
  std::vector<uint64_t> one(words);
  for (size_t k = 0; k < buckets.size(); ++k) {
    std::fill(one.begin(), one.end(), 0);
    const uint8_t* at = data_.data() + offsets_[buckets[k]];
    const uint8_t* end = data_.data() + offsets_[buckets[k] + 1];
    uint32_t slot = 0;
    bool first = true;
    while (at < end) {
      uint32_t v = 0;
      int shift = 0;
      while (*at & 0x80) {
        v |= uint32_t(*at++ & 0x7F) << shift;
        shift += 7;
      }
      v |= uint32_t(*at++) << shift;
      slot = first ? v : slot + v;
      first = false;
      one[slot >> 6] |= uint64_t{1} << (slot & 63);
    }
    if (k == 0) {
      result = one;
    } else {
      for (size_t w = 0; w < words; ++w) result[w] &= one[w];
    }
  }
  return result;
}

// ---- search

std::vector<Note> searchNotes(const SearchSnapshot& snapshot, std::string_view query, size_t limit) {
  const std::string foldedQuery = fold(query);
  const std::vector<std::string_view> tokenTexts = queryTokens(foldedQuery);
  if (tokenTexts.empty() || limit == 0) return {};
  const std::vector<PreparedToken> tokens = prepare(tokenTexts);

  static const NameList kNoNames;
  static const BodyMap kNoBodies;
  const NameList& names = snapshot.names ? *snapshot.names : kNoNames;
  const BodyMap& bodies = snapshot.bodies ? *snapshot.bodies : kNoBodies;
  const CachedList* cached = snapshot.cached.get();
  const TrigramIndex* grams = snapshot.grams.get();
  // Per token, the covered bodies that may hold it (none for a token too
  // short to have a trigram: those bodies are scanned).
  std::vector<std::optional<std::vector<uint64_t>>> maybeIn(tokens.size());
  if (grams != nullptr)
    for (size_t t = 0; t < tokens.size(); ++t) maybeIn[t] = grams->candidates(tokens[t].finder.needle());

  struct Hit {
    const Note* note;            // the cached note, or the name stub
    const IndexedName* indexed;  // null when searching the cached list
    const CachedNote* card;
    const IndexedBody* body;
    uint32_t ownedName;  // index into ownedNames when searching the cached list
    int64_t score;
  };
  constexpr size_t npos = std::string_view::npos;
  std::vector<Hit> hits;
  hits.reserve(std::max(names.size(), cached != nullptr ? cached->size() : 0));
  std::vector<std::string> ownedNames;
  // Per hit and token: where the body text matched, npos when it was not
  // looked for there.
  std::vector<size_t> bodyMatch;
  std::vector<size_t> matchAt(tokens.size());

  auto consider = [&](const Note& stub, const IndexedName* indexed, std::string_view nameText, uint32_t owned) {
    const IndexedBody* body = nullptr;
    const CachedNote* card = nullptr;
    bool lookedUp = false;
    auto lookUp = [&] {
      if (lookedUp) return;
      lookedUp = true;
      auto it = bodies.find(stub.id);
      if (it != bodies.end()) body = it->second.get();
      if (cached != nullptr) card = cached->find(stub.id);
    };
    // Tokens not in the (short) name must be in the body text; the trigram
    // test of every such token comes before any scan, so one rare word rules a
    // note out without reading it.
    bool anyInBody = false;
    std::optional<uint32_t> slot;
    bool slotKnown = false;
    for (size_t t = 0; t < tokens.size(); ++t) {
      const bool inName = tokens[t].finder.in(nameText);
      matchAt[t] = inName ? npos : 0;
      if (inName) continue;
      anyInBody = true;
      lookUp();
      if (body == nullptr || grams == nullptr || !maybeIn[t]) continue;
      if (!slotKnown) {
        slot = grams->slotOf(body);
        slotKnown = true;
      }
      if (slot && ((*maybeIn[t])[*slot >> 6] >> (*slot & 63) & 1) == 0) return;
    }
    if (anyInBody) {
      std::string_view bodyText;
      if (body != nullptr) bodyText = body->folded;
      else if (card != nullptr && !card->note().preview.empty()) bodyText = card->foldedPreview();
      else if (indexed != nullptr) bodyText = indexed->foldedPreview();
      for (size_t t = 0; t < tokens.size(); ++t) {
        if (matchAt[t] == npos) continue;
        matchAt[t] = tokens[t].finder.find(bodyText);
        if (matchAt[t] == npos) return;
        if (body == nullptr) matchAt[t] = npos;  // matched in a preview, not the body text
      }
    }
    lookUp();
    hits.push_back(Hit{card != nullptr ? &card->note() : &stub, indexed, card, body, owned, 0});
    bodyMatch.insert(bodyMatch.end(), matchAt.begin(), matchAt.end());
  };

  if (!names.empty()) {
    for (const auto& entry : names) consider(entry->stub, entry.get(), entry->foldedName, UINT32_MAX);
  } else if (cached != nullptr) {
    // Before the first name refresh the cached list is all we know.
    ownedNames.reserve(cached->size());
    for (const auto& card : cached->notes()) {
      ownedNames.push_back(fold(card->note().name));
      consider(card->note(), nullptr, ownedNames.back(), static_cast<uint32_t>(ownedNames.size() - 1));
    }
  }

  // Ranking: the folded preview is the shown card's preview, or the one
  // derived from the body text when the card has none.
  for (size_t h = 0; h < hits.size(); ++h) {
    Hit& hit = hits[h];
    const std::string_view foldedName =
        hit.indexed != nullptr ? std::string_view(hit.indexed->foldedName) : std::string_view(ownedNames[hit.ownedName]);
    int64_t score = nameScore(foldedName, foldedQuery, tokens);
    std::string_view foldedPreview;
    const IndexedBody* derivedFrom = nullptr;
    if (hit.card != nullptr && !hit.card->note().preview.empty()) {
      foldedPreview = hit.card->foldedPreview();
    } else if (hit.card == nullptr && hit.indexed != nullptr && !hit.indexed->listedPreview.empty()) {
      foldedPreview = hit.indexed->foldedPreview();
    } else if (hit.body != nullptr) {
      foldedPreview = hit.body->foldedPreview();
      if (hit.body->previewMapsToBody()) derivedFrom = hit.body;
    }
    for (size_t t = 0; t < tokens.size(); ++t) {
      const size_t at = bodyMatch[h * tokens.size() + t];
      // Found in the body past the dropped title: it is in the preview too.
      if (derivedFrom != nullptr && tokens[t].mapsToPreview && at != npos && at >= derivedFrom->previewStart()) {
        score += 10;
        continue;
      }
      if (tokens[t].finder.in(foldedPreview)) score += 10;
    }
    hit.score = score;
  }
  std::vector<size_t> order(hits.size());
  std::iota(order.begin(), order.end(), size_t{0});
  const size_t keep = std::min(limit, order.size());
  auto better = [&](size_t a, size_t b) {
    if (hits[a].score != hits[b].score) return hits[a].score > hits[b].score;
    if (hits[a].note->age != hits[b].note->age) return hits[a].note->age < hits[b].note->age;
    return a < b;  // index order otherwise
  };
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(), better);

  std::vector<Note> result;
  result.reserve(keep);
  for (size_t k = 0; k < keep; ++k) {
    const Hit& hit = hits[order[k]];
    Note note = *hit.note;
    if (hit.card == nullptr && hit.indexed != nullptr) note.preview = hit.indexed->listedPreview;
    if (note.preview.empty() && hit.body != nullptr) {
      note.preview = hit.body->name == note.name ? hit.body->preview() : previewText(hit.body->text(), note.name);
    }
    result.push_back(std::move(note));
  }
  return result;
}

// ---- the mutable index

SearchIndex::SearchIndex() : names_(std::make_shared<const NameList>()), bodies_(std::make_shared<const BodyMap>()) {}

const IndexedBody* SearchIndex::body(const std::string& id) const {
  auto it = bodies_->find(id);
  return it == bodies_->end() ? nullptr : it->second.get();
}

const IndexedName* SearchIndex::name(const std::string& id) const {
  for (const auto& e : *names_)
    if (e->stub.id == id) return e.get();
  return nullptr;
}

void SearchIndex::clear() {
  names_ = std::make_shared<const NameList>();
  bodies_ = std::make_shared<const BodyMap>();
  grams_.reset();
  gramsStale_ = 0;
}

void SearchIndex::setGrams(TrigramIndexPtr grams, size_t staleAtStart) {
  grams_ = std::move(grams);
  gramsStale_ -= std::min(gramsStale_, staleAtStart);
}

void SearchIndex::replaceNames(NameList fresh, int64_t recentAge) {
  std::unordered_map<std::string_view, int64_t> freshAges;
  freshAges.reserve(fresh.size());
  for (const auto& e : fresh) freshAges.emplace(e->stub.id, e->stub.age);

  // Notes the system created or changed moments ago may not be listed yet.
  NameList merged;
  merged.reserve(fresh.size() + 4);
  for (const auto& e : *names_) {
    const int64_t age = e->stub.age;
    if (freshAges.count(e->stub.id) == 0 && age >= recentAge && age <= recentAge + 120) merged.push_back(e);
  }
  std::unordered_set<std::string_view> keptRecent;
  for (const auto& e : merged) keptRecent.insert(e->stub.id);
  for (auto& e : fresh) merged.push_back(std::move(e));

  auto bodies = std::make_shared<BodyMap>();
  bodies->reserve(bodies_->size());
  for (const auto& [id, body] : *bodies_) {
    auto it = freshAges.find(id);
    if (it != freshAges.end() ? it->second == body->age : keptRecent.count(id) != 0) bodies->emplace(id, body);
  }
  gramsStale_ += bodies_->size() - bodies->size();
  names_ = std::make_shared<const NameList>(std::move(merged));
  bodies_ = std::move(bodies);
}

void SearchIndex::putNameFront(IndexedNamePtr entry) {
  auto next = std::make_shared<NameList>();
  next->reserve(names_->size() + 1);
  next->push_back(entry);
  for (const auto& e : *names_)
    if (e->stub.id != entry->stub.id) next->push_back(e);
  names_ = std::move(next);
}

void SearchIndex::addNames(const NameList& entries) {
  std::unordered_set<std::string_view> known;
  for (const auto& e : *names_) known.insert(e->stub.id);
  auto next = std::make_shared<NameList>(*names_);
  bool changed = false;
  for (const auto& e : entries) {
    if (!known.insert(e->stub.id).second) continue;
    next->push_back(e);
    changed = true;
  }
  if (changed) names_ = std::move(next);
}

void SearchIndex::upsertNames(const NameList& entries) {
  if (entries.empty()) return;
  std::unordered_map<std::string_view, const IndexedNamePtr*> byId;
  for (const auto& e : entries) byId.emplace(e->stub.id, &e);
  auto next = std::make_shared<NameList>();
  next->reserve(names_->size() + entries.size());
  std::unordered_set<std::string_view> placed;
  for (const auto& e : *names_) {
    auto it = byId.find(e->stub.id);
    if (it == byId.end()) {
      next->push_back(e);
    } else if (placed.insert(e->stub.id).second) {
      next->push_back(*it->second);
    }
  }
  for (const auto& e : entries)
    if (placed.insert(e->stub.id).second) next->push_back(e);
  names_ = std::move(next);
}

void SearchIndex::rename(const std::string& id, const std::string& name) {
  auto next = std::make_shared<NameList>(*names_);
  bool changed = false;
  for (auto& e : *next) {
    if (e->stub.id != id) continue;
    Note stub = e->stub;
    stub.name = name;
    e = std::make_shared<const IndexedName>(std::move(stub), fold(name), e->listedPreview);
    changed = true;
  }
  if (changed) names_ = std::move(next);
}

void SearchIndex::remove(const std::string& id) {
  if (name(id) != nullptr) {
    auto next = std::make_shared<NameList>();
    next->reserve(names_->size());
    for (const auto& e : *names_)
      if (e->stub.id != id) next->push_back(e);
    names_ = std::move(next);
  }
  if (bodies_->count(id) != 0) {
    auto next = std::make_shared<BodyMap>(*bodies_);
    next->erase(id);
    bodies_ = std::move(next);
    ++gramsStale_;
  }
}

void SearchIndex::putBodies(const std::vector<std::pair<std::string, IndexedBodyPtr>>& entries) {
  if (entries.empty()) return;
  auto next = std::make_shared<BodyMap>(*bodies_);
  for (const auto& [id, body] : entries) (*next)[id] = body;
  bodies_ = std::move(next);
  gramsStale_ += entries.size();
}

}  // namespace corvane::notes
