// The sign-in flows against a scripted identity service (a fake HttpSender),
// with the browser, the main thread and the status display replaced.
#include "account/account_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <map>
#include <set>
#include <mutex>

#include "core/url.h"
#include "platform/fake/memory_keychain.h"
#include "platform/fake/memory_user_defaults.h"
#include "testing/matchers.h"
#include "testing/temp_home.h"

namespace corvane::account {
namespace {

using corvane::testing::FailedWith;
using corvane::testing::IsOk;
using std::chrono::milliseconds;

AuthConfig testConfig() {
  return AuthConfig{"key", "http://127.0.0.1:1/identity", "http://127.0.0.1:1", "http://127.0.0.1:1",
                    "client", "http://127.0.0.1:1/auth", "http://127.0.0.1:1/token"};
}

Json userAnswer(const std::string& uid, const std::string& providerId) {
  return Json{{"localId", uid}, {"email", uid + "@x.test"}, {"displayName", ""}, {"providerId", providerId},
              {"idToken", "id-" + uid}, {"refreshToken", "r-" + uid}, {"expiresIn", "3600"}};
}

// Answers by path; records every request.
class FakeBackend {
 public:
  using Answer = std::function<Result<HttpResponse>(const HttpRequest&)>;
  void on(const std::string& pathSuffix, Answer answer) {
    std::lock_guard lock(mutex_);
    answers_[pathSuffix] = std::move(answer);
  }
  HttpSender sender() {
    return [this](const HttpRequest& request, Duration) -> Result<HttpResponse> {
      Answer answer;
      {
        std::lock_guard lock(mutex_);
        requests.push_back(request);
        auto url = parseUrl(request.url);
        for (auto& [suffix, a] : answers_)
          if (url && url->path.size() >= suffix.size() &&
              url->path.compare(url->path.size() - suffix.size(), suffix.size(), suffix) == 0)
            answer = a;
      }
      if (!answer) return HttpResponse{404, "{}", ""};
      return answer(request);
    };
  }
  size_t count(const std::string& suffix) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& r : requests)
      if (r.url.find(suffix) != std::string::npos) ++n;
    return n;
  }
  std::vector<HttpRequest> requests;

 private:
  std::mutex mutex_;
  std::map<std::string, Answer> answers_;
};

Result<HttpResponse> json(const Json& body, long status = 200) { return HttpResponse{status, dumpCompact(body), ""}; }

class AccountServiceTest : public ::testing::Test {
 protected:
  AccountServiceTest() {
    backend.on("accounts:signInWithIdp", [](const HttpRequest& r) {
      auto body = *parseJson(r.body);
      return json(userAnswer(body["providerId"] == "apple.com" ? "apple-user" : "google-user",
                             body["providerId"].get<std::string>()));
    });
    backend.on("accounts:sendOobCode", [](const HttpRequest&) { return json(Json{{"email", "x"}}); });
    backend.on("/redeemNativeAppleCode", [](const HttpRequest&) {
      return json(Json{{"appleIdToken", "apple-token"}, {"rawNonce", "nonce"}});
    });
  }

  std::unique_ptr<AccountService> make(std::optional<AuthConfig> config = testConfig()) {
    AccountEnvironment env;
    env.http = backend.sender();
    env.openBrowser = [this](const std::string& url) {
      std::lock_guard lock(mutex);
      opened.push_back(url);
      cv.notify_all();
      return browserWorks;
    };
    env.showStatus = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      statuses.emplace_back(text);
    };
    env.runOnMain = [](Task t) { t(); };
    env.postToMain = [](Task t) { t(); };
    env.window = [this]() -> void* { return hasWindow ? this : nullptr; };
    env.keychain = keychain;
    env.defaults = defaults.get();
    env.signInWait = signInWait;
    return std::make_unique<AccountService>(std::move(config), std::move(env));
  }

  // Waits until the browser was asked to open the n-th address; gives its state.
  std::string stateOfOpened(size_t n) {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return opened.size() >= n; });
    if (opened.size() < n) return "";
    for (auto& [k, v] : queryItems(parseUrl(opened[n - 1])->query.value_or("")))
      if (k == "state") return v.value_or("");
    return "";
  }
  std::string status(size_t i) {
    std::lock_guard lock(mutex);
    return i < statuses.size() ? statuses[i] : "";
  }

  corvane::testing::TempHome home;
  FakeBackend backend;
  std::shared_ptr<platform::Keychain> keychain = platform::makeMemoryKeychain();
  std::shared_ptr<platform::UserDefaults> defaults = platform::makeMemoryUserDefaults();
  Duration signInWait = std::chrono::seconds(30);
  bool browserWorks = true;
  bool hasWindow = true;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> opened;
  std::vector<std::string> statuses;
};

