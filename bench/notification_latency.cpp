// kalvix3_bench: what a serial line costs on top of the operating system.
//
// Latency: from the moment the simulated device has written the byte that completes a frame to
// the moment the host's window procedure is called, minus the 100 ms pause the protocol takes
// after every frame. Measured for an STX-frame adapter (kind 2; its frame is complete when the
// repeated frame's STX arrives) and a terminal adapter (kind 30), one line and two lines at
// once. Each figure is printed beside its floor: the same work done without the library by a
// bare line (a thread wakes in poll() on a pseudo-terminal, reads, sleeps 100 ms, flushes,
// acknowledges and calls the window procedure), with as many bare lines at once, measured call
// by call in alternation with the library's lines so that both meet the same machine load.
//
// Idle: CPU time and wake-ups of the receive threads of two open lines that receive nothing;
// their floor is the 200 ms wait slices, five per second per line.
//
//   kalvix3_bench [--calls N] [--idle-seconds S] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <set>
#include <sys/eventfd.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kalvix3.h"
#include "kalvix3_sim/serial_device.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using kalvix3::sim::Call;
using kalvix3::sim::SerialDevice;

namespace {

int gCalls = 100;
int gIdleSeconds = 3;
constexpr auto kFramePause = 100ms;
constexpr auto kArrivalLimit = 5s;

// ---- Figures -----------------------------------------------------------------------------

struct Spread {
    double median = 0, p99 = 0, worst = 0; // microseconds
    size_t samples = 0;
};

Spread spreadOf(std::vector<double> values) {
    Spread spread;
    if (values.empty())
        return spread;
    std::sort(values.begin(), values.end());
    spread.samples = values.size();
    spread.median = values[values.size() / 2];
    size_t p99 = (values.size() * 99 + 99) / 100;
    spread.p99 = values[std::min(values.size(), std::max<size_t>(p99, 1)) - 1];
    spread.worst = values.back();
    return spread;
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct LatencyRow {
    std::string scenario;
    Spread spread;
    Spread floor;
    int missed = 0; // calls that never reached the window
};
std::vector<LatencyRow> gLatency;

struct IdleRow {
    double seconds = 0, cpuMs = 0;
    long wakeups = 0;
    int lines = 0;
};
IdleRow gIdle;

// ---- Host window and COM directory --------------------------------------------------------

class BenchWindow {
public:
    BenchWindow() : window{&BenchWindow::procedure, this} {}
    Kalvix3HostWindow *handle() { return &window; }

    // Arrival time of caller-number message `index` (0-based); none after the limit.
    std::optional<Clock::time_point> arrival(size_t index, Clock::duration limit) {
        std::unique_lock<std::mutex> hold(lock);
        if (!arrived.wait_for(hold, limit, [&] { return times.size() > index; }))
            return std::nullopt;
        return times[index];
    }
    size_t count() {
        std::lock_guard<std::mutex> hold(lock);
        return times.size();
    }

private:
    static intptr_t procedure(void *window, uint32_t message, uintptr_t, intptr_t) {
        auto now = Clock::now();
        auto *self = static_cast<BenchWindow *>(static_cast<Kalvix3HostWindow *>(window)->user);
        if (message == KALVIX3_CALLER_NUMBER_MESSAGE) {
            std::lock_guard<std::mutex> hold(self->lock);
            self->times.push_back(now);
            self->arrived.notify_all();
        }
        return 0;
    }

    Kalvix3HostWindow window;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<Clock::time_point> times;
};

class ComDirectory {
public:
    ComDirectory() {
        char name[] = "/tmp/kalvix3-bench.XXXXXX";
        if (!mkdtemp(name))
            throw std::runtime_error("mkdtemp");
        path = name;
        setenv("KALVIX3_COM_DIR", name, 1);
    }
    ~ComDirectory() {
        for (const std::string &entry : links)
            unlink(entry.c_str());
        rmdir(path.c_str());
        unsetenv("KALVIX3_COM_DIR");
    }
    void link(int port, const std::string &target) {
        std::string entry = path + "/COM" + std::to_string(port);
        if (symlink(target.c_str(), entry.c_str()) != 0)
            throw std::runtime_error("symlink " + entry);
        links.push_back(entry);
    }

private:
    std::string path;
    std::vector<std::string> links;
};

// One open line with its device and window; closed and stopped in reverse order.
struct BenchLine {
    int slot = 0;
    std::unique_ptr<SerialDevice> device;
    BenchWindow window;
    bool open = false;
    ~BenchLine() {
        if (open)
            CloseCommLineEx(slot);
    }
};

// The work of a line without the library, as the floor of what a line can do on this machine:
// a thread wakes in poll() on the slave of a pseudo-terminal, reads, sleeps 100 ms, flushes,
// writes the acknowledgement (for STX frames) and calls the window procedure.
class BareLine {
public:
    BareLine(bool acknowledge) : acknowledge(acknowledge) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || unlockpt(master) != 0)
            throw std::runtime_error("posix_openpt");
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        stopFd = eventfd(0, EFD_CLOEXEC);
        if (slave < 0 || stopFd < 0)
            throw std::runtime_error("bare line");
        for (int fd : {master, slave}) {
            termios tio{};
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        worker = std::thread(&BareLine::run, this);
    }
    ~BareLine() {
        uint64_t one = 1;
        (void)!::write(stopFd, &one, sizeof one);
        worker.join();
        ::close(stopFd);
        ::close(slave);
        ::close(master);
    }

    // Writes a frame as the device would; the time its last byte was written.
    Clock::time_point send(const std::string &frame) {
        char discard[256];
        while (::read(master, discard, sizeof discard) > 0) {
        } // the previous acknowledgement
        (void)!::write(master, frame.data(), frame.size());
        return Clock::now();
    }
    BenchWindow window;

private:
    void run() {
        std::mutex lock;
        std::condition_variable pause;
        char buffer[512];
        for (;;) {
            pollfd watch[2] = {{slave, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (poll(watch, 2, 200) <= 0)
                continue;
            if (watch[1].revents)
                return;
            while (::read(slave, buffer, sizeof buffer) > 0) {
            }
            std::unique_lock<std::mutex> hold(lock);
            pause.wait_for(hold, kFramePause, [] { return false; });
            hold.unlock();
            tcflush(slave, TCIOFLUSH);
            if (acknowledge)
                (void)!::write(slave, "\x06\r\n", 3);
            char number[] = "0312345678";
            CopyDataRecord record{KALVIX3_CALLER_NUMBER_CODE, 10, number};
            window.handle()->proc(window.handle(), KALVIX3_CALLER_NUMBER_MESSAGE, 1,
                                  reinterpret_cast<intptr_t>(&record));
        }
    }

    bool acknowledge;
    int master = -1, slave = -1, stopFd = -1;
    std::thread worker;
};

// The last byte of a call's frame was written when this chunk had been written: for the STX
// adapters the repeated frame, whose STX completes the frame test; otherwise the only chunk.
std::optional<Clock::time_point> frameCompleted(const SerialDevice &device) {
    auto sent = device.sent();
    size_t chunk = device.family() == kalvix3::sim::Family::NumberDisplay ? 1 : 0;
    if (sent.size() <= chunk)
        return std::nullopt;
    return sent[chunk].when;
}

void openLines(ComDirectory &comDir, std::vector<std::unique_ptr<BenchLine>> &lines, int kind, int count) {
    for (int i = 0; i < count; ++i) {
        auto line = std::make_unique<BenchLine>();
        line->slot = i;
        line->device = SerialDevice::start(kind);
        comDir.link(3 + i, line->device->slavePath());
        if (OpenCommLineEx(i, line->window.handle(), 3 + i, kind) != 0)
            throw std::runtime_error("OpenCommLineEx failed");
        line->open = true;
        lines.push_back(std::move(line));
    }
    // Let the initialisation commands (0.3 s for the terminal adapters) run their course.
    for (auto &line : lines)
        if (kind >= 10)
            line->device->waitForReceived("AT$C16=1\r\n", 5s);
    std::this_thread::sleep_for(300ms);
}

// ---- Benchmarks --------------------------------------------------------------------------

void measureLatency(benchmark::State &state, int kind, int lineCount) {
    LatencyRow row;
    row.scenario = "kind " + std::to_string(kind) + (lineCount == 1 ? ", one line" : ", two lines at once");
    std::vector<double> overheads, floors;
    bool stxFrames = kalvix3::sim::familyOfKind(kind) == kalvix3::sim::Family::NumberDisplay;
    std::string bareFrame = kalvix3::sim::callerReport(*kalvix3::sim::familyOfKind(kind), Call::withNumber("0312345678"));
    for (auto _ : state) {
        ComDirectory comDir;
        std::vector<std::unique_ptr<BenchLine>> lines;
        openLines(comDir, lines, kind, lineCount);
        std::vector<std::unique_ptr<BareLine>> bare;
        for (int i = 0; i < lineCount; ++i)
            bare.push_back(std::make_unique<BareLine>(stxFrames));
        for (int call = 0; call < gCalls; ++call) {
            // The library's lines...
            for (auto &line : lines) {
                line->device->clearRecord();
                line->device->placeCall(Call::withNumber("03" + std::to_string(10000000 + call)));
            }
            for (auto &line : lines) {
                auto arrived = line->window.arrival(static_cast<size_t>(call), kArrivalLimit);
                line->device->waitUntilSent(kArrivalLimit); // the acknowledgement ended the repeats
                auto completed = frameCompleted(*line->device);
                if (!arrived || !completed) {
                    ++row.missed;
                    continue;
                }
                overheads.push_back(microseconds(*arrived - *completed - kFramePause));
            }
            std::this_thread::sleep_for(20ms); // the line re-arms its events after the call
            // ...then as many bare lines, under the same load.
            std::vector<Clock::time_point> written;
            for (auto &line : bare)
                written.push_back(line->send(bareFrame));
            for (size_t i = 0; i < bare.size(); ++i)
                if (auto arrived = bare[i]->window.arrival(static_cast<size_t>(call), kArrivalLimit))
                    floors.push_back(microseconds(*arrived - written[i] - kFramePause));
            std::this_thread::sleep_for(20ms);
        }
    }
    row.spread = spreadOf(overheads);
    row.floor = spreadOf(floors);
    state.counters["median_us"] = row.spread.median;
    state.counters["p99_us"] = row.spread.p99;
    state.counters["worst_us"] = row.spread.worst;
    state.counters["floor_worst_us"] = row.floor.worst;
    state.counters["missed"] = row.missed;
    gLatency.push_back(row);
}

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(tasks))
            if (entry->d_name[0] != '.')
                ids.insert(std::atoi(entry->d_name));
        closedir(tasks);
    }
    return ids;
}

