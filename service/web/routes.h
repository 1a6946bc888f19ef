// Every path the web server answers, declared once: for each, the methods it takes with their
// handler and the access each needs. A path it does not know is 404, a method its path does not
// take 405 with an Allow header. Finding a route is a pure function of the path and the method.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/access.h"
#include "web/http_helpers.h"

namespace kalvix3d::web {

class HttpSession;
struct ServerState;

// One request on its way to its handler, with what the handler needs to answer it.
struct Exchange {
    ServerState &state;
    std::shared_ptr<HttpSession> http; // the connection it came on, which sends the answer
    const Request &request;
    std::string path; // the target before '?', as sent
    Query query;
    Who who;
    std::string slot; // what {slot} in the route's path stood for
};

using Handler = void (*)(Exchange &);

struct MethodRoute {
    http::verb verb;
    Handler handler;
    Access access;
};

// A path is exact ("/api/calls"), a pattern whose {slot} stands for one segment
// ("/api/lines/{slot}/history"), or kPageFiles.
struct Route {
    std::string_view path;
    std::vector<MethodRoute> methods;
    std::string_view otherMethod = "not with this method"; // the words of the 405
};

// Every path outside /api/: the page's files, which their handler looks up itself.
inline constexpr std::string_view kPageFiles = "*";

const std::vector<Route> &routes();

struct RouteMatch {
    const Route *route = nullptr;        // null: no such path
    const MethodRoute *method = nullptr; // null with a route: not with this method
    std::string slot;
};
RouteMatch findRoute(std::string_view path, http::verb verb,
                     const std::vector<Route> &table = routes());

// The Allow header of a route: "GET, PUT, DELETE".
std::string allowedMethods(const Route &route);

// Checks the host and the access, then runs the handler or answers 404 / 405.
void handleRequest(ServerState &state, std::shared_ptr<HttpSession> http, const Request &request);

} // namespace kalvix3d::web
