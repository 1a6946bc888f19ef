// TRecvThread: the receive thread of one serial line. It sends the device its initialisation
// commands, waits for port events, assembles frames in its accumulation buffer, has them parsed
// and sends each caller number (or line error) to the host window. In history mode it hands
// reply frames to the history reader instead (HistoryExchange).
//
// Ownership: the line owns the port; the thread only uses it and never closes it. Everything
// the thread needs comes through its constructor; it knows nothing of slots or device kinds.
// Writes from this thread (commands, acknowledgements) and from the host's thread (WriteLine:
// closing, history, dialing) are serialised, so two writes are never in flight on one port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "kalvix3.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"
#include "recv/accumulation.h"
#include "recv/frames.h"
#include "recv/history_exchange.h"
#include "recv/init_sequences.h"

namespace kalvix3 {

inline constexpr size_t kReadChunk = 141;
inline constexpr uint32_t kReceiveEvents = platform::EV_RXCHAR | platform::EV_ERR;
inline constexpr uint32_t kWaitSliceMs = 200;
inline constexpr uint32_t kFramePauseMs = 100;
inline constexpr uint32_t kErrorPauseMs = 500;
// The longest initialisation (MN128: 500 ms and three commands) with room to spare.
inline constexpr uint32_t kInitialisationWaitMs = 1500;

// What a serial line's receive thread is told when it is made.
struct SerialReceiveSettings {
    Kalvix3Window hostWindow = nullptr;
    const FrameRules *frames = nullptr;     // the family's frame test and parser
    const InitSequence *init = nullptr;     // null: the device needs none
};

class TRecvThread : public platform::Thread {
public:
    // Always created suspended; `port` must outlive the thread. `settings.frames` is required.
    TRecvThread(platform::SerialPort &port, const SerialReceiveSettings &settings);
    ~TRecvThread() override;

    // The history reader's side of history mode.
    HistoryExchange &history() { return exchange; }

    // Waits until the device's initialisation sequence has been sent (at once for kinds that
    // have none, or once the thread has ended); false when `timeoutMs` passed first.
    bool waitUntilInitialised(uint32_t timeoutMs) { return initialised.wait(timeoutMs); }

    uint32_t ReadPort(uint8_t *buffer, uint32_t maximum);
    void WritePort(const void *buffer, uint32_t length);

protected:
    void ThreadMain() override;
    void onTerminate() override;

private:
    void runInitialisation();
    bool handleReceivedData(AccumulationBuffer &buffer);
    bool handleLineError(AccumulationBuffer &buffer);
    bool waitForPortEvent(uint32_t &eventWord);

    void rememberAcknowledged(std::string_view text);
    bool dropStaleRepeat(AccumulationBuffer &buffer);

    platform::SerialPort *const hComm;
    const Kalvix3Window hostWindow;
    const FrameRules &frames;
    const InitSequence *const init;
    HistoryExchange exchange;

    static constexpr std::chrono::seconds kRepeatWindow{3};
    char acknowledgedFrame[AccumulationBuffer::kSize] = {};
    size_t acknowledgedLength = 0;
    std::chrono::steady_clock::time_point acknowledgedAt{};
    bool drainBeforeWaiting = false;
    platform::Event initialised;
    std::mutex writeLock;
};

} // namespace kalvix3