TEST(PkceTest, ChallengeOfTheStandardsTestVectorAndTokenAlphabet) {
  EXPECT_EQ(codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  std::string token = randomToken(4000);
  EXPECT_EQ(token.size(), 4000u);
  EXPECT_EQ(token.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_"), std::string::npos);
  EXPECT_NE(randomToken(40), randomToken(40));
  // All 64 characters turn up: no byte range is cut off.
  std::set<char> seen(token.begin(), token.end());
  EXPECT_EQ(seen.size(), 64u);
}

TEST_F(AccountServiceTest, WithoutConfigurationEverythingFailsClearlyAndNothingIsSent) {
  auto service = make(std::nullopt);
  EXPECT_THAT(service->signInApple(), FailedWith(std::string(kNotSetUp)));
  EXPECT_THAT(service->signInGoogle(), FailedWith(std::string(kNotSetUp)));
  EXPECT_THAT(service->signInEmail("a@b.co"), FailedWith(std::string(kNotSetUp)));
  EXPECT_FALSE(service->currentUser());
  EXPECT_FALSE(service->identityToken(milliseconds(10)));
  service->completeEmailLink("http://127.0.0.1:1/?mode=signIn&oobCode=x");
  EXPECT_EQ(status(0), kStatusLinkInvalid);
  EXPECT_TRUE(backend.requests.empty());
}

TEST_F(AccountServiceTest, EmailAddressIsTrimmedLowerCasedAndCheckedBeforeConfiguration) {
  auto unconfigured = make(std::nullopt);
  for (const std::string& bad : std::vector<std::string>{"nobody", "no-dot@host", "a b@c.de", std::string(313, 'a') + "@b.co.uk", ""})
    EXPECT_THAT(unconfigured->signInEmail(bad), FailedWith(std::string(kInvalidEmail))) << bad;
  EXPECT_THAT(unconfigured->signInEmail(std::string(310, 'a') + "@b.co.uk"), FailedWith(std::string(kNotSetUp)));

  auto service = make();
  ASSERT_THAT(service->signInEmail("  \n Me@Example.COM\t"), IsOk());
  EXPECT_EQ(parseJson(backend.requests.back().body)->at("email"), "me@example.com");
  EXPECT_EQ(defaults->getString(kPendingEmailKey), "me@example.com");
}

TEST_F(AccountServiceTest, LinkRequestFailuresCarryTheirMessages) {
  auto service = make();
  backend.on("accounts:sendOobCode", [](const HttpRequest&) -> Result<HttpResponse> { return fail(std::string(kHttpTimedOut)); });
  EXPECT_THAT(service->signInEmail("a@b.co"), FailedWith(std::string(kLinkTimedOut)));
  backend.on("accounts:sendOobCode", [](const HttpRequest&) { return json(Json{{"error", {{"message", "QUOTA"}}}}, 400); });
  EXPECT_THAT(service->signInEmail("a@b.co"), FailedWith("Couldn't send the sign-in link: QUOTA"));
  EXPECT_FALSE(defaults->getString(kPendingEmailKey));
}

TEST_F(AccountServiceTest, EmailLinkSignsInWithTheStoredAddressOnly) {
  backend.on("accounts:signInWithEmailLink", [](const HttpRequest& r) {
    EXPECT_EQ(parseJson(r.body)->at("oobCode"), "c1");
    return json(userAnswer("mail-user", "password"));
  });
  auto service = make();
  std::string link = "http://127.0.0.1:1/auth/email-link/?mode=signIn&oobCode=c1";
  EXPECT_TRUE(service->handleOpenURL("corvane://auth/email?link=" + percentEncode(link)));
  service->waitForCallbackWork();
  EXPECT_EQ(status(0), kStatusNoPendingEmail);

  ASSERT_TRUE(defaults->set(kPendingEmailKey, "mail-user@x.test"));
  service->completeEmailLink("https://example.com/not-a-sign-in-link");
  EXPECT_EQ(status(1), kStatusLinkInvalid);
  service->completeEmailLink(link);
  service->waitForCallbackWork();
  EXPECT_EQ(status(2), kStatusSignedIn);
  EXPECT_FALSE(defaults->getString(kPendingEmailKey));
  ASSERT_TRUE(service->currentUser());
  EXPECT_EQ(service->currentUser()->provider, "email");

  // The session outlives the process: a new service finds it in the keychain.
  auto again = make();
  ASSERT_TRUE(again->currentUser());
  EXPECT_EQ(again->currentUser()->uid, "mail-user");
  again->signOut();
  EXPECT_FALSE(again->currentUser());
  EXPECT_FALSE(make()->currentUser());
}

TEST_F(AccountServiceTest, AppleFlowRedeemsTheCodeWithTheVerifierOfItsChallenge) {
  auto service = make();
  auto result = std::async(std::launch::async, [&] { return service->signInApple(); });
  std::string state = stateOfOpened(1);
  ASSERT_EQ(state.size(), 40u);
  EXPECT_THAT(opened[0], ::testing::StartsWith("http://127.0.0.1:1/auth/apple/?challenge="));
  EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?state=" + state + "&code=abc"));
  auto user = result.get();
  ASSERT_THAT(user, IsOk());
  EXPECT_EQ(user->provider, "apple");

  Json redeem;
  for (auto& r : backend.requests)
    if (r.url.find("redeemNativeAppleCode") != std::string::npos) redeem = *parseJson(r.body);
  EXPECT_EQ(redeem["code"], "abc");
  EXPECT_EQ(redeem["state"], state);
  auto challenge = queryItems(parseUrl(opened[0])->query.value_or(""))[0].second;
  EXPECT_EQ(codeChallenge(redeem["verifier"].get<std::string>()), challenge);
}

TEST_F(AccountServiceTest, AppleCallbackOutcomes) {
  struct Case {
    std::string query;  // after state=…
    std::function<void()> script;
    std::string expected;
  };
  std::vector<Case> cases = {
      {"&error=user_cancelled&code=x", nullptr, "Apple sign-in failed: user_cancelled"},
      {"&code=", nullptr, std::string(kAppleNoCode)},
      {"&code=abc",
       [&] { backend.on("/redeemNativeAppleCode", [](const HttpRequest&) { return json(Json{{"appleIdToken", "t"}}); }); },
       std::string(kAppleInvalidCode)},
      {"&code=abc", [&] { backend.on("/redeemNativeAppleCode", [](const HttpRequest&) { return json(Json::object(), 500); }); },
       std::string(kAppleInvalidCode)},
      {"&code=abc",
       [&] { backend.on("/redeemNativeAppleCode", [](const HttpRequest&) -> Result<HttpResponse> { return fail("offline"); }); },
       "Apple sign-in couldn't complete: offline"},
      {"&code=abc",
       [&] {
         backend.on("/redeemNativeAppleCode", [](const HttpRequest&) { return json(Json{{"appleIdToken", "t"}, {"rawNonce", "n"}}); });
         backend.on("accounts:signInWithIdp", [](const HttpRequest&) { return json(Json{{"error", {{"message", "INVALID_IDP"}}}}, 400); });
       },
       "Sign-in failed: INVALID_IDP"},
  };
  auto service = make();
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].script) cases[i].script();
    auto result = std::async(std::launch::async, [&] { return service->signInApple(); });
    std::string state = stateOfOpened(i + 1);
    EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?state=" + state + cases[i].query));
    EXPECT_THAT(result.get(), FailedWith(cases[i].expected)) << cases[i].query;
  }
}

