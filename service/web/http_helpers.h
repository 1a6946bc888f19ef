// The HTTP pieces every part of the web page shares: responses with the security headers, JSON
// bodies, the query of a target, cookies, and the host a request was sent to. No state.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

namespace kalvix3d::web {

namespace http = boost::beast::http;
using json = nlohmann::json;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using Query = std::map<std::string, std::string>;

// Text that is not UTF-8 is replaced rather than thrown on: a name from a device may hold anything.
std::string dumpJson(const json &value);

// A response with the headers every answer carries (no caching, no sniffing, no framing, the
// content security policy).
Response make(http::status status, std::string body, const char *type);
Response jsonResponse(http::status status, const json &value);
// {"error": why}
Response problem(http::status status, const std::string &why);

// "a+b%20c" -> "a b c"; a '%' not followed by two hex digits stays as it is.
std::string percentDecoded(std::string_view text);
// The part of a target after '?': each name=value percent-decoded; a name without '=' has "".
Query queryOf(std::string_view query);

// The value of the cookie `name` the request carries, or "".
std::string cookieOf(const Request &request, std::string_view name);
// Sets the cookie `name` for the whole site, out of reach of scripts and of other sites' requests;
// `expire` deletes it.
void setCookie(Response &response, std::string_view name, const std::string &value, bool expire);

// A JSON body must say so: a form of another site cannot send this type without the browser
// asking first (CORS), which this server never allows.
bool isJson(const Request &request);

// The host name the request was sent to, without the port ("[::1]" keeps its brackets).
std::string hostOf(const Request &request);
// localhost, [::1] or an address 127.a.b.c (not a name that begins with 127.)
bool isLoopbackHost(const std::string &host);

} // namespace kalvix3d::web
