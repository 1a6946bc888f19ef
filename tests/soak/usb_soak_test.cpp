// The USB soak, against the stand-in ITUSB.DLL: a multiplexed NEC Aterm line (kind 36) on slot
// 0 that reports every call, and a polled one (kind 32) on slot 1 that is opened and closed now
// and then and also dials through its progress dialog. Calls, history reads and dials come in
// between open/close cycles, quiet or in the middle of a notification; the window procedure of
// the multiplexed line calls back into the library now and then (closing its own line, which is
// refused; reading its history; dialing; closing the polled line).
//
// Delivered exactly once, as in the serial soak: a call of the multiplexed line is exposed when
// the line is closed between the moment the adapter takes the call and the moment it is
// delivered; an exposed call may be lost or may arrive after the line is open again, every
// other call arrives within a bound; none arrives twice; nothing arrives that was not placed.
// The polled line sees only the status of the moment it polls, so of its calls only this is
// checked: none arrives twice and nothing arrives that was not placed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "itusb/records.h"
#include "kalvix3.h"
#include "main/lines.h"
#include "main/usb_lines.h"
#include "recvusb/recv_usb_thread.h"
#include "stand_in.h"
#include "support/process_stats.h"
#include "watchdog.h"

using namespace std::chrono_literals;
using namespace kalvix3::testing;

namespace {

constexpr int kDefaultSeconds = 8;
constexpr size_t kMaxProblems = 40;
constexpr int32_t kItmux = 36;
constexpr int32_t kPolled = 32;

struct Arrivals {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, int> count;
    std::vector<std::string> unexpected;
    std::atomic<bool> inProcedure{false};
    std::atomic<int> slowNextMs{0};
};

class UsbSoak {
public:
    UsbSoak(int seconds, uint32_t seed)
        : seconds(seconds), random(seed), procedureRandom(seed * 31 + 1),
          watchdog(std::chrono::seconds(seconds) +
                       std::chrono::duration_cast<std::chrono::seconds>(scaled(90s)),
                   std::chrono::duration_cast<std::chrono::seconds>(scaled(30s))) {}

    void run();
    std::vector<std::string> problemList() {
        std::lock_guard<std::mutex> hold(problemLock);
        return problems;
    }

    uint64_t calls = 0, delivered = 0, exposedDelivered = 0, exposedLost = 0;
    uint64_t cycles = 0, notificationCloses = 0, polledCycles = 0, histories = 0, dials = 0;
    uint64_t polledDials = 0, polledArrivals = 0;
    std::atomic<uint64_t> callbacks{0}, refusedOwnCloses{0};

private:
    static intptr_t procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void problem(const std::string &what) {
        std::lock_guard<std::mutex> hold(problemLock);
        if (problems.size() < kMaxProblems)
            problems.push_back(what);
    }
    size_t problemCount() {
        std::lock_guard<std::mutex> hold(problemLock);
        return problems.size();
    }
    void callBack();
    bool open(int32_t slot);
    void close(int32_t slot, std::chrono::milliseconds bound);
    bool waitArrival(const std::string &number, std::chrono::milliseconds limit, bool inside);
    void call();
    void closeInNotification();
    void readHistory();
    void dialItmux();
    void dialPolled();
    void sample();

