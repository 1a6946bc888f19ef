// kalvix3_bench_frames: the frame tests and parsers in bytes per second, beside what the
// family's line can carry (9600 baud: 960 characters a second), so the ratio says how little of
// a core the receive work takes. Whole chunks (as a pseudo-terminal hands them over) and byte by
// byte (a frame test after every byte, the most a real UART can cause).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "frame_work.h"

namespace {

using kalvix3::bench::FrameCase;

const char *const kSection = "Frame tests and parsers (bytes per second)";
constexpr double kTargetRatio = 1000;

struct Result {
    const FrameCase *call;
    double bytesPerSecond;
    double nsPerCall;
};
std::vector<Result> gResults;

std::string nameOf(const FrameCase &call) {
    return "frames/kind" + std::to_string(call.kind) + (call.byteByByte ? "/byte_by_byte" : "/whole");
}

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
    std::string rows;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc)
            rows = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    for (const FrameCase &call : cases) {
        benchmark::RegisterBenchmark(nameOf(call).c_str(), [&call](benchmark::State &state) { receive(state, call); })
            ->MinTime(0.2);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    // A reporter that also keeps the figures for the summary.
    class Keeping : public benchmark::ConsoleReporter {
    public:
        void ReportRuns(const std::vector<Run> &runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run &run : runs) {
                if (run.error_occurred)
                    continue;
                for (const FrameCase &call : cases) {
                    if (run.benchmark_name().rfind(nameOf(call), 0) != 0)
                        continue;
                    double nsPerCall = run.GetAdjustedRealTime(); // the default unit: ns
                    gResults.push_back({&call, call.bytes * 1e9 / nsPerCall, nsPerCall});
                }
            }
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    using kalvix3::bench::format;
    kalvix3::bench::Report &report = kalvix3::bench::Report::instance();
    for (const Result &result : gResults) {
        const FrameCase &call = *result.call;
        double ratio = result.bytesPerSecond / call.lineBytesPerSecond;
        report.add({kSection,
                    call.name + (call.byteByByte ? ", byte by byte" : ", whole chunks") +
                        format(" (%zu bytes a call)", call.bytes),
                    format("%.1f MB/s (%.0f ns a call), %.3gx the line", result.bytesPerSecond / 1e6,
                           result.nsPerCall, ratio),
                    format("the line: %.0f B/s", call.lineBytesPerSecond),
                    format(">= %.0fx the line", kTargetRatio),
                    kalvix3::bench::verdict(ratio >= kTargetRatio)});
    }
    report.note(kSection,
                "The receive thread's work on one call's bytes without the port: append each chunk to the "
                "accumulation buffer, run the frame test after each, parse the complete frame, clear. A "
                "number-display adapter's call is two copies of its frame (the second one's STX completes "
                "it). Byte by byte runs the frame test after every byte, the most a UART can cause.");
    report.note(kSection,
                format("Target: at least %.0fx the line's rate, i.e. the receive work takes under 0.1%% of a "
                       "core even when the line carries nothing but calls.",
                       kTargetRatio));
    report.print();
    if (!rows.empty() && !report.writeRows(rows)) {
        std::fprintf(stderr, "kalvix3_bench_frames: cannot write %s\n", rows.c_str());
        return 2;
    }
    return 0;
}
