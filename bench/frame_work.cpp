#include "frame_work.h"

#include <cstring>

#include "kalvix3_sim/serial_device.h"
#include "main/kinds.h"
#include "recv/accumulation.h"
#include "recv/frames.h"

namespace kalvix3::bench {

namespace {

using kalvix3::sim::Call;
using kalvix3::sim::Family;

struct FamilyCase {
    int kind;
    const char *what;
    double baud;
};

// Characters per second: a start bit, the data bits, a parity bit if any, a stop bit.
constexpr FamilyCase kFamilies[] = {
    {2, "STX frame (number-display adapter)", 9600 / 10.0},
    {3, "NDA-P1 line", 4800 / 10.0},
    {5, "FSK block", 38400 / 10.0},
    {14, "ALEXON RING line", 19200 / 10.0},
    {30, "Aterm ANALOG line", 19200 / 10.0},
    {50, "MN128 RING line", 19200 / 10.0},
};

} // namespace

std::vector<FrameCase> frameCases(bool byteByByte) {
    std::vector<FrameCase> cases;
    for (const FamilyCase &family : kFamilies) {
        FrameCase call;
        call.kind = family.kind;
        call.rules = frameRulesOf(family.kind);
        call.byteByByte = byteByByte;
        call.name = "kind " + std::to_string(family.kind) + " " + family.what;
        call.lineBytesPerSecond = family.baud;
        std::string report = kalvix3::sim::callerReport(*kalvix3::sim::familyOfKind(family.kind),
                                                        Call::withNumber("0312345678"));
        // A number-display adapter's frame is complete when the repeated frame's STX arrives.
        std::vector<std::string> pieces{report};
        if (family.kind == 2)
            pieces.push_back(report);
        for (const std::string &piece : pieces) {
            call.bytes += piece.size();
            if (!byteByByte) {
                call.chunks.push_back(piece);
                continue;
            }
            for (char byte : piece)
                call.chunks.emplace_back(1, byte);
        }
        cases.push_back(std::move(call));
    }
    return cases;
}

size_t receiveCall(const FrameCase &call, AccumulationBuffer &buffer) {
    for (const std::string &chunk : call.chunks) {
        buffer.append(reinterpret_cast<const uint8_t *>(chunk.data()), chunk.size());
        if (!buffer.frameReady(*call.rules, false))
            continue;
        ParsedFrame parsed;
        call.rules->parse(buffer.text(), parsed);
        buffer.clear();
        return std::strlen(parsed.numberText);
    }
    buffer.clear();
    return 0;
}

} // namespace kalvix3::bench
