#pragma once
// A strict parser for the absolute addresses the system handles itself
// (callback URLs, configured endpoints): scheme://[user[:password]@]host[:port]
// [/path][?query][#fragment]. Percent escapes are kept in the parts; the query
// helpers decode them.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

struct Url {
  std::string scheme;  // lower case
  std::optional<std::string> user, password;
  std::string host;  // lower case; IPv6 literals without brackets
  std::optional<int> port;
  std::string path;  // "" or starting with "/"
  std::optional<std::string> query, fragment;
};

// nullopt for anything that is not an absolute address with a host.
std::optional<Url> parseUrl(std::string_view text);

// "%41+b" -> "A b" when plusIsSpace; invalid escapes are kept as they stand.
std::string percentDecode(std::string_view text, bool plusIsSpace = true);
// Escapes everything but the unreserved characters A-Z a-z 0-9 - . _ ~.
std::string percentEncode(std::string_view text);

// Query items in order; a name without "=" has no value.
std::vector<std::pair<std::string, std::optional<std::string>>> queryItems(std::string_view query);

// 127.0.0.1 (any 127.x.y.z), ::1 and localhost.
bool isLoopbackHost(std::string_view host);

}  // namespace corvane
