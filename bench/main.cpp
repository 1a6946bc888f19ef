// kalvix3_bench: what the library costs a host, each figure beside its floor and its target.
//
//   kalvix3_bench [--calls N] [--idle-seconds S] [--open-closes N] [--history-reads N]
//                 [--allocation-calls N] [--stand-in PATH] [--rows FILE]
//                 [google benchmark flags, e.g. --benchmark_filter=latency]
//
// Every benchmark runs once and ends by itself; the summary at the end (and the rows file, if
// asked for: see Report::writeRows) holds the figures. Groups: latency/ and idle/ (notification_latency.cpp),
// open_close/ (line_lifecycle.cpp), history/ (history_costs.cpp), memory/ (memory_costs.cpp;
// memory/resident wants a process of its own).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "bench_support.h"
#include "benchmarks.h"

namespace kalvix3::bench {

Options &options() {
    static Options values;
    return values;
}

} // namespace kalvix3::bench

int main(int argc, char **argv) {
    using namespace kalvix3::bench;
    Options &opts = options();
    opts.standIn = KALVIX3_BENCH_STAND_IN;
    opts.ndaStandIn = KALVIX3_BENCH_NDA_STAND_IN;
    std::string rows;
    std::vector<char *> rest;
    auto number = [](const char *text) { return std::max(1, std::atoi(text)); };
    for (int i = 0; i < argc; ++i) {
        bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--calls") == 0 && hasValue)
            opts.calls = number(argv[++i]);
        else if (std::strcmp(argv[i], "--idle-seconds") == 0 && hasValue)
            opts.idleSeconds = number(argv[++i]);
        else if (std::strcmp(argv[i], "--open-closes") == 0 && hasValue)
            opts.openCloses = number(argv[++i]);
        else if (std::strcmp(argv[i], "--history-reads") == 0 && hasValue)
            opts.historyReads = number(argv[++i]);
        else if (std::strcmp(argv[i], "--allocation-calls") == 0 && hasValue)
            opts.allocationCalls = number(argv[++i]);
        else if (std::strcmp(argv[i], "--stand-in") == 0 && hasValue)
            opts.standIn = argv[++i];
        else if (std::strcmp(argv[i], "--rows") == 0 && hasValue)
            rows = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (!alloc::active())
        std::fprintf(stderr, "kalvix3_bench: the allocation counter is not in place\n");

    registerMemoryBenchmarks();
    registerLatencyBenchmarks();
    registerLineBenchmarks();
    registerHistoryBenchmarks();

    double loadBefore = loadAverage();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    addLatencySummary();
    double loadAfter = loadAverage();

    Report &report = Report::instance();
    std::printf("\n%u cores, load average %.2f before, %.2f after", std::thread::hardware_concurrency(),
                loadBefore, loadAfter);
    report.print();
    if (!rows.empty() && !report.writeRows(rows)) {
        std::fprintf(stderr, "kalvix3_bench: cannot write %s\n", rows.c_str());
        return 2;
    }
    return 0;
}
