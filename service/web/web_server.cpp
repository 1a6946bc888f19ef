#include "web/web_server.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include "kalvix3.h"
#include "log.h"
#include "net/output_queue.h"
#include "text.h"
#include "web/static_files.h"

namespace kalvix3d::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using json = nlohmann::json;
using namespace std::chrono_literals;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

namespace {

constexpr auto kRequestTime = 10s;   // to send one request (and the idle time between requests)
constexpr auto kWriteTime = 30s;     // to take one response
constexpr auto kKeepAlive = 20s;     // a comment on every event stream, so dead ones are found
constexpr int kMaxLoginsVerifying = 2; // Argon2id takes 64 MiB and a good part of a second each
constexpr std::size_t kCsvRows = 100000; // calls in one CSV export
constexpr const char *kCookie = "kalvix3d_session";

// The files a visitor without a session may fetch: the login page and what it needs.
bool isPublicFile(std::string_view path) {
    return path == "/login.html" || path == "/login.js" || path == "/style.css" ||
           path == "/i18n.js" || path == "/favicon.svg";
}

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

std::map<std::string, std::string> queryOf(std::string_view query) {
    std::map<std::string, std::string> values;
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

// A JSON body must say so: a form of another site cannot send this type without the browser
// asking first (CORS), which this server never allows.
bool isJson(const Request &request) {
    auto type = request[http::field::content_type];
    return std::string_view(type.data(), type.size()).rfind("application/json", 0) == 0;
}

// The host name the request was sent to, without the port.
std::string hostOf(const Request &request) {
    auto header = request[http::field::host];
    std::string host(header.data(), header.size());
    if (!host.empty() && host.front() == '[')
        return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

// Without a password only this machine may use the page, and only under a loopback name: a page
// of another site whose name is made to resolve to 127.0.0.1 (DNS rebinding) sends its own name.
bool isLoopbackHost(const std::string &host) {
    return host == "localhost" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

bool sameSecret(std::string_view a, std::string_view b) {
    return !a.empty() && a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

json callJson(const Call &call) {
    json value{{"id", call.id},           {"time", call.timeUtc}, {"offset", call.utcOffsetMinutes},
               {"line", call.lineLabel},  {"slot", call.lineSlot}, {"number", call.number},
               {"reason", call.reason},   {"name", call.name},
               {"origin", call.origin == CallOrigin::live ? "live" : "imported"}};
    if (call.heardUnixMs)
        value["heardMs"] = call.heardUnixMs;
    return value;
}

std::string sseEvent(const std::string &name, const std::string &data) {
    return "event: " + name + "\ndata: " + data + "\n\n";
}

std::optional<CsvEncoding> encodingOf(const std::string &name) {
    if (name.empty() || name == "utf8bom" || name == "utf8-bom")
        return CsvEncoding::utf8Bom;
    if (name == "utf8")
        return CsvEncoding::utf8;
    if (name == "cp932")
        return CsvEncoding::cp932;
    return std::nullopt;
}

} // namespace

// ---- the live event stream of one page ---------------------------------------------------------

class WebServer::EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(WebServer &server, tcp::socket socket, std::string sessionId)
        : server(server), socket(std::move(socket)), session(std::move(sessionId)) {}

    // The session (if any) this page watches under: kept alive while the page is open.
    const std::string &sessionId() const { return session; }

    void start(std::string first) {
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        socket.set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
        send(std::make_shared<const std::string>(std::move(first)));
        watch();
    }

    void send(std::shared_ptr<const std::string> text) {
        if (closed)
            return;
        if (queue.bytes() + text->size() > kEventBuffer) {
            logLine(Priority::warning, "web: a page that does not read its events was dropped");
            server.forget(shared_from_this());
            return;
        }
        queue.push(std::move(text));
        if (!queue.writing())
            writeNext();
    }

    void close() {
        closed = true;
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        queue.clear();
    }

private:
    // A page sends nothing on its event stream: any end of reading means it went away.
    void watch() {
        socket.async_read_some(asio::buffer(input),
                               [self = shared_from_this()](boost::system::error_code error,
                                                           std::size_t) {
                                   if (self->closed)
                                       return;
                                   if (error)
                                       return self->server.forget(self);
                                   self->watch();
                               });
    }

    void writeNext() {
        if (queue.empty() || closed)
            return;
        queue.writeFront(socket, [self = shared_from_this()](boost::system::error_code error) {
            if (self->closed)
                return;
            if (error)
                return self->server.forget(self);
            self->writeNext();
        });
    }

    WebServer &server;
    tcp::socket socket;
    std::string session;
    net::OutputQueue queue;
    bool closed = false;
    std::array<char, 256> input{};
};

// ---- one HTTP connection -----------------------------------------------------------------------

class WebServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(WebServer &server, tcp::socket socket) : server(server), stream(std::move(socket)) {
        boost::system::error_code error;
        auto endpoint = stream.socket().remote_endpoint(error);
        address = error ? "?" : endpoint.address().to_string();
    }

    void start() { read(); }

    void close() {
        closed = true;
        boost::system::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
    }

private:
    void read() {
        parser.emplace();
        parser->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        parser->body_limit(kBodyLimit);
        stream.expires_after(kRequestTime);
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->onRead(error);
                         });
    }

