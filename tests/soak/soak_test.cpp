// The serial soak: two lines over pseudo-terminals, an NTT number-display adapter (kind 2) and
// an ALEXON terminal adapter (kind 15), driven at once by two host workers. Calls arrive in
// random pieces at random pace, some from the simulated device itself (repeating until it is
// acknowledged); history reads and dials come in between; lines are closed and opened again
// when quiet, in the middle of a frame, in the middle of a notification, in quick bursts (during
// the initialisation), and by the other line's window procedure, which also calls back into the
// library now and then (closing its own line, which is refused; history and dials on the other
// line). The exported functions are called one at a time: the workers take the host's lock, and
// the window procedures only try it.
//
// Delivered exactly once, precisely: every call carries a number of its own. A call is exposed
// when its line is closed between the moment its first byte is handed to the device and the
// moment it is delivered; an exposed call may be lost, or may arrive once the line is open
// again (its device was still sending). Every other call arrives within a bound. No call
// arrives twice, nothing arrives that was not sent on that line, and a line's calls arrive in
// the order they were sent. Between calls the host waits for the previous call (and for the
// device to stop repeating it); after a close or a dial it settles the line: it waits until the
// device has sent everything and the line has handled what ends a frame, so the remains of an
// interrupted frame cannot swallow the next call.
//
// Also checked: no crash; no hang (every wait is bounded and a watchdog ends a stalled run);
// threads and descriptors the same whenever the same lines are open, and the same as before
// once both are closed; resident memory does not grow over the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "kalvix3.h"
#include "kalvix3_sim/serial_device.h"
#include "support/line_fixture.h"
#include "main/lines.h"
#include "main/serial_line.h"
#include "recv/recv_thread.h"
#include "support/process_stats.h"
#include "watchdog.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;
using kalvix3::sim::Pacing;
using kalvix3::sim::SerialDevice;

namespace {

constexpr int kDefaultSeconds = 15;
constexpr size_t kMaxProblems = 40;

struct Figures {
    std::atomic<uint64_t> calls{0}, delivered{0}, lost{0}, exposedLost{0}, exposedDelivered{0};
    std::atomic<uint64_t> deviceRepeated{0}, quietCycles{0}, midFrameCloses{0};
    std::atomic<uint64_t> midNotificationCloses{0}, burstCycles{0}, closesFromProcedure{0};
    std::atomic<uint64_t> refusedOwnCloses{0}, historyReads{0}, dials{0}, callbacks{0};
    std::atomic<uint64_t> settles{0};
};

class SerialSoak;

struct SoakLine {
    int32_t slot = 0;
    int32_t kind = 0;
    int32_t port = 0;
    std::string prefix; // every number of the line begins with it
    std::unique_ptr<SerialDevice> device;
    std::shared_ptr<PortLog> log;
    Kalvix3HostWindow window{};
    SerialSoak *soak = nullptr;
    SoakLine *other = nullptr;
    std::mt19937 procedureRandom; // used inside the window procedure only

    // Held by the line's worker while its device traffic is in flight; the other line's window
    // procedure only tries it before a history read or a dial on this line.
    std::mutex traffic;
    bool open = false;                // under the host's lock
    std::atomic<uint64_t> closes{0};  // counted before each close of the line
    std::atomic<bool> inProcedure{false};
    std::atomic<int> slowNextMs{0};   // the next notification keeps the procedure this long
    std::atomic<bool> needsSettling{false};

    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, uint64_t> sendIndex; // number -> place in the line's order
    std::set<std::string> exposed;
    std::map<std::string, int> arrivals;
    std::vector<std::string> order;
    uint64_t nextNumber = 0;

