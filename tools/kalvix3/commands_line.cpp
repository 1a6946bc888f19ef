// The commands that open a line: watch, history, dial.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "host_line.h"
#include "kalvix3.h"
#include "platform.h"
#include "text.h"

namespace tool {

namespace {

// Shown while a slow call runs on a terminal ("reading history ... 1.2 s").
class Progress {
public:
    explicit Progress(const char *what) {
        if (!platform::stderrIsTerminal())
            return;
        std::string label = what;
        shower = std::thread([this, label] {
            auto start = std::chrono::steady_clock::now();
            std::unique_lock<std::mutex> hold(lock);
            while (!done.wait_for(hold, std::chrono::milliseconds(100), [this] { return finished; })) {
                double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::fprintf(stderr, "\r%s ... %.1f s", label.c_str(), seconds);
            }
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(label.size()) + 16, "");
        });
    }
    ~Progress() {
        {
            std::lock_guard<std::mutex> hold(lock);
            finished = true;
        }
        done.notify_all();
        if (shower.joinable())
            shower.join();
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

private:
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::thread shower;
};

int runWatch(const LineOptions &options) {
    if (!portGivenWhereNeeded(options, "watch"))
        return 2;
    platform::StopRequest stop;
    PrintingWindow window(options.slot, options.json);
    if (!openLine(options.slot, window, options.port.value_or(0), options.kind))
        return 1;
    if (!options.json)
        std::fprintf(stderr, "watching line %d (kind %d); Ctrl-C to stop\n", options.slot,
                     options.kind);
    stop.wait();
    CloseCommLineEx(options.slot);
    if (!options.json)
        std::fprintf(stderr, "line %d closed\n", options.slot);
    return 0;
}

// A stop (Ctrl-C) during a history read or a dial lets it end, then the line is closed: 130.
int interrupted(const LineOptions &options) {
    std::fprintf(stderr, "interrupted: line %d closed\n", options.slot);
    return 130;
}

int runHistory(const LineOptions &options, int32_t count) {
    if (!portGivenWhereNeeded(options, "history"))
        return 2;
    platform::StopRequest stop;
    PrintingWindow window(options.slot, options.json);
    if (!openLine(options.slot, window, options.port.value_or(0), options.kind))
        return 1;
    std::vector<HistoryRecord> records(static_cast<size_t>(count));
    int32_t result;
    {
        Progress progress("reading history");
        result = GetHistoryEx(options.slot, &count, records.data());
    }
    CloseCommLineEx(options.slot);
    if (stop.requested())
        return interrupted(options);
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
            printJson({{"number", utf8FromCp932(number)},
                       {"reason", textOrNull(reason)},
                       {"date", date},
                       {"time", time}});
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

int runDial(const LineOptions &options, int32_t telPort, const std::string &number) {
    if (!portGivenWhereNeeded(options, "dial"))
        return 2;
    platform::StopRequest stop;
    PrintingWindow window(options.slot, options.json);
    if (!openLine(options.slot, window, options.port.value_or(0), options.kind))
        return 1;
    {
        platform::DialFormReporter form(&stop); // a USB adapter's wait for the handset
        Progress progress("dialling");
        KalvixDialEx(options.slot, telPort, number.c_str());
    }
    CloseCommLineEx(options.slot);
    if (stop.requested())
        return interrupted(options);
    std::fprintf(stderr, "dial command sent\n");
    return 0;
}

} // namespace

void registerWatch(CommandLine &commands) {
    auto options = std::make_shared<LineOptions>();
    CLI::App *watch = commands.add("watch", "print calls as they arrive (Ctrl-C stops)",
                                   [options] { return runWatch(*options); });
    addLineOptions(*watch, *options);
}

void registerHistory(CommandLine &commands) {
    auto options = std::make_shared<LineOptions>();
    auto count = std::make_shared<int32_t>(50);
    CLI::App *history = commands.add("history", "read the device's call history",
                                     [options, count] { return runHistory(*options, *count); });
    addLineOptions(*history, *options);
    history->add_option("--count", *count, "at most this many records")
        ->type_name("C")
        ->check(wholeNumber())
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string &text) {
                return std::strtoll(text.c_str(), nullptr, 0) < 0 ? std::string("must not be negative")
                                                                  : std::string();
            },
            "C>=0"));
}

void registerDial(CommandLine &commands) {
    struct DialOptions {
        LineOptions line;
        int32_t telPort = 0;
        std::string number;
    };
    auto options = std::make_shared<DialOptions>();
    CLI::App *dial = commands.add("dial", "place a call through an adapter", [options] {
        return runDial(options->line, options->telPort, options->number);
    });
    addLineOptions(*dial, options->line);
    dial->add_option("--tel-port", options->telPort, "the adapter's telephone port")
        ->type_name("P")
        ->check(wholeNumber())
        ->required();
    dial->add_option("NUMBER", options->number, "the number to dial; all but its digits is dropped")
        ->type_name("")
        ->required();
}

} // namespace tool
