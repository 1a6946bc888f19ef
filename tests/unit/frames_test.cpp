#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/kinds.h"
#include "recv/accumulation.h"
#include "recv/frames.h"

using namespace kalvix3;

namespace {

const std::string STX = "\x02", ETX = "\x03", CR = "\r", LF = "\n";
const std::string WITHHELD = "\xcb\xc2\xb3\xc1";                            // ﾋﾂｳﾁ
const std::string OUT_OF_AREA = "\xcb\xae\xb3\xbc\xde\xb9\xdd\xb6\xde\xb2"; // ﾋｮｳｼﾞｹﾝｶﾞｲ
const std::string PUBLIC_PHONE = "\xba\xb3\xbc\xad\xb3\xc3\xde\xdd\xdc";    // ｺｳｼｭｳﾃﾞﾝﾜ

struct ParseCase {
    int32_t kind;
    std::string text;
    std::string number;
};

std::string parse(int32_t kind, const std::string &text) {
    ParsedFrame parsed;
    parseFrame(kind, std::string_view(text), parsed);
    return parsed.numberText;
}

TEST(Parsers, DeviceFormats) {
    const ParseCase cases[] = {
        {2, STX + "0315 1042" + "0312345678" + std::string(10, ' ') + ETX + STX, "0312345678"},
        {2, STX + "0315 1042" + "P" + std::string(19, ' ') + ETX + STX, "P"},
        {3, "CALL 03-1234-5678 ABCDEFGHIJK/C", "0312345678"},
        {3, "CALL " + WITHHELD + " ABCDEFGHIJK/C", "P"},
        {3, "CALL " + OUT_OF_AREA + " ABCDEFGHIJK/C", "O"},
        {3, "CALL " + PUBLIC_PHONE + " ABCDEFGHIJK/C", "C"},
        {3, "ABCDEFGHIJK/C", ""},
        {3, "0123456789012345678901234567890123 ABCDEFGHIJK/C", "5678901234567890123"}, // the 19 bytes nearest the anchor
        {5, "CID:0312345678:1" + CR + LF + "FSKEND", "0312345678"},
        {5, "CID:0312345678:end" + CR + LF + "FSKEND", ""},
        {5, "CID:111:1 CID:222:1 FSKEND", "222"},
        {5, "CID:123456789012345678901234567890:1 FSKEND", "12345678901234567890"},
        {5, "FSKEND CID:1:1", ""},
        {14, "RING   0312345678" + CR, "0312345678"},
        {14, "RING   P" + CR, "P"},
        {14, "RING" + CR, "$"},
        {14, "OK" + CR, ""},
        {14, "RING   03-1234" + CR, "03"},
        {14, "RING   0312345678P", "0312345678P"},
        {14, "RING   " + std::string(25, '9'), std::string(20, '9')},
        {17, "ANALOG 0312345678" + CR + LF + CR + LF, "0312345678"},
        {31, CR + LF + "ANALOG C" + CR + LF, "C"},
        {31, "ANALOG", ""},
        {50, "RING   0312345678" + CR + LF, "0312345678"},
        {50, "RING" + CR + LF, ""},
        {50, "RING   S" + CR + LF, "S"},
        {99, "RING   123" + CR, ""},
    };
    for (const ParseCase &c : cases)
        EXPECT_EQ(parse(c.kind, c.text), c.number) << "kind " << c.kind << " text " << c.text;
}

TEST(Parsers, StxFrameFillsDateAndTime) {
    ParsedFrame parsed;
    std::string text = STX + "0315 1042" + "0312345678" + ETX;
    parseStxFrame(text, parsed);
    EXPECT_STREQ(parsed.dateText, "0315");
    EXPECT_STREQ(parsed.timeText, "1042");
    EXPECT_STREQ(parsed.numberText, "0312345678");
    parseStxFrame("no anchor" + ETX, parsed);
    EXPECT_STREQ(parsed.dateText, "");
    EXPECT_STREQ(parsed.numberText, "");
}

TEST(Parsers, ZeroByteHidesTheAnchor) {
    std::string text = std::string("xx\0RING   123\r", 15);
    EXPECT_EQ(parse(14, std::string(frameText(reinterpret_cast<const uint8_t *>(text.data()),
                                               text.size()))),
              "");
}

TEST(Parsers, AnchorAtTheEndReadsZerosBeyond) {
    // The keyword and STX parsers look up to 29 bytes ahead; beyond the text is zero.
    EXPECT_EQ(parse(14, "RING   12"), "12");
    EXPECT_EQ(parse(2, STX + "03"), "");
    EXPECT_EQ(parse(50, "RING"), "");
}

struct FrameCase {
    int32_t kind;
    bool history;
    std::string text;
    bool complete;
};

TEST(FrameTests, ByKind) {
    const FrameCase cases[] = {
        {2, false, STX + "0315" + ETX, false},
        {2, false, STX + "0315" + ETX + STX, true},
        {2, true, STX + "0315" + ETX, true},
        {1, false, ETX + "x" + STX, false},
        {3, false, "CALL 0312/", false},
        {3, false, "CALL 0312/C", true},
        {5, false, "CID:1:1 FSKEN", false},
        {6, false, "CID:1:1 FSKEND", true},
        {14, false, "RING", false},
        {14, false, "RING\r", true},
        {17, false, "ANALOG 1\r\n", false},
        {17, false, "ANALOG 1\r\n\r\n", true},
        {30, false, "\r\n\r\n", true},
        {30, false, "\r\n\r", false},
        {50, false, "\r\nRING 1", false},
        {50, false, "\r\nRING 1\r\n", true},
        {50, false, "RING\r\n", true},
        {32, false, "RING\r\n", false},
    };
    for (const FrameCase &c : cases)
        EXPECT_EQ(frameComplete(c.kind, c.history, c.text), c.complete)
            << "kind " << c.kind << " text " << c.text;
}

} // namespace