    std::string freshNumber(std::mt19937 &random) {
        std::uniform_int_distribution<int> extra(0, 6), digit(0, 9);
        std::string number = prefix + std::to_string(10000000 + nextNumber++);
        for (int i = extra(random); i > 0; --i)
            number += static_cast<char>('0' + digit(random));
        return number;
    }
    bool arrived(const std::string &number) {
        std::lock_guard<std::mutex> hold(lock);
        auto found = arrivals.find(number);
        return found != arrivals.end() && found->second > 0;
    }
};

// What the devices report, and what ends a frame that is still waiting in the buffer (settling):
// for the number-display adapter the STX that follows every frame, for the ALEXON adapter CR LF.
std::string reportOf(const SoakLine &line, const std::string &number) {
    std::optional<kalvix3::sim::Family> family = kalvix3::sim::familyOfKind(line.kind);
    std::string report = kalvix3::sim::callerReport(*family, kalvix3::sim::Call::withNumber(number));
    return *family == kalvix3::sim::Family::NumberDisplay ? report + report : report;
}
std::string frameEndOf(const SoakLine &line) { return line.kind == 2 ? "\x02" : "\r\n"; }

const std::vector<kalvix3::sim::HistoryEntry> kStored = {
    {"0101", "0000", "0990000001"}, {"0102", "0101", "0990000002"},
    {"0103", "0202", "0990000003"}, {"0104", "0303", "0990000004"}};

class SerialSoak {
public:
    SerialSoak(int seconds, uint32_t seed)
        : seconds(seconds), seed(seed),
          watchdog(std::chrono::seconds(seconds) + std::chrono::duration_cast<std::chrono::seconds>(
                                                        scaled(90s)),
                   std::chrono::duration_cast<std::chrono::seconds>(scaled(30s))) {}

    void run();
    void report();

    std::mutex hostLock; // the exported functions, one call at a time
    Figures figures;
    void problem(const std::string &what) {
        std::lock_guard<std::mutex> hold(problemLock);
        if (problems.size() < kMaxProblems)
            problems.push_back(what);
        ++problemCount;
    }
    void callBack(SoakLine &line);

private:
    static intptr_t procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void work(SoakLine &line, int actor);
    bool ensureOpen(SoakLine &line, int actor);
    bool settle(SoakLine &line);
    void close(SoakLine &line, std::chrono::milliseconds bound, const char *what);
    bool waitArrival(SoakLine &line, const std::string &number, std::chrono::milliseconds limit,
                     bool inside);
    void call(SoakLine &line, std::mt19937 &random);
    void callClosedMidFrame(SoakLine &line, std::mt19937 &random);
    void callClosedMidNotification(SoakLine &line, std::mt19937 &random);
    void burst(SoakLine &line, std::mt19937 &random);
    void readHistory(SoakLine &line, std::mt19937 &random);
    void dial(SoakLine &line, std::mt19937 &random);
    void sample();
    void checkArrivals(SoakLine &line);

    int seconds;
    uint32_t seed;
    ComDirectory comDir;
    ObservedPorts observed;
    SoakLine lines[2];
    SoakClock::time_point started, deadline;
    Watchdog watchdog;

    std::mutex sampleLock;
    int workersRunning = 2; // under the host's lock
    std::map<int, ProcessStats> firstByOpenLines;
    std::vector<std::pair<double, size_t>> resident; // (seconds into the run, kB)
    SoakClock::time_point nextSample;

    std::mutex problemLock;
    std::vector<std::string> problems;
    size_t problemCount = 0;
    ProcessStats before;

public:
    size_t problemTotal() {
        std::lock_guard<std::mutex> hold(problemLock);
        return problemCount;
    }
    std::vector<std::string> problemList() {
        std::lock_guard<std::mutex> hold(problemLock);
        return problems;
    }
    ProcessStats beforeStats() const { return before; }
};

// ---- The host's window procedure ------------------------------------------------------------

intptr_t SerialSoak::procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    SoakLine &line = *static_cast<SoakLine *>(static_cast<Kalvix3HostWindow *>(window)->user);
    line.inProcedure = true;
    const auto *record = reinterpret_cast<const CopyDataRecord *>(lParam);
    std::string text = record && record->lpData ? static_cast<const char *>(record->lpData) : "";
    if (message != KALVIX3_CALLER_NUMBER_MESSAGE || record == nullptr || record->dwData != 12 ||
        record->cbData != text.size() || wParam == 0) {
        line.soak->problem("line " + std::to_string(line.slot) + ": unexpected message " +
                           std::to_string(message) + " code " +
                           std::to_string(record ? record->dwData : 0) + " \"" + text + "\"");
    } else {
        std::lock_guard<std::mutex> hold(line.lock);
        ++line.arrivals[text];
        line.order.push_back(text);
    }
    line.changed.notify_all();
    if (int slow = line.slowNextMs.exchange(0); slow > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(slow)); // a busy host
    else
        line.soak->callBack(line);
    {
        std::lock_guard<std::mutex> hold(line.lock);
        line.inProcedure = false;
    }
    line.changed.notify_all();
    return 0;
}

