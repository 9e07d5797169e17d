#pragma once
// The hosted identity service over its REST API: sign in with a provider's
// credential or an e-mailed link, send sign-in links, refresh identity tokens.
// Every call is blocking and bounded by the wait it is given.
#include <optional>
#include <string>
#include <string_view>

#include "account/auth_config.h"
#include "account/auth_user.h"
#include "core/http.h"
#include "core/result.h"

namespace corvane::account {

// What the service hands back for a signed-in user; kept in the keychain.
struct Session {
  AuthUser user;
  std::string idToken;
  std::string refreshToken;
  int64_t expiresAtMs = 0;  // when idToken stops being accepted (Unix ms)
};

Json sessionToJson(const Session& session);
std::optional<Session> sessionFromJson(std::string_view text);

class IdentityClient {
 public:
  IdentityClient(AuthConfig config, HttpSender http, const Clock& clock)
      : config_(std::move(config)), http_(std::move(http)), clock_(clock) {}

  // providerId "google.com" (idToken, accessToken) or "apple.com" (idToken, rawNonce).
  // Failure messages are the service's description of the error; an empty
  // message means the service answered with neither a user nor an error.
  Result<Session> signInWithIdp(std::string_view providerId, const Json& credential, Duration wait);
  Result<void> sendSignInLink(std::string_view email, Duration wait);
  bool isSignInLink(std::string_view link) const;
  Result<Session> signInWithEmailLink(std::string_view email, std::string_view link, Duration wait);
  // A fresh identity token for the session (updates it in place).
  Result<void> refresh(Session& session, Duration wait);

  const AuthConfig& config() const { return config_; }

 private:
  Result<Json> call(std::string_view method, const Json& body, Duration wait);
  Result<Session> sessionFrom(const Json& answer);

  AuthConfig config_;
  HttpSender http_;
  const Clock& clock_;
};

// The description of an identity-service failure answer:
// {"error":{"message":"…"}} gives "…"; otherwise the status.
std::string serviceErrorDescription(const HttpResponse& response);

}  // namespace corvane::account
