// Opening and closing lines: how long OpenCommLineEx and CloseCommLineEx hold the host's
// thread, for each serial profile over pseudo-terminals and for the USB lines on the stand-in.
//
// Floor of a serial open: the same system calls without the library (open, exclusive claim,
// termios set-up, a wake-up eventfd, a thread started), done on the same pseudo-terminal in
// alternation with the library. Floor of a close: signalling that thread, joining it, giving
// the claim up and closing. Where the protocol itself waits on close (the MN128's ATZ and its
// 100 ms pause) that wait is added to the floor and the target.
//
// The terminal adapters' initialisation commands run on the line's own thread after the open
// call has returned; when their last command reaches the device is reported beside the pauses
// that space them (100 ms after each command, and 500 ms before the MN128's first).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "stand_in.h"
#include "bare_line.h"
#include "bench_support.h"
#include "benchmarks.h"
#include "kalvix3_sim/serial_device.h"

namespace kalvix3::bench {

namespace {

void addNotes();

using kalvix3::sim::SerialDevice;

const char *const kOpenSection = "Open and close (time the host's thread is held)";
const char *const kInitSection = "Initialisation commands (on the line's thread, after the open call returned)";
constexpr double kTargetMs = 20;

// What the protocol makes a close wait for, in ms.
double closeWaitOf(int kind) { return kind == 50 ? 100 : 0; }

const char *profileOf(int kind) {
    switch (kind) {
    case 2: return "9600 baud 7E1";
    case 3: return "4800 baud 8N1, DTR raised";
    case 5: return "38400 baud 8N1";
    default: return "19200 baud 8N1";
    }
}

// The last initialisation command of a kind and when it is written after the thread starts,
// by the pauses alone (ms); none for kinds without commands.
struct InitShape {
    const char *lastCommand = nullptr;
    double floorMs = 0;
};
InitShape initShapeOf(int kind) {
    switch (kind) {
    case 14: return {"ATG55=0\r\n", 200};   // three commands, 100 ms after each
    case 30: return {"AT$C16=1\r\n", 200};  // three commands
    case 50: return {"AT#H1\r\n", 700};     // 500 ms, then three commands
    default: return {};
    }
}

void measureSerialOpenClose(benchmark::State &state, int kind) {
    addNotes();
    int rounds = kind == 50 ? std::max(3, options().openCloses / 3) : options().openCloses;
    std::vector<double> opens, closes, bareOpens, bareCloses, inits;
    InitShape init = initShapeOf(kind);
    for (auto _ : state) {
        ComDirectory comDir;
        auto device = SerialDevice::start(kind);
        comDir.link(3, device->slavePath());
        BenchWindow window;
        for (int round = 0; round < rounds; ++round) {
            device->clearRecord();
            auto began = Clock::now();
            if (OpenCommLineEx(0, window.handle(), 3, kind) != 0)
                throw std::runtime_error("OpenCommLineEx failed for kind " + std::to_string(kind));
            auto opened = Clock::now();
            opens.push_back(milliseconds(opened - began));
            if (init.lastCommand != nullptr) {
                device->waitForReceived(init.lastCommand, 5s);
                if (auto when = device->timeReceived(init.lastCommand))
                    inits.push_back(milliseconds(*when - began));
                std::this_thread::sleep_for(150ms); // its pause and the purge after it
            } else {
                std::this_thread::sleep_for(30ms);
            }
            auto closing = Clock::now();
            CloseCommLineEx(0);
            closes.push_back(milliseconds(Clock::now() - closing));

            std::this_thread::sleep_for(10ms);
            auto bareBegan = Clock::now();
            {
                BarePort bare(device->slavePath());
                auto bareOpened = Clock::now();
                bareOpens.push_back(milliseconds(bareOpened - bareBegan));
                std::this_thread::sleep_for(30ms);
                auto bareClosing = Clock::now();
                if (closeWaitOf(kind) > 0)
                    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(closeWaitOf(kind)));
                // ~BarePort
                bareBegan = bareClosing;
            }
            bareCloses.push_back(milliseconds(Clock::now() - bareBegan));
            std::this_thread::sleep_for(10ms);
        }
    }
    Spread open = spreadOf(opens), close = spreadOf(closes);
    Spread bareOpen = spreadOf(bareOpens), bareClose = spreadOf(bareCloses);
    double closeTarget = kTargetMs + closeWaitOf(kind);
    Report &report = Report::instance();
    report.add({kOpenSection, format("open, kind %d (%s), %zu opens", kind, profileOf(kind), open.samples),
                format("median %.2f ms, worst %.2f ms", open.median, open.worst),
                format("median %.2f ms, worst %.2f ms", bareOpen.median, bareOpen.worst),
                format("< %.0f ms", kTargetMs), verdict(open.worst < kTargetMs)});
    std::string waits = kind == 50 ? " (ATZ + 100 ms)" : kind == 3 ? " (DTR lowered)" : "";
    report.add({kOpenSection, format("close, kind %d%s, %zu closes", kind, waits.c_str(), close.samples),
                format("median %.2f ms, worst %.2f ms", close.median, close.worst),
                format("median %.2f ms, worst %.2f ms", bareClose.median, bareClose.worst),
                format("< %.0f ms", closeTarget), verdict(close.worst < closeTarget)});
    if (init.lastCommand != nullptr) {
        Spread done = spreadOf(inits);
        std::string command(init.lastCommand, std::strlen(init.lastCommand) - 2);
        report.add({kInitSection, format("kind %d: last command %s at the device", kind, command.c_str()),
                    format("median %.1f ms, worst %.1f ms after the open call began", done.median, done.worst),
                    format("%.0f ms (the pauses)", init.floorMs), format("< %.0f ms", init.floorMs + kTargetMs),
                    verdict(done.worst < init.floorMs + kTargetMs)});
    }
    state.counters["open_worst_ms"] = open.worst;
    state.counters["close_worst_ms"] = close.worst;
}

void measureUsbOpenClose(benchmark::State &state, int kind) {
    addNotes();
    // Kind 32 is closed once it polls, a second after the open: fewer rounds.
    int rounds = kind == 32 ? std::max(3, options().openCloses / 3) : options().openCloses;
    std::vector<double> opens, closes, ready, bareOpens, bareCloses, bareStarts;
    bool polled = kind == 32;
    for (auto _ : state) {
        kalvix3::testing::StandIn sim(options().standIn);
        // Kind 32 is ready when its baseline status read is made (noted inside the driver call);
        // kind 36 when it has asked for its first event record: a call placed at once after the
        // open waits in the stand-in for that request and is then delivered.
        std::atomic<Clock::rep> firstStatusRead{0};
        if (polled)
            sim.onEachControl([&](uint32_t code) {
                Clock::rep none = 0;
                if (code == 17)
                    firstStatusRead.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
            });
        for (int round = 0; round < rounds; ++round) {
            BenchWindow window;
            firstStatusRead = 0;
            auto began = Clock::now();
            if (OpenCommLineEx(0, window.handle(), 0, kind) != 0)
                throw std::runtime_error("OpenCommLineEx failed for kind " + std::to_string(kind));
            opens.push_back(milliseconds(Clock::now() - began));
            if (polled) {
                if (kalvix3::testing::waitUntil([&] { return firstStatusRead.load() != 0; }, 2s))
                    ready.push_back(milliseconds(Clock::time_point(Clock::duration(firstStatusRead.load())) - began));
            } else {
                sim.placeCall("0312345678");
                if (auto heard = window.arrival(0, 2s))
                    ready.push_back(milliseconds(*heard - began));
            }
            std::this_thread::sleep_for(polled ? 1200ms : 50ms); // kind 32: into its polling
            auto closing = Clock::now();
            CloseCommLineEx(0);
            closes.push_back(milliseconds(Clock::now() - closing));

            // The floor: look for the driver file and start a thread that waits as the line's
            // does (kind 32: one-second sleeps on a condition variable; kind 36: 200 ms slices
            // on an eventfd); after as long as the line was open, stop and join it.
            auto bareBegan = Clock::now();
            struct stat info {};
            stat((std::string(std::getenv("KALVIX3_SYSTEM_DIR")) + "/ITUSB.DLL").c_str(), &info);
            if (polled) {
                auto poller = std::make_unique<BarePoller>();
                bareOpens.push_back(milliseconds(Clock::now() - bareBegan));
                std::this_thread::sleep_for(closing - began);
                bareStarts.push_back(milliseconds(Clock::time_point(Clock::duration(poller->started.load())) - bareBegan));
                auto bareClosing = Clock::now();
                poller.reset();
                bareCloses.push_back(milliseconds(Clock::now() - bareClosing));
                continue;
            }
            int stop = eventfd(0, EFD_CLOEXEC);
            std::atomic<Clock::rep> started{0};
            std::thread worker([stop, &started] {
                started = Clock::now().time_since_epoch().count(); // the new thread runs
                for (;;) {
                    pollfd watch{stop, POLLIN, 0};
                    if (poll(&watch, 1, 200) > 0)
                        return;
                }
            });
            bareOpens.push_back(milliseconds(Clock::now() - bareBegan));
            std::this_thread::sleep_for(closing - began);
            bareStarts.push_back(milliseconds(Clock::time_point(Clock::duration(started.load())) - bareBegan));
            auto bareClosing = Clock::now();
            uint64_t one = 1;
            (void)!::write(stop, &one, sizeof one);
            worker.join();
            ::close(stop);
            bareCloses.push_back(milliseconds(Clock::now() - bareClosing));
        }
    }
    Spread open = spreadOf(opens), close = spreadOf(closes), watching = spreadOf(ready);
    Spread bareOpen = spreadOf(bareOpens), bareClose = spreadOf(bareCloses), bareStart = spreadOf(bareStarts);
    Report &report = Report::instance();
    const char *what = polled ? "USB, polled" : "USB, event-driven";
    report.add({kOpenSection, format("open, kind %d (%s), %zu opens", kind, what, open.samples),
                format("median %.2f ms, worst %.2f ms", open.median, open.worst),
                format("median %.2f ms, worst %.2f ms", bareOpen.median, bareOpen.worst),
                format("< %.0f ms", kTargetMs), verdict(open.worst < kTargetMs)});
    report.add({kOpenSection,
                format("  kind %d ready: %s, after the open call began", kind,
                       polled ? "its baseline status read" : "a call waiting at the open is heard"),
                format("median %.2f ms, worst %.2f ms", watching.median, watching.worst),
                format("no pause; a new thread starts running after median %.2f ms, worst %.2f ms",
                       bareStart.median, bareStart.worst),
                format("< %.0f ms", kTargetMs), verdict(watching.worst < kTargetMs)});
    std::string protocol = polled ? " (stop seen within a 1 s poll)" : " (stop seen within a 200 ms slice)";
    report.add({kOpenSection, format("close, kind %d%s, %zu closes", kind, protocol.c_str(), close.samples),
                format("median %.2f ms, worst %.2f ms", close.median, close.worst),
                format("median %.2f ms, worst %.2f ms", bareClose.median, bareClose.worst),
                format("< %.0f ms", kTargetMs), verdict(close.worst < kTargetMs)});
    state.counters["open_worst_ms"] = open.worst;
    state.counters["close_worst_ms"] = close.worst;
}

// What the figures of this file mean, said once under their sections.
void addNotes() {
    Report::instance().note(kOpenSection,
                            "Serial floor: open, flock and TIOCEXCL, termios set-up, an eventfd and a thread "
                            "waiting in poll(), then its stop, join, release and close, on the same "
                            "pseudo-terminal, alternating with the library. USB floor: a stat of the driver "
                            "file and a thread started, then signalled and joined.");
    Report::instance().note(kOpenSection,
                            "Closing an MN128 (kind 50) writes ATZ and waits 100 ms; the floor includes that "
                            "wait. Closing an NDA-P1 (kind 3) lowers DTR. No other close has a wait of its own.");
}

// Reading the catalogue: GetKinds2 asked for its size, then for its 46 rows. The floor copies
// the same 3128 bytes from a table of the benchmark's own.
void measureCatalogue(benchmark::State &state) {
    constexpr int kBatch = 1000;
    std::vector<double> reads, floors;
    static KindInfo source[64];
    std::vector<KindInfo> rows(64);
    for (auto _ : state) {
        for (int sample = 0; sample < 200; ++sample) {
            auto began = Clock::now();
            for (int i = 0; i < kBatch; ++i) {
                int32_t count = 0;
                GetKinds2(1, &count, nullptr);
                GetKinds2(1, &count, rows.data());
                benchmark::DoNotOptimize(rows.data());
            }
            reads.push_back(std::chrono::duration<double, std::nano>(Clock::now() - began).count() / kBatch);
            began = Clock::now();
            for (int i = 0; i < kBatch; ++i) {
                benchmark::DoNotOptimize(source);
                std::memcpy(rows.data(), source, 46 * sizeof(KindInfo));
                benchmark::DoNotOptimize(rows.data());
            }
            floors.push_back(std::chrono::duration<double, std::nano>(Clock::now() - began).count() / kBatch);
        }
    }
    Spread spread = spreadOf(reads), floor = spreadOf(floors);
    Report::instance().add({"Catalogue", "GetKinds2: size, then the 46 rows (200 x 1000 reads)",
                            format("median %.0f ns, worst %.0f ns", spread.median, spread.worst),
                            format("median %.0f ns, worst %.0f ns (a copy of 46 rows)", floor.median, floor.worst),
                            "< 10 us", verdict(spread.worst < 10000)});
    state.counters["median_ns"] = spread.median;
}

} // namespace

void registerLineBenchmarks() {
    auto once = [](benchmark::internal::Benchmark *b) { b->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime(); };
    for (int kind : {2, 3, 5, 30, 14, 50}) {
        std::string name = "open_close/kind" + std::to_string(kind);
        once(benchmark::RegisterBenchmark(name.c_str(), [kind](benchmark::State &s) { measureSerialOpenClose(s, kind); }));
    }
    for (int kind : {32, 36}) {
        std::string name = "open_close/kind" + std::to_string(kind);
        once(benchmark::RegisterBenchmark(name.c_str(), [kind](benchmark::State &s) { measureUsbOpenClose(s, kind); }));
    }
    once(benchmark::RegisterBenchmark("catalogue/GetKinds2", measureCatalogue));
}

} // namespace kalvix3::bench