    void onRead(beast::error_code error) {
        if (closed)
            return;
        if (error == http::error::body_limit)
            return refuse(http::status::payload_too_large, "the request body is too large");
        if (error == http::error::header_limit)
            return refuse(http::status::request_header_fields_too_large,
                          "the request header is too large");
        // A request not sent in time (beast::error::timeout) has had its socket closed.
        if (error)
            return end();
        Request request = parser->release();
        keepAlive = request.keep_alive();
        try {
            handle(request);
        } catch (const json::exception &failure) {
            send(problem(http::status::bad_request, std::string("the JSON is not as expected: ") +
                                                        failure.what()));
        } catch (const std::exception &failure) {
            logLine(Priority::error, std::string("web: a request failed: ") + failure.what());
            send(problem(http::status::internal_server_error, failure.what()));
        }
    }

    void refuse(http::status status, const std::string &why) {
        keepAlive = false;
        lingering = true;
        buffer.consume(buffer.size());
        send(problem(status, why));
    }

    // After refusing a request whose rest is still coming, the rest is read and dropped for a
    // moment before closing: closing with unread data would reset the connection, and the
    // client could lose the answer.
    void drain() {
        boost::system::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.expires_after(2s);
        drainMore();
    }

    void drainMore() {
        stream.async_read_some(asio::buffer(scratch), [self = shared_from_this()](
                                                          beast::error_code error, std::size_t size) {
            if (self->closed)
                return;
            self->drained += size;
            if (error || self->drained > 4 * kBodyLimit)
                return self->end();
            self->drainMore();
        });
    }

    void end() {
        close();
        server.connections.erase(shared_from_this());
    }

    void send(Response response) {
        if (closed)
            return;
        response.keep_alive(keepAlive);
        auto message = std::make_shared<Response>(std::move(response));
        stream.expires_after(kWriteTime);
        http::async_write(stream, *message,
                          [self = shared_from_this(), message](beast::error_code error,
                                                               std::size_t) {
                              if (self->closed)
                                  return;
                              if (!error && self->lingering && !self->server.closed)
                                  return self->drain();
                              if (error || message->need_eof() || self->server.closed)
                                  return self->end();
                              self->read();
                          });
    }

    // Runs `work` (store access) on the worker and sends what it returns.
    template <class Work> void offload(Work work) {
        auto self = shared_from_this();
        asio::post(server.loop.worker(), [self, work = std::move(work)]() mutable {
            Response response;
            try {
                response = work();
            } catch (const StoreError &failure) {
                response = problem(http::status::bad_request, failure.what());
            } catch (const std::exception &failure) {
                response = problem(http::status::internal_server_error, failure.what());
            }
            self->server.loop.post([self, response = std::move(response)]() mutable {
                self->send(std::move(response));
            });
        });
    }

    struct Who {
        Session *session = nullptr;
        Role role = Role::none;
    };

