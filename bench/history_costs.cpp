// History reads: how long GetHistoryEx holds the host's thread.
//
// Serial (kind 2, the number-display adapter, 30 entries): one request per entry; the reply
// frame is complete at its ETX, after which the line takes its 100 ms pause before the reply is
// handed over. The floor is therefore 30 x (100 ms + the time the request and the reply take on
// the line). On a pseudo-terminal the bytes take no time, so the floor is 30 x 100 ms = 3.0 s;
// on a real 9600-baud line (10 bits a character) the 7-byte request and the 31-byte reply add
// 39.6 ms an entry, 4.19 s in all.
//
// NDA-P1 (kind 3, 10 entries): the line is taken down, NDA_P1.dll (the stand-in) opens the
// port and reads the list, and the line is opened again. The floor is that work without the
// library: a bare port closed, the stand-in's three calls, a bare port opened.
//
// USB (kind 32, 50 entries): five pages of ten through Ev_USB_Control; ITMUX (kind 36, 50
// entries): one ITUSB_ReadBufferRequest for the whole list. Neither protocol pauses; the floor is
// the same driver calls made directly on the stand-in by the benchmark, in alternation.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
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

using kalvix3::sim::HistoryEntry;
using kalvix3::sim::SerialDevice;

const char *const kHistorySection = "History reads (time the host's thread is held)";
constexpr int kSerialEntries = 30;
constexpr int kUsbEntries = 50;
constexpr double kSerialPauseMs = 100;
constexpr double kSerialLineMsPerEntry = (7 + 31) * 10 * 1000.0 / 9600; // request and reply at 9600 baud

void measureSerialHistory(benchmark::State &state) {
    addNotes();
    std::vector<double> reads;
    int wrongCounts = 0;
    for (auto _ : state) {
        ComDirectory comDir;
        auto device = SerialDevice::start(2);
        std::vector<HistoryEntry> entries;
        for (int i = 0; i < kSerialEntries; ++i)
            entries.push_back({format("12%02d", i % 28 + 1), format("%02d%02d", i % 24, i % 60),
                               format("03%08d", 12345000 + i)});
        device->setHistory(entries);
        comDir.link(3, device->slavePath());
        BenchWindow window;
        if (OpenCommLineEx(0, window.handle(), 3, 2) != 0)
            throw std::runtime_error("OpenCommLineEx(2) failed");
        std::this_thread::sleep_for(50ms);
        for (int read = 0; read < options().historyReads; ++read) {
            std::vector<HistoryRecord> records(kSerialEntries);
            int32_t count = kSerialEntries;
            auto began = Clock::now();
            int32_t result = GetHistoryEx(0, &count, records.data());
            reads.push_back(milliseconds(Clock::now() - began));
            if (result != 0 || count != kSerialEntries)
                ++wrongCounts;
            std::this_thread::sleep_for(50ms);
        }
        CloseCommLineEx(0);
    }
    Spread spread = spreadOf(reads);
    double floorMs = kSerialEntries * kSerialPauseMs;
    double overheadPerEntry = (spread.median - floorMs) / kSerialEntries;
    bool met = wrongCounts == 0 && overheadPerEntry < 1.0;
    Report::instance().add(
        {kHistorySection,
         format("kind 2, %d entries, %zu reads%s", kSerialEntries, spread.samples,
                wrongCounts ? format(" (%d incomplete)", wrongCounts).c_str() : ""),
         format("median %.0f ms, worst %.0f ms (%.2f ms an entry beyond the floor)", spread.median, spread.worst,
                overheadPerEntry),
         format("%.0f ms = 30 x 100 ms pause (real 9600-baud line: %.0f ms)", floorMs,
                kSerialEntries * (kSerialPauseMs + kSerialLineMsPerEntry)),
         "< 1 ms an entry beyond the floor", verdict(met)});
    state.counters["median_ms"] = spread.median;
}