TEST_F(AccountServiceTest, ForeignMissingAndLateCallbacks) {
  signInWait = milliseconds(50);
  auto service = make();
  EXPECT_FALSE(service->handleAppleCallback("corvane://auth/email?state=x"));
  EXPECT_FALSE(service->handleAppleCallback("corvane://auth:1/apple?state=x"));
  EXPECT_FALSE(service->handleAppleCallback("corvane://auth/apple?state=x#f"));
  EXPECT_FALSE(service->handleAppleCallback("corvane://u@auth/apple?state=x"));
  EXPECT_FALSE(service->handleAppleCallback("https://auth/apple?state=x"));

  EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?code=x"));
  EXPECT_TRUE(statuses.empty()) << "a callback without state is only logged";
  EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?state=nobody&code=x"));
  EXPECT_EQ(status(0), kStatusExpired);

  // Nobody answers in time; the late callback then counts as expired.
  EXPECT_THAT(service->signInApple(), FailedWith(std::string(kSignInTimedOut)));
  std::string state = stateOfOpened(1);
  EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?state=" + state + "&code=x"));
  EXPECT_EQ(status(1), kStatusExpired);
  EXPECT_EQ(backend.count("redeemNativeAppleCode"), 0u);
}

TEST_F(AccountServiceTest, ANewAppleSignInReplacesTheWaitingOneAndRepeatedCallbacksRedeemOnce) {
  std::promise<void> release;
  auto gate = release.get_future().share();
  backend.on("/redeemNativeAppleCode", [gate](const HttpRequest&) {
    gate.wait();
    return json(Json{{"appleIdToken", "t"}, {"rawNonce", "n"}});
  });
  auto service = make();
  auto first = std::async(std::launch::async, [&] { return service->signInApple(); });
  stateOfOpened(1);
  auto second = std::async(std::launch::async, [&] { return service->signInApple(); });
  std::string state = stateOfOpened(2);
  EXPECT_THAT(first.get(), FailedWith(std::string(kAppleRestarted)));

  EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?state=" + state + "&code=c"));
  EXPECT_TRUE(service->handleAppleCallback("corvane://auth/apple?state=" + state + "&code=c"));
  release.set_value();
  EXPECT_THAT(second.get(), IsOk());
  service->waitForCallbackWork();
  EXPECT_EQ(backend.count("redeemNativeAppleCode"), 1u);
}

