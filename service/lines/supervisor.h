// Line supervision. One thread owns every call into the library (open, close, history): the
// library wants its exports called one at a time. It opens the configured lines, and when a
// line cannot open (adapter not plugged in) or its adapter goes away (line error 7, or a USB
// line error), it closes the line and reopens it as soon as the device is back: a serial
// device's path is looked at every 200 ms while its line is down, a USB adapter is retried
// every second. The service never gives up on a line.
//
// Notifications arrive on the library's receive threads: a caller number is handed to the
// recorder, a line error to this thread; neither waits for anything else.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "announcer.h"
#include "config/config.h"
#include "kalvix3.h"
#include "lines/line_control.h"
#include "platform/ports.h"
#include "recorder.h"
#include "store/call_store.h"

namespace kalvix3d {

class Supervisor : public LineControl {
public:
    Supervisor(const Config &config, CallStore &store, Recorder &recorder, Announcer &announcer,
               platform::PortResolver &ports);
    ~Supervisor() override; // stop()
    Supervisor(const Supervisor &) = delete;
    Supervisor &operator=(const Supervisor &) = delete;

    // Starts the thread: it tries every line once, calls `linesTried`, reads the histories, and
    // then keeps the lines up.
    void start(std::function<void()> linesTried);
    // Reads the history of every open line that keeps one and adds the calls the log lacks.
    void requestHistoryImport();

    // Reads one line's history now (whatever its import-history setting). `done` is called on
    // the supervisor's thread when it is over; it must return quickly (post the report on).
    void requestHistoryImport(int slot, std::function<void(ImportReport)> done) override;
    // Dials `number` through telephone port `telPort` of the terminal adapter on `slot`. The
    // library's dial blocks for seconds, so it runs on the supervisor's thread, after the work
    // queued before it; `done` is called there when the dial has returned ("" or why it was not
    // placed). Requests left when the service stops are dropped without `done`.
    void requestDial(int slot, int telPort, std::string number,
                     std::function<void(std::string problem)> done) override;
    // Closes every line and ends the thread.
    void stop();
    std::vector<LineStatus> statuses();

private:
    struct Line {
        Kalvix3HostWindow window{}; // first member: the library calls back with its address
        Supervisor *owner = nullptr;
        LineConfig config;
        bool open = false;
        bool tried = false;
        LineStatus status;
        std::chrono::steady_clock::time_point nextTry;
    };
    struct LineErrorEvent {
        int slot;
        uint32_t code;
        std::string text;
    };

    static intptr_t procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void run(std::function<void()> linesTried);
    void tryOpen(Line &line);
    void handleLineError(const LineErrorEvent &event);
    void importHistories();
    ImportReport importHistory(Line &line);
    Line *lineOf(int slot);
    void setStatus(Line &line, LineState state, LineCause cause, std::string reason, int openResult,
                   int lineError);

    const Config &config;
    CallStore &store;
    Recorder &recorder;
    Announcer &announcer;
    platform::PortResolver &ports;
    std::vector<std::unique_ptr<Line>> lines;

    std::mutex lock; // guards the members below and every Line::status
    std::condition_variable wake;
    std::deque<LineErrorEvent> lineErrors;
    std::deque<std::function<void()>> jobs; // dials and single history reads, in order
    bool importWanted = false;
    bool stopping = false;
    std::thread thread;
};

} // namespace kalvix3d
