#include "lines/supervisor.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <ctime>

#include "log.h"
#include "outputs/status_stream.h"
#include "text.h"

namespace kalvix3d {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr auto kPathPoll = 200ms;   // how often a missing serial device is looked for
constexpr auto kRetry = 1s;         // a failed open, or a USB adapter, is retried this often
constexpr int kImportTolerance = 120; // a history entry within 2 min of a logged call is that call

std::string lineName(const LineConfig &line) {
    return "line " + std::to_string(line.slot) + " (" + line.label + ")";
}

// The device's local date and time of a history record, as a time; nullopt when malformed.
std::optional<std::time_t> recordTime(const HistoryRecord &record) {
    auto digits = [](const char *text, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (text[i] < '0' || text[i] > '9')
                return false;
        return true;
    };
    if (!digits(record.date, 8) || !digits(record.time, 6))
        return std::nullopt;
    auto number = [](const char *text, size_t count) {
        return std::stoi(std::string(text, count));
    };
    std::tm parts{};
    parts.tm_year = number(record.date, 4) - 1900;
    parts.tm_mon = number(record.date + 4, 2) - 1;
    parts.tm_mday = number(record.date + 6, 2);
    parts.tm_hour = number(record.time, 2);
    parts.tm_min = number(record.time + 2, 2);
    parts.tm_sec = number(record.time + 4, 2);
    parts.tm_isdst = -1;
    if (parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 ||
        parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 60)
        return std::nullopt;
    std::time_t time = std::mktime(&parts);
    if (time == static_cast<std::time_t>(-1))
        return std::nullopt;
    return time;
}

// Watches one dial of the library: keeps the text of a failure box (the USB adapters show one
// when they refuse a dial), and cancels a dial that waits for the handset when the service stops.
class DialWatch {
public:
    explicit DialWatch(std::function<bool()> stopRequested) : stopRequested(std::move(stopRequested)) {
        Kalvix3DialHost host{};
        host.context = this;
        host.pumpMessages = &DialWatch::pump;
        host.messageBox = &DialWatch::failureBox;
        Kalvix3SetDialHost(&host);
    }
    ~DialWatch() { Kalvix3SetDialHost(nullptr); }
    DialWatch(const DialWatch &) = delete;
    DialWatch &operator=(const DialWatch &) = delete;

    const std::string &failure() const { return failureText; }

private:
    static int32_t pump(void *context, Kalvix3DialForm *) {
        std::this_thread::sleep_for(10ms); // the library polls the adapter between passes
        return static_cast<DialWatch *>(context)->stopRequested() ? 1 : 0;
    }
    static void failureBox(void *context, Kalvix3Window, const char *text, const char *,
                           uint32_t) {
        std::string words = utf8FromCp932(text == nullptr ? "" : text);
        std::replace(words.begin(), words.end(), '\n', ' '); // one line for the log and the page
        static_cast<DialWatch *>(context)->failureText = words;
    }

    std::function<bool()> stopRequested;
    std::string failureText;
};

} // namespace

Supervisor::Supervisor(const Config &config, CallStore &store, Recorder &recorder,
                       Announcer &announcer, platform::PortResolver &ports)
    : config(config), store(store), recorder(recorder), announcer(announcer), ports(ports) {
    for (const LineConfig &lineConfig : config.lines) {
        auto line = std::make_unique<Line>();
        line->window.proc = &Supervisor::procedure;
        line->window.user = line.get();
        line->owner = this;
        line->config = lineConfig;
        line->status = notOpenedYet(lineConfig.slot, lineConfig.label, lineConfig.kind);
        lines.push_back(std::move(line));
    }
}

Supervisor::~Supervisor() { stop(); }

void Supervisor::start(std::function<void()> linesTried) {
    thread = std::thread([this, linesTried] { run(linesTried); });
}

void Supervisor::requestHistoryImport() {
    {
        std::lock_guard<std::mutex> hold(lock);
        importWanted = true;
    }
    wake.notify_all();
}

void Supervisor::requestHistoryImport(int slot, std::function<void(ImportReport)> done) {
    {
        std::lock_guard<std::mutex> hold(lock);
        jobs.push_back([this, slot, done = std::move(done)] {
            Line *line = lineOf(slot);
            ImportReport report;
            if (!line)
                report.problem = "no such line";
            else if (line->config.historySize <= 0)
                report.problem = "this kind of device keeps no history";
            else if (!line->open)
                report.problem = "the line is not open";
            else
                report = importHistory(*line);
            done(std::move(report));
        });
    }
    wake.notify_all();
}

