#pragma once
// Where this build's hosted backend lives: "auth.json" among the application's
// resources (bundledResourceDirectory()). Without it accounts are not set up
// and nothing is ever sent.
#include <optional>
#include <string>
#include <string_view>

namespace corvane::account {

struct AuthConfig {
  std::string apiKey;          // the identity service's key for this application
  std::string identityURL;     // base of the identity service's REST API
  std::string siteURL;         // the hosted web site (Apple start page, e-mail link page)
  std::string functionsURL;    // base of the server functions (code redemption, log ingestion)
  std::string googleClientId;  // desktop OAuth client; empty: Google sign-in unavailable
  std::string googleAuthURL;   // authorisation page opened in the browser
  std::string googleTokenURL;  // code exchange
};

// nullopt when the text is not an object with the four required texts.
std::optional<AuthConfig> decodeAuthConfig(std::string_view text);
std::optional<AuthConfig> loadAuthConfig();

}  // namespace corvane::account
