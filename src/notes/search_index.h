#pragma once
// The search side of the note cache: folding, the name and body-text indexes as
// immutable, shareable pieces, and the search over one consistent snapshot.
//
// Every piece of the index is copy-on-write: a change builds a new container and
// swaps the pointer under the cache's lock, so a search takes three pointers
// under the lock and then scans without it. A search running while a refresh
// commits therefore sees either the old index or the new one, never a mix.
// Folding happens once, when text enters the index; a query only folds itself.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "notes/note.h"

namespace corvane::notes {

// Case- and diacritic-insensitive form of a text, without locale rules:
// canonical decomposition, full case folding, then every non-spacing mark (Mn)
// dropped. Spacing marks (Mc, e.g. Indic vowel signs) stay. ASCII is lowered
// directly; invalid UTF-8 folds to U+FFFD.
std::string fold(std::string_view text);

// fold(text), with what it changed kept aside (compactly: most text folds
// to itself), so unfold(folded, differences) gives `text` back exactly.
struct FoldedText {
  std::string folded;
  std::string differences;
};
FoldedText foldKeepingDifferences(std::string_view text);
std::string unfold(std::string_view folded, std::string_view differences);

// A substring search prepared once per needle: candidate positions are
// filtered, 32 at a time, on the two needle bytes least likely to occur in
// text (rare letters, UTF-8 continuation bytes rather than script lead bytes),
// so Cyrillic or CJK needles scan as fast as Latin ones.
class TextFinder {
 public:
  explicit TextFinder(std::string_view needle);
  bool in(std::string_view haystack) const { return find(haystack) != std::string_view::npos; }
  // Position of the first occurrence, or npos.
  size_t find(std::string_view haystack) const;
  std::string_view needle() const { return needle_; }
  // The needle's byte pairs as bit numbers of a BytePairSet.
  const std::vector<uint16_t>& pairBits() const { return pairBits_; }

 private:
  std::string_view needle_;
  size_t first_ = 0, second_ = 0;  // anchor positions in the needle
  std::vector<uint16_t> pairBits_;
};

// Which adjacent byte pairs occur in a text, hashed into 8192 bits: a needle
// with a pair the set lacks cannot occur in the text, so most texts are ruled
// out for a rare word without being scanned.
class BytePairSet {
 public:
  static constexpr size_t kBits = 8192;
  BytePairSet() = default;
  explicit BytePairSet(std::string_view text);
  static uint16_t bitOf(unsigned char a, unsigned char b) {
    return static_cast<uint16_t>(((uint32_t(a) << 8 | b) * 2654435761u) >> 19);
  }
  // False only when the needle certainly does not occur.
  bool mayContain(const TextFinder& finder) const {
    for (uint16_t bit : finder.pairBits())
      if ((words_[bit >> 6] >> (bit & 63) & 1) == 0) return false;
    return true;
  }

 private:
  std::array<uint64_t, kBits / 64> words_{};
};

// Whether `needle` occurs in `haystack` (bytes).
bool containsText(std::string_view haystack, std::string_view needle);

// The pieces of a folded query between single spaces, empty pieces dropped.
std::vector<std::string_view> queryTokens(std::string_view foldedQuery);

// Whether some word of a folded name starts with `token`; words are the runs
// between code points that are neither letters nor numbers.
bool hasWordStartingWith(std::string_view foldedName, std::string_view token);

// Relevance of a note whose folded name is `foldedName` and folded preview
// `foldedPreview`: 1000 when the name equals the query, 500 when it starts with
// it, otherwise per token 300 (a word starts with it) or 100 (the name contains
// it); plus 10 per token found in the preview.
int64_t searchScore(std::string_view foldedName, std::string_view foldedQuery,
                    const std::vector<std::string_view>& tokens, std::string_view foldedPreview);

// std::call_once with a lock-free check first: the derived texts below are
// read for every hit of every search once they exist.
class OnceFlag {
 public:
  template <class F>
  void run(F&& f) const {
    if (done_.load(std::memory_order_acquire)) return;
    std::call_once(once_, [&] {
      f();
      done_.store(true, std::memory_order_release);
    });
  }