void Supervisor::requestDial(int slot, int telPort, std::string number,
                             std::function<void(std::string problem)> done) {
    {
        std::lock_guard<std::mutex> hold(lock);
        jobs.push_back([this, slot, telPort, number = std::move(number), done = std::move(done)] {
            Line *line = lineOf(slot);
            if (!line)
                return done("no such line");
            if (line->config.dialPorts <= 0)
                return done("this kind of device cannot dial");
            if (telPort < 1 || telPort > line->config.dialPorts)
                return done("telephone port " + std::to_string(telPort) + " is not one of 1 to " +
                            std::to_string(line->config.dialPorts));
            if (!line->open)
                return done("the line is not open");
            if (number.size() > KALVIX3_MAX_DIAL_DIGITS)
                return done("a number has at most " + std::to_string(KALVIX3_MAX_DIAL_DIGITS) +
                            " digits");
            auto started = SteadyClock::now();
            DialWatch watch([this] {
                std::lock_guard<std::mutex> hold(lock);
                return stopping;
            });
            KalvixDialEx(slot, telPort, number.c_str());
            auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started);
            std::string how = " (" + std::to_string(ms.count()) + " ms)";
            if (!watch.failure().empty()) {
                logLine(Priority::warning, lineName(line->config) + ": dialling " + number +
                                               " failed: " + watch.failure() + how);
                return done(watch.failure());
            }
            logLine(Priority::info, lineName(line->config) + ": dialled " + number +
                                        " on telephone port " + std::to_string(telPort) + how);
            done("");
        });
    }
    wake.notify_all();
}

Supervisor::Line *Supervisor::lineOf(int slot) {
    for (auto &line : lines)
        if (line->config.slot == slot)
            return line.get();
    return nullptr;
}

void Supervisor::stop() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

std::vector<LineStatus> Supervisor::statuses() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<LineStatus> list;
    for (const auto &line : lines)
        list.push_back(line->status);
    return list;
}

intptr_t Supervisor::procedure(void *window, uint32_t message, uintptr_t, intptr_t lParam) {
    auto *line = static_cast<Line *>(static_cast<Kalvix3HostWindow *>(window)->user);
    const auto *record = reinterpret_cast<const CopyDataRecord *>(lParam);
    if (record == nullptr)
        return 0;
    std::string bytes(static_cast<const char *>(record->lpData), record->cbData);
    if (message == KALVIX3_CALLER_NUMBER_MESSAGE) {
        Heard heard;
        heard.slot = line->config.slot;
        heard.bytes = std::move(bytes);
        heard.when = SteadyClock::now();
        auto wall = std::chrono::system_clock::now();
        heard.wallTime = std::chrono::system_clock::to_time_t(wall);
        heard.wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           wall.time_since_epoch())
                           .count();
        line->owner->recorder.hand(std::move(heard));
    } else if (message == KALVIX3_LINE_ERROR_MESSAGE) {
        Supervisor *self = line->owner;
        {
            std::lock_guard<std::mutex> hold(self->lock);
            self->lineErrors.push_back(
                {line->config.slot, static_cast<uint32_t>(record->dwData), std::move(bytes)});
        }
        self->wake.notify_all();
    }
    return 0;
}

void Supervisor::setStatus(Line &line, LineState state, LineCause cause, std::string reason,
                           int openResult, int lineError) {
    LineStatus status;
    {
        std::lock_guard<std::mutex> hold(lock);
        LineStatus &current = line.status;
        if (current.state == state && current.reason == reason &&
            current.openResult == openResult && current.lineError == lineError && line.tried)
            return; // nothing new to tell
        current.state = state;
        current.cause = cause;
        current.reason = std::move(reason);
        current.openResult = openResult;
        current.lineError = lineError;
        status = current;
    }
    announcer.announceLineState(status);
}

void Supervisor::tryOpen(Line &line) {
    const LineConfig &lineConfig = line.config;
    int port = lineConfig.slot + 1; // a USB kind ignores it: its adapter opens through the driver
    bool first = !line.tried;
    if (!lineConfig.usb) {
        platform::PortResolver::Resolved resolved = ports.resolve(lineConfig.slot, lineConfig.devicePath);
        if (resolved.comPort == 0) {
            // A missing device keeps the line error that took it away, for the page to show.
            bool missing = resolved.cause == LineCause::deviceMissing;
            setStatus(line, LineState::down, resolved.cause, resolved.why, 0,
                      missing ? line.status.lineError : 0);
            line.tried = true;
            line.nextTry = SteadyClock::now() + (missing ? kPathPoll : kRetry);
            return;
        }
        port = resolved.comPort;
    }
    // Announce the attempt after a change (device back, adapter gone); a repeated failure of the
    // same kind is not announced again every second.
    if (!first && line.status.openResult == 0)
        setStatus(line, LineState::reopening, LineCause::none, "", 0, 0);
    int32_t result = OpenCommLineEx(lineConfig.slot, &line.window, port, lineConfig.kind);
    line.tried = true;
    if (result == KALVIX3_OK) {
        line.open = true;
        setStatus(line, LineState::up, LineCause::none, "", 0, 0);
        return;
    }
    setStatus(line, LineState::down, LineCause::openRefused,
              "cannot open: result " + std::to_string(result) + ": " +
                  openResultInWords(result),
              result, 0);
    line.nextTry = SteadyClock::now() + kRetry;
}

