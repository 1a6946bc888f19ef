#include "recv/accumulation.h"

#include <cstring>


namespace kalvix3 {

void AccumulationBuffer::append(const uint8_t *data, size_t count) {
    if (count > kMaxData) {
        data += count - kMaxData;
        count = kMaxData;
        length = 0;
    }
    if (length + count > kMaxData) {
        size_t drop = length + count - kMaxData;
        std::memmove(bytes, bytes + drop, length - drop);
        length -= drop;
    }
    std::memcpy(bytes + length, data, count);
    length += count;
    std::memset(bytes + length, 0, kSize - length);
}

bool AccumulationBuffer::frameReady(const FrameRules &rules, bool historyMode) {
    bool stxFrames = rules.stxFrames;
    for (;;) {
        // What can never belong to a number-display frame goes first: otherwise the ETX of a
        // cut-off frame and the STX of the next report would pass for a complete frame while
        // that report is still arriving.
        if (size_t junk = stxFrames ? bytesBeforeStxFrame(text()) : 0; junk != 0)
            dropFront(junk);
        std::string_view current = text();
        if (rules.complete(historyMode, current))
            return true;
        if (current.size() == length)
            return false;
        size_t rest = length - current.size() - 1;
        std::memmove(bytes, bytes + current.size() + 1, rest);
        std::memset(bytes + rest, 0, kSize - rest);
        length = rest;
    }
}

std::string_view AccumulationBuffer::text() const { return frameText(bytes, length); }

void AccumulationBuffer::dropFront(size_t count) {
    if (count >= length) {
        clear();
        return;
    }
    std::memmove(bytes, bytes + count, length - count);
    length -= count;
    std::memset(bytes + length, 0, kSize - length);
}

void AccumulationBuffer::clear() {
    std::memset(bytes, 0, kSize);
    length = 0;
}

} // namespace kalvix3
