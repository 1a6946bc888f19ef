// A serial line: the port, opened and configured in its family's profile, and the TRecvThread
// that watches it. The line owns both; the port is closed after the thread has ended.
#pragma once

#include <cstdint>
#include <memory>

#include "main/kinds.h"
#include "main/lines.h"
#include "platform/serial_port.h"
#include "recv/recv_thread.h"

namespace kalvix3 {

// The four port settings of the serial families.
inline constexpr SerialProfile Profile9600{9600, 7, platform::EVENPARITY, 1, 1,
                                           platform::DTR_CONTROL_DISABLE,
                                           platform::RTS_CONTROL_HANDSHAKE, false};
inline constexpr SerialProfile Profile4800{4800, 8, platform::NOPARITY, 0, 0,
                                           platform::DTR_CONTROL_ENABLE,
                                           platform::RTS_CONTROL_DISABLE, true};
inline constexpr SerialProfile Profile38400{38400, 8, platform::NOPARITY, 0, 1,
                                            platform::DTR_CONTROL_DISABLE,
                                            platform::RTS_CONTROL_HANDSHAKE, false};
inline constexpr SerialProfile Profile19200{19200, 8, platform::NOPARITY, 0, 1,
                                            platform::DTR_CONTROL_DISABLE,
                                            platform::RTS_CONTROL_HANDSHAKE, false};

class SerialLine final : public Line {
public:
    SerialLine(const KindRow &row, Kalvix3Window hostWindow, const char *portName);
    ~SerialLine() override;

    // Opens the port in the family's profile and starts the receive thread: 0, or the result
    // code of the step that failed, the port released and `error` saying why (for a refused
    // setting: OpenFailure::Other with the system's code). Also opens the line again after
    // the NDA-P1's own library has used it.
    int32_t start(platform::OpenError &error);

    bool isOpen() const override { return receiveThread != nullptr; }
    void close() override;
    bool calledFromLineThread() const override;
    void waitUntilReady() override;
    int32_t readHistory(int32_t *count, HistoryRecord *records) override;
    void dial(int32_t telPort, const DigitText &digits) override;

    // For the history readers and dial procedures, while the line is open.
    void WriteLine(const void *buffer, uint32_t length); // serialised with the thread's writes
    platform::SerialPort &port() { return *hComm; }
    TRecvThread &receiver() { return *receiveThread; }
    const char *portName() const { return name; }

    // Stops the thread and closes the port, DTR lowered, so that NDA_P1.dll can open it.
    void takeDownForNda();

private:
    const Kalvix3Window hostWindow;
    char name[10] = {};
    std::unique_ptr<platform::SerialPort> hComm;   // closed after the thread has ended
    std::unique_ptr<TRecvThread> receiveThread;
};

// The receive thread of a slot's open serial line, or null.
inline TRecvThread *serialThreadOf(const LineSlot &slot) {
    SerialLine *line = slot.as<SerialLine>();
    return line != nullptr && line->isOpen() ? &line->receiver() : nullptr;
}

// The opener of the serial families: COM1..COM9 only.
int32_t openSerialLine(const KindRow &row, const LineRequest &request, LineOpening &opening);

} // namespace kalvix3
