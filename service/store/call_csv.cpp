// The call log as CSV: the columns `kalvix3 log --csv` prints and the web page exports.
#include "call_store.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kalvix3d {

const char *const kCallCsvHeader =
    "id,time_utc,local_time,site,line,slot,kind,number,reason,name,origin,formatted,type,area,nth";

std::string localTimeOf(const Call &call) {
    auto seconds = secondsFromIso(call.timeUtc);
    if (!seconds)
        return call.timeUtc;
    std::string iso = isoFromSeconds(*seconds + call.utcOffsetMinutes * 60);
    int offset = std::abs(call.utcOffsetMinutes);
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", call.utcOffsetMinutes < 0 ? '-' : '+',
                  offset / 60, offset % 60);
    return iso.substr(0, 19) + zone;
}

namespace {

bool looksLikeFormula(std::string_view text) {
    std::size_t first = text.find_first_not_of('\'');
    return first != std::string_view::npos && std::string_view("=+-@\t\r").find(text[first]) !=
                                                  std::string_view::npos;
}

} // namespace

std::string spreadsheetCell(const std::string &text) {
    return looksLikeFormula(text) ? "'" + text : text;
}

std::string textOfSpreadsheetCell(const std::string &cell) {
    return cell.size() > 1 && cell[0] == '\'' && looksLikeFormula(std::string_view(cell).substr(1))
               ? cell.substr(1)
               : cell;
}

std::string csvField(const std::string &text) {
    std::string cell = spreadsheetCell(text);
    bool padded = !cell.empty() && (std::string_view(" \t").find(cell.front()) != std::string_view::npos ||
                                    std::string_view(" \t").find(cell.back()) != std::string_view::npos);
    if (cell.find_first_of(",\"\r\n") == std::string::npos && !padded)
        return cell;
    std::string out = "\"";
    for (char c : cell)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string callCsvRow(const Call &call) {
    return std::to_string(call.id) + "," + call.timeUtc + "," + localTimeOf(call) + "," +
           csvField(call.site) + "," + csvField(call.lineLabel) + "," +
           std::to_string(call.lineSlot) + "," + std::to_string(call.kind) + "," +
           csvField(call.number) + "," + csvField(call.reason) + "," + csvField(call.name) + "," +
           originName(call.origin) + "," + csvField(call.formatted) + "," +
           std::string(numberKindWords(call.numberKind).key) + "," + csvField(call.area) + "," +
           std::to_string(call.nth);
}

} // namespace kalvix3d
