#include "recorder.h"

#include <cstdio>

#include "log.h"
#include "outputs/status_stream.h"
#include "platform/clock.h"
#include "text.h"

namespace kalvix3d {

using namespace std::chrono_literals;

Call makeCall(const Config &config, const LineConfig &line, const std::string &deviceBytes,
              std::time_t wallTime, CallOrigin origin, CallJournal &store) {
    Call call;
    call.timeUtc = isoFromSeconds(wallTime);
    call.utcOffsetMinutes = platform::utcOffsetMinutes(wallTime);
    call.site = config.site;
    call.lineLabel = line.label;
    call.lineSlot = line.slot;
    call.kind = line.kind;
    call.number = utf8FromCp932(deviceBytes);
    call.reason = reasonInWords(call.number);
    if (auto caller = call.reason.empty() ? store.callerFor(call.number) : std::nullopt) {
        call.name = caller->name;
        call.note = caller->note.value_or("");
    }
    call.origin = origin;
    return call;
}

Recorder::Recorder(const Config &config, CallJournal &store, Announcer &announcer)
    : config(config), store(store), announcer(announcer), worker([this] { run(); }) {}

Recorder::~Recorder() { stop(); }

bool Recorder::hand(Heard heard) {
    std::unique_lock<std::mutex> hold(lock);
    if (!changed.wait_for(hold, 2s, [&] { return queue.size() < kCapacity || stopping; }) ||
        stopping) {
        hold.unlock();
        logLine(Priority::error, "line " + std::to_string(heard.slot) + ": a call from " +
                                     utf8FromCp932(heard.bytes) +
                                     " could not be recorded: the call log is not keeping up");
        return false;
    }
    queue.push_back(std::move(heard));
    changed.notify_all();
    return true;
}

void Recorder::stop() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    changed.notify_all();
    if (worker.joinable())
        worker.join();
}

void Recorder::run() {
    for (;;) {
        Heard heard;
        {
            std::unique_lock<std::mutex> hold(lock);
            changed.wait(hold, [&] { return !queue.empty() || stopping; });
            if (queue.empty())
                return; // stopping, and everything handed over is recorded
            heard = std::move(queue.front());
            queue.pop_front();
        }
        changed.notify_all();
        record(heard);
    }
}

void Recorder::record(const Heard &heard) {
    const LineConfig *line = config.line(heard.slot);
    if (!line)
        return;
    // A busy or failing database is retried for a while; the call is in the journal either way.
    for (int attempt = 1;; ++attempt) {
        try {
            Call call = store.addCall(
                makeCall(config, *line, heard.bytes, heard.wallTime, CallOrigin::live, store));
            call.heardUnixMs = heard.wallMs;
            double ms = std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - heard.when)
                            .count();
            char latency[48];
            std::snprintf(latency, sizeof latency, "%.2f", ms);
            logLine(Priority::debug, "call " + std::to_string(call.id) + " durable " + latency +
                                         " ms after the notification");
            status::report({{"event", "durable"}, {"id", call.id}, {"ms", ms}});
            announcer.announceCall(call);
            return;
        } catch (const std::exception &error) {
            if (attempt >= 5) {
                logLine(Priority::error,
                        "line " + std::to_string(heard.slot) + ": a call from " +
                            utf8FromCp932(heard.bytes) + " at " + isoFromSeconds(heard.wallTime) +
                            " could not be written to the call log: " + error.what());
                return;
            }
            logLine(Priority::warning, std::string("the call log refused a call, retrying: ") +
                                           error.what());
            std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
        }
    }
}

} // namespace kalvix3d
