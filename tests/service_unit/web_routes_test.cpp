// The web server's route table: which handler a path and a method reach, and which get 404 or
// 405 with their Allow header.
#include <set>

#include <gtest/gtest.h>

#include "web/api.h"
#include "web/routes.h"

namespace {

using namespace kalvix3d::web;
using http::verb;

struct Case {
    verb method;
    const char *path;
    Handler handler;   // null: 404 or 405
    const char *allow; // null: 404; else the Allow header of the 405 (or "" when handled)
    const char *slot = "";
};

TEST(WebRoutes, PathAndMethodFindTheirHandlerOrTheirRefusal) {
    const Case cases[] = {
        {verb::post, "/api/login", login, ""},
        {verb::get, "/api/calls", listCalls, ""},
        {verb::get, "/api/calls.csv", exportCalls, ""},
        {verb::delete_, "/api/phonebook", removeName, ""},
        {verb::post, "/api/phonebook.csv", importPhonebook, ""},
        {verb::patch, "/api/phonebook", nullptr, "GET, PUT, DELETE"},
        {verb::head, "/api/lines", nullptr, "GET"},
        {verb::post, "/api/lines/1/history", importHistory, "", "1"},
        {verb::post, "/api/lines/x/history", importHistory, "", "x"}, // the handler says 404
        {verb::get, "/api/lines/0/history", nullptr, "POST"},
        {verb::post, "/api/lines//history", nullptr, nullptr},
        {verb::post, "/api/lines/0/1/history", nullptr, nullptr},
        {verb::get, "/api/lines/0", nullptr, nullptr},
        {verb::get, "/api/nothing", nullptr, nullptr},
        {verb::get, "/api/", nullptr, nullptr},
        // Outside /api/ every path is the page's files; their handler knows which exist.
        {verb::get, "/app.js", serveFile, ""},
        {verb::head, "/", serveFile, ""},
        {verb::get, "/api", serveFile, ""},
        {verb::get, "/../../etc/passwd", serveFile, ""},
        {verb::post, "/index.html", nullptr, "GET, HEAD"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(http::to_string(c.method)) + " " + c.path);
        RouteMatch match = findRoute(c.path, c.method);
        if (!c.allow) {
            EXPECT_EQ(match.route, nullptr);
            continue;
        }
        ASSERT_NE(match.route, nullptr);
        if (!c.handler) {
            EXPECT_EQ(match.method, nullptr);
            EXPECT_EQ(allowedMethods(*match.route), c.allow);
            continue;
        }
        ASSERT_NE(match.method, nullptr);
        EXPECT_EQ(match.method->handler, c.handler);
        EXPECT_EQ(match.slot, c.slot);
    }
}

// A path declared twice would leave the second entry's methods unreachable.
TEST(WebRoutes, EachPathIsDeclaredOnce) {
    std::set<std::string_view> paths;
    for (const Route &route : routes())
        EXPECT_TRUE(paths.insert(route.path).second) << route.path;
}

} // namespace