    int seconds;
    std::mt19937 random, procedureRandom;
    Watchdog watchdog;
    std::unique_ptr<StandIn> sim;
    Arrivals itmux, polled;
    Kalvix3HostWindow windows[2] = {{&UsbSoak::procedure, nullptr}, {&UsbSoak::procedure, nullptr}};
    std::mutex hostLock;
    bool isOpen[2] = {false, false}; // under hostLock
    std::atomic<uint64_t> itmuxCloses{0};
    std::set<std::string> placed, exposed;
    uint64_t nextNumber = 0;
    std::map<int, ProcessStats> firstByOpenLines;
    std::vector<size_t> resident;
    std::mutex problemLock;
    std::vector<std::string> problems;
};

const char *const kHistory[] = {"0511111111", "0522222222", "P", "0533333333", "C"};

void addHistory(StandIn &sim) {
    for (const char *entry : kHistory)
        sim.addHistoryEntry(entry, "20240506070809");
}

intptr_t UsbSoak::procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto *soak = static_cast<UsbSoak *>(static_cast<Kalvix3HostWindow *>(window)->user);
    bool multiplexed = window == &soak->windows[0];
    Arrivals &line = multiplexed ? soak->itmux : soak->polled;
    line.inProcedure = true;
    const auto *record = reinterpret_cast<const CopyDataRecord *>(lParam);
    std::string text = record && record->lpData ? static_cast<const char *>(record->lpData) : "";
    {
        std::lock_guard<std::mutex> hold(line.lock);
        if (message != KALVIX3_CALLER_NUMBER_MESSAGE || record->dwData != 12 ||
            record->cbData != text.size() || wParam == 0)
            line.unexpected.push_back("message " + std::to_string(message) + " code " +
                                      std::to_string(record->dwData) + " " + text);
        else
            ++line.count[text];
    }
    line.changed.notify_all();
    if (int slow = line.slowNextMs.exchange(0); slow > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(slow));
    else if (multiplexed)
        soak->callBack();
    {
        std::lock_guard<std::mutex> hold(line.lock);
        line.inProcedure = false;
    }
    line.changed.notify_all();
    return 0;
}

void UsbSoak::callBack() {
    std::uniform_int_distribution<int> pick(0, 99);
    int choice = pick(procedureRandom);
    if (choice >= 12)
        return;
    std::unique_lock<std::mutex> host(hostLock, std::try_to_lock);
    if (!host.owns_lock())
        return;
    ++callbacks;
    switch (choice % 4) {
    case 0:
        CloseCommLineEx(0);
        if (!kalvix3::lineSlot(0)->isOpen())
            problem("the multiplexed line closed from its own notification");
        ++refusedOwnCloses;
        break;
    case 1: {
        HistoryRecord records[10] = {};
        int32_t count = 10;
        if (GetHistoryEx(0, &count, records) != 0 || count != 5)
            problem("history from a notification: " + std::to_string(count) + " records");
        break;
    }
    case 2:
        KalvixDialEx(0, 2, "0312345678");
        break;
    case 3:
        if (isOpen[1]) {
            CloseCommLineEx(1);
            isOpen[1] = false;
        }
        break;
    }
}

bool UsbSoak::open(int32_t slot) {
    std::lock_guard<std::mutex> host(hostLock);
    if (isOpen[slot])
        return true;
    int32_t kind = slot == 0 ? kItmux : kPolled;
    int32_t requests = sim->callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0);
    int32_t result = OpenCommLineEx(slot, &windows[slot], 0, kind);
    if (result != 0) {
        problem("open of slot " + std::to_string(slot) + " gave " + std::to_string(result));
        return false;
    }
    isOpen[slot] = true;
    if (slot == 0 && !waitUntil([&] {
            return sim->callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) > requests;
        }, scaled(3s))) {
        problem("the multiplexed line never asked for an event");
        return false;
    }
    return true;
}

void UsbSoak::close(int32_t slot, std::chrono::milliseconds bound) {
    std::lock_guard<std::mutex> host(hostLock);
    if (!isOpen[slot])
        return;
    if (slot == 0)
        ++itmuxCloses;
    auto start = SoakClock::now();
    CloseCommLineEx(slot);
    if (SoakClock::now() - start > bound)
        problem("closing slot " + std::to_string(slot) + " took too long");
    isOpen[slot] = false;
    if (slot == 0)
        ++cycles;
    else
        ++polledCycles;
}

bool UsbSoak::waitArrival(const std::string &number, std::chrono::milliseconds limit,
                          bool inside) {
    auto until = SoakClock::now() + limit;
    std::unique_lock<std::mutex> hold(itmux.lock);
    for (;;) {
        auto found = itmux.count.find(number);
        if (found != itmux.count.end() && itmux.inProcedure.load() == inside)
            return true;
        if (SoakClock::now() > until)
            return false;
        itmux.changed.wait_for(hold, 20ms);
    }
}

