// What each simulated family answers to the bytes it receives. Pure: the serving thread feeds
// it what it reads and sends what it returns.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kalvix3_sim/serial_device.h"

namespace kalvix3::sim {

struct Answer {
    std::string reply;         // bytes to send now (may be empty)
    bool acknowledged = false; // an ACK arrived: stop repeating the current report
};

class Responder {
public:
    explicit Responder(Family family) : family(family) {}
    void setHistory(std::vector<HistoryEntry> entries) { history = std::move(entries); }
    // Takes bytes as they arrive, in any pieces; returns what they call for, in order.
    std::vector<Answer> take(std::string_view bytes);

private:
    void takeNumberDisplayBytes(std::vector<Answer> &answers);
    void takeCommandLines(std::vector<Answer> &answers);

    Family family;
    std::vector<HistoryEntry> history;
    std::string pending; // received bytes not yet understood
};

// The STX frame of a number-display adapter: STX MMDD SP HHMM, the text padded to 20, ETX.
std::string stxFrame(std::string_view monthDay, std::string_view hourMinute, std::string_view text);

} // namespace kalvix3::sim
