#pragma once
#include <string_view>

namespace corvane::bridge {

// The page-side half of the bridge, injected into the main frame at document
// start. It does nothing when window.__TAURI__ already exists; otherwise it
// defines window.__cvResolve(id, ok, payload) (settles the pending call, if
// any), window.__cvEmit(name, payload) (calls each listener with {payload}),
// and window.__TAURI__ = {core: {invoke}, event: {listen, emit}}, where invoke
// posts {callId, cmd, args} to window.webkit.messageHandlers.corvane.
extern const std::string_view kBootstrapScript;

// The name of the script-message handler the page posts to.
inline constexpr std::string_view kScriptMessageHandlerName = "corvane";

}  // namespace corvane::bridge
