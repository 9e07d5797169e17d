#pragma once
// The HTTP client every hosted-backend caller uses (libcurl underneath).
// Rules that hold for every request: only https addresses, except plain http to
// the loopback host (127.0.0.1, ::1, localhost); redirects are followed only
// within the same scheme, host and port; the response body is capped; the
// connection and the whole exchange have separate time-outs; and the caller's
// wait is a third, separate value (httpSendWaiting), after which the transfer is
// abandoned and aborted in the background.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/result.h"

namespace corvane {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds timeout{15000};        // the whole exchange
  std::chrono::milliseconds connectTimeout{10000};  // reaching the server
  size_t maxResponseBytes = 4u << 20;
  int maxRedirects = 3;  // same origin only; 0: a 3xx comes back with its location
};

struct HttpResponse {
  long status = 0;
  std::string body;
  std::string contentType;
  std::string location;  // of a 3xx answer that was not followed
};

// Messages of the transport failures this layer makes itself.
inline constexpr std::string_view kHttpTimedOut = "The request timed out.";
inline constexpr std::string_view kHttpTooLarge = "The server's answer was too large.";
inline constexpr std::string_view kHttpInsecure = "Only secure (https) addresses can be used.";
inline constexpr std::string_view kHttpBadAddress = "The address is not valid.";
inline constexpr std::string_view kHttpForeignRedirect = "The server redirected to another host.";
inline constexpr std::string_view kHttpTooManyRedirects = "The server redirected too many times.";

// Ok when the address may be requested (https, or http to the loopback host).
Result<void> checkRequestAddress(std::string_view url);

// Runs the exchange on the calling thread. A 3xx answer that is not followed
// (no Location) comes back as it is; every other non-transport outcome is a
// response, whatever its status. `abort` (optional) stops the transfer soon
// after it turns true.
Result<HttpResponse> httpSend(const HttpRequest& request, const std::atomic<bool>* abort = nullptr);

// Runs the exchange on a worker thread and waits at most `wait` for it; on
// expiry fails with kHttpTimedOut and aborts the transfer in the background.
Result<HttpResponse> httpSendWaiting(const HttpRequest& request, Duration wait);

// How the account and sync code sends requests; tests may swap it for a
// recording or failing one. The default is httpSendWaiting.
using HttpSender = std::function<Result<HttpResponse>(const HttpRequest&, Duration wait)>;
HttpSender defaultHttpSender();

// Requests this process has started (for checks that nothing was sent).
uint64_t httpRequestsStarted();

}  // namespace corvane
