#include "account/identity_client.h"

#include "core/url.h"

namespace corvane::account {

namespace {
constexpr size_t kMaxAnswerBytes = 256 * 1024;

std::string textMember(const Json& o, const char* key) {
  auto it = o.find(key);
  return (it != o.end() && it->is_string()) ? it->get<std::string>() : std::string();
}
}  // namespace

Json sessionToJson(const Session& s) {
  Json o = toJson(s.user);
  o["idToken"] = s.idToken;
  o["refreshToken"] = s.refreshToken;
  o["expiresAt"] = s.expiresAtMs;
  return o;
}

std::optional<Session> sessionFromJson(std::string_view text) {
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  Session s;
  s.user.uid = textMember(*parsed, "uid");
  s.user.email = textMember(*parsed, "email");
  s.user.displayName = textMember(*parsed, "displayName");
  s.user.provider = textMember(*parsed, "provider");
  s.idToken = textMember(*parsed, "idToken");
  s.refreshToken = textMember(*parsed, "refreshToken");
  if (auto it = parsed->find("expiresAt"); it != parsed->end() && it->is_number_integer()) s.expiresAtMs = it->get<int64_t>();
  if (s.user.uid.empty()) return std::nullopt;
  return s;
}

std::string serviceErrorDescription(const HttpResponse& response) {
  auto parsed = parseJson(response.body);
  if (parsed && parsed->is_object()) {
    if (auto e = parsed->find("error"); e != parsed->end()) {
      if (e->is_object()) {
        std::string message = textMember(*e, "message");
        if (!message.empty()) return message;
      } else if (e->is_string() && !e->get<std::string>().empty()) {
        return e->get<std::string>();
      }
    }
  }
  return "The server answered with status " + std::to_string(response.status) + ".";
}

Result<Json> IdentityClient::call(std::string_view method, const Json& body, Duration wait) {
  HttpRequest request;
  request.method = "POST";
  request.url = config_.identityURL + "/" + std::string(method) + "?key=" + percentEncode(config_.apiKey);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = dumpCompact(body);
  request.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(wait);
  request.maxResponseBytes = kMaxAnswerBytes;
  CORVANE_TRY_ASSIGN(response, http_(request, wait));
  if (response.status < 200 || response.status > 299) return fail(serviceErrorDescription(response));
  auto parsed = parseJson(response.body);
  if (!parsed || !parsed->is_object()) return fail("The sign-in service's answer could not be read.");
  return std::move(*parsed);
}

Result<Session> IdentityClient::sessionFrom(const Json& answer) {
  Session s;
  s.user.uid = textMember(answer, "localId");
  s.user.email = textMember(answer, "email");
  s.user.displayName = textMember(answer, "displayName");
  s.user.provider = providerFromId(textMember(answer, "providerId"));
  s.idToken = textMember(answer, "idToken");
  s.refreshToken = textMember(answer, "refreshToken");
  int64_t expiresIn = 3600;
  if (auto text = textMember(answer, "expiresIn"); !text.empty()) {
    try {
      expiresIn = std::stoll(text);
    } catch (...) {
    }
  }
  s.expiresAtMs = unixMillis(clock_.now()) + expiresIn * 1000;
  if (s.user.uid.empty()) return fail("");  // no user and no error
  return s;
}

Result<Session> IdentityClient::signInWithIdp(std::string_view providerId, const Json& credential, Duration wait) {
  Json body = credential;
  body["providerId"] = std::string(providerId);
  CORVANE_TRY_ASSIGN(answer, call("accounts:signInWithIdp", body, wait));
  return sessionFrom(answer);
}

Result<void> IdentityClient::sendSignInLink(std::string_view email, Duration wait) {
  Json body = Json::object();
  body["requestType"] = "EMAIL_SIGNIN";
  body["email"] = std::string(email);
  body["continueUrl"] = config_.siteURL + "/auth/email-link/";
  body["canHandleCodeInApp"] = true;
  CORVANE_TRY(call("accounts:sendOobCode", body, wait));
  return ok();
}

bool IdentityClient::isSignInLink(std::string_view link) const {
  auto url = parseUrl(link);
  if (!url || !url->query || !checkRequestAddress(link)) return false;
  bool signIn = false, code = false;
  for (const auto& [name, value] : queryItems(*url->query)) {
    if (name == "mode" && value == "signIn") signIn = true;
    if (name == "oobCode" && value && !value->empty()) code = true;
  }
  return signIn && code;
}

Result<Session> IdentityClient::signInWithEmailLink(std::string_view email, std::string_view link, Duration wait) {
  std::string oobCode;
  if (auto url = parseUrl(link); url && url->query)
    for (const auto& [name, value] : queryItems(*url->query))
      if (name == "oobCode" && value && oobCode.empty()) oobCode = *value;
  Json body = Json::object();
  body["email"] = std::string(email);
  body["oobCode"] = oobCode;
  CORVANE_TRY_ASSIGN(answer, call("accounts:signInWithEmailLink", body, wait));
  return sessionFrom(answer);
}

Result<void> IdentityClient::refresh(Session& session, Duration wait) {
  Json body = Json::object();
  body["grant_type"] = "refresh_token";
  body["refresh_token"] = session.refreshToken;
  CORVANE_TRY_ASSIGN(answer, call("token", body, wait));
  std::string idToken = textMember(answer, "id_token");
  if (idToken.empty()) return fail("The sign-in service gave no identity token.");
  session.idToken = idToken;
  if (auto r = textMember(answer, "refresh_token"); !r.empty()) session.refreshToken = r;
  int64_t expiresIn = 3600;
  try {
    if (auto e = textMember(answer, "expires_in"); !e.empty()) expiresIn = std::stoll(e);
  } catch (...) {
  }
  session.expiresAtMs = unixMillis(clock_.now()) + expiresIn * 1000;
  return ok();
}

}  // namespace corvane::account
