#include "platform/posix/serial_settings_posix.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace kalvix3::platform::posix {

namespace {

// DCB values the library itself never uses, but a DCB may carry.
constexpr uint8_t ODDPARITY = 1;
constexpr uint8_t MARKPARITY = 3;
constexpr uint8_t SPACEPARITY = 4;
constexpr uint8_t ONE5STOPBITS = 1;
constexpr uint8_t TWOSTOPBITS = 2;
constexpr uint8_t DTR_CONTROL_HANDSHAKE = 2;
constexpr uint8_t RTS_CONTROL_ENABLE = 1;
constexpr uint8_t RTS_CONTROL_TOGGLE = 3;

struct SpeedEntry {
    uint32_t baudRate;
    speed_t speed;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

tcflag_t byteSizeFlag(uint8_t byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

uint8_t byteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

// PARENB/PARODD (and CMSPAR for mark and space) of a DCB parity; false when not expressible.
bool parityFlags(uint8_t parity, tcflag_t &flags) {
    switch (parity) {
    case NOPARITY: flags = 0; return true;
    case ODDPARITY: flags = PARENB | PARODD; return true;
    case EVENPARITY: flags = PARENB; return true;
#ifdef CMSPAR
    case MARKPARITY: flags = PARENB | PARODD | CMSPAR; return true;
    case SPACEPARITY: flags = PARENB | CMSPAR; return true;
#endif
    default: return false;
    }
}

uint8_t parityOf(tcflag_t cflag) {
    if ((cflag & PARENB) == 0)
        return NOPARITY;
#ifdef CMSPAR
    if (cflag & CMSPAR)
        return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
#endif
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

// What a POSIX terminal has no counterpart for.
bool asksForTheUnsupported(const Dcb &dcb) {
    return dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
           dcb.fDtrControl > DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE ||
           dcb.fRtsControl > RTS_CONTROL_TOGGLE || dcb.fErrorChar || dcb.fNull ||
           dcb.fAbortOnError;
}

bool changed(uint32_t before, uint32_t after) { return before != after; }

} // namespace

std::string comPortPath(const char *portName, const char *comDir) {
    if (portName == nullptr || strncasecmp(portName, "COM", 3) != 0)
        return {};
    const char *digits = portName + 3;
    if (*digits == '\0' || *digits == '0' || std::strlen(digits) > 4)
        return {};
    unsigned number = 0;
    for (const char *p = digits; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return {};
        number = number * 10 + static_cast<unsigned>(*p - '0');
    }
    if (comDir != nullptr && *comDir != '\0') {
        std::string path = comDir;
        if (path.back() != '/')
            path += '/';
        return path + "COM" + digits;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

bool speedForBaudRate(uint32_t baudRate, speed_t &speed) {
    for (const SpeedEntry &entry : kSpeeds) {
        if (entry.baudRate == baudRate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

uint32_t baudRateForSpeed(speed_t speed) {
    for (const SpeedEntry &entry : kSpeeds)
        if (entry.speed == speed)
            return entry.baudRate;
    return 0;
}

bool termiosFromDcb(const Dcb &dcb, termios &tio) {
    speed_t speed = 0;
    tcflag_t parity = 0;
    if (!speedForBaudRate(dcb.BaudRate, speed) || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
        !parityFlags(dcb.Parity, parity) || dcb.StopBits > TWOSTOPBITS ||
        asksForTheUnsupported(dcb))
        return false;

    termios next = tio;
    cfsetispeed(&next, speed);
    cfsetospeed(&next, speed);
    // Raw: bytes pass unchanged both ways, except that parity and framing errors and breaks are
    // marked in the input (PARMRK) instead of arriving as zero bytes; the port decodes the marks
    // (MarkedInputDecoder) into the faulted byte as received and a line error.
    next.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | INPCK | ISTRIP | INLCR |
                                           IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
    next.c_iflag |= PARMRK;
    if (dcb.fParity)
        next.c_iflag |= INPCK;
    if (dcb.fOutX)
        next.c_iflag |= IXON;
    if (dcb.fInX)
        next.c_iflag |= IXOFF;
    next.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    next.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    next.c_cflag &= ~framing;
    next.c_cflag |= CREAD | CLOCAL | byteSizeFlag(dcb.ByteSize) | parity;
    if (dcb.StopBits != ONESTOPBIT)
        next.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        next.c_cflag |= CRTSCTS;
    next.c_cc[VMIN] = 0;
    next.c_cc[VTIME] = 0;
    next.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    next.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio = next;
    return true;
}

void dcbFromTermios(const termios &tio, Dcb &dcb) {
    dcb.BaudRate = baudRateForSpeed(cfgetospeed(&tio));
    dcb.ByteSize = byteSizeOf(tio.c_cflag);
    dcb.Parity = parityOf(tio.c_cflag);
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    if (tio.c_cflag & CSTOPB)
        dcb.StopBits = dcb.StopBits == ONE5STOPBITS ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
    if (tio.c_cflag & CRTSCTS) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fOutxCtsFlow = 0;
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_ENABLE; // the driver holds RTS raised without it
    }
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    dcb.fBinary = 1; // a POSIX terminal has no text mode for EOF characters
}

ModemLineLevels modemLinesForDcb(const Dcb &dcb) {
    ModemLineLevels levels;
    levels.dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE ? LineLevel::Raise : LineLevel::Lower;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
        levels.rts = LineLevel::Raise;
    else if (dcb.fRtsControl == RTS_CONTROL_DISABLE)
        levels.rts = LineLevel::Lower;
    return levels;
}

uint32_t lineErrorsBetween(const LineCounters &before, const LineCounters &after) {
    uint32_t errors = 0;
    if (changed(before.frame, after.frame))
        errors |= CE_FRAME;
    if (changed(before.parity, after.parity))
        errors |= CE_RXPARITY;
    if (changed(before.overrun, after.overrun))
        errors |= CE_OVERRUN;
    if (changed(before.bufOverrun, after.bufOverrun))
        errors |= CE_RXOVER;
    if (changed(before.brk, after.brk))
        errors |= CE_BREAK;
    return errors;
}

void MarkedInputDecoder::decode(const uint8_t *input, size_t count, std::vector<uint8_t> &data,
                                uint32_t &faults) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = input[i];
        switch (held) {
        case 0:
            if (byte == 0xFF)
                held = 1;
            else
                data.push_back(byte);
            break;
        case 1:
            held = 0;
            if (byte == 0x00) {
                held = 2;
            } else if (byte == 0xFF) {
                data.push_back(0xFF);
            } else { // not a mark
                data.push_back(0xFF);
                data.push_back(byte);
            }
            break;
        default:
            held = 0;
            if (byte == 0x00) {
                faults |= CE_BREAK;
            } else {
                faults |= CE_RXPARITY;
                data.push_back(byte);
            }
            break;
        }
    }
}

} // namespace kalvix3::platform::posix
