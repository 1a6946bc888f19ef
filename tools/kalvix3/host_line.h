// A line as the command-line host sees it: a host window that prints each caller number and
// line error (as text or as one JSON object per line), and the open line itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "kalvix3.h"
#include "platform.h"

namespace tool {

class PrintingWindow {
public:
    PrintingWindow(int32_t slot, bool json);
    Kalvix3Window window() const { return host.window(); }
    bool ready() const { return host.ready(); }
    int calls() const { return callCount.load(); }
    int errors() const { return errorCount.load(); }

private:
    void print(uint32_t message, const CopyDataRecord &record);

    int32_t slot;
    bool json;
    std::atomic<int> callCount{0};
    std::atomic<int> errorCount{0};
    platform::HostWindow host; // last: goes first, before what its handler uses
};

// Prints one line of UTF-8 text to stdout under a lock shared by every printer of the program.
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