// Now and then a notification calls back into the library, when the host is not busy itself.
void SerialSoak::callBack(SoakLine &line) {
    std::uniform_int_distribution<int> pick(0, 99);
    int choice = pick(line.procedureRandom);
    if (choice >= 12)
        return;
    std::unique_lock<std::mutex> host(hostLock, std::try_to_lock);
    if (!host.owns_lock())
        return;
    ++figures.callbacks;
    SoakLine &other = *line.other;
    switch (choice % 3) {
    case 0: // closing the notifying line itself is refused
        CloseCommLineEx(line.slot);
        if (!kalvix3::lineSlot(line.slot)->isOpen())
            problem("line " + std::to_string(line.slot) + " closed from its own notification");
        ++figures.refusedOwnCloses;
        break;
    case 1: // closing the other line is allowed
        if (other.open) {
            ++other.closes;
            CloseCommLineEx(other.slot);
            other.open = false;
            ++figures.closesFromProcedure;
        }
        break;
    case 2: { // a history read or a dial on the other line, when nothing is in flight there
        std::unique_lock<std::mutex> quiet(other.traffic, std::try_to_lock);
        if (!quiet.owns_lock() || !other.open)
            break;
        std::mt19937 random(line.procedureRandom());
        if (other.kind == 2)
            readHistory(other, random);
        else
            dial(other, random);
        break;
    }
    }
}

// ---- The workers ------------------------------------------------------------------------------

// For a call that did not arrive: what the device sent and received since, and what the line
// was doing.
std::string whatHappened(SoakLine &line, SoakClock::time_point since) {
    auto printable = [](const std::string &bytes) {
        std::string out;
        for (unsigned char c : bytes) {
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "<%02X>", c);
                out += hex;
            }
        }
        return out;
    };
    auto at = [&](SoakClock::time_point when) {
        return std::to_string(
                   std::chrono::duration_cast<std::chrono::milliseconds>(when - since).count()) +
               " ms ";
    };
    std::string report = "the device sent:";
    for (const kalvix3::sim::Chunk &chunk : line.device->sent())
        if (chunk.when >= since)
            report += " " + at(chunk.when) + printable(chunk.bytes);
    report += "; it received:";
    for (const kalvix3::sim::Chunk &chunk : line.device->received())
        if (chunk.when >= since)
            report += " " + at(chunk.when) + printable(chunk.bytes);
    kalvix3::TRecvThread *thread = kalvix3::serialThreadOf(*kalvix3::lineSlot(line.slot));
    report += "; receive thread " + std::string(thread == nullptr ? "none"
                                                : thread->finished() ? "ended" : "running");
    report += ", " + std::to_string(line.log->waitStarts()) + " waits started";
    return report;
}

bool SerialSoak::waitArrival(SoakLine &line, const std::string &number,
                             std::chrono::milliseconds limit, bool inside) {
    auto until = SoakClock::now() + limit;
    std::unique_lock<std::mutex> hold(line.lock);
    for (;;) {
        auto found = line.arrivals.find(number);
        bool arrived = found != line.arrivals.end() && found->second > 0;
        // Arrived, and the procedure has returned (or, when `inside`, is still running).
        if (arrived && line.inProcedure.load() == inside)
            return true;
        if (SoakClock::now() > until)
            return false;
        line.changed.wait_for(hold, 20ms);
    }
}

