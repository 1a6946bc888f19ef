// A line as the command-line host sees it: a host window whose procedure prints each caller
// number and line error (as text or as one JSON object per line), and the open line itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "kalvix3.h"

namespace tool {

class PrintingWindow {
public:
    PrintingWindow(int32_t slot, bool json);
    Kalvix3Window window() { return &host; }
    int calls() const { return callCount.load(); }
    int errors() const { return errorCount.load(); }

private:
    static intptr_t procedure(void *window, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void print(uint32_t message, const CopyDataRecord &record);

    Kalvix3HostWindow host{};
    int32_t slot;
    bool json;
    std::atomic<int> callCount{0};
    std::atomic<int> errorCount{0};
};

// Prints one line to stdout under a lock shared by every printer of the program.
void printLine(const std::string &line);
std::mutex &outputLock();
// Prints one JSON object as one line (compact, in the order its members were given; bytes that
// are not UTF-8 shown as U+FFFD).
void printJson(const nlohmann::ordered_json &object);
// The text, or null when it is empty.
nlohmann::ordered_json textOrNull(const std::string &text);

// Opens a line; on failure explains the result on stderr and returns false.
bool openLine(int32_t slot, PrintingWindow &window, int32_t port, int32_t kind);

} // namespace tool
