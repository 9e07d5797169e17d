#include "core/json.h"

#include <simdjson.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/text.h"

namespace corvane {

namespace {

// ---- Building ordered objects in linear time
//
// ordered_json's own insertion searches the member list, which makes a parse
// of an object with n members O(n^2). The builders below append to the
// underlying vector and detect repeated names with a hash index once an
// object has more than a handful of members.

using ObjectVector = std::vector<std::pair<const std::string, Json>>;

class ObjectAppender {
 public:
  explicit ObjectAppender(Json& object) : object_(object) {}

  // The slot for `key`: a new member at the end, or the existing member of
  // that name (whose value the caller overwrites: last value wins).
  Json& slot(std::string_view key) {
    auto& members = static_cast<ObjectVector&>(object_.get_ref<Json::object_t&>());
    if (index_) {
      auto it = index_->find(std::string(key));
      if (it != index_->end()) return members[it->second].second;
    } else {
      for (auto& m : members)
        if (m.first == key) return m.second;
    }
    members.emplace_back(std::string(key), Json());
    if (!index_ && members.size() > kLinearLimit) {
      index_ = std::make_unique<std::unordered_map<std::string, size_t>>();
      for (size_t i = 0; i < members.size(); ++i) index_->emplace(members[i].first, i);
    } else if (index_) {
      index_->emplace(members.back().first, members.size() - 1);
    }
    return members.back().second;
  }

 private:
  static constexpr size_t kLinearLimit = 16;
  Json& object_;
  std::unique_ptr<std::unordered_map<std::string, size_t>> index_;
};

// ---- Fast path: simdjson DOM, converted to Json

Json numberFromSigned(int64_t v) {
  // nlohmann stores non-negative integers as unsigned; keep the same types.
  if (v >= 0) return Json(static_cast<uint64_t>(v));
  return Json(v);
}

void convert(simdjson::dom::element element, Json& out) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::OBJECT: {
      out = Json::object();
      ObjectAppender appender(out);
      for (auto field : simdjson::dom::object(element)) convert(field.value, appender.slot(field.key));
      break;
    }
    case element_type::ARRAY: {
      out = Json::array();
      auto& items = out.get_ref<Json::array_t&>();
      simdjson::dom::array array(element);
      items.reserve(array.size() < 0xFFFFFF ? array.size() : 0);
      for (auto item : array) convert(item, items.emplace_back());
      break;
    }
    case element_type::STRING: {
      std::string_view s = element.get_string().value_unsafe();
      out = std::string(s);
      break;
    }
    case element_type::INT64: out = numberFromSigned(element.get_int64().value_unsafe()); break;
    case element_type::UINT64: out = element.get_uint64().value_unsafe(); break;
    case element_type::DOUBLE: out = element.get_double().value_unsafe(); break;
    case element_type::BOOL: out = element.get_bool().value_unsafe(); break;
    case element_type::NULL_VALUE: out = nullptr; break;
  }
}

// Parsers keep their buffers between parses; a thread keeps one for small
// documents, large ones get a parser of their own so the memory goes with them.
constexpr size_t kReusedParserCapacity = 1 << 20;

simdjson::error_code parseFast(std::string_view text, Json& out) {
  thread_local simdjson::dom::parser reused;
  std::unique_ptr<simdjson::dom::parser> own;
  simdjson::dom::parser* parser = &reused;
  if (text.size() > kReusedParserCapacity) {
    own = std::make_unique<simdjson::dom::parser>();
    parser = own.get();
  }
  simdjson::dom::element root;
  auto error = parser->parse(text.data(), text.size(), true).get(root);
  if (error) return error;
  convert(root, out);
  return simdjson::SUCCESS;
}

// ---- Slow path: nlohmann's own reader (numbers outside 64 bits, a byte order
// mark, and the error message naming the position), through a linear builder.

class SaxBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  Json root;
  std::string error;

  bool null() { return value(nullptr); }
  bool boolean(bool v) { return value(v); }
  bool number_integer(number_integer_t v) { return value(v); }
  bool number_unsigned(number_unsigned_t v) { return value(v); }
  bool number_float(number_float_t v, const string_t&) { return value(v); }
  bool string(string_t& v) { return value(std::move(v)); }
  bool binary(binary_t& v) { return value(Json::binary(std::move(v))); }
  bool start_object(std::size_t) { return open(Json::object()); }
  bool key(string_t& k) {
    pendingKey_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error = e.what();
    return false;
  }

 private:
  struct Frame {
    Json* container;
    std::unique_ptr<ObjectAppender> appender;
  };

  Json& place() {
    if (stack_.empty()) return root;
    Frame& top = stack_.back();
    if (top.appender) return top.appender->slot(pendingKey_);
    return top.container->get_ref<Json::array_t&>().emplace_back();
  }
  template <class V>
  bool value(V&& v) {
    place() = Json(std::forward<V>(v));
    return true;
  }
  bool open(Json empty) {
    if (stack_.size() >= kMaxJsonDepth) {
      error = "JSON nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
      return false;
    }
    Json& slot = place();
    slot = std::move(empty);
    Frame frame{&slot, nullptr};
    if (slot.is_object()) frame.appender = std::make_unique<ObjectAppender>(slot);
    stack_.push_back(std::move(frame));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  std::vector<Frame> stack_;
  std::string pendingKey_;
};

