#pragma once
// Account sign-in: Google (desktop OAuth in the system browser with a loopback
// redirect and PKCE), Apple (the hosted start page, finished by the
// corvane://auth/apple callback and a code redemption), and an e-mailed link
// (corvane://auth/email, possibly in another run of the program); sign-out, the
// current user and identity tokens. The session lives in the keychain.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "account/auth_config.h"
#include "account/auth_user.h"
#include "account/identity_client.h"
#include "core/clock.h"
#include "core/http.h"
#include "core/queue.h"
#include "core/result.h"
#include "platform/keychain.h"
#include "platform/user_defaults.h"

namespace corvane::account {

// Messages of the sign-in flows.
inline constexpr std::string_view kNotSetUp =
    "Accounts aren't set up in this build — the sign-in service's configuration (auth.json) is missing from the "
    "application's resources.";
inline constexpr std::string_view kSignInTimedOut = "Sign-in timed out.";
inline constexpr std::string_view kInvalidEmail = "Enter a valid email address.";
inline constexpr std::string_view kLinkTimedOut =
    "Timed out sending the sign-in link — check your connection and try again.";
inline constexpr std::string_view kNoWindow = "no window";
inline constexpr std::string_view kAppleRestarted = "Apple sign-in was restarted.";
inline constexpr std::string_view kAppleNoBrowser = "Apple sign-in couldn't open the browser.";
inline constexpr std::string_view kAppleNoCode = "Apple sign-in returned no authorization code.";
inline constexpr std::string_view kAppleInvalidCode = "Apple sign-in code was invalid or expired. Please try again.";
inline constexpr std::string_view kGoogleNoToken = "Google sign-in returned no token.";
inline constexpr std::string_view kNoUser = "Sign-in returned no user.";
// Status texts shown near the pointer.
inline constexpr std::string_view kStatusSignedIn = "✓ Signed in";
inline constexpr std::string_view kStatusLinkInvalid = "✕ Sign-in link invalid — request a new one";
inline constexpr std::string_view kStatusNoPendingEmail =
    "✕ Enter your email in Settings first, then open the link on this Mac";
inline constexpr std::string_view kStatusExpired = "✕ That sign-in expired — please try again";

inline constexpr std::string_view kPendingEmailKey = "corvane_pending_email_signin";
inline constexpr std::string_view kSessionKeychainName = "session";

// What the flows need from around them; every member has a default.
struct AccountEnvironment {
  HttpSender http;                                          // defaultHttpSender()
  std::function<bool(const std::string& url)> openBrowser;  // openInBrowser()
  std::function<void(std::string_view)> showStatus;         // the installed status presenter
  std::function<void(Task)> runOnMain;                      // waits until it ran (mainQueue().runSync)
  std::function<void(Task)> postToMain;                     // mainQueue().post
  std::function<void*()> window;                            // the panelHost shell hook
  std::shared_ptr<platform::Keychain> keychain;             // Keychain::shared()
  platform::UserDefaults* defaults = nullptr;               // UserDefaults::shared()
  const Clock* clock = nullptr;                             // systemClock()
  Duration signInWait = std::chrono::seconds(180);
  Duration emailWait = std::chrono::seconds(30);
  Duration redeemTimeout = std::chrono::seconds(60);
};

// Opens an address in the user's browser: $BROWSER when set (a command that
// takes the address as its last argument), else xdg-open; does not wait.
bool openInBrowser(const std::string& url);

class AccountService {
 public:
  AccountService(std::optional<AuthConfig> config, AccountEnvironment environment);
  ~AccountService();
  AccountService(const AccountService&) = delete;
  AccountService& operator=(const AccountService&) = delete;

  bool configured() const { return client_ != nullptr; }
  std::optional<AuthUser> currentUser();
  // The signed-in user's identity token (refreshed when it is about to
  // expire, waiting at most `wait`); nullopt when not configured or signed out.
  std::optional<std::string> identityToken(Duration wait);

  Result<AuthUser> signInGoogle();
  Result<AuthUser> signInApple();
  Result<void> signInEmail(std::string_view email);
  void signOut();

  // Every URL the application is asked to open; true when it was a sign-in
  // callback (handled, whatever its outcome).
  bool handleOpenURL(std::string_view url);
  bool handleAppleCallback(std::string_view url);
  void completeEmailLink(std::string_view link);

  // Called (on any thread) whenever the signed-in user changes.
  void setStateListener(std::function<void()> listener);
  // Blocks until callback work started so far (redemptions, link sign-ins) is done.
  void waitForCallbackWork();

  // The process-wide service, configured from auth.json on first use.
  static AccountService& shared();
  static std::shared_ptr<AccountService> sharedPointer();
  // The process-wide service if one was made (makes none).
  static std::shared_ptr<AccountService> existing();
  static void setSharedForTesting(std::shared_ptr<AccountService> service);

 private:
  struct PendingAppleWebFlow {
    std::string state;
    std::string verifier;
    std::function<void(Result<AuthUser>)> completion;
    bool redeeming = false;  // a code redemption has started; later callbacks are ignored
  };

  bool haveWindow();
  void completePending(const std::string& state, Result<AuthUser> result);
  void redeemAppleCode(std::string code, std::string state, std::string verifier);
  Result<AuthUser> finishSignIn(Result<Session> outcome, std::string_view provider);
  void storeSession(std::optional<Session> session);
  void notifyStateChanged();
  void runInBackground(Task task);
  void status(std::string_view text);

  AccountEnvironment env_;
  std::unique_ptr<IdentityClient> client_;

  std::mutex sessionMutex_;
  std::optional<Session> session_;

  std::mutex appleMutex_;
  std::shared_ptr<PendingAppleWebFlow> appleSlot_;

  std::mutex listenerMutex_;
  std::function<void()> listener_;

  std::mutex workMutex_;
  std::condition_variable workCv_;
  int workInFlight_ = 0;
};

// The status presenter (the shell installs the one near the pointer); without
// one, statuses go to the application log.
void setStatusPresenter(std::function<void(std::string_view)> presenter);
void showStatus(std::string_view text);

}  // namespace corvane::account
