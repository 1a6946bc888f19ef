#include "commands.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host_line.h"
#include "kalvix3.h"
#include "text.h"

namespace tool {

namespace {

bool isUsbKind(int32_t kind) {
    return kind == 32 || kind == 34 || kind == 36 || kind == 38 || kind == 40 || kind == 42;
}

bool needLine(const Options &options, const char *command) {
    if (!options.kind) {
        std::fprintf(stderr, "kalvix3 %s: --kind is required (see `kalvix3 kinds`)\n", command);
        return false;
    }
    if (!options.port && !isUsbKind(*options.kind)) {
        std::fprintf(stderr, "kalvix3 %s: --port is required for a serial device\n", command);
        return false;
    }
    return true;
}

std::vector<KindInfo> catalogue() {
    int32_t count = 0;
    GetKinds2(1, &count, nullptr);
    std::vector<KindInfo> kinds(static_cast<size_t>(count));
    GetKinds2(1, &count, kinds.data());
    return kinds;
}

std::string dialPorts(int32_t flags) {
    if (flags == 0)
        return "-";
    return (flags & 4) ? "1-3" : "1-2";
}

std::string padded(const std::string &utf8, size_t columns) {
    // Every code page 932 character shows as one column (half width) or two (full width):
    // count UTF-8 lead bytes, two columns for 3-byte sequences other than half-width katakana.
    size_t width = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if ((c & 0xC0) == 0x80)
            continue;
        bool halfWidthKana = c == 0xEF && i + 1 < utf8.size() &&
                             (static_cast<unsigned char>(utf8[i + 1]) == 0xBD ||
                              static_cast<unsigned char>(utf8[i + 1]) == 0xBE);
        width += (c >= 0xE0 && !halfWidthKana) ? 2 : 1;
    }
    return utf8 + std::string(width < columns ? columns - width : 1, ' ');
}

// Blocks SIGINT and SIGTERM in every thread (the library's threads inherit the mask) and waits
// for one of them.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    int wait() {
        int signal = 0;
        sigwait(&set, &signal);
        return signal;
    }

private:
    sigset_t set;
};

} // namespace

struct Progress::State {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::thread shower;
};

Progress::Progress(const char *what) : state(new State) {
    if (!isatty(STDERR_FILENO))
        return;
    std::string label = what;
    state->shower = std::thread([this, label] {
        auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> hold(state->lock);
        while (!state->done.wait_for(hold, std::chrono::milliseconds(100),
                                     [this] { return state->finished; })) {
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "\r%s ... %.1f s", label.c_str(), seconds);
        }
        std::fprintf(stderr, "\r\033[K");
    });
}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->finished = true;
    }
    state->done.notify_all();
    if (state->shower.joinable())
        state->shower.join();
    delete state;
}

int runKinds(const Options &options) {
    std::vector<KindInfo> kinds = catalogue();
    if (!options.json)
        printLine("kind  name                                 history  dial ports  USB");
    for (const KindInfo &info : kinds) {
        std::string name = utf8FromCp932(std::string(info.name, strnlen(info.name, sizeof info.name)));
        if (options.json) {
            printLine("{\"kind\":" + std::to_string(info.kind) + ",\"name\":" + jsonString(name) +
                      ",\"historySize\":" + std::to_string(info.historySize) +
                      ",\"dialFlags\":" + std::to_string(info.dialFlags) +
                      ",\"usbDriver\":" + (info.usbDriver ? "true" : "false") + "}");
            continue;
        }
        char number[8];
        std::snprintf(number, sizeof number, "%4d", info.kind);
        std::string history = info.historySize ? std::to_string(info.historySize) : "-";
        printLine(std::string(number) + "  " + padded(name, 37) + padded(history, 9) +
                  padded(dialPorts(info.dialFlags), 12) + (info.usbDriver ? "yes" : "-"));
    }
    return 0;
}

int runWatch(const Options &options) {
    if (!needLine(options, "watch"))
        return 2;
    int32_t slot = options.slot.value_or(0);
    StopSignals signals;
    PrintingWindow window(slot, options.json);
    if (!openLine(slot, window, options.port.value_or(0), *options.kind))
        return 1;
    if (!options.json)
        std::fprintf(stderr, "watching line %d (kind %d); Ctrl-C to stop\n", slot, *options.kind);
    signals.wait();
    CloseCommLineEx(slot);
    return 0;
}

int runHistory(const Options &options) {
    if (!needLine(options, "history"))
        return 2;
    int32_t count = options.count.value_or(50);
    if (count < 0) {
        std::fprintf(stderr, "kalvix3 history: --count must not be negative\n");
        return 2;
    }
    int32_t slot = options.slot.value_or(0);
    PrintingWindow window(slot, options.json);
    if (!openLine(slot, window, options.port.value_or(0), *options.kind))
        return 1;
    std::vector<HistoryRecord> records(static_cast<size_t>(count));
    int32_t result;
    {
        Progress progress("reading history");
        result = GetHistoryEx(slot, &count, records.data());
    }
    CloseCommLineEx(slot);
    if (result != 0) {
        std::fprintf(stderr, "kalvix3 history: result %d: %s\n", result,
                     result == 10 ? "this device keeps no history the library can read"
                                  : "the device's history could not be read");
        return 1;
    }
    if (!options.json)
        printLine("date        time      number");
    for (int32_t i = 0; i < count; ++i) {
        const HistoryRecord &r = records[static_cast<size_t>(i)];
        std::string number(r.number, strnlen(r.number, sizeof r.number));
        std::string date(r.date, strnlen(r.date, 8));
        std::string time(r.time, strnlen(r.time, 6));
        std::string reason = reasonInWords(number);
        if (options.json) {
            printLine("{\"number\":" + jsonString(utf8FromCp932(number)) + ",\"reason\":" +
                      (reason.empty() ? "null" : jsonString(reason)) + ",\"date\":" +
                      jsonString(date) + ",\"time\":" + jsonString(time) + "}");
        } else {
            std::string shownDate = date.size() == 8 ? date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) : date;
            std::string shownTime = time.size() == 6 ? time.substr(0, 2) + ":" + time.substr(2, 2) + ":" + time.substr(4, 2) : time;
            printLine(shownDate + "  " + shownTime + "  " + utf8FromCp932(number) +
                      (reason.empty() ? "" : " (" + reason + ")"));
        }
    }
    if (!options.json)
        std::fprintf(stderr, "%d record(s)\n", count);
    return 0;
}

int runDial(const Options &options) {
    if (!needLine(options, "dial"))
        return 2;
    if (!options.telPort || options.arguments.size() != 1) {
        std::fprintf(stderr, "kalvix3 dial: give --tel-port P and one NUMBER\n");
        return 2;
    }
    int32_t slot = options.slot.value_or(0);
    PrintingWindow window(slot, options.json);
    if (!openLine(slot, window, options.port.value_or(0), *options.kind))
        return 1;
    {
        Progress progress("dialling");
        KalvixDialEx(slot, *options.telPort, options.arguments[0].c_str());
    }
    CloseCommLineEx(slot);
    std::fprintf(stderr, "dial command sent\n");
    return 0;
}

} // namespace tool
