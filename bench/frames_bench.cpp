// kalvix3_bench_frames: the frame tests and parsers in bytes per second, beside what the
// family's line can carry (9600 baud: 960 characters a second), so the ratio says how little of
// a core the receive work takes. Whole chunks (as a pseudo-terminal hands them over) and byte by
// byte (a frame test after every byte, the most a real UART can cause).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frame_work.h"

namespace {

using kalvix3::bench::FrameCase;

struct Result {
    std::string name;
    bool byteByByte;
    double bytesPerSecond;
    double lineBytesPerSecond;
    double nsPerCall;
};
std::vector<Result> gResults;

void receive(benchmark::State &state, const FrameCase &call) {
    kalvix3::AccumulationBuffer buffer;
    size_t parsed = 0;
    for (auto _ : state) {
        parsed += kalvix3::bench::receiveCall(call, buffer);
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * call.bytes));
    state.SetItemsProcessed(state.iterations());
    if (parsed != static_cast<size_t>(state.iterations()) * 10)
        state.SkipWithError("a frame was not parsed");
}

} // namespace

int main(int argc, char **argv) {
    static std::vector<FrameCase> cases = kalvix3::bench::frameCases(false);
    for (FrameCase &call : kalvix3::bench::frameCases(true))
        cases.push_back(std::move(call));
    for (const FrameCase &call : cases) {
        std::string name = "frames/kind" + std::to_string(call.kind) + (call.byteByByte ? "/byte_by_byte" : "/whole");
        benchmark::RegisterBenchmark(name.c_str(), [&call](benchmark::State &state) { receive(state, call); })
            ->MinTime(0.2);
    }
    benchmark::Initialize(&argc, argv);

    // A reporter that also keeps the figures for the summary.
    class Keeping : public benchmark::ConsoleReporter {
    public:
        void ReportRuns(const std::vector<Run> &runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run &run : runs) {
                if (run.error_occurred)
                    continue;
                for (const FrameCase &call : cases) {
                    std::string name = "frames/kind" + std::to_string(call.kind) +
                                       (call.byteByByte ? "/byte_by_byte" : "/whole");
                    if (run.benchmark_name().rfind(name, 0) != 0)
                        continue;
                    double nsPerCall = run.GetAdjustedRealTime(); // default unit: ns
                    gResults.push_back({call.name, call.byteByByte, call.bytes * 1e9 / nsPerCall,
                                        call.lineBytesPerSecond, nsPerCall});
                }
            }
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n| frames | chunks | ns per call | bytes per second | the line's bytes per second | ratio |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Result &result : gResults)
        std::printf("| %s | %s | %.0f | %.3g | %.0f | %.3g x |\n", result.name.c_str(),
                    result.byteByByte ? "byte by byte" : "whole", result.nsPerCall, result.bytesPerSecond,
                    result.lineBytesPerSecond, result.bytesPerSecond / result.lineBytesPerSecond);
    return 0;
}
