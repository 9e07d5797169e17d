#include "account/auth_config.h"

#include "core/files.h"
#include "core/json.h"
#include "core/paths.h"

namespace corvane::account {

std::optional<AuthConfig> decodeAuthConfig(std::string_view text) {
  auto parsed = parseJson(text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const Json& o = *parsed;
  auto get = [&](const char* key, std::string& out, bool required) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return !required && (it == o.end() || it->is_null());
    out = it->get<std::string>();
    while (!out.empty() && out.back() == '/') out.pop_back();  // bases are joined with "/path"
    return !required || !out.empty();
  };
  AuthConfig c;
  if (!get("apiKey", c.apiKey, true) || !get("identityURL", c.identityURL, true) || !get("siteURL", c.siteURL, true) ||
      !get("functionsURL", c.functionsURL, true) || !get("googleClientId", c.googleClientId, false) ||
      !get("googleAuthURL", c.googleAuthURL, false) || !get("googleTokenURL", c.googleTokenURL, false))
    return std::nullopt;
  return c;
}

std::optional<AuthConfig> loadAuthConfig() {
  auto text = readFileLimited(bundledResourceDirectory() / "auth.json", 64 * 1024);
  if (!text) return std::nullopt;
  return decodeAuthConfig(*text);
}

}  // namespace corvane::account
