// The accumulation buffer of a serial line: received bytes are appended until the frame test of
// the line's kind finds a complete frame. It holds at most 300 data bytes and a zero, is never
// written beyond its size, and is read as a zero-terminated text by the frame tests and parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "recv/frames.h"

namespace kalvix3 {

class AccumulationBuffer {
public:
    static constexpr size_t kSize = 301;
    static constexpr size_t kMaxData = kSize - 1;

    // Appends received bytes; an over-long run without a frame keeps its newest 300 bytes, so
    // a frame that follows noise still fits.
    void append(const uint8_t *data, size_t count);
    // True when the text holds a complete frame by the line's frame rules. Text before a zero byte can never
    // complete (later bytes land after the zero), so it is dropped here and the next frame is
    // heard instead of the buffer staying deaf until it overflows; so is what can never belong
    // to a number-display frame (see bytesBeforeStxFrame).
    bool frameReady(const FrameRules &rules, bool historyMode);
    std::string_view text() const;
    size_t size() const { return length; }
    void clear();
    // Drops the first `count` bytes (all of them when count exceeds the size).
    void dropFront(size_t count);

private:
    uint8_t bytes[kSize] = {};
    size_t length = 0;
};

} // namespace kalvix3
