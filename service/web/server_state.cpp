#include "web/server_state.h"

#include "core/numbering_plan.h"
#include "web/web_server.h"

namespace kalvix3d::web {

ServerState::ServerState(net::EventLoop &loop, CallStore &store, const Config &config)
    : loop(loop), store(store), config(config), auth(config.web) {
    for (const LineConfig &line : config.lines)
        lines[line.slot] = notOpenedYet(line.slot, line.label, line.kind);
}

json ServerState::lineJson(const LineConfig &line) const {
    const LineStatus &status = lines.at(line.slot);
    return {{"slot", line.slot},
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
            {"history", line.historySize > 0}};
}

json ServerState::linesJson() const {
    json out = json::array();
    for (const LineConfig &line : config.lines)
        out.push_back(lineJson(line));
    return out;
}

json ServerState::dialsJson() const {
    json out = json::array();
    for (const auto &entry : dials)
        out.push_back(dialJson(entry.second, "dialing"));
    return out;
}

json dialJson(const Dial &dial, const char *state) {
    return {{"id", dial.id},
            {"slot", dial.slot},
            {"port", dial.telPort},
            {"number", dial.number},
            {"formatted", describeNumber(dial.number).formatted},
            {"state", state}};
}

void ServerState::setLineControl(LineControl *lineControl) {
    std::lock_guard<std::mutex> hold(controlLock);
    control = lineControl;
}

bool ServerState::withControl(const std::function<void(LineControl &)> &use) {
    std::lock_guard<std::mutex> hold(controlLock);
    if (!control)
        return false;
    use(*control);
    return true;
}

} // namespace kalvix3d::web