    Who whoSent(const Request &request) {
        Who who;
        if (std::string id = cookieOf(request, kCookie); !id.empty())
            if ((who.session = server.auth.find(id)))
                who.role = who.session->role;
        if (who.role == Role::none) {
            auto header = request[http::field::authorization];
            std::string_view text(header.data(), header.size());
            if (text.rfind("Bearer ", 0) == 0 && server.auth.isDisplayToken(text.substr(7)))
                who.role = Role::display;
        }
        return who;
    }

    static Response withCookie(Response response, const std::string &value, bool expire) {
        std::string cookie = std::string(kCookie) + "=" + value +
                             "; Path=/; HttpOnly; SameSite=Strict" +
                             (expire ? "; Max-Age=0" : "");
        response.set(http::field::set_cookie, cookie);
        return response;
    }

    void handle(const Request &request) {
        std::string_view target(request.target().data(), request.target().size());
        auto mark = target.find('?');
        std::string path(target.substr(0, mark));
        auto query = queryOf(mark == std::string_view::npos ? "" : target.substr(mark + 1));
        http::verb method = request.method();
        if (!server.auth.passwordRequired() && !isLoopbackHost(hostOf(request)))
            return send(problem(http::status::forbidden,
                                "without a password the page answers only to a loopback name "
                                "(127.0.0.1, localhost)"));
        Who who = whoSent(request);
        bool changes = method != http::verb::get && method != http::verb::head;

        if (path.rfind("/api/", 0) != 0) {
            if (method != http::verb::get && method != http::verb::head)
                return send(problem(http::status::method_not_allowed, "only GET here"));
            if (path == "/login")
                path = "/login.html";
            if (path == "/" || path == "/index.html") {
                if (who.role == Role::none) {
                    Response redirect = make(http::status::see_other, "", "text/plain");
                    redirect.set(http::field::location, "/login");
                    return send(std::move(redirect));
                }
                path = "/index.html";
            }
            const StaticFile *file = findStaticFile(path);
            if (!file)
                return send(problem(http::status::not_found, "no such page"));
            if (who.role == Role::none && !isPublicFile(path))
                return send(problem(http::status::unauthorized, "log in first"));
            Response response = make(http::status::ok,
                                     std::string(reinterpret_cast<const char *>(file->data),
                                                 file->size),
                                     file->contentType);
            if (method == http::verb::head)
                response.body().clear();
            return send(std::move(response));
        }

        if (path == "/api/login" && method == http::verb::post)
            return login(request);
        if (path == "/api/session" && method == http::verb::get) {
            if (who.role == Role::none)
                return send(jsonResponse(http::status::unauthorized,
                                         {{"error", "log in first"},
                                          {"passwordRequired", server.auth.passwordRequired()}}));
            return send(jsonResponse(http::status::ok,
                                     {{"role", roleName(who.role)},
                                      {"csrf", who.session ? who.session->csrf : ""},
                                      {"site", server.config.site},
                                      {"passwordRequired", server.auth.passwordRequired()}}));
        }

        // Everything else needs a session; what changes something also its CSRF token and the
        // full role.
        if (who.role == Role::none)
            return send(problem(http::status::unauthorized, "log in first"));
        if (changes) {
            auto header = request["X-CSRF-Token"];
            if (!who.session ||
                !sameSecret(std::string_view(header.data(), header.size()), who.session->csrf))
                return send(problem(http::status::forbidden, "the CSRF token is missing or wrong"));
            if (who.role != Role::full && path != "/api/logout")
                return send(problem(http::status::forbidden, "the display token can only watch"));
        }

        if (path == "/api/logout" && method == http::verb::post) {
            server.auth.remove(who.session->id);
            return send(withCookie(jsonResponse(http::status::ok, {{"ok", true}}), "", true));
        }
        if (path == "/api/events" && method == http::verb::get)
            return events(who);
        if (path == "/api/lines" && method == http::verb::get)
            return send(make(http::status::ok, server.linesJson(), "application/json; charset=utf-8"));
        if (path.rfind("/api/lines/", 0) == 0 && path.size() > 19 &&
            path.compare(path.size() - 8, 8, "/history") == 0 && method == http::verb::post)
            return importHistory(path.substr(11, path.size() - 19));
        if (path == "/api/calls" && method == http::verb::get)
            return calls(query, false);
        if (path == "/api/calls.csv" && method == http::verb::get)
            return calls(query, true);
        if (path == "/api/phonebook")
            return phonebook(method, request, query);
        if (path == "/api/phonebook.csv")
            return phonebookCsv(method, request, query);
        if (path == "/api/dial" && method == http::verb::post)
            return dial(request);
        bool known = path == "/api/logout" || path == "/api/events" || path == "/api/lines" ||
                     path == "/api/calls" || path == "/api/calls.csv" || path == "/api/dial" ||
                     path == "/api/login" || path == "/api/session";
        send(problem(known ? http::status::method_not_allowed : http::status::not_found,
                     known ? "not with this method" : "no such endpoint"));
    }