void SerialSoak::close(SoakLine &line, std::chrono::milliseconds bound, const char *what) {
    std::lock_guard<std::mutex> host(hostLock);
    if (!line.open)
        return;
    ++line.closes;
    auto start = SoakClock::now();
    CloseCommLineEx(line.slot);
    auto took = SoakClock::now() - start;
    line.open = false;
    if (kalvix3::lineSlot(line.slot)->isOpen())
        problem(std::string(what) + ": the line is still open after CloseCommLineEx");
    if (took > bound)
        problem(std::string(what) + ": closing took " +
                std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                " ms");
}

// Waits until the device has sent everything, then sends what ends a frame until the line has
// handled it: whatever an interrupted frame left is gone then (or delivered, if it was whole).
bool SerialSoak::settle(SoakLine &line) {
    uint64_t closes = line.closes.load();
    line.device->waitUntilSent(scaled(5s));
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto sentAt = PortLog::Clock::now();
        line.device->sendRaw(frameEndOf(line));
        if (line.log->waitUntilHandledSince(sentAt, scaled(700ms))) {
            ++figures.settles;
            return true;
        }
        if (line.closes.load() != closes)
            return false; // closed meanwhile: it is settled again after the next open
    }
    problem("line " + std::to_string(line.slot) + " never settled");
    return false;
}

bool SerialSoak::ensureOpen(SoakLine &line, int actor) {
    uint64_t closes;
    auto since = PortLog::Clock::now();
    {
        std::lock_guard<std::mutex> host(hostLock);
        if (line.open)
            return true;
        watchdog.progress(actor, "opening a line");
        int32_t result = OpenCommLineEx(line.slot, &line.window, line.port, line.kind);
        if (result != 0) {
            problem("line " + std::to_string(line.slot) + " reopened with " +
                    std::to_string(result));
            return false;
        }
        line.open = true;
        closes = line.closes.load();
    }
    if (!line.log->waitUntilListeningSince(since, scaled(3s))) {
        if (line.closes.load() == closes)
            problem("line " + std::to_string(line.slot) + " never listened after opening");
        return false;
    }
    return settle(line);
}

void SerialSoak::call(SoakLine &line, std::mt19937 &random) {
    std::string number = line.freshNumber(random);
    uint64_t closes = line.closes.load();
    {
        std::lock_guard<std::mutex> hold(line.lock);
        line.sendIndex[number] = line.sendIndex.size();
    }
    ++figures.calls;
    auto sentAt = SoakClock::now();
    std::chrono::milliseconds sending{0};
    std::uniform_int_distribution<int> percent(0, 99);
    if (line.kind == 2 && percent(random) < 30) {
        // The device itself: sent, again 50 ms later, then every 500 ms until acknowledged.
        line.device->placeCall(kalvix3::sim::Call::withNumber(number));
        ++figures.deviceRepeated;
    } else {
        std::string bytes = reportOf(line, number);
        std::uniform_int_distribution<size_t> piece(1, bytes.size());
        std::uniform_int_distribution<int> pause(0, 15);
        Pacing pacing{piece(random), std::chrono::milliseconds(pause(random))};
        sending = pacing.pause * static_cast<int>((bytes.size() + pacing.pieceSize - 1) /
                                                  pacing.pieceSize);
        line.device->sendRaw(bytes, pacing);
    }
    bool arrived = waitArrival(line, number, sending + scaled(3s), false);
    bool closed = line.closes.load() != closes;
    if (closed) {
        std::lock_guard<std::mutex> hold(line.lock);
        line.exposed.insert(number);
    }
    if (!arrived && !closed) {
        std::lock_guard<std::mutex> host(hostLock); // the line table is looked at
        problem("line " + std::to_string(line.slot) + ": call " + number +
                " never arrived, and the line was not closed; " + whatHappened(line, sentAt));
    }
    // A device repeating its report stops once the acknowledgement reaches it.
    line.device->waitUntilSent(scaled(5s));
}

