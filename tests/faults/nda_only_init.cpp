// An NDA_P1.dll that has NDA_Init but neither NDA_Exit nor NDA_GetHistoryData: the library must
// find that out before it touches the line, and so never call NDA_Init.
#include <atomic>

namespace {
std::atomic<int> initCalls{0};
}

extern "C" __attribute__((visibility("default"))) int NDA_Init(const char *, const void *) {
    return ++initCalls;
}

extern "C" __attribute__((visibility("default"))) int NdaOnlyInit_Calls() { return initCalls; }