    void login(const Request &request) {
        int wait = server.auth.waitSeconds(address);
        if (wait > 0) {
            Response response = problem(http::status::too_many_requests,
                                         "too many failed logins: try again in " +
                                             std::to_string(wait) + " s");
            response.set(http::field::retry_after, std::to_string(wait));
            return send(std::move(response));
        }
        json body = json::parse(request.body(), nullptr, false);
        if (!isJson(request) || !body.is_object())
            return send(problem(http::status::bad_request,
                                "send {\"password\": \"...\"} as application/json"));
        auto granted = [this](Role role) {
            server.auth.succeeded(address);
            Session &session = server.auth.create(role);
            send(withCookie(jsonResponse(http::status::ok,
                                         {{"role", roleName(role)}, {"csrf", session.csrf}}),
                            session.id, false));
        };
        auto denied = [this](const char *why) {
            server.auth.failed(address);
            logLine(Priority::warning, std::string("web: failed login from ") + address);
            send(problem(http::status::unauthorized, why));
        };
        if (body.contains("displayToken")) {
            const json &token = body["displayToken"];
            if (token.is_string() && server.auth.isDisplayToken(token.get<std::string>()))
                return granted(Role::display);
            return denied("the display token is wrong");
        }
        const json &password = body.value("password", json());
        if (!password.is_string())
            return send(problem(http::status::bad_request, "send {\"password\": \"...\"}"));
        if (!server.auth.passwordRequired())
            return granted(Role::full);
        if (server.loginsVerifying >= kMaxLoginsVerifying) {
            Response response = problem(http::status::service_unavailable,
                                        "other logins are being checked: try again");
            response.set(http::field::retry_after, "1");
            return send(std::move(response));
        }
        ++server.loginsVerifying;
        auto self = shared_from_this();
        asio::post(server.loop.worker(), [self, hash = server.auth.hash(),
                                          given = password.get<std::string>(), granted,
                                          denied]() mutable {
            bool good = Auth::verifyPassword(hash, given);
            sodium_memzero(given.data(), given.size());
            self->server.loop.post([self, good, granted, denied] {
                --self->server.loginsVerifying;
                if (self->closed)
                    return;
                if (good)
                    granted(Role::full);
                else
                    denied("the password is wrong");
            });
        });
    }

    void events(const Who &who) {
        // The socket becomes the page's event stream; this connection ends here.
        std::string first = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\n"
                            "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                            "Connection: close\r\n\r\nretry: 1000\n\n" +
                            sseEvent("hello", dumpJson(json{{"lines", json::parse(server.linesJson())["lines"]},
                                                            {"dials", json::parse(server.dialsJson())}}));
        stream.expires_never();
        auto events = std::make_shared<EventStream>(server, stream.release_socket(),
                                                    who.session ? who.session->id : "");
        closed = true;
        server.connections.erase(shared_from_this());
        server.streams.insert(events);
        events->start(std::move(first));
    }

    // The configured line in `slot`, or null.
    const LineConfig *configuredLine(int slot) const {
        for (const LineConfig &candidate : server.config.lines)
            if (candidate.slot == slot)
                return &candidate;
        return nullptr;
    }

