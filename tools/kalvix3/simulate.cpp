#include <cstdio>

#include "commands.h"

namespace tool {

int runSimulate(const Options &) {
    std::fprintf(stderr, "kalvix3 simulate: the device simulators are not built yet\n");
    return 1;
}

int runDemo(const Options &) {
    std::fprintf(stderr, "kalvix3 demo: the device simulators are not built yet\n");
    return 1;
}

} // namespace tool
