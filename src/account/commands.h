#pragma once
// The account's bridge commands and its entry points for the front ends.
#include <string>
#include <string_view>

#include "bridge/command.h"
#include "core/json.h"

namespace corvane::account {

// {"enabled","signedIn","email","provider","biometric"}.
Json accountObject();

// Registers "sign_in_google", "sign_in_apple", "sign_in_email", "sign_out"
// (account sign-in group) and "get_account", "refresh_account" (statistics and
// account group). "set_biometric_unlock" is the settings commands' own.
void installAccountCommands(bridge::Router& router);

// Start-up work of a long-running front end: configures the account from
// auth.json, announces user changes as "account:updated", installs the log
// upload and starts the cloud insights sync.
void startAccountServices();

// The entry for URL open events (corvane://auth/apple, corvane://auth/email):
// the desktop shell calls it for every URL it is asked to open, on the main
// thread. True when the URL was a sign-in callback; the work it starts runs in
// the background and reports through the status presenter.
bool handleOpenURL(std::string_view url);

// Quit: waits at most 2 seconds for a final cloud sync pass, and for callback
// work (a code redemption, a link sign-in) already under way.
void finishAccountWork();

// corvane-cli open-url URL: hands a URL to handleOpenURL as the shell would and
// waits for what it started.
int runOpenUrlCommand(const std::vector<std::string>& args);

}  // namespace corvane::account
