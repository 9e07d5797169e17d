#include "account/commands.h"

#include <cstdio>
#include <mutex>
#include <thread>

#include "account/account_service.h"
#include "account/log_upload.h"
#include "bridge/shell_hooks.h"
#include "core/queue.h"
#include "insights/cloud_ledger.h"
#include "records/settings.h"

namespace corvane::account {

namespace {
using bridge::CommandResult;
using G = bridge::HandlerGroup;

template <class T>
CommandResult reply(const Result<T>& result) {
  if (!result) return fail(result.error());
  if constexpr (std::is_same_v<T, void>) return bridge::replyNull();
  else return bridge::replyJson(toJson(*result));
}

void linkCloudLedger() {
  insights::CloudAccountLink link;
  link.signedIn = [] { return AccountService::shared().currentUser().has_value(); };
  link.identityToken = [](Duration wait) { return AccountService::shared().identityToken(wait); };
  link.accountObjectJson = [] { return dumpCompact(accountObject()); };
  insights::CloudLedger::shared().setAccountLink(std::move(link));
}

void linkOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    AccountService::shared().setStateListener([] { bridge::emitEvent("account:updated", dumpCompact(accountObject())); });
    linkCloudLedger();
  });
}
}  // namespace

Json accountObject() {
  insights::CloudConfig cloud = insights::loadCloudConfig();
  auto user = AccountService::shared().currentUser();
  Json o = Json::object();
  o["enabled"] = cloud.enabled;
  o["signedIn"] = user.has_value() || !cloud.authToken.empty();
  o["email"] = user ? user->email : std::string();
  o["provider"] = user ? user->provider : std::string();
  o["biometric"] = records::Settings::load().requireBiometricUnlock;
  return o;
}

void installAccountCommands(bridge::Router& router) {
  router.add(G::AccountSignIn, "sign_in_google", [](const Json&) {
    linkOnce();
    return reply(AccountService::shared().signInGoogle());
  });
  router.add(G::AccountSignIn, "sign_in_apple", [](const Json&) {
    linkOnce();
    return reply(AccountService::shared().signInApple());
  });
  router.add(G::AccountSignIn, "sign_in_email", [](const Json& args) {
    const Json* email = member(args, "email");
    std::string text = email && email->is_string() ? email->get<std::string>() : std::string();
    return reply(AccountService::shared().signInEmail(text));
  });
  router.add(G::AccountSignIn, "sign_out", [](const Json&) {
    linkOnce();
    AccountService::shared().signOut();
    return bridge::replyNull();
  });
  router.add(G::StatsAndAccount, "get_account", [](const Json&) { return bridge::replyJson(accountObject()); });
  router.add(G::StatsAndAccount, "refresh_account", [](const Json&) {
    linkOnce();
    insights::CloudLedger::shared().refreshNow(std::chrono::seconds(22));
    return bridge::replyJson(accountObject());
  });
}

void startAccountServices() {
  linkOnce();
  installLogUpload();
  insights::CloudLedger::shared().startSync();
}

bool handleOpenURL(std::string_view url) {
  linkOnce();
  return AccountService::shared().handleOpenURL(url);
}

void finishAccountWork() {
  insights::CloudLedger::flushShared(std::chrono::seconds(2));
  if (auto service = AccountService::existing()) service->waitForCallbackWork();
}

int runOpenUrlCommand(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fputs("usage: corvane-cli open-url URL\n", stderr);
    return 2;
  }
  std::string url = args[0];
  bool handled = false;
  // The URL arrives on the main thread, as from the shell; the work it starts
  // finishes before the statuses it posted are shown and the process ends.
  mainQueue().post([&] {
    handled = handleOpenURL(url);
    std::thread([] {
      AccountService::shared().waitForCallbackWork();
      mainQueue().post([] { mainQueue().quit(); });
    }).detach();
  });
  mainQueue().run();
  while (mainQueue().runReady() == Duration(0)) {
  }
  if (!handled) {
    std::fprintf(stderr, "corvane-cli: not a sign-in address: %s\n", url.c_str());
    return 1;
  }
  return 0;
}

}  // namespace corvane::account
