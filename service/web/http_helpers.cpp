#include "web/http_helpers.h"

#include <cctype>

#include <boost/asio/ip/address_v4.hpp>

namespace kalvix3d::web {

std::string dumpJson(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Response make(http::status status, std::string body, const char *type) {
    Response response{status, 11};
    response.set(http::field::server, "kalvix3d");
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Referrer-Policy", "no-referrer");
    response.set("X-Frame-Options", "DENY");
    response.set("Content-Security-Policy",
                 "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
                 "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

Response jsonResponse(http::status status, const json &value) {
    return make(status, dumpJson(value), "application/json; charset=utf-8");
}

Response problem(http::status status, const std::string &why) {
    return jsonResponse(status, json{{"error", why}});
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

Query queryOf(std::string_view query) {
    Query values;
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        auto eq = pair.find('=');
        if (eq != std::string_view::npos)
            values[percentDecoded(pair.substr(0, eq))] = percentDecoded(pair.substr(eq + 1));
        else if (!pair.empty())
            values[percentDecoded(pair)] = "";
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return values;
}

std::string cookieOf(const Request &request, std::string_view name) {
    auto header = request[http::field::cookie];
    std::string_view text(header.data(), header.size());
    while (!text.empty()) {
        auto semi = text.find(';');
        std::string_view part = text.substr(0, semi);
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        if (part.size() > name.size() && part.substr(0, name.size()) == name &&
            part[name.size()] == '=')
            return std::string(part.substr(name.size() + 1));
        if (semi == std::string_view::npos)
            break;
        text.remove_prefix(semi + 1);
    }
    return "";
}

void setCookie(Response &response, std::string_view name, const std::string &value, bool expire) {
    response.set(http::field::set_cookie, std::string(name) + "=" + value +
                                              "; Path=/; HttpOnly; SameSite=Strict" +
                                              (expire ? "; Max-Age=0" : ""));
}

bool isJson(const Request &request) {
    auto type = request[http::field::content_type];
    return std::string_view(type.data(), type.size()).rfind("application/json", 0) == 0;
}

std::string hostOf(const Request &request) {
    auto header = request[http::field::host];
    std::string host(header.data(), header.size());
    if (!host.empty() && host.front() == '[')
        return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

bool isLoopbackHost(const std::string &host) {
    if (host == "localhost" || host == "[::1]")
        return true;
    // An address 127.a.b.c, never a name that merely begins so ("127.example.com" may resolve
    // anywhere, and a page of that site would be served as if it came from this machine).
    boost::system::error_code error;
    auto address = boost::asio::ip::make_address_v4(host, error);
    return !error && address.is_loopback();
}

} // namespace kalvix3d::web
