#include "outputs/log_output.h"

#include "log.h"
#include "platform/system.h"

namespace kalvix3d {

namespace {

std::string lineName(int slot, const std::string &label) {
    return "line " + std::to_string(slot) + " (" + label + ")";
}

} // namespace

void LogOutput::callAnnounced(const Call &call) {
    std::string text = "call " + std::to_string(call.id) + " on " +
                       lineName(call.lineSlot, call.lineLabel) + ": " + call.number;
    if (!call.reason.empty())
        text += " (" + call.reason + ")";
    if (!call.name.empty())
        text += " \"" + call.name + "\"";
    text += std::string(" ") + originName(call.origin) + " " + call.timeUtc;
    logLine(Priority::notice, text);
}

void LogOutput::lineStateChanged(const LineStatus &status) {
    std::string text = lineName(status.slot, status.label) + ": " + lineStateName(status.state);
    if (!status.reason.empty())
        text += ": " + status.reason;
    logLine(status.state == LineState::down ? Priority::warning : Priority::info, text);
}

ManagerStatusOutput::ManagerStatusOutput(const OutputContext &context) {
    for (const LineConfig &line : context.config.lines)
        lines.push_back({line.slot, lineName(line.slot, line.label) + " not opened yet"});
}

void ManagerStatusOutput::lineStateChanged(const LineStatus &status) {
    std::string text;
    for (Shown &line : lines) {
        if (line.slot == status.slot)
            line.text = lineName(status.slot, status.label) + " " + lineStateName(status.state);
        text += (text.empty() ? "" : ", ") + line.text;
    }
    platform::tellStatus(text);
}

} // namespace kalvix3d
