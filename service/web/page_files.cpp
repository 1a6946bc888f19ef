// The page's files, embedded in the program.
#include "web/api.h"
#include "web/http_session.h"
#include "web/static_files.h"

namespace kalvix3d::web {

namespace {

// The files a visitor without a session may fetch: the login page and what it needs.
bool isPublicFile(std::string_view path) {
    return path == "/login.html" || path == "/login.js" || path == "/style.css" ||
           path == "/i18n.js" || path == "/favicon.svg";
}

} // namespace

const StaticFile *findStaticFile(std::string_view path) {
    for (const StaticFile &file : staticFiles())
        if (path == file.path)
            return &file;
    return nullptr;
}

void serveFile(Exchange &x) {
    std::string path = x.path == "/login" ? "/login.html" : x.path;
    if (path == "/" || path == "/index.html") {
        if (x.who.role == Role::none) {
            Response redirect = make(http::status::see_other, "", "text/plain");
            redirect.set(http::field::location, "/login");
            return x.http->send(std::move(redirect));
        }
        path = "/index.html";
    }
    const StaticFile *file = findStaticFile(path);
    if (!file)
        return x.http->send(problem(http::status::not_found, "no such page"));
    if (x.who.role == Role::none && !isPublicFile(path))
        return x.http->send(problem(http::status::unauthorized, "log in first"));
    Response response = make(http::status::ok,
                             std::string(reinterpret_cast<const char *>(file->data), file->size),
                             file->contentType);
    if (x.request.method() == http::verb::head)
        response.body().clear();
    x.http->send(std::move(response));
}

} // namespace kalvix3d::web
