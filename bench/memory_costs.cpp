// Memory: the resident size that two open lines add to the host's process, and the heap
// allocations made for each delivered call once a line is in its steady state.
//
// Resident size: /proc/self/statm before and after two bare lines (bare_line.h, the floor) and
// then two library lines (kinds 2 and 30) are opened and have delivered one call each; the bare
// lines stay up meanwhile, so neither reuses pages the other gave back. Run it in a process of
// its own (kalvix3_bench --benchmark_filter=memory/resident/serial, and so for usb), before
// anything else has touched and freed memory.
//
// Allocations: the counting shim (alloc_counter.h) counts every allocation of the process by
// thread and by calling module. The window procedure takes a count (without allocating) when
// call N arrives and again when call N+k arrives, on the line's receive thread; what lies
// between is k calls' worth, split into the receive thread's own (the library's, and what the
// stand-in driver allocates when the thread calls it) and every other thread's (the device
// simulator and the benchmark host).
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stand_in.h"
#include "alloc_counter.h"
#include "bare_line.h"
#include "bench_support.h"
#include "benchmarks.h"
#include "kalvix3_sim/serial_device.h"

namespace kalvix3::bench {

namespace {

void addNotes();

using kalvix3::sim::Call;
using kalvix3::sim::SerialDevice;

const char *const kMemorySection = "Memory";
constexpr auto kArrivalLimit = 5s;

const char *lastInitCommand(int kind) { return kind == 30 ? "AT$C16=1\r\n" : nullptr; }

void addResidentRow(const std::string &what, const Resident &start, const Resident &withBare,
                    const Resident &withLines, const std::string &floorWhat, benchmark::State &state) {
    long lines = withLines.totalKiB - withBare.totalKiB;
    long linesPrivate = withLines.privateKiB() - withBare.privateKiB();
    long bare = withBare.totalKiB - start.totalKiB;
    long barePrivate = withBare.privateKiB() - start.privateKiB();
    // Beyond the floor, the library touches its own code and data pages and the two threads'
    // stacks a little deeper: 128 KiB in all.
    bool met = lines <= bare + 128;
    Report::instance().add({kMemorySection, "resident size added by " + what,
                            format("+%ld KiB (private +%ld KiB)", lines, linesPrivate),
                            format("+%ld KiB (private +%ld KiB): %s", bare, barePrivate, floorWhat.c_str()),
                            "<= floor + 128 KiB", verdict(met)});
    state.counters["resident_kib"] = static_cast<double>(lines);
    state.counters["floor_kib"] = static_cast<double>(bare);
}

void measureResident(benchmark::State &state) {
    addNotes();
    Resident start, withBare, withLines;
    for (auto _ : state) {
        ComDirectory comDir;
        auto stx = SerialDevice::start(2);
        auto aterm = SerialDevice::start(30);
        comDir.link(3, stx->slavePath());
        comDir.link(4, aterm->slavePath());
        BenchWindow stxWindow, atermWindow;
        std::string frame = kalvix3::sim::callerReport(kalvix3::sim::Family::Aterm, Call::withNumber("0312345678"));
        std::this_thread::sleep_for(100ms);

        start = residentNow();
        BareLine bareStx(true), bareAterm(false);
        bareStx.send(frame);
        bareAterm.send(frame);
        bareStx.window.arrival(0, kArrivalLimit);
        bareAterm.window.arrival(0, kArrivalLimit);
        withBare = residentNow();

        if (OpenCommLineEx(0, stxWindow.handle(), 3, 2) != 0 || OpenCommLineEx(1, atermWindow.handle(), 4, 30) != 0)
            throw std::runtime_error("OpenCommLineEx failed");
        aterm->waitForReceived(lastInitCommand(30), 5s);
        std::this_thread::sleep_for(200ms);
        stx->placeCall(Call::withNumber("0312345678"));
        aterm->placeCall(Call::withNumber("0312345678"));
        stxWindow.arrival(0, kArrivalLimit);
        atermWindow.arrival(0, kArrivalLimit);
        stx->waitUntilSent(kArrivalLimit);
        withLines = residentNow();
        CloseCommLineEx(0);
        CloseCommLineEx(1);
    }
    addResidentRow("two open serial lines (kinds 2, 30), one call each", start, withBare, withLines,
                   "two bare lines", state);
}

// The same for two USB lines (kinds 32 and 36) on the stand-in; the floor is a thread waiting
// on an eventfd in 200 ms slices and one sleeping in one-second steps.
void measureResidentUsb(benchmark::State &state) {
    addNotes();
    Resident start, withBare, withLines;
    for (auto _ : state) {
        kalvix3::testing::StandIn sim(options().standIn);
        BenchWindow polled, evented;
        std::this_thread::sleep_for(100ms);

        start = residentNow();
        BareEventLine bareEvented;
        BarePoller barePolled;
        bareEvented.signal();
        bareEvented.window.arrival(0, kArrivalLimit);
        withBare = residentNow();

        if (OpenCommLineEx(0, polled.handle(), 0, 32) != 0 || OpenCommLineEx(1, evented.handle(), 0, 36) != 0)
            throw std::runtime_error("OpenCommLineEx failed");
        kalvix3::testing::waitUntil([&] { return sim.controlCalls(17) >= 2; }, 5s); // polling
        sim.placeCall("0312345678");
        polled.arrival(0, 3s);
        evented.arrival(0, kArrivalLimit);
        withLines = residentNow();
        CloseCommLineEx(0);
        CloseCommLineEx(1);
    }
    addResidentRow("two open USB lines (kinds 32, 36), one call each", start, withBare, withLines,
                   "two bare threads", state);
}

// Counts taken inside the window procedure at two arrivals.
struct Window {
    size_t first = 0, last = 0;
    std::vector<alloc::ThreadCounts> before, after;
    std::atomic<int> taken{0};
    Window() {
        before.reserve(alloc::kMaxThreads + 1);
        after.reserve(alloc::kMaxThreads + 1);
    }
    static void onArrival(void *context, size_t index) {
        auto *self = static_cast<Window *>(context);
        if (index == self->first) {
            alloc::snapshotInto(self->before);
            self->taken.fetch_add(1);
        } else if (index == self->last) {
            alloc::snapshotInto(self->after);
            self->taken.fetch_add(1);
        }
    }
};

struct AllocationFigures {
    double libraryPerCall = 0;   // receive thread, called from the library (or the runtimes)
    double simulatorPerCall = 0; // the simulator's own threads, and the stand-in driver anywhere
    double hostPerCall = 0;      // the benchmark's thread, which drives the simulator
    int calls = 0;
    bool complete = false;
};

AllocationFigures figuresOf(const Window &window, int receiveThread, int hostThread) {
    AllocationFigures figures;
    figures.calls = static_cast<int>(window.last - window.first);
    figures.complete = window.taken.load() == 2 && figures.calls > 0;
    if (!figures.complete)
        return figures;
    for (const alloc::ThreadCounts &delta : alloc::difference(window.before, window.after)) {
        auto own = static_cast<double>(delta.allocations[alloc::Library] + delta.allocations[alloc::Other]);
        figures.simulatorPerCall += static_cast<double>(delta.allocations[alloc::StandIn]);
        if (delta.tid == receiveThread)
            figures.libraryPerCall += own;
        else if (delta.tid == hostThread)
            figures.hostPerCall += own;
        else
            figures.simulatorPerCall += own;
    }
    figures.libraryPerCall /= figures.calls;
    figures.simulatorPerCall /= figures.calls;
    figures.hostPerCall /= figures.calls;
    return figures;
}

void addAllocationRow(int kind, const AllocationFigures &figures, benchmark::State &state) {
    Report::instance().add(
        {kMemorySection, format("heap allocations per delivered call, kind %d (%d calls)", kind, figures.calls),
         figures.complete ? format("library %.2f (its receive thread); simulator %.2f; benchmark host %.2f",
                                   figures.libraryPerCall, figures.simulatorPerCall, figures.hostPerCall)
                          : std::string("not measured: calls lost"),
         "0", "0 from the library", verdict(figures.complete && figures.libraryPerCall == 0)});
    state.counters["library_allocations_per_call"] = figures.libraryPerCall;
}

constexpr int kWarmUpCalls = 3;

void measureSerialAllocations(benchmark::State &state, int kind) {
    addNotes();
    AllocationFigures figures;
    for (auto _ : state) {
        alloc::locateModules("libkalvix3.so", "");
        ComDirectory comDir;
        auto device = SerialDevice::start(kind);
        comDir.link(3, device->slavePath());
        Window window;
        window.first = kWarmUpCalls;
        window.last = kWarmUpCalls + static_cast<size_t>(options().allocationCalls);
        BenchWindow host;
        host.onArrival = &Window::onArrival;
        host.onArrivalContext = &window;
        // The counter sees the library: an open and a close allocate (the thread, the port).
        auto beforeOpen = alloc::snapshot();
        if (OpenCommLineEx(0, host.handle(), 3, kind) != 0)
            throw std::runtime_error("OpenCommLineEx failed");
        CloseCommLineEx(0);
        uint64_t openClose = 0;
        for (const alloc::ThreadCounts &delta : alloc::difference(beforeOpen, alloc::snapshot()))
            openClose += delta.allocations[alloc::Library];
        Report::instance().add({kMemorySection, format("heap allocations of one open and close, kind %d", kind),
                                format("%llu by the library", static_cast<unsigned long long>(openClose)), "-",
                                "- (not per call; shows the counter sees the library)", "-"});
        if (OpenCommLineEx(0, host.handle(), 3, kind) != 0)
            throw std::runtime_error("OpenCommLineEx failed");
        if (const char *last = lastInitCommand(kind))
            device->waitForReceived(last, 5s);
        std::this_thread::sleep_for(200ms);
        for (size_t call = 0; call <= window.last; ++call) {
            device->clearRecord();
            device->placeCall(Call::withNumber("03" + std::to_string(20000000 + call)));
            if (!host.arrival(call, kArrivalLimit))
                break;
            device->waitUntilSent(kArrivalLimit);
            std::this_thread::sleep_for(10ms);
        }
        figures = figuresOf(window, host.lastThread(), currentThreadId());
        CloseCommLineEx(0);
    }
    addAllocationRow(kind, figures, state);
}

void measureUsbAllocations(benchmark::State &state, int kind) {
    addNotes();
    AllocationFigures figures;
    for (auto _ : state) {
        kalvix3::testing::StandIn sim(options().standIn);
        alloc::locateModules("libkalvix3.so", "ITUSB.DLL");
        Window window;
        int calls = kind == 32 ? std::max(2, options().allocationCalls / 5) : options().allocationCalls;
        window.first = kWarmUpCalls;
        window.last = kWarmUpCalls + static_cast<size_t>(calls);
        BenchWindow host;
        host.onArrival = &Window::onArrival;
        host.onArrivalContext = &window;
        if (OpenCommLineEx(0, host.handle(), 0, kind) != 0)
            throw std::runtime_error("OpenCommLineEx failed");
        kalvix3::testing::waitUntil(
            [&] { return kind == 32 ? sim.controlCalls(17) >= 1 : sim.callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) >= 1; },
            2s);
        for (size_t call = 0; call <= window.last; ++call) {
            int32_t requests = sim.callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0);
            sim.placeCall(("03" + std::to_string(30000000 + call)).c_str());
            if (!host.arrival(call, kind == 32 ? 3s : kArrivalLimit))
                break;
            if (kind == 36)
                kalvix3::testing::waitUntil(
                    [&] { return sim.callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) > requests; }, 2s);
        }
        figures = figuresOf(window, host.lastThread(), currentThreadId());
        CloseCommLineEx(0);
    }
    addAllocationRow(kind, figures, state);
}

