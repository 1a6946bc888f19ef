// Pure translations between the Win32 view of a serial port that the library works in and what
// a POSIX terminal device offers: COM port names to device paths, DCB fields to termios and
// back, and the kernel's line error counters to a ClearCommError error word. No system calls,
// so every rule here is tested without a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <termios.h>

#include "platform/serial_port.h"

namespace kalvix3::platform::posix {

// "COMn" (any case, n >= 1) as a device path: `comDir`/COMn when a COM directory is given (not
// null, not empty), else /dev/ttyS<n-1>. Empty for a name that is not "COMn".
std::string comPortPath(const char *portName, const char *comDir);

// The termios speed constant of a baud rate; false for a rate termios has no constant for.
bool speedForBaudRate(uint32_t baudRate, speed_t &speed);
// The baud rate of a termios speed constant; 0 for an unknown constant.
uint32_t baudRateForSpeed(speed_t speed);

// Puts a DCB into termios: speed, byte size, parity and its checking, stop bits, CTS/RTS and
// XON/XOFF flow control and their characters, always raw (no echo, no canonical input, no
// translation, no signals, reads return what is queued). False, with `tio` untouched, when the
// DCB asks for something a POSIX terminal cannot do: a rate without a speed constant, a byte
// size outside 5..8, parity or stop bits out of range, DSR flow control or sensitivity, DTR
// handshaking, RTS toggling, error-character replacement, null stripping or abort on error.
bool termiosFromDcb(const Dcb &dcb, termios &tio);

// Overwrites in `dcb` the fields that termios holds (BaudRate, ByteSize, Parity, fParity,
// StopBits, fOutxCtsFlow, fRtsControl when handshaking, fOutX, fInX, XonChar, XoffChar,
// fBinary). Every other field keeps its value, so the caller passes the last DCB it knew.
void dcbFromTermios(const termios &tio, Dcb &dcb);

// Modem line changes a DCB asks for beside termios: DTR and RTS raised or lowered, or left
// alone (handshaking leaves RTS to the driver).
enum class LineLevel { Leave, Raise, Lower };
struct ModemLineLevels {
    LineLevel dtr = LineLevel::Leave;
    LineLevel rts = LineLevel::Leave;
};
ModemLineLevels modemLinesForDcb(const Dcb &dcb);

// The kernel's cumulative counters of receive errors (TIOCGICOUNT).
struct LineCounters {
    uint32_t frame = 0;
    uint32_t parity = 0;
    uint32_t overrun = 0;    // the UART's receiver overran
    uint32_t bufOverrun = 0; // the driver's input buffer was full
    uint32_t brk = 0;
};
// The ClearCommError bits for what changed between two readings: CE_FRAME, CE_RXPARITY,
// CE_OVERRUN, CE_RXOVER, CE_BREAK. Counters that wrapped around count as changed.
uint32_t lineErrorsBetween(const LineCounters &before, const LineCounters &after);

// Undoes the marking that PARMRK puts into a terminal's input, so that faulted bytes come out as
// received (as the Win32 driver delivers them) and the faults as ClearCommError bits:
//   0xFF 0xFF     a data byte 0xFF
//   0xFF 0x00 X   a parity or framing error on the byte X (X not 0): X, CE_RXPARITY
//   0xFF 0x00 0x00  a break: no data byte, CE_BREAK
// The mark does not tell a framing error from a parity error; ports with error counters tell
// them apart (lineErrorsBetween). A sequence may be split across reads: its beginning is held
// until the rest arrives. An 0xFF followed by anything else passes through unchanged.
class MarkedInputDecoder {
public:
    // Appends the data bytes of `count` input bytes to `data` and ORs the faults into `faults`.
    void decode(const uint8_t *input, size_t count, std::vector<uint8_t> &data, uint32_t &faults);
    // Forgets a sequence begun but not finished (after the input queue was purged).
    void reset() { held = 0; }

private:
    int held = 0; // bytes of a mark read so far: 0, 1 (0xFF) or 2 (0xFF 0x00)
};

} // namespace kalvix3::platform::posix