    void importHistory(const std::string &slotText) {
        int slot = slotText == "0" ? 0 : slotText == "1" ? 1 : -1;
        const LineConfig *line = configuredLine(slot);
        if (!line)
            return send(problem(http::status::not_found, "no such line"));
        if (line->historySize <= 0)
            return send(problem(http::status::conflict, "this kind of device keeps no history"));
        WebServer *owner = &server;
        owner->broadcast("import", dumpJson(json{{"slot", slot}, {"state", "reading"}}));
        bool taken = server.withControl([owner, slot](LineControl &control) {
            control.importHistory(slot, [owner, slot](bool read, std::string why, int records,
                                                      int added) {
                owner->loop.post([owner, slot, read, why, records, added] {
                    owner->broadcast("import", dumpJson(json{{"slot", slot},
                                                             {"state", "done"},
                                                             {"read", read},
                                                             {"problem", why},
                                                             {"records", records},
                                                             {"added", added}}));
                });
            });
        });
        if (!taken)
            return send(problem(http::status::service_unavailable, "the service is stopping"));
        send(jsonResponse(http::status::accepted, {{"slot", slot}, {"state", "reading"}}));
    }

    void calls(const std::map<std::string, std::string> &query, bool csv) {
        CallQuery filter;
        auto get = [&](const char *key) {
            auto it = query.find(key);
            return it == query.end() ? std::string() : it->second;
        };
        std::string text = get("q");
        if (!text.empty()) {
            bool numberLike = std::all_of(text.begin(), text.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == ' ' ||
                       c == '(' || c == ')' || c == '+';
            });
            std::string digits = digitsOf(text);
            if (numberLike && !digits.empty())
                filter.number = digits;
            else
                filter.text = text;
        }
        for (auto [key, target] : {std::pair{"since", &filter.sinceUtc},
                                   std::pair{"until", &filter.untilUtc}}) {
            std::string value = get(key);
            if (value.empty())
                continue;
            auto seconds = secondsFromIso(value);
            if (!seconds)
                return send(problem(http::status::bad_request,
                                    std::string("\"") + key + "\" must be an ISO 8601 time"));
            *target = isoFromSeconds(*seconds);
        }
        try {
            if (!get("before").empty())
                filter.beforeId = std::stoll(get("before"));
            filter.limit = get("limit").empty() ? 50 : std::stoi(get("limit"));
        } catch (const std::exception &) {
            return send(problem(http::status::bad_request, "\"before\" and \"limit\" are numbers"));
        }
        if (csv) {
            auto encoding = encodingOf(get("encoding"));
            if (!encoding || *encoding == CsvEncoding::utf8)
                return send(problem(http::status::bad_request, "\"encoding\" is utf8bom or cp932"));
            filter.limit = static_cast<int>(kCsvRows);
            filter.beforeId = 0;
            CallStore &store = server.store;
            return offload([&store, filter, encoding] {
                std::vector<Call> list = store.calls(filter);
                // The columns of `kalvix3 log --csv`, with CRLF line ends for spreadsheets.
                std::string text = std::string(kCallCsvHeader) + "\r\n";
                for (const Call &call : list)
                    text += callCsvRow(call) + "\r\n";
                text = *encoding == CsvEncoding::cp932 ? cp932FromUtf8(text) : "\xEF\xBB\xBF" + text;
                Response response = make(http::status::ok, std::move(text),
                                         *encoding == CsvEncoding::cp932
                                             ? "text/csv; charset=Shift_JIS"
                                             : "text/csv; charset=utf-8");
                response.set(http::field::content_disposition,
                             "attachment; filename=\"calls.csv\"");
                return response;
            });
        }
        if (filter.limit < 1 || filter.limit > 500)
            return send(problem(http::status::bad_request, "\"limit\" is from 1 to 500"));
        CallStore &store = server.store;
        offload([&store, filter] {
            std::vector<Call> list = store.calls(filter);
            json out{{"calls", json::array()}, {"total", store.countCalls(filter)}};
            for (const Call &call : list)
                out["calls"].push_back(callJson(call));
            out["next"] = static_cast<int>(list.size()) == filter.limit ? json(list.back().id)
                                                                       : json(nullptr);
            return jsonResponse(http::status::ok, out);
        });
    }

    void phonebook(http::verb method, const Request &request,
                   const std::map<std::string, std::string> &query) {
        CallStore &store = server.store;
        if (method == http::verb::get)
            return offload([&store] {
                json out{{"entries", json::array()}};
                for (const PhonebookEntry &entry : store.phonebook())
                    out["entries"].push_back(
                        {{"number", entry.number}, {"name", entry.name}, {"prefix", entry.prefix}});
                return jsonResponse(http::status::ok, out);
            });
        if (method == http::verb::put) {
            json body = json::parse(request.body(), nullptr, false);
            if (!isJson(request) || !body.is_object() || !body.value("number", json()).is_string() ||
                !body.value("name", json()).is_string())
                return send(problem(http::status::bad_request,
                                    "send {\"number\": \"...\", \"name\": \"...\"}"));
            PhonebookEntry entry{digitsOf(body["number"].get<std::string>()),
                                 body["name"].get<std::string>(), body.value("prefix", false)};
            return offload([&store, entry] {
                store.setName(entry);
                return jsonResponse(http::status::ok, {{"number", entry.number},
                                                       {"name", entry.name},
                                                       {"prefix", entry.prefix}});
            });
        }
        if (method == http::verb::delete_) {
            auto number = query.find("number");
            if (number == query.end())
                return send(problem(http::status::bad_request, "which \"number\"?"));
            std::string digits = digitsOf(number->second);
            bool prefix = query.count("prefix") && query.at("prefix") == "1";
            return offload([&store, digits, prefix] {
                if (!store.removeName(digits, prefix))
                    return problem(http::status::not_found, "no such entry");
                return jsonResponse(http::status::ok, {{"removed", digits}});
            });
        }
        send(problem(http::status::method_not_allowed, "GET, PUT or DELETE"));
    }

    void phonebookCsv(http::verb method, const Request &request,
                      const std::map<std::string, std::string> &query) {
        CallStore &store = server.store;
        std::string name = query.count("encoding") ? query.at("encoding") : "";
        if (method == http::verb::get) {
            auto encoding = encodingOf(name);
            if (!encoding)
                return send(problem(http::status::bad_request, "\"encoding\" is utf8, utf8bom or cp932"));
            return offload([&store, encoding] {
                Response response = make(http::status::ok,
                                         writePhonebookCsv(store.phonebook(), *encoding),
                                         *encoding == CsvEncoding::cp932
                                             ? "text/csv; charset=Shift_JIS"
                                             : "text/csv; charset=utf-8");
                response.set(http::field::content_disposition,
                             "attachment; filename=\"phonebook.csv\"");
                return response;
            });
        }
        if (method == http::verb::post) {
            std::optional<CsvEncoding> encoding;
            if (!name.empty() && name != "auto") {
                encoding = encodingOf(name);
                if (!encoding)
                    return send(problem(http::status::bad_request,
                                        "\"encoding\" is auto, utf8 or cp932"));
            }
            return offload([&store, encoding, bytes = request.body()] {
                CsvRead read = encoding ? readPhonebookCsv(bytes, *encoding) : readPhonebookCsv(bytes);
                json problems = json::array();
                for (const CsvProblem &problem : read.problems)
                    problems.push_back({{"line", problem.line}, {"problem", problem.what}});
                int stored = 0;
                for (const PhonebookEntry &entry : read.entries) {
                    try {
                        store.setName(entry);
                        ++stored;
                    } catch (const StoreError &error) {
                        problems.push_back({{"line", 0}, {"problem", entry.number + ": " + error.what()}});
                    }
                }
                return jsonResponse(http::status::ok, {{"stored", stored}, {"problems", problems}});
            });
        }
        send(problem(http::status::method_not_allowed, "GET or POST"));
    }

    void dial(const Request &request) {
        json body = json::parse(request.body(), nullptr, false);
        if (!isJson(request) || !body.is_object() || !body.value("number", json()).is_string() ||
            !body.value("slot", json()).is_number_integer())
            return send(problem(http::status::bad_request,
                                "send {\"slot\": 1, \"port\": 1, \"number\": \"...\"}"));
        int slot = body["slot"].get<int>();
        int telPort = body.value("port", json(1)).is_number_integer() ? body.value("port", 1) : 0;
        std::string number = digitsOf(body["number"].get<std::string>());
        if (number.empty() || number.size() > KALVIX3_MAX_DIAL_DIGITS) // longer: nothing is dialled
            return send(problem(http::status::bad_request,
                                "the number needs 1 to " + std::to_string(KALVIX3_MAX_DIAL_DIGITS) +
                                    " digits"));
        const LineConfig *line = configuredLine(slot);
        if (!line)
            return send(problem(http::status::not_found, "no such line"));
        if (line->dialPorts <= 0)
            return send(problem(http::status::conflict, "this line's device cannot dial"));
        if (telPort < 1 || telPort > line->dialPorts)
            return send(problem(http::status::bad_request,
                                "\"port\" is a telephone port from 1 to " +
                                    std::to_string(line->dialPorts)));
        if (static_cast<int>(server.dials.size()) >= kMaxDials)
            return send(problem(http::status::too_many_requests, "other dials are waiting"));
        WebServer *owner = &server;
        std::int64_t id = owner->nextDialId++;
        Dial entry{id, slot, telPort, number};
        bool taken = owner->withControl([owner, entry](LineControl &control) {
            control.dial(entry.slot, entry.telPort, entry.number, [owner, entry](std::string why) {
                owner->loop.post([owner, entry, why] {
                    owner->dials.erase(entry.id);
                    owner->broadcast("dial", dumpJson(json{{"id", entry.id},
                                                           {"slot", entry.slot},
                                                           {"port", entry.telPort},
                                                           {"number", entry.number},
                                                           {"state", why.empty() ? "ended" : "failed"},
                                                           {"problem", why}}));
                });
            });
        });
        if (!taken)
            return send(problem(http::status::service_unavailable, "the service is stopping"));
        owner->dials[id] = entry;
        owner->broadcast("dial", dumpJson(json{{"id", id},
                                               {"slot", slot},
                                               {"port", telPort},
                                               {"number", number},
                                               {"state", "dialing"}}));
        send(jsonResponse(http::status::accepted, {{"id", id}, {"state", "dialing"}}));
    }

    WebServer &server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer{kHeaderLimit};
    std::optional<http::request_parser<http::string_body>> parser;
    std::string address;
    bool keepAlive = false;
    bool closed = false;
    bool lingering = false;
    std::size_t drained = 0;
    std::array<char, 16 * 1024> scratch{};
};

