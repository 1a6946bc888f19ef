// kalvix3_frame_driver: the receive thread's work on frames and nothing else, for callgrind.
//
//   kalvix3_frame_driver --list                  the cases: index, kind, mode, bytes, name
//   kalvix3_frame_driver INDEX FRAMES            runs case INDEX FRAMES times
//
//   valgrind --tool=callgrind --toggle-collect=kalvix3_receive_frames kalvix3_frame_driver 0 10000
//
// counts only the instructions inside kalvix3_receive_frames: instructions / FRAMES is the
// work per call.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame_work.h"

using kalvix3::bench::FrameCase;

extern "C" __attribute__((noinline)) size_t kalvix3_receive_frames(const FrameCase *call, long frames) {
    kalvix3::AccumulationBuffer buffer;
    size_t parsed = 0;
    for (long i = 0; i < frames; ++i)
        parsed += kalvix3::bench::receiveCall(*call, buffer);
    return parsed;
}

int main(int argc, char **argv) {
    std::vector<FrameCase> cases = kalvix3::bench::frameCases(false);
    for (FrameCase &call : kalvix3::bench::frameCases(true))
        cases.push_back(std::move(call));
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (size_t i = 0; i < cases.size(); ++i)
            std::printf("%zu\t%d\t%s\t%zu\t%s\n", i, cases[i].kind, cases[i].byteByByte ? "byte-by-byte" : "whole",
                        cases[i].bytes, cases[i].name.c_str());
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s --list | INDEX FRAMES\n", argv[0]);
        return 2;
    }
    size_t index = std::strtoul(argv[1], nullptr, 10);
    long frames = std::atol(argv[2]);
    if (index >= cases.size() || frames <= 0) {
        std::fprintf(stderr, "no such case or frame count\n");
        return 2;
    }
    size_t parsed = kalvix3_receive_frames(&cases[index], frames);
    bool complete = parsed == static_cast<size_t>(frames) * 10; // every call gives its 10 digits
    std::printf("%s, %s: %ld frames, %zu bytes each%s\n", cases[index].name.c_str(),
                cases[index].byteByByte ? "byte by byte" : "whole chunks", frames, cases[index].bytes,
                complete ? "" : " (SOME FRAMES NOT PARSED)");
    return complete ? 0 : 1;
}
