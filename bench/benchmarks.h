// The benchmarks of kalvix3_bench, one group per file, registered with Google Benchmark by
// main.cpp. Each runs once (its own repetitions inside) and adds its figures, floors and
// targets to the Report.
#pragma once

#include <string>

namespace kalvix3::bench {

struct Options {
    int calls = 200;        // calls per notification-latency scenario
    int idleSeconds = 10;   // how long the idle lines are watched
    int openCloses = 30;    // opens and closes per line kind
    int historyReads = 3;   // history reads per reader
    int allocationCalls = 20; // calls between the two allocation counts (USB kind 32: a fifth)
    std::string standIn;    // the stand-in ITUSB.DLL
    std::string ndaStandIn; // the stand-in NDA_P1.dll
};
Options &options();

void registerLatencyBenchmarks(); // notification_latency.cpp: latency, idle lines
void addLatencySummary();         // after the run: slow calls of all latency scenarios together
void registerLineBenchmarks();    // line_lifecycle.cpp: open and close
void registerHistoryBenchmarks(); // history_costs.cpp: history reads
void registerMemoryBenchmarks();  // memory_costs.cpp: resident size, allocations per call

} // namespace kalvix3::bench