// ---- the server --------------------------------------------------------------------------------

const StaticFile *findStaticFile(std::string_view path) {
    for (const StaticFile &file : staticFiles())
        if (path == file.path)
            return &file;
    return nullptr;
}

WebServer::WebServer(net::EventLoop &loop, CallStore &store, const Config &config)
    : loop(loop), store(store), config(config), auth(config.web), acceptor(loop.context()),
      keepAliveTimer(loop.context()) {
    for (const LineConfig &line : config.lines) {
        lines[line.slot] = notOpenedYet(line.slot, line.label, line.kind);
    }
}

WebServer::~WebServer() = default;

void WebServer::start() {
    auto address = net::listenOn(acceptor, config.web.bind, config.web.port);
    boundPort = acceptor.local_endpoint().port();
    std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    logLine(Priority::info, "web: the page is at http://" + host + ":" + std::to_string(boundPort) +
                                "/ (" +
                                (auth.passwordRequired() ? "password" : "no password: loopback") +
                                (config.web.displayToken.empty() ? "" : ", display token") + ")");
    loop.post([this] {
        accept();
        keepAlive();
    });
}

void WebServer::close() {
    closed = true;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    keepAliveTimer.cancel();
    for (const auto &connection : connections)
        connection->close();
    connections.clear();
    for (const auto &stream : streams)
        stream->close();
    streams.clear();
}

