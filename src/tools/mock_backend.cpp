// corvane-mock-backend: answers what the desktop program relies on from its
// hosted backend (identity service, Google OAuth pages, the Apple start page
// and code redemption, the e-mail link page, log ingestion, insights), on
// 127.0.0.1 only, and records every request. Control endpoints under /_mock/
// script statuses and delays, read the recorded requests and the e-mail outbox.
//
//   corvane-mock-backend [--port N]     (0, the default, picks a free port)
// prints the port on the first line of stdout once it is listening.
#include <atomic>
#include <csignal>
#include <thread>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <httplib.h>

#include "account/auth_user.h"
#include "core/json.h"
#include "core/url.h"

namespace {

using corvane::Json;

struct Script {
  int status = 0;  // 0: answer normally (after the delay)
  int delayMs = 0;
  std::string body;
  std::string method;  // empty: any
  int times = -1;      // -1: until reset
};

struct State {
  std::mutex mutex;
  Json requests = Json::array();
  Json outbox = Json::array();
  std::map<std::string, Script> scripts;                       // by path
  std::map<std::string, std::string> oobCodes;                 // code -> email
  std::map<std::string, std::pair<std::string, std::string>> appleCodes;   // code -> (state, challenge)
  std::map<std::string, std::string> googleCodes;              // code -> challenge
  std::map<std::string, std::string> refreshTokens;            // refresh token -> uid
  std::string insightsBody =
      R"({"totals":{"thoughts":40,"words":900,"clips":3,"followups":1,"documents":0,"builds":0,"summons":12,"focusSessions":2,"activeDays":9},"days":[{"date":"2026-01-02","thoughts":4,"words":90,"clips":1,"followups":0,"documents":0,"builds":0,"summons":2,"focusSessions":0}]})";
  int serial = 0;
};

State state;
httplib::Server* server = nullptr;
std::atomic<bool> stopRequested{false};

std::string next(const char* prefix) { return std::string(prefix) + std::to_string(++state.serial); }

void sendJson(httplib::Response& res, const Json& body, int status = 200) {
  res.status = status;
  res.set_content(corvane::dumpCompact(body), "application/json");
}

void sendError(httplib::Response& res, const std::string& message, int status = 400) {
  sendJson(res, Json{{"error", Json{{"message", message}}}}, status);
}

Json bodyJson(const httplib::Request& req) {
  auto parsed = corvane::parseJson(req.body);
  return parsed && parsed->is_object() ? *parsed : Json::object();
}

std::string text(const Json& o, const char* key) {
  auto it = o.find(key);
  return it != o.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string siteOf(const httplib::Request& req) { return "http://" + req.get_header_value("Host"); }

Json userAnswer(const std::string& uid, const std::string& email, const std::string& name, const std::string& providerId) {
  std::string refresh = next("refresh-");
  state.refreshTokens[refresh] = uid;
  return Json{{"localId", uid},          {"email", email},       {"displayName", name},
              {"providerId", providerId}, {"idToken", next("id-token-")}, {"refreshToken", refresh},
              {"expiresIn", "3600"}};
}

void installRoutes(httplib::Server& s) {
  // Recording and scripted answers come before the routes.
  s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    if (req.path.rfind("/_mock/", 0) == 0) return httplib::Server::HandlerResponse::Unhandled;
    Script script;
    bool scripted = false;
    {
      std::unique_lock lock(state.mutex);
      auto it = state.scripts.find(req.path);
      if (it != state.scripts.end() && (it->second.method.empty() || it->second.method == req.method)) {
        script = it->second;
        scripted = true;
        if (it->second.times > 0 && --it->second.times == 0) state.scripts.erase(it);
      }
    }
    // A scripted delay (a hung server) ends early when the server is stopped.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(scripted ? script.delayMs : 0);
    while (std::chrono::steady_clock::now() < until && !stopRequested.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (scripted && script.status > 0) {
      res.status = script.status;
      res.set_content(script.body, "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // Every request is recorded once answered (the body is read after the
  // pre-routing step), control requests excepted.
  s.set_post_routing_handler([](const httplib::Request& req, httplib::Response&) {
    if (req.path.rfind("/_mock/", 0) == 0) return;
    Json headers = Json::object();
    for (const auto& [k, v] : req.headers)
      if (k == "Authorization" || k == "Content-Type") headers[k] = v;
    std::string query;
    for (const auto& [k, v] : req.params) query += (query.empty() ? "" : "&") + k + "=" + corvane::percentEncode(v);
    std::lock_guard lock(state.mutex);
    state.requests.push_back(Json{{"method", req.method}, {"path", req.path}, {"query", query},
                                  {"headers", headers}, {"body", req.body}});
  });

  // ---- control
  s.Get("/_mock/requests", [](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(state.mutex);
    sendJson(res, state.requests);
  });
  s.Get("/_mock/outbox", [](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(state.mutex);
    sendJson(res, state.outbox);
  });
  s.Post("/_mock/reset", [](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(state.mutex);
    state.requests = Json::array();
    state.outbox = Json::array();
    state.scripts.clear();
    sendJson(res, nullptr);
  });
  // {"path":"/ingestClientLogs","status":500,"delayMs":0,"body":"","method":"POST","times":-1}
  s.Post("/_mock/script", [](const httplib::Request& req, httplib::Response& res) {
    Json o = bodyJson(req);
    Script script;
    script.status = o.value("status", 0);
    script.delayMs = o.value("delayMs", 0);
    script.body = text(o, "body");
    script.method = text(o, "method");
    script.times = o.value("times", -1);
    std::string path = text(o, "path");
    if (path.empty()) return sendError(res, "path missing");
    std::lock_guard lock(state.mutex);
    state.scripts[path] = script;
    sendJson(res, nullptr);
  });
  // The body GET /insights answers from now on.
  s.Post("/_mock/insights", [](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(state.mutex);
    state.insightsBody = req.body;
    sendJson(res, nullptr);
  });

  // ---- identity service
  s.Post("/identity/accounts:sendOobCode", [](const httplib::Request& req, httplib::Response& res) {
    Json o = bodyJson(req);
    std::string email = text(o, "email");
    if (email.find('@') == std::string::npos) return sendError(res, "INVALID_EMAIL");
    std::lock_guard lock(state.mutex);
    std::string code = next("oob-");
    state.oobCodes[code] = email;
    std::string link = siteOf(req) + "/auth/email-link/?mode=signIn&oobCode=" + code + "&apiKey=" +
                       corvane::percentEncode(req.get_param_value("key"));
    state.outbox.push_back(Json{{"email", email}, {"link", link}, {"continueUrl", text(o, "continueUrl")}});
    sendJson(res, Json{{"email", email}});
  });
  s.Post("/identity/accounts:signInWithEmailLink", [](const httplib::Request& req, httplib::Response& res) {
    Json o = bodyJson(req);
    std::lock_guard lock(state.mutex);
    auto it = state.oobCodes.find(text(o, "oobCode"));
    if (it == state.oobCodes.end()) return sendError(res, "INVALID_OOB_CODE");
    if (it->second != text(o, "email")) return sendError(res, "EMAIL_MISMATCH");
    std::string email = it->second;
    state.oobCodes.erase(it);
    sendJson(res, userAnswer("uid-" + email, email, "", "password"));
  });
  s.Post("/identity/accounts:signInWithIdp", [](const httplib::Request& req, httplib::Response& res) {
    Json o = bodyJson(req);
    std::string provider = text(o, "providerId"), token = text(o, "idToken");
    std::lock_guard lock(state.mutex);
    if (provider == "google.com" && token.rfind("google-id-", 0) == 0)
      return sendJson(res, userAnswer("uid-google-1", "user@gmail.test", "Google User", "google.com"));
    if (provider == "apple.com" && token.rfind("apple-id-", 0) == 0 && !text(o, "rawNonce").empty())
      return sendJson(res, userAnswer("uid-apple-1", "user@privaterelay.test", "", "apple.com"));
    sendError(res, "INVALID_IDP_RESPONSE");
  });
  s.Post("/identity/token", [](const httplib::Request& req, httplib::Response& res) {
    Json o = bodyJson(req);
    std::lock_guard lock(state.mutex);
    auto it = state.refreshTokens.find(text(o, "refresh_token"));
    if (it == state.refreshTokens.end()) return sendError(res, "INVALID_REFRESH_TOKEN");
    sendJson(res, Json{{"id_token", next("id-token-")}, {"refresh_token", it->first}, {"expires_in", "3600"}});
  });

  // ---- Google OAuth (the browser step answers at once with the redirect)
  s.Get("/o/oauth2/auth", [](const httplib::Request& req, httplib::Response& res) {
    std::string redirect = req.get_param_value("redirect_uri");
    auto url = corvane::parseUrl(redirect);
    if (!url || url->scheme != "http" || !corvane::isLoopbackHost(url->host) ||
        req.get_param_value("code_challenge_method") != "S256")
      return sendError(res, "invalid_request");
    std::lock_guard lock(state.mutex);
    std::string code = next("google-code-");
    state.googleCodes[code] = req.get_param_value("code_challenge");
    res.set_redirect(redirect + "?code=" + code + "&state=" + corvane::percentEncode(req.get_param_value("state")));
  });
  s.Post("/o/oauth2/token", [](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(state.mutex);
    auto it = state.googleCodes.find(req.get_param_value("code"));
    if (it == state.googleCodes.end() || corvane::account::codeChallenge(req.get_param_value("code_verifier")) != it->second)
      return sendJson(res, Json{{"error", "invalid_grant"}, {"error_description", "Bad code or verifier."}}, 400);
    state.googleCodes.erase(it);
    sendJson(res, Json{{"id_token", next("google-id-")}, {"access_token", next("google-access-")}});
  });

  // ---- hosted pages
  s.Get("/auth/apple/", [](const httplib::Request& req, httplib::Response& res) {
    std::string st = req.get_param_value("state"), challenge = req.get_param_value("challenge");
    if (st.empty() || challenge.empty()) return sendError(res, "state and challenge required");
    std::lock_guard lock(state.mutex);
    std::string code = next("apple-code-");
    state.appleCodes[code] = {st, challenge};
    res.set_redirect("corvane://auth/apple?state=" + corvane::percentEncode(st) + "&code=" + code);
  });
  s.Get("/auth/email-link/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<!doctype html><p>Open this link on your computer to finish signing in.</p>", "text/html");
  });

  // ---- functions
  s.Post("/redeemNativeAppleCode", [](const httplib::Request& req, httplib::Response& res) {
    Json o = bodyJson(req);
    std::lock_guard lock(state.mutex);
    auto it = state.appleCodes.find(text(o, "code"));
    if (it == state.appleCodes.end() || it->second.first != text(o, "state") ||
        corvane::account::codeChallenge(text(o, "verifier")) != it->second.second)
      return sendError(res, "invalid code");
    state.appleCodes.erase(it);
    sendJson(res, Json{{"appleIdToken", next("apple-id-")}, {"rawNonce", next("nonce-")}});
  });
  s.Post("/ingestClientLogs", [](const httplib::Request& req, httplib::Response& res) {
    auto parsed = corvane::parseJson(req.body);
    if (!parsed || !parsed->is_object()) return sendError(res, "body is not JSON");
    sendJson(res, Json{{"accepted", parsed->value("entries", Json::array()).size()}});
  });
  s.Post("/insights", [](const httplib::Request&, httplib::Response& res) { sendJson(res, Json{{"ok", true}}); });
  s.Get("/insights", [](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(state.mutex);
    res.set_content(state.insightsBody, "application/json");
  });
}

void onSignal(int) {
  stopRequested.store(true);
  if (server) server->stop();
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: corvane-mock-backend [--port N]\n");
      return 2;
    }
  }
  httplib::Server s;
  server = &s;
  installRoutes(s);
  int bound = port == 0 ? s.bind_to_any_port("127.0.0.1") : (s.bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) {
    std::fprintf(stderr, "corvane-mock-backend: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  std::printf("%d\n", bound);
  std::fflush(stdout);
  s.listen_after_bind();
  return 0;
}
