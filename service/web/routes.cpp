#include "web/routes.h"

#include "web/api.h"
#include "web/http_session.h"
#include "web/server_state.h"

namespace kalvix3d::web {

namespace {

using http::verb;

bool changes(verb method) { return method != verb::get && method != verb::head; }

// Does the path match the route's path, and what did {slot} stand for?
bool matches(std::string_view pattern, std::string_view path, std::string &slot) {
    constexpr std::string_view kSlot = "{slot}";
    auto at = pattern.find(kSlot);
    if (at == std::string_view::npos)
        return pattern == path;
    std::string_view before = pattern.substr(0, at), after = pattern.substr(at + kSlot.size());
    if (path.size() <= before.size() + after.size() || !path.starts_with(before) ||
        !path.ends_with(after))
        return false;
    std::string_view segment = path.substr(before.size(), path.size() - before.size() - after.size());
    if (segment.find('/') != std::string_view::npos)
        return false;
    slot = segment;
    return true;
}

// What a request that no handler takes must show before it hears 404 or 405: nothing for the
// page's files; under /api/ what the API asks by default, so that a visitor without a session
// learns nothing of its endpoints.
Access accessOf(const RouteMatch &match, verb method) {
    if (match.method)
        return match.method->access;
    if (match.route && match.route->path == kPageFiles)
        return Access::anyone;
    return changes(method) ? Access::full : Access::watch;
}

} // namespace

const std::vector<Route> &routes() {
    static const std::vector<Route> table = {
        {"/api/login", {{verb::post, login, Access::anyone}}},
        {"/api/session", {{verb::get, sessionInfo, Access::anyone}}},
        {"/api/logout", {{verb::post, logout, Access::session}}},
        {"/api/events", {{verb::get, openEventStream, Access::watch}}},
        {"/api/lines", {{verb::get, listLines, Access::watch}}},
        {"/api/lines/{slot}/history", {{verb::post, importHistory, Access::full}}},
        {"/api/calls", {{verb::get, listCalls, Access::watch}}},
        {"/api/calls.csv", {{verb::get, exportCalls, Access::watch}}},
        {"/api/phonebook",
         {{verb::get, listPhonebook, Access::watch},
          {verb::put, putName, Access::full},
          {verb::delete_, removeName, Access::full}},
         "GET, PUT or DELETE"},
        {"/api/phonebook.csv",
         {{verb::get, exportPhonebook, Access::watch}, {verb::post, importPhonebook, Access::full}},
         "GET or POST"},
        {"/api/dial", {{verb::post, dial, Access::full}}},
        // The files say themselves which need a session.
        {kPageFiles,
         {{verb::get, serveFile, Access::anyone}, {verb::head, serveFile, Access::anyone}},
         "only GET here"},
    };
    return table;
}

RouteMatch findRoute(std::string_view path, verb method, const std::vector<Route> &table) {
    RouteMatch match;
    bool api = path.starts_with("/api/");
    for (const Route &route : table) {
        bool found = route.path == kPageFiles ? !api : matches(route.path, path, match.slot);
        if (!found)
            continue;
        match.route = &route;
        for (const MethodRoute &candidate : route.methods)
            if (candidate.verb == method)
                match.method = &candidate;
        break;
    }
    return match;
}

std::string allowedMethods(const Route &route) {
    std::string allow;
    for (const MethodRoute &method : route.methods)
        allow += (allow.empty() ? "" : ", ") + std::string(http::to_string(method.verb));
    return allow;
}

void handleRequest(ServerState &state, std::shared_ptr<HttpSession> http, const Request &request) {
    if (!hostAllowed(state.auth, request))
        return http->send(wrongHost());
    std::string_view target(request.target().data(), request.target().size());
    auto mark = target.find('?');
    Exchange x{state,
               http,
               request,
               std::string(target.substr(0, mark)),
               queryOf(mark == std::string_view::npos ? "" : target.substr(mark + 1)),
               whoSent(state.auth, request),
               {}};
    RouteMatch match = findRoute(x.path, request.method());
    if (auto refused = refusal(accessOf(match, request.method()), x.who, request))
        return http->send(std::move(*refused));
    if (!match.route)
        return http->send(problem(http::status::not_found, "no such endpoint"));
    if (!match.method) {
        Response response =
            problem(http::status::method_not_allowed, std::string(match.route->otherMethod));
        response.set(http::field::allow, allowedMethods(*match.route));
        return http->send(std::move(response));
    }
    x.slot = std::move(match.slot);
    match.method->handler(x);
}

} // namespace kalvix3d::web
