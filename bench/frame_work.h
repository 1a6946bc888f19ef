// The receive thread's work on the bytes of one call, without the port: append each chunk to
// the accumulation buffer, run the frame test after each, parse the complete frame, clear.
// Shared by kalvix3_bench_frames (bytes per second) and kalvix3_frame_driver (instructions per
// frame under callgrind).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recv/accumulation.h"
#include "recv/frames.h"

namespace kalvix3::bench {

struct FrameCase {
    std::string name;                // e.g. "kind 2 STX frame"
    int kind = 0;
    const FrameRules *rules = nullptr; // the kind's, looked up once as a line does at its open
    bool byteByByte = false;         // every byte its own chunk (the most frame tests per call)
    std::vector<std::string> chunks; // as the port hands them over
    size_t bytes = 0;                // all chunks together
    double lineBytesPerSecond = 0;   // what the family's line carries at most
};

// One case per serial family, in whole chunks or byte by byte.
std::vector<FrameCase> frameCases(bool byteByByte);

// One call's work; returns the length of the number parsed (0 when the frame never completed).
size_t receiveCall(const FrameCase &call, AccumulationBuffer &buffer);

} // namespace kalvix3::bench