void Supervisor::handleLineError(const LineErrorEvent &event) {
    for (auto &line : lines) {
        if (line->config.slot != event.slot || !line->open)
            continue;
        std::string text = utf8FromCp932(event.text);
        if (!Kalvix3LineIsGone(event.code)) {
            logLine(Priority::warning, lineName(line->config) + ": line error " +
                                           std::to_string(event.code) + ": " + text);
            return;
        }
        CloseCommLineEx(line->config.slot);
        line->open = false;
        {
            // The closed line's thread has ended: whatever else it reported is about it, not
            // about the line that will be opened next.
            std::lock_guard<std::mutex> hold(lock);
            lineErrors.erase(std::remove_if(lineErrors.begin(), lineErrors.end(),
                                            [&](const LineErrorEvent &other) {
                                                return other.slot == event.slot;
                                            }),
                             lineErrors.end());
        }
        setStatus(*line, LineState::down, LineCause::adapterGone,
                  "the adapter went away: line error " + std::to_string(event.code) + ": " + text,
                  0, static_cast<int>(event.code));
        // A serial device is looked for at once; a USB adapter gets a moment to settle.
        line->nextTry = SteadyClock::now() + (line->config.usb ? kRetry : 0ms);
    }
}

void Supervisor::importHistories() {
    for (auto &line : lines)
        if (line->open && line->config.importHistory && line->config.historySize > 0)
            importHistory(*line);
}

ImportReport Supervisor::importHistory(Line &line) {
    const LineConfig &lineConfig = line.config;
    ImportReport report;
    std::vector<HistoryRecord> records(static_cast<size_t>(lineConfig.historySize));
    int32_t count = lineConfig.historySize;
    auto started = SteadyClock::now();
    int32_t result = GetHistoryEx(lineConfig.slot, &count, records.data());
    if (result != 0) {
        logLine(Priority::warning, lineName(lineConfig) + ": the device's history was not read: "
                                                          "result " + std::to_string(result));
        report.problem = "the device's history was not read (result " + std::to_string(result) + ")";
        status::report({{"event", "history"}, {"slot", lineConfig.slot}, {"read", false}});
        return report;
    }
    int added = 0, malformed = 0;
    for (int32_t i = 0; i < count && i < lineConfig.historySize; ++i) {
        const HistoryRecord &record = records[static_cast<size_t>(i)];
        std::optional<std::time_t> time = recordTime(record);
        std::string number(record.number, strnlen(record.number, sizeof record.number));
        if (!time || number.empty()) {
            ++malformed;
            continue;
        }
        try {
            Call call = makeCall(config, lineConfig, number, *time, CallOrigin::imported, store);
            if (store.importCall(call, kImportTolerance))
                ++added;
        } catch (const std::exception &error) {
            logLine(Priority::error, lineName(lineConfig) + ": a history entry from " + number +
                                         " could not be added to the call log: " + error.what());
        }
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started);
    logLine(Priority::info, lineName(lineConfig) + ": history read in " +
                                std::to_string(ms.count()) + " ms: " + std::to_string(count) +
                                " record(s), " + std::to_string(added) + " new" +
                                (malformed ? ", " + std::to_string(malformed) + " unreadable" : ""));
    status::report({{"event", "history"}, {"slot", lineConfig.slot}, {"read", true},
                    {"records", count}, {"added", added}});
    report.read = true;
    report.records = count;
    report.added = added;
    return report;
}

void Supervisor::run(std::function<void()> linesTried) {
    for (auto &line : lines)
        tryOpen(*line);
    if (linesTried)
        linesTried();
    bool importNow = true; // the calls that arrived while the service was down
    for (;;) {
        if (importNow)
            importHistories();
        std::deque<LineErrorEvent> errors;
        std::deque<std::function<void()>> work;
        {
            std::unique_lock<std::mutex> hold(lock);
            auto due = SteadyClock::time_point::max();
            for (const auto &line : lines)
                if (!line->open)
                    due = std::min(due, line->nextTry);
            auto ready = [&] {
                return stopping || importWanted || !lineErrors.empty() || !jobs.empty();
            };
            if (due == SteadyClock::time_point::max())
                wake.wait(hold, ready);
            else
                wake.wait_until(hold, due, ready);
            if (stopping)
                break;
            errors.swap(lineErrors);
            importNow = importWanted;
            importWanted = false;
            work.swap(jobs);
        }
        for (const LineErrorEvent &event : errors)
            handleLineError(event);
        for (auto &job : work)
            job();
        work.clear();
        auto now = SteadyClock::now();
        for (auto &line : lines)
            if (!line->open && line->nextTry <= now)
                tryOpen(*line);
    }
    for (auto &line : lines) {
        if (line->open) {
            CloseCommLineEx(line->config.slot);
            line->open = false;
            setStatus(*line, LineState::down, LineCause::stopping, "the service is stopping", 0, 0);
        }
    }
}

} // namespace kalvix3d
