#include "recv/recv_thread.h"

#include <algorithm>
#include <cstring>

#include "recv/notify.h"

namespace kalvix3 {

namespace {
constexpr uint8_t kAcknowledge[3] = {0x06, 0x0D, 0x0A};
} // namespace

TRecvThread::TRecvThread(platform::SerialPort &port, const SerialReceiveSettings &settings)
    : hComm(&port), hostWindow(settings.hostWindow), frames(*settings.frames),
      init(settings.init) {}

TRecvThread::~TRecvThread() { stopAndWait(); }

void TRecvThread::onTerminate() { hComm->interruptWait(); }

uint32_t TRecvThread::ReadPort(uint8_t *buffer, uint32_t maximum) {
    uint32_t errors = 0; // discarded: an error that comes with data is not reported
    uint32_t queued = 0;
    hComm->clearError(errors, queued);
    uint32_t wanted = std::min(maximum, queued);
    if (wanted == 0)
        return 0;
    return hComm->read(buffer, wanted);
}

void TRecvThread::WritePort(const void *buffer, uint32_t length) {
    std::lock_guard<std::mutex> hold(writeLock);
    hComm->write(buffer, length);
}

void TRecvThread::runInitialisation() {
    const InitSequence *sequence = init;
    if (sequence == nullptr)
        return;
    if (sequence->pauseBeforeMs != 0 && !sleepUnlessStopped(sequence->pauseBeforeMs))
        return;
    hComm->setMask(0); // the command traffic raises no receive events
    for (int i = 0; i < sequence->commandCount; ++i) {
        char line[20] = {};
        size_t length = std::strlen(sequence->commands[i]);
        std::memcpy(line, sequence->commands[i], length);
        line[length] = '\r';
        line[length + 1] = '\n';
        WritePort(line, static_cast<uint32_t>(length + 2));
        if (!sleepUnlessStopped(kCommandPauseMs))
            return;
        hComm->purge(platform::PURGE_ALL); // the device's reply is dropped unread
    }
    hComm->setMask(kReceiveEvents);
}

bool TRecvThread::handleReceivedData(AccumulationBuffer &buffer) {
    bool history = exchange.active();
    // Everything queued is read before the frame test: a frame end early in a long burst must
    // not have the rest of the burst (perhaps the frame that counts) purged unread.
    for (;;) {
        if (terminated())
            return false;
        uint8_t chunk[kReadChunk] = {};
        uint32_t got = ReadPort(chunk, kReadChunk);
        if (got == 0)
            break;
        buffer.append(chunk, got);
        while (!history && dropStaleRepeat(buffer)) {
        }
    }
    if (!buffer.frameReady(frames, history))
        return true;

    hComm->setMask(0);
    if (!sleepUnlessStopped(kFramePauseMs))
        return false;
    hComm->purge(platform::PURGE_ALL);
    bool stxFrames = frames.stxFrames;
    if (stxFrames && !history) {
        WritePort(kAcknowledge, sizeof kAcknowledge);
        rememberAcknowledged(buffer.text());
    }
    ParsedFrame parsed;
    frames.parse(buffer.text(), parsed);
    buffer.clear();
    if (stxFrames && history) {
        exchange.storeReply(parsed);
        // Armed before the reader is woken, so the answer to its next request raises an event.
        hComm->setMask(kReceiveEvents);
        exchange.signalReply();
    } else {
        notifyCallerNumber(hostWindow, parsed.numberText);
        hComm->setMask(kReceiveEvents);
    }
    drainBeforeWaiting = true;
    return true;
}

// A number-display adapter repeats its report until the acknowledgement reaches it, so a copy
// can arrive after the purge that followed the report. Left in the buffer it would be taken for
// the next call; a copy identical to the frame just acknowledged, arriving within the device's
// repeat period, is dropped instead.
void TRecvThread::rememberAcknowledged(std::string_view text) {
    std::string_view frame = firstStxFrame(text);
    acknowledgedLength = std::min(frame.size(), sizeof acknowledgedFrame);
    if (acknowledgedLength != 0) // a frame end alone holds no frame (and no bytes to copy)
        std::memcpy(acknowledgedFrame, frame.data(), acknowledgedLength);
    acknowledgedAt = std::chrono::steady_clock::now();
}

bool TRecvThread::dropStaleRepeat(AccumulationBuffer &buffer) {
    if (acknowledgedLength == 0 || !frames.stxFrames)
        return false;
    if (std::chrono::steady_clock::now() - acknowledgedAt > kRepeatWindow)
        return false;
    std::string_view text = buffer.text();
    std::string_view frame = firstStxFrame(text);
    if (frame != std::string_view(acknowledgedFrame, acknowledgedLength))
        return false;
    buffer.dropFront(static_cast<size_t>(frame.data() - text.data()) + frame.size());
    return true;
}

bool TRecvThread::handleLineError(AccumulationBuffer &buffer) {
    hComm->setMask(0);
    if (!sleepUnlessStopped(kErrorPauseMs))
        return false;
    uint32_t errors = 0;
    uint32_t queued = 0;
    hComm->clearError(errors, queued);
    notifySerialError(hostWindow, errors);
    hComm->purge(platform::PURGE_ALL);
    buffer.clear();
    hComm->setMask(kReceiveEvents);
    return true;
}

// False when a stop was requested while the wait was pending.
bool TRecvThread::waitForPortEvent(uint32_t &eventWord) {
    eventWord = 0;
    switch (hComm->waitCommEvent()) {
    case platform::WaitStart::Completed:
        eventWord = hComm->commEvent();
        return true;
    case platform::WaitStart::Failed:
        return true; // event word 0: the thread ends
    case platform::WaitStart::Pending:
        break;
    }
    while (!hComm->awaitCommEvent(kWaitSliceMs)) {
        if (terminated())
            return false;
    }
    eventWord = hComm->commEvent();
    return true;
}

void TRecvThread::ThreadMain() {
    // Whoever waits for the initialisation is released on every way out of the body.
    struct InitialisationDone {
        platform::Event &event;
        ~InitialisationDone() { event.set(); }
    } done{initialised};
    runInitialisation();
    initialised.set();
    AccumulationBuffer buffer;
    while (!terminated()) {
        uint32_t eventWord = 0;
        if (drainBeforeWaiting) {
            // Bytes that arrived while the mask was cleared raised no event: take them now.
            drainBeforeWaiting = false;
            eventWord = platform::EV_RXCHAR;
        } else {
            if (!waitForPortEvent(eventWord))
                return;
            hComm->resetWaitEvent();
        }
        if (eventWord & platform::EV_RXCHAR) {
            if (!handleReceivedData(buffer))
                return;
        } else if (eventWord & platform::EV_ERR) {
            if (!handleLineError(buffer))
                return;
        } else if (eventWord == 0) {
            return; // the mask was cleared (a close), or the wait failed outright
        }
    }
}

} // namespace kalvix3
