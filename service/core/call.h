// A call as the service keeps it: what the call log stores and every output announces. Below
// the store and the outputs alike, so an output needs nothing of the store to speak of a call.
#pragma once

#include <cstdint>
#include <string>

#include "core/numbering_plan.h"

namespace kalvix3d {

enum class CallOrigin { live, imported };

struct Call {
    std::int64_t id = 0;      // stable id given by the store (0 until stored)
    std::string timeUtc;      // ISO 8601 in UTC to the second: "2026-12-08T09:12:00Z"
    int utcOffsetMinutes = 0; // the local offset at that moment (+540 in Japan)
    std::string site;
    std::string lineLabel; // "店舗", "FAX" (UTF-8)
    int lineSlot = 0;
    int kind = 0;       // device kind of the line
    std::string number; // the number text as the device sent it, in UTF-8 ("0312345678", "P")
    std::string reason; // words where a letter stands for the number ("withheld", ...), else ""
    std::string name;   // the phonebook's name when the call was logged, else ""
    // What the numbering plan says of the number, kept with the call.
    std::string formatted; // "0466-12-3456"; the number as sent where the plan has no grouping
    NumberKind numberKind = NumberKind::unknown;
    std::string area;       // "藤沢" for a fixed line, else ""
    std::int64_t nth = 0;   // the how-manieth call from this number the log holds (1 for the
                            // first, by time); 0 for a reason letter
    CallOrigin origin = CallOrigin::live;
    // Only in a call as it is announced, not stored:
    std::int64_t heardUnixMs = 0; // live calls: when the library told of it (ms since 1970)
    std::string previousTimeUtc;  // the call from this number before it, "" for a first call
    std::string note;             // the phonebook's note for the caller
};

inline const char *originName(CallOrigin origin) {
    return origin == CallOrigin::live ? "live" : "imported";
}

} // namespace kalvix3d
