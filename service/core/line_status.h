// The state of one configured line as the supervisor announces it to every output.
#pragma once

#include <string>

#include "core/words.h"

namespace kalvix3d {

enum class LineState { up, down, reopening };
const char *lineStateName(LineState state); // "up", "down", "reopening"

struct LineStatus {
    int slot = 0;
    std::string label;
    int kind = 0;
    LineState state = LineState::down;
    LineCause cause = LineCause::notOpenedYet; // why it is down (none when up)
    std::string reason; // the same with its particulars, in words ("" when up)
    int openResult = 0; // the OpenCommLineEx result that kept it down, else 0
    int lineError = 0;  // the line error that took it down, else 0
};

// A configured line before the supervisor has tried it.
inline LineStatus notOpenedYet(int slot, std::string label, int kind) {
    LineStatus status;
    status.slot = slot;
    status.label = std::move(label);
    status.kind = kind;
    status.cause = LineCause::notOpenedYet;
    status.reason = std::string(causeWords(LineCause::notOpenedYet).english);
    return status;
}

} // namespace kalvix3d
