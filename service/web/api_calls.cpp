// The call log (pages of JSON, a CSV export) and the phonebook (JSON, CSV both ways). The store
// is read and written on the worker.
#include <algorithm>
#include <cctype>
#include <optional>

#include "web/api.h"
#include "web/http_session.h"
#include "web/server_state.h"

namespace kalvix3d::web {

namespace {

constexpr std::size_t kCsvRows = 100000; // calls in one CSV export

std::string valueOf(const Query &query, const char *key) {
    auto it = query.find(key);
    return it == query.end() ? std::string() : it->second;
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

Response csvResponse(std::string text, CsvEncoding encoding, const char *filename) {
    Response response = make(http::status::ok, std::move(text),
                             encoding == CsvEncoding::cp932 ? "text/csv; charset=Shift_JIS"
                                                            : "text/csv; charset=utf-8");
    response.set(http::field::content_disposition,
                 std::string("attachment; filename=\"") + filename + "\"");
    return response;
}

// The filter of a call query: "q" a number (digits and the signs of one) or else a text, "since"
// and "until" ISO 8601 times, "before" and "limit" for paging. The 400 when it is not one.
std::optional<Response> readFilter(const Query &query, CallQuery &filter) {
    std::string text = valueOf(query, "q");
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
    for (auto [key, target] :
         {std::pair{"since", &filter.sinceUtc}, std::pair{"until", &filter.untilUtc}}) {
        std::string value = valueOf(query, key);
        if (value.empty())
            continue;
        auto seconds = secondsFromIso(value);
        if (!seconds)
            return problem(http::status::bad_request,
                           std::string("\"") + key + "\" must be an ISO 8601 time");
        *target = isoFromSeconds(*seconds);
    }
    try {
        if (std::string before = valueOf(query, "before"); !before.empty())
            filter.beforeId = std::stoll(before);
        std::string limit = valueOf(query, "limit");
        filter.limit = limit.empty() ? 50 : std::stoi(limit);
    } catch (const std::exception &) {
        return problem(http::status::bad_request, "\"before\" and \"limit\" are numbers");
    }
    return std::nullopt;
}

json entryJson(const PhonebookEntry &entry) {
    return {{"number", entry.number},
            {"formatted", entry.prefix ? entry.number : describeNumber(entry.number).formatted},
            {"name", entry.name},
            {"prefix", entry.prefix},
            {"note", entry.note.value_or("")}};
}

} // namespace

json callJson(const Call &call) {
    json value{{"id", call.id},           {"time", call.timeUtc}, {"offset", call.utcOffsetMinutes},
               {"line", call.lineLabel},  {"slot", call.lineSlot}, {"number", call.number},
               {"reason", call.reason},   {"name", call.name},
               {"origin", originName(call.origin)},
               {"formatted", call.formatted},
               {"type", numberKindWords(call.numberKind).key},
               {"area", call.area},
               {"nth", call.nth}};
    // A call as it is announced also carries what its card shows beyond the log's row.
    if (call.heardUnixMs)
        value["heardMs"] = call.heardUnixMs;
    if (!call.previousTimeUtc.empty())
        value["previous"] = call.previousTimeUtc;
    if (!call.note.empty())
        value["note"] = call.note;
    return value;
}

void listCalls(Exchange &x) {
    CallQuery filter;
    if (auto refused = readFilter(x.query, filter))
        return x.http->send(std::move(*refused));
    if (filter.limit < 1 || filter.limit > 500)
        return x.http->send(problem(http::status::bad_request, "\"limit\" is from 1 to 500"));
    x.http->offload([&store = x.state.store, filter] {
        std::vector<Call> list = store.calls(filter);
        json out{{"calls", json::array()}, {"total", store.countCalls(filter)}};
        for (const Call &call : list)
            out["calls"].push_back(callJson(call));
        out["next"] = static_cast<int>(list.size()) == filter.limit ? json(list.back().id)
                                                                   : json(nullptr);
        return jsonResponse(http::status::ok, out);
    });
}

// The columns of `kalvix3 log --csv`, with CRLF line ends for spreadsheets; every call that
// matches up to kCsvRows, whatever the paging said.
void exportCalls(Exchange &x) {
    CallQuery filter;
    if (auto refused = readFilter(x.query, filter))
        return x.http->send(std::move(*refused));
    auto encoding = encodingOf(valueOf(x.query, "encoding"));
    if (!encoding || *encoding == CsvEncoding::utf8)
        return x.http->send(problem(http::status::bad_request, "\"encoding\" is utf8bom or cp932"));
    filter.limit = static_cast<int>(kCsvRows);
    filter.beforeId = 0;
    x.http->offload([&store = x.state.store, filter, encoding = *encoding] {
        std::string text = std::string(kCallCsvHeader) + "\r\n";
        for (const Call &call : store.calls(filter))
            text += callCsvRow(call) + "\r\n";
        text = encoding == CsvEncoding::cp932 ? cp932FromUtf8(text) : "\xEF\xBB\xBF" + text;
        return csvResponse(std::move(text), encoding, "calls.csv");
    });
}

void listPhonebook(Exchange &x) {
    x.http->offload([&store = x.state.store] {
        json out{{"entries", json::array()}};
        for (const PhonebookEntry &entry : store.phonebook())
            out["entries"].push_back(entryJson(entry));
        return jsonResponse(http::status::ok, out);
    });
}

// {"number", "name", "prefix"?, "note"?}: without a note, an entry keeps the one it has.
void putName(Exchange &x) {
    json body = json::parse(x.request.body(), nullptr, false);
    if (!isJson(x.request) || !body.is_object() || !body.value("number", json()).is_string() ||
        !body.value("name", json()).is_string() || !body.value("prefix", json(false)).is_boolean() ||
        !body.value("note", json("")).is_string())
        return x.http->send(problem(http::status::bad_request,
                                    "send {\"number\": \"...\", \"name\": \"...\", \"note\": \"...\"}"));
    PhonebookEntry entry{digitsOf(body["number"].get<std::string>()),
                         body["name"].get<std::string>(), body.value("prefix", false)};
    if (body.contains("note"))
        entry.note = body["note"].get<std::string>();
    x.http->offload([&store = x.state.store, entry] {
        store.setName(entry);
        json stored = entryJson(entry);
        if (!entry.note)
            stored.erase("note"); // not sent, so left as it was
        return jsonResponse(http::status::ok, stored);
    });
}

void removeName(Exchange &x) {
    auto number = x.query.find("number");
    if (number == x.query.end())
        return x.http->send(problem(http::status::bad_request, "which \"number\"?"));
    std::string digits = digitsOf(number->second);
    bool prefix = valueOf(x.query, "prefix") == "1";
    x.http->offload([&store = x.state.store, digits, prefix] {
        if (!store.removeName(digits, prefix))
            return problem(http::status::not_found, "no such entry");
        return jsonResponse(http::status::ok, {{"removed", digits}});
    });
}

void exportPhonebook(Exchange &x) {
    auto encoding = encodingOf(valueOf(x.query, "encoding"));
    if (!encoding)
        return x.http->send(
            problem(http::status::bad_request, "\"encoding\" is utf8, utf8bom or cp932"));
    x.http->offload([&store = x.state.store, encoding = *encoding] {
        return csvResponse(writePhonebookCsv(store.phonebook(), encoding), encoding,
                           "phonebook.csv");
    });
}

// Each good row is stored; a broken row is reported by its line, a name the store refuses by its
// number. A store that cannot be written ends the import with its failure.
void importPhonebook(Exchange &x) {
    std::string name = valueOf(x.query, "encoding");
    std::optional<CsvEncoding> encoding;
    if (!name.empty() && name != "auto") {
        encoding = encodingOf(name);
        if (!encoding)
            return x.http->send(
                problem(http::status::bad_request, "\"encoding\" is auto, utf8 or cp932"));
    }
    x.http->offload([&store = x.state.store, encoding, bytes = x.request.body()] {
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
                if (error.fault() != StoreFault::badInput)
                    throw;
                problems.push_back({{"line", 0}, {"problem", entry.number + ": " + error.what()}});
            }
        }
        return jsonResponse(http::status::ok, {{"stored", stored}, {"problems", problems}});
    });
}

} // namespace kalvix3d::web
