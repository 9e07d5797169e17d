#include <exception>

#include "bridge/command.h"
#include "bridge/validator.h"

namespace corvane::bridge {

void Router::add(HandlerGroup group, std::string command, Handler handler) {
  auto it = handlers_.find(command);
  if (it != handlers_.end() && it->second.group <= group) return;
  handlers_[std::move(command)] = Entry{group, std::move(handler)};
}

bool Router::claims(std::string_view command) const { return handlers_.count(std::string(command)) != 0; }

CommandResult Router::dispatch(std::string_view command, const Json& args) const {
  auto it = handlers_.find(std::string(command));
  if (it == handlers_.end()) return fail("unknown command: " + std::string(command));
  // A handler that throws would take its queue's thread (and the process)
  // down; the page gets the failure instead.
  try {
    return it->second.handler(args);
  } catch (const std::exception& e) {
    return fail(std::string(e.what()));
  } catch (...) {
    return fail("internal error");
  }
}

CommandResult Router::route(std::string_view command, const Json& args) const {
  CORVANE_TRY(IPCValidator::validate(command, args));
  return dispatch(command, args);
}

}  // namespace corvane::bridge
