#pragma once
// The signed-in user as the page sees it, and the random material of the
// browser sign-in flows.
#include <string>
#include <string_view>

#include "core/json.h"

namespace corvane::account {

struct AuthUser {
  std::string uid;
  std::string email;
  std::string displayName;
  std::string provider;  // "google", "apple" or "email"
  bool operator==(const AuthUser&) const = default;
};

// {"uid","email","displayName","provider"} in that order.
Json toJson(const AuthUser& user);

// n characters of "0-9A-Za-z-_", one secure random byte each (bytes of 64 and
// above are drawn again, so every character is equally likely).
std::string randomToken(size_t n);

// The S256 challenge of a PKCE verifier: SHA-256, Base64 with "-" and "_",
// without padding.
std::string codeChallenge(std::string_view verifier);

// "google" for identity-provider ids that are not Apple or e-mail.
std::string providerFromId(std::string_view providerId);

}  // namespace corvane::account