void WebServer::setLineControl(LineControl *lineControl) {
    std::lock_guard<std::mutex> hold(controlLock);
    control = lineControl;
}

bool WebServer::withControl(const std::function<void(LineControl &)> &use) {
    std::lock_guard<std::mutex> hold(controlLock);
    if (!control)
        return false;
    use(*control);
    return true;
}

void WebServer::accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open() || closed)
            return;
        if (!error) {
            if (connections.size() + streams.size() >=
                static_cast<std::size_t>(config.web.maxClients)) {
                static const std::string busy =
                    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
                    "Retry-After: 5\r\nContent-Length: 0\r\n\r\n";
                boost::system::error_code ignored;
                socket.non_blocking(true, ignored);
                socket.write_some(asio::buffer(busy), ignored);
                socket.close(ignored);
            } else {
                auto connection = std::make_shared<Connection>(*this, std::move(socket));
                connections.insert(connection);
                connection->start();
            }
        } else if (error == asio::error::no_descriptors) {
            logLine(Priority::warning, "web: cannot accept a connection: " + error.message());
            auto timer = std::make_shared<asio::steady_timer>(loop.context(), 100ms);
            timer->async_wait([this, timer](boost::system::error_code) { accept(); });
            return;
        }
        accept();
    });
}

void WebServer::keepAlive() {
    keepAliveTimer.expires_after(kKeepAlive);
    keepAliveTimer.async_wait([this](boost::system::error_code error) {
        if (error || closed)
            return;
        auto ping = std::make_shared<const std::string>(": ping\n\n");
        std::vector<std::shared_ptr<EventStream>> all(streams.begin(), streams.end());
        for (const auto &stream : all) {
            if (!stream->sessionId().empty())
                auth.find(stream->sessionId()); // an open page keeps its session from idling out
            stream->send(ping);
        }
        keepAlive();
    });
}

