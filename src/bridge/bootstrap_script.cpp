#include "bridge/bootstrap_script.h"

namespace corvane::bridge {

// Maps are prototype-free objects so that names such as "constructor" or
// "__proto__" are ordinary keys. Listeners are copied before a dispatch so a
// callback that unlistens does not make the loop skip its neighbour.
const std::string_view kBootstrapScript = R"JS((function () {
  if (window.__TAURI__) return;
  var pending = Object.create(null);
  var nextId = 1;
  var listeners = Object.create(null);
  window.__cvResolve = function (id, ok, payload) {
    var entry = pending[id];
    if (!entry) return;
    delete pending[id];
    if (ok) entry.resolve(payload); else entry.reject(payload);
  };
  window.__cvEmit = function (name, payload) {
    var list = listeners[name];
    if (!list) return;
    list = list.slice();
    for (var i = 0; i < list.length; i++) {
      try { list[i]({ payload: payload }); } catch (e) { console.error(e); }
    }
  };
  function invoke(cmd, args) {
    return new Promise(function (resolve, reject) {
      var id = nextId++;
      pending[id] = { resolve: resolve, reject: reject };
      try {
        window.webkit.messageHandlers.corvane.postMessage({ callId: id, cmd: cmd, args: args || {} });
      } catch (e) {
        delete pending[id];
        reject(String(e));
      }
    });
  }
  function listen(name, cb) {
    (listeners[name] || (listeners[name] = [])).push(cb);
    return Promise.resolve(function () {
      var list = listeners[name];
      if (!list) return;
      var i = list.indexOf(cb);
      if (i >= 0) list.splice(i, 1);
    });
  }
  window.__TAURI__ = {
    core: { invoke: invoke },
    event: { listen: listen, emit: function () { return Promise.resolve(); } }
  };
})();
)JS";

}  // namespace corvane::bridge
