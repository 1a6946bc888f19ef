// The page's files: those embedded in the program, and /words.js, made from the service's word
// tables so the page shows the words the service logs and sends.
#include "core/words.h"
#include "web/api.h"
#include "web/http_session.h"
#include "web/static_files.h"

namespace kalvix3d::web {

namespace {

constexpr std::string_view kWordsPath = "/words.js";
constexpr const char *kScriptType = "text/javascript; charset=utf-8";

// The files a visitor without a session may fetch: the login page and what it needs.
bool isPublicFile(std::string_view path) {
    return path == "/login.html" || path == "/login.js" || path == "/style.css" ||
           path == "/i18n.js" || path == kWordsPath || path == "/favicon.svg";
}

json bothLanguages(std::string_view japanese, std::string_view english) {
    return {{"ja", std::string(japanese)}, {"en", std::string(english)}};
}

} // namespace

const StaticFile *findStaticFile(std::string_view path) {
    for (const StaticFile &file : staticFiles())
        if (path == file.path)
            return &file;
    return nullptr;
}

const std::string &wordsModule() {
    static const std::string text = [] {
        json reasons = json::object(), causes = json::object(), kinds = json::object();
        for (const CallerReason &reason : callerReasons())
            reasons[std::string(reason.letter)] = bothLanguages(reason.japanese, reason.english);
        for (const CauseWords &cause : lineCauses())
            if (!cause.key.empty()) // a line that is up has no cause
                causes[std::string(cause.key)] = bothLanguages(cause.japanese, cause.english);
        for (const NumberKindWords &kind : numberKinds())
            kinds[std::string(kind.key)] = bothLanguages(kind.japanese, kind.english);
        return "// Made by kalvix3d from its word tables.\n"
               "export const REASONS = " + dumpJson(reasons) + ";\n"
               "export const CAUSES = " + dumpJson(causes) + ";\n"
               "export const KINDS = " + dumpJson(kinds) + ";\n";
    }();
    return text;
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
    std::string body;
    const char *type = kScriptType;
    if (path == kWordsPath) {
        body = wordsModule();
    } else if (const StaticFile *file = findStaticFile(path)) {
        body.assign(reinterpret_cast<const char *>(file->data), file->size);
        type = file->contentType;
    } else {
        return x.http->send(problem(http::status::not_found, "no such page"));
    }
    if (x.who.role == Role::none && !isPublicFile(path))
        return x.http->send(problem(http::status::unauthorized, "log in first"));
    Response response = make(http::status::ok, std::move(body), type);
    if (x.request.method() == http::verb::head)
        response.body().clear();
    x.http->send(std::move(response));
}

} // namespace kalvix3d::web