void UsbSoak::call() {
    std::string number = "05" + std::to_string(10000000 + nextNumber++);
    uint64_t closes = itmuxCloses.load();
    {
        std::lock_guard<std::mutex> host(hostLock);
        sim->placeCall(number.c_str());
    }
    placed.insert(number);
    ++calls;
    bool arrived = waitArrival(number, scaled(2s), false);
    if (itmuxCloses.load() != closes)
        exposed.insert(number);
    else if (!arrived)
        problem("call " + number + " never arrived, and the line was not closed");
}

void UsbSoak::closeInNotification() {
    std::uniform_int_distribution<int> slow(30, 250);
    int busy = slow(random);
    itmux.slowNextMs = busy;
    std::string number = "05" + std::to_string(10000000 + nextNumber++);
    uint64_t closes = itmuxCloses.load();
    {
        std::lock_guard<std::mutex> host(hostLock);
        sim->placeCall(number.c_str());
    }
    placed.insert(number);
    ++calls;
    if (!waitArrival(number, scaled(2s), true)) {
        itmux.slowNextMs = 0;
        if (itmuxCloses.load() != closes)
            exposed.insert(number);
        else if (itmux.count.count(number) == 0)
            problem("call " + number + " never arrived");
        return;
    }
    close(0, std::chrono::milliseconds(busy) + scaled(500ms));
    ++notificationCloses;
}

void UsbSoak::readHistory() {
    std::uniform_int_distribution<int32_t> asked(1, 10);
    HistoryRecord records[10] = {};
    int32_t count = asked(random);
    int32_t wanted = std::min(count, 5);
    std::lock_guard<std::mutex> host(hostLock);
    int32_t result = GetHistoryEx(0, &count, records);
    ++histories;
    if (result != 0 || count != wanted) {
        problem("history: result " + std::to_string(result) + ", " + std::to_string(count) +
                " records instead of " + std::to_string(wanted));
        return;
    }
    // Handed over in the reverse of the adapter's order.
    for (int32_t k = 0; k < count; ++k) {
        std::string expected = kHistory[wanted - 1 - k];
        if (std::string(records[k].number, strnlen(records[k].number, 16)) != expected)
            problem("history: record " + std::to_string(k) + " wrong");
    }
}

void UsbSoak::dialItmux() {
    std::lock_guard<std::mutex> host(hostLock);
    int32_t before = sim->callCount(SIMUSB_CONTROL_TA, 0);
    KalvixDialEx(0, 1, "03-1234-5678");
    ++dials;
    if (sim->callCount(SIMUSB_CONTROL_TA, 0) != before + 1)
        problem("the multiplexed dial sent no request");
}

void UsbSoak::dialPolled() {
    std::lock_guard<std::mutex> host(hostLock);
    if (!isOpen[1] || !kalvix3::usbThreadOf(*kalvix3::lineSlot(1))->controlAvailable())
        return;
    int32_t before = sim->controlCalls(kalvix3::itusb::kDialStartCode);
    auto start = SoakClock::now();
    KalvixDialEx(1, 3, "0312345678");
    ++polledDials;
    if (sim->controlCalls(kalvix3::itusb::kDialStartCode) != before + 1)
        problem("the polled dial sent no request");
    if (SoakClock::now() - start > scaled(5s))
        problem("the polled dial took too long");
    if (_DialForm != nullptr)
        problem("the dial form outlived the dial");
}

void UsbSoak::sample() {
    std::lock_guard<std::mutex> host(hostLock);
    // The stand-in's call log would grow for the whole run: start it afresh (nothing is queued
    // between actions), keeping the history.
    sim->reset();
    addHistory(*sim);
    int openLines = (isOpen[0] ? 1 : 0) | (isOpen[1] ? 2 : 0);
    ProcessStats now = processStats();
    auto first = firstByOpenLines.emplace(openLines, now);
    if (!first.second && (now.threads != first.first->second.threads ||
                          now.descriptors != first.first->second.descriptors))
        problem("with the same lines open, " + describe(first.first->second) + " became " +
                describe(now));
    resident.push_back(now.residentKb);
}