TEST_F(AccountServiceTest, NoWindowAndNoBrowser) {
  hasWindow = false;
  EXPECT_THAT(make()->signInApple(), FailedWith(std::string(kNoWindow)));
  EXPECT_THAT(make()->signInGoogle(), FailedWith(std::string(kNoWindow)));
  hasWindow = true;
  browserWorks = false;
  EXPECT_THAT(make()->signInApple(), FailedWith(std::string(kAppleNoBrowser)));
}

TEST_F(AccountServiceTest, IdentityTokenIsCachedUntilItNearlyExpires) {
  int refreshes = 0;
  backend.on("/identity/token", [&](const HttpRequest&) {
    ++refreshes;
    return json(Json{{"id_token", "fresh"}, {"refresh_token", "r2"}, {"expires_in", "3600"}});
  });
  Session near{{"u1", "e", "", "google"}, "cached", "r1", unixMillis(systemClock().now()) + 3'000'000};
  ASSERT_TRUE(keychain->write(kSessionKeychainName, dumpCompact(sessionToJson(near))));
  auto service = make();
  EXPECT_EQ(service->identityToken(milliseconds(100)), "cached");
  EXPECT_EQ(refreshes, 0);

  Session expired = near;
  expired.expiresAtMs = unixMillis(systemClock().now()) + 30'000;  // inside the last minute
  ASSERT_TRUE(keychain->write(kSessionKeychainName, dumpCompact(sessionToJson(expired))));
  auto second = make();
  EXPECT_EQ(second->identityToken(milliseconds(100)), "fresh");
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(second->identityToken(milliseconds(100)), "fresh");
  EXPECT_EQ(refreshes, 1);
}

}  // namespace
}  // namespace corvane::account
