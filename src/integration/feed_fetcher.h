#pragma once
// The one HTTP request updates make: GET a feed with a time limit. Kept to this
// small interface so a shared HTTP layer can take its place later.
#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace corvane::integration {

struct FetchOutcome {
  bool timedOut = false;
  // The body, whatever the HTTP status (an error page is a body like any other);
  // nullopt when nothing arrived.
  std::optional<std::string> body;
  int httpStatus = 0;
  // The transfer's own failure description, empty when it has none.
  std::string error;
};

class FeedFetcher {
 public:
  virtual ~FeedFetcher() = default;
  // Blocks for at most `limit`; a body over `maxBytes` is a failure.
  virtual FetchOutcome get(const std::string& url, std::chrono::milliseconds limit, size_t maxBytes) = 0;
};

// libcurl, one easy handle per request.
std::shared_ptr<FeedFetcher> makeCurlFeedFetcher();

}  // namespace corvane::integration