namespace {

struct AccumulationCase {
    const char *name;
    int32_t kind;
    std::vector<std::string> pieces;
    bool ready;
    std::string text; // what the parser then sees
};

TEST(Accumulation, PiecesNoiseAndZeroBytes) {
    const std::string zero(1, '\0');
    const AccumulationCase cases[] = {
        {"pieces", 14, {"RI", "NG   03", "12\r"}, true, "RING   0312\r"},
        {"incomplete", 14, {"RING   0312"}, false, "RING   0312"},
        {"zero before frame", 14, {"RI" + zero + "NG   1", "RING   222\r"}, true, "NG   1RING   222\r"},
        {"zero after frame", 14, {"RING   1\r" + zero + "x"}, true, "RING   1\r"},
        {"zero at end", 14, {"RING   1" + zero}, false, ""},
        {"many zeros", 17, {zero + zero + "ANALOG 5\r\n" + zero + "ANALOG 6\r\n\r\n"}, true,
         "ANALOG 6\r\n\r\n"},
        {"stx pieces", 2, {"\x02" "0101 0101", "123\x03", "\x02"}, true, "\x02" "0101 0101123\x03\x02"},
    };
    for (const AccumulationCase &c : cases) {
        AccumulationBuffer buffer;
        bool ready = false;
        for (const std::string &piece : c.pieces) {
            buffer.append(reinterpret_cast<const uint8_t *>(piece.data()), piece.size());
            ready = buffer.frameReady(*frameRulesOf(c.kind), false);
        }
        EXPECT_EQ(ready, c.ready) << c.name;
        EXPECT_EQ(std::string(buffer.text()), c.text) << c.name;
    }
}

// A number-display frame is STX, its fields and ETX: what can never belong to one is dropped
// before the frame test, so a cut-off end and the next report's STX do not pass for a frame.
TEST(Accumulation, WhatCanNeverBeANumberDisplayFrameGoesFirst) {
    const std::string frame = STX + "0315 1042" + "0312345678" + std::string(10, ' ') + ETX;
    const std::string cutOff = "1042" + std::string("0399998888") + "          " + ETX;
    const AccumulationCase cases[] = {
        {"the end of a cut-off frame, then a report arriving", 2, {cutOff, STX + "0315 1042031"},
         false, STX + "0315 1042031"},
        {"the end of a cut-off frame, then a whole report", 2, {cutOff, frame + STX}, true,
         frame + STX},
        {"a stray STX before a report", 2, {STX, frame + STX}, true, frame + STX},
        {"a frame that never ended", 2, {STX + "0315 10", frame + STX}, true, frame + STX},
        {"noise before a report", 1, {"\x7f\x80x", frame + STX}, true, frame + STX},
        {"a lone frame end", 4, {ETX + STX}, false, STX},
        {"history mode, a cut-off end", 7, {cutOff + STX + "0315"}, false, STX + "0315"},
    };
    for (const AccumulationCase &c : cases) {
        AccumulationBuffer buffer;
        bool ready = false;
        bool history = std::string(c.name).rfind("history", 0) == 0;
        for (const std::string &piece : c.pieces) {
            buffer.append(reinterpret_cast<const uint8_t *>(piece.data()), piece.size());
            ready = buffer.frameReady(*frameRulesOf(c.kind), history);
        }
        EXPECT_EQ(ready, c.ready) << c.name;
        EXPECT_EQ(std::string(buffer.text()), c.text) << c.name;
    }
}

TEST(FrameTests, WhereANumberDisplayFrameBegins) {
    const struct {
        std::string text;
        size_t before;
        std::string frame;
    } cases[] = {
        {STX + "a" + ETX, 0, STX + "a" + ETX},
        {"xy" + STX + "a" + ETX, 2, STX + "a" + ETX},
        {"ab" + ETX + STX + "c" + ETX, 3, STX + "c" + ETX},
        {STX + "a" + STX + "b" + ETX, 2, STX + "b" + ETX},
        {ETX + ETX + STX + STX, 3, ""},
        {"abc", 0, ""},
        {ETX, 1, ""},
        {"", 0, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bytesBeforeStxFrame(c.text), c.before) << c.text;
        EXPECT_EQ(std::string(firstStxFrame(c.text)), c.frame) << c.text;
    }
}

TEST(Accumulation, OverlongRunKeepsTheNewestBytes) {
    AccumulationBuffer buffer;
    std::string noise(1000, 'x');
    for (size_t piece : {1u, 140u, 299u, 300u, 301u, 1000u}) {
        buffer.append(reinterpret_cast<const uint8_t *>(noise.data()), piece);
        EXPECT_LE(buffer.size(), AccumulationBuffer::kMaxData);
        EXPECT_FALSE(buffer.frameReady(*frameRulesOf(14), false));
    }
    std::string call = "RING   0312345678\r";
    buffer.append(reinterpret_cast<const uint8_t *>(call.data()), call.size());
    ASSERT_TRUE(buffer.frameReady(*frameRulesOf(14), false));
    ParsedFrame parsed;
    parseFrame(14, buffer.text(), parsed);
    EXPECT_STREQ(parsed.numberText, "0312345678");
    EXPECT_EQ(buffer.size(), AccumulationBuffer::kMaxData);
}

} // namespace