 private:
  mutable std::once_flag once_;
  mutable std::atomic<bool> done_{false};
};

// One note of the cached list. The folded preview is computed on first use
// (thread-safe), so building lists on the command path folds nothing.
class CachedNote {
 public:
  explicit CachedNote(Note note) : note_(std::move(note)) {}
  CachedNote(const CachedNote&) = delete;
  CachedNote& operator=(const CachedNote&) = delete;
  const Note& note() const { return note_; }
  const std::string& foldedPreview() const;

 private:
  Note note_;
  OnceFlag once_;
  mutable std::string foldedPreview_;
};
using CachedNotePtr = std::shared_ptr<const CachedNote>;

// The cached list, most recent first as merged, with a lookup by id.
class CachedList {
 public:
  CachedList() = default;
  explicit CachedList(std::vector<CachedNotePtr> notes);
  const std::vector<CachedNotePtr>& notes() const { return notes_; }
  const CachedNote* find(std::string_view id) const;
  // Position of the first note with this id.
  std::optional<size_t> indexOf(std::string_view id) const;
  bool idsUnique() const { return byId_.size() == notes_.size(); }
  std::vector<Note> toNotes() const;
  size_t size() const { return notes_.size(); }

 private:
  std::vector<CachedNotePtr> notes_;
  std::unordered_map<std::string_view, size_t> byId_;
};
using CachedListPtr = std::shared_ptr<const CachedList>;
CachedListPtr makeCachedList(const std::vector<Note>& notes);

// One note of the name index: the stub (id, name, age) with its folded name,
// and the preview the store listed, if any (the folder store lists one).
struct IndexedName {
  IndexedName(Note stub, std::string foldedName, std::string listedPreview);
  Note stub;  // id, name, age; other fields at defaults
  std::string foldedName;
  std::string listedPreview;
  const std::string& foldedPreview() const;

 private:
  OnceFlag once_;
  mutable std::string foldedPreview_;
};
using IndexedNamePtr = std::shared_ptr<const IndexedName>;
IndexedNamePtr makeIndexedName(const Note& listed);

// The body text of one note: its plain text (capped for a slow store), the
// age the note had when the text was read, and the folded text. Only the
// folded text is held whole; the plain text is rebuilt from it on demand.
struct IndexedBody {
  IndexedBody(std::string_view text, int64_t age, std::string name);
  std::string text() const;
  int64_t age;
  std::string folded;
  std::string name;  // the title the card preview below is derived with
  // previewText(text, name) and its folded form, computed on first use.
  const std::string& preview() const;
  const std::string& foldedPreview() const;
  // Where the folded preview's text starts in `folded` (past a title line the
  // preview drops), and whether the folded preview is exactly `folded` from
  // there with line ends as U+2028 (false when the text holds characters the
  // preview removes). Lets a search skip rescanning the preview for a word it
  // already found in the body past that point.
  size_t previewStart() const;
  bool previewMapsToBody() const;

 private:
  void derive() const;
  std::string differences_;  // what folding changed, for text()
  OnceFlag once_;
  mutable std::string preview_, foldedPreview_;
  mutable size_t previewStart_ = 0;
  mutable bool previewMapsToBody_ = false;
};
using IndexedBodyPtr = std::shared_ptr<const IndexedBody>;
// Keeps the first `cap` code points of `text` and folds them (no lock needed).
IndexedBodyPtr makeIndexedBody(std::string_view text, int64_t age, std::string name, size_t cap);

using NameList = std::vector<IndexedNamePtr>;
using BodyMap = std::unordered_map<std::string, IndexedBodyPtr>;

// Which byte trigrams occur in the folded texts of a fixed set of bodies:
// per hashed trigram, the sorted slots of the bodies holding it, stored as
// varint gaps. Immutable once built; the bodies it covers are held, so a slot
// stays valid. A body stored after the build (an edit, a new note) is not
// covered and is scanned instead, until the next build takes it in.
class TrigramIndex {
 public:
  static constexpr uint32_t kBuckets = uint32_t{1} << 18;
  // Builds over these bodies (slow for a whole vault: call it off the lock).
  explicit TrigramIndex(std::vector<IndexedBodyPtr> bodies);
  size_t size() const { return bodies_.size(); }
  // The slot of this body, when the index covers exactly this body object.
  std::optional<uint32_t> slotOf(const IndexedBody* body) const;
  // A bit per slot, set where the body may contain `needle` (every trigram of
  // it is present); nullopt when the needle is shorter than a trigram and
  // rules nothing out.
  std::optional<std::vector<uint64_t>> candidates(std::string_view needle) const;
  // Bytes held by the postings (for measurements).
  size_t postingBytes() const { return data_.size() + offsets_.size() * sizeof(uint32_t); }

