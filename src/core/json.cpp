#include "core/json.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "core/text.h"

namespace corvane {

Result<Json> parseJson(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const std::exception& e) {
    return fail(e.what());
  }
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
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
        (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {

// Escaped size of a string as nlohmann writes it (ensure_ascii off): quotes and
// backslashes and \b \f \n \r \t take two bytes, other control bytes six.
size_t escapedStringSize(const std::string& s) {
  static const auto table = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = 1;
    for (int c = 0; c < 0x20; ++c) t[c] = 6;
    t['\b'] = t['\f'] = t['\n'] = t['\r'] = t['\t'] = 2;
    t['"'] = t['\\'] = 2;
    return t;
  }();
  size_t n = 2;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t len = s.size();
  size_t i = 0;
  // Eight bytes at a time while none needs escaping (common case for markup).
  for (; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    const uint64_t lo = 0x0101010101010101ULL;
    const uint64_t hi = 0x8080808080808080ULL;
    auto hasLess = [&](uint64_t x, uint64_t v) { return (x - lo * v) & ~x & hi; };
    auto hasByte = [&](uint64_t x, uint64_t v) { return hasLess(x ^ (lo * v), 1); };
    if (hasLess(w, 0x20) || hasByte(w, '"') || hasByte(w, '\\')) {
      for (int k = 0; k < 8; ++k) n += table[p[i + k]];
    } else {
      n += 8;
    }
  }
  for (; i < len; ++i) n += table[p[i]];
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
    default:
      // Numbers are short; their exact text is cheap to produce.
      return v.dump().size();
  }
}

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace corvane