// The stand-in NDA_P1.dll in a temporary current directory, where the library looks for it,
// loaded here too for its SimNda_ controls and for the floor.
class NdaDirectory {
public:
    explicit NdaDirectory(const std::string &library) {
        namespace fs = std::filesystem;
        previous = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "kalvix3-bench-nda.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        directory = pattern;
        fs::create_symlink(library, directory / "NDA_P1.dll");
        fs::current_path(directory);
        handle = dlopen((directory / "NDA_P1.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            throw std::runtime_error(dlerror());
    }
    ~NdaDirectory() {
        dlclose(handle);
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        std::filesystem::remove_all(directory, ignored);
    }
    template <typename Entry> Entry entry(const char *name) {
        auto found = reinterpret_cast<Entry>(dlsym(handle, name));
        if (found == nullptr)
            throw std::runtime_error(name);
        return found;
    }

private:
    std::filesystem::path previous, directory;
    void *handle = nullptr;
};

void measureNdaHistory(benchmark::State &state) {
    addNotes();
    constexpr int kEntries = 10;
    std::vector<double> reads, floors;
    int wrongCounts = 0;
    for (auto _ : state) {
        ComDirectory comDir;
        auto device = SerialDevice::start(3);
        comDir.link(3, device->slavePath());
        NdaDirectory nda(options().ndaStandIn);
        nda.entry<void (*)()>("SimNda_Reset")();
        auto addEntry = nda.entry<void (*)(const char *, int, int, int, int)>("SimNda_AddEntry");
        for (int i = 0; i < kEntries; ++i)
            addEntry(format("03%08d", 77700000 + i).c_str(), 12, i + 1, 10, i);
        auto init = nda.entry<int (*)(const char *, const void *)>("NDA_Init");
        auto getHistory = nda.entry<int (*)(void *, int32_t *)>("NDA_GetHistoryData");
        auto exit = nda.entry<void (*)()>("NDA_Exit");
        const uint8_t settings[11] = {0, 0, 0, 0, 0xC0, 0x12, 0, 0, 8, 1, 0}; // 4800 baud, 8N1
        BenchWindow window;
        for (int read = 0; read < options().historyReads * 5; ++read) {
            if (OpenCommLineEx(0, window.handle(), 3, 3) != 0)
                throw std::runtime_error("OpenCommLineEx(3) failed");
            std::this_thread::sleep_for(30ms);
            std::vector<HistoryRecord> records(kEntries);
            int32_t count = kEntries;
            auto began = Clock::now();
            int32_t result = GetHistoryEx(0, &count, records.data());
            reads.push_back(milliseconds(Clock::now() - began));
            if (result != 0 || count != kEntries)
                ++wrongCounts;
            CloseCommLineEx(0);
            std::this_thread::sleep_for(10ms);

            auto line = std::make_unique<BarePort>(device->slavePath());
            std::this_thread::sleep_for(30ms);
            auto floorBegan = Clock::now();
            line.reset();
            uint8_t entries[kEntries][36] = {};
            int32_t flag = 1;
            if (init("COM3", settings) != 0) {
                getHistory(entries, &flag);
                exit();
            }
            line = std::make_unique<BarePort>(device->slavePath());
            floors.push_back(milliseconds(Clock::now() - floorBegan));
            line.reset();
            std::this_thread::sleep_for(10ms);
        }
    }
    Spread spread = spreadOf(reads), floor = spreadOf(floors);
    bool met = wrongCounts == 0 && spread.worst < floor.worst + 20;
    Report::instance().add(
        {kHistorySection,
         format("kind 3, %d entries through NDA_P1.dll, %zu reads%s", kEntries, spread.samples,
                wrongCounts ? format(" (%d incomplete)", wrongCounts).c_str() : ""),
         format("median %.2f ms, worst %.2f ms", spread.median, spread.worst),
         format("median %.2f ms, worst %.2f ms (line closed, the stand-in's calls, line opened)", floor.median,
                floor.worst),
         "worst < floor's worst + 20 ms", verdict(met)});
    state.counters["median_ms"] = spread.median;
}

// The stand-in's driver entries, looked up in the copy the library loads.
struct DriverEntries {
    void *handle = nullptr;
    int32_t (*control)(uint32_t, void *, uint32_t, void *, uint32_t, uint32_t *, uint32_t *, uint32_t) = nullptr;
    uintptr_t (*openDevice)(uint32_t, uint32_t, uint32_t, void *) = nullptr;
    int32_t (*readBuffer)(intptr_t, uint32_t, uintptr_t, uint32_t, uint32_t, void *, uint32_t, uint32_t *,
                          void *) = nullptr;
    int32_t (*closeDevice)(uintptr_t, void *) = nullptr;

    DriverEntries() {
        std::string path = std::string(std::getenv("KALVIX3_SYSTEM_DIR")) + "/ITUSB.DLL";
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            throw std::runtime_error(dlerror());
        control = reinterpret_cast<decltype(control)>(dlsym(handle, "Ev_USB_Control"));
        openDevice = reinterpret_cast<decltype(openDevice)>(dlsym(handle, "ITUSB_OpenDevice"));
        readBuffer = reinterpret_cast<decltype(readBuffer)>(dlsym(handle, "ITUSB_ReadBufferRequest"));
        closeDevice = reinterpret_cast<decltype(closeDevice)>(dlsym(handle, "ITUSB_CloseDevice"));
        if (!control || !openDevice || !readBuffer || !closeDevice)
            throw std::runtime_error("stand-in entries");
    }
    ~DriverEntries() { dlclose(handle); }
};

// Five pages, as the reader asks for them.
void readPagesDirectly(DriverEntries &driver) {
    static uint8_t page[390];
    for (uint8_t j = 0; j < kUsbEntries / 10; ++j) {
        uint8_t request[2] = {j, 0};
        uint32_t word1 = 0, word2 = 0;
        driver.control(0x80000010, page, sizeof page, request, sizeof request, &word1, &word2, 0);
    }
}

// One buffer request, waited for on its eventfd.
void readBufferDirectly(DriverEntries &driver, uintptr_t device) {
    static uint8_t buffer[6600];
    uint8_t block[28] = {};
    uint32_t count = 0;
    int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    driver.readBuffer(event, 20, device, 0, 0, buffer, sizeof buffer, &count, block);
    pollfd watch{event, POLLIN, 0};
    poll(&watch, 1, 5000);
    uint64_t value = 0;
    (void)!::read(event, &value, sizeof value);
    ::close(event);
}

void measureUsbHistory(benchmark::State &state, int kind) {
    addNotes();
    std::vector<double> reads, floors;
    int wrongCounts = 0;
    int rounds = options().historyReads * 10;
    for (auto _ : state) {
        kalvix3::testing::StandIn sim(options().standIn);
        for (int i = 0; i < kUsbEntries; ++i)
            sim.addHistoryEntry(format("03%08d", 55500000 + i).c_str(),
                                format("202612%02d%02d%02d00", i % 28 + 1, i % 24, i % 60).c_str());
        DriverEntries driver;
        uint8_t block[28] = {};
        uintptr_t device = kind == 36 ? driver.openDevice(0, 2, 0, block) : 0;
        BenchWindow window;
        if (OpenCommLineEx(0, window.handle(), 0, kind) != 0)
            throw std::runtime_error("OpenCommLineEx failed for kind " + std::to_string(kind));
        kalvix3::testing::waitUntil(
            [&] { return kind == 32 ? sim.controlCalls(17) >= 1 : sim.callCount(SIMUSB_EVENT_NOTIFICATION_REQUEST, 0) >= 1; },
            2s);
        for (int read = 0; read < rounds; ++read) {
            std::vector<HistoryRecord> records(kUsbEntries);
            int32_t count = kUsbEntries;
            auto began = Clock::now();
            int32_t result = GetHistoryEx(0, &count, records.data());
            reads.push_back(microseconds(Clock::now() - began));
            if (result != 0 || count != kUsbEntries)
                ++wrongCounts;
            auto floorBegan = Clock::now();
            if (kind == 32)
                readPagesDirectly(driver);
            else
                readBufferDirectly(driver, device);
            floors.push_back(microseconds(Clock::now() - floorBegan));
            std::this_thread::sleep_for(5ms);
        }
        CloseCommLineEx(0);
        if (device != 0)
            driver.closeDevice(device, block);
    }
    Spread spread = spreadOf(reads), floor = spreadOf(floors);
    bool met = wrongCounts == 0 && spread.median < 1000;
    const char *how = kind == 32 ? "5 pages through Ev_USB_Control" : "one ITUSB_ReadBufferRequest";
    Report::instance().add(
        {kHistorySection,
         format("kind %d, %d entries (%s), %zu reads%s", kind, kUsbEntries, how, spread.samples,
                wrongCounts ? format(" (%d incomplete)", wrongCounts).c_str() : ""),
         format("median %.0f us, worst %.0f us", spread.median, spread.worst),
         format("median %.0f us, worst %.0f us (the same driver calls, no pause)", floor.median, floor.worst),
         "median < 1 ms", verdict(met)});
    state.counters["median_us"] = spread.median;
}

// What the figures of this file mean, said once under their sections.
void addNotes() {
    Report::instance().note(kHistorySection,
                            "Serial floor: each entry's reply frame is complete at its ETX and is then held "
                            "for the 100 ms pause after a frame; the reader's 200 ms wait is a limit, not a "
                            "pause, and is reached only by an entry that is not answered.");
}

} // namespace

void registerHistoryBenchmarks() {
    auto once = [](benchmark::internal::Benchmark *b) { b->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime(); };
    once(benchmark::RegisterBenchmark("history/kind2", measureSerialHistory));
    once(benchmark::RegisterBenchmark("history/kind3", measureNdaHistory));
    once(benchmark::RegisterBenchmark("history/kind32", [](benchmark::State &s) { measureUsbHistory(s, 32); }));
    once(benchmark::RegisterBenchmark("history/kind36", [](benchmark::State &s) { measureUsbHistory(s, 36); }));
}

} // namespace kalvix3::bench
