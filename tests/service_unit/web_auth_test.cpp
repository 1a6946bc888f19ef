// Who may use the web page: sessions, what a request must carry for the access its route needs,
// the loopback rule without a password, and the limit on failed logins.
#include <gtest/gtest.h>

#include "web/access.h"
#include "web/auth.h"

namespace {

using namespace kalvix3d;
using namespace kalvix3d::web;

const std::string kDisplayToken(32, 'd');

WebConfig webConfig(std::string passwordHash) {
    WebConfig config;
    config.passwordHash = std::move(passwordHash);
    config.displayToken = kDisplayToken;
    return config;
}

TEST(WebAuth, SessionsAreFoundUntilRemoved) {
    Auth auth(webConfig("hash"));
    std::string full = auth.create(Role::full).id;
    Session &display = auth.create(Role::display);
    EXPECT_EQ(display.csrf.size(), 64u);
    EXPECT_NE(display.csrf, display.id);
    ASSERT_NE(auth.find(full), nullptr);
    EXPECT_EQ(auth.find(full)->role, Role::full);
    auth.remove(full);
    EXPECT_EQ(auth.find(full), nullptr);
    ASSERT_NE(auth.find(display.id), nullptr);
    EXPECT_EQ(auth.find(display.id)->role, Role::display);
    EXPECT_EQ(auth.find(""), nullptr);
}

TEST(WebAuth, TheLeastRecentlyUsedSessionGoesWhenTheyAreAtTheirBound) {
    Auth auth(webConfig("hash"));
    std::string first = auth.create(Role::full).id;
    std::string second = auth.create(Role::full).id;
    for (std::size_t i = 2; i < Auth::kMaxSessions; ++i)
        auth.create(Role::full);
    ASSERT_NE(auth.find(first), nullptr); // now the most recently used
    auth.create(Role::full);
    EXPECT_NE(auth.find(first), nullptr);
    EXPECT_EQ(auth.find(second), nullptr);
}

TEST(WebAuth, ARequestCarriesWhatItsAccessNeeds) {
    Auth auth(webConfig("hash"));
    Session full = auth.create(Role::full);
    Session display = auth.create(Role::display);
    enum Sender { nobody, fullCookie, displayCookie, staleCookie, bearer, wrongBearer };
    enum Token { noToken, rightToken, wrongToken };
    struct Case {
        Access access;
        Sender sender;
        Token token;
        unsigned status; // 0: allowed
    } cases[] = {
        {Access::anyone, nobody, noToken, 0},
        {Access::watch, nobody, noToken, 401},
        {Access::watch, staleCookie, noToken, 401},
        {Access::watch, wrongBearer, noToken, 401},
        {Access::watch, bearer, noToken, 0},
        {Access::watch, displayCookie, noToken, 0},
        {Access::full, nobody, rightToken, 401},
        {Access::full, fullCookie, rightToken, 0},
        {Access::full, fullCookie, noToken, 403},
        {Access::full, fullCookie, wrongToken, 403},
        {Access::full, displayCookie, rightToken, 403},
        {Access::full, bearer, noToken, 403},
        {Access::session, displayCookie, rightToken, 0},
        {Access::session, displayCookie, wrongToken, 403},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "access " << static_cast<int>(c.access) << ", sender "
                                        << c.sender << ", token " << c.token);
        Request request{http::verb::post, "/api/dial", 11};
        const Session *session = c.sender == fullCookie      ? &full
                                 : c.sender == displayCookie ? &display
                                                             : nullptr;
        if (session)
            request.set(http::field::cookie, std::string("a=b; ") + kSessionCookie + "=" + session->id);
        if (c.sender == staleCookie)
            request.set(http::field::cookie, std::string(kSessionCookie) + "=" + std::string(64, 'f'));
        if (c.sender == bearer || c.sender == wrongBearer)
            request.set(http::field::authorization,
                        "Bearer " + (c.sender == bearer ? kDisplayToken : std::string(32, 'x')));
        if (c.token != noToken)
            request.set("X-CSRF-Token", c.token == rightToken && session
                                            ? session->csrf
                                            : std::string(64, c.token == rightToken ? '0' : 'f'));
        auto refused = refusal(c.access, whoSent(auth, request), request);
        EXPECT_EQ(refused ? static_cast<unsigned>(refused->result_int()) : 0u, c.status);
    }
}

TEST(WebAuth, WithoutAPasswordOnlyLoopbackNamesAreServed) {
    Auth open(webConfig("")), guarded(webConfig("hash"));
    struct Case {
        const char *host;
        bool open, guarded;
    } cases[] = {
        {"127.0.0.1:8380", true, true}, {"localhost:8380", true, true}, {"[::1]:8380", true, true},
        {"localhost", true, true},      {"192.168.1.20:8380", false, true},
        {"example.com", false, true},   {"", false, true},
        {"127.0.0.2", true, true},      {"127.attacker.example", false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        Request request{http::verb::get, "/", 11};
        request.set(http::field::host, c.host);
        EXPECT_EQ(hostAllowed(open, request), c.open);
        EXPECT_EQ(hostAllowed(guarded, request), c.guarded);
    }
}

TEST(WebAuth, FailedLoginsWaitAfterFiveFromOneAddressAndASuccessClears) {
    Auth auth(webConfig("hash"));
    enum Event { failure, success, none };
    struct Step {
        Event event;
        const char *address;
        bool waits; // what waitSeconds() says of that address afterwards
    } steps[] = {
        {failure, "192.0.2.1", false}, {failure, "192.0.2.1", false}, {failure, "192.0.2.1", false},
        {failure, "192.0.2.1", false}, {failure, "192.0.2.1", true},  {none, "192.0.2.2", false},
        {failure, "192.0.2.2", false}, {none, "192.0.2.1", true},     {success, "192.0.2.1", false},
        {failure, "192.0.2.1", false},
    };
    int number = 0;
    for (const Step &step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << ++number);
        if (step.event == failure)
            auth.failed(step.address);
        if (step.event == success)
            auth.succeeded(step.address);
        int wait = auth.waitSeconds(step.address);
        EXPECT_EQ(wait > 0, step.waits);
        EXPECT_LE(wait, 60);
    }
}

} // namespace
