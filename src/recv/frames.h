// Frame tests and caller-ID parsers of the serial device families. Pure functions over the
// accumulation buffer read as a zero-terminated text: a zero byte ends the text, and bytes
// beyond the text read as zero, so no parser reads outside the buffer it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kalvix3 {

struct ParsedFrame {
    char numberText[21]; // up to 20 characters and a zero byte
    char dateText[5];    // MMDD (STX frames only)
    char timeText[5];    // HHMM (STX frames only)
};

// The text of a buffer: its bytes up to the first zero byte, or all `length` bytes.
std::string_view frameText(const uint8_t *buffer, size_t length);

// True when `text` holds a complete frame for the device kind (and history mode).
bool frameComplete(int32_t kind, bool historyMode, std::string_view text);

// How many leading bytes of a number-display text can never belong to a frame. A frame is STX,
// its fields and ETX, with neither inside: bytes up to an ETX that no STX precedes end a frame
// whose beginning is gone (purged, or left behind by a close), and an STX that another STX
// follows before any ETX began a frame that never ended.
size_t bytesBeforeStxFrame(std::string_view text);

// The first STX ... ETX frame of a text, from the STX that begins it (empty when there is none).
std::string_view firstStxFrame(std::string_view text);

// Runs the kind's parser; clears the whole result first. Kinds without a parser leave it empty.
void parseFrame(int32_t kind, std::string_view text, ParsedFrame &result);

// The individual parsers, for the tests of each format.
void parseStxFrame(std::string_view text, ParsedFrame &result);
void parseNdaLine(std::string_view text, ParsedFrame &result);
void parseFskBlock(std::string_view text, ParsedFrame &result);
void parseKeywordLine(std::string_view text, std::string_view keyword, bool alexon,
                      ParsedFrame &result);

} // namespace kalvix3
