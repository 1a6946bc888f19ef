// Device bytes of every serial kind, in arbitrary pieces, through the accumulation buffer, the
// frame tests and the parsers. Input: a kind selector, a history-mode bit, then pieces each
// prefixed by their length.
#include <cstring>

#include "main/kinds.h"
#include "recv/accumulation.h"
#include "recv/frames.h"

using namespace kalvix3;

namespace {
constexpr int32_t kSerialKinds[] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 33, 35, 37, 39, 41,
                                    43, 45, 47, 50, 60, 70, 71, 32, 0};

void checkParsed(const ParsedFrame &parsed) {
    if (strnlen(parsed.numberText, sizeof parsed.numberText) > 20 ||
        strnlen(parsed.dateText, sizeof parsed.dateText) > 4 ||
        strnlen(parsed.timeText, sizeof parsed.timeText) > 4)
        __builtin_trap();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    int32_t kind = kSerialKinds[data[0] % (sizeof kSerialKinds / sizeof kSerialKinds[0])];
    bool history = (data[1] & 1) != 0;
    data += 2;
    size -= 2;
    AccumulationBuffer buffer;
    while (size > 0) {
        size_t piece = data[0];
        ++data;
        --size;
        if (piece > size)
            piece = size;
        buffer.append(data, piece);
        data += piece;
        size -= piece;
        if (buffer.size() > AccumulationBuffer::kMaxData)
            __builtin_trap();
        const FrameRules *rules = frameRulesOf(kind); // none for a kind outside the table
        if (rules != nullptr && buffer.frameReady(*rules, history)) {
            ParsedFrame parsed;
            parseFrame(kind, buffer.text(), parsed);
            checkParsed(parsed);
            buffer.clear();
        }
    }
    // Each parser also on the whole remaining text, whatever the frame test says.
    ParsedFrame parsed;
    parseStxFrame(buffer.text(), parsed);
    checkParsed(parsed);
    parseNdaLine(buffer.text(), parsed);
    checkParsed(parsed);
    parseFskBlock(buffer.text(), parsed);
    checkParsed(parsed);
    parseKeywordLine(buffer.text(), "RING", true, parsed);
    checkParsed(parsed);
    return 0;
}
