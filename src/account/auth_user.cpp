#include "account/auth_user.h"

#include "core/crypto.h"

namespace corvane::account {

Json toJson(const AuthUser& user) {
  Json o = Json::object();
  o["uid"] = user.uid;
  o["email"] = user.email;
  o["displayName"] = user.displayName;
  o["provider"] = user.provider;
  return o;
}

std::string randomToken(size_t n) {
  static constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";
  std::string out;
  out.reserve(n);
  uint8_t buffer[64];
  while (out.size() < n) {
    secureRandom(buffer, sizeof buffer);
    for (uint8_t b : buffer) {
      if (b < 64 && out.size() < n) out += kAlphabet[b];
    }
  }
  return out;
}

std::string codeChallenge(std::string_view verifier) {
  static constexpr char kBase64Url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  Sha256Digest digest = sha256(verifier);
  std::string out;
  size_t i = 0;
  for (; i + 2 < digest.size(); i += 3) {
    uint32_t v = (digest[i] << 16) | (digest[i + 1] << 8) | digest[i + 2];
    out += kBase64Url[(v >> 18) & 63];
    out += kBase64Url[(v >> 12) & 63];
    out += kBase64Url[(v >> 6) & 63];
    out += kBase64Url[v & 63];
  }
  // 32 bytes leave two over: three characters, no padding.
  uint32_t v = (digest[i] << 16) | (digest[i + 1] << 8);
  out += kBase64Url[(v >> 18) & 63];
  out += kBase64Url[(v >> 12) & 63];
  out += kBase64Url[(v >> 6) & 63];
  return out;
}

std::string providerFromId(std::string_view providerId) {
  if (providerId.find("apple") != std::string_view::npos) return "apple";
  if (providerId == "password") return "email";
  return "google";
}

}  // namespace corvane::account
