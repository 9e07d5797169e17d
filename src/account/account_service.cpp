#include "account/account_service.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include <httplib.h>

#include "bridge/shell_hooks.h"
#include "core/text.h"
#include "core/url.h"
#include "records/app_log.h"

extern char** environ;

namespace corvane::account {

namespace {

// A waiting command's result: preset, written once by whichever completion
// comes first, then read by the waiter (which may have stopped waiting).
template <class T>
class ResultBox {
 public:
  explicit ResultBox(T preset) : value_(std::move(preset)) {}
  void set(T value) {
    std::lock_guard lock(mutex_);
    if (written_) return;
    value_ = std::move(value);
    written_ = true;
    cv_.notify_all();
  }
  bool waitFor(Duration wait) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, wait, [&] { return written_; });
  }
  T get() {
    std::lock_guard lock(mutex_);
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  T value_;
  bool written_ = false;
};

std::mutex& presenterMutex() {
  static std::mutex m;
  return m;
}
std::function<void(std::string_view)>& presenterSlot() {
  static std::function<void(std::string_view)> slot;
  return slot;
}

bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

size_t utf8Length(std::string_view s) {
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string textMember(const Json& o, const char* key) {
  auto it = o.find(key);
  return (it != o.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

// The first item of that name that has a value.
std::optional<std::string> firstValue(const std::vector<std::pair<std::string, std::optional<std::string>>>& items,
                                      std::string_view name) {
  for (const auto& [n, v] : items)
    if (n == name && v) return *v;
  return std::nullopt;
}

bool isAuthCallback(const Url& url, std::string_view path) {
  return url.scheme == "corvane" && url.host == "auth" && url.path == path && !url.user && !url.password && !url.port;
}

std::string formEncode(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [k, v] : fields) {
    if (!out.empty()) out += '&';
    out += percentEncode(k) + "=" + percentEncode(v);
  }
  return out;
}

constexpr char kLoopbackPage[] =
    "<!doctype html><meta charset=utf-8><title>Corvane</title>"
    "<p>You can close this tab and return to Corvane.</p>";

}  // namespace

void setStatusPresenter(std::function<void(std::string_view)> presenter) {
  std::lock_guard lock(presenterMutex());
  presenterSlot() = std::move(presenter);
}

void showStatus(std::string_view text) {
  std::function<void(std::string_view)> presenter;
  {
    std::lock_guard lock(presenterMutex());
    presenter = presenterSlot();
  }
  if (presenter) presenter(text);
  else records::appLog(records::LogLevel::Info, "account", text);
}

bool openInBrowser(const std::string& url) {
  std::vector<std::string> argv;
  if (const char* browser = std::getenv("BROWSER"); browser && *browser) {
    // $BROWSER may carry arguments; split at spaces.
    std::string words(browser);
    size_t start = 0;
    while (start < words.size()) {
      size_t end = words.find(' ', start);
      if (end == std::string::npos) end = words.size();
      if (end > start) argv.push_back(words.substr(start, end - start));
      start = end + 1;
    }
  } else {
    argv.push_back("xdg-open");
  }
  if (argv.empty()) return false;
  argv.push_back(url);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
  // The opener may outlive this call; reap it on a thread of its own.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

AccountService::AccountService(std::optional<AuthConfig> config, AccountEnvironment environment)
    : env_(std::move(environment)) {
  if (!env_.http) env_.http = defaultHttpSender();
  if (!env_.openBrowser) env_.openBrowser = openInBrowser;
  if (!env_.showStatus) env_.showStatus = [](std::string_view text) { showStatus(text); };
  if (!env_.runOnMain) env_.runOnMain = [](Task task) { mainQueue().runSync(std::move(task)); };
  if (!env_.postToMain) env_.postToMain = [](Task task) { mainQueue().post(std::move(task)); };
  if (!env_.window) env_.window = [] {
    auto hooks = bridge::shellHooks();
    return hooks.panelHost ? hooks.panelHost() : nullptr;
  };
  if (!env_.keychain) env_.keychain = platform::Keychain::shared();
  if (!env_.defaults) env_.defaults = &platform::UserDefaults::shared();
  if (!env_.clock) env_.clock = &systemClock();
  if (config) {
    client_ = std::make_unique<IdentityClient>(std::move(*config), env_.http, *env_.clock);
    if (auto stored = env_.keychain->read(kSessionKeychainName); stored && *stored)
      session_ = sessionFromJson(**stored);
  }
}

AccountService::~AccountService() { waitForCallbackWork(); }

std::optional<AuthUser> AccountService::currentUser() {
  if (!configured()) return std::nullopt;
  std::lock_guard lock(sessionMutex_);
  if (!session_) return std::nullopt;
  return session_->user;
}

std::optional<std::string> AccountService::identityToken(Duration wait) {
  if (!configured()) return std::nullopt;
  std::optional<Session> session;
  {
    std::lock_guard lock(sessionMutex_);
    if (!session_) return std::nullopt;
    // A token with more than a minute left is used as it is.
    if (!session_->idToken.empty() && session_->expiresAtMs - 60'000 > unixMillis(env_.clock->now()))
      return session_->idToken;
    session = session_;
  }
  if (session->refreshToken.empty()) return std::nullopt;
  if (!client_->refresh(*session, wait)) return std::nullopt;
  {
    std::lock_guard lock(sessionMutex_);
    // Signed out (or in as someone else) meanwhile: the refreshed token is not theirs.
    if (!session_ || session_->user.uid != session->user.uid) return std::nullopt;
    session_ = session;
  }
  (void)env_.keychain->write(kSessionKeychainName, dumpCompact(sessionToJson(*session)));
  return session->idToken;
}

void AccountService::setStateListener(std::function<void()> listener) {
  std::lock_guard lock(listenerMutex_);
  listener_ = std::move(listener);
}

void AccountService::notifyStateChanged() {
  std::function<void()> listener;
  {
    std::lock_guard lock(listenerMutex_);
    listener = listener_;
  }
  if (listener) listener();
}

void AccountService::storeSession(std::optional<Session> session) {
  {
    std::lock_guard lock(sessionMutex_);
    session_ = session;
  }
  if (session) {
    if (auto written = env_.keychain->write(kSessionKeychainName, dumpCompact(sessionToJson(*session))); !written)
      records::appLog(records::LogLevel::Error, "account", "credentials not stored: " + written.error());
  } else {
    (void)env_.keychain->remove(kSessionKeychainName);
  }
  notifyStateChanged();
}

Result<AuthUser> AccountService::finishSignIn(Result<Session> outcome, std::string_view provider) {
  if (!outcome) {
    if (outcome.error().empty()) return fail(std::string(kNoUser));
    return fail("Sign-in failed: " + outcome.error());
  }
  outcome->user.provider = std::string(provider);
  storeSession(*outcome);
  return outcome->user;
}

bool AccountService::haveWindow() {
  void* window = nullptr;
  env_.runOnMain([&] { window = env_.window ? env_.window() : nullptr; });
  return window != nullptr;
}

void AccountService::status(std::string_view text) {
  env_.postToMain([this, message = std::string(text)] { env_.showStatus(message); });
}

void AccountService::runInBackground(Task task) {
  {
    std::lock_guard lock(workMutex_);
    ++workInFlight_;
  }
  std::thread([this, task = std::move(task)] {
    task();
    std::lock_guard lock(workMutex_);
    --workInFlight_;
    workCv_.notify_all();
  }).detach();
}

void AccountService::waitForCallbackWork() {
  std::unique_lock lock(workMutex_);
  workCv_.wait(lock, [&] { return workInFlight_ == 0; });
}

// ---- Google: desktop OAuth with a loopback redirect

Result<AuthUser> AccountService::signInGoogle() {
  if (!haveWindow()) return fail(std::string(kNoWindow));
  if (!configured()) return fail(std::string(kNotSetUp));
  const AuthConfig& config = client_->config();
  if (config.googleClientId.empty() || config.googleAuthURL.empty() || config.googleTokenURL.empty())
    return fail("Google sign-in failed: Google sign-in isn't set up in this build.");
  MonoTime deadline = std::chrono::steady_clock::now() + env_.signInWait;

  std::string state = randomToken(40);
  std::string verifier = randomToken(64);
  // Ok(code) or the failure to report.
  auto box = std::make_shared<ResultBox<Result<std::string>>>(fail(std::string(kSignInTimedOut)));

  httplib::Server listener;
  listener.Get("/", [box, state](const httplib::Request& req, httplib::Response& res) {
    // Only the redirect of this sign-in counts; anything else is refused.
    if (req.get_param_value("state") != state) {
      res.status = 400;
      res.set_content("Unknown sign-in.", "text/plain");
      return;
    }
    if (std::string error = req.get_param_value("error"); !error.empty()) box->set(fail("Google sign-in failed: " + error));
    else if (std::string code = req.get_param_value("code"); !code.empty()) box->set(code);
    else box->set(fail(std::string(kGoogleNoToken)));
    res.set_content(kLoopbackPage, "text/html; charset=utf-8");
  });
  int port = listener.bind_to_any_port("127.0.0.1");
  if (port <= 0) return fail("Google sign-in failed: the sign-in listener could not start.");
  std::thread serving([&] { listener.listen_after_bind(); });
  std::string redirectUri = "http://127.0.0.1:" + std::to_string(port) + "/";

  std::string url = config.googleAuthURL + (config.googleAuthURL.find('?') == std::string::npos ? "?" : "&") +
                    formEncode({{"client_id", config.googleClientId},
                                {"redirect_uri", redirectUri},
                                {"response_type", "code"},
                                {"scope", "openid email profile"},
                                {"code_challenge", codeChallenge(verifier)},
                                {"code_challenge_method", "S256"},
                                {"state", state}});
  bool opened = false;
  if (checkRequestAddress(url)) env_.runOnMain([&] { opened = env_.openBrowser(url); });
  if (!opened) box->set(fail("Google sign-in failed: the browser could not be opened."));
  box->waitFor(std::max(Duration(0), deadline - std::chrono::steady_clock::now()));
  listener.stop();
  serving.join();
  auto code = box->get();
  if (!code) return fail(code.error());

  auto remaining = [&] {
    return std::max<Duration>(std::chrono::seconds(1), deadline - std::chrono::steady_clock::now());
  };
  HttpRequest exchange;
  exchange.method = "POST";
  exchange.url = config.googleTokenURL;
  exchange.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  exchange.body = formEncode({{"grant_type", "authorization_code"},
                              {"code", *code},
                              {"client_id", config.googleClientId},
                              {"code_verifier", verifier},
                              {"redirect_uri", redirectUri}});
  exchange.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(remaining());
  exchange.maxResponseBytes = 256 * 1024;
  auto answer = env_.http(exchange, remaining());
  if (!answer) return fail(answer.error() == kHttpTimedOut ? std::string(kSignInTimedOut)
                                                           : "Google sign-in failed: " + answer.error());
  if (answer->status < 200 || answer->status > 299) {
    auto parsed = parseJson(answer->body);
    std::string description = parsed && parsed->is_object() ? textMember(*parsed, "error_description") : "";
    if (description.empty() && parsed && parsed->is_object()) description = textMember(*parsed, "error");
    if (description.empty()) description = serviceErrorDescription(*answer);
    return fail("Google sign-in failed: " + description);
  }
  auto tokens = parseJson(answer->body);
  std::string idToken = tokens && tokens->is_object() ? textMember(*tokens, "id_token") : "";
  if (idToken.empty()) return fail(std::string(kGoogleNoToken));
  Json credential = Json::object();
  credential["idToken"] = idToken;
  credential["accessToken"] = textMember(*tokens, "access_token");
  return finishSignIn(client_->signInWithIdp("google.com", credential, remaining()), "google");
}

// ---- Apple: hosted start page, callback, code redemption

Result<AuthUser> AccountService::signInApple() {
  if (!haveWindow()) return fail(std::string(kNoWindow));
  if (!configured()) return fail(std::string(kNotSetUp));
  std::string state = randomToken(40);
  std::string verifier = randomToken(64);
  std::string challenge = codeChallenge(verifier);
  auto box = std::make_shared<ResultBox<Result<AuthUser>>>(fail(std::string(kSignInTimedOut)));

  env_.runOnMain([&] {
    auto flow = std::make_shared<PendingAppleWebFlow>();
    flow->state = state;
    flow->verifier = verifier;
    flow->completion = [box](Result<AuthUser> result) { box->set(std::move(result)); };
    std::shared_ptr<PendingAppleWebFlow> previous;
    {
      std::lock_guard lock(appleMutex_);
      previous = std::exchange(appleSlot_, flow);
    }
    if (previous) previous->completion(fail(std::string(kAppleRestarted)));
    std::string url = client_->config().siteURL + "/auth/apple/?challenge=" + percentEncode(challenge) +
                      "&state=" + percentEncode(state);
    if (!checkRequestAddress(url) || !env_.openBrowser(url)) completePending(state, fail(std::string(kAppleNoBrowser)));
  });

  if (!box->waitFor(env_.signInWait)) {
    // A late callback for this state is then treated as expired.
    std::lock_guard lock(appleMutex_);
    if (appleSlot_ && appleSlot_->state == state) appleSlot_.reset();
  }
  return box->get();
}

void AccountService::completePending(const std::string& state, Result<AuthUser> result) {
  std::shared_ptr<PendingAppleWebFlow> flow;
  {
    std::lock_guard lock(appleMutex_);
    if (!appleSlot_ || appleSlot_->state != state) return;
    flow = std::exchange(appleSlot_, nullptr);
  }
  flow->completion(std::move(result));
}

bool AccountService::handleAppleCallback(std::string_view text) {
  auto url = parseUrl(text);
  if (!url || !isAuthCallback(*url, "/apple") || url->fragment) return false;
  auto items = queryItems(url->query.value_or(""));
  auto state = firstValue(items, "state");
  if (!state || state->empty()) {
    records::appLog(records::LogLevel::Error, "sign_in_apple", "callback carried no state — ignored");
    return true;
  }
  std::string verifier;
  {
    std::lock_guard lock(appleMutex_);
    if (!appleSlot_ || appleSlot_->state != *state) {
      records::appLog(records::LogLevel::Error, "sign_in_apple",
                      "callback ignored — no matching pending flow (timed out or superseded)");
      status(kStatusExpired);
      return true;
    }
    // The browser may deliver the callback twice; one redemption is enough.
    if (appleSlot_->redeeming) return true;
    verifier = appleSlot_->verifier;
  }
  if (auto error = firstValue(items, "error"); error && !error->empty()) {
    completePending(*state, fail("Apple sign-in failed: " + *error));
    return true;
  }
  auto code = firstValue(items, "code");
  if (!code || code->empty()) {
    completePending(*state, fail(std::string(kAppleNoCode)));
    return true;
  }
  {
    std::lock_guard lock(appleMutex_);
    if (!appleSlot_ || appleSlot_->state != *state || appleSlot_->redeeming) return true;
    appleSlot_->redeeming = true;
  }
  runInBackground([this, code = *code, state = *state, verifier] { redeemAppleCode(code, state, verifier); });
  return true;
}

void AccountService::redeemAppleCode(std::string code, std::string state, std::string verifier) {
  HttpRequest request;
  request.method = "POST";
  request.url = client_->config().functionsURL + "/redeemNativeAppleCode";
  request.headers.emplace_back("Content-Type", "application/json");
  Json body = Json::object();
  body["code"] = code;
  body["verifier"] = verifier;
  body["state"] = state;
  request.body = dumpCompact(body);
  request.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(env_.redeemTimeout);
  request.maxResponseBytes = 256 * 1024;
  auto response = env_.http(request, env_.redeemTimeout + std::chrono::seconds(1));
  if (!response) {
    completePending(state, fail("Apple sign-in couldn't complete: " + response.error()));
    return;
  }
  auto parsed = response->status == 200 ? parseJson(response->body) : Result<Json>(fail("status"));
  const Json* token = parsed && parsed->is_object() ? member(*parsed, "appleIdToken") : nullptr;
  const Json* nonce = parsed && parsed->is_object() ? member(*parsed, "rawNonce") : nullptr;
  if (!token || !nonce || !token->is_string() || !nonce->is_string() || token->get<std::string>().empty()) {
    completePending(state, fail(std::string(kAppleInvalidCode)));
    return;
  }
  Json credential = Json::object();
  credential["idToken"] = token->get<std::string>();
  credential["rawNonce"] = nonce->get<std::string>();
  completePending(state, finishSignIn(client_->signInWithIdp("apple.com", credential, env_.redeemTimeout), "apple"));
}

// ---- E-mail link

Result<void> AccountService::signInEmail(std::string_view raw) {
  size_t begin = 0, end = raw.size();
  while (begin < end && isSpace(static_cast<unsigned char>(raw[begin]))) ++begin;
  while (end > begin && isSpace(static_cast<unsigned char>(raw[end - 1]))) --end;
  std::string address(raw.substr(begin, end - begin));
  std::transform(address.begin(), address.end(), address.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // White space inside an address is never plausible (it would only bounce).
  bool inner = std::any_of(address.begin(), address.end(), [](unsigned char c) { return isSpace(c); });
  if (inner || address.find('@') == std::string::npos || address.find('.') == std::string::npos ||
      utf8Length(address) > 320)
    return fail(std::string(kInvalidEmail));
  if (!configured()) return fail(std::string(kNotSetUp));

  auto sent = client_->sendSignInLink(address, env_.emailWait);
  if (!sent) {
    if (sent.error() == kHttpTimedOut) return fail(std::string(kLinkTimedOut));
    return fail("Couldn't send the sign-in link: " + sent.error());
  }
  if (auto stored = env_.defaults->set(kPendingEmailKey, address); !stored)
    records::appLog(records::LogLevel::Error, "sign_in_email", "pending address not stored: " + stored.error());
  return ok();
}

void AccountService::completeEmailLink(std::string_view link) {
  if (!configured() || link.empty() || !client_->isSignInLink(link)) {
    status(kStatusLinkInvalid);
    return;
  }
  auto email = env_.defaults->getString(kPendingEmailKey);
  if (!email || email->empty()) {
    status(kStatusNoPendingEmail);
    return;
  }
  runInBackground([this, email = *email, link = std::string(link)] {
    auto outcome = finishSignIn(client_->signInWithEmailLink(email, link, env_.emailWait), "email");
    env_.postToMain([this, outcome] {
      if (outcome) {
        (void)env_.defaults->remove(kPendingEmailKey);
        env_.showStatus(kStatusSignedIn);
      } else {
        // finishSignIn says "Sign-in failed: …"; the status carries the description.
        std::string description = outcome.error();
        if (description.rfind("Sign-in failed: ", 0) == 0) description.erase(0, 16);
        env_.showStatus("✕ Sign-in failed: " + description);
      }
    });
  });
}

bool AccountService::handleOpenURL(std::string_view text) {
  auto url = parseUrl(text);
  if (!url) return false;
  if (handleAppleCallback(text)) return true;
  if (!isAuthCallback(*url, "/email")) return false;
  std::string link = firstValue(queryItems(url->query.value_or("")), "link").value_or("");
  env_.postToMain([] {
    if (auto show = bridge::shellHooks().showWindow) show();
  });
  completeEmailLink(link);
  return true;
}

void AccountService::signOut() {
  if (!configured()) return;
  // Signing out is local: the stored session goes, and the listener announces it.
  storeSession(std::nullopt);
}

// ---- process-wide instance

namespace {
std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
// Never destroyed: a pass or a callback may still be running while the
// process exits (front ends wait for them, within their limits, beforehand).
std::shared_ptr<AccountService>& sharedSlot() {
  static auto* slot = new std::shared_ptr<AccountService>();
  return *slot;
}
}  // namespace

std::shared_ptr<AccountService> AccountService::sharedPointer() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = std::make_shared<AccountService>(loadAuthConfig(), AccountEnvironment{});
  return slot;
}

AccountService& AccountService::shared() { return *sharedPointer(); }

std::shared_ptr<AccountService> AccountService::existing() {
  std::lock_guard lock(sharedMutex());
  return sharedSlot();
}

void AccountService::setSharedForTesting(std::shared_ptr<AccountService> service) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(service);
}

}  // namespace corvane::account
