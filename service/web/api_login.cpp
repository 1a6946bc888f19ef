// Logging in (the password, or the display token of a wall screen), out, and what the page
// learns of its session.
#include <sodium.h>

#include "log.h"
#include "web/api.h"
#include "web/http_session.h"
#include "web/server_state.h"

namespace kalvix3d::web {

namespace {

constexpr int kMaxLoginsVerifying = 2; // Argon2id takes 64 MiB and a good part of a second each

void granted(ServerState &state, HttpSession &http, Role role) {
    state.auth.succeeded(http.address());
    Session &session = state.auth.create(role);
    Response response =
        jsonResponse(http::status::ok, {{"role", roleName(role)}, {"csrf", session.csrf}});
    setCookie(response, kSessionCookie, session.id, false);
    http.send(std::move(response));
}

void denied(ServerState &state, HttpSession &http, const char *why) {
    state.auth.failed(http.address());
    logLine(Priority::warning, "web: failed login from " + http.address());
    http.send(problem(http::status::unauthorized, why));
}

Response limited(const std::string &why, const std::string &seconds) {
    Response response = problem(http::status::too_many_requests, why);
    response.set(http::field::retry_after, seconds);
    return response;
}

// The password is checked on the worker: it takes a while, and two at most at once.
void verifyPassword(ServerState &state, std::shared_ptr<HttpSession> http, std::string given) {
    if (state.loginsVerifying >= kMaxLoginsVerifying) {
        Response response = problem(http::status::service_unavailable,
                                    "other logins are being checked: try again");
        response.set(http::field::retry_after, "1");
        return http->send(std::move(response));
    }
    ++state.loginsVerifying;
    boost::asio::post(state.loop.worker(), [&state, http, hash = state.auth.hash(),
                                            given = std::move(given)]() mutable {
        bool good = Auth::verifyPassword(hash, given);
        sodium_memzero(given.data(), given.size());
        state.loop.post([&state, http, good] {
            --state.loginsVerifying;
            if (http->isClosed())
                return;
            if (good)
                granted(state, *http, Role::full);
            else
                denied(state, *http, "the password is wrong");
        });
    });
}

} // namespace

void login(Exchange &x) {
    ServerState &state = x.state;
    if (int wait = state.auth.waitSeconds(x.http->address()); wait > 0)
        return x.http->send(limited("too many failed logins: try again in " + std::to_string(wait) +
                                     " s",
                                 std::to_string(wait)));
    json body = json::parse(x.request.body(), nullptr, false);
    if (!isJson(x.request) || !body.is_object())
        return x.http->send(problem(http::status::bad_request,
                                    "send {\"password\": \"...\"} as application/json"));
    if (body.contains("displayToken")) {
        const json &token = body["displayToken"];
        if (token.is_string() && state.auth.isDisplayToken(token.get<std::string>()))
            return granted(state, *x.http, Role::display);
        return denied(state, *x.http, "the display token is wrong");
    }
    const json &password = body.value("password", json());
    if (!password.is_string())
        return x.http->send(problem(http::status::bad_request, "send {\"password\": \"...\"}"));
    if (!state.auth.passwordRequired())
        return granted(state, *x.http, Role::full);
    verifyPassword(state, x.http, password.get<std::string>());
}

void logout(Exchange &x) {
    x.state.auth.remove(x.who.session->id);
    Response response = jsonResponse(http::status::ok, {{"ok", true}});
    setCookie(response, kSessionCookie, "", true);
    x.http->send(std::move(response));
}

void sessionInfo(Exchange &x) {
    const Auth &auth = x.state.auth;
    if (x.who.role == Role::none)
        return x.http->send(jsonResponse(
            http::status::unauthorized,
            {{"error", "log in first"}, {"passwordRequired", auth.passwordRequired()}}));
    x.http->send(jsonResponse(http::status::ok,
                              {{"role", roleName(x.who.role)},
                               {"csrf", x.who.session ? x.who.session->csrf : ""},
                               {"site", x.state.config.site},
                               {"passwordRequired", auth.passwordRequired()}}));
}

} // namespace kalvix3d::web