// CPU nanoseconds (schedstat) and context switches of one thread of this process.
struct ThreadCost {
    double cpuNs = 0;
    long switches = 0;
};

ThreadCost threadCost(int tid) {
    ThreadCost cost;
    std::string base = "/proc/self/task/" + std::to_string(tid);
    std::ifstream(base + "/schedstat") >> cost.cpuNs;
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            cost.switches += std::atol(line.substr(line.find(':') + 1).c_str());
    }
    return cost;
}

void measureIdleLines(benchmark::State &state) {
    for (auto _ : state) {
        ComDirectory comDir;
        std::vector<std::unique_ptr<BenchLine>> lines;
        auto stx = std::make_unique<BenchLine>();
        stx->device = SerialDevice::start(2);
        auto aterm = std::make_unique<BenchLine>();
        aterm->slot = 1;
        aterm->device = SerialDevice::start(30);
        comDir.link(3, stx->device->slavePath());
        comDir.link(4, aterm->device->slavePath());
        std::set<int> before = threadIds();
        stx->open = OpenCommLineEx(0, stx->window.handle(), 3, 2) == 0;
        aterm->open = OpenCommLineEx(1, aterm->window.handle(), 4, 30) == 0;
        aterm->device->waitForReceived("AT$C16=1\r\n", 5s);
        std::this_thread::sleep_for(300ms);
        std::vector<int> receivers;
        for (int id : threadIds())
            if (!before.count(id))
                receivers.push_back(id);

        std::vector<ThreadCost> start;
        for (int id : receivers)
            start.push_back(threadCost(id));
        auto began = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(gIdleSeconds));
        gIdle = {};
        gIdle.seconds = std::chrono::duration<double>(Clock::now() - began).count();
        gIdle.lines = static_cast<int>(receivers.size());
        for (size_t i = 0; i < receivers.size(); ++i) {
            ThreadCost end = threadCost(receivers[i]);
            gIdle.cpuMs += (end.cpuNs - start[i].cpuNs) / 1e6;
            gIdle.wakeups += end.switches - start[i].switches;
        }
        lines.push_back(std::move(aterm));
        lines.push_back(std::move(stx));
    }
    state.counters["cpu_ms"] = gIdle.cpuMs;
    state.counters["wakeups"] = static_cast<double>(gIdle.wakeups);
}