Result<Json> parseSlow(std::string_view text) {
  SaxBuilder builder;
  bool okay = false;
  try {
    okay = Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  if (!okay) return fail(builder.error.empty() ? std::string("invalid JSON") : builder.error);
  return std::move(builder.root);
}

}  // namespace

Result<Json> parseJson(std::string_view text) {
  // An empty view may carry a null pointer, which the fast reader copies from.
  if (text.data() == nullptr) text = std::string_view("", 0);
  Json out;
  auto error = parseFast(text, out);
  if (!error) return out;
  if (error == simdjson::DEPTH_ERROR)
    return fail("JSON nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  // The fast reader refuses numbers beyond 64 bits and byte order marks that the
  // general reader accepts; it also decides the failure message.
  return parseSlow(text);
}

std::string dumpCompact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dumpPretty(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string jsonStringLiteral(std::string_view text) {
  try {
    Json array = Json::array({std::string(text)});
    std::string out = array.dump();
    return out.substr(1, out.size() - 2);
  } catch (const std::exception&) {
    return "\"\"";
  }
}

std::string escapeLineSeparators(std::string text) {
  // U+2028 is E2 80 A8, U+2029 is E2 80 A9.
  if (text.find("\xE2\x80") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + 16);
  size_t last = 0;
  for (size_t i = text.find('\xE2'); i != std::string::npos && i + 2 < text.size(); i = text.find('\xE2', i + 1)) {
    if (text[i + 1] == '\x80' && (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out.append(text, last, i - last);
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      last = i + 3;
      i += 2;
    }
  }
  out.append(text, last, std::string::npos);
  return out;
}

namespace {

// Extra bytes a byte takes when nlohmann writes it in a string (ensure_ascii
// off): quotes, backslashes and \b \f \n \r \t take two bytes, other control
// bytes six (\u00XX), everything else one.
const std::array<uint8_t, 256>& extraBytes() {
  static const auto table = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 5;
    t['\b'] = t['\f'] = t['\n'] = t['\r'] = t['\t'] = 1;
    t['"'] = t['\\'] = 1;
    return t;
  }();
  return table;
}

size_t escapedStringSize(const std::string& s) {
  const auto& table = extraBytes();
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t len = s.size();
  size_t extra = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: a mask of the bytes that need escaping, and of
  // the control bytes among them that take the six-byte form.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i high = _mm_set1_epi8(static_cast<char>(0xE0));
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= len; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i control = _mm_cmpeq_epi8(_mm_and_si128(v, high), zero);
    __m128i special = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
    unsigned controlMask = static_cast<unsigned>(_mm_movemask_epi8(control));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special)) | controlMask;
    if (mask == 0) continue;
    extra += static_cast<size_t>(__builtin_popcount(mask));
    if (controlMask) {
      __m128i shortForm = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\b')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\f'))),
                       _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
      unsigned longMask = controlMask & ~static_cast<unsigned>(_mm_movemask_epi8(shortForm));
      extra += 4 * static_cast<size_t>(__builtin_popcount(longMask));
    }
  }
#endif
  for (; i < len; ++i) extra += table[p[i]];
  return len + extra + 2;
}

size_t decimalDigits(uint64_t v) {
  size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

}  // namespace

size_t compactJsonSize(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return 4;
    case Json::value_t::boolean: return v.get<bool>() ? 4 : 5;
    case Json::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      if (!isValidUtf8(s)) return SIZE_MAX;
      return escapedStringSize(s);
    }
    case Json::value_t::array: {
      size_t n = 2;
      bool first = true;
      for (const auto& e : v) {
        size_t k = compactJsonSize(e);
        if (k == SIZE_MAX) return SIZE_MAX;
        n += k + (first ? 0 : 1);
        first = false;
      }
      return n;
    }
    case Json::value_t::object: {
      size_t n = 2;
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!isValidUtf8(it.key())) return SIZE_MAX;
        size_t k = compactJsonSize(it.value());
        if (k == SIZE_MAX) return SIZE_MAX;
        n += escapedStringSize(it.key()) + 1 + k + (first ? 0 : 1);
        first = false;
      }
      return n;
    }
    case Json::value_t::number_unsigned: return decimalDigits(v.get<uint64_t>());
    case Json::value_t::number_integer: {
      int64_t x = v.get<int64_t>();
      if (x >= 0) return decimalDigits(static_cast<uint64_t>(x));
      return 1 + decimalDigits(static_cast<uint64_t>(-(x + 1)) + 1);
    }
    default:
      // Floating-point text comes from the writer's own shortest-form algorithm.
      return v.dump().size();
  }
}

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<int64_t> exactInteger(const Json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(INT64_MAX)) return std::nullopt;
    return value.get<int64_t>();
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) <= 9007199254740991.0) return int64_t(d);
  }
  return std::nullopt;
}

}  // namespace corvane
