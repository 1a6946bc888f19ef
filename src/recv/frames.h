// Frame tests and caller-ID parsers of the serial device families; the kind table picks one
// FrameRules per family. Pure functions over the
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

// What a serial family's frames look like: its frame test, its parser, and whether its frames
// run from STX to ETX (the number-display adapters: acknowledged, repeated, used for history).
using FrameTest = bool (*)(bool historyMode, std::string_view text);
using FrameParser = void (*)(std::string_view text, ParsedFrame &result);
struct FrameRules {
    FrameTest complete;
    FrameParser parse; // clears the whole result first
    bool stxFrames;
};

// The frame tests, one per family: true when `text` holds a complete frame.
bool stxFrameComplete(bool historyMode, std::string_view text);  // ETX STX; ETX in history mode
bool ndaFrameComplete(bool historyMode, std::string_view text);  // "/C"
bool fskFrameComplete(bool historyMode, std::string_view text);  // "FSKEND"
bool alexonFrameComplete(bool historyMode, std::string_view text); // CR
bool analogFrameComplete(bool historyMode, std::string_view text); // two CR LF
bool ringLineComplete(bool historyMode, std::string_view text);  // "RING" and a CR LF after it

// How many leading bytes of a number-display text can never belong to a frame. A frame is STX,
// its fields and ETX, with neither inside: bytes up to an ETX that no STX precedes end a frame
// whose beginning is gone (purged, or left behind by a close), and an STX that another STX
// follows before any ETX began a frame that never ended.
size_t bytesBeforeStxFrame(std::string_view text);

// The first STX ... ETX frame of a text, from the STX that begins it (empty when there is none).
std::string_view firstStxFrame(std::string_view text);

// The parsers of the formats.
void parseStxFrame(std::string_view text, ParsedFrame &result);
void parseNdaLine(std::string_view text, ParsedFrame &result);
void parseFskBlock(std::string_view text, ParsedFrame &result);
void parseKeywordLine(std::string_view text, std::string_view keyword, bool alexon,
                      ParsedFrame &result);
void parseAlexonLine(std::string_view text, ParsedFrame &result); // "RING", '$' when empty
void parseAnalogLine(std::string_view text, ParsedFrame &result); // "ANALOG"
void parseRingLine(std::string_view text, ParsedFrame &result);   // "RING"

// The frame rules of the serial families.
inline constexpr FrameRules kStxFrames{stxFrameComplete, parseStxFrame, true};
inline constexpr FrameRules kNdaFrames{ndaFrameComplete, parseNdaLine, false};
inline constexpr FrameRules kFskFrames{fskFrameComplete, parseFskBlock, false};
inline constexpr FrameRules kAlexonFrames{alexonFrameComplete, parseAlexonLine, false};
inline constexpr FrameRules kAnalogFrames{analogFrameComplete, parseAnalogLine, false};
inline constexpr FrameRules kRingFrames{ringLineComplete, parseRingLine, false};

} // namespace kalvix3