void SerialSoak::callClosedMidFrame(SoakLine &line, std::mt19937 &random) {
    std::string number = line.freshNumber(random);
    {
        std::lock_guard<std::mutex> hold(line.lock);
        line.sendIndex[number] = line.sendIndex.size();
        line.exposed.insert(number);
    }
    ++figures.calls;
    std::string bytes = reportOf(line, number);
    std::uniform_int_distribution<size_t> piece(1, 6);
    std::uniform_int_distribution<int> pause(3, 12);
    Pacing pacing{piece(random), std::chrono::milliseconds(pause(random))};
    auto sending = pacing.pause * static_cast<int>((bytes.size() + pacing.pieceSize - 1) /
                                                   pacing.pieceSize);
    line.device->sendRaw(bytes, pacing);
    std::uniform_int_distribution<int64_t> moment(0, sending.count());
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random))); // somewhere inside
    close(line, scaled(500ms), "close in the middle of a frame");
    ++figures.midFrameCloses;
    line.device->waitUntilSent(scaled(5s));
}

void SerialSoak::callClosedMidNotification(SoakLine &line, std::mt19937 &random) {
    std::uniform_int_distribution<int> slow(30, 250);
    int busy = slow(random);
    line.slowNextMs = busy;
    std::string number = line.freshNumber(random);
    uint64_t closes = line.closes.load();
    {
        std::lock_guard<std::mutex> hold(line.lock);
        line.sendIndex[number] = line.sendIndex.size();
    }
    ++figures.calls;
    line.device->sendRaw(reportOf(line, number));
    bool inside = waitArrival(line, number, scaled(3s), true);
    if (!inside) {
        line.slowNextMs = 0;
        if (line.closes.load() == closes && !line.arrived(number))
            problem("line " + std::to_string(line.slot) + ": call " + number + " never arrived");
        std::lock_guard<std::mutex> hold(line.lock);
        if (line.closes.load() != closes)
            line.exposed.insert(number);
        return;
    }
    close(line, std::chrono::milliseconds(busy) + scaled(500ms), "close during a notification");
    ++figures.midNotificationCloses;
    line.device->waitUntilSent(scaled(5s));
}

void SerialSoak::burst(SoakLine &line, std::mt19937 &random) {
    close(line, scaled(500ms), "close before a burst");
    std::uniform_int_distribution<int> cycles(3, 10);
    std::lock_guard<std::mutex> host(hostLock);
    if (line.open)
        return;
    for (int i = cycles(random); i > 0; --i) {
        int32_t result = OpenCommLineEx(line.slot, &line.window, line.port, line.kind);
        if (result != 0) {
            problem("burst: open gave " + std::to_string(result));
            return;
        }
        ++line.closes;
        auto start = SoakClock::now();
        CloseCommLineEx(line.slot); // during the initialisation of the terminal adapter
        if (SoakClock::now() - start > scaled(500ms))
            problem("burst: a close took too long");
        ++figures.burstCycles;
    }
}

void SerialSoak::readHistory(SoakLine &line, std::mt19937 &random) {
    std::uniform_int_distribution<int32_t> asked(1, 6);
    HistoryRecord records[6] = {};
    int32_t count = asked(random);
    int32_t wanted = std::min<int32_t>(count, static_cast<int32_t>(kStored.size()));
    int32_t result = GetHistoryEx(line.slot, &count, records);
    ++figures.historyReads;
    if (result != 0 || count != wanted) {
        problem("history: result " + std::to_string(result) + ", " + std::to_string(count) +
                " records instead of " + std::to_string(wanted));
        return;
    }
    for (int32_t i = 0; i < count; ++i)
        if (std::string(records[i].number, 10) != kStored[i].number)
            problem("history: record " + std::to_string(i) + " wrong");
}

