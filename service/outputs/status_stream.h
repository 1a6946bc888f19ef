// For the programs that drive kalvix3d (its tests, rigs and the demo): what the service does,
// one JSON object per line on a descriptor given with --status-fd, so that they wait on facts
// rather than on the words of the log. Without the option nothing is written.
//
//   {"event":"line","slot":0,"label":"店舗","state":"up","cause":"","reason":"",...}
//   {"event":"call","id":7,"slot":0,"number":"0312345678","name":"","reason":"",...}
//   {"event":"ready"}  {"event":"history","slot":0,"read":true,"records":3,"added":2}
//   {"event":"phonebook","loaded":1,"skipped":0}  {"event":"durable","id":7,"ms":1.2}
//   {"event":"listening","output":"web","address":"http://127.0.0.1:8380/"}
//   {"event":"mqtt","state":"connected"|"lost"|"refused"}  {"event":"stopping"}
//
// Threads: report() from any thread; each event is written whole.
#pragma once

#include <nlohmann/json.hpp>

#include "outputs/output.h"

namespace kalvix3d::status {

// From main(), before any thread starts. The descriptor stays open for the process's life.
void open(int descriptor);
bool isOpen();
void report(const nlohmann::json &event);

// Calls and line states, as announced.
class StatusOutput : public Output {
public:
    explicit StatusOutput(const OutputContext &) {}
    void callAnnounced(const Call &call) override;
    void lineStateChanged(const LineStatus &status) override;
};

} // namespace kalvix3d::status
