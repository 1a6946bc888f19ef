// The web server's route table: which handler a path and a method reach, and which get 404 or
// 405 with their Allow header; and what a handler's failure is answered with.
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "store/call_store.h"
#include "web/api.h"
#include "web/http_session.h"
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

// What the store says of its file goes to the service's log, never to the browser.
TEST(WebRoutes, AFailureIsAnsweredByItsKind) {
    using kalvix3d::StoreError;
    using kalvix3d::StoreFault;
    const std::string path = "the call database /var/lib/kalvix3d/calls.db";
    struct Case {
        std::exception_ptr failure;
        unsigned status;
        const char *retryAfter;
        bool logged;
    } cases[] = {
        {std::make_exception_ptr(StoreError(StoreFault::badInput, "the name for 031 is empty")),
         400, "", false},
        {std::make_exception_ptr(StoreError(StoreFault::busy, path + ": database is locked")), 503,
         "1", true},
        {std::make_exception_ptr(StoreError(StoreFault::io, path + ": disk I/O error")), 500, "",
         true},
        {std::make_exception_ptr(std::runtime_error(path + ": SELECT failed")), 500, "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        testing::internal::CaptureStderr();
        Response response = answerToFailure(c.failure);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(response.result_int(), c.status);
        EXPECT_EQ(response[http::field::retry_after], c.retryAfter);
        EXPECT_EQ(response.body().find("/var/lib"), std::string::npos) << response.body();
        EXPECT_EQ(log.find("/var/lib") != std::string::npos, c.logged) << log;
    }
    Response badInput = answerToFailure(cases[0].failure);
    EXPECT_EQ(badInput.body(), R"({"error":"the name for 031 is empty"})");
}

} // namespace