void printSummary() {
    std::printf("\nNotification latency overhead: last frame byte written -> window procedure, minus the 100 ms pause\n");
    std::printf("(floor: a bare line doing the same work without the library, alternating with it call by call)\n");
    std::printf("%-28s %7s  %18s  %18s  %18s  %s\n", "scenario", "samples", "median (floor) us",
                "p99 (floor) us", "worst (floor) us", "target median<1ms worst<5ms");
    for (const LatencyRow &row : gLatency) {
        bool met = row.spread.median < 1000 && row.spread.worst < 5000 && row.missed == 0;
        std::printf("%-28s %7zu  %8.0f (%6.0f)  %8.0f (%6.0f)  %8.0f (%6.0f)  %s%s\n", row.scenario.c_str(),
                    row.spread.samples, row.spread.median, row.floor.median, row.spread.p99, row.floor.p99,
                    row.spread.worst, row.floor.worst, met ? "met" : "MISSED",
                    row.missed ? (" (" + std::to_string(row.missed) + " calls lost)").c_str() : "");
    }
    if (gIdle.lines == 0)
        return;
    double sliceFloor = gIdle.lines * gIdle.seconds * 5.0;
    std::printf("\nIdle: %d open lines receiving nothing for %.1f s\n", gIdle.lines, gIdle.seconds);
    std::printf("  wake-ups  %6ld   (floor %.0f: one per 200 ms wait slice per line)\n", gIdle.wakeups, sliceFloor);
    std::printf("  CPU time  %6.2f ms (floor 0; %.1f us per wake-up)\n", gIdle.cpuMs,
                gIdle.wakeups ? gIdle.cpuMs * 1000 / static_cast<double>(gIdle.wakeups) : 0.0);
}

} // namespace

int main(int argc, char **argv) {
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            gCalls = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--idle-seconds") == 0 && i + 1 < argc)
            gIdleSeconds = std::max(1, std::atoi(argv[++i]));
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    auto once = [](benchmark::internal::Benchmark *b) { b->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime(); };
    once(benchmark::RegisterBenchmark("latency/kind2/one_line", [](benchmark::State &s) { measureLatency(s, 2, 1); }));
    once(benchmark::RegisterBenchmark("latency/kind2/two_lines", [](benchmark::State &s) { measureLatency(s, 2, 2); }));
    once(benchmark::RegisterBenchmark("latency/kind30/one_line", [](benchmark::State &s) { measureLatency(s, 30, 1); }));
    once(benchmark::RegisterBenchmark("latency/kind30/two_lines", [](benchmark::State &s) { measureLatency(s, 30, 2); }));
    once(benchmark::RegisterBenchmark("idle/two_lines", measureIdleLines));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
