// Dialing: the digit text, the dispatch by the slot's device kind, and the serial procedures.
// Serial commands go through WriteLine, so they never overlap a write of the receive thread;
// the adapters' answers are purged unread.
#include <cstdio>
#include <cstring>

#include "main/device_kinds.h"
#include "main/digits.h"
#include "main/lines.h"
#include "platform/thread.h"
#include "recv/recv_thread.h"

namespace kalvix3 {

namespace {

void writeCommand(int32_t slot, const char *command) {
    WriteLine(slot, command, static_cast<uint32_t>(std::strlen(command)));
}

void purgeLine(LineSlot &line) { line.port->purge(platform::PURGE_ALL); }

void DialAlexon(int32_t slot, LineSlot &line, int32_t telPort, const DigitText &digits) {
    char command[50] = {};
    std::snprintf(command, sizeof command, "AT\\D%d/%s\r\n", static_cast<int>(telPort),
                  digits.digits);
    writeCommand(slot, command);
    platform::sleepMs(100);
    purgeLine(line);
}

// DTR goes down again on every way out, a failed write included.
class RaisedDtr {
public:
    explicit RaisedDtr(LineSlot &owner) : line(owner) { line.port->escapeFunction(platform::SETDTR); }
    ~RaisedDtr() {
        line.port->escapeFunction(platform::CLRDTR);
        platform::sleepMs(100);
        purgeLine(line);
    }
    RaisedDtr(const RaisedDtr &) = delete;
    RaisedDtr &operator=(const RaisedDtr &) = delete;

private:
    LineSlot &line;
};

void DialAtBang(int32_t slot, LineSlot &line, int32_t telPort, const DigitText &digits) {
    RaisedDtr dtr(line);
    platform::sleepMs(200);
    purgeLine(line);
    char command[50] = {};
    std::snprintf(command, sizeof command, "AT!D%d;%s\r\n", static_cast<int>(telPort),
                  digits.digits);
    writeCommand(slot, command);
    platform::sleepMs(200);
    purgeLine(line);
    platform::sleepMs(5000);
}

void DialMn128(int32_t slot, LineSlot &line, int32_t telPort, const DigitText &digits) {
    writeCommand(slot, "AT!T2\r\n");
    platform::sleepMs(100);
    purgeLine(line);
    char command[50] = {};
    std::snprintf(command, sizeof command, "ATD%s;%d\r\n", digits.digits,
                  static_cast<int>(telPort));
    writeCommand(slot, command);
    platform::sleepMs(200);
    purgeLine(line);
    platform::sleepMs(5000);
}

enum class DialProcedure { None, Alexon, AtBang, Mn128, Usb, Itmux };

DialProcedure dialProcedureFor(int32_t kind) {
    switch (familyOf(kind)) {
    case Family::Alexon:
        return kind == 10 ? DialProcedure::None : DialProcedure::Alexon;
    case Family::InsMate:
        return (kind == 17 || kind == 18 || kind == 20 || kind == 70) ? DialProcedure::AtBang
                                                                      : DialProcedure::None;
    case Family::AtermSerial:
        return kind == 35 ? DialProcedure::None : DialProcedure::AtBang;
    case Family::Mn128:
        return DialProcedure::Mn128;
    case Family::AtermUsb:
        return DialProcedure::Usb;
    case Family::AtermItmux:
        return DialProcedure::Itmux;
    default:
        return DialProcedure::None;
    }
}

} // namespace

void dial(int32_t slot, int32_t telPort, const char *phoneNumber) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || phoneNumber == nullptr || !line->isOpen())
        return;
    DigitText digits = digitTextOf(phoneNumber);
    if (digits.tooLong)
        return; // a shortened number would ring somebody else
    // A dial right after the open would land between the initialisation commands, whose purges
    // can abort it: let the sequence finish first.
    if (line->serialThread)
        line->serialThread->waitUntilInitialised(kInitialisationWaitMs);
    switch (dialProcedureFor(line->kind)) {
    case DialProcedure::Alexon:
        return DialAlexon(slot, *line, telPort, digits);
    case DialProcedure::AtBang:
        return DialAtBang(slot, *line, telPort, digits);
    case DialProcedure::Mn128:
        return DialMn128(slot, *line, telPort, digits);
    case DialProcedure::Usb:
    case DialProcedure::Itmux:
        return dialUsbFamily(*line, telPort, digits);
    case DialProcedure::None:
        return;
    }
}

} // namespace kalvix3