// What the figures of this file mean, said once under their sections.
void addNotes() {
    Report::instance().note(kMemorySection,
                            "Resident size from /proc/self/statm (private = resident minus file-backed). The "
                            "floor is two bare lines: a thread in poll() on a pseudo-terminal each, with one "
                            "call delivered.");
    Report::instance().note(kMemorySection,
                            "Allocations: malloc, calloc, realloc and operator new of the whole process, counted "
                            "by a shim in the benchmark executable, by thread and by calling module, between "
                            "the arrivals of two calls in the steady state (after three calls). Library: the "
                            "line's receive thread, except what the stand-in driver allocates when it is "
                            "called there. Simulator: the serial simulator's thread and the stand-in driver "
                            "on any thread. Benchmark host: the thread that places the calls (it runs the "
                            "serial simulator's scheduling code).");
}

} // namespace

void registerMemoryBenchmarks() {
    auto once = [](benchmark::internal::Benchmark *b) { b->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime(); };
    once(benchmark::RegisterBenchmark("memory/resident/serial", measureResident));
    once(benchmark::RegisterBenchmark("memory/resident/usb", measureResidentUsb));
    for (int kind : {2, 30, 36, 32}) {
        std::string name = "memory/allocations/kind" + std::to_string(kind);
        if (kind >= 32)
            once(benchmark::RegisterBenchmark(name.c_str(), [kind](benchmark::State &s) { measureUsbAllocations(s, kind); }));
        else
            once(benchmark::RegisterBenchmark(name.c_str(), [kind](benchmark::State &s) { measureSerialAllocations(s, kind); }));
    }
}

} // namespace kalvix3::bench