  static uint32_t bucketOf(unsigned char a, unsigned char b, unsigned char c) {
    return ((uint32_t(a) << 16 | uint32_t(b) << 8 | c) * 2654435761u) >> 14;
  }

 private:
  std::vector<IndexedBodyPtr> bodies_;
  std::unordered_map<const IndexedBody*, uint32_t> slots_;
  std::vector<uint32_t> offsets_;  // kBuckets + 1 offsets into data_
  std::vector<uint8_t> data_;
};
using TrigramIndexPtr = std::shared_ptr<const TrigramIndex>;

// The pieces a search reads, taken together under the cache's lock.
struct SearchSnapshot {
  std::shared_ptr<const NameList> names;
  std::shared_ptr<const BodyMap> bodies;
  CachedListPtr cached;
  TrigramIndexPtr grams;  // may be null or cover only some bodies
};

// Name and body search over one snapshot: every query token must occur in the
// folded name or the folded body text; ranked by searchScore, then by age;
// at most `limit` notes. Notes of the cached list are returned as cached (with
// their previews). While the name index is empty the cached list is searched.
std::vector<Note> searchNotes(const SearchSnapshot& snapshot, std::string_view query, size_t limit = 40);

// The name and body-text indexes. Not locked itself: the note cache calls it
// under its one lock. Every mutation is O(entries) pointer copies at most.
class SearchIndex {
 public:
  SearchIndex();

  std::shared_ptr<const NameList> names() const { return names_; }
  std::shared_ptr<const BodyMap> bodies() const { return bodies_; }
  TrigramIndexPtr grams() const { return grams_; }
  // Body texts stored or dropped since the trigram index was last built.
  size_t gramsStale() const { return gramsStale_; }
  // Installs a trigram index built over the bodies as they were `staleAtStart`
  // changes ago.
  void setGrams(TrigramIndexPtr grams, size_t staleAtStart);
  bool namesEmpty() const { return names_->empty(); }
  size_t bodyCount() const { return bodies_->size(); }
  const IndexedBody* body(const std::string& id) const;
  const IndexedName* name(const std::string& id) const;

  // Empties every index field.
  void clear();
  // Replaces the name index (the store's full listing). Body texts of notes
  // that are gone or whose age changed are dropped. Entries of notes the
  // system created or changed recently (age within [recentAge, recentAge+120])
  // that the listing does not show yet are kept at the front.
  void replaceNames(NameList fresh, int64_t recentAge);
  // Puts a stub at the front, replacing any entry with the same id.
  void putNameFront(IndexedNamePtr entry);
  // Adds entries whose id is not yet indexed, at the end.
  void addNames(const NameList& entries);
  // Replaces entries with the same id in place; adds the others at the end.
  void upsertNames(const NameList& entries);
  // Sets the name of an indexed note; does nothing for an unknown id.
  void rename(const std::string& id, const std::string& name);
  // Forgets a note entirely (name and body text).
  void remove(const std::string& id);
  // Stores body texts (replacing existing ones).
  void putBodies(const std::vector<std::pair<std::string, IndexedBodyPtr>>& entries);

 private:
  std::shared_ptr<const NameList> names_;
  std::shared_ptr<const BodyMap> bodies_;
  TrigramIndexPtr grams_;
  size_t gramsStale_ = 0;
};

}  // namespace corvane::notes
