// Who sent a request and whether they may make it: the session cookie or the display token as a
// Bearer token, the CSRF token of a request that changes something, and the rule that without a
// password only loopback names are served.
#pragma once

#include <optional>

#include "web/auth.h"
#include "web/http_helpers.h"

namespace kalvix3d::web {

inline constexpr const char *kSessionCookie = "kalvix3d_session";

// What a request needs before its handler runs.
enum class Access {
    anyone,  // no session: the login and what it needs
    watch,   // a session, or the display token as a Bearer token
    session, // a session and its CSRF token, of either role (logging out)
    full,    // a session of the full role and its CSRF token: everything that changes something
};

struct Who {
    Session *session = nullptr; // the session of the cookie, if it is live
    Role role = Role::none;
};

Who whoSent(Auth &auth, const Request &request);

// Without a password the page answers only to a loopback name: a page of another site whose name
// is made to resolve to 127.0.0.1 (DNS rebinding) sends its own name.
bool hostAllowed(const Auth &auth, const Request &request);
// The 403 of a request hostAllowed() refuses.
Response wrongHost();

// The answer refusing `who` a request that needs `needed`, or nullopt when they may make it.
std::optional<Response> refusal(Access needed, const Who &who, const Request &request);

} // namespace kalvix3d::web
