#include "core/http.h"

#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "core/url.h"

namespace corvane {
namespace {

std::atomic<uint64_t> gRequestsStarted{0};

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  std::string body;
  size_t cap = 0;
  bool tooLarge = false;
  const std::atomic<bool>* abort = nullptr;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->body.size() + n > t->cap) {
    t->tooLarge = true;
    return 0;  // stops the transfer with a write error
  }
  t->body.append(data, n);
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return (t->abort && t->abort->load()) ? 1 : 0;
}

bool sameOrigin(const Url& a, const Url& b) {
  auto port = [](const Url& u) { return u.port.value_or(u.scheme == "https" ? 443 : 80); };
  return a.scheme == b.scheme && a.host == b.host && port(a) == port(b);
}

struct Once {
  long status = 0;
  std::string body, contentType, location;
};

Result<Once> exchange(const HttpRequest& request, const std::string& url, const std::atomic<bool>* abort) {
  globalInit();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return fail("The network layer could not start.");
  CURL* h = curl.get();
  Transfer transfer;
  transfer.cap = request.maxResponseBytes;
  transfer.abort = abort;
  char errorText[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxResponseBytes));
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Corvane");
  // Loopback requests never go through a proxy from the environment.
  if (auto parsed = parseUrl(url); parsed && isLoopbackHost(parsed->host)) curl_easy_setopt(h, CURLOPT_NOPROXY, "*");

  if (request.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
  // No "Expect: 100-continue" round trip for larger bodies.
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);

  gRequestsStarted.fetch_add(1);
  CURLcode code = curl_easy_perform(h);
  curl_slist_free_all(headers);

  if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) return fail(std::string(kHttpTooLarge));
  if (code == CURLE_OPERATION_TIMEDOUT || code == CURLE_ABORTED_BY_CALLBACK) return fail(std::string(kHttpTimedOut));
  if (code != CURLE_OK) return fail(errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code)));

  Once once;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &once.status);
  once.body = std::move(transfer.body);
  char* type = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) once.contentType = type;
  char* location = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) once.location = location;
  return once;
}

}  // namespace

Result<void> checkRequestAddress(std::string_view url) {
  auto parsed = parseUrl(url);
  if (!parsed) return fail(std::string(kHttpBadAddress));
  if (parsed->scheme == "https") return ok();
  if (parsed->scheme == "http" && isLoopbackHost(parsed->host)) return ok();
  return fail(std::string(kHttpInsecure));
}

Result<HttpResponse> httpSend(const HttpRequest& request, const std::atomic<bool>* abort) {
  CORVANE_TRY(checkRequestAddress(request.url));
  std::string url = request.url;
  auto origin = *parseUrl(url);
  for (int hop = 0;; ++hop) {
    CORVANE_TRY_ASSIGN(once, exchange(request, url, abort));
    bool redirect = once.status >= 300 && once.status < 400 && !once.location.empty();
    if (!redirect || request.maxRedirects == 0)
      return HttpResponse{once.status, std::move(once.body), std::move(once.contentType), std::move(once.location)};
    auto target = parseUrl(once.location);
    if (!target || !sameOrigin(origin, *target)) return fail(std::string(kHttpForeignRedirect));
    if (hop >= request.maxRedirects) return fail(std::string(kHttpTooManyRedirects));
    url = once.location;
  }
}

Result<HttpResponse> httpSendWaiting(const HttpRequest& request, Duration wait) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    Result<HttpResponse> result = fail(std::string(kHttpTimedOut));
    std::atomic<bool> abort{false};
  };
  auto shared = std::make_shared<Shared>();
  // The worker owns a share of the state, so a caller that stopped waiting
  // leaves nothing dangling; the abort flag ends the transfer soon after.
  std::thread([shared, request] {
    auto result = httpSend(request, &shared->abort);
    std::lock_guard lock(shared->mutex);
    shared->result = std::move(result);
    shared->done = true;
    shared->cv.notify_all();
  }).detach();
  std::unique_lock lock(shared->mutex);
  if (!shared->cv.wait_for(lock, wait, [&] { return shared->done; })) {
    shared->abort.store(true);
    return fail(std::string(kHttpTimedOut));
  }
  return std::move(shared->result);
}

HttpSender defaultHttpSender() {
  return [](const HttpRequest& request, Duration wait) { return httpSendWaiting(request, wait); };
}

uint64_t httpRequestsStarted() { return gRequestsStarted.load(); }

}  // namespace corvane
