// The POSIX port's pure translations: COM names to paths, DCBs to termios and back, and the
// kernel's line error counters to ClearCommError bits (pseudo-terminals have no counters, so
// this table is where those bits are checked).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/serial_settings_posix.h"

using namespace kalvix3::platform;
using namespace kalvix3::platform::posix;

namespace {

TEST(ComPortPath, ResolvesThroughTheComDirectoryOrTtyS) {
    struct Case {
        const char *name;
        const char *comDir;
        const char *path;
    };
    const Case cases[] = {
        {"COM3", "/tmp/coms", "/tmp/coms/COM3"},
        {"COM3", "/tmp/coms/", "/tmp/coms/COM3"},
        {"com1", "/tmp/coms", "/tmp/coms/COM1"},
        {"COM1", nullptr, "/dev/ttyS0"},
        {"COM9", "", "/dev/ttyS8"},
        {"COM12", nullptr, "/dev/ttyS11"},
        {"COM0", nullptr, ""},
        {"COM", nullptr, ""},
        {"COM3x", nullptr, ""},
        {"COM03", nullptr, ""},
        {"LPT1", nullptr, ""},
        {"/dev/ttyUSB0", nullptr, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(comPortPath(c.name, c.comDir), c.path) << c.name;
    EXPECT_EQ(comPortPath(nullptr, nullptr), "");
}

Dcb profile(uint32_t baud, uint8_t byteSize, uint8_t parity, uint8_t fParity, uint8_t cts,
            uint8_t dtr, uint8_t rts) {
    Dcb dcb;
    dcb.fBinary = 1;
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.fParity = fParity;
    dcb.fOutxCtsFlow = cts;
    dcb.fDtrControl = dtr;
    dcb.fRtsControl = rts;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

TEST(DcbToTermios, EachLineProfileBecomesRawTermios) {
    struct Case {
        Dcb dcb;
        speed_t speed;
        tcflag_t size;
        bool parity;
        bool checked;
        bool rtscts;
    };
    const Case cases[] = {
        {profile(9600, 7, EVENPARITY, 1, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE), B9600, CS7, true, true, true},
        {profile(4800, 8, NOPARITY, 0, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE), B4800, CS8, false, false, false},
        {profile(38400, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE), B38400, CS8, false, false, true},
        {profile(19200, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE), B19200, CS8, false, false, true},
    };
    for (const Case &c : cases) {
        termios tio{};
        tio.c_iflag = ICRNL | IXON | ISTRIP | IGNPAR;
        tio.c_oflag = OPOST | ONLCR;
        tio.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
        tio.c_cflag = CS5 | CSTOPB | PARODD | HUPCL;
        ASSERT_TRUE(termiosFromDcb(c.dcb, tio)) << c.dcb.BaudRate;
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ((tio.c_cflag & PARENB) != 0, c.parity);
        EXPECT_EQ(tio.c_cflag & PARODD, 0u) << "even or no parity";
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.checked);
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rtscts);
        EXPECT_EQ(tio.c_cflag & CSTOPB, 0u) << "one stop bit";
        EXPECT_NE(tio.c_cflag & CREAD, 0u);
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
        EXPECT_NE(tio.c_cflag & HUPCL, 0u) << "left alone";
        EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP | IGNPAR), 0u) << "no translation";
        EXPECT_EQ(tio.c_iflag & (PARMRK | IGNBRK | BRKINT), unsigned{PARMRK}) << "faults marked";
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
}

TEST(DcbToTermios, WhatATerminalCannotDoIsRefusedAndLeavesTermiosAlone) {
    auto base = [] { return profile(19200, 8, NOPARITY, 0, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE); };
    std::vector<std::pair<const char *, Dcb>> cases;
    auto add = [&](const char *what, auto change) {
        Dcb dcb = base();
        change(dcb);
        cases.emplace_back(what, dcb);
    };
    add("odd rate", [](Dcb &d) { d.BaudRate = 12345; });
    add("byte size 9", [](Dcb &d) { d.ByteSize = 9; });
    add("byte size 4", [](Dcb &d) { d.ByteSize = 4; });
    add("parity 5", [](Dcb &d) { d.Parity = 5; });
    add("stop bits 3", [](Dcb &d) { d.StopBits = 3; });
    add("DSR flow", [](Dcb &d) { d.fOutxDsrFlow = 1; });
    add("DSR sensitivity", [](Dcb &d) { d.fDsrSensitivity = 1; });
    add("DTR handshake", [](Dcb &d) { d.fDtrControl = 2; });
    add("RTS toggle", [](Dcb &d) { d.fRtsControl = 3; });
    add("error char", [](Dcb &d) { d.fErrorChar = 1; });
    add("null stripping", [](Dcb &d) { d.fNull = 1; });
    add("abort on error", [](Dcb &d) { d.fAbortOnError = 1; });
    for (auto &[what, dcb] : cases) {
        termios tio{};
        tio.c_cflag = CS7 | PARENB;
        EXPECT_FALSE(termiosFromDcb(dcb, tio)) << what;
        EXPECT_EQ(tio.c_cflag, tcflag_t(CS7 | PARENB)) << what;
    }
}

TEST(TermiosToDcb, FillsWhatTermiosHoldsAndKeepsTheRest) {
    Dcb set = profile(9600, 7, EVENPARITY, 1, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE);
    set.fOutX = 1;
    termios tio{};
    ASSERT_TRUE(termiosFromDcb(set, tio));

    Dcb read;
    read.XonLim = 2048;
    read.XoffLim = 512;
    read.ErrorChar = 0x3F;
    read.EofChar = 0x1A;
    read.EvtChar = 0x7E;
    read.fDummy2 = 0x5;
    read.fTXContinueOnXoff = 1;
    read.fDtrControl = DTR_CONTROL_DISABLE;
    dcbFromTermios(tio, read);
    EXPECT_EQ(read.BaudRate, 9600u);
    EXPECT_EQ(read.ByteSize, 7);
    EXPECT_EQ(read.Parity, EVENPARITY);
    EXPECT_EQ(read.fParity, 1);
    EXPECT_EQ(read.StopBits, ONESTOPBIT);
    EXPECT_EQ(read.fOutxCtsFlow, 1);
    EXPECT_EQ(read.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(read.fOutX, 1);
    EXPECT_EQ(read.fInX, 0);
    EXPECT_EQ(read.XonChar, 0x11);
    EXPECT_EQ(read.XoffChar, 0x13);
    EXPECT_EQ(read.fBinary, 1);
    // Not held by termios: as they were.
    EXPECT_EQ(read.XonLim, 2048);
    EXPECT_EQ(read.XoffLim, 512);
    EXPECT_EQ(read.ErrorChar, 0x3F);
    EXPECT_EQ(read.EofChar, 0x1A);
    EXPECT_EQ(read.EvtChar, 0x7E);
    EXPECT_EQ(read.fDummy2, 5u);
    EXPECT_EQ(read.fTXContinueOnXoff, 1);
    EXPECT_EQ(read.fDtrControl, DTR_CONTROL_DISABLE);
}

TEST(ModemLines, FollowTheDcbsDtrAndRtsControl) {
    Dcb nda = profile(4800, 8, NOPARITY, 0, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE);
    EXPECT_EQ(modemLinesForDcb(nda).dtr, LineLevel::Raise);
    EXPECT_EQ(modemLinesForDcb(nda).rts, LineLevel::Lower);
    Dcb adapter = profile(9600, 7, EVENPARITY, 1, 1, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(modemLinesForDcb(adapter).dtr, LineLevel::Lower);
    EXPECT_EQ(modemLinesForDcb(adapter).rts, LineLevel::Leave) << "the driver handshakes";
}

TEST(LineErrors, CounterChangesMapToErrorBits) {
    struct Case {
        LineCounters before, after;
        uint32_t errors;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, 0},
        {{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, 0},
        {{0, 0, 0, 0, 0}, {1, 0, 0, 0, 0}, CE_FRAME},
        {{0, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, CE_RXPARITY},
        {{0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, CE_OVERRUN},
        {{0, 0, 0, 0, 0}, {0, 0, 0, 1, 0}, CE_RXOVER},
        {{0, 0, 0, 0, 0}, {0, 0, 0, 0, 1}, CE_BREAK},
        {{7, 7, 7, 7, 7}, {9, 7, 8, 7, 7}, CE_FRAME | CE_OVERRUN},
        {{0, 0, 0, 0, 0}, {3, 3, 3, 3, 3}, CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER | CE_BREAK},
        {{0xFFFFFFFF, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, CE_FRAME}, // the counter wrapped
    };
    for (const Case &c : cases)
        EXPECT_EQ(lineErrorsBetween(c.before, c.after), c.errors)
            << c.after.frame << " " << c.after.parity << " " << c.after.overrun;
}

// The marks PARMRK puts into the input, as the port reads them, possibly split across reads.
TEST(MarkedInput, DecodesToTheBytesAsReceivedAndTheirFaults) {
    struct Case {
        const char *what;
        std::vector<std::string> reads;
        std::string data;
        uint32_t faults;
    };
    using namespace std::string_literals;
    const Case cases[] = {
        {"plain bytes", {"RING 03\r"}, "RING 03\r", 0},
        {"a real 0xFF", {"a\xFF\xFF" "b"}, "a\xFF" "b", 0},
        {"a real 0xFF split", {"a\xFF", "\xFF" "b"}, "a\xFF" "b", 0},
        {"parity error on X", {"12\xFF\x00X34"s}, "12X34", CE_RXPARITY},
        {"parity error split after 0xFF", {"12\xFF", "\x00X34"s}, "12X34", CE_RXPARITY},
        {"parity error split after 0x00", {"12\xFF\x00"s, "X34"}, "12X34", CE_RXPARITY},
        {"break", {"12\xFF\x00\x00" "34"s}, "1234", CE_BREAK},
        {"break in three reads", {"12\xFF", "\x00"s, "\x00" "34"s}, "1234", CE_BREAK},
        {"break and parity error", {"\xFF\x00\x00\xFF\x00\xB1"s}, "\xB1", CE_BREAK | CE_RXPARITY},
        {"0xFF before another byte is no mark", {"\xFF" "A"}, "\xFF" "A", 0},
        {"an unfinished mark is held", {"12\xFF\x00"s}, "12", 0},
    };
    for (const Case &c : cases) {
        MarkedInputDecoder decoder;
        std::vector<uint8_t> data;
        uint32_t faults = 0;
        for (const std::string &read : c.reads)
            decoder.decode(reinterpret_cast<const uint8_t *>(read.data()), read.size(), data,
                           faults);
        EXPECT_EQ(std::string(data.begin(), data.end()), c.data) << c.what;
        EXPECT_EQ(faults, c.faults) << c.what;
    }
}

} // namespace