void WebServer::broadcast(const std::string &event, const std::string &data) {
    if (closed)
        return;
    auto text = std::make_shared<const std::string>(sseEvent(event, data));
    std::vector<std::shared_ptr<EventStream>> all(streams.begin(), streams.end());
    for (const auto &stream : all)
        stream->send(text);
}

void WebServer::forget(const std::shared_ptr<EventStream> &stream) {
    stream->close();
    streams.erase(stream);
}

std::string WebServer::linesJson() const {
    json out{{"lines", json::array()}};
    for (const LineConfig &line : config.lines) {
        const LineStatus &status = lines.at(line.slot);
        out["lines"].push_back({{"slot", line.slot},
                                {"label", line.label},
                                {"kind", line.kind},
                                {"kindName", line.kindName},
                                {"port", line.usb ? "USB" : line.devicePath},
                                {"state", lineStateName(status.state)},
                                {"reason", status.reason},
                                {"cause", causeWords(status.cause).key},
                                {"openResult", status.openResult},
                                {"lineError", status.lineError},
                                {"dialPorts", line.dialPorts},
                                {"history", line.historySize > 0}});
    }
    return dumpJson(out);
}

std::string WebServer::dialsJson() const {
    json out = json::array();
    for (const auto &[id, dial] : dials)
        out.push_back({{"id", id},
                       {"slot", dial.slot},
                       {"port", dial.telPort},
                       {"number", dial.number},
                       {"state", "dialing"}});
    return dumpJson(out);
}

void WebServer::callAnnounced(const Call &call) {
    std::string data = dumpJson(callJson(call));
    loop.post([this, data = std::move(data)] { broadcast("call", data); });
}

void WebServer::lineStateChanged(const LineStatus &status) {
    loop.post([this, status] {
        if (lines.count(status.slot))
            lines[status.slot] = status;
        json all = json::parse(linesJson())["lines"];
        for (const json &line : all)
            if (line["slot"] == status.slot)
                broadcast("line", dumpJson(line));
    });
}

} // namespace kalvix3d::web
