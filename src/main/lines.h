// The line table: for each of the two line slots, the device kind of the last open request and
// the line that is open there (or was, until it closed).
//
// A line is one of three kinds behind one interface: a serial line (its port and TRecvThread),
// a polled USB line (TRecvUSBThread) or an ITMUX line (TRecvITMUXThread). Each is made by its
// family's opener in the kind table and knows its row, so closing, history and dialing ask the
// line and never the kind.
//
// The exported functions use the table from the host's thread, one call at a time. It is never
// torn down: unloading the library closes no line.
#pragma once

#include <cstdint>
#include <memory>

#include "kalvix3.h"
#include "platform/serial_port.h"

namespace kalvix3 {

struct DigitText;
struct KindRow;

class Line {
public:
    explicit Line(const KindRow &row) : row(row) {}
    virtual ~Line() = default;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    const KindRow &kindRow() const { return row; }

    // True while the line holds its receive thread (even one whose body has ended).
    virtual bool isOpen() const = 0;
    // Takes the line down in its closing order and waits for its thread; nothing once closed.
    // A USB line with a dial in progress closes when the dial ends.
    virtual void close() = 0;
    // True when the caller runs inside one of the line's notifications (on its receive thread,
    // or on Windows in the window procedure the thread is waiting on).
    virtual bool calledFromLineThread() const = 0;
    // Before a dial: a serial line lets its initialisation sequence finish, since a dial right
    // after the open would land between the commands, whose purges can abort it; a USB line
    // waits (bounded) until its receive thread has reached the adapter.
    virtual void waitUntilReady() {}
    // The kind's history reader; KALVIX3_HISTORY_NO_READER when the kind has none.
    virtual int32_t readHistory(int32_t *count, HistoryRecord *records) = 0;
    // The kind's dial procedure; nothing when the kind has none.
    virtual void dial(int32_t telPort, const DigitText &digits) = 0;

protected:
    const KindRow &row;
};

inline constexpr int32_t kLineSlots = 2;

struct LineSlot {
    int32_t kind = 0;           // the kind of the most recent open request
    std::unique_ptr<Line> line; // the line opened there, kept (closed) until the next open
    // Why the most recent open could not open its port (failure None otherwise).
    platform::OpenError openError;
    // History reads and dials in progress: a window procedure they let run (a USB dial's
    // message pump, the wait for a thread's end) must not replace the line under them.
    int32_t callsRunning = 0;

    bool isOpen() const { return line && line->isOpen(); }
    // The open line as one of the three kinds, or null.
    template <typename Kind> Kind *as() const { return dynamic_cast<Kind *>(line.get()); }
};

// The slot's entry, or null for a slot other than 0 and 1.
LineSlot *lineSlot(int32_t slot);

// "COM" and the first character of the port number's decimal text.
void buildPortName(int32_t port, char (&name)[10]);

// The exports' work, by the slot's line and the row of its kind.
int32_t openLine(int32_t slot, Kalvix3Window hostWindow, int32_t port, int32_t kind);
void closeLine(int32_t slot);
int32_t readHistory(int32_t slot, int32_t *count, HistoryRecord *records);
void dial(int32_t slot, int32_t telPort, const char *phoneNumber);

// Writes to the serial port of a slot's line and waits for the write to end; does nothing for a
// slot without an open serial line.
void WriteLine(int32_t slot, const void *buffer, uint32_t length);

} // namespace kalvix3