void SerialSoak::dial(SoakLine &line, std::mt19937 &random) {
    std::uniform_int_distribution<int32_t> telPort(1, 3);
    std::uniform_int_distribution<int> digit(0, 9);
    int32_t port = telPort(random);
    std::string number = "0" + std::to_string(100000000 + digit(random) * 1000 + digit(random));
    KalvixDialEx(line.slot, port, number.c_str());
    ++figures.dials;
    std::string command = "AT\\D" + std::to_string(port) + "/" + number + "\r\n";
    if (!line.device->waitForReceived(command, scaled(2s)))
        problem("dial: the adapter never got " + command);
    line.needsSettling = true; // the adapter answers OK, which ends a frame of its own
}

void SerialSoak::sample() {
    std::lock_guard<std::mutex> host(hostLock);
    if (workersRunning != 2)
        return; // a worker that has finished takes its thread with it
    int openLines = (lines[0].open ? 1 : 0) | (lines[1].open ? 2 : 0);
    ProcessStats now = processStats();
    std::lock_guard<std::mutex> hold(sampleLock);
    auto first = firstByOpenLines.emplace(openLines, now);
    if (!first.second) {
        const ProcessStats &then = first.first->second;
        if (now.threads != then.threads || now.descriptors != then.descriptors)
            problem("with the same lines open, " + describe(then) + " became " + describe(now));
    }
    double at = std::chrono::duration<double>(SoakClock::now() - started).count();
    resident.emplace_back(at, now.residentKb);
}

void SerialSoak::work(SoakLine &line, int actor) {
    std::mt19937 random(seed + static_cast<uint32_t>(actor) * 7919);
    std::uniform_int_distribution<int> percent(0, 99);
    while (SoakClock::now() < deadline && problemTotal() < kMaxProblems) {
        watchdog.progress(actor, "between actions");
        {
            std::lock_guard<std::mutex> busy(line.traffic);
            line.device->clearRecord(); // what the device saw so far would only pile up
            if (!ensureOpen(line, actor))
                continue;
            if (line.needsSettling.exchange(false) && !settle(line))
                continue;
            int choice = percent(random);
            if (choice < 70) {
                watchdog.progress(actor, "a call");
                call(line, random);
            } else if (choice < 77) {
                watchdog.progress(actor, "a call closed in the middle of its frame");
                callClosedMidFrame(line, random);
            } else if (choice < 82) {
                watchdog.progress(actor, "a call closed in the middle of its notification");
                callClosedMidNotification(line, random);
            } else if (choice < 86) {
                watchdog.progress(actor, "a quiet close");
                close(line, scaled(500ms), "quiet close");
                ++figures.quietCycles;
            } else if (choice < 90) {
                watchdog.progress(actor, "a burst of open/close cycles");
                burst(line, random);
            } else {
                watchdog.progress(actor, line.kind == 2 ? "a history read" : "a dial");
                std::lock_guard<std::mutex> host(hostLock);
                if (line.open)
                    line.kind == 2 ? readHistory(line, random) : dial(line, random);
            }
        }
        if (actor == 0 && SoakClock::now() >= nextSample) {
            sample();
            nextSample = SoakClock::now() + 500ms;
        }
    }
    std::lock_guard<std::mutex> host(hostLock);
    --workersRunning;
}

void SerialSoak::checkArrivals(SoakLine &line) {
    std::lock_guard<std::mutex> hold(line.lock);
    for (const auto &[number, index] : line.sendIndex) {
        bool exposed = line.exposed.count(number) != 0;
        auto arrived = line.arrivals.find(number);
        if (arrived == line.arrivals.end())
            ++(exposed ? figures.exposedLost : figures.lost);
        else
            ++(exposed ? figures.exposedDelivered : figures.delivered);
    }
    uint64_t last = 0;
    bool first = true;
    for (const std::string &number : line.order) {
        auto sent = line.sendIndex.find(number);
        if (sent == line.sendIndex.end()) {
            problem("line " + std::to_string(line.slot) + ": \"" + number + "\" was never sent");
            continue;
        }
        if (!first && sent->second <= last)
            problem("line " + std::to_string(line.slot) + ": " + number + " out of order");
        last = sent->second;
        first = false;
    }
    for (const auto &[number, times] : line.arrivals)
        if (times > 1)
            problem("line " + std::to_string(line.slot) + ": " + number + " arrived " +
                    std::to_string(times) + " times");
}

