#include "outputs/status_stream.h"

#include <atomic>

#include "platform/system.h"

namespace kalvix3d::status {

namespace {

std::atomic<int> channel{-1};

} // namespace

void open(int descriptor) { channel = descriptor; }
bool isOpen() { return channel >= 0; }

void report(const nlohmann::json &event) {
    if (!isOpen())
        return;
    platform::writeWhole(channel, event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void StatusOutput::callAnnounced(const Call &call) {
    report({{"event", "call"},      {"id", call.id},         {"slot", call.lineSlot},
            {"line", call.lineLabel}, {"number", call.number}, {"reason", call.reason},
            {"name", call.name},    {"origin", originName(call.origin)}, {"time", call.timeUtc}});
}

void StatusOutput::lineStateChanged(const LineStatus &status) {
    report({{"event", "line"},
            {"slot", status.slot},
            {"label", status.label},
            {"state", lineStateName(status.state)},
            {"cause", causeWords(status.cause).key},
            {"reason", status.reason},
            {"openResult", status.openResult},
            {"lineError", status.lineError}});
}

} // namespace kalvix3d::status