void UsbSoak::run() {
    sim = std::make_unique<StandIn>(KALVIX3_STAND_IN_ITUSB);
    addHistory(*sim);
    windows[0].user = this;
    windows[1].user = this;
    ProcessStats before = settledProcessStats();
    auto deadline = SoakClock::now() + std::chrono::seconds(seconds);
    auto nextSample = SoakClock::now();
    std::uniform_int_distribution<int> percent(0, 99);
    while (SoakClock::now() < deadline && problemCount() == 0) {
        watchdog.progress(0, "between actions");
        if (!open(0))
            break;
        int choice = percent(random);
        if (choice < 62) {
            watchdog.progress(0, "a call");
            call();
        } else if (choice < 70) {
            watchdog.progress(0, "a close during a notification");
            closeInNotification();
        } else if (choice < 78) {
            watchdog.progress(0, "a quiet close");
            close(0, scaled(500ms));
        } else if (choice < 86) {
            watchdog.progress(0, "a history read");
            readHistory();
        } else if (choice < 92) {
            watchdog.progress(0, "a dial");
            dialItmux();
        } else if (choice < 96) {
            watchdog.progress(0, "opening or closing the polled line");
            bool polledOpen;
            {
                std::lock_guard<std::mutex> host(hostLock);
                polledOpen = isOpen[1];
            }
            polledOpen ? close(1, scaled(1500ms)) : (void)open(1);
        } else {
            watchdog.progress(0, "a dial with the progress dialog");
            dialPolled();
        }
        if (SoakClock::now() >= nextSample) {
            sample();
            nextSample = SoakClock::now() + 1s;
        }
    }
    watchdog.progress(0, "closing both lines");
    close(0, scaled(500ms));
    close(1, scaled(1500ms));

    for (const std::string &number : placed) {
        bool arrived = itmux.count.count(number) != 0;
        bool open = exposed.count(number) != 0;
        if (arrived)
            ++(open ? exposedDelivered : delivered);
        else if (open)
            ++exposedLost;
    }
    for (Arrivals *line : {&itmux, &polled}) {
        for (const std::string &unexpected : line->unexpected)
            problem("unexpected " + unexpected);
        for (const auto &[number, times] : line->count) {
            if (placed.count(number) == 0)
                problem("\"" + number + "\" arrived but was never placed");
            if (times > 1)
                problem(number + " arrived " + std::to_string(times) + " times");
        }
    }
    polledArrivals = polled.count.size();
    ProcessStats after = processStatsBackTo(before);
    if (after.threads > before.threads || after.descriptors > before.descriptors)
        problem("after the run " + describe(after) + ", before it " + describe(before));
    if (slowdown() == 1 && resident.size() >= 8) {
        // Sanitizers keep freed memory and histories of their own, valgrind its own heap.
        size_t settled = resident[resident.size() / 4];
        size_t highest = *std::max_element(resident.begin() + resident.size() / 4, resident.end());
        if (highest > settled + 4096)
            problem("resident memory grew from " + std::to_string(settled) + " kB to " +
                    std::to_string(highest) + " kB");
    }
    sim.reset();
}

TEST(Soak, UsbLinesOnTheStandInDriver) {
    int seconds = soakSeconds(kDefaultSeconds);
    uint32_t seed = std::random_device{}();
    if (const char *fixed = std::getenv("KALVIX3_SOAK_SEED"))
        seed = static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10));
    UsbSoak soak(seconds, seed);
    soak.run();
    std::cout << "usb soak, " << seconds << " s, seed " << seed << ": " << soak.calls
              << " calls on the multiplexed line, " << soak.delivered << " delivered once, "
              << soak.exposedDelivered << " exposed to a close and delivered once, "
              << soak.exposedLost << " exposed and lost; " << soak.cycles
              << " open/close cycles of it (" << soak.notificationCloses
              << " during a notification), " << soak.polledCycles << " of the polled line; "
              << soak.histories << " history reads, " << soak.dials << " dials, "
              << soak.polledDials << " dials with the progress dialog; " << soak.callbacks
              << " callbacks (" << soak.refusedOwnCloses << " refused closes of the own line); "
              << soak.polledArrivals << " calls seen by the polled line" << std::endl;
    for (const std::string &problem : soak.problemList())
        ADD_FAILURE() << problem;
    EXPECT_GT(soak.delivered, 0u) << "seed " << seed;
}

} // namespace
