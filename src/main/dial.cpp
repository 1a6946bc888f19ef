// Dialing: the dispatch to the slot's line, and the serial dial procedures. Serial commands go
// through WriteLine, so they never overlap a write of the receive thread; the adapters' answers
// are purged unread.
#include <cstdio>
#include <cstring>

#include "main/digits.h"
#include "main/lines.h"
#include "main/procedures.h"
#include "platform/thread.h"

namespace kalvix3 {

namespace {

void writeCommand(SerialLine &line, const char *command) {
    line.WriteLine(command, static_cast<uint32_t>(std::strlen(command)));
}

void purgeLine(SerialLine &line) { line.port().purge(platform::PURGE_ALL); }

// DTR goes down again on every way out, a failed write included.
class RaisedDtr {
public:
    explicit RaisedDtr(SerialLine &owner) : line(owner) {
        line.port().escapeFunction(platform::SETDTR);
    }
    ~RaisedDtr() {
        line.port().escapeFunction(platform::CLRDTR);
        platform::sleepMs(100);
        purgeLine(line);
    }
    RaisedDtr(const RaisedDtr &) = delete;
    RaisedDtr &operator=(const RaisedDtr &) = delete;

private:
    SerialLine &line;
};

} // namespace

void DialAlexon(SerialLine &line, int32_t telPort, const DigitText &digits) {
    char command[50] = {};
    std::snprintf(command, sizeof command, "AT\\D%d/%s\r\n", static_cast<int>(telPort),
                  digits.digits);
    writeCommand(line, command);
    platform::sleepMs(100);
    purgeLine(line);
}

void DialAtBang(SerialLine &line, int32_t telPort, const DigitText &digits) {
    RaisedDtr dtr(line);
    platform::sleepMs(200);
    purgeLine(line);
    char command[50] = {};
    std::snprintf(command, sizeof command, "AT!D%d;%s\r\n", static_cast<int>(telPort),
                  digits.digits);
    writeCommand(line, command);
    platform::sleepMs(200);
    purgeLine(line);
    platform::sleepMs(5000);
}

void DialMn128(SerialLine &line, int32_t telPort, const DigitText &digits) {
    writeCommand(line, "AT!T2\r\n");
    platform::sleepMs(100);
    purgeLine(line);
    char command[50] = {};
    std::snprintf(command, sizeof command, "ATD%s;%d\r\n", digits.digits,
                  static_cast<int>(telPort));
    writeCommand(line, command);
    platform::sleepMs(200);
    purgeLine(line);
    platform::sleepMs(5000);
}

void dial(int32_t slot, int32_t telPort, const char *phoneNumber) {
    LineSlot *line = lineSlot(slot);
    if (line == nullptr || phoneNumber == nullptr || !line->isOpen())
        return;
    DigitText digits = digitTextOf(phoneNumber);
    if (digits.tooLong)
        return; // a shortened number would ring somebody else
    ++line->callsRunning;
    line->line->waitUntilReady();
    line->line->dial(telPort, digits);
    --line->callsRunning;
}

} // namespace kalvix3
