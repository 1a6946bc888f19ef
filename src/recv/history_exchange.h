// The hand-over between a serial history reader (on the host's thread) and the line's receive
// thread: while historyMode is set, the thread parses the device's reply frames with the
// history-mode frame test and posts each one here instead of notifying the host.
//
// Order: the reader clears the reply, writes its request and waits on replyEvent; the thread
// stores the reply, re-arms the port and only then signals, so the answer to the next request
// raises an event.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/event.h"
#include "recv/frames.h"

namespace kalvix3 {

class HistoryExchange {
public:
    // Sets historyMode for the reader's requests and clears it on every way out.
    class Scope {
    public:
        explicit Scope(HistoryExchange &exchange) : exchange(exchange) {
            exchange.historyMode.store(1, std::memory_order_release);
        }
        ~Scope() { exchange.historyMode.store(0, std::memory_order_release); }
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        HistoryExchange &exchange;
    };

    // The receive thread's side.
    bool active() const { return historyMode.load(std::memory_order_acquire) != 0; }
    void storeReply(const ParsedFrame &parsed) {
        std::lock_guard<std::mutex> hold(replyLock);
        reply = parsed;
    }
    void signalReply() { replyEvent.set(); }

    // The reader's side.
    void clearReply() {
        std::lock_guard<std::mutex> hold(replyLock);
        std::memset(&reply, 0, sizeof reply);
    }
    // Waits up to `timeoutMs` for a reply and resets the event; a time-out finds no reply.
    void awaitReply(uint32_t timeoutMs) {
        replyEvent.wait(timeoutMs);
        replyEvent.reset();
    }
    // The last reply posted (dateText, timeText, numberText).
    ParsedFrame takeReply() {
        std::lock_guard<std::mutex> hold(replyLock);
        return reply;
    }

private:
    std::atomic<int32_t> historyMode{0};
    platform::Event replyEvent; // set when a reply frame has been parsed in history mode
    std::mutex replyLock;
    ParsedFrame reply{};
};

} // namespace kalvix3