void SerialSoak::run() {
    const int32_t kinds[2] = {2, 15};
    const char *prefixes[2] = {"01", "06"};
    for (int i = 0; i < 2; ++i) {
        SoakLine &line = lines[i];
        line.slot = i;
        line.kind = kinds[i];
        line.port = 3 + i;
        line.prefix = prefixes[i];
        line.device = SerialDevice::start(line.kind);
        comDir.link(line.port, line.device->slavePath());
        line.log = observed.log("COM" + std::to_string(line.port));
        line.window = Kalvix3HostWindow{&SerialSoak::procedure, &line};
        line.soak = this;
        line.other = &lines[1 - i];
        line.procedureRandom.seed(seed * 31 + static_cast<uint32_t>(i));
    }
    lines[0].device->setHistory(kStored);
    before = settledProcessStats();
    started = SoakClock::now();
    deadline = started + std::chrono::seconds(seconds);
    nextSample = started;
    std::thread second([&] { work(lines[1], 1); });
    work(lines[0], 0);
    second.join();
    watchdog.progress(0, "closing both lines");
    for (SoakLine &line : lines)
        close(line, scaled(500ms), "final close");
    for (SoakLine &line : lines)
        checkArrivals(line);
    ProcessStats after = processStatsBackTo(before);
    if (after.threads > before.threads || after.descriptors > before.descriptors)
        problem("after the run " + describe(after) + ", before it " + describe(before));
    if (slowdown() == 1 && resident.size() >= 8) {
        // Sanitizers keep freed memory and histories of their own, valgrind its own heap.
        // The first quarter warms up allocators and caches; after that nothing may grow.
        size_t settled = resident[resident.size() / 4].second;
        size_t highest = 0;
        for (size_t i = resident.size() / 4; i < resident.size(); ++i)
            highest = std::max(highest, resident[i].second);
        if (highest > settled + 4096)
            problem("resident memory grew from " + std::to_string(settled) + " kB to " +
                    std::to_string(highest) + " kB");
    }
}

void SerialSoak::report() {
    size_t cycles = figures.quietCycles + figures.midFrameCloses + figures.midNotificationCloses +
                    figures.burstCycles + figures.closesFromProcedure;
    std::cout << "serial soak, " << seconds << " s, seed " << seed << ": " << figures.calls
              << " calls (" << figures.deviceRepeated << " repeated by the device), "
              << figures.delivered << " delivered once, " << figures.exposedDelivered
              << " exposed to a close and delivered once, " << figures.exposedLost
              << " exposed and lost, " << figures.lost << " lost unexposed; " << cycles << " open/close cycles (" << figures.quietCycles
              << " quiet, " << figures.midFrameCloses << " mid-frame, "
              << figures.midNotificationCloses << " mid-notification, " << figures.burstCycles
              << " in bursts, " << figures.closesFromProcedure << " from the other line's window"
              << " procedure); " << figures.historyReads << " history reads, " << figures.dials
              << " dials, " << figures.callbacks << " callbacks from window procedures ("
              << figures.refusedOwnCloses << " refused closes of the own line), "
              << figures.settles << " settles; " << describe(before) << " before and after";
    if (!resident.empty())
        std::cout << "; resident " << resident.front().second << " kB at the start, "
                  << resident.back().second << " kB at the end";
    std::cout << std::endl;
}

TEST(Soak, TwoSerialLinesOverPseudoTerminals) {
    int seconds = soakSeconds(kDefaultSeconds);
    uint32_t seed = std::random_device{}();
    if (const char *fixed = std::getenv("KALVIX3_SOAK_SEED"))
        seed = static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10));
    SerialSoak soak(seconds, seed);
    soak.run();
    soak.report();
    for (const std::string &problem : soak.problemList())
        ADD_FAILURE() << problem;
    EXPECT_EQ(soak.problemTotal(), 0u) << "seed " << seed;
    EXPECT_GT(soak.figures.delivered.load(), 0u);
}

} // namespace
