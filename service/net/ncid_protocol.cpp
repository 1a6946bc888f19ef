#include "net/ncid_protocol.h"

#include <chrono>
#include <cstdio>

#include "store/call_store.h"

namespace kalvix3d::net {

void NcidLineReader::feed(std::string_view bytes, std::vector<std::string> &lines) {
    for (char byte : bytes) {
        if (byte == '\n') {
            if (skipping)
                skipping = false;
            else
                lines.push_back(std::move(partial));
            partial.clear();
        } else if (byte == '\r' || skipping) {
            continue;
        } else if (partial.size() >= maxLine) {
            // The rest of this line is thrown away: a client cannot make the server hold more.
            partial.clear();
            skipping = true;
            ++overlongLines;
        } else {
            partial.push_back(byte);
        }
    }
}

namespace {

bool startsWith(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The local date and time of a moment that is `offsetMinutes` from UTC.
struct LocalStamp {
    std::string date = "00000000"; // mmddyyyy
    std::string time = "0000";     // hhmm
};

// The civil calendar of std::chrono, so that no C library's gmtime is needed.
LocalStamp localStamp(std::int64_t unixTime, int offsetMinutes) {
    using namespace std::chrono;
    LocalStamp stamp;
    std::int64_t local = unixTime + std::int64_t{offsetMinutes} * 60;
    constexpr std::int64_t kFirst = -62167219200;  // 0000-01-01T00:00:00Z
    constexpr std::int64_t kAfterLast = 253402300800; // 10000-01-01T00:00:00Z
    if (local < kFirst || local >= kAfterLast)
        return stamp;
    sys_seconds moment{seconds{local}};
    sys_days day = floor<days>(moment);
    year_month_day date{day};
    auto minutes = duration_cast<std::chrono::minutes>(moment - day).count();
    char text[32];
    std::snprintf(text, sizeof text, "%02u%02u%04d", static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(date.year()));
    stamp.date = text;
    std::snprintf(text, sizeof text, "%02d%02d", static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    stamp.time = text;
    return stamp;
}

LocalStamp callStamp(const Call &call) {
    return localStamp(secondsFromIso(call.timeUtc).value_or(0), call.utcOffsetMinutes);
}

} // namespace

ClientLine parseClientLine(std::string_view line) {
    std::string_view text = trim(line);
    if (text.empty())
        return {ClientLineKind::keepAlive, ""};
    if (startsWith(text, "HELLO:")) {
        std::string_view rest = trim(text.substr(6));
        if (startsWith(rest, "IDENT:"))
            return {ClientLineKind::helloIdent, std::string(trim(rest.substr(6)))};
        if (startsWith(rest, "CMD:")) {
            std::string_view command = trim(rest.substr(4));
            if (command == "no_log")
                return {ClientLineKind::helloNoLog, ""};
        }
        return {ClientLineKind::helloOther, std::string(rest)};
    }
    if (text == "GOODBYE")
        return {ClientLineKind::goodbye, ""};
    if (startsWith(text, "REQ:")) {
        std::string_view job = trim(text.substr(4));
        if (job == "YO")
            return {ClientLineKind::requestYo, ""};
        return {ClientLineKind::requestJob, std::string(job)};
    }
    // A line type is an upper-case word ending in ':' (a forwarding gateway puts a '+' first).
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        std::string_view type = text.substr(0, colon);
        if (type.front() == '+')
            type.remove_prefix(1);
        static constexpr std::string_view kGatewayTypes[] = {"CALL", "CALLINFO", "MSG", "NOT",
                                                             "RLY",  "CID",      "HUP", "BLK",
                                                             "PID",  "WID",      "END", "XDMF"};
        for (std::string_view known : kGatewayTypes)
            if (type == known)
                return {ClientLineKind::gatewayInput, std::string(known)};
    }
    return {ClientLineKind::unknown, std::string(text.substr(0, 64))};
}

std::string ncidField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char byte : text) {
        if (byte == '*')
            out.push_back('-');
        else if (byte < 0x20 || byte == 0x7f)
            out.push_back(' ');
        else
            out.push_back(static_cast<char>(byte));
    }
    std::string_view kept = trim(out);
    return kept.empty() ? "-" : std::string(kept);
}

NcidCaller ncidCallerOf(const Call &call) {
    const std::string &number = call.number;
    if (number == "P")
        return {"PRIVATE", "PRIVATE"};
    if (number == "O")
        return {"OUT-OF-AREA", "OUT-OF-AREA"};
    if (number == "C") // a public phone: shown as a payphone, the name clients know for it
        return {"PAYPHONE", call.name.empty() ? "PAYPHONE" : call.name};
    if (number == "S") // the network could not pass the number on
        return {"NO-NUMBER", "UNAVAILABLE"};
    if (number == "$" || number.empty()) // it rang but no number came
        return {"RING", "No Caller ID"};
    return {ncidField(number), call.name.empty() ? "NO NAME" : ncidField(call.name)};
}

std::string ncidCallLine(const Call &call, std::string_view label) {
    LocalStamp stamp = callStamp(call);
    NcidCaller caller = ncidCallerOf(call);
    std::string line;
    line.reserve(96 + call.lineLabel.size() + caller.name.size());
    line.append(label).append(" *DATE*").append(stamp.date).append("*TIME*").append(stamp.time);
    line.append("*LINE*").append(ncidField(call.lineLabel));
    line.append("*NMBR*").append(caller.number).append("*MESG*NONE*NAME*").append(caller.name);
    line.append("*\r\n");
    return line;
}

std::string ncidLineStateMessage(const LineStatus &status, std::int64_t unixTime, int utcOffsetMinutes) {
    LocalStamp stamp = localStamp(unixTime, utcOffsetMinutes);
    std::string text = "line " + std::to_string(status.slot) + " (" + status.label + ") " +
                       lineStateName(status.state);
    if (!status.reason.empty())
        text += ": " + status.reason;
    std::string line = "MSG: " + ncidField(text) + "***DATE*" + stamp.date + "*TIME*" +
                       stamp.time + "*NAME*-*NMBR*-*LINE*" + ncidField(status.label) +
                       "*MTYPE*-*\r\n";
    return line;
}

std::string ncidGatewayCallLine(const Call &call) {
    LocalStamp stamp = callStamp(call);
    NcidCaller caller = ncidCallerOf(call);
    auto dotted = [](std::string text) {
        // "..." separates fields here, and "+++" ends the line: neither may appear inside one.
        for (std::size_t at; (at = text.find("...")) != std::string::npos;)
            text.replace(at, 3, "--");
        for (std::size_t at; (at = text.find("+++")) != std::string::npos;)
            text.replace(at, 3, "--");
        return text;
    };
    std::string datetime = stamp.date.substr(0, 4) + stamp.time; // mmddhhmm
    return "CALL: ###DATE" + datetime + "...CALLIN...LINE" + dotted(ncidField(call.lineLabel)) +
           "...NMBR" + dotted(caller.number) + "...NAME" + dotted(caller.name) + "+++\r\n";
}

} // namespace kalvix3d::net
