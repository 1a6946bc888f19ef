// The lines: their state, a dial, reading a device's history now. Dials and history reads run
// on the supervisor's thread (LineControl), which posts the outcome back; the events tell every
// page how they went.
#include <variant>

#include "kalvix3.h"
#include "web/api.h"
#include "web/http_session.h"
#include "web/server_state.h"
#include "web/web_server.h"

namespace kalvix3d::web {

namespace {

// The dial a request asks for, or the answer refusing it.
std::variant<Dial, Response> dialOf(const Exchange &x) {
    json body = json::parse(x.request.body(), nullptr, false);
    if (!isJson(x.request) || !body.is_object() || !body.value("number", json()).is_string() ||
        !body.value("slot", json()).is_number_integer())
        return problem(http::status::bad_request,
                       "send {\"slot\": 1, \"port\": 1, \"number\": \"...\"}");
    Dial dial{0, body["slot"].get<int>(),
              body.value("port", json(1)).is_number_integer() ? body.value("port", 1) : 0,
              digitsOf(body["number"].get<std::string>())};
    if (dial.number.empty() || dial.number.size() > KALVIX3_MAX_DIAL_DIGITS) // nothing is dialled
        return problem(http::status::bad_request,
                       "the number needs 1 to " + std::to_string(KALVIX3_MAX_DIAL_DIGITS) +
                           " digits");
    const LineConfig *line = x.state.config.line(dial.slot);
    if (!line)
        return problem(http::status::not_found, "no such line");
    if (line->dialPorts <= 0)
        return problem(http::status::conflict, "this line's device cannot dial");
    if (dial.telPort < 1 || dial.telPort > line->dialPorts)
        return problem(http::status::bad_request, "\"port\" is a telephone port from 1 to " +
                                                      std::to_string(line->dialPorts));
    if (static_cast<int>(x.state.dials.size()) >= WebServer::kMaxDials)
        return problem(http::status::too_many_requests, "other dials are waiting");
    return dial;
}

} // namespace

void listLines(Exchange &x) {
    x.http->send(jsonResponse(http::status::ok, {{"lines", x.state.linesJson()}}));
}

void dial(Exchange &x) {
    auto asked = dialOf(x);
    if (auto *refused = std::get_if<Response>(&asked))
        return x.http->send(std::move(*refused));
    ServerState *state = &x.state;
    Dial entry = std::get<Dial>(asked);
    entry.id = state->nextDialId++;
    bool taken = state->withControl([state, entry](LineControl &control) {
        control.requestDial(entry.slot, entry.telPort, entry.number, [state, entry](std::string why) {
            state->loop.post([state, entry, why] {
                state->dials.erase(entry.id);
                json done = dialJson(entry, why.empty() ? "ended" : "failed");
                done["problem"] = why;
                state->streams.broadcast("dial", done);
            });
        });
    });
    if (!taken)
        return x.http->send(problem(http::status::service_unavailable, "the service is stopping"));
    state->dials[entry.id] = entry;
    state->streams.broadcast("dial", dialJson(entry, "dialing"));
    x.http->send(jsonResponse(http::status::accepted, {{"id", entry.id}, {"state", "dialing"}}));
}

void importHistory(Exchange &x) {
    int slot = x.slot == "0" ? 0 : x.slot == "1" ? 1 : -1;
    const LineConfig *line = x.state.config.line(slot);
    if (!line)
        return x.http->send(problem(http::status::not_found, "no such line"));
    if (line->historySize <= 0)
        return x.http->send(
            problem(http::status::conflict, "this kind of device keeps no history"));
    ServerState *state = &x.state;
    state->streams.broadcast("import", {{"slot", slot}, {"state", "reading"}});
    bool taken = state->withControl([state, slot](LineControl &control) {
        control.requestHistoryImport(slot, [state, slot](ImportReport report) {
            state->loop.post([state, slot, report] {
                state->streams.broadcast("import", {{"slot", slot},
                                                    {"state", "done"},
                                                    {"read", report.read},
                                                    {"problem", report.problem},
                                                    {"records", report.records},
                                                    {"added", report.added}});
            });
        });
    });
    if (!taken)
        return x.http->send(problem(http::status::service_unavailable, "the service is stopping"));
    x.http->send(jsonResponse(http::status::accepted, {{"slot", slot}, {"state", "reading"}}));
}

} // namespace kalvix3d::web
