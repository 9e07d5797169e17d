#include <curl/curl.h>

#include <mutex>

#include "integration/feed_fetcher.h"

namespace corvane::integration {
namespace {

struct Sink {
  std::string data;
  size_t maxBytes = 0;
  bool tooLarge = false;
};

size_t onData(char* ptr, size_t size, size_t count, void* userdata) {
  auto& sink = *static_cast<Sink*>(userdata);
  const size_t n = size * count;
  if (sink.data.size() + n > sink.maxBytes) {
    sink.tooLarge = true;
    return 0;  // aborts the transfer
  }
  sink.data.append(ptr, n);
  return n;
}

class CurlFeedFetcher final : public FeedFetcher {
 public:
  FetchOutcome get(const std::string& url, std::chrono::milliseconds limit, size_t maxBytes) override {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    FetchOutcome out;
    CURL* curl = curl_easy_init();
    if (!curl) {
      out.error = "Couldn't reach the update server.";
      return out;
    }
    Sink sink;
    sink.maxBytes = maxBytes;
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(limit.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Corvane");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    out.httpStatus = int(status);
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      out.timedOut = true;
    } else if (sink.tooLarge) {
      out.error = "The update feed is too large.";
    } else if (rc != CURLE_OK) {
      out.error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
    } else {
      out.body = std::move(sink.data);
    }
    return out;
  }
};

}  // namespace

std::shared_ptr<FeedFetcher> makeCurlFeedFetcher() { return std::make_shared<CurlFeedFetcher>(); }

}  // namespace corvane::integration
