#include "web/access.h"

#include <sodium.h>

namespace kalvix3d::web {

namespace {

bool sameSecret(std::string_view a, std::string_view b) {
    return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

Who whoSent(Auth &auth, const Request &request) {
    Who who;
    if (std::string id = cookieOf(request, kSessionCookie); !id.empty())
        if ((who.session = auth.find(id)))
            who.role = who.session->role;
    if (who.role == Role::none) {
        auto header = request[http::field::authorization];
        std::string_view text(header.data(), header.size());
        if (text.rfind("Bearer ", 0) == 0 && auth.isDisplayToken(text.substr(7)))
            who.role = Role::display;
    }
    return who;
}

bool hostAllowed(const Auth &auth, const Request &request) {
    return auth.passwordRequired() || isLoopbackHost(hostOf(request));
}

Response wrongHost() {
    return problem(http::status::forbidden,
                   "without a password the page answers only to a loopback name "
                   "(127.0.0.1, localhost)");
}

std::optional<Response> refusal(Access needed, const Who &who, const Request &request) {
    if (needed == Access::anyone)
        return std::nullopt;
    if (who.role == Role::none)
        return problem(http::status::unauthorized, "log in first");
    if (needed == Access::watch)
        return std::nullopt;
    // The token is sent in a header, which a form or a link of another site cannot set.
    auto header = request["X-CSRF-Token"];
    if (!who.session ||
        !sameSecret(std::string_view(header.data(), header.size()), who.session->csrf))
        return problem(http::status::forbidden, "the CSRF token is missing or wrong");
    if (needed == Access::full && who.role != Role::full)
        return problem(http::status::forbidden, "the display token can only watch");
    return std::nullopt;
}

} // namespace kalvix3d::web
