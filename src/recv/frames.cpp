#include "recv/frames.h"

#include <algorithm>
#include <cstring>

namespace kalvix3 {

namespace {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;

// The byte at `position` of the text, or 0 beyond its end.
uint8_t byteAt(std::string_view text, size_t position) {
    return position < text.size() ? static_cast<uint8_t>(text[position]) : 0;
}

bool isDigit(uint8_t value) { return value >= '0' && value <= '9'; }

bool isHalfWidthKatakana(uint8_t value) { return value >= 0xA6 && value <= 0xDF; }

// CR LF, then a second CR LF searched from 2 bytes after the start of the first.
bool holdsTwoLineEnds(std::string_view text) {
    size_t first = text.find("\r\n");
    return first != std::string_view::npos && text.find("\r\n", first + 2) != std::string_view::npos;
}

bool holdsRingLine(std::string_view text) {
    size_t ring = text.find("RING");
    return ring != std::string_view::npos && text.find("\r\n", ring) != std::string_view::npos;
}

void copyText(char *field, size_t fieldSize, std::string_view text) {
    size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// Code page 932 reason texts of the NDA-P1 and their letters, tested in this order.
struct ReasonText {
    std::string_view deviceText;
    const char *letter;
};
constexpr ReasonText kNdaReasons[] = {
    {"\313\256\263\274\336\271\335\266\336\262", "O"}, // out of area
    {"\272\263\274\255\263\303\336\335\334", "C"},     // public telephone
    {"\313\302\263\301", "P"},                         // withheld
};

constexpr size_t kNdaCollection = 19;

} // namespace

std::string_view frameText(const uint8_t *buffer, size_t length) {
    const void *zero = std::memchr(buffer, 0, length);
    size_t textLength = zero ? static_cast<size_t>(static_cast<const uint8_t *>(zero) - buffer) : length;
    return {reinterpret_cast<const char *>(buffer), textLength};
}

size_t bytesBeforeStxFrame(std::string_view text) {
    constexpr std::string_view kMarks("\x02\x03", 2);
    size_t start = 0;
    for (;;) {
        size_t mark = text.find_first_of(kMarks, start);
        if (mark == std::string_view::npos)
            return start;
        if (text[mark] == ETX) { // the end of a frame whose beginning is gone
            start = mark + 1;
            continue;
        }
        size_t next = text.find_first_of(kMarks, mark + 1);
        if (next != std::string_view::npos && text[next] == STX) { // a frame that never ended
            start = next;
            continue;
        }
        return mark;
    }
}

std::string_view firstStxFrame(std::string_view text) {
    size_t stx = bytesBeforeStxFrame(text);
    if (stx >= text.size() || text[stx] != STX)
        return {};
    size_t etx = text.find(ETX, stx);
    if (etx == std::string_view::npos)
        return {};
    return text.substr(stx, etx - stx + 1);
}

bool stxFrameComplete(bool historyMode, std::string_view text) {
    return historyMode ? text.find(ETX) != std::string_view::npos
                       : text.find("\003\002") != std::string_view::npos;
}

bool ndaFrameComplete(bool, std::string_view text) {
    return text.find("/C") != std::string_view::npos;
}

bool fskFrameComplete(bool, std::string_view text) {
    return text.find("FSKEND") != std::string_view::npos;
}

bool alexonFrameComplete(bool, std::string_view text) {
    return text.find('\r') != std::string_view::npos;
}

bool analogFrameComplete(bool, std::string_view text) { return holdsTwoLineEnds(text); }

bool ringLineComplete(bool, std::string_view text) { return holdsRingLine(text); }

void parseStxFrame(std::string_view text, ParsedFrame &result) {
    std::memset(&result, 0, sizeof result);
    size_t stx = text.find(STX);
    if (stx == std::string_view::npos)
        return; // no anchor: all three fields stay empty
    for (size_t i = 0; i < 4; ++i) {
        result.dateText[i] = static_cast<char>(byteAt(text, stx + 1 + i));
        result.timeText[i] = static_cast<char>(byteAt(text, stx + 6 + i));
    }
    char number[21] = {};
    for (size_t i = 0; i < 20; ++i)
        number[i] = static_cast<char>(byteAt(text, stx + 10 + i));
    size_t length = std::strlen(number);
    while (length > 0 && static_cast<uint8_t>(number[length - 1]) <= 0x20)
        --length;
    std::memcpy(result.numberText, number, length);
}

void parseNdaLine(std::string_view text, ParsedFrame &result) {
    std::memset(&result, 0, sizeof result);
    size_t anchor = text.find("/C");
    if (anchor == std::string_view::npos || anchor < 13)
        return;
    char collected[kNdaCollection + 1] = {};
    size_t count = 0;
    // Backwards from 13 bytes before "/C"; a full collection ends the scan.
    for (size_t i = anchor - 13 + 1; i-- > 0 && count < kNdaCollection;) {
        uint8_t value = static_cast<uint8_t>(text[i]);
        if (isDigit(value) || isHalfWidthKatakana(value))
            collected[count++] = static_cast<char>(value);
        else if (value != '-')
            break;
    }
    std::reverse(collected, collected + count);
    std::string_view collection(collected, count);
    for (const ReasonText &reason : kNdaReasons) {
        if (collection.substr(0, reason.deviceText.size()) == reason.deviceText) {
            copyText(result.numberText, sizeof result.numberText, reason.letter);
            return;
        }
    }
    copyText(result.numberText, sizeof result.numberText, collection);
}

void parseFskBlock(std::string_view text, ParsedFrame &result) {
    std::memset(&result, 0, sizeof result);
    size_t end = text.find("FSKEND");
    if (end == std::string_view::npos)
        return;
    for (size_t n = end; n-- > 0;) {
        if (text.compare(n, 4, "CID:") != 0)
            continue;
        size_t colon = text.find(':', n + 4);
        if (colon == std::string_view::npos)
            continue;
        if (byteAt(text, colon + 1) == 'e')
            return;
        // A longer text than the field holds is cut to its first 20 characters.
        copyText(result.numberText, sizeof result.numberText, text.substr(n + 4, colon - (n + 4)));
        return;
    }
}

void parseKeywordLine(std::string_view text, std::string_view keyword, bool alexon,
                      ParsedFrame &result) {
    std::memset(&result, 0, sizeof result);
    size_t anchor = text.find(keyword);
    if (anchor == std::string_view::npos)
        return;
    size_t length = 0;
    for (size_t i = 0; i < 20; ++i) {
        uint8_t value = byteAt(text, anchor + 7 + i);
        if (isDigit(value)) {
            result.numberText[length++] = static_cast<char>(value);
            continue;
        }
        if (value == 'O' || value == 'S' || value == 'C' || value == 'P')
            result.numberText[length++] = static_cast<char>(value);
        break;
    }
    if (alexon && length == 0)
        result.numberText[0] = '$';
}

void parseAlexonLine(std::string_view text, ParsedFrame &result) {
    parseKeywordLine(text, "RING", true, result);
}

void parseAnalogLine(std::string_view text, ParsedFrame &result) {
    parseKeywordLine(text, "ANALOG", false, result);
}

void parseRingLine(std::string_view text, ParsedFrame &result) {
    parseKeywordLine(text, "RING", false, result);
}

} // namespace kalvix3
