#pragma once
// What a command handler is: a function from validated arguments to a
// CommandResult, registered with the router under the group that owns it.
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/json.h"
#include "core/result.h"

namespace corvane::bridge {

// Success carries the reply's JSON text ("null" when there is nothing to
// return); failure carries the message the page shows.
using CommandResult = Result<std::string>;

inline CommandResult replyNull() { return std::string("null"); }
inline CommandResult replyJson(const Json& value) { return dumpCompact(value); }

using Handler = std::function<CommandResult(const Json& args)>;

// Handler groups in routing order.
enum class HandlerGroup {
  WindowAndUpdates,
  Notes,          // notes, media, notification log, folder choice, import
  Ai,
  Settings,
  StatsAndAccount,
  Bindings,
  Capture,        // capture, onboarding and permissions
  AccountSignIn,  // account sign-in and the biometric setting
};

class Router {
 public:
  // Registers a handler; a command claimed by an earlier group keeps that owner.
  void add(HandlerGroup group, std::string command, Handler handler);
  // Validates, then runs the owning handler; "unknown command: <name>" when no
  // group claims a command the validator knows.
  CommandResult route(std::string_view command, const Json& args) const;
  // Runs the handler without validating (for callers that validated already).
  CommandResult dispatch(std::string_view command, const Json& args) const;
  bool claims(std::string_view command) const;

 private:
  struct Entry {
    HandlerGroup group;
    Handler handler;
  };
  std::unordered_map<std::string, Entry> handlers_;
};

}  // namespace corvane::bridge
