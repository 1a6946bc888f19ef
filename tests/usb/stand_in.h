// The stand-in ITUSB.DLL for a test: a temporary system directory holding it (KALVIX3_SYSTEM_DIR
// points there for the test), and its SimUsb_ controls, looked up in the same loaded copy the
// library will load. Create it before opening a line; close the lines before it goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "simusb.h"

namespace kalvix3::testing {

// A temporary directory, removed with everything in it.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;
    const std::string &path() const { return where; }
    void writeFile(const char *name, const std::string &content) const;
    void makeDirectory(const char *name) const;
    // Makes it the system directory the library searches.
    void useAsSystemDirectory() const;

private:
    std::string where;
};

class StandIn {
public:
    // `library`: the stand-in's built file (full or partial); it is linked into a fresh system
    // directory as ITUSB.DLL and loaded, and the adapter is reset.
    explicit StandIn(const std::string &library);
    ~StandIn();
    StandIn(const StandIn &) = delete;
    StandIn &operator=(const StandIn &) = delete;

    decltype(&::SimUsb_Reset) reset = nullptr;
    decltype(&::SimUsb_PlaceCall) placeCall = nullptr;
    decltype(&::SimUsb_SetStatusRecord) setStatusRecord = nullptr;
    decltype(&::SimUsb_PushEventRecord) pushEventRecord = nullptr;
    decltype(&::SimUsb_AddHistoryEntry) addHistoryEntry = nullptr;
    decltype(&::SimUsb_SetHistoryPage) setHistoryPage = nullptr;
    decltype(&::SimUsb_SetHistoryBuffer) setHistoryBuffer = nullptr;
    decltype(&::SimUsb_FailControl) failControl = nullptr;
    decltype(&::SimUsb_FailOpen) failOpen = nullptr;
    decltype(&::SimUsb_HoldRequests) holdRequests = nullptr;
    decltype(&::SimUsb_CompleteHeld) completeHeld = nullptr;
    decltype(&::SimUsb_SetControlDelay) setControlDelay = nullptr;
    decltype(&::SimUsb_SetDialStates) setDialStates = nullptr;
    decltype(&::SimUsb_SetLineStateOnes) setLineStateOnes = nullptr;
    decltype(&::SimUsb_CallCount) callCount = nullptr;
    decltype(&::SimUsb_BadCalls) badCalls = nullptr;
    decltype(&::SimUsb_OnControl) onControl = nullptr;

    // Every logged call of `entry` (and `code`, for Ev_USB_Control; 0: any code).
    std::vector<SimUsbCall> calls(int32_t entry, uint32_t code = 0) const;
    int32_t controlCalls(uint32_t code) const { return callCount(SIMUSB_EV_USB_CONTROL, code); }
    // Runs `hook` inside every Ev_USB_Control call (on the calling thread) until reset.
    void onEachControl(std::function<void(uint32_t code)> hook);

private:
    static void runHook(void *context, uint32_t code);
    TempDirectory directory;
    void *handle = nullptr;
    decltype(&::SimUsb_LogSize) logSize = nullptr;
    decltype(&::SimUsb_LogEntry) logEntry = nullptr;
    std::mutex hookLock;
    std::function<void(uint32_t)> hook;
};

// Polls `condition` every 5 ms until it holds or `limit` has passed.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit);

} // namespace kalvix3::testing
